// Store and header-parser benchmarks. Every store benchmark is paired with a
// baseline doing the plain system calls for the same bytes at the same offsets,
// so the ratio shows what the store adds on top of the I/O it cannot avoid.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/HeaderParser.h"
#include "analysis/StoredHeader.h"
#include "desktop/Desktop.h"
#include "platform/LittleEndian.h"
#include "store/Database.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"
#include "desktop/HeaderRow.h"
#include "store/StoreLayout.h"

#include "BenchCorpus.h"
#include "QuietDesktop.h"
#include "RatioReporter.h"
#include "ScratchDirectory.h"

namespace fs = std::filesystem;
using namespace store_layout;

namespace {

constexpr int kMoveCount = 50;
constexpr int kLoadCount = 600;
constexpr double kLoadTargetSeconds = 0.050;
constexpr std::size_t kTypicalMin = 3000;
constexpr std::size_t kTypicalMax = 5000;
constexpr std::size_t kMessagesPerClass = 50;

// A recording desktop would keep one entry per load and grow without bound over
// thousands of iterations; the boxes are still counted so that a corrupted-record
// warning during a run cannot pass unnoticed.

// ---- corpus ----

struct Message {
    std::string name;
    std::string crlf;
};

// The first `want` messages whose CR LF form is 3-5 KB, the size most mail in
// the corpus has.
std::vector<Message> typicalMessages(std::string_view kind, std::size_t want) {
    std::vector<Message> messages;
    for (bench::CorpusMessage& message : bench::corpusMessages(kind)) {
        if (messages.size() >= want) {
            break;
        }
        std::string crlf = bench::withCrLf(message.text);
        if (crlf.size() >= kTypicalMin && crlf.size() <= kTypicalMax) {
            messages.push_back({std::move(message.name), std::move(crlf)});
        }
    }
    return messages;
}

struct Corpus {
    std::vector<Message> messages;  // ham first, then spam
    std::string error;              // why there are none
};

Corpus loadCorpus() {
    Corpus corpus;
    for (const char* kind : {"ham", "spam"}) {
        auto some = typicalMessages(kind, kMessagesPerClass);
        corpus.messages.insert(corpus.messages.end(), std::make_move_iterator(some.begin()),
                               std::make_move_iterator(some.end()));
    }
    if (corpus.messages.empty()) {
        corpus.error = "no 3-5 KB messages in " + bench::corpusDir().string() +
                       " (set GLIMMERFEN_CORPUS to the corpus directory)";
    }
    return corpus;
}

// ---- plain I/O for the baselines ----

bool preadAll(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        offset += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool pwriteAll(int fd, const void* buffer, std::size_t size, std::int64_t offset) {
    const auto* in = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, in, size, offset);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        in += put;
        offset += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool pwriteInt32(int fd, std::int32_t value, std::int64_t offset) {
    char bytes[4];
    platform::putLeInt32(bytes, value);
    return pwriteAll(fd, bytes, sizeof bytes, offset);
}

std::size_t countCrLf(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        count += static_cast<std::size_t>(text[i - 1] == '\r' && text[i] == '\n');
    }
    return count;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- the store under test ----

struct Record {
    EmailHeader header;
    std::string text;
};

Record recordOf(const Message& message, CHeaderParser& parser) {
    parser.parse(message.crlf);
    // A full read delivers at most this much, so longer texts would not survive a move.
    std::string text = message.crlf.substr(0, static_cast<std::size_t>(kMaxReadTextLength));
    const auto length = static_cast<std::int32_t>(text.size());
    return {storedHeader(parser.getHeaderRecord(), length, 0), std::move(text)};
}

// Without the corpus the store benchmarks still run, on a made-up 3 KB message.
Record syntheticRecord() {
    std::string text =
        "From: bench@example.org\r\nTo: user@example.org\r\nSubject: store benchmark\r\n"
        "Date: Thu, 9 Mar 2006 08:05:00 +0000\r\n\r\n";
    while (text.size() < 3000) {
        text += "The quick brown fox jumps over the lazy dog, again and again.\r\n";
    }
    EmailHeader header;
    header.from = "bench@example.org";
    header.to = "user@example.org";
    header.subject = "store benchmark";
    header.day = 9;
    header.month = 3;
    header.year = 2006;
    header.hour = 8;
    header.minute = 5;
    header.headerLength = 120;
    header.textLength = static_cast<std::int32_t>(text.size());
    return {header, text};
}

struct Fixture {
    QuietDesktop desktop;
    std::unique_ptr<CDatabase> db;
    Corpus corpus;
    std::vector<Record> records;  // one per corpus message, or the synthetic one

    // setEmailHeader: one record into the empty folder, always its slot 0.
    int oneIndex = 0;
    std::string oneBytes;  // the 299 + text bytes the store writes

    // moveEmails: kMoveCount records bouncing between two folders. The baseline
    // repeats the same I/O on a copy of the store file, whose slot tables the
    // store never reads, so the two cannot disturb each other.
    std::vector<int> moveIndexes;
    std::vector<std::size_t> moveSizes;
    std::string baselineFile;
    bool baselineForward = true;
};

Fixture* g_fixture = nullptr;

const std::string_view kSetFolder = folderKey(Folder::New);
const std::string_view kMoveA = folderKey(Folder::Good);
const std::string_view kMoveB = folderKey(Folder::Bad);
const std::string_view kLoadFolder = folderKey(Folder::StoreGood);

void buildFixture(Fixture& f) {
    f.corpus = loadCorpus();
    CHeaderParser parser;
    for (const Message& message : f.corpus.messages) {
        f.records.push_back(recordOf(message, parser));
    }
    if (f.records.empty()) {
        f.records.push_back(syntheticRecord());
    }

    f.db = std::make_unique<CDatabase>(f.desktop);
    CDatabase& db = *f.db;
    for (int i = 0; i < kLoadCount; ++i) {
        const Record& r = f.records[static_cast<std::size_t>(i) % f.records.size()];
        db.setEmailHeader(db.getNextEmailIndex(), kLoadFolder, r.header, r.text);
    }
    for (int i = 0; i < kMoveCount; ++i) {
        const Record& r = f.records[static_cast<std::size_t>(i) % f.records.size()];
        const int index = db.getNextEmailIndex();
        db.setEmailHeader(index, kMoveA, r.header, r.text);
        f.moveIndexes.push_back(index);
        f.moveSizes.push_back(static_cast<std::size_t>(kEmailHeaderSize) + r.text.size());
    }
    f.oneIndex = db.getNextEmailIndex();
    const Record& one = f.records.front();
    const EmailHeaderBytes fixed = encodeEmailHeader(one.header);
    f.oneBytes.assign(fixed.data(), fixed.size());
    f.oneBytes += one.text;

    f.baselineFile = "Baseline.hgd";
    fs::copy_file(db.fileName(), f.baselineFile, fs::copy_options::overwrite_existing);
}

// ---- benchmarks ----

// Timed by hand: PauseTiming/ResumeTiming cost about as much as the write itself,
// and emptying the folder again must stay out of the figure.
void storeSetEmailHeader(benchmark::State& state) {
    Fixture& f = *g_fixture;
    const Record& one = f.records.front();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        f.db->setEmailHeader(f.oneIndex, kSetFolder, one.header, one.text);
        state.SetIterationTime(secondsSince(start));
        f.db->deleteEmailHeader(f.oneIndex, kSetFolder);
    }
    if (f.db->emailCount(kSetFolder) != 0) {
        state.SkipWithError("the folder did not empty again");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.oneBytes.size()));
}

