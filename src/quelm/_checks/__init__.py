"""What in a price list makes estimates wrong: `check`'s findings.

The parser reads only documents written to its rules and says nothing when a
document is not.  Every finding here is read off the parser's own report of
each line (`_explain.explain`, the code `_parse_pricing` runs: the unit it
applied to each cell, where it found each number and label) and the module's
lookup (`_explain.match_model`, `_explain.first_contained`); each kind of
finding has a module of its own:

    names      names that no request looks like, the empty name
    shadows    earlier names that capture a later name's variants
    replaced   entries a later line replaces whole
    tables     columns and cells that hold no prices, units not read,
               rows shifted by a '|' inside a cell
    free_text  free-text prices read from another number, price-like lines
               that stored nothing
    columns    the columns after the third
    plausible  implausible prices (only where no error explains the line)

A finding is an error when estimates are wrong, a warning when they may be.
"""

from __future__ import annotations

from quelm import _lines
from quelm._checks import columns, free_text, names, plausible, replaced, shadows, tables
from quelm._checks.finding import ERROR, finding

__all__ = ["check"]


def check(pricing: dict, lines: list[dict]) -> list[dict]:
    """Every finding about a parse, in line order; one about the whole
    document (line 0) first."""
    rows = _lines.entries(pricing, lines)
    found = (names.findings(rows) + shadows.findings(pricing, rows)
             + replaced.findings(lines) + tables.findings(lines) + free_text.findings(lines)
             + free_text.nothing_findings(lines) + columns.findings(lines))
    flagged = {f["line"] for f in found if f["severity"] == ERROR}
    flagged |= {n for f in found if f["severity"] == ERROR for n in f["lines"]}
    found += plausible.findings(rows, flagged)
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
