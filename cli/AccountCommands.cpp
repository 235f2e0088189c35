#include "cli/AccountCommands.h"

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliError.h"
#include "cli/CliStore.h"
#include "cli/ServerOptions.h"
#include "store/Account.h"
#include "store/AccountBook.h"

namespace commands {

namespace {

// Without --security an account on the implicit-TLS port is taken to want TLS.
constexpr int kTlsPort = 995;

constexpr const char* kUsage =
    "usage: glimmerfen-cli accounts [add NAME | set NAME | remove NAME] (see glimmerfen-cli "
    "--help)";
constexpr const char* kAddUsage =
    "usage: glimmerfen-cli accounts add NAME (--server NAME | --server-ip A.B.C.D) "
    "--pop3-port N --local-port N [--security plain|starttls|tls] "
    "[--trust-certificate SHA256|none]";
constexpr const char* kSetUsage =
    "usage: glimmerfen-cli accounts set NAME [--server NAME | --server-ip A.B.C.D] "
    "[--pop3-port N] [--local-port N] [--security plain|starttls|tls] "
    "[--trust-certificate SHA256|none]";

// The account book as a command uses it. The book reads the settings file on
// every call, and only the read that sets a damaged file aside says so: that
// news is passed on to the user as soon as it comes.
class Book {
  public:
    Book(CliStore& store, std::ostream& messages)
        : m_book(store.database()), m_messages(messages) {}

    std::vector<Account> list() { return told(m_book.list()); }
    std::optional<std::string> add(const Account& account) { return told(m_book.add(account)); }
    std::optional<std::string> update(const std::string& name, const Account& account) {
        return told(m_book.update(name, account));
    }
    std::optional<std::string> remove(const std::string& name) { return told(m_book.remove(name)); }
    bool header() { return told(m_book.classificationHeader()); }
    void setHeader(bool on) {
        m_book.setClassificationHeader(on);
        tell();
    }

    Account existing(const std::string& name) {
        std::optional<Account> account = told(m_book.find(name));
        if (!account) {
            throw UsageError("There is no account named " + name);
        }
        return std::move(*account);
    }

  private:
    void tell() {
        if (m_book.settingsProblem()) {
            m_messages << "glimmerfen-cli: " << *m_book.settingsProblem() << '\n';
        }
    }
    template <typename Result>
    Result told(Result result) {
        tell();
        return result;
    }

    AccountBook m_book;
    std::ostream& m_messages;
};

void printAccount(const Account& account, std::ostream& out) {
    out << account.name << '\t' << serverText(account.pop3) << '\t'
        << securityName(account.security.mode) << '\t' << account.pop3.localPort << '\n';
}

// The book's refusal is the user's to mend, like a bad option: nothing was written.
void refuseIf(const std::optional<std::string>& refusal) {
    if (refusal) {
        throw UsageError(*refusal);
    }
}

Account newAccount(const std::string& name, const ServerOptions& options) {
    if ((!options.serverName && !options.serverAddress) || !options.pop3Port ||
        !options.localPort) {
        throw UsageError(kAddUsage);
    }
    Account account;
    account.name = name;
    account.security.mode = *options.pop3Port == kTlsPort ? Security::Tls : Security::Plain;
    options.applyTo(account.pop3, account.security);
    return account;
}

void addAccount(const Arguments& args, std::ostream& out, std::ostream& messages) {
    const ServerOptions options = ServerOptions::parse({args.begin() + 2, args.end()}, kAddUsage);
    const Account account = newAccount(args[1], options);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    Book book(store, messages);
    refuseIf(book.add(account));
    printAccount(book.existing(account.name), out);
}

void setAccount(const Arguments& args, std::ostream& out, std::ostream& messages) {
    const ServerOptions options = ServerOptions::parse({args.begin() + 2, args.end()}, kSetUsage);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    Book book(store, messages);
    Account account = book.existing(args[1]);
    options.applyTo(account.pop3, account.security);
    refuseIf(book.update(args[1], account));
    printAccount(book.existing(account.name), out);
}

void removeAccount(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.size() != 2) {
        throw UsageError("usage: glimmerfen-cli accounts remove NAME");
    }
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    Book book(store, messages);
    const Account account = book.existing(args[1]);
    refuseIf(book.remove(args[1]));
    printAccount(account, out);
}

void listAccounts(std::ostream& out, std::ostream& messages) {
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    Book book(store, messages);
    for (const Account& account : book.list()) {
        printAccount(account, out);
    }
}

}  // namespace

void accounts(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.empty()) {
        listAccounts(out, messages);
        return;
    }
    const std::string& action = args[0];
    if (args.size() < 2 || (action != "add" && action != "set" && action != "remove")) {
        throw UsageError(kUsage);
    }
    if (action == "add") {
        addAccount(args, out, messages);
    } else if (action == "set") {
        setAccount(args, out, messages);
    } else {
        removeAccount(args, out, messages);
    }
}

void header(const Arguments& args, std::ostream& out, std::ostream& messages) {
    if (args.size() > 1 || (args.size() == 1 && args[0] != "on" && args[0] != "off")) {
        throw UsageError("usage: glimmerfen-cli header [on|off]");
    }
    const auto access = args.empty() ? CliStore::Access::Read : CliStore::Access::Write;
    CliStore store(access, CliStore::Missing::Refuse, messages);
    Book book(store, messages);
    if (!args.empty()) {
        book.setHeader(args[0] == "on");
    }
    out << (book.header() ? "on" : "off") << '\n';
}

}  // namespace commands
