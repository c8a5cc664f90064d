"""A price list as the package reads it: every entry of the module's table,
with the prices of the columns after the third.

The list is read once, by the module's own parser (`_explain.explain`, the
code `_parse_pricing` runs, reporting every cell it converted): the prompt
and completion prices are the module's table itself, and the other prices
are the same converter's readings of the later cells, under their headers'
units.  No price is parsed here.
"""

from __future__ import annotations

import functools
import os
from typing import Any, Iterator, Mapping, NamedTuple, Optional, Sequence, Union

from quelm import _columns


class Entry(NamedTuple):
    """One model's prices, in dollars per 1M tokens.

    `rates` holds the price of each token class the entry states: "prompt"
    and "completion" (the module's two), and those of `_columns.PRICED`.
    `long_above` is the prompt size above which `long` (prices by class of
    `_columns.LONG`) apply; `shares` maps a service tier ("batch", "flex",
    ...) or "off-peak" to its price as a fraction of the standard price;
    `peak_hours`, when given, are the times outside which "off-peak"
    applies.  `problems` lists cells that could not be read (a threshold
    that is no token count, say); what they would have priced is priced
    without them, and said so.  `exact_only`: the entry is found by its
    name alone, not by its canonical form (see EXACT_ONLY)."""

    name: str
    rates: Mapping[str, float]
    long_above: Optional[int] = None
    long: Mapping[str, float] = {}
    shares: Mapping[str, float] = {}
    peak_hours: Optional[tuple[_columns.Window, ...]] = None
    problems: tuple[str, ...] = ()
    line: int = 0
    exact_only: bool = False

    @property
    def prices(self) -> tuple:
        """Everything that prices a call, the name aside."""
        return self.rates, self.long_above, self.long, self.shares, self.peak_hours

    @property
    def plain(self) -> bool:
        """Whether a call's prices depend on nothing but its service tier
        and region: no long-context price, no peak hours."""
        return self.long_above is None and self.peak_hours is None


# A heading (a "#" line) holding these words marks the entries under it,
# until the next heading, as found by their exact names only: a cloud's
# ids, at the cloud's prices, which another seller's spelling of the same
# model must not reach through its canonical form.
EXACT_ONLY = "(exact names)"


class PriceList:
    """The entries of one price list, by name in table order; `table` is
    the module's own table of the same document (what `_parse_pricing`
    gives for it)."""

    def __init__(self, source: str, table: dict, entries: dict[str, Entry]) -> None:
        self.source = source
        self.table = table
        self.entries = entries
        self.found: dict[str, Optional[Entry]] = {}  # the lookup's answers, by name asked
        self.index: Optional[dict[str, Optional[Entry]]] = None  # the lookup's, built once
        self.rates: dict[Any, Any] = {}  # the prices of an entry under some conditions
        # By name asked: the prices of a call of that name in no tier and no
        # region, when they depend on nothing else (no long context, no
        # peak hours).
        self.standard: dict[str, Any] = {}

    def __len__(self) -> int:
        return len(self.entries)

    def __iter__(self) -> Iterator[str]:
        return iter(self.entries)

    def __getitem__(self, name: str) -> Entry:
        return self.entries[name]

    def __contains__(self, name: object) -> bool:
        return name in self.entries

    def __repr__(self) -> str:
        return f"<PriceList {self.source!r}: {len(self.entries)} entries>"


