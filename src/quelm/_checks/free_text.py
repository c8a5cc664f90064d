"""Free-text price lines: prices read from another number than the one
after the label, units the parser does not read, and price-like lines that
stored nothing.

Where the parser found each label, price text and number, and the unit
marker it read there, come from its report of the line.
"""

from __future__ import annotations

import re

from quelm import _lines
from quelm._checks.finding import ERROR, WARNING, entry, finding
from quelm._checks.numbers import free_text_misread, misread
from quelm._checks.units import per_tokens, scale_effect, tokens_per_price, unit_phrases
from quelm._terminal import shown


def findings(lines: list[dict]) -> list[dict]:
    out = []
    for r in lines:
        if r["kind"] != "free text" or r["outcome"] != "stored":
            continue
        stored = entry(r)
        found = {side: p for side, p in r["prices"].items() if p is not None}
        wrong = [(side, why) for side, p in found.items()
                 if (why := free_text_misread(r["text"], r["prices"], side))]
        for side, why in wrong:
            out.append(misread(r, stored, f"the {side} price of the line", side, why))
        unmarked = [side for side, p in found.items() if p["marker"] is None]
        if wrong or not unmarked:
            continue
        # A price without a unit marker of its own is read per 1M tokens.
        read = tokens_per_price(None)
        start, end = r["rest"]
        said = [(p, c) for p, c in unit_phrases(r["text"][start:end]) if c != read]
        if said:
            phrase, count = said[0]
            which = " and ".join(unmarked)
            out.append(finding(
                r["line"], ERROR, "unit not read", stored,
                f"the line states {shown(repr(phrase))} ({per_tokens(count)}), which the parser "
                f"does not read there: the {which} price{'s are' if len(unmarked) > 1 else ' is'}"
                f" stored {per_tokens(read)}, so estimates are {scale_effect(count, read)}",
                "write the unit as '/ 1K tokens' or '/ 1M tokens' after each price"))
    return out


def _free_text_form(report: dict) -> str:
    """The line as a free-text price line the parser reads."""
    text = report["text"].strip()
    name = report["name"]
    if not name:
        words = re.findall(r"[\w\-.:/@]+", re.sub(r"^[-*+|\s]+|[*`\[\]]", "", text))
        name = words[0].rstrip(":") if words else "<model>"
    amounts = re.findall(r"\$\s*([\d,]*\.?\d+)", text) or re.findall(r"\d[\d,]*\.?\d*", text)
    prompt = amounts[0] if amounts else "<price>"
    completion = amounts[1] if len(amounts) > 1 else "<price>"
    return f"{name}: prompt ${prompt} / 1M tokens, completion ${completion} / 1M tokens"


def nothing_findings(lines: list[dict]) -> list[dict]:
    """Lines that look like prices but stored nothing."""
    by_line = {r["line"]: r for r in lines}
    out = []
    for item in _lines.stored_nothing(lines):
        if not _lines.looks_priced(item["text"]):
            continue  # a note or a header row, not a price
        out.append(finding(
            item["line"], WARNING, "stored nothing", None,
            f"{item['explanation']}: requests for this model get another entry's price, or none",
            f"write it as {shown(repr(_free_text_form(by_line[item['line']])))} (with the unit "
            "the prices are in), or as a row of a table with a model, a prompt and a completion "
            "column"))
    return out
