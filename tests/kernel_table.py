"""The kernel table of kernels/kernel_list.def, read by the Python tests."""
import re
from typing import List, NamedTuple

ROW = re.compile(r'^KERNEL_ROW\(\s*(\w+),\s*"([^"]+)",\s*(READ|WRITE),\s*(\w+),\s*(true|false),'
                 r'\s*"(\w+)",\s*(GP32|GP16|MMX|XMM)\s*\)')

CAPABILITY_BITS = {"0": 0x00, "CAP_MMX": 0x01, "CAP_SSE": 0x08, "CAP_SSE2": 0x10, "CAP_SSE3": 0x20}


class Kernel(NamedTuple):
    function: str
    column: str
    direction: str
    capability: int
    aligned16: bool
    instruction: str
    registers: str

    def shown(self, mask: int, aligned16: bool) -> bool:
        return (mask & self.capability) == self.capability and (aligned16 or not self.aligned16)


def read_table(path: str) -> List[Kernel]:
    kernels = []
    with open(path, encoding="utf-8") as table:
        for line in table:
            match = ROW.match(line.strip())
            if match:
                function, column, direction, capability, aligned16, instruction, registers = match.groups()
                kernels.append(Kernel(function, column, direction, CAPABILITY_BITS[capability],
                                      aligned16 == "true", instruction, registers))
    if not kernels:
        raise SystemExit(f"no KERNEL_ROW in {path}")
    return kernels
