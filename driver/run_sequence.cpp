#include "driver/run_sequence.h"

#include <iostream>

#include "driver/clock.h"
#include "driver/constants.h"
#include "driver/passes.h"
#include "driver/report.h"
#include "platform/platform.h"
#include "probe/os_sse_probe.h"
#include "probe/simd_capabilities.h"

namespace {

// The lowest processor of the system, not of the process: the first of the 32
// probes 1, 2, 4 ... 0x80000000 whose bit is set, or 0 when none is.
uint32_t lowestProcessorBit(uint32_t systemMask) {
    for (uint32_t probe = 1; probe != 0; probe <<= 1) {
        if (systemMask & probe) return probe;
    }
    return 0;
}

void printCapabilities(CapabilityMask mask) {
    std::cout << "Supported SIMD Inst:";
    if (mask & CAP_MMX) std::cout << "MMX ";
    if (mask & CAP_SSE) std::cout << "SSE ";
    if (mask & CAP_SSE2) std::cout << "SSE2 ";
    if (mask & CAP_SSE3) std::cout << "SSE3";
    endLine(std::cout);
}

}  // namespace

int runBenchmark() {
    std::cout << "Kestrune" << " ver1.0";
    endLine(std::cout);

    const OsFamily family = platformOsFamily();
    if (family == OsFamily::NT) {
        uint32_t processMask = 0, systemMask = 0;
        if (!platformGetAffinityMasks(&processMask, &systemMask)) {
            std::cerr << "GetProcessAffinityMask() failed.";
            endLine(std::cerr);
            return 1;
        }
        if (const uint32_t processor = lowestProcessorBit(systemMask)) platformSetAffinityMask(processor);
    }
    std::cout << (family == OsFamily::NT ? "OS:NT based" : "OS:9X based");
    endLine(std::cout);

    CapabilityMask mask = detectSimdCapabilities();
    printCapabilities(mask);
    if (mask & CAP_SSE) {
        std::cout << "SSE supported by OS:";
        if (probeOsSseSupport()) {
            std::cout << "yes";
        } else {
            mask &= ~CAP_SSE_FAMILY;  // MMX stays
            std::cout << "no";
        }
        endLine(std::cout);
    }

    platformRaisePriority();

    std::cout << "measuring CPU clock. please wait " << CLOCK_WAIT_SECONDS << " seconds.";
    endLine(std::cout);
    double clockMHz = measureClockMHz();
    std::cout << "CPU clock:" << clockMHz << "MHz";
    endLine(std::cout);
    if (clockMHz < 1.0) clockMHz = 1.0;  // the line above still shows the measured value

    void* testBuffer = platformAllocateBuffer(TEST_BUFFER_BYTES);
    if (testBuffer == nullptr) {
        std::cerr << "malloc failed.";
        endLine(std::cerr);
        return 2;
    }
    std::cout << "Speed check start.";
    endLine(std::cout);

    const double bytesPerRunTimesHz = clockMHz * 1000000.0 * 67108864.0;
    runMeasurementPasses(static_cast<unsigned char*>(testBuffer), mask, bytesPerRunTimesHz);

    platformReleaseBuffer(testBuffer, TEST_BUFFER_BYTES);
    return 0;
}
