#pragma once
#include <cstdint>

// Core cycles per time-stamp-counter tick, from about a million dependent adds
// (a quarter of a millisecond at 4 GHz): the median of a few chains.
extern "C" double coreCyclesPerTick();
