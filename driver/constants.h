#pragma once
#include <cstddef>
#include <cstdint>

constexpr int CLOCK_WAIT_SECONDS = 3;
constexpr int32_t MAX_BLOCK_BYTES = 0x2000000;  // 32 MiB, the largest block measured
// The largest block at the largest pass offset (8) still ends inside.
constexpr size_t TEST_BUFFER_BYTES = 0x2000400;
