#pragma once
#include <cstddef>
#include <cstdint>

constexpr int CLOCK_WAIT_SECONDS = 3;
constexpr int32_t DEFAULT_MAX_BLOCK_BYTES = 0x2000000;  // 32 MiB, the largest block of the classic report
// Room past the largest block, so that it still ends inside the buffer at the
// largest pass offset (8).
constexpr size_t BUFFER_SLACK_BYTES = 0x400;
