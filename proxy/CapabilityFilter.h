#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace proxy {

// Leaves the lines "STLS" and "PIPELINING" out of a capability listing on its
// way to the mail client: the client's link is plain loopback, and the proxy
// relays one command and one reply at a time. The listing may arrive split
// anywhere, so a line is held back until its end shows whether it goes; a
// line longer than any dropped one passes at once, so the held bytes stay few.
class CapabilityFilter {
  public:
    static constexpr std::size_t kHoldLimit = 64;

    // Appends to `out` what of `piece` can be passed on now.
    void feed(std::string_view piece, std::string& out);
    // At the end of the reply: appends whatever is still held back.
    void finish(std::string& out);

  private:
    std::string m_line;
    // The status line, and a line found too long to be dropped, pass through
    // as they come.
    bool m_passing = true;
};

}  // namespace proxy
