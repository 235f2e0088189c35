// A capability listing reaches the client without "STLS" and "PIPELINING",
// however the listing is split into reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/CapabilityFilter.h"

namespace {

std::string filterInPieces(const std::string& reply, const std::vector<std::size_t>& cuts) {
    proxy::CapabilityFilter filter;
    std::string out;
    std::size_t start = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(reply.size());
    for (const std::size_t end : ends) {
        filter.feed(std::string_view(reply).substr(start, end - start), out);
        start = end;
    }
    filter.finish(out);
    return out;
}

void expectAtEverySplit(const std::string& reply, const std::string& expected) {
    ASSERT_EQ(filterInPieces(reply, {}), expected);
    for (std::size_t first = 0; first <= reply.size(); ++first) {
        for (std::size_t second = first; second <= reply.size(); ++second) {
            ASSERT_EQ(filterInPieces(reply, {first, second}), expected)
                << "splits at " << first << " and " << second;
        }
    }
}

TEST(CapabilityFilterTest, StlsAndPipeliningAreLeftOut) {
    expectAtEverySplit(
        "+OK Capability list follows\r\nTOP\r\nSTLS\r\nUSER\r\nPIPELINING\r\nUIDL\r\nSASL "
        "PLAIN LOGIN\r\n.\r\n",
        "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nSASL PLAIN LOGIN\r\n.\r\n");
}

TEST(CapabilityFilterTest, NamesAreComparedWithoutCaseAndTrailingBlanks) {
    expectAtEverySplit("+OK\r\nstls\r\nPipelining \r\nSTLSX\r\nX-STLS\r\n.\r\n",
                       "+OK\r\nSTLSX\r\nX-STLS\r\n.\r\n");
}

TEST(CapabilityFilterTest, StatusLineIsNeverDropped) {
    expectAtEverySplit("STLS\r\nSTLS\r\n.\r\n", "STLS\r\n.\r\n");
}

TEST(CapabilityFilterTest, ErrorReplyPassesUnchanged) {
    expectAtEverySplit("-ERR no capabilities\r\n", "-ERR no capabilities\r\n");
}

TEST(CapabilityFilterTest, ListingWithoutDroppedLinesIsUnchanged) {
    const std::string reply = "+OK\r\nTOP\r\nUSER\r\nRESP-CODES\r\nEXPIRE NEVER\r\n.\r\n";
    expectAtEverySplit(reply, reply);
}

TEST(CapabilityFilterTest, LongLinesPassWithoutBeingHeldWhole) {
    const std::string longLine(500, 'A');
    const std::string reply = "+OK\r\n" + longLine + "\r\nSTLS\r\n.\r\n";
    proxy::CapabilityFilter filter;
    std::string out;
    filter.feed(reply.substr(0, 5 + 300), out);
    // Most of the long line has gone on before its end arrived.
    EXPECT_GE(out.size(), 5 + 300 - proxy::CapabilityFilter::kHoldLimit - 1);
    filter.feed(reply.substr(5 + 300), out);
    filter.finish(out);
    EXPECT_EQ(out, "+OK\r\n" + longLine + "\r\n.\r\n");
}

TEST(CapabilityFilterTest, AnUnfinishedLineComesOutAtTheEnd) {
    proxy::CapabilityFilter filter;
    std::string out;
    filter.feed("+OK\r\nST", out);
    EXPECT_EQ(out, "+OK\r\n");
    filter.finish(out);
    EXPECT_EQ(out, "+OK\r\nST");
}

}  // namespace
