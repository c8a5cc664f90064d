"""Tables whose columns or cells hold no prices, whose units the parser does
not read, or whose rows are shifted by a '|' inside a cell.

The unit the parser applied to each cell (its own marker, else its
column's header unit) and the number it read come from the parser's
report of the line; what is checked here is what a person wrote.
"""

from __future__ import annotations

import re
from typing import Optional

from quelm._checks.finding import ERROR, WARNING, entry, entry_of, finding, rates
from quelm._checks.numbers import misread, misread_number
from quelm._checks.units import per_tokens, scale_effect, tokens_per_price, unit_phrases
from quelm._terminal import dollars, shown

_PROMPT_WORDS = ("prompt", "input")
_COMPLETION_WORDS = ("completion", "output")
_COLUMN = {1: ("prompt", "2nd"), 2: ("completion", "3rd")}

_DATE = re.compile(
    r"\b(?:19|20)\d{2}[-/.](?:0?[1-9]|1[0-2])\b|\b\d{1,2}[-/.]\d{1,2}[-/.](?:19|20)\d{2}\b"
    r"|\b(?:jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec)[a-z]*\.?\s+(?:\d{1,2},?\s+)?"
    r"(?:19|20)\d{2}\b", re.IGNORECASE)
_TOKEN_COUNT = re.compile(
    r"[~≈<>]?\s*\d[\d,]*(?:\.\d+)?\s*(?:(?P<suffix>[kKmM])\b)?\s*"
    r"(?P<word>tokens?|tok|ctx|context)?")
_LIMIT_WORDS = re.compile(r"\b(?:context|max(?:imum)?|limit|window)\b", re.IGNORECASE)


def _names(cell: str, words: tuple[str, ...]) -> bool:
    lowered = cell.lower()
    return any(w in lowered for w in words)


def _rows(n: int) -> str:
    return f"{n} row{'s' if n != 1 else ''}"


def not_a_price(cell: dict) -> Optional[str]:
    """What a table cell holds instead of a price, if it plainly holds a date,
    a context length or a token limit."""
    text = cell["text"]
    if "$" in text or cell["marker"]:
        return None
    if _DATE.search(text):
        return "a date"
    m = _TOKEN_COUNT.fullmatch(text)
    if m and (m.group("suffix") or m.group("word")):
        return "a context length or token limit"
    if any(c.isdecimal() for c in text) and _LIMIT_WORDS.search(text):
        return "a context length or token limit"
    return None


def applied(cell: dict) -> float:
    """Tokens per price as the parser read the cell: its own marker, else
    its column's header unit."""
    return tokens_per_price(cell["marker"] or cell["unit"])


def _blocks(lines: list[dict]) -> list[list[dict]]:
    """Runs of consecutive table lines ("|" lines), one per table."""
    out: list[list[dict]] = []
    previous = None
    for r in lines:
        if r["text"].strip().startswith("|"):
            if previous is not None and previous["line"] == r["line"] - 1 and out:
                out[-1].append(r)
            else:
                out.append([r])
            previous = r
    return out


def _nearby(lines: list[dict], block: list[dict]) -> list[dict]:
    """Prose around a table that may state its unit: up to three lines before
    it (up to and including a heading) and two after it (up to a heading)."""
    first, last = block[0]["line"] - 1, block[-1]["line"] - 1
    around: list[dict] = []
    i = first - 1
    while i >= 0 and len(around) < 3:
        s = lines[i]["text"].strip()
        if s.startswith("|"):
            break
        if s:
            around.append(lines[i])
            if s.startswith("#"):
                break
        i -= 1
    after = 0
    i = last + 1
    while i < len(lines) and after < 2:
        s = lines[i]["text"].strip()
        if s.startswith("|") or s.startswith("#"):
            break
        if s:
            around.append(lines[i])
            after += 1
        i += 1
    return around


def findings(lines: list[dict]) -> list[dict]:
    out: list[dict] = []
    for block in _blocks(lines):
        has_header = len(block) > 1 and block[1]["kind"] == "separator"
        rows = [r for r in (block[1:] if has_header else block) if r["kind"] == "table row"]
        bad_columns: set[int] = set()
        if has_header:
            shifted = _shifted(block[0], rows)
            out += shifted
            apart = {f["line"] for f in shifted}
            rows = [r for r in rows if r["line"] not in apart]
            stored = [r for r in rows if r["outcome"] == "stored"]
            if stored:
                bad_columns = _header_findings(lines, block[0], stored, out)
        for r in rows:
            out += _cell_findings(r, bad_columns)
    return out


