#pragma once

#include <array>
#include <string_view>

// The six folders of the store, by the keys every folder operation takes.
namespace folder {

inline constexpr std::string_view kNew = "newA";
inline constexpr std::string_view kGood = "goodA";
inline constexpr std::string_view kBad = "badA";
inline constexpr std::string_view kStoreGood = "goodB";
inline constexpr std::string_view kStoreBad = "badB";
inline constexpr std::string_view kTrash = "trashA";

inline constexpr std::array<std::string_view, 6> kKeys = {kNew,       kGood,     kBad,
                                                          kStoreGood, kStoreBad, kTrash};

// Folder number 0..5; an unknown key selects folder 0, as the store always has.
int folderIndex(std::string_view key);
bool isFolderKey(std::string_view key);
// "New Emails", "Good Emails", "Bad Emails/Spam", "Store Good", "Store Bad", "Trash Bin".
std::string_view displayName(std::string_view key);

}  // namespace folder
