#include "proxy/Terminator.h"

namespace proxy {

int advanceTerminator(int termState, char byte, bool multiLine) {
    if (!multiLine) {
        if (byte == '\r') {
            return 1;
        }
        return byte == '\n' && termState == 1 ? kLineEnded : 0;
    }
    switch (byte) {
        case '\r':
            return termState == 3 ? 4 : 1;
        case '\n':
            if (termState == 1) {
                return kLineEnded;
            }
            return termState == 4 ? kMultiLineEnded : 0;
        case '.':
            return termState == kLineEnded ? 3 : 0;
        default:
            return 0;
    }
}

bool UnitEnd::advance(char byte) {
    if (m_firstByte) {
        m_firstByte = false;
        if (byte == '-') {
            m_multiLine = false;
        }
    }
    m_state = advanceTerminator(m_state, byte, m_multiLine);
    if (m_state == kLineEnded) {
        m_statusLine = false;
    }
    return ended();
}

std::size_t UnitEnd::take(std::string_view bytes) {
    std::size_t n = 0;
    // The first byte and the status line have bookkeeping of their own.
    while (n < bytes.size() && m_statusLine) {
        if (advance(bytes[n++])) {
            return n;
        }
    }
    // The rest only moves the detector, kept in a local for the length of the piece.
    const int end = m_multiLine ? kMultiLineEnded : kLineEnded;
    int state = m_state;
    for (; n < bytes.size(); ++n) {
        const char byte = bytes[n];
        // Any other byte starts the detector over, in either kind of unit.
        if (byte != '\r' && byte != '\n' && byte != '.') {
            state = 0;
            continue;
        }
        state = advanceTerminator(state, byte, m_multiLine);
        if (state == end) {
            m_state = state;
            return n + 1;
        }
    }
    m_state = state;
    return bytes.size();
}

}  // namespace proxy
