#include "platform/Autostart.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/Files.h"

namespace platform::autostart {

namespace {

constexpr const char* kEntryName = "glimmerfen.desktop";
// The name the installed application icon goes by, as in the menu entry.
constexpr const char* kIconName = "io.github.glimmerfen.Glimmerfen";
constexpr mode_t kConfigMode = 0700;
constexpr mode_t kAutostartMode = 0755;
// What the kernel adds to /proc/self/exe once the program's file has been
// replaced under the running process, as an upgrade does.
constexpr std::string_view kDeletedSuffix = " (deleted)";
// Characters a launcher reads as syntax in Exec: an argument holding one is quoted.
constexpr std::string_view kReservedInExec = " \t\n\"'\\><~|&;$*?#()`";

bool isAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (isAbsolute(home)) {
        return home;
    }
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && isAbsolute(user->pw_dir) ? user->pw_dir : "";
}

// The base-directory rules ignore a relative XDG_CONFIG_HOME.
std::string configHome() {
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    if (isAbsolute(configured)) {
        return configured;
    }
    const std::string home = homeDirectory();
    return home.empty() ? "" : home + "/.config";
}

std::string autostartDirectory() {
    const std::string config = configHome();
    return config.empty() ? "" : config + "/autostart";
}

std::string errnoText(const std::string& what, int error) {
    return error == 0 ? what : what + ": " + std::strerror(error);
}

// Creates `path` and whatever is missing above it, each with `mode`.
bool makeDirectories(const std::string& path, mode_t mode, std::string& reason) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            reason = errnoText("cannot create " + part, errno);
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    if (!directoryExists(path)) {
        reason = "cannot create " + path + ": something else has that name";
        return false;
    }
    return true;
}

// What a UTF-8 lead byte opens: the sequence's length (0: none) and the range
// its second byte must fall in, which keeps out overlong forms, surrogates and
// code points past U+10FFFF.
struct Utf8Sequence {
    std::size_t length;
    unsigned char low;
    unsigned char high;
};

Utf8Sequence sequenceOf(unsigned char lead) {
    if (lead < 0x80) {
        return {1, 0, 0};
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return {3, lead == 0xE0 ? std::uint8_t{0xA0} : std::uint8_t{0x80},
                lead == 0xED ? std::uint8_t{0x9F} : std::uint8_t{0xBF}};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return {4, lead == 0xF0 ? std::uint8_t{0x90} : std::uint8_t{0x80},
                lead == 0xF4 ? std::uint8_t{0x8F} : std::uint8_t{0xBF}};
    }
    return {0, 0, 0};
}

// A desktop entry is UTF-8 throughout.
bool isUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Sequence sequence = sequenceOf(static_cast<unsigned char>(text[at]));
        if (sequence.length == 0 || at + sequence.length > text.size()) {
            return false;
        }
        for (std::size_t i = 1; i < sequence.length; ++i) {
            const auto byte = static_cast<unsigned char>(text[at + i]);
            const unsigned char low = i == 1 ? sequence.low : 0x80;
            const unsigned char high = i == 1 ? sequence.high : 0xBF;
            if (byte < low || byte > high) {
                return false;
            }
        }
        at += sequence.length;
    }
    return true;
}

bool hasControlCharacter(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

// The program as Exec's one argument: quoted when it holds a reserved
// character, then escaped as every string value is (a backslash doubled once
// more) with '%' doubled so that it is no field code.
std::string execValue(const std::string& program) {
    std::string argument = program;
    if (program.find_first_of(kReservedInExec) != std::string::npos) {
        argument = "\"";
        for (const char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument += '\\';
            }
            argument += c;
        }
        argument += '"';
    }
    std::string value;
    for (const char c : argument) {
        value += c == '\\' ? "\\\\" : c == '%' ? "%%" : std::string(1, c);
    }
    return value;
}

}  // namespace

std::string entryPath() {
    const std::string directory = autostartDirectory();
    return directory.empty() ? "" : directory + "/" + kEntryName;
}

bool isOn() {
    const std::string path = entryPath();
    return !path.empty() && fileExists(path);
}

std::string entryText(const std::string& program) {
    if (!isAbsolute(program.c_str()) || hasControlCharacter(program) || !isUtf8(program)) {
        return "";
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Glimmerfen\n"
           "Comment=Rate the mail your POP3 client fetches and flag the spam\n"
           "Exec=" +
           execValue(program) +
           "\n"
           "Icon=" +
           kIconName +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool turnOn(const std::string& program, std::string& reason) {
    if (program.empty()) {
        reason = "cannot find the program's own file";
        return false;
    }
    const std::string text = entryText(program);
    if (text.empty()) {
        reason = "cannot name " + program + " in a desktop entry";
        return false;
    }
    const std::string path = entryPath();
    if (path.empty()) {
        reason = "cannot find the home directory (HOME)";
        return false;
    }
    if (!makeDirectories(configHome(), kConfigMode, reason) ||
        !makeDirectories(autostartDirectory(), kAutostartMode, reason)) {
        return false;
    }
    errno = 0;
    if (!replaceFileContents(path, text)) {
        reason = errnoText("cannot write " + path, errno);
        return false;
    }
    return true;
}

bool turnOff(std::string& reason) {
    const std::string path = entryPath();
    if (path.empty()) {
        reason = "cannot find the home directory (HOME)";
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        reason = errnoText("cannot remove " + path, errno);
        return false;
    }
    return true;
}

std::string runningProgram() {
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return "";
    }
    std::string path(buffer.data(), static_cast<std::size_t>(length));
    // After an upgrade the new file under the old name is the program to start.
    if (path.ends_with(kDeletedSuffix)) {
        const std::string installed = path.substr(0, path.size() - kDeletedSuffix.size());
        if (fileExists(installed)) {
            return installed;
        }
    }
    return path;
}

std::string besideRunningProgram(const std::string& name) {
    const std::string program = runningProgram();
    const std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? "" : program.substr(0, slash + 1) + name;
}

}  // namespace platform::autostart
