#pragma once

#include <optional>
#include <span>
#include <string>

namespace platform {

// The one place both programs find their installation: the directory holding the
// store, the filter, the lists and the logs, kept as ssh keeps ~/.ssh. The
// program makes it its working directory at start-up, so every file name the
// layers use stays a plain relative name.

// "$XDG_DATA_HOME/glimmerfen", or "$HOME/.local/share/glimmerfen" when
// XDG_DATA_HOME is unset, empty or relative (the XDG base directory rules).
// Empty when there is no home directory to put it in.
std::string defaultDataDirectory();

enum class Creation {
    CreateMissing,  // the default directory: made on first use, parents too
    MustExist,      // a directory the user named: a typo must not make a new one
};

// Makes `directory` (created 0700 when missing and allowed) the working
// directory, with its "backup" directory (0700). Refused, with the reason and
// how to fix it, when the directory belongs to another user, when group or
// others can write to it (anyone who can rename entries there can swap the
// store or the filter under the program), or when one of the program's own
// file names there is taken by something other than a regular file (a link, a
// FIFO, a device). A symbolic link to a directory that passes the same checks
// is accepted, as a user may keep the data on another disk.
// Returns the refusal, or nullopt when the program may start.
std::optional<std::string> enterDataDirectory(const std::string& directory, Creation creation);

// The program's own file names in the data directory, relative to it: the names
// the layers above define, listed here so that the start-up check needs nothing
// from them.
std::span<const char* const> ownFileNames();

}  // namespace platform
