#include "diag/LogFile.h"

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
    platform::OwnFile file = platform::OwnFile::openForAppend(path);
    if (!file.isOpen()) {
        return;
    }
    if (sizeLimit >= 0 && file.size() > sizeLimit && !file.truncate()) {
        return;
    }
    // One write per entry keeps entries from different processes whole.
    const std::string entry =
        "\n" + text + "\n Date: " + stamp.date + "  Time: " + stamp.time + "\n\n";
    file.writeAll(entry.data(), entry.size());
}

}  // namespace diag
