// glimmerfen-cli: the store and the parser from the command line, for people who
// script, migrate or run without a desktop.
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/AccountCommands.h"
#include "cli/AutostartCommand.h"
#include "cli/BuildCommands.h"
#include "cli/CliError.h"
#include "cli/ProxyCommands.h"
#include "cli/RatingCommands.h"
#include "cli/StoreCommands.h"
#include "diag/Error.h"
#include "platform/DataDirectory.h"

namespace {

using Command = std::function<void(const commands::Arguments&, std::ostream&, std::ostream&)>;

const std::map<std::string, Command>& commandTable() {
    static const std::map<std::string, Command> table = {
        {"init", commands::init},
        {"import", commands::importMessages},
        {"list", commands::list},
        {"show", commands::show},
        {"count", commands::count},
        {"move", commands::move},
        {"delete-trash", commands::deleteTrash},
        {"clean", commands::clean},
        {"trim", commands::trim},
        {"backup", commands::backup},
        {"parse", commands::parse},
        {"build-table", commands::buildTable},
        {"rate", commands::rate},
        {"rate-folder", commands::rateFolder},
        {"tokens", commands::tokens},
        {"lists", commands::lists},
        {"list-add", commands::listAdd},
        {"list-del", commands::listDelete},
        {"state", commands::state},
        {"nameserver", commands::nameServer},
        {"nameservers", commands::nameServers},
        {"dnsbl", commands::dnsbl},
        {"test-nameserver", commands::testNameServer},
        {"build", commands::build},
        {"schedule", commands::schedule},
        {"build-now", commands::buildNow},
        {"proxy", commands::proxy},
        {"settings", commands::settings},
        {"test-server", commands::testServer},
        {"flag-word", commands::flagWord},
        {"accounts", commands::accounts},
        {"header", commands::header},
        {"autostart", commands::autostart},
    };
    return table;
}

constexpr const char* kHelp = R"(usage: glimmerfen-cli [-C DIR] COMMAND [ARGUMENTS]

Works on the Glimmerfen store (HGIndex.hgd) and the files beside it in the data
directory, $XDG_DATA_HOME/glimmerfen (by default ~/.local/share/glimmerfen, made
on first use), or in DIR, which must exist (relative file names then start from
DIR). The directory must be yours and writable by you alone.
Folders: newA (New Emails), goodA (Good Emails), badA (Bad Emails/Spam),
         goodB (Store Good), badB (Store Bad), trashA (Trash Bin).

  init                    open or create the store and its backup directory
  import FOLDER PATH...   store messages from Maildirs, directories, mbox or message files
  list FOLDER             index, date, From and Subject of each email
  show FOLDER INDEX       the stored text of one email
  count [FOLDER]          how many emails each folder (or one) holds
  move FROM TO INDEX...   move emails between folders
  delete-trash INDEX...   delete emails from the Trash Bin
  clean                   delete corrupted records from every folder
  trim                    move New Emails beyond 600 to the Trash Bin, cut the Trash Bin to 600
  backup                  copy the store to backup/HGIndex1.hgd, keeping the previous copy
  parse FILE              the header parse of a message file, as JSON

  build-table             build the filter table (MapProb.bin) from goodA and badA
  rate [--test] FILE...   rate messages as the proxy would: white, black, dnsbl, spam or ham
  rate-folder FOLDER [--test]
                          rate the stored emails of a folder the same way
                          (--test: the filter rates even while switched off)
  tokens FILE             the word windows of a message, one per line
  lists white|black       the entries of a phrase list
  list-add white|black From|Subject|To Sensitive|Insensitive PHRASE
  list-del white|black N  remove entry N (as numbered by lists)
  state [--bayes on|off] [--spamhaus on|off] [--spamcop on|off]
                          show or switch the filter and the two block lists
  nameserver [A.B.C.D]    show or set the name server the block lists are asked through
  nameservers             the name servers this system uses
  dnsbl A.B.C.D [spamhaus|spamcop]
                          ask a block list about an address: -1 no answer, 0 not listed,
                          above 0 listed
  test-nameserver A.B.C.D whether a name server answers block-list queries (exit 1 if not)

