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

PairRelation pairRelation(const MachineDescription&, const ProcessorId&, const ProcessorId&) { return PairRelation{}; }
