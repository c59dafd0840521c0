// The real kernels on real memory: what they store, what they leave alone,
// and that they stay inside their block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "kernels/chase_loads.h"
#include "kernels/copy_and_fill.h"
#include "kernels/core_clock.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "probe/simd_capabilities.h"
#include "tests/guarded_region.h"

namespace {

CapabilityMask usableHere() {
    static const CapabilityMask mask = detectSimdCapabilities() | detectExtendedSupport().enabled;
    return mask;
}

// Whether this processor and its OS run the kernel. A kernel that cannot run
// here is named once on the test output, so that a pass says what it left out.
bool runsHere(const KernelSpec& kernel) {
    if (columnShown(kernel, usableHere(), true)) return true;
    static std::set<std::string> named;
    if (named.insert(kernel.function).second) {
        std::cout << "[  SKIPPED ] " << kernel.function << ": its extension is not usable on this processor"
                  << std::endl;
    }
    return false;
}

const KernelSpec& kernelNamed(const char* function) {
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        if (std::strcmp(KERNEL_TABLE[k].function, function) == 0) return KERNEL_TABLE[k];
    }
    ADD_FAILURE() << "no kernel " << function;
    return KERNEL_TABLE[0];
}

template <typename Word>
Word wordAt(const unsigned char* bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// EAX (the index) and EDX (upper half of startTicks) alternate word by word:
// line k of the block holds the index of the last sweep, N - B + k.
TEST(GeneralRegisterWrites, LineKHoldsTheLastSweepsIndexAndTheUpperStartTicks) {
    const struct {
        const char* function;
        int width;
    } cases[] = {{"writeMov32", 4}, {"writeMovnti", 4}, {"writeMov16", 2}};
    const int32_t blockSizes[] = {1, 4, 32};
    GuardedRegion region = makeGuardedRegion(32 * LINE_BYTES);
    for (const auto& c : cases) {
        const KernelSpec& kernel = kernelNamed(c.function);
        if (!runsHere(kernel)) continue;
        for (int32_t blockLines : blockSizes) {
            const int32_t lineCount = blockLines * 3;
            kernel.run(region.data, blockLines, lineCount);
            const uint32_t upper = static_cast<uint32_t>(timingRecord.startTicks >> 32);
            for (int32_t k = 0; k < blockLines; ++k) {
                const uint32_t index = static_cast<uint32_t>(lineCount - blockLines + k);
                for (int offset = 0; offset < LINE_BYTES; offset += c.width) {
                    const unsigned char* at = region.data + k * LINE_BYTES + offset;
                    const bool indexWord = offset % (2 * c.width) == 0;
                    const uint32_t expected = indexWord ? index : upper;
                    const uint32_t actual = c.width == 4 ? wordAt<uint32_t>(at) : wordAt<uint16_t>(at);
                    const uint32_t widthMask = c.width == 4 ? 0xFFFFFFFFu : 0xFFFFu;
                    ASSERT_EQ(actual, expected & widthMask)
                        << c.function << " blockLines " << blockLines << " line " << k << " offset " << offset;
                }
            }
        }
    }
    releaseGuardedRegion(region);
}

// The SIMD write kernels store the registers as they find them; as the program
// runs, those hold what the last read kernel loaded. Nothing between the two
// calls may touch the registers, hence its own function.
//
// VZEROUPPER after every 256- and 512-bit kernel clears all but the low 16
// bytes of each vector register, so the wider write kernels find only those.
//
// Win64 makes XMM6 and XMM7 callee-saved, so a read kernel hands them back as
// it found them: there the last 32 bytes of each XMM line hold the caller's
// registers, the same in every line, rather than what was read.
#if defined(_WIN64)
constexpr int32_t CALLEE_SAVED_XMM_BYTES = 32;
#else
constexpr int32_t CALLEE_SAVED_XMM_BYTES = 0;
#endif

__attribute__((noinline)) void readThenWrite(TransferKernel read, TransferKernel write, unsigned char* source,
                                             unsigned char* block, int32_t blockLines) {
    read(source, 1, 1);
    write(block, blockLines, blockLines * 2);
}

TEST(SimdWrites, EveryLineHoldsTheRegistersInOrder) {
    const struct {
        const char* read;
        const char* write;
    } cases[] = {
        {"readMovups", "writeMovups"},   {"readMovups", "writeMovaps"},   {"readMovups", "writeMovntps"},
        {"readMovdqu", "writeMovdqu"},   {"readMovdqu", "writeMovdqa"},   {"readMovdqu", "writeMovntdq"},
        {"readMovq", "writeMovq"},       {"readMovq", "writeMovntq"},
        {"readVmovdqu", "writeVmovdqu"}, {"readVmovdqu", "writeVmovdqa"}, {"readVmovdqa", "writeVmovntdq256"},
        {"readVmovdqu64", "writeVmovdqu64"}, {"readVmovdqu64", "writeVmovdqa64"},
        {"readVmovdqa64", "writeVmovntdq512"},
    };
    GuardedRegion region = makeGuardedRegion(LINE_BYTES + 16 * LINE_BYTES);
    unsigned char* source = region.data;
    unsigned char* block = region.data + LINE_BYTES;
    for (int i = 0; i < LINE_BYTES; ++i) source[i] = static_cast<unsigned char>(i + 1);
    for (const auto& c : cases) {
        const KernelSpec& read = kernelNamed(c.read);
        const KernelSpec& write = kernelNamed(c.write);
        if (!runsHere(read) || !runsHere(write)) continue;
        // XMM n holds bytes 16n..16n+15 of the line read; MM n, the last half
        // read, bytes 64+8n..64+8n+7, stored at 8n and again at 64+8n.
        std::vector<unsigned char> line(source, source + LINE_BYTES);
        if (write.registers == RegisterKind::MMX) std::memcpy(line.data(), source + 64, 64);
        const int width = accessBytes(write.registers);
        if (width > 16) {
            for (int i = 0; i < LINE_BYTES; ++i) {
                if (i % width >= 16) line[i] = 0;
            }
        }
        const int32_t readBytes = LINE_BYTES - (write.registers == RegisterKind::XMM ? CALLEE_SAVED_XMM_BYTES : 0);
        line.resize(readBytes);
        for (int32_t blockLines : {1, 2, 16}) {
            std::memset(block, 0, 16 * LINE_BYTES);
            readThenWrite(read.run, write.run, source, block, blockLines);
            const std::vector<unsigned char> savedPart(block + readBytes, block + LINE_BYTES);
            for (int32_t k = 0; k < blockLines; ++k) {
                const unsigned char* at = block + k * LINE_BYTES;
                ASSERT_EQ(std::vector<unsigned char>(at, at + readBytes), line)
                    << c.write << " blockLines " << blockLines << " line " << k;
                ASSERT_EQ(std::vector<unsigned char>(at + readBytes, at + LINE_BYTES), savedPart)
                    << c.write << " blockLines " << blockLines << " line " << k;
            }
        }
    }
    releaseGuardedRegion(region);
}

TEST(AllKernels, ZeroLinesTouchNothingYetWriteTheWholeRecord) {
    GuardedRegion region = makeGuardedRegion(LINE_BYTES);
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (!runsHere(kernel)) continue;
        std::memset(region.data, 0xA5, LINE_BYTES);
        timingRecord = {0, 0, 0};
        kernel.run(region.data, 1, 0);
        EXPECT_NE(timingRecord.startTicks, 0u) << kernel.function;
        EXPECT_GE(timingRecord.endTicks, timingRecord.startTicks) << kernel.function;
        EXPECT_EQ(timingRecord.elapsedTicks, timingRecord.endTicks - timingRecord.startTicks) << kernel.function;
        EXPECT_GT(static_cast<int64_t>(timingRecord.elapsedTicks), 0) << kernel.function;
        for (int i = 0; i < LINE_BYTES; ++i) ASSERT_EQ(region.data[i], 0xA5) << kernel.function;
    }
    releaseGuardedRegion(region);
}

