#include "store/StoreFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    platform::OwnFile file = mode == Mode::Read ? platform::OwnFile::openForReading(path)
                                                : platform::OwnFile::openForUpdate(path);
    if (!file.isOpen()) {
        return std::nullopt;
    }
    return StoreFile(file.release());
}

bool StoreFile::create(const std::string& path) {
    return platform::replaceFile(path, writeEmptyStore);
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
