// The block-list client against a name server of our own on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "rating/DnsResolver.h"
#include "rating/FakeNameServer.h"
#include "support/StoreFixture.h"

using namespace std::chrono_literals;

namespace {

// Long enough that an answered query never runs into it, even in a sanitizer build.
constexpr auto kAnswerWait = 3000ms;
// For the cases in which nobody answers.
constexpr auto kSilenceWait = 200ms;

std::vector<std::uint8_t> labelsOf(const std::string& name) {
    std::vector<std::uint8_t> bytes;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        bytes.push_back(static_cast<std::uint8_t>(end - start));
        bytes.insert(bytes.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                     name.begin() + static_cast<std::ptrdiff_t>(end));
        start = end + 1;
    }
    bytes.push_back(0);
    return bytes;
}

class DnsResolverTest : public StoreFixture {
  protected:
    void storeNameServer(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        ASSERT_TRUE(db().setNameServerIP({a, b, c, d}));
    }

    std::unique_ptr<DnsResolver> resolverFor(const FakeNameServer& server,
                                             std::chrono::milliseconds wait = kAnswerWait) {
        EXPECT_TRUE(server.ready());
        return std::make_unique<DnsResolver>(db(), desktop(), server.port(), wait);
    }
};

TEST_F(DnsResolverTest, QueryDatagramIsLaidOutByteForByte) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server(std::vector{FakeReply::listed(127, 0, 0, 2)});
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 2);

    const std::string name = "1.2.0.192.sbl-xbl.spamhaus.org";
    std::vector<std::uint8_t> expected = {0, 2, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    const std::vector<std::uint8_t> labels = {1,   '1', 1,   '2', 1,   '0', 3,   '1', '9', '2', 7,
                                              's', 'b', 'l', '-', 'x', 'b', 'l', 8,   's', 'p', 'a',
                                              'm', 'h', 'a', 'u', 's', 3,   'o', 'r', 'g', 0};
    expected.insert(expected.end(), labels.begin(), labels.end());
    expected.insert(expected.end(), {0, 1, 0, 1});

    const auto queries = server.queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0], expected);
    EXPECT_EQ(queries[0].size(), name.size() + 18);
}

TEST_F(DnsResolverTest, SecondListIsAskedUnderItsOwnZone) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server(std::vector{FakeReply::responseCode(3)});
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("1.2.3.4", 1), 0);

    const auto queries = server.queries();
    ASSERT_EQ(queries.size(), 1u);
    const std::string name = "4.3.2.1.bl.spamcop.net";
    EXPECT_EQ(queryNameOf(queries[0]), name);
    ASSERT_EQ(queries[0].size(), name.size() + 18);
    const std::vector<std::uint8_t> labels(queries[0].begin() + 12, queries[0].end() - 4);
    EXPECT_EQ(labels, labelsOf(name));
}

TEST_F(DnsResolverTest, QueryIdsRunFromTwoToTenAndRoundAgain) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::responseCode(3); });
    auto resolver = resolverFor(server);

    for (int i = 0; i < 11; ++i) {
        ASSERT_EQ(resolver->queryDnsbl("203.0.113.7", 0), 0);
    }

    const auto queries = server.queries();
    ASSERT_EQ(queries.size(), 11u);
    std::vector<int> ids;
    for (const auto& query : queries) {
        ASSERT_GE(query.size(), 2u);
        EXPECT_EQ(query[0], 0);
        ids.push_back(query[1]);
    }
    EXPECT_EQ(ids, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 2, 3}));
}

TEST_F(DnsResolverTest, ResultFollowsTheAnswer) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server(std::vector{FakeReply::listed(127, 0, 0, 2),
                                      FakeReply::listed(127, 0, 0, 4), FakeReply::responseCode(3),
                                      FakeReply::responseCode(2), FakeReply::responseCode(5),
                                      FakeReply::listed(127, 255, 255, 254), FakeReply::noRecords(),
                                      FakeReply::truncated(), FakeReply::listed(127, 0, 0, 10)});
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 2);
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 4);
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 1), 0) << "no such name: not listed";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 1), -1) << "server failure";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), -1) << "refused";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), -1) << "the list refused the query";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 0) << "no records: not listed";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), -1) << "cut short";
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 1), 10);
    EXPECT_EQ(server.queries().size(), 9u);
}

TEST_F(DnsResolverTest, NoAnswerGivesMinusOneAfterTheWait) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server(std::vector{FakeReply::silence()});
    auto resolver = resolverFor(server, kSilenceWait);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, kSilenceWait);
    // One wait, not several: generous enough for a loaded sanitizer build.
    EXPECT_LT(waited, kSilenceWait + 2s);
    EXPECT_EQ(server.queries().size(), 1u);
}

