#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Account.h"
#include "store/SettingsFile.h"

class CDatabase;

// The accounts as stored: "main" in the store's POP3 settings (its security in
// the settings file), every other one in the settings file. Reads and writes
// go to the files each time, so the window, glimmerfen-cli and the server
// threads always see the same accounts.
//
// Changes are checked first; a change that breaks a rule is refused with one
// sentence for the person (nothing is written). Files that cannot be read or
// written throw CError.
class AccountBook {
  public:
    explicit AccountBook(CDatabase& store, std::string settingsPath = SettingsFile::kFileName);

    // Every account, "main" first, then the others in the file's order. A
    // damaged settings file is set aside (SettingsFile::load) and its problem
    // kept for problem().
    std::vector<Account> list();
    // For the proxy, which must not guess: a damaged file throws CError.
    std::vector<Account> listAsIs();
    std::optional<Account> find(const std::string& name);

    // Why `account` cannot be stored in place of the account `replacing`
    // (empty: added as a new one), or nullopt when it can: a name of 1 to 32
    // printable characters, unique; a server; a server port 1-65535; a local
    // port in 1025-5000 that no other account uses; at most 16 accounts.
    std::optional<std::string> problem(const Account& account, const std::string& replacing = {});

    // Each returns the refusal sentence, or nullopt when done.
    std::optional<std::string> add(const Account& account);
    // `name` is the account's current name; `account` may rename it ("main"
    // cannot be renamed).
    std::optional<std::string> update(const std::string& name, const Account& account);
    // "main" cannot be removed.
    std::optional<std::string> remove(const std::string& name);

    // The classification header switch (off unless set).
    bool classificationHeader();
    void setClassificationHeader(bool on);

    // The sentence of a damaged settings file set aside by the last read, if any.
    const std::optional<std::string>& settingsProblem() const { return m_settingsProblem; }

  private:
    Settings loadSettings();
    static std::vector<Account> accountsOf(CDatabase& store, const Settings& settings);
    std::optional<std::string> ruleBroken(const Account& account, const std::string& replacing,
                                          const std::vector<Account>& accounts) const;

    CDatabase& m_store;
    const std::string m_settingsPath;
    std::optional<std::string> m_settingsProblem;
};
