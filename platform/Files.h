#pragma once

#include <cstdint>
#include <string>

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

}  // namespace platform
