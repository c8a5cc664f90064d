"""Text for a terminal: errors, safe names, dollar amounts and aligned
columns."""

from __future__ import annotations

import unicodedata
from typing import Optional, Sequence


class CommandError(Exception):
    """A failure the command reports on standard error, exiting with 1."""


def describe(exc: BaseException) -> str:
    """An error's own text, or its type's name when it has none."""
    return shown(str(exc)) or type(exc).__name__


def shown(text: str) -> str:
    """`text` safe to print: characters that are not printable (controls,
    escape sequences, line breaks) are written as backslash escapes, so a
    price list cannot move the cursor or recolour the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def shown_name(name: str) -> str:
    """A model name as shown in a table: the empty name is spelled out."""
    return shown(name) if name else "(empty name)"


def width(text: str) -> int:
    """Terminal columns taken by `text`: wide East Asian characters take two,
    combining marks none."""
    total = 0
    for c in text:
        if unicodedata.combining(c):
            continue
        total += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return total


def dollars(amount: Optional[float]) -> str:
    """A price or cost in dollars, "-" for none: at least two decimals, as
    many more as the amount needs up to eight, and thousands separated.
    A non-zero amount below that precision keeps three significant digits
    rather than showing as zero."""
    if amount is None:
        return "-"
    if amount != 0 and abs(amount) < 5e-9:
        return f"{amount:.3g}"
    text = f"{amount:,.8f}"
    if "." in text:
        whole, _, decimals = text.partition(".")
        decimals = decimals.rstrip("0").ljust(2, "0")
        text = f"{whole}.{decimals}"
    return text


def count(tokens: int) -> str:
    return f"{tokens:,}"


def table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> list[str]:
    """Lines of a table aligned by display width; `right` says which columns
    are right-aligned (numbers).  Cells must already be safe to print."""
    widths = [max([width(h)] + [width(r[i]) for r in rows]) for i, h in enumerate(header)]

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            pad = " " * (widths[i] - width(cell))
            out.append(pad + cell if right[i] else cell + pad)
        return "  ".join(out).rstrip()

    return [line(header)] + [line(r) for r in rows]
