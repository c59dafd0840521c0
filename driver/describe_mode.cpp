#include "driver/describe_mode.h"

#include "driver/data_file.h"
#include "driver/machine_report.h"
#include "driver/run_sequence.h"
#include "platform/platform.h"
#include "probe/machine_description.h"

int runDescribe(const RunOptions& options) {
    RunFacts run;
    run.startSeconds = platformSecondsSinceEpoch();
    const uint64_t startMilliseconds = platformMonotonicMilliseconds();
    DataFile json;
    if (!openDataFile(options.jsonPath, &json)) return EXIT_CANNOT_CREATE;
    const MachineDescription& machine = machineDescription();
    // Standard output carrying the JSON carries nothing else.
    if (!json.toStdout) printMachineDescription(machine);
    if (options.jsonPath == nullptr) return 0;
    run.hostName = machine.hostName;
    run.commandLine = options.commandLine;
    run.durationSeconds = static_cast<double>(platformMonotonicMilliseconds() - startMilliseconds) / 1000.0;
    run.complete = true;
    const std::string document = "{\n \"machine\": " + machineJson(machine) + ",\n \"run\": " + runJson(run) + "\n}\n";
    return writeDataContent(&json, document) ? 0 : EXIT_CANNOT_WRITE;
}
