"""``python -m quelm check``: what in a price list makes estimates wrong
(`quelm._checks`).  Exit status: 0 without errors, 1 with any, 2 when the
source cannot be read."""

from __future__ import annotations

from typing import Any

from quelm import BUNDLED_PRICING, _lines
from quelm._checks import check
from quelm._checks.render import as_json, render, summary
from quelm._terminal import PROG, SOURCE_HELP, Report
from quelm.commands import COMMANDS


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "check", prog=f"{PROG} check", help=COMMANDS["check"],
        description="Read a price list as the module does and report, line by line, what "
        "makes estimates wrong (error) or may (warning): a document that stores no entry, "
        "names that are no model id, the empty name, earlier names that capture a later "
        "name's variants, columns and cells that hold no prices, rows shifted by a '|' inside "
        "a cell, numbers read as other numbers (an exponent, a sign, a second point, a comma "
        "that separates no thousands, a free-text price taken from another number), units the "
        "parser does not read, implausible prices, replaced entries, the columns after the "
        "third, and lines that look like prices but stored nothing.  Exit status 0 without "
        "errors, 1 with any, 2 when the source cannot be read.")
    parser.add_argument("source", metavar="SOURCE", nargs="?", default=BUNDLED_PRICING,
                        help=SOURCE_HELP)
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")


def run(args: Any) -> Report:
    """The report's lines, and exit status 1 when it holds an error (2, as a
    CommandError, when the source cannot be read)."""
    pricing, lines = _lines.read(args.source, status=2)
    found = check(pricing, lines)
    text = [as_json(args.source, pricing, found)] if args.json else render(
        args.source, pricing, found)
    return Report(text, 1 if summary(found)[0] else 0)
