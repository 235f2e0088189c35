#include "BenchCorpus.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace bench {

// `make bench` sets it from scripts/corpus-dir.sh, which finds or fetches the
// corpus; unset, the loaders find no mail and the benchmarks say to set it.
fs::path corpusDir() {
    const char* env = std::getenv("GLIMMERFEN_CORPUS");
    return env != nullptr ? fs::path(env) : fs::path();
}

std::string fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<CorpusMessage> corpusMessages(std::string_view kind) {
    if (corpusDir().empty()) {
        return {};  // never a folder named like the kind in the working directory
    }
    const fs::path dir = corpusDir() / kind;
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code notExamined;
        if (it->is_regular_file(notExamined) && it->path().extension() == ".txt") {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<CorpusMessage> messages;
    messages.reserve(files.size());
    for (const fs::path& file : files) {
        messages.push_back({std::string(kind) + "/" + file.filename().string(), fileBytes(file)});
    }
    return messages;
}

std::string withCrLf(std::string_view lf) {
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
    return out;
}

}  // namespace bench
