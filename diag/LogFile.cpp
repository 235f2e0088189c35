#include "diag/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Files.h"

namespace diag {

namespace {

// Threads of this process append to the same files; the size check and the
// append must not interleave with another thread's.
std::mutex logMutex;

std::string twoDigits(int a, int b, int c, char separator) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%c%02d%c%02d", a, separator, b, separator, c);
    return text;
}


}  // namespace

Stamp stampNow() {
    const platform::LocalTime now = platform::localTime();
    return {twoDigits(now.month, now.day, now.year % 100, '/'),
            twoDigits(now.hour, now.minute, now.second, ':')};
}

std::string formatPlainEntry(const std::string& message, const std::string& operation, int line,
                             const std::string& file) {
    return "Error: " + message + " in " + operation + "\n line " + std::to_string(line) +
           " of file " + file;
}

void appendLogEntry(const std::string& path, const std::string& text, const Stamp& stamp,
                    std::int64_t sizeLimit) {
    std::lock_guard lock(logMutex);
    if (sizeLimit >= 0 && platform::fileSize(path) > sizeLimit) {
        platform::truncateFile(path);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    // One write per entry keeps entries from different processes whole.
    const std::string entry =
        "\n" + text + "\n Date: " + stamp.date + "  Time: " + stamp.time + "\n\n";
    platform::writeAll(fd, entry.data(), entry.size());
    ::close(fd);
}

}  // namespace diag
