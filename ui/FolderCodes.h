#pragma once

#include <array>
#include <QString>

// The header list numbers the store's folders by codes of its own; the folder
// list shows them in another order. Both tables live here.
namespace folders {

inline constexpr int kNew = 0;
inline constexpr int kBad = 1;
inline constexpr int kGood = 2;
inline constexpr int kTrash = 3;
inline constexpr int kStoreGood = 4;
inline constexpr int kStoreBad = 5;
inline constexpr int kCodeCount = 6;

// The store key of a folder code ("newA" …); empty for any other code.
const char* keyOfCode(int code);
// The code of a store key; -1 for an unknown key.
int codeOfKey(const char* key);
// The current-folder status pane text: "NEW FOLDER", …, "STORE BAD".
QString paneText(int code);

// The folder list's six rows, top to bottom.
inline constexpr int kRowCount = 6;
struct ListRow {
    const char* text;
    const char* key;
    int code;
};
const std::array<ListRow, kRowCount>& listRows();
// The folder code of a folder-list row; -1 for no row.
int codeOfRow(int row);

}  // namespace folders
