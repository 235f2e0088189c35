#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "filterbuild/ScheduleData.h"
#include "diag/DebugLog.h"
#include "diag/LogFile.h"
#include "platform/DataDirectory.h"
#include "proxy/SpamFlagWord.h"
#include "rating/FilterList.h"
#include "rating/TokenProbabilityTable.h"
#include "store/Backup.h"
#include "store/Database.h"
#include "store/SettingsFile.h"

namespace {

bool checkedAtStartUp(const std::string& name) {
    const auto names = platform::ownFileNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

// The start-up check lists the names itself; a file renamed or added in a layer
// above must not slip past it.
TEST(DataDirectoryTest, EveryFileTheLayersKeepIsCheckedAtStartUp) {
    for (const std::string name :
         {std::string(CDatabase::kDefaultFileName), backupFileName(1), backupFileName(2),
          std::string(TokenProbabilityTable::kDefaultFileName), std::string(kWhiteListFile),
          std::string(kBlackListFile), std::string(proxy::kSpamFlagFile),
          std::string(ScheduleData::kDefaultFileName), std::string(diag::kErrorLogFile),
          std::string(diag::kTraceFile), std::string(diag::kDebugLogFile),
          std::string(SettingsFile::kFileName)}) {
        EXPECT_TRUE(checkedAtStartUp(name)) << name;
    }
}
