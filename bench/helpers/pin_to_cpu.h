#pragma once
// The helpers run on the processor the benchmark pins itself to, so that a
// per-core clock or a cache state belongs to the core that measured the cells.
#include <sched.h>

#include <cstdlib>

inline void pinToCpuFromArguments(int argc, char** argv) {
    if (argc < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::atoi(argv[1]), &set);
    sched_setaffinity(0, sizeof set, &set);
}
