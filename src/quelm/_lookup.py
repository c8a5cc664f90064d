"""Which entry of a price list prices a model name.

The one lookup of `quelm.cost`, `bill` and `estimate`: the name itself,
lower-cased as the parser stores names; then the module's own rule (the
first table name that contains it or that it contains).
"""

from __future__ import annotations

import difflib
from typing import Optional

from quelm._pricelist import Entry, PriceList


def find(prices: PriceList, model: str) -> Optional[Entry]:
    """The entry that prices `model`, or None."""
    found = prices.found
    try:
        return found[model]
    except KeyError:
        pass
    key = model.lower()
    entry = prices.entries.get(key)
    if entry is None:
        from quelm import _explain

        match = _explain.match_model(prices.table, key)
        entry = None if match is None else prices.entries.get(match[0])
    if len(found) < 100_000:  # names seen; bounded, as a run may name millions
        found[model] = entry
    return entry


def closest(prices: PriceList, model: str) -> list[str]:
    """Up to five names of the list closest to `model`."""
    names = [n for n in prices.entries if isinstance(n, str)]
    return difflib.get_close_matches(model.lower(), names, n=5, cutoff=0.5)
