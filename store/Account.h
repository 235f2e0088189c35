#pragma once

#include <cstddef>
#include <string>

#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"

// One mail account the proxy serves: where its POP3 server is, how the link to
// it is secured, and the local port its mail client connects to. The account
// named "main" is the store's own POP3 settings; the others live in the
// settings file.
struct Account {
    static constexpr const char* kMainName = "main";
    static constexpr std::size_t kMostAccounts = 16;
    static constexpr std::size_t kLongestName = 32;

    std::string name;
    Pop3Settings pop3;  // server (name or IP number), server port, local port
    ServerSecurity security;

    bool isMain() const { return name == kMainName; }
    bool operator==(const Account&) const = default;
};

// "pop.example.com:995" or "192.0.2.7:110": the server as the person knows it.
std::string serverText(const Pop3Settings& pop3);
