#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"

// The settings that live beside the store rather than in it, so HGIndex.hgd
// keeps its layout: a small text file in the data directory that a person can
// read, one section per account.
//
//     # Glimmerfen settings. ...
//     [account main]
//     security = starttls
//     certificate = AB:CD:...:EF
//
//     [account work]
//     server = pop.work.example       (or: server-ip = 192.0.2.7)
//     port = 995
//     local-port = 1071
//     security = tls
//
//     [options]
//     classification-header = on
//
// The account "main" is the store's own POP3 server, so its section holds
// only what the store has no room for; every other account's section holds
// its server and ports too.

// A "key = value" line this version does not know, kept as it was read so that
// a setting a later version wrote survives a save by this one.
struct UnknownKey {
    std::string key;
    std::string value;

    bool operator==(const UnknownKey&) const = default;
};

// A section other than an account's, kept whole for the same reason.
struct UnknownSection {
    std::string title;  // what stands between the brackets
    std::vector<UnknownKey> keys;

    bool operator==(const UnknownSection&) const = default;
};

struct AccountSettings {
    std::string name;
    // The server and ports of an account other than "main" (whose are in the
    // store); localPort and pop3Port are kept as written, the rules that
    // apply to them are the account book's.
    std::optional<Pop3Settings> pop3;
    ServerSecurity security;
    std::vector<UnknownKey> unknownKeys;

    bool operator==(const AccountSettings&) const = default;
};

struct Settings {
    std::vector<AccountSettings> accounts;
    // Every retrieved message gets an X-Glimmerfen header line.
    bool classificationHeader = false;
    // Keys of the [options] section this version does not know.
    std::vector<UnknownKey> unknownOptions;
    std::vector<UnknownSection> unknownSections;

    // The account's entry, or nullptr.
    const AccountSettings* find(const std::string& name) const;
    // The account's entry, made with defaults when missing.
    AccountSettings& at(const std::string& name);
    // What the named account uses: its entry's, or the defaults (plain, no pin).
    ServerSecurity security(const std::string& name = "main") const;
};

class SettingsFile {
  public:
    static constexpr const char* kFileName = "glimmerfen.conf";

    struct Loaded {
        Settings settings;
        // Set when the file was damaged: it was renamed to `setAsideAs` and the
        // defaults are in use. A sentence for the user and the error log.
        std::optional<std::string> problem;
        std::string setAsideAs;
    };

    // Reads `path` (default: kFileName in the working directory, the data
    // directory). A missing file gives the defaults and no problem. A file
    // that cannot be parsed is never overwritten silently: it is moved aside
    // to "<path>.damaged-YYYYMMDD-HHMMSS" and reported. A file that cannot be
    // read at all (a link, a FIFO, no permission) throws CError, leaving it
    // where it is.
    static Loaded load(const std::string& path = kFileName);
    // For the proxy, which must not guess: reads without changing anything,
    // and a damaged file throws CError like an unreadable one (a damaged file
    // may be hiding a request for TLS). A missing file gives the defaults.
    static Settings loadAsIs(const std::string& path = kFileName);
    // Writes through a temporary file and a rename; throws CError when the
    // file cannot be written (the old one is then unchanged).
    static void save(const Settings& settings, const std::string& path = kFileName);

    // The text save() writes, and its parser (nullopt with `error` set for a
    // damaged text: the line number and what is wrong).
    static std::string format(const Settings& settings);
    static std::optional<Settings> parse(const std::string& text, std::string& error);
};
