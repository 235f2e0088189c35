#include <QApplication>
#include <QMessageBox>

#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DataDirectory.h"
#include "ui/Harrowgleam.h"

namespace {

constexpr std::string_view kDataDirectoryOption = "--data-dir";

// What the command line asks of the data directory, taken out of argv before
// Qt sees it.
struct DataDirectoryChoice {
    std::optional<std::string> named;
    std::string error;
};

DataDirectoryChoice takeDataDirectoryOption(int& argc, char** argv) {
    DataDirectoryChoice choice;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kDataDirectoryOption) {
            if (i + 1 == argc) {
                choice.error = "--data-dir needs a directory";
            } else {
                choice.named = argv[++i];
            }
        } else if (argument.starts_with(std::string(kDataDirectoryOption) + "=")) {
            choice.named = std::string(argument.substr(kDataDirectoryOption.size() + 1));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return choice;
}

// Said on standard error too: started from a menu, the box is all the user
// sees; started from a shell or a script, the line is what gets kept.
int refuseToStart(const std::string& reason) {
    std::cerr << "glimmerfen: " << reason << '\n';
    QMessageBox::critical(nullptr, QStringLiteral("Glimmerfen"),
                          QString::fromLocal8Bit(reason.c_str()));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const DataDirectoryChoice choice = takeDataDirectoryOption(argc, argv);
    QApplication application(argc, argv);
    if (!choice.error.empty()) {
        return refuseToStart(choice.error);
    }
    const auto refusal = platform::enterDataDirectory(
        choice.named.value_or(platform::defaultDataDirectory()),
        choice.named ? platform::Creation::MustExist : platform::Creation::CreateMissing);
    if (refusal) {
        return refuseToStart(*refusal);
    }
    CHarrowgleamApp glimmerfen;
    return glimmerfen.run();
}