TEST_F(DnsResolverTest, ReplyFromAnotherSenderIsNotRead) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::responseCode(3); });
    // A stranger's "listed" reaches the querier's port first; taken for the
    // answer, it would mark an innocent relay as listed.
    server.forgeFromElsewhere(FakeReply::listed(127, 0, 0, 2));
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 0);
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 1), 0);
    EXPECT_EQ(server.queries().size(), 2u);
}

TEST_F(DnsResolverTest, OnlyTheReplyWithTheQueryIdAndQuestionIsRead) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::responseCode(3); });
    // Two "listed" datagrams from the name server's own address reach the
    // querier first: one with another id, one about another name.
    server.precedeRepliesWith([](const std::vector<std::uint8_t>& query) {
        std::vector<std::uint8_t> otherId = buildReply(query, FakeReply::listed(127, 0, 0, 2));
        otherId[1] = static_cast<std::uint8_t>(otherId[1] + 1);
        std::vector<std::uint8_t> otherName(query.begin(), query.begin() + 12);
        const std::vector<std::uint8_t> evil = labelsOf("evil.example");
        otherName.insert(otherName.end(), evil.begin(), evil.end());
        otherName.insert(otherName.end(), {0, 1, 0, 1});
        return std::vector<std::vector<std::uint8_t>>{
            otherId, buildReply(otherName, FakeReply::listed(127, 0, 0, 2))};
    });
    auto resolver = resolverFor(server);
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 0);

    // A name server may answer in other letter case: still the answer.
    FakeNameServer shouting([](const std::string&) { return FakeReply::silence(); });
    shouting.precedeRepliesWith([](const std::vector<std::uint8_t>& query) {
        std::vector<std::uint8_t> reply = buildReply(query, FakeReply::listed(127, 0, 0, 4));
        std::transform(reply.begin() + 12,
                       reply.begin() + static_cast<std::ptrdiff_t>(query.size()),
                       reply.begin() + 12, [](std::uint8_t c) {
                           return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - 32) : c;
                       });
        return std::vector<std::vector<std::uint8_t>>{reply};
    });
    EXPECT_EQ(resolverFor(shouting)->queryDnsbl("192.0.2.1", 1), 4);
}

TEST_F(DnsResolverTest, TextsThatAreNotDottedQuadsAreNotAskedAbout) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::listed(127, 0, 0, 2); });
    auto resolver = resolverFor(server);

    for (const char* text :
         {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1..2.3",
          "a.b.c.d", "1.2.3.4x", " 1.2.3.4", "1.2.3.4 ", "-1.2.3.4", "+1.2.3.4", "1234.1.1.1",
          "0001.1.1.1", "1.2.3.4/24", "example.org"}) {
        EXPECT_EQ(resolver->queryDnsbl(text, 0), -1) << '"' << text << '"';
    }
    // The one real query that follows is the first the server sees.
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), 2);
    EXPECT_EQ(server.queryNames(), std::vector<std::string>{"4.4.8.8.sbl-xbl.spamhaus.org"});
}

TEST_F(DnsResolverTest, LeadingZerosAreReadAsTheNumber) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::responseCode(3); });
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("010.001.000.255", 0), 0);
    EXPECT_EQ(server.queryNames(), std::vector<std::string>{"255.0.1.10.sbl-xbl.spamhaus.org"});
}

TEST_F(DnsResolverTest, UnknownZoneIsNotAskedAbout) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::listed(127, 0, 0, 2); });
    auto resolver = resolverFor(server);

    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 2), -1);
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", -1), -1);
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 1), 2);
    EXPECT_EQ(server.queryNames(), std::vector<std::string>{"4.4.8.8.bl.spamcop.net"});
}

TEST_F(DnsResolverTest, StoredServerIsReadOnceUntilTheFlagIsCleared) {
    // A fresh store names no server (0.0.0.0), which must not reach this machine.
    FakeNameServer server([](const std::string&) { return FakeReply::listed(127, 0, 0, 2); });
    auto resolver = resolverFor(server);
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), -1);

    // The server text is kept until the settings dialog clears it.
    storeNameServer(127, 0, 0, 1);
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), -1);
    EXPECT_TRUE(server.queries().empty());

    resolver->clearServerKnown();
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), 2);
    EXPECT_EQ(server.queries().size(), 1u);
}

