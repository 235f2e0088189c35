// The order in which a message is judged: white list, black list, block lists,
// then the classifier.
#include <gtest/gtest.h>

#include <memory>

#include "FakeNameServer.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "rating/MessageRater.h"
#include "support/StoreFixture.h"

using namespace std::chrono_literals;

namespace {

// A relay in the Received path whose address the fake block list lists.
const std::string kListedRelay = "Received: from relay.example.net ([198.51.7.9]) by mx\r\n";
const std::string kListedName = "9.7.51.198.sbl-xbl.spamhaus.org";

std::string message(const std::string& from, const std::string& subject,
                    const std::string& received = "") {
    return received + "From: " + from + "\r\nTo: me@example.org\r\nSubject: " + subject +
           "\r\n\r\nhello there my friend, see you soon\r\n.\r\n";
}

class MessageRaterTest : public StoreFixture {
  protected:
    MessageRaterTest()
        : m_server([](const std::string& name) {
              return name == kListedName ? FakeReply::listed(127, 0, 0, 2)
                                         : FakeReply::responseCode(3);
          }),
          m_white(kWhiteListFile),
          m_black(kBlackListFile),
          m_bayes(db(), desktop()) {}

    void SetUp() override {
        ASSERT_TRUE(m_server.ready());
        ASSERT_TRUE(db().setNameServerIP({127, 0, 0, 1}));
        m_resolver = std::make_unique<DnsResolver>(db(), desktop(), m_server.port(), 3000ms);
        m_rater = std::make_unique<MessageRater>(m_white, m_black, *m_resolver, m_bayes);
    }

    void listPhrase(FilterList& list, const std::string& field, const std::string& phrase) {
        ListRows rows;
        list.showInList(rows);
        rows.push_back({phrase, field, "Insensitive"});
        ASSERT_TRUE(list.replaceFromList(rows));
    }

    FakeNameServer m_server;
    FilterList m_white;
    FilterList m_black;
    BayesFilter m_bayes;
    std::unique_ptr<DnsResolver> m_resolver;
    std::unique_ptr<MessageRater> m_rater;
};

}  // namespace

TEST_F(MessageRaterTest, WhiteListIsAskedBeforeEverythingElse) {
    listPhrase(m_white, "From", "friend@example.org");
    listPhrase(m_black, "From", "friend@");
    m_resolver->setDnsblZones(2);
    const MessageRating rating =
        m_rater->rate(message("Friend@Example.org", "news", kListedRelay), false);
    EXPECT_EQ(rating.verdict, Verdict::White);
    EXPECT_EQ(rating.rating, 0.5);
    EXPECT_TRUE(m_server.queryNames().empty());
}

TEST_F(MessageRaterTest, BlackListComesBeforeTheBlockLists) {
    listPhrase(m_black, "Subject", "cheap pills");
    m_resolver->setDnsblZones(2);
    const MessageRating rating =
        m_rater->rate(message("a@example.org", "CHEAP PILLS now", kListedRelay), false);
    EXPECT_EQ(rating.verdict, Verdict::Black);
    EXPECT_TRUE(isSpam(rating.verdict));
    EXPECT_TRUE(m_server.queryNames().empty());
}

TEST_F(MessageRaterTest, ListedRelayIsSpamEvenWithTheFilterOff) {
    m_resolver->setDnsblZones(2);
    EXPECT_EQ(m_rater->rate(message("a@example.org", "hi", kListedRelay), false).verdict,
              Verdict::Dnsbl);
    EXPECT_EQ(m_server.queryNames(), std::vector<std::string>{kListedName});
}

TEST_F(MessageRaterTest, UndecidedMessagesGoToTheClassifier) {
    // No table: the classifier calls everything ham and does not rate it.
    const MessageRating rating = m_rater->rate(message("a@example.org", "hi", kListedRelay), true);
    EXPECT_EQ(rating.verdict, Verdict::Ham);
    EXPECT_EQ(rating.rating, 0.5);
    EXPECT_FALSE(isSpam(rating.verdict));
    EXPECT_TRUE(m_server.queryNames().empty());  // both block lists are off
    EXPECT_EQ(verdictName(Verdict::Dnsbl), "dnsbl");
}
