#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// glimmerfen-cli's commands over filter building: a build now, the weekly
// schedule, and a build request to a running proxy.
namespace commands {

using Arguments = std::vector<std::string>;

void build(const Arguments& args, std::ostream& out, std::ostream& messages);
void schedule(const Arguments& args, std::ostream& out, std::ostream& messages);
void buildNow(const Arguments& args, std::ostream& out, std::ostream& messages);

// The signal a running proxy takes as "Build Now".
inline constexpr int kBuildRequestSignal = 10;  // SIGUSR1 on Linux

}  // namespace commands
