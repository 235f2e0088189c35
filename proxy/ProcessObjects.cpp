#include "proxy/ProcessObjects.h"

#include "store/ProgramState.h"

ProcessObjects::ProcessObjects(Desktop& desktop, std::uint16_t nameServerPort)
    : desktop(desktop),
      store(desktop),
      bayes(store, desktop),
      resolver(store, desktop, nameServerPort),
      builder(store, bayes, schedule, desktop),
      buildCheck(schedule, builder, buildSemaphore, buildRefreshDone, desktop) {
    bayes.load();
}

ProxyServices ProcessObjects::proxyServices() {
    return ProxyServices{store,    bayes,   whiteList, blackList, resolver,
                         desktop,  sessionGate, {},    {},        {}};
}

void ProcessObjects::applyStateByte() {
    const ProgramState state = store.getHarrowgleamState();
    bayes.setEnabled(state.bayesOn(), true);
    resolver.setDnsblZones(state);
}
