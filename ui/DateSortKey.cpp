#include "ui/DateSortKey.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Keeps the joined numbers far from overflow whatever the text holds.
constexpr std::int64_t kLargestPart = 999'999'999;

bool isRunCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

std::vector<std::string_view> runsOf(std::string_view text) {
    std::vector<std::string_view> runs;
    std::size_t position = 0;
    while (position < text.size()) {
        if (!isRunCharacter(text[position])) {
            ++position;
            continue;
        }
        const std::size_t start = position;
        while (position < text.size() && isRunCharacter(text[position])) {
            ++position;
        }
        runs.push_back(text.substr(start, position - start));
    }
    return runs;
}

std::int64_t numberOf(const std::vector<std::string_view>& runs, std::size_t which,
                      std::int64_t largest) {
    if (which >= runs.size()) {
        return 0;
    }
    std::string_view digits = runs[which];
    digits = digits.substr(
        0, std::min<std::size_t>(digits.find_first_not_of("0123456789"), digits.size()));
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > 9) {
        return largest;
    }
    std::int64_t value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return std::min(value, largest);
}

std::int64_t monthOf(const std::vector<std::string_view>& runs) {
    if (runs.size() > 1) {
        const auto found = std::find(kMonths.begin(), kMonths.end(), runs[1]);
        if (found != kMonths.end()) {
            return found - kMonths.begin() + 1;
        }
    }
    return 1;
}

}  // namespace

DateSortKey dateSortKey(std::string_view displayDate) {
    const std::vector<std::string_view> runs = runsOf(displayDate);
    const std::int64_t day = numberOf(runs, 0, 99);
    const std::int64_t year = numberOf(runs, 2, kLargestPart);
    const std::int64_t hour = numberOf(runs, 3, kLargestPart);
    const std::int64_t minute = numberOf(runs, 4, 99);
    return {(year * 100 + monthOf(runs)) * 100 + day, hour * 100 + minute};
}
