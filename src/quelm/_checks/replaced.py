"""Entries that a later line replaces whole, with other prices."""

from __future__ import annotations

from quelm._checks.finding import WARNING, entry_of, finding, rates
from quelm._terminal import dollars, shown_name


def findings(lines: list[dict]) -> list[dict]:
    last: dict[str, dict] = {}
    out = []
    for r in lines:
        if r["outcome"] != "stored":
            continue
        before = last.get(r["name"])
        last[r["name"]] = r
        if before is None or rates(before) == rates(r):
            continue
        out.append(finding(
            r["line"], WARNING, "replaced", entry_of(r["name"], *rates(r)),
            f"{shown_name(r['name'])} was stored on line {before['line']} with "
            f"{dollars(before['prompt_per_1M'])} / {dollars(before['completion_per_1M'])}; this "
            "line replaces that entry whole, so the earlier prices are never used",
            "delete the line that is out of date, or give the two models different names",
            lines=[before["line"]]))
    return out
