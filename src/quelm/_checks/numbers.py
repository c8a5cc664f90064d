"""Numbers the parser reads as other numbers than the one written.

Where the parser took its number (and, in free text, its label and price
text) comes from the parser's own report of the line; this only compares
that with what a person reads there.
"""

from __future__ import annotations

import re
from typing import Optional

from quelm._checks.finding import ERROR, finding
from quelm._terminal import dollars, shown

# The first number a person reads after a label, passing over the "1" of
# a unit such as "(per 1M)".
_FIRST_NUMBER = re.compile(r"(?<![\d.,])[\d,]*\.?\d+(?![\d.,]|\s*[kKmM]\b)")
_UNIT_AFTER = re.compile(r"\s*[kKmM]\b")
_EXPONENT = re.compile(r"[eE][-+]?\d")
_SECOND_POINT = re.compile(r"\.\d")
_SIGN_BEFORE = re.compile(r"(?:^|[^\w.])[-\u2212]\s*\$?\s*$")
_LOOSE_COMMA = re.compile(r",(?!\d{3}(?!\d))")
_OTHER = {"prompt": "completion", "completion": "prompt"}


def misread_number(text: str, span: tuple[int, int]) -> Optional[str]:
    """Why the number the parser took from `text` (at `span`) is not the
    number written there, if it plainly is not."""
    start, end = span
    number, before, after = text[start:end], text[:start], text[end:]
    unit = _UNIT_AFTER.match(after)
    if unit and any(c.isdecimal() for c in after[unit.end():]):
        return (f"the parser takes the first number, the {number!r} of "
                f"{number + after[:unit.end()]!r}, not the price after it")
    if _EXPONENT.match(after):
        return f"the parser reads no exponent: it takes {number!r} and drops the rest"
    if _SECOND_POINT.match(after):
        return f"the number has a second point: the parser takes {number!r} and drops the rest"
    if _SIGN_BEFORE.search(before):
        return f"the parser reads no sign: the negative price is stored as {number!r}"
    if _LOOSE_COMMA.search(number):
        return (f"the parser drops every comma, so {number!r} is read as "
                f"{number.replace(',', '')!r}: a comma only separates groups of three digits")
    return None


def free_text_misread(text: str, prices: dict, side: str) -> Optional[str]:
    """Why a free-text line's price for `side` is not the number written
    after its label, if it plainly is not; `prices` is where the parser
    found each label, its price text and number in the line `text`."""
    found = prices[side]
    label_end = found["label"][1]
    price_start, price_end = found["text"]
    price = text[price_start:price_end].strip()
    other = _OTHER[side]
    # Read past the other label, or from a number written before it ("$2
    # prompt, $8 completion": the other label then finds no price).
    if other in text[label_end:price_start].lower() or (
            prices[other] is None and other in price.lower()):
        return (f"the {side} price is read from {price!r}, past the word {other!r}: the parser "
                f"takes the number after the first '$' that follows {side!r}, wherever it stands")
    first = _FIRST_NUMBER.search(text, label_end)
    if first is not None and first.start() < price_start:
        return (f"the {side} price is read from {price!r}, not from the number "
                f"{first.group(0)!r} after {side!r}: the parser takes the number after the first "
                "'$' that follows the label, else the last number of the line")
    start, end = found["number"]
    return misread_number(text[price_start:price_end], (start - price_start, end - price_start))


def misread(report: dict, entry: Optional[dict], what: str, side: str, why: str) -> dict:
    """The finding of a price stored from another number than the one
    written."""
    return finding(
        report["line"], ERROR, "number misread", entry,
        f"{what} is stored as {dollars(report[side + '_per_1M'])} per 1M tokens: {shown(why)}",
        "write each price as '$' and a plain decimal number, e.g. '$0.0000015' or "
        "'$1,250.50' (no sign, no exponent; commas only between groups of three digits)")
