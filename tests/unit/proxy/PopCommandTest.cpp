// The session's reading of a client command: which replies are multi-line,
// which are retrievals, and what the proxy does with CAPA, AUTH and STLS.
#include <gtest/gtest.h>

#include "proxy/PopCommand.h"

using proxy::classifyCommand;
using proxy::CommandClass;
using proxy::commandWords;

namespace {

TEST(PopCommandTest, WordsAreUpperCasedAndSplitAtBlanks) {
    const auto words = commandWords("  retr\t12 extra\r\n");
    EXPECT_EQ(words.word, "RETR");
    EXPECT_EQ(words.argument, "12");
    const auto none = commandWords("\r\n");
    EXPECT_EQ(none.word, "");
    EXPECT_EQ(none.argument, "");
}

TEST(PopCommandTest, RetrIsAMultiLineRetrievalInAnyCase) {
    for (const char* text : {"RETR 1\r\n", "retr 1\r\n", "Retr 17\r\n", "RETR\r\n"}) {
        const CommandClass command = classifyCommand(text);
        EXPECT_TRUE(command.multiLine) << text;
        EXPECT_TRUE(command.retrieval) << text;
        EXPECT_FALSE(command.quit) << text;
        EXPECT_FALSE(command.empty) << text;
    }
}

TEST(PopCommandTest, TopIsMultiLineButNoRetrieval) {
    const CommandClass command = classifyCommand("top 3 0\r\n");
    EXPECT_TRUE(command.multiLine);
    EXPECT_FALSE(command.retrieval);
}

TEST(PopCommandTest, ListAndUidlAreMultiLineOnlyWithoutArgument) {
    EXPECT_TRUE(classifyCommand("LIST\r\n").multiLine);
    EXPECT_TRUE(classifyCommand("uidl\r\n").multiLine);
    EXPECT_FALSE(classifyCommand("LIST 2\r\n").multiLine);
    EXPECT_FALSE(classifyCommand("uidl 2\r\n").multiLine);
    EXPECT_FALSE(classifyCommand("LIST 2\r\n").retrieval);
}

TEST(PopCommandTest, QuitEndsTheSessionAfterASingleLine) {
    const CommandClass command = classifyCommand("quit\r\n");
    EXPECT_TRUE(command.quit);
    EXPECT_FALSE(command.multiLine);
}

TEST(PopCommandTest, CapaIsAFilteredMultiLineListing) {
    const CommandClass command = classifyCommand("capa\r\n");
    EXPECT_TRUE(command.multiLine);
    EXPECT_TRUE(command.capabilities);
    EXPECT_FALSE(command.retrieval);
}

TEST(PopCommandTest, AuthListsMechanismsOnlyWithoutArgument) {
    EXPECT_TRUE(classifyCommand("AUTH\r\n").multiLine);
    EXPECT_FALSE(classifyCommand("AUTH PLAIN\r\n").multiLine);
    EXPECT_FALSE(classifyCommand("auth plain dGVzdAB0ZXN0AHRlc3Q=\r\n").multiLine);
}

TEST(PopCommandTest, StlsIsAnsweredByTheProxy) {
    const CommandClass command = classifyCommand("stls\r\n");
    EXPECT_TRUE(command.startTls);
    EXPECT_FALSE(command.multiLine);
    EXPECT_TRUE(proxy::kStartTlsRefusal.starts_with("-ERR"));
    EXPECT_TRUE(proxy::kStartTlsRefusal.ends_with("\r\n"));
}

TEST(PopCommandTest, OtherCommandsAreSingleLine) {
    for (const char* text : {"USER me\r\n", "PASS secret\r\n", "STAT\r\n", "NOOP\r\n", "DELE 1\r\n",
                             "RSET\r\n", "RETRIEVE 1\r\n", "XTND XMIT\r\n"}) {
        const CommandClass command = classifyCommand(text);
        EXPECT_FALSE(command.multiLine) << text;
        EXPECT_FALSE(command.retrieval) << text;
        EXPECT_FALSE(command.quit) << text;
        EXPECT_FALSE(command.startTls) << text;
        EXPECT_FALSE(command.empty) << text;
    }
}

TEST(PopCommandTest, NothingOrOnlyBlanksIsEmpty) {
    EXPECT_TRUE(classifyCommand("").empty);
    EXPECT_TRUE(classifyCommand(" \t\r\n").empty);
    EXPECT_FALSE(classifyCommand("x").empty);
}

}  // namespace
