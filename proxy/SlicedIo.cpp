#include "proxy/SlicedIo.h"

#include <algorithm>

#include "proxy/SlicedWait.h"

namespace proxy {

using platform::ByteStream;
using std::chrono::milliseconds;

namespace {

SlicedIo::Result ended(const ByteStream& stream, ByteStream::Result step) {
    using End = SlicedIo::End;
    switch (step.status) {
        case ByteStream::Status::Done:
            return {End::Done, step.count, 0};
        case ByteStream::Status::Closed:
            return {End::Closed, 0, 0};
        case ByteStream::Status::Idle:
            return {End::TimedOut, 0, 0};
        case ByteStream::Status::WouldBlock:
            return {End::WouldBlock, 0, stream.lastError()};
        case ByteStream::Status::WaitFailed:
            return {End::WaitFailed, 0, stream.lastError()};
        case ByteStream::Status::TransferFailed:
            break;
    }
    return {End::TransferFailed, 0, stream.lastError()};
}

}  // namespace

SlicedIo::SlicedIo(const std::atomic<bool>& stop, milliseconds slice)
    : m_stop(stop), m_slice(slice) {}

template <typename Step>
SlicedIo::Result SlicedIo::sliced(ByteStream& stream, milliseconds timeout, Step step) const {
    ByteStream::Result last;
    const SliceEnd end = inSlices(m_stop, m_slice, timeout, [&](milliseconds wait) {
        last = step(wait);
        return last.status != ByteStream::Status::Idle;
    });
    if (end == SliceEnd::Stopped) {
        return {End::Stopped, 0, 0};
    }
    if (end == SliceEnd::TimedOut) {
        return {End::TimedOut, 0, 0};
    }
    return ended(stream, last);
}

SlicedIo::Result SlicedIo::read(ByteStream& stream, std::span<char> buffer,
                                milliseconds timeout) const {
    return sliced(stream, timeout,
                  [&](milliseconds wait) { return stream.readSome(buffer, wait); });
}

SlicedIo::Result SlicedIo::writeAll(ByteStream& stream, std::span<const char> bytes,
                                    milliseconds timeout) const {
    std::size_t sent = 0;
    // Each pass moves at least one byte or ends, so the size bounds the loop.
    while (sent < bytes.size()) {
        const std::span<const char> rest = bytes.subspan(sent);
        Result part = sliced(stream, timeout,
                             [&](milliseconds wait) { return stream.writeSome(rest, wait); });
        if (part.end != End::Done) {
            part.count = sent;
            return part;
        }
        if (part.count == 0) {
            // A stream that claims to have moved nothing would keep this loop going.
            return {End::Closed, sent, 0};
        }
        sent += std::min(part.count, rest.size());
    }
    return {End::Done, sent, 0};
}

}  // namespace proxy
