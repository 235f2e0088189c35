#include "diag/DebugLog.h"

#include "platform/Files.h"

namespace diag {

bool createDebugLog(std::ostream& out) {
    if (platform::truncateFile(kDebugLogFile)) {
        return true;
    }
    out << "*Error in debug, openLogFile(): \n--"
        << "Can't Open File" << '\n';
    out.flush();
    return false;
}

}  // namespace diag
