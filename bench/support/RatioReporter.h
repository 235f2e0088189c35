#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// A benchmark and the baseline it is measured against, by registered name.
struct BenchPair {
    std::string title;
    std::string measured;
    std::string baseline;
};

// The console output Google Benchmark always gives, keeping each benchmark's
// real time per iteration, averaged over repetitions, for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Coloured on a terminal, plain when written to a file or a pipe.
    RatioReporter();

    void ReportRuns(const std::vector<Run>& runs) override;

    // Seconds per iteration, or a negative number when the benchmark did not run.
    double seconds(const std::string& name) const;

  private:
    struct Mean {
        double sum = 0;
        int count = 0;
    };
    std::map<std::string, Mean> m_times;
};

// "812 ns", "3.25 us", "1.204 ms"; "-" for a benchmark that did not run.
std::string formatTime(double seconds);

// One row per pair: its time, its baseline's and their ratio, under a heading
// row; titles are padded to `titleWidth`.
void printRatioTable(const std::vector<BenchPair>& pairs, const RatioReporter& reporter,
                     int titleWidth);

}  // namespace bench
