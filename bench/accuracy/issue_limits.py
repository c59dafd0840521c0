"""Accesses per core cycle that the load/store units can issue, by processor.

One row per processor: the (family, model) pairs it covers, where its figures
come from, and the limits. Anything else gets "unknown limit"."""

from pathlib import Path

ZEN4_MODELS = set(range(0x10, 0x20)) | set(range(0x60, 0x80)) | set(range(0xA0, 0xB0))

LIMITS = [
    {
        "name": "AMD Zen 5",
        "family": 26,
        "models": {0x02},
        "source": "measured on this KVM guest by bench/helpers/issue_rate_probe",
        # The load side takes four loads a cycle, but only two of them into the
        # vector register file (XMM or MMX); both store pipes take 128-bit stores.
        # MMX stores issue at two a cycle too, yet in the program's loop they
        # sustain about 1.75 (bench/experiments/mmx_store_loop.cpp).
        "per_cycle": {"scalar_load": 4, "vector_load": 2, "mmx_load": 2,
                      "scalar_store": 2, "vector_store": 2, "mmx_store": 2},
    },
    {
        "name": "AMD Zen 4",
        "family": 25,
        "models": ZEN4_MODELS,
        "source": "field notes (shared/ENGINEERING.md), measured on a Zen 4 KVM guest",
        "per_cycle": {"scalar_load": 3, "vector_load": 2, "mmx_load": 2,
                      "scalar_store": 2, "vector_store": 1, "mmx_store": 1},
    },
]


# The pipes each register kind competes for; the general registers are scalar.
_ISSUE_UNITS = {"XMM": "vector", "YMM": "vector", "ZMM": "vector", "MMX": "mmx"}


def issue_kind(kernel):
    """A kernel_table.Kernel's kind of access, as the rows above count them: e.g. "vector_load"."""
    unit = _ISSUE_UNITS.get(kernel.registers, "scalar")
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
        if row["family"] == family and model in row["models"]:
            return row
    return None
