// Bayesian rating benchmarks: tokenizing, rating a message, building the table
// from the training folders, and loading MapProb.bin. Each is paired with a
// baseline over the same bytes in the same run, so the ratio shows what the
// rating work adds to the least any implementation must do.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/Desktop.h"
#include "rating/BayesFilter.h"
#include "desktop/BuildProgress.h"
#include "rating/TokenHash.h"
#include "rating/TokenProbabilityTable.h"
#include "rating/Tokenizer.h"
#include "store/Database.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"

#include "QuietDesktop.h"
#include "ScratchDirectory.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kHamCount = 600;
constexpr std::size_t kSpamCount = 500;
constexpr std::size_t kRecordedLimit = 4999;
constexpr std::size_t kRatedMin = 4800;
constexpr double kRateTargetPerSecond = 20000;
constexpr double kBuildTargetSeconds = 0.25;
constexpr double kLoadTargetSeconds = 0.020;


class NoProgress : public BuildProgress {
  public:
    void setRange(int, int) override {}
    void setPosition(int) override {}
};

// ---- corpus ----

fs::path corpusDir() {
    if (const char* env = std::getenv("GLIMMERFEN_CORPUS"); env != nullptr && *env != '\0') {
        return env;
    }
    return GLIMMERFEN_CORPUS_DIR;
}

// As the proxy records a message: CR LF line ends, the first 4,999 bytes.
std::string asRecorded(const std::string& lf) {
    std::string out;
    out.reserve(lf.size() + lf.size() / 32);
    char previous = '\0';
    for (const char c : lf) {
        if (c == '\n' && previous != '\r') {
            out += '\r';
        }
        out += c;
        previous = c;
    }
    out.resize(std::min(out.size(), kRecordedLimit));
    return out;
}

struct Message {
    std::string name;
    std::string text;
};

// Every message of ham/ or spam/, in file-name order.
std::vector<Message> messagesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    std::vector<Message> messages;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        messages.push_back(
            {dir.filename().string() + "/" + file.filename().string(), asRecorded(bytes.str())});
    }
    return messages;
}

// ---- the fixture: a store with the training folders and a built table ----

struct Fixture {
    QuietDesktop desktop;
    std::unique_ptr<CDatabase> db;
    std::unique_ptr<BayesFilter> filter;
    Message rated;  // a held-out ham message of about 4,900 bytes
    std::string error;
    std::size_t trained = 0;
    std::uint32_t entries = 0;
    std::string tableBytes;
};

Fixture* g_fixture = nullptr;

