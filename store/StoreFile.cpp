#include "store/StoreFile.h"

#include <algorithm>
#include <vector>

#include "platform/Files.h"
#include "platform/LittleEndian.h"
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
    return StoreFile(std::move(file));
}

bool StoreFile::create(const std::string& path) {
    return platform::replaceFile(path, writeEmptyStore);
}

void StoreFile::read(std::int64_t offset, void* buffer, std::size_t size) const {
    if (!m_file.readAt(offset, buffer, size)) {
        throw StoreFault{"Can't Read Database: the file is shorter than a store file"};
    }
}

void StoreFile::write(std::int64_t offset, const void* buffer, std::size_t size) const {
    if (!m_file.writeAt(offset, buffer, size)) {
        throw StoreFault{"Can't Write Database"};
    }
}

std::int64_t StoreFile::size() const {
    return m_file.currentSize();
}

std::int32_t StoreFile::readInt32(std::int64_t offset) const {
    char bytes[4];
    read(offset, bytes, sizeof bytes);
    return platform::getLeInt32(bytes);
}

void StoreFile::writeInt32(std::int64_t offset, std::int32_t value) const {
    char bytes[4];
    platform::putLeInt32(bytes, value);
    write(offset, bytes, sizeof bytes);
}
