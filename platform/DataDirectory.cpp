#include "platform/DataDirectory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/OwnFile.h"

namespace platform {

namespace {

constexpr mode_t kPrivateDirectory = 0700;
constexpr mode_t kWritableByOthers = 022;
constexpr mode_t kOpenToOthers = 077;
constexpr const char* kApplicationDirectory = "glimmerfen";
constexpr const char* kBackupDirectory = "backup";

constexpr std::array<const char*, 13> kOwnFileNames = {
    "HGIndex.hgd",  "backup/HGIndex1.hgd", "backup/HGIndex2.hgd", "MapProb.bin", "wlist.bin",
    "blist.bin",    "sFlag.bin",           "timeData.bin",        "Anim.bin",    "ErrorLog.txt",
    "testData.txt", "TestThis.txt",        "glimmerfen.conf",
};

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string userName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string systemText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// mkdir -p with 0700 for every directory it has to make; existing ones stay
// as they are.
std::optional<std::string> makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), kPrivateDirectory) != 0 && errno != EEXIST) {
            return systemText("cannot create " + prefix, errno);
        }
        if (slash == std::string::npos) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> checkOwnerAndMode(const std::string& shown, const struct stat& info) {
    if (info.st_uid != ::geteuid()) {
        return shown + " belongs to " + userName(info.st_uid) + ", not to you (" +
               userName(::geteuid()) + "); Glimmerfen keeps your mail there and will only use " +
               "a directory of your own: fix it with  chown " + userName(::geteuid()) + " " +
               shown + "  or choose another directory";
    }
    if ((info.st_mode & kWritableByOthers) != 0) {
        return "group or others can write to " + shown + " (mode " + octalMode(info.st_mode) +
               "), so they could swap the files Glimmerfen keeps there: fix it with  chmod 700 " +
               shown;
    }
    return std::nullopt;
}

std::optional<std::string> prepareBackupDirectory(const std::string& directory) {
    const std::string shown = directory + "/" + kBackupDirectory;
    struct stat info {};
    if (::lstat(kBackupDirectory, &info) != 0) {
        if (errno == ENOENT && ::mkdir(kBackupDirectory, kPrivateDirectory) == 0) {
            return std::nullopt;
        }
        return systemText("cannot create " + shown, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return shown + " is " + fileKindName(info.st_mode) +
               ", not a directory: remove it and Glimmerfen makes a new one";
    }
    if (auto refusal = checkOwnerAndMode(shown, info)) {
        return refusal;
    }
    // The backups are copies of the store; older versions made the directory 0755.
    if ((info.st_mode & kOpenToOthers) != 0 && ::chmod(kBackupDirectory, kPrivateDirectory) != 0) {
        return systemText("cannot make " + shown + " private", errno);
    }
    return std::nullopt;
}

std::optional<std::string> checkOwnFiles(const std::string& directory) {
    for (const char* name : kOwnFileNames) {
        struct stat info {};
        if (::lstat(name, &info) == 0 && !S_ISREG(info.st_mode)) {
            const std::string shown = directory + "/" + name;
            return notRegularProblem(shown, info.st_mode) +
                   "; Glimmerfen neither follows links nor reads FIFOs or devices there: " +
                   "remove it (rm " + shown + ")";
        }
    }
    return std::nullopt;
}

}  // namespace

std::string defaultDataDirectory() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return std::string(dataHome) + "/" + kApplicationDirectory;
    }
    const std::string home = homeDirectory();
    if (home.empty()) {
        return "";
    }
    return home + "/.local/share/" + kApplicationDirectory;
}

std::optional<std::string> enterDataDirectory(const std::string& directory, Creation creation) {
    if (directory.empty()) {
        return "no data directory: the home directory is unknown (set HOME)";
    }
    if (creation == Creation::CreateMissing) {
        if (auto refusal = makeDirectories(directory)) {
            return refusal;
        }
    }
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return systemText("cannot change into " + directory, errno);
    }
    // Checked and entered through one descriptor, so the directory checked is
    // the directory entered even if the name is swapped meanwhile.
    struct stat info {};
    std::optional<std::string> refusal;
    if (::fstat(fd, &info) != 0) {
        refusal = systemText("cannot examine " + directory, errno);
    } else {
        refusal = checkOwnerAndMode(directory, info);
    }
    if (!refusal && ::fchdir(fd) != 0) {
        refusal = systemText("cannot change into " + directory, errno);
    }
    ::close(fd);
    if (refusal) {
        return refusal;
    }
    if (auto backup = prepareBackupDirectory(directory)) {
        return backup;
    }
    return checkOwnFiles(directory);
}

std::span<const char* const> ownFileNames() {
    return kOwnFileNames;
}

}  // namespace platform
