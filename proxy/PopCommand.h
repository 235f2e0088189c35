#pragma once

#include <string>
#include <string_view>

namespace proxy {

// The first two blank-separated words of a client command, upper-cased; either
// may be empty.
struct CommandWords {
    std::string word;
    std::string argument;
};
CommandWords commandWords(std::string_view command);

// What a client command means for the reply that follows it and for the
// session.
struct CommandClass {
    bool empty = false;      // nothing arrived: the session ends
    bool multiLine = false;  // the reply runs to a "." line
    bool retrieval = false;  // the reply is a message to collect, rate and mark
    bool quit = false;       // the session ends after the reply
    // A capability listing: multi-line, and the capabilities the proxy cannot
    // pass on (TLS on the client link, pipelining) are left out of it.
    bool capabilities = false;
    // A request for TLS on the client link, which the proxy answers itself.
    bool startTls = false;
};
CommandClass classifyCommand(std::string_view command);

// The proxy's own answer to a client's "STLS": the link to the client is
// plain loopback, and a TLS handshake relayed to the server would break the
// session.
inline constexpr std::string_view kStartTlsRefusal = "-ERR STLS is not available here\r\n";

}  // namespace proxy
