#include "proxy/StlsOffer.h"

#include "proxy/PopCommand.h"

namespace proxy {

namespace {

// Longer than "STLS" and its blanks: the rest of a long line does not matter.
constexpr std::size_t kKeptOfLine = 16;

}  // namespace

std::size_t StlsOffer::feed(std::string_view piece) {
    std::size_t used = 0;
    for (const char byte : piece) {
        if (m_complete) {
            break;
        }
        ++used;
        m_complete = m_unit.advance(byte);
        if (byte == '\n') {
            lineEnded();
        } else if (m_line.size() < kKeptOfLine) {
            m_line += byte;
        }
    }
    return used;
}

void StlsOffer::lineEnded() {
    // The status line says nothing of capabilities, and the final "." line
    // is none.
    if (!m_statusLine && !m_complete && commandWords(m_line).word == "STLS") {
        m_offered = true;
    }
    m_statusLine = false;
    m_line.clear();
}

}  // namespace proxy
