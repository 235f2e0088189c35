#include "proxy/ServerProbe.h"

#include <algorithm>
#include <array>

#include "proxy/ServerLink.h"
#include "proxy/SlicedIo.h"

namespace {

using namespace std::chrono_literals;
using proxy::ServerLink;
using proxy::SlicedIo;

// As often as the proxy's listener looks at a stop.
constexpr auto kSlice = 100ms;
// A greeting line longer than this is no POP3 server's.
constexpr std::size_t kLongestGreeting = 4096;

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// The first line the server sends over the link (plain text or TLS); empty
// with `failure` set when none comes.
std::string readGreeting(ServerLink& link, const SlicedIo& io, std::chrono::milliseconds timeout,
                         std::string& failure) {
    std::string line;
    std::array<char, 256> buffer{};
    // Every pass takes at least one byte or ends, and the line has a most.
    while (!line.ends_with("\r\n") && line.size() < kLongestGreeting) {
        const SlicedIo::Result read = io.read(link, buffer, timeout);
        if (read.end != SlicedIo::End::Done) {
            failure = read.end == SlicedIo::End::Stopped
                          ? "the test was stopped"
                          : "the server sent no greeting within the time-out";
            return {};
        }
        line.append(buffer.data(), read.count);
    }
    return withoutLineEnd(line.substr(0, line.find("\r\n")));
}

}  // namespace

ProbeReport probeServer(const Pop3Settings& server, const ServerSecurity& security,
                        std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
    ProbeReport report;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The steps share the time: connecting and the handshake a third each,
    // and each of the three replies before STLS a sixth, so that even a
    // server that answers each step just in time ends the test near `timeout`.
    const proxy::LinkTimeouts timeouts{std::max(timeout / 3, kSlice),
                                       std::max(timeout / 6, kSlice), kSlice};
    ServerLink link(stop, timeouts);
    const ServerLink::Opened opened = link.open(proxy::ServerTarget{server, security});
    report.certificate = link.certificate();
    if (opened == ServerLink::Opened::Stopped) {
        report.failure = "the test was stopped";
        return report;
    }
    if (opened == ServerLink::Opened::Failed) {
        report.failure = link.failure().sentence;
        return report;
    }
    const SlicedIo io(stop, kSlice);
    if (!link.greeting().empty()) {
        report.greeting = withoutLineEnd(link.greeting());
    } else {
        // Plain text may still be connecting: the greeting gets what is left.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        report.greeting = readGreeting(link, io, std::max(left, kSlice), report.failure);
        if (report.greeting.empty() && report.failure.empty()) {
            report.failure = "the server's greeting was empty";
        }
    }
    if (!report.failure.empty()) {
        return report;
    }
    report.sessionCouldStart = report.greeting.starts_with("+OK");
    if (!report.sessionCouldStart) {
        report.failure = "the server did not greet with +OK";
    }
    // Polite, not needed: the answer is not waited for.
    (void)io.writeAll(link, std::string_view("QUIT\r\n"), timeout);
    link.shutdownBoth();
    return report;
}
