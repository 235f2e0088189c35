#include "proxy/CapabilityFilter.h"

#include <array>

namespace proxy {

namespace {

constexpr std::array<std::string_view, 2> kDropped = {"STLS", "PIPELINING"};

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Capability names are compared without regard to case; the line end and
// trailing blanks are not part of the name.
bool isDropped(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t')) {
        line.remove_suffix(1);
    }
    for (const std::string_view name : kDropped) {
        if (line.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            same = upper(line[i]) == name[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace

void CapabilityFilter::feed(std::string_view piece, std::string& out) {
    for (const char byte : piece) {
        if (m_passing) {
            out += byte;
            if (byte == '\n') {
                m_passing = false;
            }
            continue;
        }
        m_line += byte;
        if (byte == '\n') {
            if (!isDropped(m_line)) {
                out += m_line;
            }
            m_line.clear();
        } else if (m_line.size() > kHoldLimit) {
            out += m_line;
            m_line.clear();
            m_passing = true;
        }
    }
}

void CapabilityFilter::finish(std::string& out) {
    out += m_line;
    m_line.clear();
}

}  // namespace proxy
