#include "cli/AutostartCommand.h"

#include <ostream>

#include "cli/CliError.h"
#include "platform/Autostart.h"
#include "platform/Files.h"

namespace commands {

namespace {

// An entry naming a program that is not there would start nothing at login.
std::string desktopProgram() {
    const std::string program = platform::autostart::besideRunningProgram("glimmerfen");
    if (program.empty() || !platform::fileExists(program)) {
        throw CliError("no glimmerfen beside glimmerfen-cli" +
                       (program.empty() ? std::string() : " (looked for " + program + ")"));
    }
    return program;
}

void printStatus(std::ostream& out) {
    out << "autostart " << (platform::autostart::isOn() ? "on" : "off") << ": "
        << platform::autostart::entryPath() << '\n';
}

}  // namespace

void autostart(const Arguments& args, std::ostream& out, std::ostream&) {
    if (args.size() > 1 || (args.size() == 1 && args[0] != "on" && args[0] != "off")) {
        throw UsageError("usage: glimmerfen-cli autostart [on|off]");
    }
    std::string reason;
    if (!args.empty() && args[0] == "on" &&
        !platform::autostart::turnOn(desktopProgram(), reason)) {
        throw CliError(reason);
    }
    if (!args.empty() && args[0] == "off" && !platform::autostart::turnOff(reason)) {
        throw CliError(reason);
    }
    printStatus(out);
}

}  // namespace commands