void buildFixture(Fixture& f) {
    const std::vector<Message> ham = messagesIn(corpusDir() / "ham");
    const std::vector<Message> spam = messagesIn(corpusDir() / "spam");
    if (ham.size() <= kHamCount || spam.size() < kSpamCount) {
        f.error = "the corpus at " + corpusDir().string() + " needs over " +
                  std::to_string(kHamCount) + " ham and " + std::to_string(kSpamCount) +
                  " spam messages (set GLIMMERFEN_CORPUS)";
        return;
    }
    f.db = std::make_unique<CDatabase>(f.desktop);
    f.filter = std::make_unique<BayesFilter>(*f.db, f.desktop);
    auto put = [&f](std::string_view folder, const Message& message) {
        EmailHeader header;
        header.from = "bench@example.org";
        header.to = "user@example.org";
        header.subject = "rating benchmark";
        header.textLength = static_cast<std::int32_t>(message.text.size());
        f.db->setEmailHeader(f.db->getNextEmailIndex(), folder, header, message.text);
    };
    for (std::size_t i = 0; i < kHamCount; ++i) {
        put(folder::kGood, ham[i]);
    }
    for (std::size_t i = 0; i < kSpamCount; ++i) {
        put(folder::kBad, spam[i]);
    }
    f.trained =
        static_cast<std::size_t>(f.db->emailCount(folder::kGood) + f.db->emailCount(folder::kBad));
    const auto heldOut = std::find_if(ham.begin() + kHamCount, ham.end(),
                                      [](const Message& m) { return m.text.size() >= kRatedMin; });
    if (heldOut == ham.end()) {
        f.error = "no held-out ham message of 4,800 bytes or more";
        return;
    }
    f.rated = *heldOut;

    NoProgress progress;
    if (f.filter->buildProbabilities(progress) != BayesFilter::kBuilt ||
        !f.filter->tablePresent()) {
        f.error = "the table build stored nothing";
        return;
    }
    f.filter->setEnabled(true, false);
    f.entries = f.filter->entryCount();
    std::ifstream in(TokenProbabilityTable::kDefaultFileName, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    f.tableBytes = bytes.str();
}

bool ready(benchmark::State& state) {
    if (!g_fixture->error.empty()) {
        state.SkipWithError(g_fixture->error.c_str());
        return false;
    }
    return true;
}

// ---- benchmarks ----

struct WindowSink {
    std::size_t windows = 0;
    std::size_t bytes = 0;
    void operator()(const WordWindow& window) {
        ++windows;
        bytes += window.w1.size();
    }
};

void ratingTokenize(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    const std::string& text = g_fixture->rated.text;
    for (auto _ : state) {
        WindowSink sink;
        tokenize(text, sink);
        benchmark::DoNotOptimize(sink);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.SetLabel(g_fixture->rated.name + ", " + std::to_string(text.size()) + " B");
}

// One pass that classifies every byte, as the tokenizer must at the least.
void baselineTokenize(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    const std::string& text = g_fixture->rated.text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.data());
        std::size_t tokenBytes = 0;
        for (const char c : text) {
            tokenBytes += tokenizer_detail::kFoldTable[static_cast<unsigned char>(c)] != 0;
        }
        benchmark::DoNotOptimize(tokenBytes);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void ratingRateText(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    const std::string& text = g_fixture->rated.text;
    BayesRating rating{};
    for (auto _ : state) {
        rating = g_fixture->filter->rateText(text);
        benchmark::DoNotOptimize(rating);
    }
    if (rating.rating == 0.5) {
        state.SkipWithError("the message was not rated");
    }
    state.SetItemsProcessed(state.iterations());
    char label[64];
    std::snprintf(label, sizeof label, "rating %.6f", rating.rating);
    state.SetLabel(label);
}

// Tokenizing and hashing the same text: all of rating but the table.
void baselineRateText(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    const std::string& text = g_fixture->rated.text;
    for (auto _ : state) {
        std::uint32_t keys = 0;
        tokenizeToIds(text, [&keys](const std::array<TokenId, 4>& ids) {
            for (const TokenId& id : ids) {
                keys += id.key + id.check;
            }
        });
        benchmark::DoNotOptimize(keys);
    }
    state.SetItemsProcessed(state.iterations());
}

void ratingBuild(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    NoProgress progress;
    int result = BayesFilter::kBuilt;
    for (auto _ : state) {
        result = g_fixture->filter->buildProbabilities(progress);
    }
    if (result != BayesFilter::kBuilt || g_fixture->filter->entryCount() != g_fixture->entries) {
        state.SkipWithError("the build did not give the same table again");
    }
    g_fixture->filter->setEnabled(true, false);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g_fixture->trained));
}

// Reading every training text through the store, as the build must.
void baselineBuild(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    std::string text;
    for (auto _ : state) {
        std::size_t bytes = 0;
        for (const std::string_view folder : {folder::kBad, folder::kGood}) {
            int position = 0;
            while (g_fixture->db->getNextEmailText(position, folder, text)) {
                bytes += text.size();
            }
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g_fixture->trained));
}

void ratingLoad(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    for (auto _ : state) {
        g_fixture->filter->load();
    }
    if (g_fixture->filter->entryCount() != g_fixture->entries) {
        state.SkipWithError("the load did not give the built table");
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(g_fixture->tableBytes.size()));
}

