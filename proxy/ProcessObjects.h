#pragma once

#include <cstdint>

#include "filterbuild/AutoFilterBuilder.h"
#include "filterbuild/ScheduleData.h"
#include "filterbuild/ScheduledBuildCheck.h"
#include "desktop/Desktop.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "proxy/AccountServers.h"
#include "proxy/SessionGate.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "store/Database.h"

// The objects the whole process shares, made once at start-up in this order and
// handed by reference to whoever uses them; the desktop program and
// glimmerfen-cli each make one, tests make their own.
class ProcessObjects {
  public:
    // Opens (or creates) the store and loads the filter table; a damaged store
    // comes out as the CError of its opening.
    explicit ProcessObjects(Desktop& desktop, std::uint16_t nameServerPort = 53);
    ProcessObjects(const ProcessObjects&) = delete;
    ProcessObjects& operator=(const ProcessObjects&) = delete;

    // Sets the filter and the block lists from the stored state byte, with their
    // status-bar texts.
    void applyStateByte();
    // What every account's proxy shares, over these objects; the owner adds
    // the callbacks it wants told.
    ProxyServices proxyServices();

    Desktop& desktop;
    CDatabase store;
    BayesFilter bayes;
    // Held by every guarded user command and by the scheduled build.
    platform::Semaphore buildSemaphore{1, 1};
    FilterList whiteList{kWhiteListFile};
    FilterList blackList{kBlackListFile};
    DnsResolver resolver;
    ScheduleData schedule;
    AutoFilterBuilder builder;
    // Every account's sessions against the window's mail moves.
    SessionGate sessionGate;
    // Set by the views when they have refreshed after a scheduled build; each
    // account's proxy has a completion of its own.
    platform::Event buildRefreshDone{platform::Event::Reset::Manual};
    ScheduledBuildCheck buildCheck;
};
