"""`check`'s findings about the columns after the third: each header that
names no column quelm knows, and each cell that quelm cannot read or that
contradicts the row's other prices.

Everything is read off the parser's own report of each cell (its column's
unit, the number the cell converter read) and the package's reading of the
columns (`_columns`), as `quelm.cost` reads them.
"""

from __future__ import annotations

from quelm import _columns
from quelm._checks.finding import ERROR, WARNING, entry, finding
from quelm._terminal import dollars, shown

# Prices of one row that must not be out of order: (cheaper, dearer, why).
ORDER = [
    (("price", "cached"), ("base", "prompt"), "a cache read costs no more than the prompt"),
    (("base", "prompt"), ("price", "cache_write"), "a cache write costs at least the prompt"),
    (("price", "cache_write"), ("price", "cache_write_long"),
     "a long-lived cache write costs at least a short-lived one"),
    (("long price", "cached"), ("long price", "prompt"),
     "a long-context cache read costs no more than the long-context prompt"),
    (("long price", "prompt"), ("long price", "cache_write"),
     "a long-context cache write costs at least the long-context prompt"),
]


def header_findings(report: dict, columns: list[_columns.Column]) -> list[dict]:
    out = []
    for i, (col, cell) in enumerate(zip(columns, report["cells"][3:]), start=4):
        if col.kind == "unknown":
            out.append(finding(
                report["line"], WARNING, "unknown column", None,
                f"column {i} {shown(repr(cell['text']))} is not read: {col.why}",
                "name it as the README's price list format says (e.g. 'Cached prompt ($/1M "
                "tokens)', 'Batch (% of standard)'), or leave it out"))
    return out


def row_findings(report: dict, columns: list[_columns.Column]) -> list[dict]:
    """The findings about one stored table row's later cells."""
    out = []
    stored = entry(report)
    line = report["line"]
    read: dict[tuple[str, str], float] = {("base", "prompt"): report["prompt_per_1M"]}
    long_prices = shares = False
    for col, cell in zip(columns, report["cells"][3:]):
        text, value = cell["text"], cell["value"]
        if not text or col.kind == "unknown":
            continue
        if col.kind in ("price", "long price"):
            if value is None:
                out.append(finding(line, ERROR, "not a price", stored,
                                    f"the {col.kind} cell {shown(repr(text))} holds no number, "
                                    "so that class is priced by a fallback",
                                    "write a price such as '$0.30', or leave the cell empty"))
            else:
                read[(col.kind, col.key)] = value
                long_prices = long_prices or col.kind == "long price"
        elif col.kind == "long above":
            if _columns.token_count(text, cell["number"], value) is None:
                out.append(finding(line, ERROR, "not a token count", stored,
                                    f"the long-context threshold {shown(repr(text))} is no count "
                                    "of tokens: the long-context prices are not used",
                                    "write the prompt size above which they apply, e.g. "
                                    "'200,000' or '200K'"))
        elif col.kind == "share":
            share = _columns.share(col, text, value)
            shares = shares or col.key == "off-peak"
            if share is None:
                out.append(finding(line, ERROR, "not a percentage", stored,
                                    f"the {col.key} cell {shown(repr(text))} is no percentage"
                                    + (" from 0% to 100%" if col.discount else "")
                                    + f": {col.key} calls are priced at the standard price",
                                    "write a percentage such as '50%'"))
        elif col.kind == "peak hours":
            if _columns.peak_hours(text) is None:
                out.append(finding(line, ERROR, "not hours", stored,
                                    f"the peak hours {shown(repr(text))} are not read: the "
                                    "off-peak price is never used",
                                    "write them as 'HH:MM-HH:MM' in UTC, comma-separated, "
                                    "optionally after days: 'Mon-Fri 01:00-04:00'"))
    # A missing cell, not one unreadable (reported above).
    given = {col.kind for col, cell in zip(columns, report["cells"][3:]) if cell["text"]}
    if long_prices and "long above" not in given:
        out.append(finding(line, ERROR, "no threshold", stored,
                            "the row has long-context prices but no 'Long context above' "
                            "threshold: they are never used",
                            "give the prompt size above which they apply"))
    if shares and "peak hours" not in given:
        out.append(finding(line, ERROR, "no peak hours", stored,
                            "the row has an off-peak price but no peak hours: it is never used",
                            "give the peak hours in a 'Peak hours (UTC)' column"))
    for low, high, why in ORDER:
        a, b = read.get(low), read.get(high)
        if a is not None and b is not None and a > b:
            out.append(finding(line, WARNING, "prices out of order", stored,
                                f"{_name(low)} {dollars(a)} is above {_name(high)} "
                                f"{dollars(b)}: {why}",
                                "check the two columns' order and units with the maker"))
    return out


def _name(key: tuple[str, str]) -> str:
    kind, cls = key
    name = cls.replace("_", " ")
    return f"the long-context {name} price" if kind == "long price" else f"the {name} price"


def findings(lines: list[dict]) -> list[dict]:
    """Every finding about the later columns of a document's tables."""
    out: list[dict] = []
    columns: list[_columns.Column] = []
    for report in lines:
        if report["kind"] == "header":
            columns = [_columns.column(c["text"]) for c in report["cells"][3:]]
            out += header_findings(report, columns)
        elif report["kind"] == "table row" and report["outcome"] == "stored" and columns:
            out += row_findings(report, columns)
    return out
