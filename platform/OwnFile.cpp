#include "platform/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

int OwnFile::release() {
    return std::exchange(m_fd, -1);
}

}  // namespace platform
