#pragma once

#include <chrono>

namespace platform {

enum class PollOutcome { Ready, TimedOut, Failed, Interrupted };

// Waits until the descriptor has one of the poll events, the time runs out, or
// poll fails (errno tells why). Signals do not stretch the wait: it is measured
// against a deadline, and a run of interruptions ends it as Interrupted. An
// error or hang-up on the descriptor counts as Ready, so that the read or write
// that follows picks up the error, as a readiness wait on other systems does.
PollOutcome pollFor(int fd, short events, std::chrono::milliseconds timeout);

}  // namespace platform
