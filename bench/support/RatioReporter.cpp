#include "RatioReporter.h"

#include <unistd.h>

#include <cstdio>

namespace bench {

namespace {

benchmark::ConsoleReporter::OutputOptions outputOptions() {
    return isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                 : benchmark::ConsoleReporter::OO_Tabular;
}

}  // namespace

RatioReporter::RatioReporter() : ConsoleReporter(outputOptions()) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
            continue;
        }
        Mean& m = m_times[run.run_name.function_name];
        m.sum += run.real_accumulated_time / static_cast<double>(run.iterations);
        ++m.count;
    }
}

double RatioReporter::seconds(const std::string& name) const {
    const auto found = m_times.find(name);
    return found == m_times.end() ? -1.0 : found->second.sum / found->second.count;
}

std::string formatTime(double seconds) {
    if (seconds < 0) {
        return "-";
    }
    char text[32];
    if (seconds < 1e-6) {
        std::snprintf(text, sizeof text, "%.0f ns", seconds * 1e9);
    } else if (seconds < 1e-3) {
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.3f ms", seconds * 1e3);
    }
    return text;
}

void printRatioTable(const std::vector<BenchPair>& pairs, const RatioReporter& reporter,
                     int titleWidth) {
    std::printf("%-*s %12s %12s %8s\n", titleWidth, "operation", "time", "baseline", "ratio");
    for (const BenchPair& p : pairs) {
        const double t = reporter.seconds(p.measured);
        const double b = reporter.seconds(p.baseline);
        char ratio[32] = "-";
        if (t > 0 && b > 0) {
            std::snprintf(ratio, sizeof ratio, "%.1fx", t / b);
        }
        std::printf("%-*s %12s %12s %8s\n", titleWidth, p.title.c_str(), formatTime(t).c_str(),
                    formatTime(b).c_str(), ratio);
    }
}

}  // namespace bench
