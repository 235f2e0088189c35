// Bayesian rating benchmarks: tokenizing, rating a message, building the table
// from the training folders, and loading MapProb.bin. Each is paired with a
// baseline over the same bytes in the same run, so the ratio shows what the
// rating work adds to the least any implementation must do.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
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

#include "BenchCorpus.h"
#include "QuietDesktop.h"
#include "RatioReporter.h"
#include "ScratchDirectory.h"

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

using Message = bench::CorpusMessage;

// Every message of ham/ or spam/ as the proxy records it: CR LF line ends, the
// first 4,999 bytes.
std::vector<Message> messagesAsRecorded(std::string_view kind) {
    std::vector<Message> messages = bench::corpusMessages(kind);
    for (Message& message : messages) {
        message.text = bench::withCrLf(message.text);
        message.text.resize(std::min(message.text.size(), kRecordedLimit));
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
    const std::vector<Message> ham = messagesAsRecorded("ham");
    const std::vector<Message> spam = messagesAsRecorded("spam");
    if (ham.size() <= kHamCount || spam.size() < kSpamCount) {
        f.error = "the corpus at " + bench::corpusDir().string() + " needs over " +
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
        put(folderKey(Folder::Good), ham[i]);
    }
    for (std::size_t i = 0; i < kSpamCount; ++i) {
        put(folderKey(Folder::Bad), spam[i]);
    }
    f.trained = static_cast<std::size_t>(f.db->emailCount(folderKey(Folder::Good)) +
                                         f.db->emailCount(folderKey(Folder::Bad)));
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
    f.tableBytes = bench::fileBytes(TokenProbabilityTable::kDefaultFileName);
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
        for (const std::string_view folder : {folderKey(Folder::Bad), folderKey(Folder::Good)}) {
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

std::vector<bench::BenchPair> registerAll() {
    using benchmark::RegisterBenchmark;
    std::vector<bench::BenchPair> pairs;
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

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

void printTable(const std::vector<bench::BenchPair>& pairs, const bench::RatioReporter& reporter,
                const Fixture& f) {
    using bench::formatTime;
    std::printf("\nReal time per operation, against a baseline over the same bytes\n");
    std::printf("(tokenize: one byte-class pass; rateText: tokenize and hash without the table;\n");
    std::printf(
        " build: reading the training texts from the store; load: plain read of the file)\n\n");
    bench::printRatioTable(pairs, reporter, 30);
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

        const std::vector<bench::BenchPair> pairs = registerAll();
        bench::RatioReporter reporter;
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
