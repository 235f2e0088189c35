// The error log, the trace file and the start-up debug file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <sstream>

#include "diag/DebugLog.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "diag/TraceWriter.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/TempDirectory.h"

namespace {
// 9 March 2006, 08:05:07 local time.
std::int64_t marchNinth() {
    std::tm parts{};
    parts.tm_year = 106;
    parts.tm_mon = 2;
    parts.tm_mday = 9;
    parts.tm_hour = 8;
    parts.tm_min = 5;
    parts.tm_sec = 7;
    parts.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&parts));
}

class ErrorLogTest : public ::testing::Test {
  protected:
    ErrorLogTest() { platform::setFixedTime(marchNinth()); }
    ~ErrorLogTest() override { platform::setFixedTime(std::nullopt); }
    TempDirectory m_directory;
};
}  // namespace

TEST_F(ErrorLogTest, PlainEntryLayout) {
    const CError error("Can't Open Database", "CDatabase::getEmailHeader", 212, "Database");
    EXPECT_STREQ(error.what(),
                 "Error: Can't Open Database in CDatabase::getEmailHeader\n line 212 of file "
                 "Database");
    EXPECT_EQ(error.m_date, "03/09/06");
    EXPECT_EQ(error.m_time, "08:05:07");
    EXPECT_EQ(readWholeFile("ErrorLog.txt"),
              "\nError: Can't Open Database in CDatabase::getEmailHeader\n line 212 of file "
              "Database\n Date: 03/09/06  Time: 08:05:07\n\n");
}

TEST_F(ErrorLogTest, SocketEntryLayout) {
    const CError error("Can't Bind Socket", "CMidPointServer::server()", "Winsock Error: ", 10048,
                       "Address already in use.", 88, "MidpointServer");
    EXPECT_STREQ(error.what(),
                 "Error: Can't Bind Socket in CMidPointServer::server()\n Winsock Error: 10048 "
                 "-- Address already in use.\n line 88 of file MidpointServer");
    EXPECT_EQ(readWholeFile("ErrorLog.txt"),
              "\n" + std::string(error.what()) + "\n Date: 03/09/06  Time: 08:05:07\n\n");
}

TEST_F(ErrorLogTest, RecordedErrorsWriteTheEntriesTheirCErrorsWould) {
    diag::recordError("Catch All Error", "ServerThread", 51, "ServerThread");
    diag::recordError("bind() error", "CMidPointServer::server()", "Winsock Error: ", 10048,
                      "Address already in use.", 188, "MidpointServer");
    const std::string recorded = readWholeFile("ErrorLog.txt");
    ASSERT_TRUE(platform::deleteFile("ErrorLog.txt"));

    const CError plain("Catch All Error", "ServerThread", 51, "ServerThread");
    const CError socket("bind() error", "CMidPointServer::server()", "Winsock Error: ", 10048,
                        "Address already in use.", 188, "MidpointServer");
    EXPECT_EQ(recorded, readWholeFile("ErrorLog.txt"));
    EXPECT_EQ(recorded, "\n" + plain.m_message + "\n Date: 03/09/06  Time: 08:05:07\n\n\n" +
                            socket.m_message + "\n Date: 03/09/06  Time: 08:05:07\n\n");
}

TEST_F(ErrorLogTest, CopiesWriteNothingEntriesAppend) {
    const CError first("one", "op", 1, "F");
    const CError copy = first;
    const CError second("two", "op", 2, "F");
    const std::string log = readWholeFile("ErrorLog.txt");
    EXPECT_EQ(copy.m_message, first.m_message);
    EXPECT_NE(log.find("Error: one"), std::string::npos);
    EXPECT_LT(log.find("Error: one"), log.find("Error: two"));
    EXPECT_EQ(log.find("Error: one"), log.rfind("Error: one"));
}

TEST_F(ErrorLogTest, LogOverOneMebibyteStartsAgain) {
    writeWholeFile("ErrorLog.txt", std::string(1048576, 'x'));
    CError("kept", "op", 1, "F");
    EXPECT_EQ(readWholeFile("ErrorLog.txt").substr(0, 1048576), std::string(1048576, 'x'));

    writeWholeFile("ErrorLog.txt", std::string(1048577, 'x'));
    const CError error("fresh", "op", 1, "F");
    EXPECT_EQ(readWholeFile("ErrorLog.txt"),
              "\n" + error.m_message + "\n Date: 03/09/06  Time: 08:05:07\n\n");
}

TEST_F(ErrorLogTest, TraceMarksUseTheEntryLayoutAndTruncate) {
    diag::traceMark("2a", "MidpointServer::recvSD1sendSD2()", 77, "MidpointServer");
    EXPECT_EQ(readWholeFile("testData.txt"),
              "\nError: 2a in MidpointServer::recvSD1sendSD2()\n line 77 of file "
              "MidpointServer\n Date: 03/09/06  Time: 08:05:07\n\n");
    diag::truncateTrace();
    EXPECT_EQ(platform::fileSize("testData.txt"), 0);
    EXPECT_FALSE(platform::fileExists("ErrorLog.txt"));
}

TEST_F(ErrorLogTest, DebugFileIsCreatedEmpty) {
    writeWholeFile("TestThis.txt", "old");
    std::ostringstream out;
    EXPECT_TRUE(diag::createDebugLog(out));
    EXPECT_EQ(platform::fileSize("TestThis.txt"), 0);
    EXPECT_TRUE(out.str().empty());
}

TEST_F(ErrorLogTest, UnwritableDirectoryIsReportedNotFatal) {
    // A directory in the file's place can't be opened even by root.
    ASSERT_EQ(::mkdir("TestThis.txt", 0755), 0);
    std::ostringstream out;
    EXPECT_FALSE(diag::createDebugLog(out));
    EXPECT_EQ(out.str(), "*Error in debug, openLogFile(): \n--Can't Open File\n");

    ASSERT_EQ(::mkdir("ErrorLog.txt", 0755), 0);
    const CError error("still thrown", "op", 1, "F");
    EXPECT_STREQ(error.what(), "Error: still thrown in op\n line 1 of file F");
}

TEST(SourceNameTest, StripsFolderAndExtension) {
    static_assert(diag::sourceName("store/Database.cpp") == "Database");
    static_assert(diag::sourceName("/a/b/MidpointServer.h") == "MidpointServer");
    static_assert(diag::sourceName("debug") == "debug");
}
