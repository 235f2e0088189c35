#pragma once

#include <cstdint>

// The byte layout of HGIndex.hgd. Every record, table entry and setting sits at a
// fixed offset, so no operation ever moves data and the file never changes size.
namespace store_layout {

inline constexpr std::int64_t kCounterOffset = 0;
inline constexpr std::int64_t kStateOffset = 4;
inline constexpr std::int64_t kPop3SettingsOffset = 5;
inline constexpr std::int64_t kPop3SettingsSize = 89;
inline constexpr std::int64_t kHeaderAreaSize = 94;
inline constexpr std::int64_t kNameServerOffset = 94;
inline constexpr std::int64_t kNameServerAreaSize = 5000;
inline constexpr std::int64_t kFoldersOffset = kHeaderAreaSize + kNameServerAreaSize;  // 5,094

inline constexpr int kFolderCount = 6;
inline constexpr int kSlotsPerFolder = 700;
inline constexpr std::int64_t kSlotTableSize = 4 * kSlotsPerFolder;  // 2,800
inline constexpr std::int64_t kEmailHeaderSize = 299;
inline constexpr std::int64_t kTextAreaSize = 6000;
inline constexpr std::int64_t kRecordSize = kEmailHeaderSize + kTextAreaSize;  // 6,299
inline constexpr std::int64_t kFolderBlockSize =
    kSlotTableSize + kSlotsPerFolder * kRecordSize;  // 4,412,100
inline constexpr std::int64_t kFileSize = kFoldersOffset + kFolderCount * kFolderBlockSize;

// Offsets inside a record.
inline constexpr std::int64_t kTextLengthField = 290;

// Limits on the stored text.
inline constexpr int kMaxValidTextLength = 5020;  // a longer record is corrupted
inline constexpr int kMaxReadTextLength = 4999;   // what a full record read delivers

static_assert(kFileSize == 26477694, "HGIndex.hgd must keep its size");

constexpr std::int64_t folderOffset(int folder) {
    return kFoldersOffset + folder * kFolderBlockSize;
}
constexpr std::int64_t slotEntryOffset(int folder, int slot) {
    return folderOffset(folder) + 4 * slot;
}
constexpr std::int64_t recordOffset(int folder, int slot) {
    return folderOffset(folder) + kSlotTableSize + slot * kRecordSize;
}

}  // namespace store_layout
