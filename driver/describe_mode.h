#pragma once
#include "driver/options.h"

// kestrune --describe: the machine's description on standard output, and with
// --json as a JSON object of "machine" and "run"; nothing is measured. The
// exit code is 0, or 73 or 74 when the JSON file cannot be created or
// written.
int runDescribe(const RunOptions& options);
