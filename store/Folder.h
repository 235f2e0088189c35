#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/StoreLayout.h"

// The six folders of the store. The value is the folder's block number in
// HGIndex.hgd, so the order of the members is part of the file format.
enum class Folder : std::uint8_t { New, Good, Bad, StoreGood, StoreBad, Trash };

// How many emails a folder may keep: trimming moves New Emails beyond it to
// the Trash Bin and cuts the Trash Bin to it, moves from the window stop at
// it, and a training folder at it takes no more picks from a filter build.
// The file has room for more (store_layout::kSlotsPerFolder), so a move that
// crosses the limit never runs out of slots on the way.
inline constexpr int kFolderLimit = 600;

// Every folder in block order, the order in which commands list them.
inline constexpr std::array<Folder, store_layout::kFolderCount> kAllFolders = {
    Folder::New, Folder::Good, Folder::Bad, Folder::StoreGood, Folder::StoreBad, Folder::Trash};

namespace folder_detail {

struct FolderNames {
    std::string_view key;          // what the store's operations and glimmerfen-cli take
    std::string_view displayName;  // what the window and the messages call it
    int listRow;                   // its row in the window's folder list, from the top
};

inline constexpr std::array<FolderNames, store_layout::kFolderCount> kNames = {{
    {"newA", "New Emails", 0},
    {"goodA", "Good Emails", 1},
    {"badA", "Bad Emails/Spam", 2},
    {"goodB", "Store Good", 3},
    {"badB", "Store Bad", 4},
    {"trashA", "Trash Bin", 5},
}};

constexpr const FolderNames& namesOf(Folder folder) {
    return kNames[static_cast<std::size_t>(folder)];
}

}  // namespace folder_detail

// The folder's block number in the store file, 0..5.
constexpr int folderNumber(Folder folder) {
    return static_cast<int>(folder);
}
// "newA", "goodA", "badA", "goodB", "badB", "trashA".
constexpr std::string_view folderKey(Folder folder) {
    return folder_detail::namesOf(folder).key;
}
// "New Emails", "Good Emails", "Bad Emails/Spam", "Store Good", "Store Bad", "Trash Bin".
constexpr std::string_view folderDisplayName(Folder folder) {
    return folder_detail::namesOf(folder).displayName;
}
// The folder's row in the window's folder list, 0 at the top.
constexpr int folderListRow(Folder folder) {
    return folder_detail::namesOf(folder).listRow;
}

// The folder a key names; nothing for any other text (keys are case-sensitive).
std::optional<Folder> folderFromKey(std::string_view key);
// The folder shown in that row of the folder list; nothing for a row outside it.
std::optional<Folder> folderAtListRow(int row);
// The keys in block order, for a message that tells which keys there are:
// "newA, goodA, badA, goodB, badB, trashA".
std::string folderKeyList();
