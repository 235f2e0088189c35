#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// glimmerfen-cli's commands over the accounts the proxy serves, each on a
// local port of its own, and over the header that tells the mail client how a
// message was rated. Same conventions as the store commands.
namespace commands {

using Arguments = std::vector<std::string>;

// `accounts` lists them (main first), `accounts add|set|remove` changes them.
void accounts(const Arguments& args, std::ostream& out, std::ostream& messages);
// `header` says on or off, `header on|off` switches it.
void header(const Arguments& args, std::ostream& out, std::ostream& messages);

}  // namespace commands
