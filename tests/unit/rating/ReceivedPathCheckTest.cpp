// Which Received-path addresses are asked about, in which order, and what a
// listing does to the check.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rating/FakeNameServer.h"
#include "rating/ReceivedPathCheck.h"
#include "support/StoreFixture.h"

using namespace std::chrono_literals;

namespace {

TEST(IsPublicAddressTest, PrivateAndReservedBlocksAreNotPublic) {
    for (const char* address :
         {"0.0.0.0",      "0.255.255.255",   "10.0.0.0",    "10.255.255.255",
          "100.64.0.0",   "100.127.255.255", "127.0.0.1",   "127.255.255.255",
          "169.254.0.0",  "169.254.255.255", "172.16.0.0",  "172.31.255.255",
          "192.0.0.0",    "192.0.0.255",     "192.0.2.0",   "192.0.2.255",
          "192.168.0.0",  "192.168.255.255", "198.18.0.0",  "198.19.255.255",
          "198.51.100.0", "198.51.100.255",  "203.0.113.0", "203.0.113.255",
          "224.0.0.0",    "239.255.255.255", "240.0.0.0",   "255.255.255.255"}) {
        EXPECT_FALSE(isPublicAddress(address)) << address;
    }
}

TEST(IsPublicAddressTest, AddressesBesideTheBlocksArePublic) {
    for (const char* address :
         {"1.0.0.0",        "9.255.255.255",   "11.0.0.0",        "100.63.255.255",
          "100.128.0.0",    "126.255.255.255", "128.0.0.0",       "169.253.255.255",
          "169.255.0.0",    "172.15.255.255",  "172.32.0.0",      "191.255.255.255",
          "192.0.1.0",      "192.0.3.0",       "192.167.255.255", "192.169.0.0",
          "198.17.255.255", "198.20.0.0",      "198.51.99.255",   "198.51.101.0",
          "203.0.112.255",  "203.0.114.0",     "223.255.255.255", "8.8.8.8"}) {
        EXPECT_TRUE(isPublicAddress(address)) << address;
    }
}

TEST(IsPublicAddressTest, TextsThatAreNotAddressesAreNotPublic) {
    for (const char* text : {"", "8.8.8", "8.8.8.8.", "8.8.8.8.8", "8.8.8.256", "x8.8.8.8"}) {
        EXPECT_FALSE(isPublicAddress(text)) << '"' << text << '"';
    }
}

constexpr std::uint8_t kFirstList = 2;
constexpr std::uint8_t kSecondList = 4;

const std::string kFirstZone = ".sbl-xbl.spamhaus.org";
const std::string kSecondZone = ".bl.spamcop.net";

class ReceivedPathCheckTest : public StoreFixture {
  protected:
    ReceivedPathCheckTest()
        : m_server([this](const std::string& name) {
              std::lock_guard lock(m_namesMutex);
              return m_listed.contains(name)    ? FakeReply::listed(127, 0, 0, 2)
                     : m_failing.contains(name) ? FakeReply::responseCode(2)
                                                : FakeReply::responseCode(3);
          }) {}

    void SetUp() override {
        ASSERT_TRUE(m_server.ready());
        ASSERT_TRUE(db().setNameServerIP({127, 0, 0, 1}));
        m_resolver = std::make_unique<DnsResolver>(db(), desktop(), m_server.port(), 3000ms);
    }

    // The names the server answers as listed, and those it fails to answer.
    void answer(std::set<std::string> listed, std::set<std::string> failing = {}) {
        std::lock_guard lock(m_namesMutex);
        m_listed = std::move(listed);
        m_failing = std::move(failing);
    }

