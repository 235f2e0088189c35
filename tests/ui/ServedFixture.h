#pragma once

#include "UiFixture.h"
#include "proxy/AccountServers.h"
#include "store/Database.h"

// A fixture's objects with the account servers over them, none started;
// main's local port is one nobody listens on, so whatever a test starts can
// listen there.
struct ServedFixture {
    ServedFixture()
        : services(ui.objects().proxyServices()), servers(services) {
        Pop3Settings main = ui.store().getPOP3Settings();
        main.localPort = freeLocalPort();
        ui.store().setPOP3Settings(main);
    }

    int mainLocalPort() { return ui.store().getPOP3Settings().localPort; }

    UiFixture ui;
    ProxyServices services;
    AccountServers servers;
};
