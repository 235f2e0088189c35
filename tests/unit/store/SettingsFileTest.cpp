// The settings file beside the store: what is written is read back, a later
// version's settings survive, and a file that is damaged or not a file is
// never silently replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "diag/Error.h"
#include "store/SettingsFile.h"
#include "support/TempDirectory.h"

namespace {

platform::CertificateDigest someDigest() {
    platform::CertificateDigest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(255 - i);
    }
    return digest;
}

TEST(SettingsFileTest, SavedSettingsLoadBackWithTheKeysOfALaterVersion) {
    TempDirectory directory;
    Settings settings;
    settings.at("main").security = {Security::StartTls, someDigest()};
    settings.at("main").unknownKeys.push_back({"auth-mechanism", "plain"});
    settings.at("second").security.mode = Security::Tls;
    settings.at("second").pop3 = Pop3Settings{false, "", 192, 0, 2, 7, 995, 1071};
    settings.classificationHeader = true;
    settings.unknownSections.push_back({"filter", {{"header", "on"}}});
    SettingsFile::save(settings);

    const std::string text = readWholeFile(SettingsFile::kFileName);
    EXPECT_EQ(text.rfind("# ", 0), 0u) << text;
    EXPECT_NE(text.find("[account main]\nsecurity = starttls\ncertificate = FF:FE:FD:"),
              std::string::npos)
        << text;
    struct stat info {};
    ASSERT_EQ(::stat(SettingsFile::kFileName, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const SettingsFile::Loaded loaded = SettingsFile::load();
    EXPECT_FALSE(loaded.problem);
    EXPECT_EQ(loaded.settings.accounts, settings.accounts);
    EXPECT_EQ(loaded.settings.unknownSections, settings.unknownSections);
    EXPECT_TRUE(loaded.settings.classificationHeader);
    EXPECT_EQ(loaded.settings.security("second").mode, Security::Tls);
    EXPECT_EQ(loaded.settings.security("third"), ServerSecurity{});
}

TEST(SettingsFileTest, MissingFileGivesTheDefaults) {
    TempDirectory directory;
    const SettingsFile::Loaded loaded = SettingsFile::load();
    EXPECT_FALSE(loaded.problem);
    EXPECT_EQ(loaded.settings.security(), ServerSecurity{});
}

TEST(SettingsFileTest, HandWrittenFileIsReadLeniently) {
    std::string error;
    const auto parsed = SettingsFile::parse(
        "; a comment\r\n[ account main ]\r\n  Security =  TLS \r\ncertificate = none\n", error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->security().mode, Security::Tls);
    EXPECT_FALSE(parsed->security().pin);
}

TEST(SettingsFileTest, DamagedTextNamesTheLineAndTheFault) {
    using namespace std::string_literals;
    const struct {
        std::string text;
        const char* error;
    } rows[] = {
        {"security = tls\n", "line 1: a setting before the first [section] heading"},
        {"[account main]\nsecurity = tsl\n", "line 2: security is \"tsl\", not plain"},
        {"[account main]\nsecurity = tls\nsecurity = plain\n", "line 3: security is set twice"},
        {"[account main]\ncertificate = AB:CD\n", "line 2: certificate is not a SHA-256"},
        {"[account main]\n\n[account main]\n", "line 3: a second section for the account main"},
        {"[account main\n", "line 1: a section heading must end with ]"},
        {"[account main]\njust words\n", "line 2: neither a [section] heading"},
        {"[account main]\nsecu rity = tls\n", "line 2: \"secu rity\" is not a key name"},
        {"[account main]\nx = \0\n"s, "line 2: a control character"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_FALSE(SettingsFile::parse(row.text, error)) << row.text;
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
    }
}

TEST(SettingsFileTest, DamagedFileIsSetAsideAndReported) {
    TempDirectory directory;
    const std::string damaged = "[account main]\nsecurity = tsl\n";
    writeWholeFile(SettingsFile::kFileName, damaged);

    const SettingsFile::Loaded loaded = SettingsFile::load();
    ASSERT_TRUE(loaded.problem);
    EXPECT_NE(loaded.problem->find("line 2"), std::string::npos) << *loaded.problem;
    EXPECT_NE(loaded.problem->find(loaded.setAsideAs), std::string::npos) << *loaded.problem;
    EXPECT_EQ(loaded.setAsideAs.rfind("glimmerfen.conf.damaged-", 0), 0u) << loaded.setAsideAs;
    EXPECT_EQ(loaded.settings.security(), ServerSecurity{});
    EXPECT_EQ(readWholeFile(loaded.setAsideAs), damaged);
    EXPECT_NE(::access(SettingsFile::kFileName, F_OK), 0);
    EXPECT_NE(readWholeFile("ErrorLog.txt").find("was damaged"), std::string::npos);

    // A second damaged file in the same second gets a name of its own.
    writeWholeFile(SettingsFile::kFileName, damaged + "more");
    const SettingsFile::Loaded again = SettingsFile::load();
    ASSERT_TRUE(again.problem);
    EXPECT_NE(again.setAsideAs, loaded.setAsideAs);
    EXPECT_EQ(readWholeFile(loaded.setAsideAs), damaged);
}

TEST(SettingsFileTest, FifoOrLinkIsRefusedAndLeftWhereItIs) {
    TempDirectory directory;
    ASSERT_EQ(::mkfifo(SettingsFile::kFileName, 0600), 0);
    EXPECT_THROW(SettingsFile::load(), CError);
    struct stat info {};
    ASSERT_EQ(::lstat(SettingsFile::kFileName, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ASSERT_EQ(::unlink(SettingsFile::kFileName), 0);

    writeWholeFile("elsewhere", "[account main]\nsecurity = tls\n");
    ASSERT_EQ(::symlink("elsewhere", SettingsFile::kFileName), 0);
    EXPECT_THROW(SettingsFile::load(), CError);
    ASSERT_EQ(::lstat(SettingsFile::kFileName, &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(ServerSecurityTest, WordsAndTheUsualPortOfEachMode) {
    for (const Security mode : {Security::Plain, Security::StartTls, Security::Tls}) {
        EXPECT_EQ(parseSecurity(securityName(mode)), mode);
    }
    EXPECT_FALSE(parseSecurity("ssl"));
    EXPECT_EQ(portForSecurity(Security::Tls, 110), 995);
    EXPECT_EQ(portForSecurity(Security::StartTls, 995), 110);
    EXPECT_EQ(portForSecurity(Security::Plain, 995), 110);
    EXPECT_EQ(portForSecurity(Security::StartTls, 110), 110);
    EXPECT_EQ(portForSecurity(Security::Tls, 1995), 1995);
}

}  // namespace
