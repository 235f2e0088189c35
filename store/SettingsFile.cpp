#include "store/SettingsFile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"

namespace {

// Far more than the settings of many accounts take: a larger file is not one
// that Glimmerfen wrote, and reading it whole would let it take any memory.
constexpr std::size_t kLargestFile = 64 * 1024;
constexpr std::string_view kAccountPrefix = "account ";
constexpr const char* kMainAccount = "main";
constexpr std::string_view kSecurityKey = "security";
constexpr std::string_view kCertificateKey = "certificate";
constexpr std::string_view kNoCertificate = "none";
constexpr std::string_view kServerKey = "server";
constexpr std::string_view kServerIpKey = "server-ip";
constexpr std::string_view kPortKey = "port";
constexpr std::string_view kLocalPortKey = "local-port";
constexpr std::string_view kOptionsSection = "options";
constexpr std::string_view kHeaderKey = "classification-header";
constexpr std::size_t kLongestServerName = 79;  // what the store keeps
// Set-aside names carry the second; more damaged files than this in one
// second cannot happen, so the search for a free name is bounded by it.
constexpr int kMostSetAsideNames = 100;
constexpr const char* kHeader =
    "# Glimmerfen settings, kept beside the store: one [account NAME] section per\n"
    "# mail server, \"key = value\" lines under it. Glimmerfen rewrites this file\n"
    "# when a setting changes; comments other than this one are not kept.\n";

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Tabs aside, no control characters: a text a person can read and edit.
bool readable(std::string_view line) {
    return std::none_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
}

bool isKeyName(std::string_view key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

// Reads the text line by line into Settings; the first fault stops it with
// the line's number and what is wrong there.
class SettingsParser {
  public:
    explicit SettingsParser(std::string& error) : m_error(error) {}

    bool line(std::string_view text, int number);
    // The checks that need the whole text: every account but "main" names
    // its server and local port.
    bool finish();
    Settings& settings() { return m_settings; }

  private:
    enum class Section { None, Account, Options, Unknown };

    bool fail(const std::string& what);
    bool section(std::string_view title);
    bool entry(std::string_view key, std::string_view value);
    bool accountEntry(std::string_view key, std::string_view value);
    bool serverEntry(AccountSettings& account, const std::string& key, std::string_view value);
    bool securityEntry(AccountSettings& account, const std::string& key, std::string_view value);
    bool optionEntry(std::string_view key, std::string_view value);
    bool firstTime(const std::string& key, const std::string& where);

    std::string& m_error;
    Settings m_settings;
    Section m_section = Section::None;
    int m_number = 0;
    std::vector<std::string> m_knownKeysSeen;
    // Accounts whose section named a server, and a local port.
    std::vector<std::string> m_withServer;
    std::vector<std::string> m_withLocalPort;
};

bool SettingsParser::fail(const std::string& what) {
    m_error = "line " + std::to_string(m_number) + ": " + what;
    return false;
}

bool SettingsParser::line(std::string_view text, int number) {
    m_number = number;
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    if (!readable(text)) {
        return fail("a control character, which a settings file never holds");
    }
    text = trimmed(text);
    if (text.empty() || text.front() == '#' || text.front() == ';') {
        return true;
    }
    if (text.front() == '[') {
        if (text.back() != ']') {
            return fail("a section heading must end with ]");
        }
        return section(trimmed(text.substr(1, text.size() - 2)));
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        return fail("neither a [section] heading nor a \"key = value\" line");
    }
    return entry(trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)));
}

bool SettingsParser::section(std::string_view title) {
    m_knownKeysSeen.clear();
    if (title.empty()) {
        return fail("a section heading without a name");
    }
    if (lowerCase(title) == kOptionsSection) {
        m_section = Section::Options;
        return true;
    }
    if (!title.starts_with(kAccountPrefix)) {
        m_settings.unknownSections.push_back({std::string(title), {}});
        m_section = Section::Unknown;
        return true;
    }
    const std::string name(trimmed(title.substr(kAccountPrefix.size())));
    if (name.empty()) {
        return fail("an account section without the account's name");
    }
    if (m_settings.find(name) != nullptr) {
        return fail("a second section for the account " + name);
    }
    m_settings.accounts.push_back({name, {}, {}, {}});
    m_section = Section::Account;
    return true;
}