def _shifted(header: dict, rows: list[dict]) -> list[dict]:
    """Rows with more cells than their header: a '|' inside a cell splits
    it, and every cell after it is read from the next column."""
    width = len(header["cells"])
    out = []
    for r in rows:
        cells = r["cells"]
        if len(cells) <= width:
            continue
        name = cells[0]["text"] + "|" + cells[1]["text"]
        out.append(finding(
            r["line"], ERROR, "shifted columns", entry(r),
            f"the row has {len(cells)} cells where its header has {width}: a '|' inside a cell "
            f"(such as the name {shown(repr(name))}) splits it, so the parser reads the price "
            f"columns from the cells {shown(repr(cells[1]['text']))} and "
            f"{shown(repr(cells[2]['text']))}",
            "take the '|' out of the cell (the parser splits a row at every '|', escaped or "
            "not)", lines=[header["line"]]))
    return out


def _cell_findings(r: dict, bad_columns: set[int]) -> list[dict]:
    out = []
    stored = entry(r)
    misread_units = []  # (column, phrase, tokens stated, tokens read)
    for col in (1, 2):
        if col in bad_columns or col >= len(r["cells"]):
            continue
        which, nth = _COLUMN[col]
        cell = r["cells"][col]
        text = shown(repr(cell["text"]))
        held = not_a_price(cell)
        if held:
            out.append(finding(
                r["line"], ERROR, "not a price", stored,
                f"the {nth} cell {text} holds {held}, but the parser reads the {nth} cell as the "
                f"{which} price" + ("" if stored is None else
                                    f" (stored as {dollars(r[which + '_per_1M'])} per 1M tokens)"),
                f"put the {which} price in the {nth} column and move {held} to a column after "
                "the third"))
            continue
        if stored is None:
            continue
        wrong = cell["number"] and misread_number(cell["text"], cell["number"])
        if wrong:
            out.append(misread(r, stored, f"the {nth} cell {text}", which, wrong))
            continue
        said = [(p, c) for p, c in unit_phrases(cell["text"]) if c != applied(cell)]
        if said:
            misread_units.append((col, *said[0], applied(cell)))
    if misread_units:
        which = " and ".join(_COLUMN[m[0]][0] for m in misread_units)
        _, phrase, count, read = misread_units[0]
        out.append(finding(
            r["line"], ERROR, "unit not read", stored,
            f"the {which} price{'s are' if len(misread_units) > 1 else ' is'} stated "
            f"{shown(repr(phrase))} ({per_tokens(count)}) but read {per_tokens(read)}: "
            f"estimates are {scale_effect(count, read)}",
            "write the unit as '/1K' or '/1M' (or 'per 1K' / 'per 1M')"))
    return out


def _header_findings(lines: list[dict], header: dict, stored: list[dict],
                     out: list[dict]) -> set[int]:
    """Findings about a table's header row; returns the columns it reported
    as holding no price (their cells are not examined one by one)."""
    head = [c["text"] for c in header["cells"]]
    head += [""] * (3 - len(head))
    first = entry_of(stored[0]["name"], *rates(stored[0]))
    span = f"lines {stored[0]['line']}-{stored[-1]['line']}" if len(stored) > 1 else (
        f"line {stored[0]['line']}")
    affected = f"{_rows(len(stored))} ({span})"
    related = [r["line"] for r in stored]
    c1, c2 = head[1], head[2]
    if _names(c1, _COMPLETION_WORDS) and _names(c2, _PROMPT_WORDS):
        out.append(finding(
            header["line"], ERROR, "not a price column", first,
            f"the 2nd column {shown(repr(c1))} and the 3rd {shown(repr(c2))} are swapped: the "
            f"parser reads the 2nd as the prompt price and the 3rd as the completion price, "
            f"for {affected}",
            "swap the two columns so that the prompt price comes second", lines=related))
        return {1, 2}
    bad: set[int] = set()
    for col, words in ((1, _PROMPT_WORDS), (2, _COMPLETION_WORDS)):
        if _names(head[col], words):
            continue
        which, nth = _COLUMN[col]
        bad.add(col)
        out.append(finding(
            header["line"], ERROR, "not a price column", first,
            f"the {nth} column {shown(repr(head[col]))} names no {which} price, but the parser "
            f"reads it as the {which} price of {affected}",
            f"make the {which} price the {nth} column and give it a header such as "
            f"'{which.capitalize()} ($/1M)'; other columns go after the third", lines=related))

    recognised = header["kind"] == "header"
    issues = {col: issue for col in (1, 2) if col not in bad
              if (issue := _header_unit(lines, header, head[col], col, stored, recognised))}
    if len(issues) == 2 and issues[1] == issues[2]:
        issues = {0: issues[1]}  # the same for both price columns: one finding
    for col, (severity, problem, unit, n, concerned) in issues.items():
        which = "prompt and completion" if col == 0 else _COLUMN[col][0]
        nth = "2nd and 3rd" if col == 0 else _COLUMN[col][1]
        example = " and ".join(f"'{w.capitalize()} ($/{unit})'" for w in which.split(" and "))
        fix = (f"state the unit in the header as '/1K' or '/1M', e.g. {example}" if recognised
               else f"name the columns like '| Model | Prompt ($/{unit}) | Completion ($/{unit}) "
               "|', so that the parser takes the row for a header and reads its unit")
        out.append(finding(header["line"], severity, "unit not read", first,
                           problem.format(which=which, nth=nth, n=n), fix, lines=concerned))
    return bad


