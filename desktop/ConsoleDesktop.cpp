#include "desktop/ConsoleDesktop.h"

ConsoleDesktop::ConsoleDesktop(std::ostream& out) : m_out(out) {}

void ConsoleDesktop::showTimedBox(const std::string& message) {
    std::lock_guard lock(m_mutex);
    m_out << "glimmerfen: " << message << '\n';
    m_out.flush();
}
