"""Plain-Python rendition of `python -m quelm bill`'s reading of a run.

The loop one writes by hand: the standard library's json, the plain
rendition of the response shapes (ref_shapes.py), each call priced on its
own at its entry's prices for the conditions it ran under, one dict of
running totals.  The same line rules as the command, so the benchmark and
the tests can compare the two on the same file.
"""

import gzip
import json

from plain import ref_shapes
from quelm import _cost, _lookup, _usage

CLASSES = ref_shapes.CLASSES


def _no_constant(name):
    raise ValueError(name)


def read_line(line, model=None):
    """(model, usage) of one line, or the reason it cannot be billed."""
    try:
        rec = json.loads(line, parse_constant=_no_constant)
    except (ValueError, RecursionError):
        return "not JSON"
    if not isinstance(rec, dict):
        return "not JSON"
    got = ref_shapes.read(rec)
    if isinstance(got, str):
        return got
    name = model or got[0]
    if name is None:
        return "no model"
    return name, _usage.Usage(*got)


def tally(path, prices, model=None):
    """Per model {"calls", "tokens": [per class], "dollars": [per class],
    "total_cost"}, and per skip reason the count of lines."""
    models, skipped, entries = {}, {}, {}
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            got = read_line(line, model)
            if isinstance(got, str):
                if line.strip():
                    skipped[got] = skipped.get(got, 0) + 1
                continue
            name, usage = got
            if name not in entries:
                entries[name] = _lookup.find(prices, name)
            entry = entries[name]
            row = models.setdefault(name, {"calls": 0, "tokens": [0] * len(CLASSES),
                                           "dollars": [0.0] * len(CLASSES), "total_cost": 0.0})
            row["calls"] += 1
            rates = None
            if entry is not None:
                rates = _cost.rates(entry, _cost.conditions(entry, usage)).rates
            for i, n in enumerate(usage.counts):
                row["tokens"][i] += n
                if rates is not None and rates[i] is not None and n:
                    amount = rates[i] * (n / 1000000.0)
                    row["dollars"][i] += amount
                    row["total_cost"] += amount
    return models, skipped
