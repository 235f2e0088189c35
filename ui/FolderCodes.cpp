#include "ui/FolderCodes.h"

#include <cstring>

namespace folders {

namespace {

constexpr std::array<const char*, kCodeCount> kKeys = {"newA",   "badA",  "goodA",
                                                       "trashA", "goodB", "badB"};

constexpr std::array<ListRow, kRowCount> kRows = {{
    {"New Emails", "newA", kNew},
    {"Good Emails", "goodA", kGood},
    {"Bad Emails/Spam", "badA", kBad},
    {"Store Good", "goodB", kStoreGood},
    {"Store Bad", "badB", kStoreBad},
    {"Trash Bin", "trashA", kTrash},
}};

}  // namespace

const char* keyOfCode(int code) {
    return code >= 0 && code < kCodeCount ? kKeys[static_cast<std::size_t>(code)] : "";
}

int codeOfKey(const char* key) {
    for (int code = 0; code < kCodeCount; ++code) {
        if (std::strcmp(kKeys[static_cast<std::size_t>(code)], key) == 0) {
            return code;
        }
    }
    return -1;
}

QString paneText(int code) {
    switch (code) {
        case kNew:
            return QStringLiteral("NEW FOLDER");
        case kBad:
            return QStringLiteral("SPAM FOLDER");
        case kGood:
            return QStringLiteral("GOOD FOLDER");
        case kTrash:
            return QStringLiteral("TRASH FOLDER");
        case kStoreGood:
            return QStringLiteral("STORE GOOD");
        case kStoreBad:
            return QStringLiteral("STORE BAD");
        default:
            return {};
    }
}

const std::array<ListRow, kRowCount>& listRows() {
    return kRows;
}

int codeOfRow(int row) {
    return row >= 0 && row < kRowCount ? kRows[static_cast<std::size_t>(row)].code : -1;
}

}  // namespace folders
