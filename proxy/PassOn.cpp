#include "proxy/PassOn.h"

#include <utility>

namespace proxy {

PassOn::PassOn(bool capabilities, bool holdCommand)
    : m_capabilities(capabilities), m_holding(holdCommand) {}

std::string_view PassOn::feed(std::string_view piece) {
    m_out.clear();
    if (m_capabilities) {
        m_filter.feed(piece, m_out);
        return m_out;
    }
    if (!m_holding) {
        return piece;
    }
    m_held.append(piece);
    if (m_held.size() > kHeldCommandLimit) {
        // Too long to be a command the proxy answers: on it goes.
        m_holding = false;
        m_out = std::exchange(m_held, {});
    }
    return m_out;
}

std::string_view PassOn::finish() {
    m_out.clear();
    if (m_capabilities) {
        m_filter.finish(m_out);
    }
    return m_out;
}

std::optional<std::string> PassOn::held() const {
    if (!m_holding) {
        return std::nullopt;
    }
    return m_held;
}

}  // namespace proxy
