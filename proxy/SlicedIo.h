#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <span>

#include "platform/ByteStream.h"

namespace proxy {

// The relay's reads and writes through a byte stream: each may take up to a
// time-out, waited for in slices (proxy/SlicedWait.h) that see a stop. The
// stream waits on its own descriptor; nothing here touches one.
class SlicedIo {
  public:
    enum class End {
        Done,            // `count` bytes moved (writes: all of them)
        Closed,          // reads: the peer ended the stream; writes: nothing was taken
        TimedOut,        // the time-out passed
        Stopped,         // the stop flag went up first
        WouldBlock,      // the stream was ready, yet had nothing (`error` 10035)
        WaitFailed,      // `error` tells why
        TransferFailed,  // `error` tells why
    };
    struct Result {
        End end = End::Done;
        std::size_t count = 0;
        int error = 0;
    };

    // `stop` must outlive this object.
    SlicedIo(const std::atomic<bool>& stop, std::chrono::milliseconds slice);

    // One read of at most buffer.size() bytes within `timeout`.
    Result read(platform::ByteStream& stream, std::span<char> buffer,
                std::chrono::milliseconds timeout) const;
    // All of `bytes`; the time-out starts again after each part the stream
    // takes. On any end but Done, `count` is what went before it.
    Result writeAll(platform::ByteStream& stream, std::span<const char> bytes,
                    std::chrono::milliseconds timeout) const;

  private:
    template <typename Step>
    Result sliced(platform::ByteStream& stream, std::chrono::milliseconds timeout, Step step) const;

    const std::atomic<bool>& m_stop;
    std::chrono::milliseconds m_slice;
};

}  // namespace proxy