bool SettingsParser::entry(std::string_view key, std::string_view value) {
    if (!isKeyName(key)) {
        return fail("\"" + std::string(key) +
                    "\" is not a key name (letters, digits, '-', '_' and '.')");
    }
    switch (m_section) {
        case Section::None:
            return fail("a setting before the first [section] heading");
        case Section::Unknown:
            m_settings.unknownSections.back().keys.push_back(
                {std::string(key), std::string(value)});
            return true;
        case Section::Options:
            return optionEntry(key, value);
        case Section::Account:
            break;
    }
    return accountEntry(key, value);
}

bool SettingsParser::firstTime(const std::string& key, const std::string& where) {
    if (std::find(m_knownKeysSeen.begin(), m_knownKeysSeen.end(), key) != m_knownKeysSeen.end()) {
        return fail(key + " is set twice " + where);
    }
    m_knownKeysSeen.push_back(key);
    return true;
}

bool SettingsParser::optionEntry(std::string_view key, std::string_view value) {
    const std::string known = lowerCase(key);
    if (known != kHeaderKey) {
        m_settings.unknownOptions.push_back({std::string(key), std::string(value)});
        return true;
    }
    if (!firstTime(known, "in [options]")) {
        return false;
    }
    const std::string word = lowerCase(value);
    if (word != "on" && word != "off") {
        return fail(known + " is \"" + std::string(value) + "\", not on or off");
    }
    m_settings.classificationHeader = word == "on";
    return true;
}

namespace {

std::optional<int> portValue(std::string_view text) {
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 0 ||
        port > kHighestPort) {
        return std::nullopt;
    }
    return port;
}

bool isServerName(std::string_view name) {
    return !name.empty() && name.size() <= kLongestServerName &&
           std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
           });
}

}  // namespace

bool SettingsParser::serverEntry(AccountSettings& account, const std::string& key,
                                 std::string_view value) {
    Pop3Settings& pop3 = account.pop3 ? *account.pop3 : account.pop3.emplace();
    if (key == kServerKey || key == kServerIpKey) {
        // One server: a name and a number for it would leave the proxy guessing.
        if (!firstTime(std::string(kServerKey), "(as server or server-ip) for the account " +
                                                    account.name)) {
            return false;
        }
    }
    if (key == kServerKey) {
        if (!isServerName(value)) {
            return fail("server is not a server name (1 to 79 characters, no blanks)");
        }
        pop3.useDomainName = true;
        pop3.serverName = std::string(value);
        m_withServer.push_back(account.name);
        return true;
    }
    if (key == kServerIpKey) {
        const std::optional<platform::Ipv4Address> address =
            platform::dottedToAddress(std::string(value));
        if (!address) {
            return fail("server-ip is not an IPv4 address");
        }
        pop3.useDomainName = false;
        pop3.ip1 = (*address)[0];
        pop3.ip2 = (*address)[1];
        pop3.ip3 = (*address)[2];
        pop3.ip4 = (*address)[3];
        m_withServer.push_back(account.name);
        return true;
    }
    if (!firstTime(key, "for the account " + account.name)) {
        return false;
    }
    const std::optional<int> port = portValue(value);
    if (!port) {
        return fail(key + " is not a port number");
    }
    if (key == kPortKey) {
        pop3.pop3Port = *port;
    } else {
        pop3.localPort = *port;
        m_withLocalPort.push_back(account.name);
    }
    return true;
}

