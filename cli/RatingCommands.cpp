#include "cli/RatingCommands.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <ostream>

#include "cli/CliError.h"
#include "cli/CliStore.h"
#include "cli/MessageFiles.h"
#include "cli/TerminalProgress.h"
#include "platform/SystemConfig.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "rating/MessageRater.h"
#include "rating/NameServerDiscovery.h"
#include "rating/Tokenizer.h"
#include "store/Folder.h"
#include "store/ProgramState.h"

namespace commands {

namespace {

constexpr std::size_t kMaxPhraseLength = 80;  // what the list dialogs keep

void expectCount(const Arguments& args, std::size_t least, std::size_t most, const char* usage) {
    if (args.size() < least || args.size() > most) {
        throw UsageError(std::string("usage: glimmerfen-cli ") + usage);
    }
}

// The process-wide rating objects, set up from the store as the proxy sets them
// up when it starts: the table loaded, the lists loaded, the switches from the
// state byte.
struct RatingEngine {
    explicit RatingEngine(std::ostream& messages)
        : store(CliStore::Access::Read, CliStore::Missing::Refuse, messages),
          desktop(messages),
          whiteList(kWhiteListFile),
          blackList(kBlackListFile),
          resolver(store.database(), desktop),
          bayes(store.database(), desktop),
          rater(whiteList, blackList, resolver, bayes) {
        const ProgramState state = store.database().getHarrowgleamState();
        bayes.load();
        bayes.setEnabled(state.bayesOn(), false);
        whiteList.load();
        blackList.load();
        resolver.setDnsblZones(state);
    }

    void rateOne(const std::string& name, const std::string& text, bool forTest,
                 std::ostream& out) {
        const MessageRating rating = rater.rate(text, forTest);
        char ratingText[32];
        std::snprintf(ratingText, sizeof ratingText, "%f", rating.rating);
        out << name << '\t' << verdictName(rating.verdict) << '\t' << ratingText << '\n';
    }

    CliStore store;
    ConsoleDesktop desktop;
    FilterList whiteList;
    FilterList blackList;
    DnsResolver resolver;
    BayesFilter bayes;
    MessageRater rater;
};

// Splits off a "--test" flag wherever it stands.
bool takeTestFlag(Arguments& args) {
    const auto before = args.size();
    std::erase(args, std::string("--test"));
    return args.size() != before;
}

std::string listFile(const std::string& which) {
    if (which == "white") {
        return std::string(kWhiteListFile);
    }
    if (which == "black") {
        return std::string(kBlackListFile);
    }
    throw UsageError("unknown list '" + which + "' (lists: white, black)");
}

std::array<std::uint8_t, 4> dottedQuad(const std::string& text) {
    const auto address = parseDottedQuad(text);
    if (!address) {
        throw UsageError("not an IPv4 address: '" + text + "'");
    }
    return *address;
}

std::string onOff(bool on) {
    return on ? "on" : "off";
}

bool onOffValue(const std::string& option, const std::string& value) {
    if (value == "on") {
        return true;
    }
    if (value == "off") {
        return false;
    }
    throw UsageError(option + " takes on or off");
}

void printState(ProgramState state, std::ostream& out) {
    out << "state " << static_cast<int>(state.byte()) << ": bayes " << onOff(state.bayesOn())
        << ", spamhaus " << onOff(state.spamhausOn()) << ", spamcop " << onOff(state.spamcopOn())
        << '\n';
}

}  // namespace

void buildTable(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 0, 0, "build-table");
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    ConsoleDesktop desktop(messages);
    BayesFilter bayes(store.database(), desktop);
    int result = 0;
    {
        TerminalProgress progress(messages, ::isatty(STDERR_FILENO) == 1);
        result = bayes.buildProbabilities(progress);
    }
    out << "result " << result << ", " << bayes.entryCount() << " table entries\n";
}

void rate(const Arguments& given, std::ostream& out, std::ostream& messages) {
    Arguments args = given;
    const bool forTest = takeTestFlag(args);
    expectCount(args, 1, SIZE_MAX, "rate [--test] FILE...");
    // Every path must be there before anything is rated; directories and
    // Maildirs are taken as import takes them.
    std::vector<std::string> files;
    for (const std::string& path : args) {
        for (std::string& file : MessageFiles::filesOf(path)) {
            files.push_back(std::move(file));
        }
    }
    RatingEngine engine(messages);
    for (const std::string& file : files) {
        int number = 0;
        MessageFiles::readMessages(file, [&](const std::string& text) {
            ++number;
            const std::string name = number == 1 ? file : file + "#" + std::to_string(number);
            engine.rateOne(name, text, forTest, out);
            return true;
        });
    }
}

void rateFolder(const Arguments& given, std::ostream& out, std::ostream& messages) {
    Arguments args = given;
    const bool forTest = takeTestFlag(args);
    expectCount(args, 1, 1, "rate-folder FOLDER [--test]");
    if (!folderFromKey(args[0])) {
        throw UsageError("unknown folder '" + args[0] + "' (folders: " + folderKeyList() + ")");
    }
    RatingEngine engine(messages);
    CDatabase& database = engine.store.database();
    const std::vector<int> indexes = database.emailIndexes(args[0]);
    std::string text;
    int position = 0;
    for (const int index : indexes) {
        if (!database.getNextEmailText(position, args[0], text)) {
            break;
        }
        engine.rateOne(std::to_string(index), text, forTest, out);
    }
}

