#include "diag/TraceWriter.h"

#include "diag/LogFile.h"
#include "platform/Files.h"

namespace diag {

void traceMark(const std::string& mark, const std::string& operation, int line,
               const std::string& file, const std::string& traceFile) {
    appendLogEntry(traceFile, formatPlainEntry(mark, operation, line, file), stampNow());
}

void truncateTrace(const std::string& traceFile) {
    platform::truncateFile(traceFile);
}

}  // namespace diag
