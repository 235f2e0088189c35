#include "cli/MessageFiles.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "cli/CliError.h"
#include "cli/ProxyText.h"

namespace fs = std::filesystem;

namespace {

// Lines of a file without their LF. A line is kept only up to a bound: no message
// keeps more than 4,999 bytes, so longer lines need not cost memory.
class LineReader {
  public:
    explicit LineReader(const std::string& path)
        : m_file(std::fopen(path.c_str(), "rb"), &std::fclose) {
        if (!m_file) {
            throw CliError("cannot read " + path);
        }
    }

    bool next(std::string& line) {
        line.clear();
        bool any = false;
        for (int c; (c = std::getc(m_file.get())) != EOF;) {
            any = true;
            if (c == '\n') {
                return true;
            }
            if (line.size() < kKeptLineBytes) {
                line.push_back(static_cast<char>(c));
            }
        }
        return any;
    }

  private:
    static constexpr std::size_t kKeptLineBytes = 8192;
    std::unique_ptr<FILE, int (*)(FILE*)> m_file;
};

void regularFilesIn(const fs::path& directory, std::vector<std::string>& files) {
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with('.') && it->is_regular_file(error)) {
            files.push_back(it->path().string());
        }
    }
    if (error) {
        throw CliError("cannot list " + directory.string() + ": " + error.message());
    }
}

}  // namespace

std::vector<std::string> MessageFiles::filesOf(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_regular_file(status)) {
        return {path};
    }
    if (!fs::is_directory(status)) {
        throw CliError("no such file or directory: " + path);
    }
    std::vector<std::string> files;
    const bool maildir = fs::is_directory(fs::path(path) / "cur", error) ||
                         fs::is_directory(fs::path(path) / "new", error);
    if (maildir) {
        for (const char* part : {"cur", "new"}) {
            if (fs::is_directory(fs::path(path) / part, error)) {
                regularFilesIn(fs::path(path) / part, files);
            }
        }
    } else {
        regularFilesIn(path, files);
    }
    std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
        return fs::path(a).filename() < fs::path(b).filename();
    });
    return files;
}

void MessageFiles::readMessages(const std::string& file, const MessageSink& sink) {
    LineReader reader(file);
    std::string line;
    if (!reader.next(line)) {
        return;
    }
    const bool mbox = line.starts_with("From ");
    ProxyText message;
    if (!mbox) {
        message.addLine(line);
    }
    while (reader.next(line)) {
        if (mbox && line.starts_with("From ")) {
            if (!message.empty() && !sink(message.finish())) {
                return;
            }
            message = ProxyText();
            continue;
        }
        message.addLine(line);
    }
    if (!message.empty()) {
        sink(message.finish());
    }
}

bool MessageFiles::isMbox(const std::string& file) {
    LineReader reader(file);
    std::string line;
    return reader.next(line) && line.starts_with("From ");
}

std::string MessageFiles::firstMessage(const std::string& file) {
    std::optional<std::string> first;
    readMessages(file, [&](const std::string& text) {
        first = text;
        return false;
    });
    if (!first) {
        throw CliError("no message in " + file);
    }
    return *first;
}
