// Stands in for the machine description until its implementation lands: the
// processors the process may use, in one package and node, with nothing
// known of their cores and caches. Removed when the real one is merged.
#include "probe/machine_description.h"

const MachineDescription& machineDescription() {
    static const MachineDescription machine = [] {
        MachineDescription described;
        for (const ProcessorId& id : platformUsableProcessors()) {
            ProcessorPlace place;
            place.id = id;
            described.processors.push_back(place);
        }
        return described;
    }();
    return machine;
}

namespace {
const ProcessorPlace* placeOf(const MachineDescription& machine, const ProcessorId& id) {
    for (const ProcessorPlace& place : machine.processors) {
        if (place.id == id) return &place;
    }
    return nullptr;
}
}  // namespace

PairRelation pairRelation(const MachineDescription& machine, const ProcessorId& a, const ProcessorId& b) {
    PairRelation relation;
    const ProcessorPlace* first = placeOf(machine, a);
    const ProcessorPlace* second = placeOf(machine, b);
    if (first == nullptr || second == nullptr) return relation;
    relation.siblings = first->core >= 0 && first->core == second->core;
    relation.differentPackages = first->package >= 0 && second->package >= 0 && first->package != second->package;
    relation.differentNodes = first->node >= 0 && second->node >= 0 && first->node != second->node;
    for (size_t c = 0; c < machine.caches.size(); ++c) {
        if (c >= first->cacheInstances.size() || c >= second->cacheInstances.size()) break;
        const int instance = first->cacheInstances[c];
        if (instance < 0 || instance != second->cacheInstances[c]) continue;
        const int level = machine.caches[c].level;
        if (relation.sharedCacheLevel == 0 || level < relation.sharedCacheLevel) relation.sharedCacheLevel = level;
    }
    return relation;
}
