"""``python -m quelm check``: what in a price list makes estimates wrong.

The parser reads only documents written to its rules and says nothing when a
document is not.  This reads the parser's own report of every line
(`_explain.explain`, the code `_parse_pricing` runs) and the module's lookup
(`_explain.match_model`, `_explain.first_contained`), and points out the
entries whose estimates are wrong (errors) or may be (warnings): a document
that stores nothing, names that no request looks like, an empty name,
earlier names that capture a later name's variants, columns and cells that
hold no prices, numbers the parser reads as other numbers, units the parser
does not read, implausible prices, replaced entries and price-like lines
that stored nothing.  Exit status: 0 without errors, 1 with any, 2 when the
source cannot be read.
"""

from __future__ import annotations

import argparse
import math
import re
import textwrap
from typing import Any, Iterable, Optional

import quelm
from quelm import _check_columns, _explain, _inspect
from quelm._terminal import Report, dollars, shown, shown_name, strict_json

PROG = "python -m quelm check"

ERROR, WARNING = "error", "warning"
WIDTH = 92  # columns of the text report

# Plausible prices, in dollars per 1M tokens.  The dearest models listed
# publicly ask a few hundred dollars per 1M completion tokens and the cheapest
# (small embedding models) about a cent, so a rate above $1,000 or a non-zero
# rate below $0.001 is almost surely a price in another unit or a number from
# another column.  Completion prices run from about the prompt price to some
# ten times it (reasoning models up to about 20x), so a factor of 100 either
# way points at swapped or mis-scaled columns.
MAX_PLAUSIBLE = 1000.0
MIN_PLAUSIBLE = 0.001
MAX_RATIO = 100.0

# First cells of header rows, which stored as a model name are no model.
HEADER_WORDS = frozenset({
    "model", "models", "model name", "model id", "name", "provider", "providers", "vendor",
    "company", "llm", "engine", "family", "api", "service", "product",
})

