"""Units as people write them ("per 1,000 tokens", "/1K", "per million",
"$/MTok"), which the parser reads only in its own forms; and how far off a
price is when read in another unit."""

from __future__ import annotations

import re

# A unit as people write it: "per 1,000 tokens", "/1K", "per million",
# "$/MTok", "per token", "per 1000".
_UNIT_PHRASE = re.compile(
    r"(?:\bper\s*|/\s*)(?:(?P<num>\d[\d,]*(?:\.\d+)?)\s*)?(?P<mult>thousand|million|k|m)?"
    r"\s*(?P<tok>tokens?|tok)?(?![a-z\d])", re.IGNORECASE)


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


def tokens_per_price(tag: object) -> float:
    """The tokens a price is read per, by the parser's unit tag."""
    return 1e3 if tag == "1k" else 1e6


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
