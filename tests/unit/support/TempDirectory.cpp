#include "support/TempDirectory.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

TempDirectory::TempDirectory() {
    std::vector<char> previous(4096);
    if (::getcwd(previous.data(), previous.size()) != nullptr) {
        m_previous = previous.data();
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "glimmerfen-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    m_path = pattern;
}

TempDirectory::~TempDirectory() {
    if (!m_previous.empty() && ::chdir(m_previous.c_str()) != 0) {
        ::chdir("/");
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

// One read of the whole size: store files are 26 MB, and a byte-by-byte
// iterator takes minutes under the thread sanitizer.
std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
