// Why the first rows after the program's passive 3 s clock wait can come out
// low. After each kind of wait it allocates the buffer as the program does
// (MAP_POPULATE, then a write to every page), then alternates a short chain of
// dependent adds (the core clock at that moment) with the program's own LDDQU
// kernel over a 128-byte block, 64 MiB (the program's first cell). The same steps run again 200 ms
// later as the steady state of that repetition.
//   passive   clock_nanosleep for 3 s, as the program
//   busy      spin on clock_gettime for 3 s
// A slow first run with a normal clock points at the host taking the vCPU
// away; a low clock at a frequency ramp; a slow allocation at page state.
//
// Usage: first_rows_after_wait CPU REPETITIONS
// Prints one line per wait and repetition: the wait, the repetition, the
// allocation's milliseconds, then the speed of each first run and each clock
// reading as a ratio to the steady median (below 1: slower), so the TSC rate
// does not enter.
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../helpers/pin_to_cpu.h"
#include "../helpers/tsc_stamp.h"
#include "kernels/dependent_add_clock.h"
#include "kernels/kernels.h"
#include "kernels/timing_record.h"
#include "../helpers/median.h"

namespace {

constexpr size_t BUFFER_BYTES = 0x2000400;
constexpr int STEPS = 6;

// The program's first cell, run by its own kernel: LDDQU over one 128-byte
// line, 64 MiB in all.
uint64_t firstCellTicks(unsigned char* base) {
    readLddqu(base, 1, RUN_LINES);
    return timingRecord.elapsedTicks;
}

double ticksPerAdd() { return ticksPerDependentAdd(500, fencedTicks); }

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void passiveWait(double seconds) {
    timespec span{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &span, nullptr);
}

void busyWait(double seconds) {
    const double end = secondsNow() + seconds;
    while (secondsNow() < end) {
    }
}

unsigned char* allocateAsProgram() {
    void* buffer = mmap(nullptr, BUFFER_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (buffer == MAP_FAILED) std::exit(1);
    volatile unsigned char* bytes = static_cast<unsigned char*>(buffer);
    for (size_t offset = 0; offset < BUFFER_BYTES; offset += 4096) bytes[offset] = 0;
    return static_cast<unsigned char*>(buffer);
}

struct Steps {
    double runTicks[STEPS];
    double clockTicks[STEPS];
};

Steps measureSteps(unsigned char* buffer) {
    Steps steps{};
    for (int i = 0; i < STEPS; ++i) {
        steps.clockTicks[i] = ticksPerAdd();
        steps.runTicks[i] = static_cast<double>(firstCellTicks(buffer));
    }
    return steps;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CPU REPETITIONS\n", argv[0]);
        return 2;
    }
    pinToCpuFromArguments(argc, argv);
    const int repetitions = std::atoi(argv[2]);
    std::printf("wait rep alloc_ms run_ratio[0..%d] clock_ratio[0..%d]\n", STEPS - 1, STEPS - 1);
    for (int rep = 0; rep < repetitions; ++rep) {
        for (const char* wait : {"passive", "busy"}) {
            if (wait[0] == 'p') {
                passiveWait(3.0);
            } else {
                busyWait(3.0);
            }
            const double allocStart = secondsNow();
            unsigned char* buffer = allocateAsProgram();
            const double allocMs = (secondsNow() - allocStart) * 1e3;
            const Steps first = measureSteps(buffer);
            busyWait(0.2);
            const Steps steady = measureSteps(buffer);
            munmap(buffer, BUFFER_BYTES);

            const double steadyRun = median(std::vector<double>(steady.runTicks, steady.runTicks + STEPS));
            const double steadyClock = median(std::vector<double>(steady.clockTicks, steady.clockTicks + STEPS));
            std::printf("%s %d %.1f", wait, rep, allocMs);
            for (double t : first.runTicks) std::printf(" %.3f", steadyRun / t);
            for (double t : first.clockTicks) std::printf(" %.3f", steadyClock / t);
            std::printf("\n");
        }
    }
    return 0;
}
