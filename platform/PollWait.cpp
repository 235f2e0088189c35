#include "platform/PollWait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {
constexpr int kMaxInterruptions = 100;
}

PollOutcome pollFor(int fd, short events, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (int attempt = 0; attempt < kMaxInterruptions; ++attempt) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int pollTimeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
            left.count(), 0, std::chrono::milliseconds::rep{2'000'000'000}));
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, pollTimeout);
        if (ready > 0) {
            return PollOutcome::Ready;
        }
        if (ready == 0) {
            return PollOutcome::TimedOut;
        }
        if (errno != EINTR) {
            return PollOutcome::Failed;
        }
        if (pollTimeout == 0) {
            return PollOutcome::TimedOut;
        }
    }
    return PollOutcome::Interrupted;
}

}  // namespace platform
