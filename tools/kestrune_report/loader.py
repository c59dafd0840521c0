"""The one way in: a Report from either form the program writes, the printed
text or the JSON of --json, told apart by their first character."""

from .json_report import parse_json_report
from .parser import parse_text_report


def parse_report(text, source="report"):
    """A Report from the text the program printed, or from the JSON it writes with --json."""
    if text.lstrip().startswith("{"):
        return parse_json_report(text, source)
    return parse_text_report(text, source)
