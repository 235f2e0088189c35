#pragma once

#include <cstddef>
#include <string_view>

namespace proxy {

// States of the end-of-unit detector. A multi-line reply ends with CR LF "."
// CR LF (state 5); a single line with CR LF (state 2). State 2 also marks the
// end of a reply's status line.
inline constexpr int kLineEnded = 2;
inline constexpr int kMultiLineEnded = 5;

// The state after `byte`, from the state before it. Bytes are judged alone,
// so a unit may arrive split anywhere: the state carries over between reads.
int advanceTerminator(int termState, char byte, bool multiLine);

// Watches one relayed unit (a reply or a command) for its end.
class UnitEnd {
  public:
    explicit UnitEnd(bool multiLine) : m_multiLine(multiLine) {}

    // Takes the unit's next byte; true when that byte ends the unit. An error
    // reply ("-" as the first byte) to a multi-line command is a single line.
    bool advance(char byte);
    // Takes bytes up to the one that ends the unit: how many it took, all of
    // them when the unit goes on. One call per piece keeps a relay's bulk
    // out of a call per byte.
    std::size_t take(std::string_view bytes);

    // True once the unit's last byte has been taken.
    bool ended() const { return m_state == (m_multiLine ? kMultiLineEnded : kLineEnded); }
    bool multiLine() const { return m_multiLine; }
    // True until the first CR LF of the unit has passed.
    bool inStatusLine() const { return m_statusLine; }
    int state() const { return m_state; }

  private:
    bool m_multiLine;
    bool m_firstByte = true;
    bool m_statusLine = true;
    int m_state = 0;
};

}  // namespace proxy