// The bytes a kernel reaches from its base, and the ones it writes: a copy
// writes its destination past the block, a store or fill loop the block, a
// read loop nothing.
size_t reachBytes(const KernelSpec& kernel, size_t blockBytes) {
    return kernel.direction == Direction::COPY ? static_cast<size_t>(copyFootprintBytes(blockBytes)) : blockBytes;
}

const unsigned char* writtenStart(const KernelSpec& kernel, const unsigned char* base, int32_t blockLines) {
    switch (kernel.direction) {
        case Direction::READ: return nullptr;
        case Direction::COPY: return static_cast<unsigned char*>(copyDestination(const_cast<unsigned char*>(base), blockLines));
        case Direction::WRITE:
        case Direction::FILL: return base;
    }
    return nullptr;
}

// Where a kernel's base lies in a guarded region: at the pass offset from its
// start, or reaching as close to its end as the offset allows.
unsigned char* anchoredBase(const GuardedRegion& region, int offset, size_t reach, bool atEnd) {
    return atEnd ? region.data + region.bytes - reach - (offset ? 16 - offset : 0) : region.data + offset;
}

// Every kernel at every pass offset it runs at, anchored against the guard page
// before the block and against the one after it; canaries catch the bytes
// between a misaligned block and the guard page.
TEST(AllKernels, StayInsideTheirBlockAndReadsChangeNothing) {
    constexpr int32_t maxLines = 64;
    constexpr unsigned char CANARY = 0x5C;
    GuardedRegion region = makeGuardedRegion(static_cast<size_t>(copyFootprintBytes(maxLines * LINE_BYTES)) + 16);
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (!runsHere(kernel)) continue;
        for (int offset : {0, 8, 4}) {
            if (kernel.alignedOnly && offset != 0) continue;
            for (int32_t blockLines : {1, 2, maxLines}) {
                const size_t blockBytes = static_cast<size_t>(blockLines) * LINE_BYTES;
                const size_t reach = reachBytes(kernel, blockBytes);
                for (bool atEnd : {false, true}) {
                    unsigned char* const base = anchoredBase(region, offset, reach, atEnd);
                    for (size_t i = 0; i < region.bytes; ++i) region.data[i] = static_cast<unsigned char>(i * 7);
                    std::memset(region.data, CANARY, base - region.data);
                    std::memset(base + reach, CANARY, region.data + region.bytes - (base + reach));
                    const std::vector<unsigned char> before(region.data, region.data + region.bytes);
                    kernel.run(base, blockLines, blockLines * 2);
                    const unsigned char* const written = writtenStart(kernel, base, blockLines);
                    for (size_t i = 0; i < region.bytes; ++i) {
                        const bool inWritten = written && region.data + i >= written && region.data + i < written + blockBytes;
                        if (inWritten) continue;
                        ASSERT_EQ(region.data[i], before[i])
                            << kernel.function << " offset " << offset << " blockLines " << blockLines << " byte "
                            << (region.data + i - base);
                    }
                }
            }
        }
    }
    releaseGuardedRegion(region);
}

