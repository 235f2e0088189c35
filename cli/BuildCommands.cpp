#include "cli/BuildCommands.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string_view>

#include "filterbuild/BuildPanel.h"
#include "cli/CliError.h"
#include "cli/CliStore.h"
#include "platform/Files.h"
#include "proxy/ProcessObjects.h"
#include "store/Backup.h"
#include "store/Folder.h"

static_assert(commands::kBuildRequestSignal == SIGUSR1);

namespace commands {

namespace {

constexpr const char* kDayNames[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// Never a real result's email count (that is -1 or a count of emails).

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

void requireStore() {
    if (!platform::fileExists(CDatabase::kDefaultFileName)) {
        throw CliError(std::string("no store here (") + CDatabase::kDefaultFileName +
                       " is missing; run 'glimmerfen-cli init')");
    }
}

// A training folder at its limit takes no more picks, so the build keeps the
// filter it has just made and stops before measuring it.
std::string notMeasuredText(CDatabase& store) {
    return "no accuracy was measured: the filter was built, but the build stops when Good "
           "Emails (" +
           std::to_string(store.emailCount(folderKey(Folder::Good))) + ") or Bad Emails (" +
           std::to_string(store.emailCount(folderKey(Folder::Bad))) + ") holds " +
           std::to_string(kFolderLimit) + " or more; move some of them out and build again";
}

// The panel's texts use CR LF line breaks; a terminal wants plain ones.
std::string withPlainLineBreaks(std::string text) {
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

std::array<bool, 7> parseDays(const std::string& list) {
    std::array<bool, 7> days{};
    if (list == "none") {
        return days;
    }
    std::stringstream parts(list);
    for (std::string part; std::getline(parts, part, ',');) {
        std::string word = part.substr(0, 3);
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        bool known = false;
        for (int d = 0; d < 7; ++d) {
            std::string name = kDayNames[d];
            name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
            if (part.size() >= 3 && word == name) {
                days[static_cast<std::size_t>(d)] = true;
                known = true;
            }
        }
        if (!known) {
            throw UsageError("unknown day '" + part +
                             "' (days: Mon,Tue,Wed,Thu,Fri,Sat,Sun or none)");
        }
    }
    return days;
}

void printSchedule(ScheduleData& schedule, std::ostream& out) {
    ScheduleBytes bytes;
    const bool stored = schedule.loadSchedule(bytes);
    const auto times = schedule.scheduleTimes();
    std::string days;
    for (int d = 0; d < 7; ++d) {
        // scheduleTimes runs Sunday first; the names Monday first.
        if (times[static_cast<std::size_t>((d + 1) % 7)] != -1) {
            days += (days.empty() ? "" : ",") + std::string(kDayNames[d]);
        }
    }
    out << "days: " << (days.empty() ? "none" : days) << '\n';
    if (stored) {
        out << "time: " << int{bytes.hour} << ':' << (bytes.minute < 10 ? "0" : "")
            << int{bytes.minute} << (bytes.pm == 1 ? " PM" : " AM") << '\n';
    } else {
        out << "time: 12:00 AM (no schedule saved)\n";
    }
    out << "scheduleTimes:";
    for (const std::int32_t t : times) {
        out << ' ' << t;
    }
    out << '\n'
        << withPlainLineBreaks(accuracyText(schedule.lastAccuracy(), schedule.lastEmailCount()))
        << '\n';
}

// A lock's file as /proc/locks names it: "MAJOR:MINOR:INODE", the device
// numbers in hex, the inode in decimal. Read as numbers, so that the width the
// kernel pads the device numbers to does not matter.
struct LockedFile {
    unsigned long major = 0;
    unsigned long minor = 0;
    unsigned long long inode = 0;
};

std::optional<LockedFile> parseLockedFile(const std::string& field) {
    LockedFile file;
    char tail = '\0';
    if (std::sscanf(field.c_str(), "%lx:%lx:%llu%c", &file.major, &file.minor, &file.inode,
                    &tail) != 3) {
        return std::nullopt;
    }
    return file;
}

// One of this user's Glimmerfen programs: only those take the build request.
// Any other process that happens to lock the directory (a backup tool, a
// shell's flock) must not get a signal that would kill it.
bool isOurProgram(pid_t pid) {
    const std::string process = "/proc/" + std::to_string(pid);
    struct stat owner {};
    if (::stat(process.c_str(), &owner) != 0 || owner.st_uid != ::getuid()) {
        return false;
    }
    std::string name;
    char target[4096];
    const ssize_t length = ::readlink((process + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        name.assign(target, static_cast<std::size_t>(length));
        // A program rebuilt while it runs shows its old file as deleted.
        constexpr std::string_view kDeleted = " (deleted)";
        if (name.ends_with(kDeleted)) {
            name.resize(name.size() - kDeleted.size());
        }
        name = name.substr(name.rfind('/') + 1);
    } else {
        std::ifstream(process + "/comm") >> name;
    }
    return name == "glimmerfen" || name == "glimmerfen-cli";
}

// The process that holds the installation's lock: the running proxy or desktop
// program. Found in the kernel's table of file locks by the backup directory's
// device and inode: an inode number alone also names files on other devices.
std::optional<pid_t> lockHolder() {
    struct stat info {};
    if (::stat(kBackupDirectory, &info) != 0) {
        return std::nullopt;
    }
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, mode, access, device;
        long pid = 0;
        if (!(fields >> number >> type) || type != "FLOCK") {
            continue;
        }
        if (!(fields >> mode >> access >> pid >> device)) {
            continue;
        }
        const std::optional<LockedFile> file = parseLockedFile(device);
        if (file && file->major == major(info.st_dev) && file->minor == minor(info.st_dev) &&
            file->inode == info.st_ino && pid > 0 && pid != ::getpid() &&
            isOurProgram(static_cast<pid_t>(pid))) {
            return static_cast<pid_t>(pid);
        }
    }
    return std::nullopt;
}

}  // namespace

void build(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (!args.empty()) {
        throw UsageError("usage: glimmerfen-cli build");
    }
    requireStore();
    platform::InstanceLock lock;
    lockInstallation(lock, messages);
    ConsoleDesktop desktop(messages, ::isatty(STDERR_FILENO) == 1);
    ProcessObjects objects(desktop);
    if (!objects.buildSemaphore.tryAcquire(std::chrono::milliseconds(1000))) {
        throw CliError("another build is running");
    }
    interrupted.store(false);
    desktop.setCancelFlag(&interrupted);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    struct sigaction previous {};
    ::sigaction(SIGINT, &action, &previous);
    desktop.runBuilderDialog(objects.builder);
    ::sigaction(SIGINT, &previous, nullptr);
    objects.buildSemaphore.release();

    if (const auto failure = objects.builder.lastError()) {
        throw CliError("the build stopped: " + *failure);
    }
    if (!objects.builder.cancelBuild() && !objects.builder.resultSet()) {
        throw CliError(notMeasuredText(objects.store));
    }
    ScheduleBytes ignored;
    objects.schedule.loadSchedule(ignored);
    out << withPlainLineBreaks(
               accuracyText(objects.schedule.lastAccuracy(), objects.schedule.lastEmailCount()))
        << '\n';
    if (objects.builder.cancelBuild()) {
        throw CliError("the build was cancelled; what it had moved or copied stays");
    }
}

void schedule(const Arguments& args, std::ostream& out, std::ostream& messages) {
    requireStore();
    if (args.empty()) {
        ScheduleData data;
        printSchedule(data, out);
        return;
    }
    std::optional<std::string> days, time;
    std::optional<int> amPm;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--days" && hasValue) {
            days = args[++i];
        } else if (args[i] == "--time" && hasValue) {
            time = args[++i];
        } else if (args[i] == "--am" || args[i] == "--pm") {
            amPm = args[i] == "--pm" ? 1 : 0;
        } else {
            throw UsageError(
                "usage: glimmerfen-cli schedule [--days Mon,Tue,...|none] [--time H:MM] "
                "[--am|--pm]");
        }
    }
    platform::InstanceLock lock;
    lockInstallation(lock, messages);
    ConsoleDesktop desktop(messages);
    ProcessObjects objects(desktop);
    BuildPanel panel(objects.schedule, objects.bayes, objects.store);
    panel.open();
    std::string hourText = panel.hourText();
    std::string minuteText = panel.minuteText();
    if (time) {
        const auto colon = time->find(':');
        if (colon == std::string::npos) {
            throw UsageError("the time is H:MM, for example 3:15");
        }
        hourText = time->substr(0, colon);
        minuteText = time->substr(colon + 1);
    }
    const auto message = panel.pressOk(days ? parseDays(*days) : panel.dayChecks(), hourText,
                                       minuteText, amPm.value_or(panel.amPmIndex()));
    if (message) {
        throw UsageError(*message);
    }
    printSchedule(objects.schedule, out);
}

void buildNow(const Arguments& args, std::ostream& out, std::ostream&) {
    if (!args.empty()) {
        throw UsageError("usage: glimmerfen-cli build-now");
    }
    requireStore();
    const auto holder = lockHolder();
    if (!holder) {
        throw CliError(
            "no Glimmerfen proxy runs in this directory to take the request; "
            "'glimmerfen-cli build' builds now");
    }
    if (::kill(*holder, kBuildRequestSignal) != 0) {
        throw CliError("cannot reach the running proxy (process " + std::to_string(*holder) + ")");
    }
    out << "Build requested: the running proxy (process " << *holder
        << ") builds the filter at its next idle check.\n";
}

}  // namespace commands
