#include "analysis/ReceivedAddresses.h"

#include <cstddef>
#include <string_view>

namespace {

// Four groups of at most three digits, each followed by a point: nothing
// longer can ever be reported.
constexpr std::size_t kLongestCandidate = 16;

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The "by" clause names our own side of the hop; only the sender's side is
// worth asking a block list about.
std::string_view fromClause(std::string_view value) {
    constexpr std::string_view kBy = " by ";
    for (std::size_t i = 0; i + kBy.size() <= value.size(); ++i) {
        std::size_t k = 0;
        while (k < kBy.size() && asciiLower(value[i + k]) == kBy[k]) {
            ++k;
        }
        if (k == kBy.size()) {
            return value.substr(0, i);
        }
    }
    return value;
}

void scanValue(std::string_view text, std::vector<std::string>& found) {
    std::string candidate;
    int digits = 0;  // saturates at 4: only 0, 1..3 and "more" matter
    int groups = 0;
    // A reported candidate always starts at a clearing digit and never grows
    // past kLongestCandidate before it is reported, so once it is longer it
    // can only be thrown away at the next clearing digit. Dropping the excess
    // keeps hostile runs of points and digits from growing it without bound.
    auto append = [&candidate](char c) {
        if (candidate.size() < kLongestCandidate) {
            candidate.push_back(c);
        }
    };
    for (char c : text) {
        if (isDigit(c)) {
            if (groups == 0 && digits == 0) {
                candidate.clear();
            }
            append(c);
            if (digits < 4) {
                ++digits;
            }
        } else if (c == '.') {
            append(c);
            groups = (digits >= 1 && digits <= 3) ? groups + 1 : 0;
            digits = 0;
        } else {
            groups = (digits >= 1 && digits <= 3 && groups == 3) ? 4 : 0;
            digits = 0;
        }
        if (groups == 4) {
            found.push_back(candidate);
            groups = 0;
        }
    }
}

}  // namespace

std::vector<std::string> scanReceivedAddresses(const std::vector<std::string>& received) {
    std::vector<std::string> found;
    for (const std::string& value : received) {
        scanValue(fromClause(value), found);
    }
    return found;
}
