#include "store/StoreFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/Files.h"
#include "store/EmailHeader.h"
#include "store/StoreLayout.h"

namespace {

bool writeEmptyStore(int fd) {
    using namespace store_layout;
    const std::vector<char> header(static_cast<std::size_t>(kFoldersOffset), 0);
    if (!platform::writeAll(fd, header.data(), header.size())) {
        return false;
    }
    // Every slot table entry -1 (free), every record zero.
    std::vector<char> block(static_cast<std::size_t>(kFolderBlockSize), 0);
    std::fill(block.begin(), block.begin() + kSlotTableSize, static_cast<char>(0xFF));
    for (int f = 0; f < kFolderCount; ++f) {
        if (!platform::writeAll(fd, block.data(), block.size())) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<StoreFile> StoreFile::open(const std::string& path, Mode mode) {
    const int flags = (mode == Mode::Read ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        return std::nullopt;
    }
    return StoreFile(fd);
}

bool StoreFile::create(const std::string& path) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = writeEmptyStore(fd);
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

StoreFile::StoreFile(StoreFile&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

StoreFile::~StoreFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void StoreFile::read(std::int64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(m_fd, out, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw StoreFault{"Can't Read Database: the file is shorter than a store file"};
        }
        out += got;
        offset += got;
        size -= static_cast<std::size_t>(got);
    }
}

void StoreFile::write(std::int64_t offset, const void* buffer, std::size_t size) const {
    const auto* in = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t written = ::pwrite(m_fd, in, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw StoreFault{"Can't Write Database"};
        }
        in += written;
        offset += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::int64_t StoreFile::size() const {
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

std::int32_t StoreFile::readInt32(std::int64_t offset) const {
    char bytes[4];
    read(offset, bytes, sizeof bytes);
    return ::readInt32(bytes);
}

void StoreFile::writeInt32(std::int64_t offset, std::int32_t value) const {
    char bytes[4];
    ::writeInt32(bytes, value);
    write(offset, bytes, sizeof bytes);
}
