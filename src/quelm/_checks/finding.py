"""What every kind of `check` finding shares: its shape and severities."""

from __future__ import annotations

from typing import Iterable, Optional

ERROR, WARNING = "error", "warning"

# A dated variant of a model name, as providers publish them: what a request
# for a name's snapshot looks like to the module's lookup.
VARIANT_SUFFIX = "-2025-01-01"


def finding(line: int, severity: str, kind: str, entry: Optional[dict], problem: str, fix: str,
            lines: Iterable[int] = ()) -> dict:
    """One finding: its line (0: the whole document), ERROR or WARNING, its
    kind, the entry stored (None for none), what goes wrong in an estimate,
    what to change, and the other lines concerned."""
    return {"line": line, "severity": severity, "kind": kind, "entry": entry,
            "problem": problem, "fix": fix, "lines": sorted(set(lines))}


def entry_of(name: str, prompt: Optional[float], completion: Optional[float]) -> dict:
    return {"name": name, "prompt_per_1M": prompt, "completion_per_1M": completion}


def rates(record: dict) -> tuple:
    """(prompt, completion) of an entry or a line report."""
    return (record["prompt_per_1M"], record["completion_per_1M"])


def entry(report: dict) -> Optional[dict]:
    """The entry a line report stored, or None."""
    return entry_of(report["name"], *rates(report)) if report["outcome"] == "stored" else None