void tokens(const Arguments& args, std::ostream& out, std::ostream&) {
    expectCount(args, 1, 1, "tokens FILE");
    const std::string text = MessageFiles::firstMessage(args[0]);
    tokenize(text, [&](const WordWindow& window) {
        out << window.w1 << ' ' << window.w2 << ' ' << window.w3 << '\n';
    });
}

void lists(const Arguments& args, std::ostream& out, std::ostream&) {
    expectCount(args, 1, 1, "lists white|black");
    FilterList list(listFile(args[0]));
    ListRows rows;
    list.showInList(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out << i + 1 << '\t' << rows[i].field << '\t' << rows[i].caseText << '\t' << rows[i].phrase
            << '\n';
    }
}

void listAdd(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 4, 4, "list-add white|black From|Subject|To Sensitive|Insensitive PHRASE");
    const std::string file = listFile(args[0]);
    if (args[1] != "From" && args[1] != "Subject" && args[1] != "To") {
        throw UsageError("the field is From, Subject or To");
    }
    if (args[2] != "Sensitive" && args[2] != "Insensitive") {
        throw UsageError("the case is Sensitive or Insensitive");
    }
    // An empty phrase would match every message.
    if (args[3].empty() || args[3].size() > kMaxPhraseLength) {
        throw UsageError("a phrase has 1 to 80 characters");
    }
    platform::InstanceLock lock;
    lockInstallation(lock, messages);
    FilterList list(file);
    ListRows rows;
    list.showInList(rows);
    rows.push_back({args[3], args[1], args[2]});
    if (!list.replaceFromList(rows)) {
        throw CliError("cannot write " + file);
    }
}

void listDelete(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 2, 2, "list-del white|black N");
    const std::string file = listFile(args[0]);
    std::size_t number = 0;
    const auto [end, error] =
        std::from_chars(args[1].data(), args[1].data() + args[1].size(), number);
    if (error != std::errc() || end != args[1].data() + args[1].size() || number == 0) {
        throw UsageError("not an entry number: '" + args[1] + "'");
    }
    platform::InstanceLock lock;
    lockInstallation(lock, messages);
    FilterList list(file);
    ListRows rows;
    list.showInList(rows);
    if (number > rows.size()) {
        throw CliError("the " + args[0] + " list has " + std::to_string(rows.size()) + " entries");
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(number - 1));
    if (!list.replaceFromList(rows)) {
        throw CliError("cannot write " + file);
    }
}

void state(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.size() % 2 != 0 || args.size() > 6) {
        throw UsageError(
            "usage: glimmerfen-cli state [--bayes on|off] [--spamhaus on|off] [--spamcop on|off]");
    }
    if (args.empty()) {
        CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
        printState(store.database().getHarrowgleamState(), out);
        return;
    }
    std::optional<bool> bayesOn;
    StateChange change;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const bool on = onOffValue(args[i], args[i + 1]);
        ProgramState::Switch which = ProgramState::Switch::Bayes;
        if (args[i] == "--bayes") {
            bayesOn = on;
        } else if (args[i] == "--spamhaus") {
            which = ProgramState::Switch::Spamhaus;
        } else if (args[i] == "--spamcop") {
            which = ProgramState::Switch::Spamcop;
        } else {
            throw UsageError("unknown switch '" + args[i] + "'");
        }
        change.turn(which, on);
    }
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    if (bayesOn.value_or(false)) {
        ConsoleDesktop desktop(messages);
        BayesFilter bayes(store.database(), desktop);
        bayes.load();
        if (!bayes.tablePresent()) {
            throw CliError("Must Create a Filter First");
        }
    }
    // Each switch owns its bit; the others, reserved ones included, stay as read.
    printState(store.database().changeProgramState(change), out);
}

void nameServer(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 0, 1, "nameserver [A.B.C.D]");
    if (args.empty()) {
        CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
        std::array<std::uint8_t, 4> address{};
        if (!store.database().getNameServerIP(address)) {
            throw CliError("cannot read the name server from the store");
        }
        out << int{address[0]} << '.' << int{address[1]} << '.' << int{address[2]} << '.'
            << int{address[3]} << '\n';
        return;
    }
    const auto address = dottedQuad(args[0]);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    if (!store.database().setNameServerIP(address)) {
        throw CliError("cannot write the name server to the store");
    }
}

void nameServers(const Arguments& args, std::ostream& out, std::ostream&) {
    expectCount(args, 0, 0, "nameservers");
    platform::ResolvConfReader reader;
    NameServerDiscovery discovery(reader);
    discovery.discover();
    for (const std::string& server : discovery.servers()) {
        out << server << '\n';
    }
}

void dnsbl(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 1, 2, "dnsbl A.B.C.D [spamhaus|spamcop]");
    dottedQuad(args[0]);
    int zone = 0;
    if (args.size() == 2) {
        if (args[1] == "spamcop") {
            zone = 1;
        } else if (args[1] != "spamhaus") {
            throw UsageError("the block lists are spamhaus and spamcop");
        }
    }
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    ConsoleDesktop desktop(messages);
    DnsResolver resolver(store.database(), desktop);
    out << resolver.queryDnsbl(args[0], zone) << '\n';
}

void testNameServer(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 1, 1, "test-nameserver A.B.C.D");
    dottedQuad(args[0]);
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    ConsoleDesktop desktop(messages);
    DnsResolver resolver(store.database(), desktop);
    if (!resolver.testNameServer(args[0])) {
        out << "Failed: DNS IP failed.\n";
        throw CliError("the name server did not answer");
    }
    out << "Passed: DNS IP works\n";
}

}  // namespace commands
