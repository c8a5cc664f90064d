"""Prices that are likely in another unit, from another column, or in
swapped columns."""

from __future__ import annotations

import math

from quelm._checks.finding import WARNING, entry_of, finding, rates
from quelm._terminal import dollars

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


def findings(rows: list[dict], flagged: set[int]) -> list[dict]:
    out = []
    for e in rows:
        if e["line"] in flagged:
            continue  # already explained by an error on its line
        prompt, completion = rates(e)
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
