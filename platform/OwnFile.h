#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// One opening of a file the program keeps in its data directory, closed when the
// object goes. Every opening refuses to follow a symbolic link and refuses
// anything but a regular file, without waiting on it: a link planted under one
// of the program's names must not redirect a write to the link's target, and a
// FIFO must not hang a reader (or a writer) waiting for its other end. Files are
// created 0600 and an existing one that group or others may read is narrowed to
// 0600 on opening: the store and the logs hold the user's mail.
// Any thread may use its own object; objects are not shared.
class OwnFile {
  public:
    enum class Status { Open, Missing, NotRegular, Failed };

    // Reading; Missing when there is no such name.
    static OwnFile openForReading(const std::string& path);
    // Reading and writing in place, never creating (the store file).
    static OwnFile openForUpdate(const std::string& path);
    // Appending, created when missing (the logs).
    static OwnFile openForAppend(const std::string& path);
    // Writing from empty: created when missing, emptied when present.
    static OwnFile openTruncated(const std::string& path);

    OwnFile(OwnFile&& other) noexcept;
    OwnFile& operator=(OwnFile&& other) noexcept;
    OwnFile(const OwnFile&) = delete;
    OwnFile& operator=(const OwnFile&) = delete;
    ~OwnFile();

    Status status() const { return m_status; }
    bool isOpen() const { return m_status == Status::Open; }
    int fd() const { return m_fd; }
    // The size when it was opened.
    std::int64_t size() const { return m_size; }
    // The size now, or -1 when it cannot be examined.
    std::int64_t currentSize() const;
    // Why it is not open, naming the file: "wlist.bin is a FIFO, not a regular
    // file"; empty when it is open.
    const std::string& problem() const { return m_problem; }

    // Reading and writing go on after partial transfers and interruptions.
    // Up to `size` bytes from the current position; fewer only at the end of
    // the file or on an error.
    std::size_t readUpTo(void* buffer, std::size_t size) const;
    // All the bytes at the current position (the end, when appending); false
    // when the system refuses (a full disk, a size limit).
    bool writeAll(const void* data, std::size_t size) const;
    // Exactly `size` bytes at `offset`, leaving the current position alone;
    // false when the file ends first or the system refuses.
    bool readAt(std::int64_t offset, void* buffer, std::size_t size) const;
    bool writeAt(std::int64_t offset, const void* data, std::size_t size) const;
    // Empties the file.
    bool truncate() const;

  private:
    OwnFile(const std::string& path, int flags);
    void refuse(Status status, std::string problem);

    int m_fd = -1;
    Status m_status = Status::Failed;
    std::int64_t m_size = 0;
    std::string m_problem;
};

// What kind of file a mode says it is, for messages: "a FIFO", "a symbolic link".
std::string fileKindName(unsigned mode);
// "<path> is a FIFO, not a regular file".
std::string notRegularProblem(const std::string& path, unsigned mode);

}  // namespace platform
