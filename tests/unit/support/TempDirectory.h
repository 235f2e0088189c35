#pragma once

#include <string>

// A fresh directory that the test works in: created and entered on
// construction, left and removed on destruction. The system keeps its files in
// the working directory, so every test gets a clean one.
class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    std::string m_previous;
};

// Whole-file helpers for assertions on bytes.
std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);
