"""The one way in: a Report from either form the program writes, the printed
text or the JSON of --json, told apart by their first character."""

from . import core_to_core
from .json_report import parse_json_report
from .parser import parse_text_report


def parse_report(text, source="report"):
    """A Report from the text the program printed, or from the JSON it writes with --json.
    The core-to-core table, last of all, is read apart from the others."""
    if text.lstrip().startswith("{"):
        return parse_json_report(text, source)
    rest, matrix_lines = core_to_core.split_text(text)
    report = parse_text_report(rest, source)
    if matrix_lines is not None:
        report.core_to_core = core_to_core.parse_text(*matrix_lines)
        if not report.core_to_core.complete:
            report.gaps.append(f"'{core_to_core.TITLE}' was stopped before its last pair")
    return report