// EFLAGS.DF, read without touching the red zone below the x86-64 stack pointer.
bool directionFlagSet() {
    uintptr_t flags;
#if defined(__x86_64__)
    asm volatile("lea -128(%%rsp), %%rsp\n\tpushf\n\tpop %0\n\tlea 128(%%rsp), %%rsp" : "=r"(flags));
#else
    asm volatile("pushf\n\tpop %0" : "=r"(flags));
#endif
    return (flags & 0x400) != 0;
}

// A byte pattern with no zero byte and no period a misplaced line could hide in.
unsigned char patternByte(size_t i) { return static_cast<unsigned char>((i * 2654435761u) >> 24) | 1; }

// Every copy and fill kernel at every pass offset and a table of blocks: one
// line, several, and the largest block of a run without options, each swept
// an odd number of times. A copy's destination then holds exactly the source
// and the source is unchanged; a fill's block holds the fill byte in every
// byte; and the direction flag is clear after every kernel. The region's
// guard pages catch any access past the block or the destination.
TEST(CopyAndFillKernels, LeaveExactlyTheSourceOrTheFillByteAndTheDirectionFlagClear) {
    const struct {
        int32_t blockLines;
        int32_t sweeps;
    } cases[] = {{1, 1}, {1, 3}, {2, 3}, {64, 3}, {DEFAULT_MAX_BLOCK_BYTES / LINE_BYTES, 1}};
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (kernel.direction != Direction::COPY && kernel.direction != Direction::FILL) continue;
        if (!runsHere(kernel)) continue;
        for (const auto& c : cases) {
            const size_t blockBytes = static_cast<size_t>(c.blockLines) * LINE_BYTES;
            const size_t reach = reachBytes(kernel, blockBytes);
            GuardedRegion region = makeGuardedRegion(reach + 16);
            for (int offset : {0, 8, 4}) {
                if (kernel.alignedOnly && offset != 0) continue;
                unsigned char* const base = anchoredBase(region, offset, reach, true);
                unsigned char* const written = const_cast<unsigned char*>(writtenStart(kernel, base, c.blockLines));
                std::vector<unsigned char> expected(blockBytes, FILL_BYTE);
                for (size_t i = 0; i < blockBytes; ++i) base[i] = patternByte(i);
                if (kernel.direction == Direction::COPY) {
                    expected.assign(base, base + blockBytes);
                    for (size_t i = 0; i < blockBytes; ++i) written[i] = static_cast<unsigned char>(~base[i]);
                }
                kernel.run(base, c.blockLines, c.blockLines * c.sweeps);
                EXPECT_FALSE(directionFlagSet()) << kernel.function;
                const std::string where = std::string(kernel.function) + " offset " + std::to_string(offset) +
                                          " blockLines " + std::to_string(c.blockLines);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), written)) << where;
                if (kernel.direction == Direction::COPY) {
                    for (size_t i = 0; i < blockBytes; ++i) ASSERT_EQ(base[i], patternByte(i)) << where << " byte " << i;
                }
            }
            releaseGuardedRegion(region);
        }
    }
}

