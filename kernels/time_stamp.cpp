#include "kernels/kernels.h"
#include "kernels/serialised_ticks.h"

extern "C" __attribute__((noinline)) uint64_t readSerialisedTicks() { return serialisedTicks(); }
