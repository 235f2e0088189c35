#include "cli/TerminalProgress.h"

#include <algorithm>
#include <string>

namespace {
constexpr int kBarWidth = 40;
}

TerminalProgress::TerminalProgress(std::ostream& out, bool isTerminal)
    : m_out(out), m_isTerminal(isTerminal) {}

TerminalProgress::~TerminalProgress() {
    if (m_isTerminal && m_shownPercent >= 0) {
        m_out << '\n';
    }
}

void TerminalProgress::setRange(int low, int high) {
    m_low = low;
    m_high = high;
}

void TerminalProgress::setPosition(int position) {
    if (!m_isTerminal) {
        return;
    }
    const long span = std::max(1L, static_cast<long>(m_high) - m_low);
    const int percent =
        static_cast<int>(std::clamp((static_cast<long>(position) - m_low) * 100 / span, 0L, 100L));
    if (percent == m_shownPercent) {
        return;
    }
    m_shownPercent = percent;
    const int filled = percent * kBarWidth / 100;
    m_out << "\rBuilding filter [" << std::string(static_cast<std::size_t>(filled), '#')
          << std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " << percent
          << '%' << std::flush;
}