    // The server thread reads the names while a test may still be setting them.
    std::mutex m_namesMutex;
    std::set<std::string> m_listed;
    std::set<std::string> m_failing;
    FakeNameServer m_server;
    std::unique_ptr<DnsResolver> m_resolver;
};

TEST_F(ReceivedPathCheckTest, BothListsOffAsksNothing) {
    m_resolver->setDnsblZones(0);
    EXPECT_FALSE(checkReceivedPath({"1.1.1.1", "2.2.2.2"}, *m_resolver));
    // A query made now is the first the server sees.
    EXPECT_EQ(m_resolver->queryDnsbl("3.3.3.3", 0), 0);
    EXPECT_EQ(m_server.queryNames(), std::vector<std::string>{"3.3.3.3" + kFirstZone});
}

TEST_F(ReceivedPathCheckTest, OldestHopIsAskedFirstAndFirstListBeforeSecond) {
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_FALSE(checkReceivedPath({"1.1.1.1", "2.2.2.2", "3.3.3.3"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(),
              (std::vector<std::string>{"3.3.3.3" + kFirstZone, "2.2.2.2" + kFirstZone,
                                        "1.1.1.1" + kFirstZone, "3.3.3.3" + kSecondZone,
                                        "2.2.2.2" + kSecondZone, "1.1.1.1" + kSecondZone}));
}

TEST_F(ReceivedPathCheckTest, FirstListingEndsTheCheck) {
    answer({"2.2.2.2" + kFirstZone});
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_TRUE(checkReceivedPath({"1.1.1.1", "2.2.2.2", "3.3.3.3"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(),
              (std::vector<std::string>{"3.3.3.3" + kFirstZone, "2.2.2.2" + kFirstZone}));
}

TEST_F(ReceivedPathCheckTest, SecondListAloneIsAskedWhenTheFirstIsOff) {
    answer({"1.1.1.1" + kSecondZone, "1.1.1.1" + kFirstZone});
    m_resolver->setDnsblZones(kSecondList);
    EXPECT_TRUE(checkReceivedPath({"1.1.1.1", "2.2.2.2"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(),
              (std::vector<std::string>{"2.2.2.2" + kSecondZone, "1.1.1.1" + kSecondZone}));
}

TEST_F(ReceivedPathCheckTest, ListingOnlyInTheSecondListIsFound) {
    answer({"1.1.1.1" + kSecondZone});
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_TRUE(checkReceivedPath({"1.1.1.1", "2.2.2.2"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames().size(), 4u);
}

TEST_F(ReceivedPathCheckTest, FirstListOnlyIgnoresTheSecond) {
    answer({"1.1.1.1" + kSecondZone});
    m_resolver->setDnsblZones(kFirstList);
    EXPECT_FALSE(checkReceivedPath({"1.1.1.1"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(), std::vector<std::string>{"1.1.1.1" + kFirstZone});
}

TEST_F(ReceivedPathCheckTest, FailedQueryCountsAsNotListed) {
    answer({"1.1.1.1" + kFirstZone}, {"2.2.2.2" + kFirstZone});
    m_resolver->setDnsblZones(kFirstList);
    EXPECT_TRUE(checkReceivedPath({"1.1.1.1", "2.2.2.2"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(),
              (std::vector<std::string>{"2.2.2.2" + kFirstZone, "1.1.1.1" + kFirstZone}));
}

TEST_F(ReceivedPathCheckTest, LocalAndReservedHopsAreNotAskedAbout) {
    answer({"1.10.168.192" + kFirstZone, "1.0.0.127" + kFirstZone});
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_FALSE(checkReceivedPath(
        {"127.0.0.1", "10.1.2.3", "192.168.10.1", "5.6.7.8", "172.20.0.1", "100.64.1.1",
         "169.254.3.3", "192.0.2.44", "224.0.0.251", "255.255.255.255", "0.0.0.0"},
        *m_resolver));
    EXPECT_EQ(m_server.queryNames(),
              (std::vector<std::string>{"8.7.6.5" + kFirstZone, "8.7.6.5" + kSecondZone}));
}

TEST_F(ReceivedPathCheckTest, CandidatesThatAreNotAddressesAreNotAskedAbout) {
    answer({"4.3.2.1" + kFirstZone});
    m_resolver->setDnsblZones(kFirstList);
    EXPECT_FALSE(checkReceivedPath({"1.2.3.4.", "999.1.1.1", "1.2.3.4.5"}, *m_resolver));
    EXPECT_TRUE(m_server.queries().empty());
    EXPECT_TRUE(checkReceivedPath({"1.2.3.4"}, *m_resolver));
    EXPECT_EQ(m_server.queryNames(), std::vector<std::string>{"4.3.2.1" + kFirstZone});
}

TEST_F(ReceivedPathCheckTest, LongPathAsksTheNewestDistinctAddressesOnceEach) {
    // 391 hops over 20 addresses, newest first; the second hop is the first
    // written with a leading zero, which is the same address.
    std::vector<std::string> path;
    for (int i = 0; i < 390; ++i) {
        path.push_back("1.1.1." + std::to_string(1 + i % 20));
    }
    path.insert(path.begin() + 1, "01.1.1.1");
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_FALSE(checkReceivedPath(path, *m_resolver));

    std::vector<std::string> expected;
    for (const std::string& zone : {kFirstZone, kSecondZone}) {
        for (int last = static_cast<int>(kMaxCheckedAddresses); last >= 1; --last) {
            expected.push_back(std::to_string(last) + ".1.1.1" + zone);
        }
    }
    EXPECT_EQ(m_server.queryNames(), expected);
}

TEST_F(ReceivedPathCheckTest, SpentBudgetEndsTheCheckAsNotListed) {
    // The name server drops every query; the resolver would wait 3 s for each.
    FakeNameServer dropping([](const std::string&) { return FakeReply::silence(); });
    ASSERT_TRUE(dropping.ready());
    DnsResolver resolver(db(), desktop(), dropping.port(), 3000ms);
    resolver.setDnsblZones(kFirstList | kSecondList);
    EXPECT_FALSE(checkReceivedPath({"1.1.1.1", "2.2.2.2", "3.3.3.3"}, resolver, 100ms));
    // The first query used up the budget; nothing was asked after it.
    EXPECT_EQ(dropping.queryNames(), std::vector<std::string>{"3.3.3.3" + kFirstZone});
    // With nothing left, a listed address is not even asked about.
    answer({"1.1.1.1" + kFirstZone});
    m_resolver->setDnsblZones(kFirstList);
    EXPECT_FALSE(checkReceivedPath({"1.1.1.1"}, *m_resolver, 0ms));
    EXPECT_TRUE(m_server.queries().empty());
}

TEST_F(ReceivedPathCheckTest, EmptyPathIsNotListed) {
    m_resolver->setDnsblZones(kFirstList | kSecondList);
    EXPECT_FALSE(checkReceivedPath({}, *m_resolver));
    EXPECT_TRUE(m_server.queries().empty());
}

}  // namespace
