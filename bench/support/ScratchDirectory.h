#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

// The store, the table and the lists live in the current directory, so a
// benchmark runs in a directory of its own that is removed afterwards.
class ScratchDirectory {
  public:
    ScratchDirectory() : m_previous(std::filesystem::current_path()) {
        // mkdtemp replaces the six trailing X's with a unique name.
        std::string pattern =
            (std::filesystem::temp_directory_path() / "glimmerfen-bench-").string() +
            std::string(6, 'X');
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a scratch directory: " +
                                     std::string(std::strerror(errno)));
        }
        m_path = pattern;
        std::filesystem::current_path(m_path);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }

  private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};