def _header_unit(lines: list[dict], header: dict, cell: str, col: int, stored: list[dict],
                 recognised: bool) -> Optional[tuple]:
    """What goes wrong with the unit of one price column of a table, as
    (severity, problem with {which}, {nth} and {n} to fill in, the unit to
    write, the rows affected, the lines concerned), or None."""
    which = _COLUMN[col][0]
    tag = header["units"][which]
    plain = [r for r in stored if not (col < len(r["cells"]) and r["cells"][col]["marker"])]
    if not plain:
        return None  # every cell states its own unit
    n = _rows(len(plain))
    rows = tuple(r["line"] for r in plain)
    read = tokens_per_price(tag)
    phrases = unit_phrases(cell)
    if phrases and not (recognised and tag):
        phrase, count = phrases[0]
        said = _braced(phrase)
        unit = "1K" if count == 1e3 else "1M"
        if count != read:
            return (ERROR, f"the {{nth}} header says {said} ({per_tokens(count)}), which the "
                    f"parser does not read: the {{which}} prices of {{n}} are stored "
                    f"{per_tokens(read)}, so estimates are {scale_effect(count, read)}",
                    unit, n, rows)
        if recognised:
            return (WARNING, f"the {{nth}} header says {said}, which the parser does not read; "
                    "the {which} prices are right only because per 1M is what it assumes",
                    unit, n, ())
        return None
    if not recognised and tag == "1k":
        return (ERROR, "the parser did not take this row for a header (its first cell must "
                "contain 'model' and the 2nd or 3rd 'prompt' or 'completion'), so the per-1K "
                "unit of an earlier table still applies: the {which} prices of {n} are read per "
                "1K tokens, 1,000 times too high if they are per 1M", "1M", n, rows)
    if tag is not None:
        return None
    other = _COLUMN[3 - col][0]
    if recognised and header["units"][other] == "1k":
        # One price column says per 1K and the other nothing: the other is
        # read per 1M, which is almost never what the writer meant.
        return (ERROR, f"the {{nth}} header states no unit while the {other} header says per "
                "1K: the parser reads the {which} prices of {n} per 1M tokens, 1,000 times too "
                f"low if they are per 1K like the {other} prices", "1K", n, rows)
    for r in _nearby(lines, [header, *stored]):
        stated = [(p, c) for p, c in unit_phrases(r["text"]) if c != 1e6]
        if stated:
            phrase, count = stated[0]
            return (ERROR, f"line {r['line']} says {_braced(phrase)} ({per_tokens(count)}), but "
                    "the parser reads units only in the header row and the cells: the {which} "
                    f"prices of {{n}} are stored per 1M tokens, so estimates are "
                    f"{scale_effect(count, 1e6)}",
                    "1K" if count == 1e3 else "1M", n, (r["line"],) + rows)
    return None


def _braced(phrase: str) -> str:
    """A phrase quoted for the terminal, safe inside a str.format template."""
    return shown(repr(phrase)).replace("{", "{{").replace("}", "}}")
