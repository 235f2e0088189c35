#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Size in bytes, or -1 when the file does not exist or cannot be examined.
std::int64_t fileSize(const std::string& path);
bool fileExists(const std::string& path);
bool directoryExists(const std::string& path);
// Copies a whole file, replacing the destination. The copy is written to a
// temporary name beside the destination and renamed over it, so a failed copy
// never leaves a half-written file under the destination's name.
bool copyFile(const std::string& from, const std::string& to);
bool renameFile(const std::string& from, const std::string& to);
bool deleteFile(const std::string& path);
// Creates the file empty, or empties it; false when it cannot be opened.
bool truncateFile(const std::string& path);

// Writes all the bytes to a descriptor, going on after partial writes and
// interruptions; false when the system refuses (a full disk, a size limit).
bool writeAll(int fd, const void* data, std::size_t size);
// Replaces a small file whole: the bytes go to a temporary name beside it, are
// synced, and the name is moved over the old file, so after a failure or a crash
// the file holds either its old contents or all of the new ones.
bool replaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace platform
