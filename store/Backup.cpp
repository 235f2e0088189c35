#include "store/Backup.h"

#include "platform/Files.h"
#include "store/Database.h"

std::string backupFileName(int generation) {
    return std::string(kBackupDirectory) + "/HGIndex" + std::to_string(generation) + ".hgd";
}

bool backupExists(int generation) {
    return platform::fileExists(backupFileName(generation));
}

bool backupStore(CDatabase& database) {
    if (backupExists(2)) {
        platform::deleteFile(backupFileName(2));
    }
    if (backupExists(1)) {
        platform::renameFile(backupFileName(1), backupFileName(2));
    }
    return database.copyStoreFile(backupFileName(1));
}
