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

void ProcessObjects::applyStateByte() {
    const ProgramState state = store.getHarrowgleamState();
    bayes.setEnabled(state.bayesOn(), true);
    resolver.setDnsblZones(state);
}
