#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/CapabilityFilter.h"

namespace proxy {

// What the relay passes on of each piece it reads: the piece as it came, a
// capability listing without the capabilities the proxy cannot offer, or
// nothing yet while a client command is held back whole so that the session
// can answer it itself.
class PassOn {
  public:
    // Longest command held back whole; longer ones pass on as they come.
    static constexpr std::size_t kHeldCommandLimit = 255;

    PassOn(bool capabilities, bool holdCommand);

    // The bytes to send now for `piece`; valid until the next call.
    std::string_view feed(std::string_view piece);
    // The bytes to send once the unit is complete; valid until the next call.
    std::string_view finish();
    // The command held back so far, not passed on; nothing when holding was
    // not asked for or the command grew too long and went on.
    std::optional<std::string> held() const;

  private:
    bool m_capabilities;
    bool m_holding;
    CapabilityFilter m_filter;
    std::string m_held;
    std::string m_out;
};

}  // namespace proxy
