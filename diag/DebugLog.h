#pragma once

#include <ostream>

namespace diag {

inline constexpr const char* kDebugLogFile = "TestThis.txt";

// Creates (or empties) "TestThis.txt" at start-up. When that is impossible the
// working directory is unusable; the reason goes to `out` and the caller ends the
// program. Returns whether the file could be created.
bool createDebugLog(std::ostream& out);

}  // namespace diag