// Reading the file's bytes with plain system calls.
void baselineLoad(benchmark::State& state) {
    if (!ready(state)) {
        return;
    }
    std::vector<char> buffer(g_fixture->tableBytes.size() + 1);
    for (auto _ : state) {
        const int fd = ::open(TokenProbabilityTable::kDefaultFileName, O_RDONLY | O_CLOEXEC);
        std::size_t total = 0;
        ssize_t got = 0;
        while (fd >= 0 && (got = ::read(fd, buffer.data() + total, buffer.size() - total)) > 0) {
            total += static_cast<std::size_t>(got);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (total != g_fixture->tableBytes.size()) {
            state.SkipWithError("plain read of MapProb.bin failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(g_fixture->tableBytes.size()));
}

// ---- registration and the ratio table ----

struct Pair {
    std::string title;
    std::string measured;
    std::string baseline;
};

std::vector<Pair> registerAll() {
    using benchmark::RegisterBenchmark;
    std::vector<Pair> pairs;
    auto add = [&](const std::string& title, const std::string& key,
                   void (*measured)(benchmark::State&), void (*baseline)(benchmark::State&),
                   benchmark::TimeUnit unit) {
        const std::string measuredName = "rating/" + key;
        const std::string baselineName = "baseline/" + key;
        RegisterBenchmark(measuredName.c_str(), measured)->Unit(unit)->UseRealTime();
        RegisterBenchmark(baselineName.c_str(), baseline)->Unit(unit)->UseRealTime();
        pairs.push_back({title, measuredName, baselineName});
    };
    add("tokenize, 1 msg", "tokenize", ratingTokenize, baselineTokenize, benchmark::kMicrosecond);
    add("rateText, 1 msg", "rateText", ratingRateText, baselineRateText, benchmark::kMicrosecond);
    add("buildProbabilities, 1100 msgs", "buildProbabilities/1100", ratingBuild, baselineBuild,
        benchmark::kMillisecond);
    add("load MapProb.bin", "load", ratingLoad, baselineLoad, benchmark::kMillisecond);
    return pairs;
}

// Keeps each benchmark's real time per iteration, averaged over repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& runs) override {
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

    // Seconds per iteration, or a negative number when the benchmark did not run.
    double seconds(const std::string& name) const {
        const auto found = m_times.find(name);
        return found == m_times.end() ? -1.0 : found->second.sum / found->second.count;
    }

  private:
    struct Mean {
        double sum = 0;
        int count = 0;
    };
    std::map<std::string, Mean> m_times;
};

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

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

void printTable(const std::vector<Pair>& pairs, const RatioReporter& reporter, const Fixture& f) {
    std::printf("\nReal time per operation, against a baseline over the same bytes\n");
    std::printf("(tokenize: one byte-class pass; rateText: tokenize and hash without the table;\n");
    std::printf(
        " build: reading the training texts from the store; load: plain read of the file)\n\n");
    std::printf("%-30s %12s %12s %8s\n", "operation", "time", "baseline", "ratio");
    for (const Pair& p : pairs) {
        const double t = reporter.seconds(p.measured);
        const double b = reporter.seconds(p.baseline);
        char ratio[32] = "-";
        if (t > 0 && b > 0) {
            std::snprintf(ratio, sizeof ratio, "%.1fx", t / b);
        }
        std::printf("%-30s %12s %12s %8s\n", p.title.c_str(), formatTime(t).c_str(),
                    formatTime(b).c_str(), ratio);
    }
    if (!f.error.empty()) {
        std::printf("\n%s\n", f.error.c_str());
        return;
    }
    std::printf("\nrated message: %s, %zu bytes; table: %u entries, %zu bytes, from %zu messages\n",
                f.rated.name.c_str(), f.rated.text.size(), f.entries, f.tableBytes.size(),
                f.trained);
    const double rate = reporter.seconds("rating/rateText");
    if (rate > 0) {
        std::printf("rateText: %.0f messages/s on one core, target at least %.0f: %s\n", 1.0 / rate,
                    kRateTargetPerSecond, verdict(1.0 / rate >= kRateTargetPerSecond));
    }
    const double build = reporter.seconds("rating/buildProbabilities/1100");
    if (build > 0) {
        std::printf("buildProbabilities: %s, target under %s: %s\n", formatTime(build).c_str(),
                    formatTime(kBuildTargetSeconds).c_str(), verdict(build < kBuildTargetSeconds));
    }
    const double load = reporter.seconds("rating/load");
    if (load > 0) {
        std::printf("load MapProb.bin: %s, target under %s: %s\n", formatTime(load).c_str(),
                    formatTime(kLoadTargetSeconds).c_str(), verdict(load < kLoadTargetSeconds));
    }
    if (f.desktop.boxes > 0) {
        std::printf("WARNING: the store showed %d error boxes during the run\n",
                    f.desktop.boxes.load());
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    try {
        ScratchDirectory scratch;
        Fixture fixture;
        buildFixture(fixture);
        g_fixture = &fixture;

        const std::vector<Pair> pairs = registerAll();
        RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                     : benchmark::ConsoleReporter::OO_Tabular);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        std::fflush(stdout);
        printTable(pairs, reporter, fixture);
        benchmark::Shutdown();
        g_fixture = nullptr;
        return fixture.error.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_rating: %s\n", e.what());
        return 1;
    }
}
