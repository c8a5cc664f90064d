"""`check`'s report: as text for a person, or as JSON."""

from __future__ import annotations

import textwrap
from typing import Optional

from quelm._checks.finding import ERROR
from quelm._terminal import dollars, shown, shown_name, strict_json

WIDTH = 92  # columns of the text report


def _entry_text(entry: Optional[dict]) -> str:
    if entry is None:
        return "nothing stored"
    return (f"{shown_name(entry['name'])}: prompt {dollars(entry['prompt_per_1M'])}, "
            f"completion {dollars(entry['completion_per_1M'])} per 1M tokens")


def summary(found: list[dict]) -> tuple[int, int]:
    """(errors, warnings)."""
    errors = sum(f["severity"] == ERROR for f in found)
    return errors, len(found) - errors


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def render(source: str, pricing: dict, found: list[dict]) -> list[str]:
    errors, warnings = summary(found)
    out = [f"{shown(source)}: {_plural(len(pricing), 'model')}, {_plural(errors, 'error')}, "
           f"{_plural(warnings, 'warning')}"]
    for f in found:
        where = f"line {f['line']}" if f["line"] else "document"
        out += ["", f"{where}: {f['severity']}: {f['kind']}"]
        for label, text in (("entry", _entry_text(f["entry"])), ("problem", f["problem"]),
                            ("fix", f["fix"])):
            out += textwrap.wrap(text, WIDTH, initial_indent=f"  {label:<8} ",
                                 subsequent_indent=" " * 11, break_long_words=False,
                                 break_on_hyphens=False)
    return out


def as_json(source: str, pricing: dict, found: list[dict]) -> str:
    errors, warnings = summary(found)
    return strict_json({"source": source, "models": len(pricing), "errors": errors,
                        "warnings": warnings, "findings": found})
