#pragma once

#include <string>

// Whether the tray icon glimmers while mail arrives: the user's choice, kept in
// "Anim.bin" as one 32-bit little-endian integer, 1 for on.
class AnimSetting {
  public:
    static constexpr const char* kFileName = "Anim.bin";

    // Off when the file is missing or cannot be read, and for any value but 1.
    // A file shorter than 4 bytes reads as if padded with zero bytes; bytes
    // after the first 4 are ignored.
    static bool read(const std::string& fileName = kFileName);

    // Rewrites the file whole with 1 or 0. False when it cannot be written; the
    // caller keeps the choice in memory either way.
    static bool write(bool animate, const std::string& fileName = kFileName);
};
