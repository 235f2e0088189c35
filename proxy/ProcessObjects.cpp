#include "proxy/ProcessObjects.h"

namespace {
constexpr unsigned char kBayesBit = 1;
}

ProcessObjects::ProcessObjects(Desktop& desktop, std::uint16_t nameServerPort)
    : desktop(desktop),
      store(desktop),
      bayes(store, desktop),
      resolver(store, desktop, nameServerPort),
      builder(store, bayes, schedule, desktop),
      buildCheck(schedule, builder, buildSemaphore, refreshDoneEvent, desktop) {
    bayes.load();
}

void ProcessObjects::applyStateByte() {
    const unsigned char state = store.getHarrowgleamState();
    bayes.setEnabled((state & kBayesBit) != 0, true);
    resolver.setDnsblZones(state);
}
