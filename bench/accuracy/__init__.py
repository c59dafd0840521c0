"""Holds every cell of Kestrune's report against the hardware's limit and an
independent reference; run through bench/run-accuracy."""

import os
import sys

# kestrune-report's package (tools/kestrune_report) is the project's one reader of
# the report and of the kernel table; the bench reads both through it.
_TOOLS = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools"))
if _TOOLS not in sys.path:
    sys.path.insert(0, _TOOLS)
