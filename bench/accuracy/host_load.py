"""How busy the other processors were: the kernel's per-CPU time accounting,
read before and after each measured span."""

from dataclasses import dataclass
from pathlib import Path


@dataclass
class CpuTimes:
    busy: int
    idle: int


def read_cpu_times():
    times = {}
    for line in Path("/proc/stat").read_text().splitlines():
        fields = line.split()
        if not fields[0].startswith("cpu") or fields[0] == "cpu":
            continue
        values = [int(v) for v in fields[1:]]
        user, nice, system, idle, iowait, irq, softirq = (values + [0] * 7)[:7]
        times[int(fields[0][3:])] = CpuTimes(user + nice + system + irq + softirq, idle + iowait)
    return times


def busy_share(before, after, cpu):
    busy = after[cpu].busy - before[cpu].busy
    total = busy + after[cpu].idle - before[cpu].idle
    return busy / total if total else 0.0
