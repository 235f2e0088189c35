#include "platform/MonthNames.h"

#include <array>
#include <cctype>

namespace platform {

namespace {
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}
}  // namespace

std::string_view monthName(int month) {
    if (month < 1 || month > 12) {
        return kMonths[0];
    }
    return kMonths[static_cast<std::size_t>(month - 1)];
}

std::string monthNumberText(std::string_view name) {
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (sameIgnoringCase(name, kMonths[i])) {
            return std::to_string(i + 1);
        }
    }
    return "1";
}

}  // namespace platform
