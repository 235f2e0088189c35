#include "store/SettingsFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

// Far more than the settings of many accounts take: a larger file is not one
// that Glimmerfen wrote, and reading it whole would let it take any memory.
constexpr std::size_t kLargestFile = 64 * 1024;
constexpr std::string_view kAccountPrefix = "account ";
constexpr const char* kMainAccount = "main";
constexpr std::string_view kSecurityKey = "security";
constexpr std::string_view kCertificateKey = "certificate";
constexpr std::string_view kNoCertificate = "none";
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
    Settings& settings() { return m_settings; }

  private:
    enum class Section { None, Account, Unknown };

    bool fail(const std::string& what);
    bool section(std::string_view title);
    bool entry(std::string_view key, std::string_view value);
    bool accountEntry(std::string_view key, std::string_view value);

    std::string& m_error;
    Settings m_settings;
    Section m_section = Section::None;
    int m_number = 0;
    std::vector<std::string> m_knownKeysSeen;
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
    m_settings.accounts.push_back({name, {}, {}});
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
        case Section::Account:
            break;
    }
    return accountEntry(key, value);
}

bool SettingsParser::accountEntry(std::string_view key, std::string_view value) {
    AccountSettings& account = m_settings.accounts.back();
    const std::string known = lowerCase(key);
    if (known != kSecurityKey && known != kCertificateKey) {
        account.unknownKeys.push_back({std::string(key), std::string(value)});
        return true;
    }
    if (std::find(m_knownKeysSeen.begin(), m_knownKeysSeen.end(), known) != m_knownKeysSeen.end()) {
        return fail(known + " is set twice for the account " + account.name);
    }
    m_knownKeysSeen.push_back(known);
    const std::string word = lowerCase(value);
    if (known == kSecurityKey) {
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
    return accounts.emplace_back(AccountSettings{name, {}, {}});
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
        text += std::string(kSecurityKey) + " = " +
                std::string(securityName(account.security.mode)) + "\n";
        if (account.security.pin) {
            text += std::string(kCertificateKey) + " = " +
                    platform::fingerprintText(*account.security.pin) + "\n";
        }
        appendKeys(text, account.unknownKeys);
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
    return std::move(parser.settings());
}
