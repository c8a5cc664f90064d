"""The price list's columns after the third: what each header names, and
how its cells read.

The module reads the model, prompt and completion columns only; a list may
add columns after them for the other token classes a maker bills.  A column
is known by the words of its header cell (any letter case, units aside):

    Cached prompt            cache reads                          $ per 1M
    Cache write              cache writes (the short lifetime:    $ per 1M
                             Anthropic's 5 minutes, OpenAI's 30)
    Cache write 1h, 12h      long-lived cache writes (Anthropic's $ per 1M
                             1 hour, OpenAI's 12 hours)
    Audio prompt             audio input                          $ per 1M
    Audio cached             cached audio input                   $ per 1M
    Audio completion         audio output                         $ per 1M
    Long context above       a prompt size in tokens: calls whose prompt
                             holds more tokens take the "Long" prices
    Long prompt, Long completion, Long cached prompt, Long cache write,
    Long cache write 1h      the long-context prices              $ per 1M
    Batch, Flex, Priority,   a service tier's price as a percentage of the
    Fast, Ultrafast          standard price; "discount" in the header
    (% of standard)          makes it a percentage off it instead
    US inference             the price of inference kept in the US
    (% of standard)          (Anthropic's data residency), likewise
    Off-peak (% of standard) the price outside the peak hours, likewise
    Peak hours (UTC)         when the base prices apply: "00:30-16:30", or
                             "Mon-Fri 01:00-04:00, Mon-Fri 06:00-10:00"

Prices are read by the module's own cell converter (a "/1K" in the header or
the cell counts as usual); this module only names the columns and reads the
cells that are no prices: token counts, percentages and hours.
"""

from __future__ import annotations

import re
from typing import NamedTuple, Optional

# Classes of tokens with a price column of their own, in the order they are
# shown; the prompt and completion prices are the list's second and third
# columns.
PRICED = ("cached", "cache_write", "cache_write_long", "audio_prompt", "audio_cached",
          "audio_completion")
LONG = ("prompt", "completion", "cached", "cache_write", "cache_write_long")
TIERS = ("batch", "flex", "priority", "fast", "ultrafast")

_WORDS = re.compile(r"[a-z]+|\d+\s*h\b|%")
_OFF_PEAK = re.compile(r"off[-\s]?peak")
# The audio classes, by the text class a header names beside "audio".
_AUDIO = {"cached": "audio_cached", "prompt": "audio_prompt", "completion": "audio_completion"}


class Column(NamedTuple):
    """What a header cell names.  `kind` is one of: "price" (`key` a class of
    PRICED), "long price" (`key` a class of LONG), "long above", "share"
    (`key` a service tier, "us" or "off-peak"), "peak hours"; or "unknown".
    A prompt or completion column after the third is of kind "base", and
    not read.  `discount` tells a share column that its cells are
    percentages off the standard price; `why` says what is missing from an
    unknown header."""

    kind: str
    key: str = ""
    discount: bool = False
    why: str = ""


def _class_of(words: set[str], text: str) -> Optional[str]:
    """The token class that a price header's words name, or None."""
    writes = bool(words & {"write", "writes", "creation"})
    long_lived = bool(re.search(r"\b(?:1|12)\s*h\b|\b(?:1|12)[-\s]hours?\b|one-hour|\b60\s*m\b|"
                                r"long[-\s]lived|extended", text))
    cached = bool(words & {"cached", "cache", "read", "reads", "hit"}) and not writes
    if writes:
        key = "cache_write_long" if long_lived else "cache_write"
    elif cached:
        key = "cached"
    elif words & {"prompt", "input"}:
        key = "prompt"
    elif words & {"completion", "output"}:
        key = "completion"
    else:
        return None
    if "audio" in words:
        return _AUDIO.get(key)
    return key


def column(header: str) -> Column:
    """The column that a header cell after the third names."""
    text = header.lower()
    words = set(_WORDS.findall(text))
    # "Off-peak" names the hours; its "off" says nothing of a discount.
    off_peak = bool(_OFF_PEAK.search(text))
    if off_peak:
        words = set(_WORDS.findall(_OFF_PEAK.sub(" ", text))) | {"peak"}
    if "peak" in words and not off_peak and words & {"hours", "hour", "time", "times"}:
        return Column("peak hours")
    tier = "off-peak" if off_peak else next((t for t in TIERS if t in words), None)
    if tier is None and "us" in words and words & {"inference", "only", "region", "residency"}:
        tier = "us"
    if tier is not None:
        discount = bool(words & {"discount", "off", "saving", "savings"})
        if discount or "%" in words or "share" in words or "standard" in words:
            return Column("share", tier, discount)
        return Column("unknown", why=f"a {tier} column holds a percentage: say '% of standard' "
                      "or 'discount' in its header")
    if "long" in words:
        if words & {"above", "over", "from", "threshold", "beyond"}:
            return Column("long above")
        key = _class_of(words, text)
        if key in LONG:
            return Column("long price", key)
        return Column("unknown", why="a long-context column names 'above' (the prompt size) "
                      "or a class: prompt, completion, cached prompt, cache write")
    key = _class_of(words, text)
    if key in PRICED:
        return Column("price", key)
    if key is not None:  # a prompt or completion column out of its place
        return Column("base", key, why="the prompt and completion prices are the 2nd and 3rd "
                      "columns")
    return Column("unknown", why="not a column quelm knows")


