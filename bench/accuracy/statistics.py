"""Medians and spreads: one-shot figures on this shared host can be off by 2x."""


def median(values):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def spread(values):
    """Largest over smallest; 1.00 means every run agreed."""
    low, high = min(values), max(values)
    return high / low if low > 0 else float("inf")
