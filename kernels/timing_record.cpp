#include "kernels/timing_record.h"

extern "C" {
__thread TimingRecord timingRecord;
}
