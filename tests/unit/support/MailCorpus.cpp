#include "support/MailCorpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* kVariable = "GLIMMERFEN_CORPUS";

}  // namespace

fs::path corpusDirectory() {
    const char* value = std::getenv(kVariable);
    return value == nullptr ? fs::path() : fs::path(value);
}

std::vector<fs::path> corpusFiles(const std::string& kind) {
    const fs::path directory = corpusDirectory();
    if (directory.empty()) {
        ADD_FAILURE() << kVariable << " is not set; ctest sets it (the corpus fixture). "
                      << "Run by hand: " << kVariable
                      << "=\"$(scripts/corpus-dir.sh)\" and the test again";
        return {};
    }
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory / kind, ec), end; !ec && it != end; it.increment(ec)) {
        files.push_back(it->path());
    }
    if (ec || files.empty()) {
        ADD_FAILURE() << kVariable << "=" << directory << " gives no " << kind
                      << " messages (a directory with ham/ and spam/ is needed"
                      << (ec ? "; " + ec.message() : std::string()) << ")";
        return {};
    }
    std::sort(files.begin(), files.end());
    return files;
}
