"""The two questions the report answers besides its targets: what a
non-temporal cell measures, and why first rows after the wait come out low."""

import subprocess
from statistics import median

STEADY_BLOCKS = [1 << 10, 2 << 10, 4 << 10, 8 << 10, 16 << 10, 32 << 10]
FIRST_BLOCKS = [128, 256, 512]


def run_nt_experiment(helper, cpu, tsc_mhz):
    out = subprocess.run([str(helper), str(cpu), f"{tsc_mhz:.3f}"], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    bare = float(out[0].split()[1])
    header = out[1].split()
    rows = [dict(zip(header, (float(v) for v in line.split()))) for line in out[2:]]
    return bare, header, rows


def run_first_rows_experiment(helper, cpu, repetitions):
    out = subprocess.run([str(helper), str(cpu), str(repetitions)], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    samples = {"passive": [], "busy": []}
    for line in out[1:]:
        fields = line.split()
        values = [float(v) for v in fields[2:]]
        steps = (len(values) - 1) // 2
        samples[fields[0]].append({"alloc_ms": values[0], "runs": values[1:1 + steps],
                                   "clocks": values[1 + steps:]})
    return samples


def first_row_ratios(run, table):
    """Each first-row cell over its column's median across the L1-resident rows
    of the same run: 1.0 means as fast as the steady state."""
    ratios = {}
    for column in run.columns[table]:
        steady = median([run.cells[(table, b, column)] for b in STEADY_BLOCKS])
        for block in FIRST_BLOCKS:
            ratios[(block, column)] = run.cells[(table, block, column)] / steady
    return ratios
