#include "kernels/timing_record.h"

extern "C" {
TimingRecord timingRecord;
}