bool SettingsParser::finish() {
    for (const AccountSettings& account : m_settings.accounts) {
        if (account.name == kMainAccount) {
            continue;
        }
        const auto has = [&](const std::vector<std::string>& names) {
            return std::find(names.begin(), names.end(), account.name) != names.end();
        };
        if (!has(m_withServer)) {
            m_error = "the account " + account.name + " names no server";
            return false;
        }
        if (!has(m_withLocalPort)) {
            m_error = "the account " + account.name + " has no local-port";
            return false;
        }
    }
    return true;
}

bool SettingsParser::accountEntry(std::string_view key, std::string_view value) {
    AccountSettings& account = m_settings.accounts.back();
    const std::string known = lowerCase(key);
    if (known == kSecurityKey || known == kCertificateKey) {
        return firstTime(known, "for the account " + account.name) &&
               securityEntry(account, known, value);
    }
    if (known == kServerKey || known == kServerIpKey || known == kPortKey ||
        known == kLocalPortKey) {
        return serverEntry(account, known, value);
    }
    account.unknownKeys.push_back({std::string(key), std::string(value)});
    return true;
}

bool SettingsParser::securityEntry(AccountSettings& account, const std::string& key,
                                   std::string_view value) {
    const std::string word = lowerCase(value);
    if (key == kSecurityKey) {
        const std::optional<Security> mode = parseSecurity(word);
        if (!mode) {
            return fail("security is \"" + std::string(value) + "\", not plain, starttls or tls");
        }
        account.security.mode = *mode;
        return true;
    }
    if (word == kNoCertificate) {
        account.security.pin.reset();
        return true;
    }
    account.security.pin = platform::parseFingerprint(std::string(value));
    if (!account.security.pin) {
        return fail("certificate is not a SHA-256 fingerprint (32 hex pairs) nor none");
    }
    return true;
}

void appendKeys(std::string& text, const std::vector<UnknownKey>& keys) {
    for (const UnknownKey& entry : keys) {
        text += entry.key + " = " + entry.value + "\n";
    }
}

void appendServer(std::string& text, const Pop3Settings& pop3) {
    if (pop3.useDomainName) {
        text += std::string(kServerKey) + " = " + pop3.serverName + "\n";
    } else {
        text += std::string(kServerIpKey) + " = " +
                platform::addressToDotted({pop3.ip1, pop3.ip2, pop3.ip3, pop3.ip4}) + "\n";
    }
    text += std::string(kPortKey) + " = " + std::to_string(pop3.pop3Port) + "\n";
    text += std::string(kLocalPortKey) + " = " + std::to_string(pop3.localPort) + "\n";
}

// "<path>.damaged-YYYYMMDD-HHMMSS", with "-2" and on added if that is taken.
std::optional<std::string> freeSetAsideName(const std::string& path) {
    const platform::LocalTime now = platform::localTime();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, ".damaged-%04d%02d%02d-%02d%02d%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    const std::string base = path + stamp;
    for (int n = 1; n <= kMostSetAsideNames; ++n) {
        const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        if (!platform::fileExists(name) && !platform::directoryExists(name)) {
            return name;
        }
    }
    return std::nullopt;
}

// Moves a damaged file out of the way, so the next save cannot overwrite what
// the person may want to repair, and says what happened.
void setAside(const std::string& path, const std::string& fault, SettingsFile::Loaded& loaded) {
    const std::optional<std::string> name = freeSetAsideName(path);
    if (!name || !platform::renameFile(path, *name)) {
        const std::string why = name ? std::strerror(errno) : "every name for it is taken";
        throw CError("The settings file " + path + " is damaged (" + fault +
                         ") and could not be moved aside (" + why +
                         "): repair or remove it, then start again",
                     "SettingsFile::load", GF_HERE);
    }
    loaded.setAsideAs = *name;
    loaded.problem = "The settings file " + path + " was damaged (" + fault +
                     "). It was moved to " + *name +
                     " and the default settings are in use until they are set again.";
    diag::recordError(*loaded.problem, "SettingsFile::load", GF_HERE);
}

}  // namespace

