#pragma once

#include <string>
#include <string_view>

namespace platform {

// "Jan".."Dec" for 1..12; anything else shows as "Jan".
std::string_view monthName(int month);
// "1".."12" for a month name compared without regard to case; "1" otherwise.
std::string monthNumberText(std::string_view name);

}  // namespace platform