def token_count(text: str, number: Optional[tuple[int, int]], value: Optional[float]) -> Optional[int]:
    """A cell read as a count of tokens: a whole number, thousands separated
    by commas or not, optionally followed by "K" (thousand) or "M" (million)
    and the word "tokens" ("200,000", "200K", "1M tokens").  None for
    anything else.  `number` and `value` are what the cell converter read."""
    if number is None or value is None or number[0] != 0:
        return None
    rest = text[number[1]:].strip().lower()
    scale = 1
    if rest[:1] in ("k", "m"):
        scale = 1000 if rest[0] == "k" else 1_000_000
        rest = rest[1:].strip()
    if rest not in ("", "tokens", "token") or value != int(value):
        return None
    return int(value) * scale


def percentage(text: str, value: Optional[float]) -> Optional[float]:
    """A cell read as a percentage ("50%", "50 %" or "50"), 0 to 1000, as a
    fraction; None for anything else."""
    if value is None or not 0 <= value <= 1000:
        return None
    if not re.fullmatch(r"\s*\d[\d,]*(?:\.\d+)?\s*%?\s*", text):
        return None
    return value / 100.0


def share(col: Column, text: str, value: Optional[float]) -> Optional[float]:
    """The share of the standard price that a share column's cell gives:
    its percentage, or for a discount column what the discount leaves
    (a discount above 100% leaves nothing that is a price: None)."""
    found = percentage(text, value)
    if found is None or not col.discount:
        return found
    return 1.0 - found if found <= 1.0 else None


_DAYS = ("mon", "tue", "wed", "thu", "fri", "sat", "sun")
_WINDOW = re.compile(
    r"(?:(?P<d1>mon|tue|wed|thu|fri|sat|sun)[a-z]*(?:\s*-\s*(?P<d2>mon|tue|wed|thu|fri|sat|sun)"
    r"[a-z]*)?\s+)?(?P<h1>\d{1,2}):(?P<m1>\d{2})\s*-\s*(?P<h2>\d{1,2}):(?P<m2>\d{2})")


class Window(NamedTuple):
    """Part of the week, in UTC: on `days` (0 is Monday), from `start` to
    `end` minutes after midnight; a window that ends before it starts runs
    past midnight into the next day."""

    days: frozenset[int]
    start: int
    end: int


def peak_hours(text: str) -> Optional[tuple[Window, ...]]:
    """The windows of a peak-hours cell ("00:30-16:30", "Mon-Fri
    01:00-04:00, Mon-Fri 06:00-10:00"; UTC), or None when the cell is not
    written so.  A window without days holds on every day."""
    windows = []
    for part in text.lower().replace("utc", "").split(","):
        match = _WINDOW.fullmatch(part.strip())
        if match is None:
            return None
        h1, m1, h2, m2 = (int(match[g]) for g in ("h1", "m1", "h2", "m2"))
        if h1 > 24 or h2 > 24 or m1 > 59 or m2 > 59 or (h1 == 24 and m1) or (h2 == 24 and m2):
            return None
        if match["d1"] is None:
            days = frozenset(range(7))
        else:
            first = _DAYS.index(match["d1"])
            last = _DAYS.index(match["d2"]) if match["d2"] else first
            days = frozenset((first + i) % 7 for i in range((last - first) % 7 + 1))
        windows.append(Window(days, h1 * 60 + m1, h2 * 60 + m2))
    return tuple(windows) if windows else None


def in_windows(windows: tuple[Window, ...], weekday: int, minute: int) -> bool:
    """Whether a moment (its UTC weekday, 0 for Monday, and minutes after
    midnight) falls in one of the windows."""
    for w in windows:
        if w.start <= w.end:
            if weekday in w.days and w.start <= minute < w.end:
                return True
        elif (weekday in w.days and minute >= w.start) or \
                ((weekday - 1) % 7 in w.days and minute < w.end):
            return True
    return False
