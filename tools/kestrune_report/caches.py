"""Cache sizes to mark on the charts, given by hand or read from this machine."""

import os
import re
from dataclasses import dataclass

from .units import format_size

SYSFS_CACHE_DIR = "/sys/devices/system/cpu/cpu0/cache"
_SIZE = re.compile(r"([0-9]+)\s*(|B|K|KB|KIB|M|MB|MIB|G|GB|GIB)", re.IGNORECASE)
_MULTIPLIERS = {"": 1, "B": 1, "K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}


@dataclass(frozen=True)
class CacheSize:
    name: str  # "L1", "L2", ...
    size: int  # bytes
    # The report's machine marks the size as doubtful: drawn apart and labelled so.
    doubtful: bool = False

    @property
    def label(self):
        return f"{self.name} {format_size(self.size)}" + (" (doubtful)" if self.doubtful else "")


def parse_size(text):
    """'32K', '1M', '32MB', '32768' -> bytes; powers of 1024, as the benchmark counts."""
    match = _SIZE.fullmatch(text.strip())
    if match is None or int(match.group(1)) == 0:
        raise ValueError(f"{text.strip()!r} is not a cache size; "
                         f"expected e.g. 32K, 1M, 32M or plain bytes such as 32768")
    return int(match.group(1)) * _MULTIPLIERS[match.group(2).upper()[:1]]


def parse_cache_list(text):
    """'32K,1M,32M' -> L1, L2, L3 in the order given."""
    sizes = [parse_size(part) for part in text.split(",")]
    return [CacheSize(f"L{level}", size) for level, size in enumerate(sizes, start=1)]


def report_caches(machine):
    """The caches of the machine a JSON report was measured on: its data or unified cache of
    each level; empty when the report names none."""
    if machine is None:
        return []
    return [CacheSize(cache.name, cache.size, cache.doubtful) for cache in machine.level_caches()]


def read_sysfs_caches(root=SYSFS_CACHE_DIR):
    """Data and unified caches of cpu0, one per level; empty when the kernel does not say."""
    by_level = {}
    try:
        entries = sorted(name for name in os.listdir(root) if name.startswith("index"))
    except OSError:
        return []
    for entry in entries:
        try:
            fields = {}
            for name in ("level", "type", "size"):
                with open(os.path.join(root, entry, name), encoding="ascii") as file:
                    fields[name] = file.read().strip()
            if fields["type"] == "Instruction":
                continue
            level, size = int(fields["level"]), parse_size(fields["size"])
        except (OSError, ValueError):
            continue  # an entry the kernel leaves half-filled is no reason to give up the others
        by_level.setdefault(level, size)
    return [CacheSize(f"L{level}", by_level[level]) for level in sorted(by_level)]
