#include "fuzz/support/FuzzDirectory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "fuzz/support/FuzzCheck.h"
#include "platform/Files.h"

FuzzDirectory::FuzzDirectory(std::string_view purpose) {
    std::string pattern = (std::filesystem::temp_directory_path() /
                           ("glimmerfen-fuzz-" + std::string(purpose) + "-XXXXXX"))
                              .string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    m_path = pattern;
}

FuzzDirectory::~FuzzDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string FuzzDirectory::filePath(std::string_view name) const {
    return m_path + "/" + std::string(name);
}

// Written in place rather than by rename: a loader under test must cope with
// whatever is there, and the input is the whole of it.
void FuzzDirectory::writeFile(std::string_view name, std::string_view bytes) const {
    const std::string path = filePath(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    const bool written = platform::writeAll(fd, bytes.data(), bytes.size());
    ::close(fd);
    FUZZ_CHECK(written);
}
