#pragma once

#include <string>

class CDatabase;

// Two generations in the "backup" directory: HGIndex1.hgd is the newest copy,
// HGIndex2.hgd the one before it.
inline constexpr const char* kBackupDirectory = "backup";

std::string backupFileName(int generation);
bool backupExists(int generation);

// Rotates the generations and copies the store into generation 1. The copy is
// taken under the store lock, so no mail arriving meanwhile lands half in it.
// Returns whether the fresh copy was made.
bool backupStore(CDatabase& database);
