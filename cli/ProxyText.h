#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Builds a message text as the proxy records one arriving over POP3: every line
// ends in CR LF, a line that begins with "." carries one more ".", the reply's
// final "." line follows, and only the first 4,999 bytes are kept.
class ProxyText {
  public:
    static constexpr std::size_t kLimit = 4999;

    // Adds one line of the message, given without its line end (a CR before the
    // LF may still be there; it is kept as the CR of the CR LF).
    void addLine(std::string_view line);
    // The recorded text, with the final "." line.
    std::string finish() const;
    bool empty() const { return m_lines == 0; }

  private:
    void append(std::string_view bytes);

    std::string m_text;
    std::size_t m_lines = 0;
};
