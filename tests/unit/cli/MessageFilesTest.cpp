// How the importer turns files into recorded message texts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli/CliError.h"
#include "cli/MessageFiles.h"
#include "cli/ParseJson.h"
#include "cli/ProxyText.h"
#include "support/TempDirectory.h"

namespace {
std::vector<std::string> messagesOf(const std::string& file) {
    std::vector<std::string> texts;
    MessageFiles::readMessages(file, [&](const std::string& text) {
        texts.push_back(text);
        return true;
    });
    return texts;
}
}  // namespace

TEST(ProxyTextTest, LinesBecomeCrLfDotStuffedAndTerminated) {
    ProxyText text;
    text.addLine("Subject: hi");
    text.addLine("already\r");
    text.addLine(".hidden");
    text.addLine("..two");
    text.addLine("");
    EXPECT_EQ(text.finish(), "Subject: hi\r\nalready\r\n..hidden\r\n...two\r\n\r\n.\r\n");
}

TEST(ProxyTextTest, KeepsOnlyTheFirst4999Bytes) {
    ProxyText text;
    for (int i = 0; i < 200; ++i) {
        text.addLine(std::string(48, 'x'));  // 50 bytes a line with CR LF
    }
    const std::string recorded = text.finish();
    ASSERT_EQ(recorded.size(), 4999u);
    EXPECT_EQ(recorded.substr(4900), std::string(48, 'x') + "\r\n" + std::string(48, 'x') + "\r");

    ProxyText exact;
    for (int i = 0; i < 98; ++i) {
        exact.addLine(std::string(48, 'y'));
    }
    exact.addLine(std::string(47, 'y'));  // 4,949 bytes: room for 50 more
    EXPECT_EQ(exact.finish().size(), 4952u);
    EXPECT_TRUE(exact.finish().ends_with("y\r\n.\r\n"));
}

TEST(MessageFilesTest, MboxSeparatorsBelongToNoMessage) {
    TempDirectory directory;
    writeWholeFile("box",
                   "From a@example.org Thu Aug 22 12:36:23 2002\n"
                   "Subject: one\n\nbody\n>From quoted\n\n"
                   "From b@example.org Thu Aug 22 12:37:00 2002\n"
                   "Subject: two\n\n.dot\n");
    EXPECT_EQ(messagesOf("box"),
              (std::vector<std::string>{"Subject: one\r\n\r\nbody\r\n>From quoted\r\n\r\n.\r\n",
                                        "Subject: two\r\n\r\n..dot\r\n.\r\n"}));
    EXPECT_EQ(MessageFiles::firstMessage("box"), messagesOf("box")[0]);
}

TEST(MessageFilesTest, PlainFileIsOneMessageEvenWithoutAFinalNewline) {
    TempDirectory directory;
    writeWholeFile("m", "Subject: x\n\nFrom here on\nlast");
    EXPECT_EQ(messagesOf("m"),
              (std::vector<std::string>{"Subject: x\r\n\r\nFrom here on\r\nlast\r\n.\r\n"}));
    writeWholeFile("empty", "");
    EXPECT_TRUE(messagesOf("empty").empty());
    EXPECT_THROW(MessageFiles::firstMessage("empty"), CliError);
}

TEST(MessageFilesTest, HugeLinesCostNoMoreThanTheKeptPart) {
    TempDirectory directory;
    writeWholeFile("long", "Subject: long\n" + std::string(5 << 20, 'z') + "\n");
    const std::vector<std::string> texts = messagesOf("long");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].size(), 4999u);
}

TEST(MessageFilesTest, FindsMaildirAndDirectoryFilesInNameOrder) {
    TempDirectory directory;
    ASSERT_EQ(::mkdir("md", 0755), 0);
    ASSERT_EQ(::mkdir("md/cur", 0755), 0);
    ASSERT_EQ(::mkdir("md/new", 0755), 0);
    ASSERT_EQ(::mkdir("md/tmp", 0755), 0);
    writeWholeFile("md/new/2", "b");
    writeWholeFile("md/cur/3", "c");
    writeWholeFile("md/cur/1", "a");
    writeWholeFile("md/tmp/0", "half-delivered");
    EXPECT_EQ(MessageFiles::filesOf("md"),
              (std::vector<std::string>{"md/cur/1", "md/new/2", "md/cur/3"}));

    ASSERT_EQ(::mkdir("plain", 0755), 0);
    writeWholeFile("plain/b", "b");
    writeWholeFile("plain/a", "a");
    writeWholeFile("plain/.hidden", "h");
    ASSERT_EQ(::mkdir("plain/sub", 0755), 0);
    EXPECT_EQ(MessageFiles::filesOf("plain"), (std::vector<std::string>{"plain/a", "plain/b"}));
    EXPECT_EQ(MessageFiles::filesOf("plain/a"), (std::vector<std::string>{"plain/a"}));
    EXPECT_THROW(MessageFiles::filesOf("nothing"), CliError);
}

TEST(ParseJsonTest, EveryByteSurvivesAsLatin1) {
    EXPECT_EQ(latin1ToUtf8(std::string("a\xe9\xff\x00z", 5)),
              std::string("a\xc3\xa9\xc3\xbf\x00z", 7));
    const nlohmann::json parsed =
        parseToJson("From: Ren\xe9 <r@example.org>\r\nSubject: caf\xe9\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(parsed["from"], "Ren\u00e9 <r@example.org>");
    EXPECT_EQ(parsed["subject"], "caf\u00e9");
    EXPECT_EQ(parsed["headerLength"], 45);
    EXPECT_EQ(parsed["subjectOffset1"], 37);
    EXPECT_NO_THROW(parsed.dump());
}