TEST_F(DnsResolverTest, ServerTestAsksTheGivenServerAndThenRereadsTheStore) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server(std::vector{FakeReply::responseCode(3), FakeReply::listed(127, 0, 0, 2),
                                      FakeReply::responseCode(3)});
    auto resolver = resolverFor(server, kSilenceWait);

    // The configured server is known and in use ...
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), 0);
    // ... the user configures another one, where nobody answers ...
    storeNameServer(127, 0, 0, 9);
    // ... and tests the old address: it works,
    EXPECT_TRUE(resolver->testNameServer("127.0.0.1"));
    // and the next query goes to the stored server, not to the tested one.
    EXPECT_EQ(resolver->queryDnsbl("8.8.4.4", 0), -1);

    EXPECT_EQ(server.queryNames(), (std::vector<std::string>{"4.4.8.8.sbl-xbl.spamhaus.org",
                                                             "2.0.0.127.sbl-xbl.spamhaus.org"}));
}

TEST_F(DnsResolverTest, ServerTestFailsWhereNobodyAnswersAndLeavesTheStoredServer) {
    storeNameServer(127, 0, 0, 1);
    FakeNameServer server([](const std::string&) { return FakeReply::listed(127, 0, 0, 2); });
    auto resolver = resolverFor(server, kSilenceWait);

    EXPECT_FALSE(resolver->testNameServer("127.0.0.3"));
    EXPECT_FALSE(resolver->testNameServer("not an address"));
    EXPECT_FALSE(resolver->testNameServer("0.0.0.0"));
    EXPECT_EQ(resolver->queryDnsbl("192.0.2.1", 0), 2);

    EXPECT_EQ(server.queryNames(), std::vector<std::string>{"1.2.0.192.sbl-xbl.spamhaus.org"});
}

TEST_F(DnsResolverTest, ServerTestPassesOnAnyAnswerAndFailsOnAnError) {
    storeNameServer(127, 0, 0, 9);
    FakeNameServer server(std::vector{
        FakeReply::responseCode(3), FakeReply::noRecords(), FakeReply::responseCode(5),
        FakeReply::responseCode(2), FakeReply::listed(127, 255, 255, 254),
        FakeReply::listed(127, 0, 0, 2), FakeReply::listed(10, 0, 0, 1), FakeReply::truncated()});
    auto resolver = resolverFor(server);

    EXPECT_TRUE(resolver->testNameServer("127.0.0.1")) << "no such name";
    EXPECT_TRUE(resolver->testNameServer("127.0.0.1")) << "no records";
    EXPECT_FALSE(resolver->testNameServer("127.0.0.1")) << "refused";
    EXPECT_FALSE(resolver->testNameServer("127.0.0.1")) << "server failure";
    // The list refuses queries that come through public resolvers, but the
    // name server itself did answer.
    EXPECT_TRUE(resolver->testNameServer("127.0.0.1")) << "the list refused the query";
    EXPECT_TRUE(resolver->testNameServer("127.0.0.1")) << "listed";
    EXPECT_TRUE(resolver->testNameServer("127.0.0.1")) << "another address";
    EXPECT_FALSE(resolver->testNameServer("127.0.0.1")) << "cut short";
    EXPECT_EQ(server.queries().size(), 8u);
}

TEST_F(DnsResolverTest, ZoneSwitchesFollowTheStateByte) {
    storeNameServer(127, 0, 0, 1);
    DnsResolver resolver(db(), desktop());
    desktop().clear();

    struct Case {
        unsigned char state;
        bool first;
        bool second;
        const char* status;
    };
    for (const Case& c : {Case{0, false, false, "status Dnsbl DNSBL OFF"},
                          Case{2, true, false, "status Dnsbl DNSBL ON"},
                          Case{1, false, false, "status Dnsbl DNSBL OFF"},
                          Case{4, false, true, "status Dnsbl DNSBL ON"},
                          Case{6, true, true, "status Dnsbl DNSBL ON"},
                          Case{0xF9, false, false, "status Dnsbl DNSBL OFF"},
                          Case{0xFF, true, true, "status Dnsbl DNSBL ON"}}) {
        desktop().clear();
        resolver.setDnsblZones(c.state);
        EXPECT_EQ(resolver.spamhausEnabled(), c.first) << int{c.state};
        EXPECT_EQ(resolver.spamcopEnabled(), c.second) << int{c.state};
        EXPECT_EQ(desktop().calls(), std::vector<std::string>{c.status}) << int{c.state};
    }
}

TEST_F(DnsResolverTest, ConstructionShowsNothingAndSwitchesNothingOn) {
    desktop().clear();
    DnsResolver resolver(db(), desktop());
    EXPECT_FALSE(resolver.spamhausEnabled());
    EXPECT_FALSE(resolver.spamcopEnabled());
    EXPECT_TRUE(desktop().calls().empty());
}

}  // namespace