void baselineSetEmailHeader(benchmark::State& state) {
    Fixture& f = *g_fixture;
    const std::int64_t offset = recordOffset(folderNumber(*folderFromKey(kSetFolder)), 0);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = ::open(f.db->fileName().c_str(), O_RDWR | O_CLOEXEC);
        const bool ok = fd >= 0 && pwriteAll(fd, f.oneBytes.data(), f.oneBytes.size(), offset);
        if (fd >= 0) {
            ::close(fd);
        }
        state.SetIterationTime(secondsSince(start));
        if (!ok) {
            state.SkipWithError("plain open/pwrite failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.oneBytes.size()));
}

// Alternates direction, so no untimed work is needed to put the mail back.
void storeMoveEmails(benchmark::State& state) {
    Fixture& f = *g_fixture;
    bool forward = f.db->emailCount(kMoveA) == kMoveCount;
    for (auto _ : state) {
        f.db->moveEmails(forward ? kMoveA : kMoveB, forward ? kMoveB : kMoveA, f.moveIndexes);
        forward = !forward;
    }
    if (f.db->emailCount(kMoveA) + f.db->emailCount(kMoveB) != kMoveCount) {
        state.SkipWithError("messages were lost in the moves");
    }
    state.SetItemsProcessed(state.iterations() * kMoveCount);
}

void baselineMoveEmails(benchmark::State& state) {
    Fixture& f = *g_fixture;
    const int a = folderNumber(*folderFromKey(kMoveA));
    const int b = folderNumber(*folderFromKey(kMoveB));
    std::vector<char> buffer(static_cast<std::size_t>(kRecordSize));
    for (auto _ : state) {
        const int from = f.baselineForward ? a : b;
        const int to = f.baselineForward ? b : a;
        const int fd = ::open(f.baselineFile.c_str(), O_RDWR | O_CLOEXEC);
        bool ok = fd >= 0;
        for (int i = 0; ok && i < kMoveCount; ++i) {
            const auto n = static_cast<std::size_t>(i);
            ok = preadAll(fd, buffer.data(), f.moveSizes[n], recordOffset(from, i)) &&
                 pwriteAll(fd, buffer.data(), f.moveSizes[n], recordOffset(to, i)) &&
                 pwriteInt32(fd, f.moveIndexes[n], slotEntryOffset(to, i)) &&
                 pwriteInt32(fd, -1, slotEntryOffset(from, i));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (!ok) {
            state.SkipWithError("plain open/pread/pwrite failed");
            break;
        }
        f.baselineForward = !f.baselineForward;
    }
    state.SetItemsProcessed(state.iterations() * kMoveCount);
}

void storeLoadEmailHeaders(benchmark::State& state) {
    Fixture& f = *g_fixture;
    std::vector<HeaderRow> rows;
    rows.reserve(kLoadCount);
    const HeaderRowSink sink = [&rows](const HeaderRow& row) { rows.push_back(row); };
    for (auto _ : state) {
        rows.clear();
        f.db->loadEmailHeaders(kLoadFolder, sink);
        benchmark::DoNotOptimize(rows.data());
    }
    if (rows.size() != static_cast<std::size_t>(kLoadCount)) {
        state.SkipWithError("the load did not list every message");
    }
    state.SetItemsProcessed(state.iterations() * kLoadCount);
}

void baselineLoadEmailHeaders(benchmark::State& state) {
    Fixture& f = *g_fixture;
    const int folderNo = folderNumber(*folderFromKey(kLoadFolder));
    EmailHeaderBytes bytes;
    for (auto _ : state) {
        const int fd = ::open(f.db->fileName().c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = fd >= 0;
        for (int slot = 0; ok && slot < kLoadCount; ++slot) {
            ok = preadAll(fd, bytes.data(), bytes.size(), recordOffset(folderNo, slot));
            benchmark::DoNotOptimize(bytes.data());
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (!ok) {
            state.SkipWithError("plain open/pread failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kLoadCount);
}

// The parse baselines scan every byte for CR LF: the least any line splitter
// must do, and unlike memcpy it is not a single vectorised library call.
void storeParse(benchmark::State& state) {
    Fixture& f = *g_fixture;
    if (f.corpus.messages.empty()) {
        state.SkipWithError(f.corpus.error.c_str());
        return;
    }
    const std::string& text = f.corpus.messages.front().crlf;
    CHeaderParser parser;
    for (auto _ : state) {
        parser.parse(text);
        benchmark::DoNotOptimize(parser.lineCount());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.SetLabel(f.corpus.messages.front().name + ", " + std::to_string(text.size()) + " B");
}

void baselineParse(benchmark::State& state) {
    Fixture& f = *g_fixture;
    if (f.corpus.messages.empty()) {
        state.SkipWithError(f.corpus.error.c_str());
        return;
    }
    const std::string& text = f.corpus.messages.front().crlf;
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.data());
        benchmark::DoNotOptimize(countCrLf(text));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

std::int64_t corpusBytes(const Corpus& corpus) {
    std::int64_t total = 0;
    for (const Message& m : corpus.messages) {
        total += static_cast<std::int64_t>(m.crlf.size());
    }
    return total;
}

void storeParseMany(benchmark::State& state) {
    Fixture& f = *g_fixture;
    if (f.corpus.messages.empty()) {
        state.SkipWithError(f.corpus.error.c_str());
        return;
    }
    CHeaderParser parser;
    for (auto _ : state) {
        for (const Message& m : f.corpus.messages) {
            parser.parse(m.crlf);
            benchmark::DoNotOptimize(parser.lineCount());
        }
    }
    state.SetBytesProcessed(state.iterations() * corpusBytes(f.corpus));
    state.SetLabel(std::to_string(f.corpus.messages.size()) + " messages");
}

void baselineParseMany(benchmark::State& state) {
    Fixture& f = *g_fixture;
    if (f.corpus.messages.empty()) {
        state.SkipWithError(f.corpus.error.c_str());
        return;
    }
    for (auto _ : state) {
        for (const Message& m : f.corpus.messages) {
            benchmark::DoNotOptimize(m.crlf.data());
            benchmark::DoNotOptimize(countCrLf(m.crlf));
        }
    }
    state.SetBytesProcessed(state.iterations() * corpusBytes(f.corpus));
}

// ---- registration and the ratio table ----

std::vector<bench::BenchPair> registerAll() {
    using benchmark::RegisterBenchmark;
    std::vector<bench::BenchPair> pairs;
    auto add = [&](const std::string& title, const std::string& key,
                   void (*store)(benchmark::State&), void (*baseline)(benchmark::State&),
                   benchmark::TimeUnit unit, bool manualTime) {
        const std::string storeName = "store/" + key;
        const std::string baselineName = "baseline/" + key;
        auto* s = RegisterBenchmark(storeName.c_str(), store)->Unit(unit);
        auto* b = RegisterBenchmark(baselineName.c_str(), baseline)->Unit(unit);
        if (manualTime) {
            s->UseManualTime();
            b->UseManualTime();
        }
        pairs.push_back({title, storeName, baselineName});
    };
    add("setEmailHeader, 1 msg", "setEmailHeader", storeSetEmailHeader, baselineSetEmailHeader,
        benchmark::kMicrosecond, true);
    add("moveEmails, 50 msgs", "moveEmails/50", storeMoveEmails, baselineMoveEmails,
        benchmark::kMicrosecond, false);
    add("loadEmailHeaders, 600 rows", "loadEmailHeaders/600", storeLoadEmailHeaders,
        baselineLoadEmailHeaders, benchmark::kMicrosecond, false);
    add("parse, 1 msg", "parse", storeParse, baselineParse, benchmark::kNanosecond, false);
    add("parse, 100 msgs", "parse/100", storeParseMany, baselineParseMany,
        benchmark::kMicrosecond, false);
    return pairs;
}

void printTable(const std::vector<bench::BenchPair>& pairs, const bench::RatioReporter& reporter,
                const Fixture& f) {
    using bench::formatTime;
    std::printf("\nReal time per operation, store against plain I/O of the same bytes\n");
    std::printf("(parse against a CR LF count over the same bytes)\n\n");
    bench::printRatioTable(pairs, reporter, 28);
    const double load = reporter.seconds("store/loadEmailHeaders/600");
    if (load >= 0) {
        std::printf("\nloadEmailHeaders of 600 rows: %s, target under %s: %s\n",
                    formatTime(load).c_str(), formatTime(kLoadTargetSeconds).c_str(),
                    load < kLoadTargetSeconds ? "met" : "MISSED");
    }
    if (!f.corpus.messages.empty()) {
        std::printf("store texts: %zu corpus messages of 3-5 KB (CR LF); set writes %zu bytes\n",
                    f.corpus.messages.size(), f.oneBytes.size());
    } else {
        std::printf("corpus: %s; the store used a made-up 3 KB message\n",
                    f.corpus.error.c_str());
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
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_store: %s\n", e.what());
        return 1;
    }
}
