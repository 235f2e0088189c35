#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "proxy/Terminator.h"

namespace proxy {

// Reads the server's answer to "CAPA" for the one capability the proxy asks
// about before it may send "STLS". The answer may arrive split anywhere; a
// "-ERR" (a server that knows no CAPA) offers nothing.
class StlsOffer {
  public:
    // Takes bytes of the answer and returns how many belong to it: fewer than
    // given once the answer has ended, so bytes after it are not taken for it.
    std::size_t feed(std::string_view piece);

    bool complete() const { return m_complete; }
    // Whether a line of the listing names STLS (in any case).
    bool offered() const { return m_offered; }

  private:
    void lineEnded();

    UnitEnd m_unit{true};
    // The start of the current line: enough to hold a capability name.
    std::string m_line;
    bool m_statusLine = true;
    bool m_complete = false;
    bool m_offered = false;
};

}  // namespace proxy
