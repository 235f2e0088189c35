#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/OwnFile.h"

// A failure inside a store operation. The public operation that meets it turns it
// into a CError that names the operation.
struct StoreFault {
    std::string message;
};

// One opening of the store file, closed when the object goes. Every store
// operation opens the file for itself, so another process may copy the file
// between operations. Short reads and failed writes are faults, never silent:
// a store that claimed to have saved mail it did not save would lose it.
class StoreFile {
  public:
    enum class Mode { Read, Update };

    // nullopt when the file cannot be opened in that mode (it is never created
    // here), and when the name holds a link, a FIFO or a device rather than the
    // store: the store is never reached through a link.
    static std::optional<StoreFile> open(const std::string& path, Mode mode);
    // Writes a new store file (0600) with every slot free, through a temporary
    // name, so a full disk never leaves a half-made store behind. False on any
    // failure.
    static bool create(const std::string& path);

    StoreFile(StoreFile&& other) noexcept = default;
    StoreFile& operator=(StoreFile&&) = delete;
    StoreFile(const StoreFile&) = delete;

    void read(std::int64_t offset, void* buffer, std::size_t size) const;
    void write(std::int64_t offset, const void* buffer, std::size_t size) const;
    std::int64_t size() const;

    std::int32_t readInt32(std::int64_t offset) const;
    void writeInt32(std::int64_t offset, std::int32_t value) const;

  private:
    explicit StoreFile(platform::OwnFile file) : m_file(std::move(file)) {}
    platform::OwnFile m_file;
};