# What the parser reads as a unit: in a cell, "/1K", "per 1K" (and M); in a
# header cell, "1K" or "1M" anywhere.  Both case-sensitive in the markers.
_CELL_PER_1K = re.compile(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b")
_CELL_PER_1M = re.compile(r"/\s*1\s*[mM]\b|per\s+1\s*[mM]\b")

# A unit as people write it: "per 1,000 tokens", "/1K", "per million",
# "$/MTok", "per token", "per 1000".
_UNIT_PHRASE = re.compile(
    r"(?:\bper\s*|/\s*)(?:(?P<num>\d[\d,]*(?:\.\d+)?)\s*)?(?P<mult>thousand|million|k|m)?"
    r"\s*(?P<tok>tokens?|tok)?(?![a-z\d])", re.IGNORECASE)

_DATE = re.compile(
    r"\b(?:19|20)\d{2}[-/.](?:0?[1-9]|1[0-2])\b|\b\d{1,2}[-/.]\d{1,2}[-/.](?:19|20)\d{2}\b"
    r"|\b(?:jan|feb|mar|apr|may|jun|jul|aug|sep|oct|nov|dec)[a-z]*\.?\s+(?:\d{1,2},?\s+)?"
    r"(?:19|20)\d{2}\b", re.IGNORECASE)
_TOKEN_COUNT = re.compile(
    r"[~≈<>]?\s*\d[\d,]*(?:\.\d+)?\s*(?:(?P<suffix>[kKmM])\b)?\s*"
    r"(?P<word>tokens?|tok|ctx|context)?")
# The characters of model ids as providers write them.
_PLAIN_ID = re.compile(r"[\w\-.:/@+]+")
_LIMIT_WORDS = re.compile(r"\b(?:context|max(?:imum)?|limit|window)\b", re.IGNORECASE)

_PROMPT_WORDS = ("prompt", "input")
_COMPLETION_WORDS = ("completion", "output")
_COLUMN = {1: ("prompt", "2nd"), 2: ("completion", "3rd")}

# A dated variant of a model name, as providers publish them: what a request
# for a name's snapshot looks like to the lookup.
VARIANT_SUFFIX = "-2025-01-01"


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Registers ``check`` on the command line's subcommands."""
    parser = commands.add_parser(
        "check", prog=PROG, help="point out what in a price list makes estimates wrong",
        description="Read a price list as the module does and report, line by line, what "
        "makes estimates wrong (error) or may (warning): a document that stores no entry, "
        "names that are no model id, the "
        "empty name, earlier names that capture a later name's variants, columns and cells "
        "that hold no prices, numbers read as other numbers (an exponent, a sign, a second "
        "point, a comma that separates no thousands, a free-text price taken from another "
        "number), units the parser does not read, implausible prices, replaced "
        "entries, and lines that look like prices but stored nothing.  Exit status 0 without "
        "errors, 1 with any, 2 when the source cannot be read.")
    parser.add_argument("source", metavar="SOURCE", nargs="?", default=None,
                        help="the price list: a local Markdown file or a web address "
                        "(default: the price list shipped with quelm)")
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")
    return parser


# --- small readings of the document --------------------------------------

def cells(text: str) -> list[str]:
    """A table line's cells, split as the parser splits them."""
    return [c.strip() for c in text.strip().strip("|").split("|")]


def unit_phrases(text: str) -> list[tuple[str, float]]:
    """(phrase, tokens it prices) for each unit a person wrote in `text`."""
    out = []
    for m in _UNIT_PHRASE.finditer(text):
        num, mult, tok = m.group("num"), m.group("mult"), m.group("tok")
        count = float(num.replace(",", "")) if num else 1.0
        if mult:
            count *= 1e6 if mult.lower() in ("m", "million") else 1e3
        elif not tok and (count not in (1e3, 1e6) or text[m.end():].lstrip()[:1].isalpha()):
            continue  # "/05" of a date, "per 2", "per 1,000 requests": no unit of tokens
        if count > 0:
            out.append((m.group(0).strip(), count))
    return out


def cell_scale(cell: str, tag: Optional[str]) -> float:
    """Tokens per price as the parser applies it to a table cell."""
    if _CELL_PER_1K.search(cell):
        return 1e3
    if _CELL_PER_1M.search(cell):
        return 1e6
    return 1e3 if tag == "1k" else 1e6


def names_column(cell: str, words: Iterable[str]) -> bool:
    lowered = cell.lower()
    return any(w in lowered for w in words)


def not_a_price(cell: str) -> Optional[str]:
    """What a table cell holds instead of a price, if it plainly holds a date,
    a context length or a token limit."""
    if "$" in cell or _CELL_PER_1K.search(cell) or _CELL_PER_1M.search(cell):
        return None
    if _DATE.search(cell):
        return "a date"
    m = _TOKEN_COUNT.fullmatch(cell)
    if m and (m.group("suffix") or m.group("word")):
        return "a context length or token limit"
    if any(c.isdecimal() for c in cell) and _LIMIT_WORDS.search(cell):
        return "a context length or token limit"
    return None


# The number the parser takes from a price text: the first run of digits
# and commas with at most one point; no sign, no exponent.
_NUMBER = re.compile(r"\$?([\d,]*\.?\d+)")
# What a free-text line's price is read from, after its label.
_LABELLED = {side: re.compile(side + r"[^$]*\$?([\d,]*\.?\d+[^,]*)", re.IGNORECASE)
             for side in ("prompt", "completion")}
# The first number a person reads after a label, passing over the "1" of
# a unit such as "(per 1M)".
_FIRST_NUMBER = re.compile(r"(?<![\d.,])[\d,]*\.?\d+(?![\d.,]|\s*[kKmM]\b)")


def misread_number(text: str) -> Optional[str]:
    """Why the number that the parser takes from a price text is not the
    number written there, if it plainly is not."""
    m = _NUMBER.search(text)
    if m is None:
        return None
    number, before, after = m.group(1), text[:m.start()], text[m.end():]
    unit = re.match(r"\s*[kKmM]\b", after)
    if unit and _NUMBER.search(after):
        return (f"the parser takes the first number, the {number!r} of "
                f"{number + after[:unit.end()]!r}, not the price after it")
    if re.match(r"[eE][-+]?\d", after):
        return f"the parser reads no exponent: it takes {number!r} and drops the rest"
    if re.match(r"\.\d", after):
        return f"the number has a second point: the parser takes {number!r} and drops the rest"
    if re.search(r"(?:^|[^\w.])[-\u2212]\s*\$?\s*$", before):
        return f"the parser reads no sign: the negative price is stored as {number!r}"
    if re.search(r",(?!\d{3}(?!\d))", number):
        return (f"the parser drops every comma, so {number!r} is read as "
                f"{number.replace(',', '')!r}: a comma only separates groups of three digits")
    return None


def free_text_misread(rest: str, side: str) -> Optional[str]:
    """Why a free-text line's price for `side` is not the number written
    after its label, if it plainly is not; `rest` is the line after the
    model name."""
    m = _LABELLED[side].search(rest)
    if m is None:
        return None
    other = "completion" if side == "prompt" else "prompt"
    if other in rest[m.start() + len(side):m.end()].lower():
        return (f"the {side} price is read from {m.group(1).strip()!r}, past the word {other!r}: "
                f"the parser takes the number after the first '$' that follows {side!r}, "
                "wherever it stands")
    first = _FIRST_NUMBER.search(rest, m.start() + len(side))
    if first is not None and first.start() < m.start(1):
        return (f"the {side} price is read from {m.group(1).strip()!r}, not from the number "
                f"{first.group(0)!r} after {side!r}: the parser takes the number after the first "
                "'$' that follows the label, else the last number of the line")
    return misread_number(m.group(1))


def per_tokens(count: float) -> str:
    if count == 1:
        return "per token"
    if count == 1e3:
        return "per 1K tokens"
    if count == 1e6:
        return "per 1M tokens"
    return f"per {count:,.0f} tokens"


def scale_effect(stated: float, applied: float) -> str:
    """How far off a price stated per `stated` tokens is when read per
    `applied` tokens."""
    factor = applied / stated
    if factor >= 1:
        return f"{factor:,.0f} times too low"
    return f"{1 / factor:,.0f} times too high"


def clean_name(name: str) -> tuple[list[str], str]:
    """(what is wrong with a stored name as a model id, the id it should be)."""
    if _PLAIN_ID.fullmatch(name) and "__" not in name and name not in HEADER_WORDS:
        return [], name
    problems = []
    # Terminal escape sequences whole, then any other control character.
    cleaned = "".join(c for c in re.sub(r"\x1b\[[0-9;?]*[ -/]*[@-~]", "", name)
                      if c.isprintable() or c.isspace())
    if cleaned != name:
        problems.append("control characters")
    link = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", cleaned)
    if link != cleaned:
        problems.append("a Markdown link")
        cleaned = link
    marks = []
    for mark in ("**", "__", "~~", "`", "[", "]", "*", "<", ">"):
        if mark in cleaned:
            marks.append(mark)
            cleaned = cleaned.replace(mark, "")
    if marks:
        problems.append("Markdown marks (" + " ".join(marks) + ")")
    note = re.sub(r"\s*\([^)]*\)", "", cleaned)
    if note != cleaned:
        problems.append("a parenthesised note")
        cleaned = note
    cleaned = cleaned.strip()
    if any(c.isspace() for c in cleaned):
        problems.append("whitespace")
        cleaned = re.sub(r"\s+", "-", cleaned)
    if cleaned in HEADER_WORDS:
        problems = ["a header word, not a model"]
    return problems, cleaned


# --- findings ---------------------------------------------------------------

def finding(line: int, severity: str, kind: str, entry: Optional[dict], problem: str, fix: str,
            lines: Iterable[int] = ()) -> dict:
    return {"line": line, "severity": severity, "kind": kind, "entry": entry,
            "problem": problem, "fix": fix, "lines": sorted(set(lines))}


def entry_of(name: str, prompt: Optional[float], completion: Optional[float]) -> dict:
    return {"name": name, "prompt_per_1M": prompt, "completion_per_1M": completion}


def _rates(record: dict) -> tuple:
    return (record["prompt_per_1M"], record["completion_per_1M"])


def name_findings(rows: list[dict]) -> list[dict]:
    out = []
    for e in rows:
        name = e["name"]
        entry = entry_of(name, *_rates(e))
        if name == "":
            out.append(finding(
                e["line"], ERROR, "empty name", entry,
                "the empty name is contained in every model name, so every request that no "
                "earlier name matches gets this entry's price instead of no match",
                "write the model id in the first cell, or delete the row"))
            continue
        problems, cleaned = clean_name(name)
        if not problems:
            continue
        if problems == ["a header word, not a model"] and e["kind"] != "table row":
            out.append(finding(
                e["line"], ERROR, "bad name", entry,
                f"{shown(repr(name))} is no model: a line of prose was read as its price line, "
                "and requests containing the word get its prices",
                "reword the line so that it does not begin with a word and ':' or '-'"))
            continue
        if problems == ["a header word, not a model"]:
            out.append(finding(
                e["line"], ERROR, "bad name", entry,
                f"{shown(repr(name))} is a header word: a header row that the parser did not take "
                "for one (its first cell must contain 'model' and the 2nd or 3rd 'prompt' or "
                "'completion') was stored as a model, from the numbers in its cells, and its "
                "units were not applied to the rows below",
                "name the columns like '| Model | Prompt ($/1M) | Completion ($/1M) |'"))
            continue
        out.append(finding(
            e["line"], ERROR, "bad name", entry,
            f"the name holds {', '.join(problems)}: a request for {shown(repr(cleaned))} matches it "
            "only by the substring rule (and only if no earlier name matches), and its dated "
            f"variants such as {shown(repr(cleaned + VARIANT_SUFFIX))} never reach it",
            f"write the bare model id {shown(repr(cleaned))}"))
    return out


def shadow_findings(pricing: dict, rows: list[dict], lines: list[dict]) -> list[dict]:
    """Later names whose variants the lookup gives to an earlier name that
    they contain.  `first_contained` finds the candidates natively (through
    an index, not by comparing every pair); the lookup itself then says which
    entry a dated variant of the later name gets.  A name's place in the
    table is that of the first line that stored it."""
    placed: dict[str, int] = {}
    for r in lines:
        if r["outcome"] == "stored":
            placed.setdefault(r["name"], r["line"])
    # Names that are no model id get an error of their own.
    named = [e for e in rows if e["name"] != "" and not clean_name(e["name"])[0]]
    earlier = _explain.first_contained([e["name"] for e in named])
    by_name = {e["name"]: e for e in rows}
    out = []
    for e, first in zip(named, earlier):
        if first is None:
            continue
        variant = e["name"] + VARIANT_SUFFIX
        match = _explain.match_model(pricing, variant)
        if match is None or match[0] in ("", e["name"]):
            continue
        captor = by_name[match[0]]
        if _rates(captor) == _rates(e):
            continue  # the variants get the same price either way
        here, there = placed[e["name"]], placed[captor["name"]]
        out.append(finding(
            e["line"], WARNING, "shadowed", entry_of(e["name"], *_rates(e)),
            f"{shown(repr(captor['name']))} (line {there}) comes first in the table and is "
            f"contained in {shown(repr(e['name']))}, so requests for its dated or prefixed "
            f"variants (such as {shown(repr(variant))}) get the price of "
            f"{shown(repr(captor['name']))} ({dollars(captor['prompt_per_1M'])} / "
            f"{dollars(captor['completion_per_1M'])}) instead of this one",
            f"move line {here} above line {there} (longer names first)",
            lines=[there] + ([here] if here != e["line"] else [])))
    return out


def replaced_findings(lines: list[dict]) -> list[dict]:
    last: dict[str, dict] = {}
    out = []
    for r in lines:
        if r["outcome"] != "stored":
            continue
        before = last.get(r["name"])
        last[r["name"]] = r
        if before is None or _rates(before) == _rates(r):
            continue
        out.append(finding(
            r["line"], WARNING, "replaced", entry_of(r["name"], *_rates(r)),
            f"{shown_name(r['name'])} was stored on line {before['line']} with "
            f"{dollars(before['prompt_per_1M'])} / {dollars(before['completion_per_1M'])}; this "
            "line replaces that entry whole, so the earlier prices are never used",
            "delete the line that is out of date, or give the two models different names",
            lines=[before["line"]]))
    return out


def plausibility_findings(rows: list[dict], flagged: set[int]) -> list[dict]:
    out = []
    for e in rows:
        if e["line"] in flagged:
            continue  # already explained by an error on its line
        prompt, completion = _rates(e)
        odd = []
        for label, value in (("prompt", prompt), ("completion", completion)):
            if value is None:
                continue
            if not math.isfinite(value) or value > MAX_PLAUSIBLE:
                odd.append(f"the {label} price {dollars(value)} per 1M tokens is above "
                           f"${MAX_PLAUSIBLE:,.0f}")
            elif 0 < value < MIN_PLAUSIBLE:
                odd.append(f"the {label} price {dollars(value)} per 1M tokens is below "
                           f"${MIN_PLAUSIBLE}")
        if prompt and completion and not odd:
            ratio = completion / prompt
            if ratio > MAX_RATIO or ratio < 1 / MAX_RATIO:
                odd.append(f"the completion price is {ratio:,.4g} times the prompt price")
        if odd:
            out.append(finding(
                e["line"], WARNING, "implausible price", entry_of(e["name"], prompt, completion),
                "; ".join(odd) + ": likely a price per 1K tokens or per token read as per 1M, "
                "a number from another column, or swapped columns",
                "check the numbers and their unit against the provider's page; state the unit "
                "as '/1M' or '/1K' in the header or the cell"))
    return out


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
    around = []
    i = first - 1
    while i >= 0 and len(around) < 3:
        r = lines[i]
        s = r["text"].strip()
        if s.startswith("|"):
            break
        if s:
            around.append(r)
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


def table_findings(lines: list[dict]) -> list[dict]:
    out = []
    for block in _blocks(lines):
        has_header = len(block) > 1 and block[1]["kind"] == "separator"
        rows = [r for r in block[1:] if r["kind"] == "table row"] if has_header else [
            r for r in block if r["kind"] == "table row"]
        stored = [r for r in rows if r["outcome"] == "stored"]
        bad_columns: set[int] = set()
        if has_header and stored:
            bad_columns = _header_findings(lines, block[0], stored, out)
        for r in rows:
            row_cells = cells(r["text"])
            entry = entry_of(r["name"], *_rates(r)) if r["outcome"] == "stored" else None
            misread = []  # (column, phrase, tokens stated, tokens read)
            for col in (1, 2):
                if col in bad_columns or col >= len(row_cells):
                    continue
                which, nth = _COLUMN[col]
                cell = row_cells[col]
                held = not_a_price(cell)
                if held:
                    out.append(finding(
                        r["line"], ERROR, "not a price", entry,
                        f"the {nth} cell {shown(repr(cell))} holds {held}, but the parser reads "
                        f"the {nth} cell as the {which} price"
                        + ("" if entry is None else
                           f" (stored as {dollars(r[which + '_per_1M'])} per 1M tokens)"),
                        f"put the {which} price in the {nth} column and move {held} to a column "
                        "after the third"))
                    continue
                wrong = misread_number(cell) if entry is not None else None
                if wrong:
                    out.append(_misread(r, entry, f"the {nth} cell {shown(repr(cell))}", which,
                                        wrong))
                    continue
                applied = cell_scale(cell, r["units"][which])
                said = [(p, c) for p, c in unit_phrases(cell) if c != applied]
                if said and entry is not None:
                    misread.append((col, *said[0], applied))
            if misread:
                which = " and ".join(_COLUMN[m[0]][0] for m in misread)
                _, phrase, count, applied = misread[0]
                out.append(finding(
                    r["line"], ERROR, "unit not read", entry,
                    f"the {which} price{'s are' if len(misread) > 1 else ' is'} stated "
                    f"{shown(repr(phrase))} ({per_tokens(count)}) but read {per_tokens(applied)}: "
                    f"estimates are {scale_effect(count, applied)}",
                    "write the unit as '/1K' or '/1M' (or 'per 1K' / 'per 1M')"))
    return out


def _header_findings(lines: list[dict], header: dict, stored: list[dict],
                     out: list[dict]) -> set[int]:
    """Findings about a table's header row; returns the columns it reported
    as holding no price (their cells are not examined one by one)."""
    head = cells(header["text"])
    head += [""] * (3 - len(head))
    first = entry_of(stored[0]["name"], *_rates(stored[0]))
    span = f"lines {stored[0]['line']}-{stored[-1]['line']}" if len(stored) > 1 else (
        f"line {stored[0]['line']}")
    affected = f"{len(stored)} row{'s' if len(stored) != 1 else ''} ({span})"
    bad: set[int] = set()
    c1, c2 = head[1], head[2]
    if names_column(c1, _COMPLETION_WORDS) and names_column(c2, _PROMPT_WORDS):
        out.append(finding(
            header["line"], ERROR, "not a price column", first,
            f"the 2nd column {shown(repr(c1))} and the 3rd {shown(repr(c2))} are swapped: the "
            f"parser reads the 2nd as the prompt price and the 3rd as the completion price, "
            f"for {affected}",
            "swap the two columns so that the prompt price comes second",
            lines=[r["line"] for r in stored]))
        return {1, 2}
    for col, words in ((1, _PROMPT_WORDS), (2, _COMPLETION_WORDS)):
        if names_column(head[col], words):
            continue
        which, nth = _COLUMN[col]
        bad.add(col)
        out.append(finding(
            header["line"], ERROR, "not a price column", first,
            f"the {nth} column {shown(repr(head[col]))} names no {which} price, but the parser "
            f"reads it as the {which} price of {affected}",
            f"make the {which} price the {nth} column and give it a header such as "
            f"'{which.capitalize()} ($/1M)'; other columns go after the third",
            lines=[r["line"] for r in stored]))

    recognised = header["kind"] == "header"
    issues = {col: _header_unit(lines, header, head[col], col, stored, recognised)
              for col in (1, 2) if col not in bad}
    issues = {col: issue for col, issue in issues.items() if issue}
    if len(issues) == 2 and issues[1] == issues[2]:
        issues = {0: issues[1]}  # the same for both price columns: one finding
    for col, (severity, problem, unit, n, related) in issues.items():
        which = "prompt and completion" if col == 0 else _COLUMN[col][0]
        nth = "2nd and 3rd" if col == 0 else _COLUMN[col][1]
        example = " and ".join(f"'{w.capitalize()} ($/{unit})'" for w in which.split(" and "))
        fix = (f"state the unit in the header as '/1K' or '/1M', e.g. {example}" if recognised
               else f"name the columns like '| Model | Prompt ($/{unit}) | Completion ($/{unit}) "
               "|', so that the parser takes the row for a header and reads its unit")
        out.append(finding(header["line"], severity, "unit not read", first,
                           problem.format(which=which, nth=nth, n=n), fix, lines=related))
    return bad


def _header_unit(lines: list[dict], header: dict, cell: str, col: int, stored: list[dict],
                 recognised: bool) -> Optional[tuple]:
    """What goes wrong with the unit of one price column of a table, as
    (severity, problem with {which}, {nth} and {n} to fill in, the unit to
    write, the rows affected, the lines concerned), or None."""
    which = _COLUMN[col][0]
    tag = header["units"][which]
    plain = [r for r in stored
             if not (_CELL_PER_1K.search(_cell(r, col)) or _CELL_PER_1M.search(_cell(r, col)))]
    if not plain:
        return None  # every cell states its own unit
    n = f"{len(plain)} row{'s' if len(plain) != 1 else ''}"
    rows = tuple(r["line"] for r in plain)
    applied = 1e3 if tag == "1k" else 1e6
    phrases = unit_phrases(cell)
    if phrases and not (recognised and tag):
        phrase, count = phrases[0]
        said = shown(repr(phrase)).replace("{", "{{").replace("}", "}}")
        unit = "1K" if count == 1e3 else "1M"
        if count != applied:
            return (ERROR, f"the {{nth}} header says {said} ({per_tokens(count)}), which the "
                    f"parser does not read: the {{which}} prices of {{n}} are stored "
                    f"{per_tokens(applied)}, so estimates are {scale_effect(count, applied)}",
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
    for r in _nearby(lines, [header, *stored]):
        said = [(p, c) for p, c in unit_phrases(r["text"]) if c != 1e6]
        if said:
            phrase, count = said[0]
            text = shown(repr(phrase)).replace("{", "{{").replace("}", "}}")
            return (ERROR, f"line {r['line']} says {text} ({per_tokens(count)}), but the parser "
                    "reads units only in the header row and the cells: the {which} prices of "
                    f"{{n}} are stored per 1M tokens, so estimates are {scale_effect(count, 1e6)}",
                    "1K" if count == 1e3 else "1M", n, (r["line"],) + rows)
    return None


def _cell(report: dict, col: int) -> str:
    row = cells(report["text"])
    return row[col] if col < len(row) else ""


def free_text_findings(lines: list[dict]) -> list[dict]:
    out = []
    for r in lines:
        if r["kind"] != "free text" or r["outcome"] != "stored":
            continue
        entry = entry_of(r["name"], *_rates(r))
        head = re.match(r"[\w\-._/:@]+\s*[:\-]\s*", r["text"].strip())
        rest = r["text"].strip()[head.end() if head else 0:]
        wrong = [(side, why) for side in ("prompt", "completion")
                 if (why := free_text_misread(rest, side))]
        for side, why in wrong:
            out.append(_misread(r, entry, f"the {side} price of the line", side, why))
        if wrong:
            continue
        if _CELL_PER_1K.search(r["text"]):
            continue
        for phrase, count in unit_phrases(r["text"]):
            if count != 1e6:
                out.append(finding(
                    r["line"], ERROR, "unit not read", entry_of(r["name"], *_rates(r)),
                    f"the prices are stated {shown(repr(phrase))} ({per_tokens(count)}), which "
                    f"the parser does not read: they are stored per 1M tokens, so estimates are "
                    f"{scale_effect(count, 1e6)}",
                    "write the unit as '/ 1K tokens' or '/ 1M tokens' after each price"))
                break
    return out


def _misread(report: dict, entry: dict, what: str, side: str, why: str) -> dict:
    return finding(
        report["line"], ERROR, "number misread", entry,
        f"{what} is stored as {dollars(report[side + '_per_1M'])} per 1M tokens: "
        f"{shown(why)}",
        "write each price as '$' and a plain decimal number, e.g. '$0.0000015' or "
        "'$1,250.50' (no sign, no exponent; commas only between groups of three digits)")


def _free_text_form(report: dict) -> str:
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
    by_line = {r["line"]: r for r in lines}
    out = []
    for item in _inspect.stored_nothing(lines):
        if not _inspect._looks_priced(item["text"]):
            continue  # a note or a header row, not a price
        report = by_line[item["line"]]
        out.append(finding(
            item["line"], WARNING, "stored nothing", None,
            f"{item['explanation']}: requests for this model get another entry's price, or none",
            f"write it as {shown(repr(_free_text_form(report)))} (with the unit the prices are "
            "in), or as a row of a table with a model, a prompt and a completion column"))
    return out


def check(pricing: dict, lines: list[dict]) -> list[dict]:
    """Every finding about a parse, in line order; one about the whole
    document (line 0) first."""
    rows = _inspect.entries(pricing, lines)
    found = (name_findings(rows) + shadow_findings(pricing, rows, lines) + replaced_findings(lines)
             + table_findings(lines) + free_text_findings(lines) + nothing_findings(lines)
             + _check_columns.findings(lines))
    flagged = {f["line"] for f in found if f["severity"] == ERROR}
    flagged |= {n for f in found if f["severity"] == ERROR for n in f["lines"]}
    found += plausibility_findings(rows, flagged)
    if not pricing:
        # Nothing to price with: every estimate from this source is zero.
        found.append(finding(
            0, ERROR, "no prices", None,
            "the document stores no entry, so no model matches and every estimate from it is "
            "0; this is what a page around the list (HTML) or the wrong file gives",
            "name the Markdown price list itself (for a web page, its raw file), with a table "
            "whose header row has a model, a prompt and a completion column"))
    found.sort(key=lambda f: (f["line"], f["severity"] != ERROR))
    return found


# --- output -----------------------------------------------------------------

def _entry_text(entry: Optional[dict]) -> str:
    if entry is None:
        return "nothing stored"
    return (f"{shown_name(entry['name'])}: prompt {dollars(entry['prompt_per_1M'])}, "
            f"completion {dollars(entry['completion_per_1M'])} per 1M tokens")


def summary(found: list[dict]) -> tuple[int, int]:
    errors = sum(f["severity"] == ERROR for f in found)
    return errors, len(found) - errors


def render(source: str, pricing: dict, found: list[dict]) -> list[str]:
    errors, warnings = summary(found)
    out = [f"{shown(source)}: {len(pricing)} model{'' if len(pricing) == 1 else 's'}, "
           f"{errors} error{'' if errors == 1 else 's'}, "
           f"{warnings} warning{'' if warnings == 1 else 's'}"]
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


def run(args: argparse.Namespace) -> Report:
    """The report's lines, and exit status 1 when it holds an error (2, as a
    CommandError, when the source cannot be read)."""
    source = args.source if args.source is not None else quelm.BUNDLED_PRICING
    pricing, lines = _inspect.read(source, status=2)
    found = check(pricing, lines)
    text = [as_json(source, pricing, found)] if args.json else render(source, pricing, found)
    return Report(text, 1 if summary(found)[0] else 0)
