#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/OwnFile.h"

namespace platform {

// Size in bytes, or -1 when the file does not exist or cannot be examined.
std::int64_t fileSize(const std::string& path);
bool fileExists(const std::string& path);
bool directoryExists(const std::string& path);
// Copies a whole file, replacing the destination through replaceFile.
bool copyFile(const std::string& from, const std::string& to);
bool renameFile(const std::string& from, const std::string& to);
bool deleteFile(const std::string& path);
// Creates the file empty, or empties it; false when it cannot be opened.
bool truncateFile(const std::string& path);

// Writes all the bytes to a descriptor, going on after partial writes and
// interruptions; false when the system refuses (a full disk, a size limit).
bool writeAll(int fd, const void* data, std::size_t size);

// At most `limit` bytes from the start of a regular file. `status` says whether
// it was there (Open), missing, or something else under the name (then
// `problem` names it); the bytes are empty unless it was Open.
struct SmallFile {
    OwnFile::Status status = OwnFile::Status::Failed;
    std::string bytes;
    std::string problem;
};
SmallFile readSmallFile(const std::string& path, std::size_t limit);

// At most `limit` bytes of a file that belongs to the system (/etc, /proc),
// not to the program: links are followed, only a regular file is read (a FIFO
// would hang the caller), and the file is never changed (readSmallFile's own
// files are narrowed to 0600; a system table must not be). nullopt when it
// cannot be read.
std::optional<std::string> readSystemFile(const std::string& path, std::size_t limit);

// Replaces a file whole: `write` fills a new file (mode 0600) under a temporary
// name beside it, which is synced and moved over the old name, so after a
// failure or a crash the file holds either its old contents or all of the new
// ones. The temporary name is created exclusively and never through a link; a
// leftover from a crash (or a link planted there) is removed first, never
// written through. On failure the temporary file is removed.
bool replaceFile(const std::string& path, const std::function<bool(int fd)>& write);
bool replaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace platform
