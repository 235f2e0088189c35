// Before sending "STLS" the proxy reads the server's capability list, which
// may arrive split anywhere, and must neither miss the capability nor see it
// where it is not, nor take bytes beyond the list's end.
#include <gtest/gtest.h>

#include <string>

#include "proxy/StlsOffer.h"

namespace {

struct Seen {
    bool complete = false;
    bool offered = false;
    std::size_t used = 0;
};

Seen readInThree(const std::string& bytes, std::size_t first, std::size_t second) {
    proxy::StlsOffer offer;
    Seen seen;
    const std::string_view all(bytes);
    seen.used += offer.feed(all.substr(0, first));
    seen.used += offer.feed(all.substr(first, second - first));
    seen.used += offer.feed(all.substr(second));
    seen.complete = offer.complete();
    seen.offered = offer.offered();
    return seen;
}

// `reply` is the whole answer; `after` follows it in the same reads.
void expectAtEverySplit(const std::string& reply, bool offered, const std::string& after = "") {
    const std::string bytes = reply + after;
    for (std::size_t first = 0; first <= bytes.size(); ++first) {
        for (std::size_t second = first; second <= bytes.size(); ++second) {
            const Seen seen = readInThree(bytes, first, second);
            ASSERT_TRUE(seen.complete) << "splits at " << first << " and " << second;
            ASSERT_EQ(seen.offered, offered) << "splits at " << first << " and " << second;
            ASSERT_EQ(seen.used, reply.size()) << "splits at " << first << " and " << second;
        }
    }
}

TEST(StlsOfferTest, FoundInAnyCaseWhereverTheReadsSplit) {
    expectAtEverySplit("+OK\r\nTOP\r\nUSER\r\nSTLS\r\nUIDL\r\n.\r\n", true);
    expectAtEverySplit("+OK list\r\nstls\r\n.\r\n", true);
    expectAtEverySplit("+OK\r\nSTLS   \r\n.\r\n", true);
}

TEST(StlsOfferTest, NotSeenInTheStatusLineAnotherNameOrAnError) {
    expectAtEverySplit("+OK STLS\r\nTOP\r\n.\r\n", false);
    expectAtEverySplit("+OK\r\nSTLSX\r\nX-STLS\r\nSASL STLS\r\n.\r\n", false);
    expectAtEverySplit("-ERR unknown command\r\n", false);
    expectAtEverySplit("+OK\r\n.\r\n", false);
}

TEST(StlsOfferTest, BytesAfterTheEndAreNotTaken) {
    expectAtEverySplit("+OK\r\nSTLS\r\n.\r\n", true, "STLS\r\n");
    expectAtEverySplit("-ERR no\r\n", false, "+OK\r\nSTLS\r\n.\r\n");
}

TEST(StlsOfferTest, AnUnfinishedListIsNotComplete) {
    proxy::StlsOffer offer;
    EXPECT_EQ(offer.feed("+OK\r\nSTLS\r\n.\r"), 13u);
    EXPECT_FALSE(offer.complete());
    EXPECT_EQ(offer.feed("\n"), 1u);
    EXPECT_TRUE(offer.complete());
    EXPECT_TRUE(offer.offered());
}

}  // namespace
