"""Accumulates the printed report, its CSV rows and the target verdicts."""

import csv
from dataclasses import dataclass, field


@dataclass
class Verdict:
    target: str
    holds: object  # True, False, or None when it cannot be judged here
    detail: str

    def mark(self):
        return {True: "HOLDS", False: "FAILS", None: "CANNOT JUDGE"}[self.holds]


@dataclass
class ReportBuilder:
    lines: list = field(default_factory=list)
    rows: list = field(default_factory=list)
    verdicts: list = field(default_factory=list)

    def say(self, text=""):
        self.lines.append(text)

    def heading(self, text):
        self.say()
        self.say(text)
        self.say("-" * len(text))

    def table(self, header, body):
        widths = [max(len(str(row[i])) for row in [header] + body) for i in range(len(header))]
        for row in [header] + body:
            self.say("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())

    def record(self, section, table="", block="", column="", quantity="", value="", unit=""):
        self.rows.append([section, table, block, column, quantity,
                          f"{value:.6g}" if isinstance(value, float) else value, unit])

    def judge(self, target, holds, detail):
        self.verdicts.append(Verdict(target, holds, detail))
        self.record("targets", quantity=target, value={True: "holds", False: "fails", None: "unknown"}[holds],
                    unit=detail)

    def write_csv(self, path):
        with open(path, "w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(["section", "table", "block", "column", "quantity", "value", "unit"])
            writer.writerows(self.rows)

    def text(self):
        return "\n".join(self.lines) + "\n"
