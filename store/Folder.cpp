#include "store/Folder.h"

namespace folder {

namespace {
constexpr std::array<std::string_view, 6> kDisplayNames = {
    "New Emails", "Good Emails", "Bad Emails/Spam", "Store Good", "Store Bad", "Trash Bin"};
}

int folderIndex(std::string_view key) {
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (kKeys[i] == key) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

bool isFolderKey(std::string_view key) {
    for (std::string_view known : kKeys) {
        if (known == key) {
            return true;
        }
    }
    return false;
}

std::string_view displayName(std::string_view key) {
    return kDisplayNames[static_cast<std::size_t>(folderIndex(key))];
}

}  // namespace folder
