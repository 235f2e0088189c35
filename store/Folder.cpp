#include "store/Folder.h"

namespace {

// Each folder has a row of its own in the folder list.
constexpr bool listRowsArePlaces() {
    std::array<bool, store_layout::kFolderCount> taken{};
    for (const Folder folder : kAllFolders) {
        const int row = folderListRow(folder);
        if (row < 0 || row >= store_layout::kFolderCount || taken[static_cast<std::size_t>(row)]) {
            return false;
        }
        taken[static_cast<std::size_t>(row)] = true;
    }
    return true;
}
static_assert(listRowsArePlaces(), "every folder needs a row of its own in the folder list");

}  // namespace

std::optional<Folder> folderFromKey(std::string_view key) {
    for (const Folder folder : kAllFolders) {
        if (folderKey(folder) == key) {
            return folder;
        }
    }
    return std::nullopt;
}

std::optional<Folder> folderAtListRow(int row) {
    for (const Folder folder : kAllFolders) {
        if (folderListRow(folder) == row) {
            return folder;
        }
    }
    return std::nullopt;
}

std::string folderKeyList() {
    std::string list;
    for (const Folder folder : kAllFolders) {
        if (!list.empty()) {
            list += ", ";
        }
        list += folderKey(folder);
    }
    return list;
}
