"""The kernel's own figure for the time-stamp counter's rate."""

import re
import subprocess

_REFINED = re.compile(r"tsc: Refined TSC clocksource calibration: ([0-9.]+) MHz")
_DETECTED = re.compile(r"tsc: Detected ([0-9.]+) MHz processor")


def _kernel_log():
    for command in (["dmesg"], ["journalctl", "-k", "--no-pager", "-b"]):
        try:
            result = subprocess.run(command, capture_output=True, text=True, timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            continue
        if result.returncode == 0 and "tsc:" in result.stdout:
            return " ".join(command), result.stdout
    return None, ""


def kernel_tsc_mhz():
    """(MHz, how it was found) with the refined calibration preferred; (None, why) if absent."""
    source, log = _kernel_log()
    if source is None:
        return None, "neither dmesg nor journalctl -k shows a tsc: line"
    if (match := _REFINED.search(log)):
        return float(match.group(1)), f'{source}: "Refined TSC clocksource calibration"'
    if (match := _DETECTED.search(log)):
        return float(match.group(1)), f'{source}: "tsc: Detected" (no refined calibration line)'
    return None, f"{source} has tsc: lines but no rate"
