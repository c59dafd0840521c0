#pragma once
// The core-to-core kernels: two threads on two processors hand a counter back
// and forth through memory, so that each round trip moves the cache line the
// value lives in from one core to the other and back. Only plain 32-bit loads
// and stores touch the shared words: x86 keeps stores in order and a load sees
// the latest store to its address, so no fence or locked instruction is
// needed, and none would belong to the line's journey.
//
// A round trip: the timing side stores v to `out`, the answering side, which
// spins reading `in` (its own view of that word), sees v and stores v + 1 to
// its `out`, and the timing side, spinning on its `in`, sees v + 1. The next
// round trip uses v + 2. Each side waits for exactly the value it expects, so
// a round trip counts only once the answer to it has arrived; a stale value
// left from an earlier sample can never stand for one, as long as the values
// never repeat (the caller keeps them going up).
//
// `out` and `in` may be one word (one line carries both directions) or words
// on two lines (one line each way); the values work for either.
#include <cstdint>

// The timing side: `rounds` round trips starting with `first`, in the
// CPUID+RDTSC frame of every kernel; the ticks in timingRecord. The next free
// value is first + 2 * rounds.
extern "C" void pingPongTimed(volatile uint32_t* out, const volatile uint32_t* in, uint32_t first,
                              int32_t rounds);

// The answering side of the same `rounds` round trips, untimed.
extern "C" void pingPongAnswer(volatile uint32_t* out, const volatile uint32_t* in, uint32_t first,
                               int32_t rounds);

// The values of one round trip: the first value of each round trip goes up by
// this much.
constexpr uint32_t PING_PONG_VALUES_PER_ROUND = 2;
