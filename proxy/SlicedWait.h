#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace proxy {

// How many slices a sliced wait of `total` may take: enough for the whole
// time, and a bound on the loop whatever the clock does.
inline std::int64_t sliceCount(std::chrono::milliseconds total, std::chrono::milliseconds slice) {
    const std::int64_t step = std::max<std::int64_t>(1, slice.count());
    return std::max<std::int64_t>(0, total.count()) / step + 2;
}

enum class SliceEnd { Ready, TimedOut, Stopped };

// Waits up to `timeout` in slices of at most `slice`, looking at `stop` before
// each: `step(wait)` waits at most `wait` and answers whether anything came.
// Slices no longer than the idle listener's wait let a stop be seen as soon as
// the listener sees it, so neither exit nor a restart waits a whole time-out
// for a silent peer.
template <typename Step>
SliceEnd inSlices(const std::atomic<bool>& stop, std::chrono::milliseconds slice,
                  std::chrono::milliseconds timeout, Step step) {
    using std::chrono::milliseconds;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::int64_t slices = sliceCount(timeout, slice);
    // The clock is read again only after a step that found nothing: a relay
    // makes a step for every 100 bytes, and most find their stream ready.
    milliseconds left = timeout;
    for (std::int64_t n = 0; n < slices; ++n) {
        if (stop) {
            return SliceEnd::Stopped;
        }
        const milliseconds wait = std::clamp(left, milliseconds(0), slice);
        if (step(wait)) {
            return SliceEnd::Ready;
        }
        if (left <= wait) {
            break;
        }
        left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    }
    return SliceEnd::TimedOut;
}

}  // namespace proxy
