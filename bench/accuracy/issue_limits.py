"""Accesses per core cycle that the load/store units can issue, by processor.

One row per processor: the (family, model) pairs it covers and, for every kind
of access, the limit and where that figure comes from. Anything else gets
"unknown limit"."""

from dataclasses import dataclass
from pathlib import Path
from typing import Dict, FrozenSet

# The pipes each register kind competes for; the general registers are scalar.
REGISTER_UNITS = {"MMX": "mmx", "XMM": "xmm", "YMM": "ymm", "ZMM": "zmm"}
KINDS = tuple(f"{unit}_{access}" for access in ("load", "store")
              for unit in ("scalar", "mmx", "xmm", "ymm", "zmm"))


@dataclass(frozen=True)
class Figure:
    per_cycle: float
    source: str


@dataclass(frozen=True)
class ProcessorLimits:
    name: str
    family: int
    models: FrozenSet[int]
    figures: Dict[str, Figure]
    # Core cycles a load with a register address waits, from the first- and
    # the second-level cache.
    load_to_use: Figure = None
    l2_load_to_use: Figure = None

    def per_cycle(self, kind):
        return self.figures[kind].per_cycle


ZEN5_PROBE = "the issue-rate probe on a Zen 5 KVM guest (family 26 model 2)"
ZEN4_PROBE = "the issue-rate probe on a Zen 4 KVM guest"
ZEN4_GUIDE = ("AMD's software optimisation guide for family 19h: two 256-bit loads and one 256-bit store a "
              "cycle, a 512-bit access taking two of them")

ZEN_GUIDES = "AMD's software optimisation guides for families 19h and 1Ah"

ZEN5 = ProcessorLimits(
    name="AMD Zen 5",
    family=26,
    # The server and desktop parts, whose AVX-512 paths are 512 bits wide; the
    # mobile ones (models 0x20-0x2F, 0x60-0x7F) carry AVX-512 on 256-bit paths
    # and keep an unknown limit until someone measures one.
    models=frozenset(range(0x00, 0x20)) | frozenset(range(0x40, 0x50)),
    figures={
        # The load side takes four loads a cycle, but only two of them into a
        # vector or MMX register, of any width up to 64 bytes.
        "scalar_load": Figure(4, ZEN5_PROBE),
        "mmx_load": Figure(2, ZEN5_PROBE),
        "xmm_load": Figure(2, ZEN5_PROBE),
        "ymm_load": Figure(2, ZEN5_PROBE),
        "zmm_load": Figure(2, ZEN5_PROBE),
        # Both store pipes take stores of up to 32 bytes; a 64-byte store takes
        # both. MMX stores issue at two a cycle too, yet in the program's loop
        # they sustain about 1.75 (the README says why).
        "scalar_store": Figure(2, ZEN5_PROBE),
        "mmx_store": Figure(2, ZEN5_PROBE),
        "xmm_store": Figure(2, ZEN5_PROBE),
        "ymm_store": Figure(2, ZEN5_PROBE),
        "zmm_store": Figure(1, ZEN5_PROBE),
    },
    load_to_use=Figure(4, ZEN_GUIDES),
    l2_load_to_use=Figure(14, ZEN_GUIDES),
)

ZEN4 = ProcessorLimits(
    name="AMD Zen 4",
    family=25,
    models=frozenset(range(0x10, 0x20)) | frozenset(range(0x60, 0x80)) | frozenset(range(0xA0, 0xB0)),
    figures={
        "scalar_load": Figure(3, ZEN4_PROBE),
        "mmx_load": Figure(2, ZEN4_PROBE),
        "xmm_load": Figure(2, ZEN4_PROBE),
        "ymm_load": Figure(2, ZEN4_GUIDE),
        "zmm_load": Figure(1, ZEN4_GUIDE),
        "scalar_store": Figure(2, ZEN4_PROBE),
        "mmx_store": Figure(1, ZEN4_PROBE),
        "xmm_store": Figure(1, ZEN4_PROBE),
        "ymm_store": Figure(1, ZEN4_GUIDE),
        "zmm_store": Figure(0.5, ZEN4_GUIDE),
    },
    load_to_use=Figure(4, ZEN_GUIDES),
    l2_load_to_use=Figure(14, ZEN_GUIDES),
)

LIMITS = [ZEN5, ZEN4]


def issue_kind(kernel):
    """A kernel_table.Kernel's kind of access, as the rows above count them: e.g. "ymm_load"."""
    unit = REGISTER_UNITS.get(kernel.registers, "scalar")
    return f"{unit}_{'load' if kernel.direction == 'READ' else 'store'}"


def non_temporal(kernel):
    """Streaming accesses bypass the caches and are held back by the hardware, not the loop."""
    return "movnt" in kernel.instruction


def read_family_model(cpuinfo="/proc/cpuinfo"):
    family = model = None
    for line in Path(cpuinfo).read_text().splitlines():
        key, _, value = line.partition(":")
        key = key.strip()
        if key == "cpu family" and family is None:
            family = int(value)
        elif key == "model" and model is None:
            model = int(value)
    return family, model


def limits_for(family, model):
    """The row for this processor, or None: an unknown limit."""
    for row in LIMITS:
        if row.family == family and model in row.models:
            return row
    return None