const AccountSettings* Settings::find(const std::string& name) const {
    const auto found = std::find_if(accounts.begin(), accounts.end(),
                                    [&](const AccountSettings& a) { return a.name == name; });
    return found != accounts.end() ? &*found : nullptr;
}

AccountSettings& Settings::at(const std::string& name) {
    for (AccountSettings& account : accounts) {
        if (account.name == name) {
            return account;
        }
    }
    return accounts.emplace_back(AccountSettings{name, {}, {}, {}});
}

ServerSecurity Settings::security(const std::string& name) const {
    const AccountSettings* account = find(name);
    return account != nullptr ? account->security : ServerSecurity{};
}

namespace {

// The file's settings; nullopt with `fault` said when it is damaged. A missing
// file gives the defaults.
std::optional<Settings> readSettings(const std::string& path, std::string& fault) {
    const platform::SmallFile file = platform::readSmallFile(path, kLargestFile + 1);
    if (file.status == platform::OwnFile::Status::Missing) {
        return Settings{};
    }
    if (file.status != platform::OwnFile::Status::Open) {
        throw CError("The settings file cannot be read: " + file.problem, "SettingsFile::load",
                     GF_HERE);
    }
    if (file.bytes.size() > kLargestFile) {
        fault = "larger than " + std::to_string(kLargestFile / 1024) + " KiB";
        return std::nullopt;
    }
    return SettingsFile::parse(file.bytes, fault);
}

}  // namespace

SettingsFile::Loaded SettingsFile::load(const std::string& path) {
    Loaded loaded;
    std::string fault;
    if (std::optional<Settings> settings = readSettings(path, fault)) {
        loaded.settings = std::move(*settings);
    } else {
        setAside(path, fault, loaded);
    }
    return loaded;
}

Settings SettingsFile::loadAsIs(const std::string& path) {
    std::string fault;
    std::optional<Settings> settings = readSettings(path, fault);
    if (!settings) {
        throw CError("The settings file " + path + " is damaged (" + fault +
                         "): no session goes to the server until it is repaired, or the "
                         "connection security is set again in Server Settings",
                     "SettingsFile::loadAsIs", GF_HERE);
    }
    return std::move(*settings);
}

void SettingsFile::save(const Settings& settings, const std::string& path) {
    if (!platform::replaceFileContents(path, format(settings))) {
        throw CError("The settings file " + path + " cannot be written (" + std::strerror(errno) +
                         "); it is unchanged",
                     "SettingsFile::save", GF_HERE);
    }
}

std::string SettingsFile::format(const Settings& settings) {
    std::string text = kHeader;
    for (const AccountSettings& account : settings.accounts) {
        text += "\n[" + std::string(kAccountPrefix) + account.name + "]\n";
        if (account.pop3 && account.name != kMainAccount) {
            appendServer(text, *account.pop3);
        }
        text += std::string(kSecurityKey) + " = " +
                std::string(securityName(account.security.mode)) + "\n";
        if (account.security.pin) {
            text += std::string(kCertificateKey) + " = " +
                    platform::fingerprintText(*account.security.pin) + "\n";
        }
        appendKeys(text, account.unknownKeys);
    }
    if (settings.classificationHeader || !settings.unknownOptions.empty()) {
        text += "\n[" + std::string(kOptionsSection) + "]\n";
        text += std::string(kHeaderKey) + " = " + (settings.classificationHeader ? "on" : "off") +
                "\n";
        appendKeys(text, settings.unknownOptions);
    }
    for (const UnknownSection& section : settings.unknownSections) {
        text += "\n[" + section.title + "]\n";
        appendKeys(text, section.keys);
    }
    return text;
}

std::optional<Settings> SettingsFile::parse(const std::string& text, std::string& error) {
    SettingsParser parser(error);
    std::string_view rest = text;
    // Every pass takes one line off the text, so its length bounds the loop.
    for (int number = 1; !rest.empty(); ++number) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!parser.line(line, number)) {
            return std::nullopt;
        }
    }
    if (!parser.finish()) {
        return std::nullopt;
    }
    return std::move(parser.settings());
}
