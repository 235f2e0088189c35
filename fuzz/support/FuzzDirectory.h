#pragma once

#include <string>
#include <string_view>

// A private directory for the files one fuzz target writes and reads back,
// made in the temporary directory (TMPDIR; fuzz/run.sh points it at memory,
// where saves cost no disk syncs) and removed with everything in it when the
// object goes. A target keeps one for its whole run.
class FuzzDirectory {
  public:
    explicit FuzzDirectory(std::string_view purpose);
    ~FuzzDirectory();
    FuzzDirectory(const FuzzDirectory&) = delete;
    FuzzDirectory& operator=(const FuzzDirectory&) = delete;

    const std::string& path() const { return m_path; }
    std::string filePath(std::string_view name) const;

    // Replaces the named file with exactly these bytes; aborts the run when
    // that fails, since every later check would be about the wrong file.
    void writeFile(std::string_view name, std::string_view bytes) const;

  private:
    std::string m_path;
};
