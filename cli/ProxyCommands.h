#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// glimmerfen-cli's commands over the POP3 proxy: running it in the foreground,
// its POP3 settings and the spam flag word. Same conventions as the store
// commands.
namespace commands {

using Arguments = std::vector<std::string>;

// Runs the proxy until SIGINT or SIGTERM, logging to `messages`.
void proxy(const Arguments& args, std::ostream& out, std::ostream& messages);
void settings(const Arguments& args, std::ostream& out, std::ostream& messages);
// Reaches the POP3 server as the proxy would and prints what it found: the
// greeting and, over TLS, the certificate. Exits 1 when no session could start.
void testServer(const Arguments& args, std::ostream& out, std::ostream& messages);
void flagWord(const Arguments& args, std::ostream& out, std::ostream& messages);

}  // namespace commands
