#pragma once
#include <cstdint>

// Core cycles per time-stamp-counter tick, from chains of about a million
// dependent adds (a quarter of a millisecond at 4 GHz): the best of a few.
extern "C" double coreCyclesPerTick();