  proxy                   run the POP3 proxy in the foreground until Ctrl-C or SIGTERM;
                          one log line per session and per error on standard error
  settings [--server NAME | --server-ip A.B.C.D] [--pop3-port N] [--local-port N]
           [--security plain|starttls|tls] [--trust-certificate SHA256|none]
                          show or set the POP3 server, the ports the proxy uses, how the
                          link to the server is secured (tls switches port 110 to 995
                          unless --pop3-port is given) and a certificate trusted as is
  test-server             reach the POP3 server as the proxy would and show its greeting and
                          certificate (exit 1 if no session could start)
  flag-word [WORD]        show or set the spam flag word (2 to 20 characters)
  accounts                the accounts the proxy serves, main first, one line each:
                          NAME, SERVER:PORT, SECURITY, LOCAL PORT (separated by tabs)
  accounts add NAME (--server NAME | --server-ip A.B.C.D) --pop3-port N --local-port N
           [--security plain|starttls|tls] [--trust-certificate SHA256|none]
                          serve one more account on a local port of its own (at most 16;
                          without --security, tls for port 995, otherwise plain)
  accounts set NAME [the options of add, each optional]
                          change an account; main is the server of settings
  accounts remove NAME    stop serving an account (main stays)
  header [on|off]         show or switch the X-Glimmerfen line at the top of every
                          retrieved message, which says how it was rated

  build                   build the filter now as the scheduled build does: train, test the
                          store folders, move what it misjudges, measure (Ctrl-C cancels)
  schedule [--days Mon,Tue,...|none] [--time H:MM] [--am|--pm]
                          show or set the weekly build schedule and the last accuracy
  build-now               ask the proxy running here to build at its next idle check

  autostart [on|off]      show, or switch, starting the desktop program at login
)";

// Error texts of the store run over several lines; the user gets one.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

int fail(const std::string& reason, int code) {
    std::cerr << "glimmerfen-cli: " << oneLine(reason) << '\n';
    return code;
}

// The position of the first argument that names a file of the user's, for the
// commands that take such files (the command name is argument 0).
const std::map<std::string, std::size_t>& fileArguments() {
    static const std::map<std::string, std::size_t> table = {
        {"import", 2}, {"parse", 1}, {"rate", 1}, {"tokens", 1}};
    return table;
}

// The command runs in the data directory, but files named on the command line
// are taken from where the user stands, as any command's would be.
void anchorFileArguments(std::vector<std::string>& args) {
    const auto first = fileArguments().find(args[0]);
    char* here = ::getcwd(nullptr, 0);
    if (first == fileArguments().end() || here == nullptr) {
        std::free(here);
        return;
    }
    for (std::size_t i = first->second; i < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] != '/' && !args[i].starts_with("--")) {
            args[i] = std::string(here) + "/" + args[i];
        }
    }
    std::free(here);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "-C") {
        return fail("-C needs a directory", 2);
    }
    std::optional<std::string> namedDirectory;
    if (args.size() >= 2 && args[0] == "-C") {
        namedDirectory = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kHelp;
        return args.empty() ? 2 : 0;
    }
    const auto command = commandTable().find(args[0]);
    if (command == commandTable().end()) {
        return fail("unknown command '" + args[0] + "' (see glimmerfen-cli --help)", 2);
    }
    if (!namedDirectory) {
        anchorFileArguments(args);
    }
    const auto refusal = platform::enterDataDirectory(
        namedDirectory.value_or(platform::defaultDataDirectory()),
        namedDirectory ? platform::Creation::MustExist : platform::Creation::CreateMissing);
    if (refusal) {
        return fail(*refusal, 1);
    }
    try {
        command->second({args.begin() + 1, args.end()}, std::cout, std::cerr);
        std::cout.flush();
        return std::cout ? 0 : fail("cannot write the output", 1);
    } catch (const UsageError& error) {
        return fail(error.what(), 2);
    } catch (const CliError& error) {
        return fail(error.what(), 1);
    } catch (const CError& error) {
        return fail(error.what(), 1);
    } catch (const std::exception& error) {
        return fail(CError(error.what(), "glimmerfen-cli", __LINE__, "main").what(), 1);
    }
}
