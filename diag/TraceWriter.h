#pragma once

#include <string>

namespace diag {

// The proxy drops numbered marks into "testData.txt" as it passes through its
// loops, so that after a hang the last mark shows where it stopped.
void traceMark(const std::string& mark, const std::string& operation, int line,
               const std::string& file, const std::string& traceFile = "testData.txt");
// Empties the trace file, creating it when missing.
void truncateTrace(const std::string& traceFile = "testData.txt");

}  // namespace diag
