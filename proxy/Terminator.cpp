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
    return m_state == (m_multiLine ? kMultiLineEnded : kLineEnded);
}

}  // namespace proxy
