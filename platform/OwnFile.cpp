#include "platform/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Files.h"

namespace platform {

namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kGroupAndOthers = 077;

// Opening for writing without the truncation: a name that turns out not to be
// a regular file must be left exactly as it was found.
constexpr int kWithoutTruncation = ~O_TRUNC;

}  // namespace

std::string notRegularProblem(const std::string& path, unsigned mode) {
    return path + " is " + fileKindName(mode) + ", not a regular file";
}

std::string fileKindName(unsigned mode) {
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a special file";
}

OwnFile OwnFile::openForReading(const std::string& path) {
    return OwnFile(path, O_RDONLY);
}

OwnFile OwnFile::openForUpdate(const std::string& path) {
    return OwnFile(path, O_RDWR);
}

OwnFile OwnFile::openForAppend(const std::string& path) {
    return OwnFile(path, O_WRONLY | O_CREAT | O_APPEND);
}

OwnFile OwnFile::openTruncated(const std::string& path) {
    return OwnFile(path, O_WRONLY | O_CREAT | O_TRUNC);
}

OwnFile::OwnFile(const std::string& path, int flags) {
    // A look before opening spares a device the side effects of an open; the
    // check on the descriptor below is the one a swap of names cannot dodge.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        refuse(Status::NotRegular, notRegularProblem(path, info.st_mode));
        return;
    }
    const int fd =
        ::open(path.c_str(), (flags & kWithoutTruncation) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
               kOwnerOnly);
    if (fd < 0) {
        const int error = errno;
        if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            refuse(Status::NotRegular, notRegularProblem(path, info.st_mode));
        } else {
            refuse(error == ENOENT ? Status::Missing : Status::Failed,
                   path + ": " + std::strerror(error));
        }
        return;
    }
    m_fd = fd;
    if (::fstat(fd, &info) != 0) {
        refuse(Status::Failed, path + ": " + std::strerror(errno));
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        refuse(Status::NotRegular, notRegularProblem(path, info.st_mode));
        return;
    }
    // Regular files never block; later reads and writes should not see EAGAIN.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if ((info.st_mode & kGroupAndOthers) != 0) {
        ::fchmod(fd, info.st_mode & 0700);
    }
    if ((flags & O_TRUNC) != 0 && info.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        refuse(Status::Failed, path + ": " + std::strerror(errno));
        return;
    }
    m_size = (flags & O_TRUNC) != 0 ? 0 : static_cast<std::int64_t>(info.st_size);
    m_status = Status::Open;
}

void OwnFile::refuse(Status status, std::string problem) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_status = status;
    m_problem = std::move(problem);
}

OwnFile::OwnFile(OwnFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_status(std::exchange(other.m_status, Status::Failed)),
      m_size(other.m_size),
      m_problem(std::move(other.m_problem)) {}

OwnFile& OwnFile::operator=(OwnFile&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = std::exchange(other.m_fd, -1);
        m_status = std::exchange(other.m_status, Status::Failed);
        m_size = other.m_size;
        m_problem = std::move(other.m_problem);
    }
    return *this;
}

OwnFile::~OwnFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::int64_t OwnFile::currentSize() const {
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

std::size_t OwnFile::readUpTo(void* buffer, std::size_t size) const {
    auto* out = static_cast<char*>(buffer);
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(m_fd, out + total, size - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

bool OwnFile::writeAll(const void* data, std::size_t size) const {
    return platform::writeAll(m_fd, data, size);
}

bool OwnFile::readAt(std::int64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(m_fd, out, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        offset += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool OwnFile::writeAt(std::int64_t offset, const void* data, std::size_t size) const {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(m_fd, in, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        in += written;
        offset += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool OwnFile::truncate() const {
    return ::ftruncate(m_fd, 0) == 0;
}

}  // namespace platform