def _extras(columns: list[_columns.Column], cells: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """The later cells of one table row, read by their columns."""
    rates: dict[str, float] = {}
    long: dict[str, float] = {}
    shares: dict[str, float] = {}
    out: dict[str, Any] = {"rates": rates, "long": long, "shares": shares}
    problems = []
    for col, cell in zip(columns, cells):
        text, value = cell["text"], cell["value"]
        if not text or col.kind == "unknown":
            continue
        if col.kind == "price":
            if value is not None:
                rates[col.key] = value
        elif col.kind == "long price":
            if value is not None:
                long[col.key] = value
        elif col.kind == "long above":
            count = _columns.token_count(text, cell["number"], value)
            if count is None:
                problems.append(f"long context threshold {text!r} is no token count")
            else:
                out["long_above"] = count
        elif col.kind == "share":
            share = _columns.share(col, text, value)
            if share is None:
                problems.append(f"{col.key} share {text!r} is no percentage"
                                + (" from 0% to 100%" if col.discount else ""))
            else:
                shares[col.key] = share
        elif col.kind == "peak hours":
            windows = _columns.peak_hours(text)
            if windows is None:
                problems.append(f"peak hours {text!r} are not written as 'HH:MM-HH:MM'")
            else:
                out["peak_hours"] = windows
    # Prices that apply only with a cell that is missing are never used.
    given = {col.kind for col, cell in zip(columns, cells) if cell["text"]}
    if long and "long above" not in given:
        problems.append("long-context prices without a 'Long context above' threshold: not used")
    if "off-peak" in shares and "peak hours" not in given:
        problems.append("an off-peak share without peak hours: not used")
    if problems:
        out["problems"] = tuple(problems)
    return out


def from_report(source: str, table: dict, lines: Sequence[Mapping[str, Any]]) -> PriceList:
    """The price list of a document from the parser's table and line
    reports: each entry's prompt and completion prices from the table, its
    other prices from the later cells of the line that stored it last (a
    later line replaces an entry whole, free text included)."""
    columns: list[_columns.Column] = []
    extras: dict[str, tuple[int, bool, dict[str, Any]]] = {}
    exact_only = False
    for report in lines:
        kind = report["kind"]
        if kind == "comment":
            exact_only = EXACT_ONLY in report["text"].lower()
        elif kind == "header":
            columns = [_columns.column(c["text"]) for c in report["cells"][3:]]
        elif report["outcome"] == "stored":
            cells = report["cells"][3:] if kind == "table row" else ()
            extras[report["name"]] = (report["line"], exact_only,
                                      _extras(columns, cells) if cells else {})
    entries = {}
    for name, rates in table.items():
        line, exact, more = extras[name]
        base = {"prompt": rates["prompt_per_1M"], "completion": rates["completion_per_1M"]}
        more.setdefault("rates", {})
        more["rates"] = {**{k: v for k, v in base.items() if v is not None}, **more["rates"]}
        entries[name] = Entry(name, line=line, exact_only=exact, **more)
    return PriceList(source, table, entries)


def read(source: str) -> PriceList:
    """The price list of `source` (a file or a web address), read afresh;
    a source that cannot be read raises its error."""
    from quelm import _explain, genai_pricing

    table, lines = _explain.explain(genai_pricing, source)
    return from_report(source, table, lines)


@functools.lru_cache(maxsize=8)
def cached(source: str) -> PriceList:
    """`read(source)`, kept for the 8 sources used last."""
    return read(source)


def of_table(table: Mapping[str, Mapping[str, Optional[float]]]) -> PriceList:
    """A price list of the module's own table (the mapping `_parse_pricing`
    gives): prompt and completion prices only."""
    entries = {}
    for name, rates in table.items():
        base = {"prompt": rates.get("prompt_per_1M"), "completion": rates.get("completion_per_1M")}
        entries[name] = Entry(name, {k: v for k, v in base.items() if v is not None})
    return PriceList("<table>", dict(table), entries)


_BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pricing_table.md")
PricingArg = Union[str, PriceList, Mapping[str, Mapping[str, Optional[float]]], None]


def resolve(pricing: PricingArg) -> PriceList:
    """The price list that a `pricing` argument names: None for the bundled
    list, a source (file or web address), a PriceList, or a module table."""
    if pricing is None:
        return cached(_BUNDLED)
    if isinstance(pricing, PriceList):
        return pricing
    if isinstance(pricing, str):
        return cached(pricing)
    if isinstance(pricing, Mapping):
        return of_table(pricing)
    raise TypeError(f"pricing must be a source (str), a PriceList or a price table, "
                    f"not {type(pricing).__name__}")
