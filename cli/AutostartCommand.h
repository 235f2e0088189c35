#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace commands {

using Arguments = std::vector<std::string>;

// Starting the desktop program at login: `autostart` says whether it is on and
// where the entry lives, `autostart on|off` switches it. The entry names the
// glimmerfen that sits beside this command, so it starts the same installation.
void autostart(const Arguments& args, std::ostream& out, std::ostream& messages);

}  // namespace commands
