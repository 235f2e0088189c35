#pragma once

#include <string_view>

namespace diag {

// The name a log entry gives its source file: "store/Database.cpp" -> "Database".
constexpr std::string_view sourceName(std::string_view path) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    const auto dot = path.find('.');
    if (dot != std::string_view::npos) {
        path = path.substr(0, dot);
    }
    return path;
}

}  // namespace diag

// The reporting place, for a CError or a trace mark: line and file name.
#define GF_HERE __LINE__, std::string(diag::sourceName(__FILE__))
