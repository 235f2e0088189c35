#pragma once

#include <string>

namespace platform::autostart {

// Starting the program at login: the desktop session starts whatever a desktop
// entry in the user's autostart directory names. The entry is
// glimmerfen.desktop in $XDG_CONFIG_HOME/autostart, or in ~/.config/autostart
// when that variable is unset, empty or relative (the base-directory rules
// ignore a relative one). The desktop program's menu and glimmerfen-cli both
// come here, so they always agree on the file and its contents.

// The entry's path; "" when no home directory can be found.
std::string entryPath();

// Whether the entry exists, that is whether the program starts at login.
bool isOn();

// Writes the entry for `program` (an absolute path), creating the missing
// directories: the configuration directory private (0700), the autostart
// directory readable by all (0755), as desktops make it. The file is replaced
// whole, never left half written. False, with the reason in `reason`, when the
// entry cannot be written or `program` cannot be named in one.
bool turnOn(const std::string& program, std::string& reason);

// Removes the entry; an entry that was not there is no failure. False, with
// the reason in `reason`, when it is still there.
bool turnOff(std::string& reason);

// The entry's text for `program`; "" when the path cannot be written into a
// desktop entry (not absolute, not UTF-8, or holding a control character).
std::string entryText(const std::string& program);

// The running program's own file (/proc/self/exe); "" when it cannot be read.
std::string runningProgram();

// The file `name` in the running program's directory; "" when that directory
// is unknown.
std::string besideRunningProgram(const std::string& name);

}  // namespace platform::autostart
