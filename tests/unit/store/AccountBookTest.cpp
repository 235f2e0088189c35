// The accounts as stored: main in the store, the others in the settings file,
// and every change checked before anything is written.
#include <gtest/gtest.h>

#include <string>

#include "store/AccountBook.h"
#include "store/Database.h"
#include "support/StoreFixture.h"

namespace {

class AccountBookTest : public StoreFixture {
  protected:
    static Account account(const std::string& name, int localPort) {
        return Account{name, {true, "pop." + name + ".example", 0, 0, 0, 0, 995, localPort},
                       {Security::Tls, std::nullopt}};
    }
};

TEST_F(AccountBookTest, AccountsSurviveTheFileAndMainStaysInTheStore) {
    AccountBook book(db());
    ASSERT_EQ(book.add(account("work", 1071)), std::nullopt);
    Account home = account("home office", 1072);
    home.pop3 = {false, "", 192, 0, 2, 7, 110, 1072};
    home.security = {Security::StartTls, platform::CertificateDigest{}};
    ASSERT_EQ(book.add(home), std::nullopt);
    Account main = book.list().front();
    main.pop3.serverName = "pop.main.example";
    main.security.mode = Security::Tls;
    ASSERT_EQ(book.update("main", main), std::nullopt);

    AccountBook again(db());
    const std::vector<Account> accounts = again.list();
    ASSERT_EQ(accounts.size(), 3u);
    EXPECT_EQ(accounts[0], main);
    EXPECT_EQ(accounts[1], account("work", 1071));
    EXPECT_EQ(accounts[2], home);
    EXPECT_EQ(db().getPOP3Settings().serverName, "pop.main.example");
    EXPECT_FALSE(again.settingsProblem());

    ASSERT_EQ(again.remove("work"), std::nullopt);
    EXPECT_EQ(again.list().size(), 2u);
    EXPECT_FALSE(again.classificationHeader());
    again.setClassificationHeader(true);
    EXPECT_TRUE(AccountBook(db()).classificationHeader());
}

TEST_F(AccountBookTest, BrokenRulesAreRefusedAndNothingIsWritten) {
    AccountBook book(db());
    ASSERT_EQ(book.add(account("work", 1071)), std::nullopt);
    const std::vector<Account> before = book.list();
    const int mainPort = before.front().pop3.localPort;

    Account noServer = account("blank", 1080);
    noServer.pop3.serverName = "";
    const std::vector<std::pair<Account, std::string>> refused = {
        {account("work", 1080), "There is already an account named work"},
        {account("other", 1071), "The local port 1071 is taken by the account work"},
        {account("other", mainPort), "The local port " + std::to_string(mainPort) +
                                         " is taken by the account main"},
        {account("other", 80), "The local port must be from 1025 to 5000, not 80"},
        {account(" padded", 1080), "An account name has 1 to 32 printable characters"},
        {account(std::string(33, 'n'), 1080), "An account name has 1 to 32"},
        {account("tab\there", 1080), "An account name has 1 to 32"},
        {noServer, "The account blank needs a server"},
    };
    for (const auto& [candidate, sentence] : refused) {
        const std::optional<std::string> problem = book.add(candidate);
        ASSERT_TRUE(problem) << candidate.name;
        EXPECT_EQ(problem->rfind(sentence, 0), 0u) << *problem;
    }
    EXPECT_TRUE(book.remove("main"));
    EXPECT_TRUE(book.remove("nobody"));
    Account renamed = before.front();
    renamed.name = "primary";
    EXPECT_TRUE(book.update("main", renamed));
    EXPECT_EQ(book.list(), before);

    for (int n = 2; n < static_cast<int>(Account::kMostAccounts); ++n) {
        ASSERT_EQ(book.add(account("extra" + std::to_string(n), 2000 + n)), std::nullopt);
    }
    EXPECT_EQ(book.add(account("seventeenth", 3000)),
              "Glimmerfen serves at most 16 accounts");
}

}  // namespace
