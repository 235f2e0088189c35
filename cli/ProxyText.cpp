#include "cli/ProxyText.h"

#include <algorithm>

void ProxyText::append(std::string_view bytes) {
    // Past the limit nothing more is kept, so a huge message costs no memory.
    const std::size_t room = kLimit - std::min(kLimit, m_text.size());
    m_text.append(bytes.substr(0, room));
}

void ProxyText::addLine(std::string_view line) {
    ++m_lines;
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with('.')) {
        append(".");
    }
    append(line);
    append("\r\n");
}

std::string ProxyText::finish() const {
    std::string text = m_text;
    const std::size_t room = kLimit - std::min(kLimit, text.size());
    text.append(std::string_view(".\r\n").substr(0, room));
    return text;
}
