#pragma once
// Where the copy kernels write and what the fill kernels store.
//
// A copy reads the block at the base and writes a destination of the same
// size past it: the block rounded up to whole 4 KiB pages, plus half a page.
// The destination thus never overlaps the source, keeps the source's
// alignment, and lies half a page away from it modulo 4 KiB at every block
// size. Addresses that agree in their low 12 bits are where the core's early
// store check takes a load for one that depends on a recent store (4K
// aliasing), and a destination just above its source modulo 4 KiB is the slow
// case of some cores' REP MOVSB; half a page is as far from both as a fixed
// offset can be.
#include <cstdint>

#include "kernels/timing_record.h"

constexpr int64_t COPY_PAGE_BYTES = 4096;
constexpr int64_t COPY_DESTINATION_SKEW_BYTES = COPY_PAGE_BYTES / 2;

constexpr int64_t copyDestinationOffset(int64_t blockBytes) {
    return ((blockBytes + COPY_PAGE_BYTES - 1) & ~(COPY_PAGE_BYTES - 1)) + COPY_DESTINATION_SKEW_BYTES;
}

// The bytes a copy of the block reaches from its base: source, gap and destination.
constexpr int64_t copyFootprintBytes(int64_t blockBytes) { return copyDestinationOffset(blockBytes) + blockBytes; }

inline void* copyDestination(void* base, int32_t blockLines) {
    return static_cast<unsigned char*>(base) + copyDestinationOffset(int64_t{blockLines} * LINE_BYTES);
}

// Every fill kernel stores this byte in every byte of its block: a fixed
// value that is not zero, since some memory systems write zero lines faster.
constexpr unsigned char FILL_BYTE = 0x5A;
constexpr uint32_t FILL_PATTERN = FILL_BYTE * 0x01010101u;
