#pragma once

#include <cstdint>
#include <string>

namespace diag {

// Error log and trace files share one entry layout:
//   (empty line) entry text / " Date: MM/DD/YY  Time: HH:MM:SS" / (empty line)
inline constexpr const char* kErrorLogFile = "ErrorLog.txt";
inline constexpr const char* kTraceFile = "testData.txt";
inline constexpr std::int64_t kErrorLogLimitBytes = 1048576;

struct Stamp {
    std::string date;  // two-digit month, day and year: "03/09/06"
    std::string time;  // 24-hour clock: "08:05:00"
};

Stamp stampNow();
std::string formatPlainEntry(const std::string& message, const std::string& operation, int line,
                             const std::string& file);

// Appends one entry. With a size limit, a file already larger than the limit is
// emptied first. A file that cannot be opened (a link or a FIFO under the name
// included: the entry is never written through one) is passed over silently:
// logging must never be the reason an error goes unreported to its caller.
void appendLogEntry(const std::string& path, const std::string& text, const Stamp& stamp,
                    std::int64_t sizeLimit = -1);

}  // namespace diag
