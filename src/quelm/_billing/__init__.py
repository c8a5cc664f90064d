"""What a whole run of calls cost, per model and token class, from the
responses it left behind: `bill`'s engine.

    reading   the lines of the files, read into running totals (`tally`)
    output    the bill as a table, CSV, and warnings

Calls of one model under the same conditions are added up before they are
priced by `quelm.cost`'s rules (`_cost`), which is the same sum.
"""

from __future__ import annotations

from typing import Iterable, Optional

from quelm import _cost, _lookup, _pricelist, _usage
from quelm._billing.reading import REASONS, tally

__all__ = ["REASONS", "bill", "tally"]

# -- the bill ------------------------------------------------------------

CLASSES = _usage.CLASSES
_INPUT = _usage.INPUT
_OUTPUT = range(len(_INPUT), len(CLASSES))
_ALWAYS = ("prompt", "completion")


def _row(model: str, entry: Optional[_pricelist.Entry]) -> dict:
    return {"model": model, "calls": 0, "entry": _lookup.described(model, entry),
            "tokens": [0] * len(CLASSES), "dollars": [0.0] * len(CLASSES), "total_cost": 0.0,
            "priced_as": {}, "notes": {}}


def bill(files: list[str], prices: _pricelist.PriceList, model: Optional[str]) -> dict:
    """The facts of the bill, as --json prints them."""
    seen = tally(files, prices, model)
    rows: dict[str, dict] = {}
    for name, cond, totals in seen.by_model():
        entry = seen.entries[name]
        row = rows.get(name)
        if row is None:
            row = rows[name] = _row(name, entry)
        calls, counts = totals[0], totals[1:]
        row["calls"] += calls
        tier = "standard" if entry is None else None
        for i, n in enumerate(counts):
            row["tokens"][i] += n
        if entry is not None:
            priced = _cost.prices_for(prices, entry, cond)
            tier = priced.tier
            for i, n in enumerate(counts):
                if not n:  # no tokens cost nothing, whatever the price
                    continue
                amount = _cost.dollars(priced.rates[i], n)
                row["dollars"][i] += amount
                row["total_cost"] += amount
                if priced.notes[i] is not None:
                    row["notes"][priced.notes[i]] = None
            row["notes"].update(dict.fromkeys(priced.general))
        row["priced_as"][tier] = row["priced_as"].get(tier, 0) + calls
    out = [_facts(row) for row in rows.values()]
    out.sort(key=lambda r: (-r["total_cost"], r["model"]))
    total = {"calls": sum(r["calls"] for r in out),
             "prompt_tokens": sum(r["prompt_tokens"] for r in out),
             "completion_tokens": sum(r["completion_tokens"] for r in out),
             "tokens": {c: sum(r["tokens"].get(c, 0) for r in out) for c in CLASSES},
             "dollars": {c: _sum(r["dollars"].get(c, 0.0) for r in out) for c in CLASSES},
             "total_cost": _sum(r["total_cost"] for r in out)}
    return {
        "pricing": prices.source,
        "files": files,
        "lines": seen.lines,
        "models": out,
        "total": total,
        "unpriced": [r["model"] for r in out if r["entry"] is None],
        "fallbacks": {r["model"]: r["notes"] for r in out if r["notes"]},
        "skipped": {reason: {"lines": n, "first": list(where)}
                    for reason, (n, where) in sorted(seen.skipped.items())},
    }


def _sum(amounts: Iterable[float]) -> float:
    """Amounts added in order; an overflow is an infinite sum."""
    total = 0.0
    for amount in amounts:
        total += amount
    return total


def _facts(row: dict) -> dict:
    """A model's row as --json gives it: the classes with tokens (prompt
    and completion always), by name."""
    tokens, dollars = row["tokens"], row["dollars"]
    kept = [i for i, c in enumerate(CLASSES) if tokens[i] or c in _ALWAYS]
    return {
        "model": row["model"], "calls": row["calls"], "entry": row["entry"],
        "prompt_tokens": sum(tokens[i] for i in _INPUT),
        "completion_tokens": sum(tokens[i] for i in _OUTPUT),
        "tokens": {CLASSES[i]: tokens[i] for i in kept},
        "dollars": {CLASSES[i]: dollars[i] for i in kept},
        "total_cost": row["total_cost"],
        "priced_as": row["priced_as"],
        "notes": list(row["notes"]),
    }
