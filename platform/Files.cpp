#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {

namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr const char* kTemporarySuffix = ".part";

bool copyContents(int in, int out) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

int createExclusive(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
}

// A name already there is a leftover of a write that never finished, or a
// planted link; unlinking removes the name itself, never what a link points at.
int createTemporary(const std::string& path) {
    const int fd = createExclusive(path);
    if (fd >= 0 || errno != EEXIST || ::unlink(path.c_str()) != 0) {
        return fd;
    }
    return createExclusive(path);
}

}  // namespace

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool replaceFile(const std::string& path, const std::function<bool(int fd)>& write) {
    const std::string temporary = path + kTemporarySuffix;
    const int fd = createTemporary(temporary);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd);
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

bool replaceFileContents(const std::string& path, std::string_view bytes) {
    return replaceFile(path, [bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

SmallFile readSmallFile(const std::string& path, std::size_t limit) {
    OwnFile file = OwnFile::openForReading(path);
    SmallFile result{file.status(), {}, file.problem()};
    if (!file.isOpen()) {
        return result;
    }
    // Sized by what is read, not by what the file claims: it may change under us.
    std::vector<char> chunk(std::min<std::size_t>(limit, 1 << 16));
    while (result.bytes.size() < limit) {
        const std::size_t wanted = std::min(chunk.size(), limit - result.bytes.size());
        const std::size_t got = file.readUpTo(chunk.data(), wanted);
        result.bytes.append(chunk.data(), got);
        if (got < wanted) {
            break;
        }
    }
    return result;
}

std::optional<std::string> readSystemFile(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    std::vector<char> chunk(std::min<std::size_t>(limit, 1 << 16));
    bool ok = true;
    while (text.size() < limit) {
        const std::size_t wanted = std::min(chunk.size(), limit - text.size());
        const ssize_t got = ::read(fd, chunk.data(), wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return ok ? std::optional<std::string>(std::move(text)) : std::nullopt;
}

std::int64_t fileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

bool fileExists(const std::string& path) {
    return fileSize(path) >= 0;
}

bool directoryExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool copyFile(const std::string& from, const std::string& to) {
    const OwnFile in = OwnFile::openForReading(from);
    if (!in.isOpen()) {
        return false;
    }
    return replaceFile(to, [&in](int out) { return copyContents(in.fd(), out); });
}

bool renameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool deleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool truncateFile(const std::string& path) {
    return OwnFile::openTruncated(path).isOpen();
}

}  // namespace platform
