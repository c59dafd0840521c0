#include "driver/options.h"
#include "driver/run_sequence.h"

namespace {

// All floating-point arithmetic of the run is meant in double precision; on
// i386 the x87 unit starts with 64-bit precision, so set it to 53 bits as the
// Windows runtime does.
void useDoublePrecision() {
#if defined(__i386__)
    unsigned short control;
    asm volatile("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>((control & ~0x0300u) | 0x0200u);
    asm volatile("fldcw %0" : : "m"(control));
#endif
}

}  // namespace

int main(int argc, char** argv) {
    useDoublePrecision();
    RunOptions options;
    switch (parseOptions(argc, argv, &options)) {
        case OptionsOutcome::DONE: return 0;
        case OptionsOutcome::USAGE_ERROR: return EXIT_USAGE;
        case OptionsOutcome::RUN: break;
    }
    return runBenchmark(options);
}