// The aligned instructions fault on an address that is not a multiple of 16;
// every block size up to 32 MiB, swept twice, must run clean from an aligned
// base (a copy's destination keeps the base's alignment).
TEST(AlignedKernels, RunEveryBlockSizeFromAnAlignedBase) {
    constexpr int32_t maxLines = DEFAULT_MAX_BLOCK_BYTES / LINE_BYTES;
    GuardedRegion region = makeGuardedRegion(static_cast<size_t>(copyFootprintBytes(DEFAULT_MAX_BLOCK_BYTES)));
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (!kernel.alignedOnly || !runsHere(kernel)) continue;
        for (int32_t blockLines = 1; blockLines <= maxLines; blockLines *= 2) {
            kernel.run(region.data, blockLines, blockLines * 2);
            EXPECT_GT(static_cast<int64_t>(timingRecord.elapsedTicks), 0) << kernel.function << " " << blockLines;
        }
    }
    releaseGuardedRegion(region);
}

// MMX shares the x87 registers: without EMMS after the kernel, the next x87
// arithmetic finds a full stack and yields NaN.
TEST(MmxKernels, LeaveTheFloatingPointStackEmpty) {
    GuardedRegion region = makeGuardedRegion(LINE_BYTES);
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (kernel.registers != RegisterKind::MMX || !runsHere(kernel)) continue;
        kernel.run(region.data, 1, 4);
        volatile long double a = 1.5L, b = 2.25L;
        const long double product = a * b + a;
        EXPECT_EQ(product, 4.875L) << kernel.function;
    }
    releaseGuardedRegion(region);
}

// The chase kernel on chains laid out by hand, one pointer per 64-byte line:
// where it ends says how many loads it made.
void linkLine(unsigned char* block, int64_t from, int64_t to) {
    unsigned char* target = block + to * 64;
    std::memcpy(block + from * 64, &target, sizeof target);
}

// A chain through lines 0, 1, 2 ... whose last line points to itself: after n
// loads from line 0 the kernel stands on line n exactly.
TEST(ChaseLoads, MakesExactlyItsPassesOfUnrolledLoads) {
    for (int32_t passes : {0, 1, 2, 5}) {
        const int64_t lines = int64_t{5} * CHASE_LOADS_PER_PASS + 2;
        GuardedRegion region = makeGuardedRegion(static_cast<size_t>(lines) * 64);
        for (int64_t line = 0; line < lines; ++line) linkLine(region.data, line, std::min(line + 1, lines - 1));
        timingRecord = {0, 0, 0};
        void* end = chaseLoads(region.data, passes);
        EXPECT_EQ(end, region.data + int64_t{passes} * CHASE_LOADS_PER_PASS * 64) << passes;
        EXPECT_NE(timingRecord.startTicks, 0u) << passes;
        EXPECT_EQ(timingRecord.elapsedTicks, timingRecord.endTicks - timingRecord.startTicks) << passes;
        releaseGuardedRegion(region);
    }
}

// Cycles of two and three lines at the very end of a guarded region, over a
// million loads and one pass more: a load too many or too few, or one outside
// the cycle, shows in where the chase ends (64 loads a pass: 1 mod 3).
TEST(ChaseLoads, CountsAMillionLoadsRoundSmallCycles) {
    const int32_t million = (1 << 20) / CHASE_LOADS_PER_PASS;
    for (int64_t cycle : {2, 3}) {
        for (int32_t passes : {million, million + 1}) {
            GuardedRegion region = makeGuardedRegion(4096);
            unsigned char* block = region.data + region.bytes - cycle * 64;
            for (int64_t line = 0; line < cycle; ++line) linkLine(block, line, (line + 1) % cycle);
            void* end = chaseLoads(block, passes);
            const int64_t loads = int64_t{passes} * CHASE_LOADS_PER_PASS;
            EXPECT_EQ(end, block + loads % cycle * 64) << cycle << " lines, " << passes << " passes";
            releaseGuardedRegion(region);
        }
    }
}

}  // namespace

namespace {

// The dependent-add clock on the real processor: a core clock between a tenth
// and ten times the time-stamp counter's rate, and the same figure when asked
// twice in a row (an interruption can only lower a chain's figure, and the
// best of several chains is kept).
TEST(CoreClock, DependentAddsGiveAPlausibleSteadyCoreClock) {
    const double first = coreCyclesPerTick();
    const double second = coreCyclesPerTick();
    EXPECT_GT(first, 0.1);
    EXPECT_LT(first, 10.0);
    EXPECT_NEAR(second / first, 1.0, 0.25) << first << " then " << second;
}

}  // namespace
