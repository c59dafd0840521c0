"""What a JSON report says of the machine it measured and of its run (its "machine" and
"run" objects), as far as the report tool uses it: the processor, the host, the date and
the caches. The program writes much more; what is not read here is left alone."""

from dataclasses import dataclass
from typing import Optional, Tuple

from .units import format_size

CACHE_TYPES = ("data", "instruction", "unified")


@dataclass(frozen=True)
class Cache:
    level: int
    type: str  # "data", "instruction" or "unified"
    size: Optional[int]  # one instance's bytes; None when the machine did not say
    num_sharing: Optional[int] = None  # logical processors sharing one instance
    doubtful: bool = False
    doubt: Optional[str] = None  # why, in the program's words

    @property
    def name(self):
        return f"L{self.level}"

    @property
    def described(self):
        """'L3 508MB (doubtful: ...)': how the notes name it."""
        size = "size unknown" if self.size is None else format_size(self.size)
        doubt = f" (doubtful: {self.doubt})" if self.doubt else " (doubtful)" if self.doubtful else ""
        return f"{self.name} {size}{doubt}"


@dataclass(frozen=True)
class Machine:
    vendor: Optional[str] = None
    brand: Optional[str] = None
    family: Optional[int] = None
    model: Optional[int] = None
    host: Optional[str] = None
    date: Optional[str] = None  # the run's start, UTC, ISO 8601
    # None when the report has no "caches" list at all, () when the list is empty.
    caches: Optional[Tuple[Cache, ...]] = None

    @property
    def processor(self):
        """The brand string, or what else names the processor."""
        if self.brand:
            return self.brand.strip()
        known = [str(part) for part in (self.vendor, self.family, self.model) if part is not None]
        return " ".join(known) or None

    @property
    def processor_model(self):
        """Vendor, family, model and brand: what makes two machines' figures comparable.
        None when the report names no processor."""
        key = (self.vendor, self.family, self.model, self.brand.strip() if self.brand else None)
        return None if all(part is None for part in key) else key

    def level_caches(self):
        """The caches data passes through, one per level, smallest level first: the data or
        unified cache of each level whose size is known (instruction caches hold no data)."""
        by_level = {}
        for cache in self.caches or ():
            if cache.type != "instruction" and cache.size is not None:
                by_level.setdefault(cache.level, cache)
        return [by_level[level] for level in sorted(by_level)]

    @property
    def summary(self):
        """'AMD EPYC ..., host node17, 2026-12-11T06:01:02Z': the machine in one line."""
        parts = [self.processor or "processor not named",
                 f"host {self.host}" if self.host else "host not named",
                 self.date or "date not recorded"]
        return ", ".join(parts)
