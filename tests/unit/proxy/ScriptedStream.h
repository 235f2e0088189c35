#pragma once

// A byte stream with scripted answers: what the relay sees of a stream that
// is not a plain socket, such as an encrypted one that spends whole slices
// waiting on its own descriptor between records.

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ByteStream.h"

namespace proxytest {

class ScriptedStream : public platform::ByteStream {
  public:
    // The next read gives these bytes (over as many reads as the buffer needs).
    void queueBytes(std::string bytes) { m_reads.push_back({Status::Done, std::move(bytes), 0}); }
    // The next `count` reads find nothing within their slice.
    void queueIdle(int count) {
        for (int n = 0; n < count; ++n) {
            m_reads.push_back({Status::Idle, {}, 0});
        }
    }
    void queueEnd(Status status, int error = 0) { m_reads.push_back({status, {}, error}); }
    // Once the script is used up, every read finds nothing.

    // Writes take at most `limit` bytes, and every other write finds no room.
    void limitWrites(std::size_t limit) { m_writeLimit = std::max<std::size_t>(1, limit); }
    // Called before every read, with the number of reads so far.
    std::function<void(int)> beforeRead;

    Result readSome(std::span<char> buffer, std::chrono::milliseconds) override {
        if (beforeRead) {
            beforeRead(m_readCalls);
        }
        ++m_readCalls;
        if (m_reads.empty()) {
            return {Status::Idle, 0};
        }
        Step& step = m_reads.front();
        if (step.status != Status::Done) {
            const Step ended = step;
            m_reads.pop_front();
            m_error = ended.error;
            return {ended.status, 0};
        }
        const std::size_t count = std::min(buffer.size(), step.bytes.size());
        std::copy_n(step.bytes.begin(), count, buffer.begin());
        step.bytes.erase(0, count);
        if (step.bytes.empty()) {
            m_reads.pop_front();
        }
        return {Status::Done, count};
    }

    Result writeSome(std::span<const char> bytes, std::chrono::milliseconds) override {
        if (m_writeCalls++ % 2 == 0) {
            return {Status::Idle, 0};
        }
        const std::size_t count = std::min(bytes.size(), m_writeLimit);
        written.append(bytes.data(), count);
        return {Status::Done, count};
    }

    void setCork(bool on) override {
        corked = on;
        corkings.emplace_back(on, written.size());
    }
    void shutdownBoth() override {}
    void close() override {}
    int lastError() const override { return m_error; }

    int readCalls() const { return m_readCalls; }

    std::string written;
    bool corked = false;
    // Each setCork: on or off, and how much had been written by then.
    std::vector<std::pair<bool, std::size_t>> corkings;

  private:
    struct Step {
        Status status;
        std::string bytes;
        int error;
    };
    std::deque<Step> m_reads;
    std::size_t m_writeLimit = SIZE_MAX;
    int m_readCalls = 0;
    int m_writeCalls = 0;
    int m_error = 0;
};

}  // namespace proxytest
