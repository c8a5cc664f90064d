"""`quelm.cost()`: what one call cost, class by class, and which price
priced each class.

The response is read by `_usage` (the makers' shapes), the entry found by
`_lookup`, and the prices are the entry's (`_pricelist`).  Which price a
class takes:

- its own column; when the list has none, the nearest price that the list
  does state, and the Cost says so (`notes`): cached and written input at
  the prompt price, a long-lived write at the short-lived write's price,
  audio at the text price.  Reasoning tokens are billed as completion
  tokens: that is the makers' rule, not a fallback.
- when the prompt (all input tokens) is larger than the entry's "Long
  context above", the long-context column of the class, for every token of
  the call, as the makers bill long prompts.
- in a service tier (batch, flex, priority, fast, ultrafast), in a region
  (US-only inference) or outside the peak hours (off-peak), that share of
  the price; shares multiply.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional

from quelm import _lookup, _pricelist, _shapes, _usage
from quelm._columns import in_windows
from quelm._usage import CLASSES

_read = _shapes.read

# The class whose price a class takes when the list has none of its own.
FALLBACK = {"cached": "prompt", "cache_write": "prompt", "cache_write_long": "cache_write",
            "audio_prompt": "prompt", "audio_cached": "cached", "audio_completion": "completion"}
# Billed at another class's price by the makers' rules: no fallback.
BILLED_AS = {"reasoning": "completion"}
NAMES = {"prompt": "prompt", "cached": "cached prompt", "cache_write": "cache write",
         "cache_write_long": "long-lived cache write", "audio_prompt": "audio prompt",
         "audio_cached": "cached audio prompt", "completion": "completion",
         "reasoning": "reasoning", "audio_completion": "audio completion"}


class UnknownModel(LookupError):
    """No entry of the price list matches the model; `closest` holds the
    nearest names the list has."""

    def __init__(self, model: str, closest: list[str], source: str) -> None:
        hint = ("; closest names: " + ", ".join(repr(n) for n in closest)) if closest else ""
        super().__init__(f"no entry of the price list {source!r} matches model {model!r}{hint}")
        self.model = model
        self.closest = closest


class Line(NamedTuple):
    """One class of a call: its tokens, the price applied (dollars per 1M
    tokens; None when the list has no price for it) and what they cost."""

    name: str
    tokens: int
    rate: Optional[float]
    dollars: float

    def __repr__(self) -> str:
        rate = "no price" if self.rate is None else f"${self.rate:g}/1M"
        return f"{self.name}: {self.tokens:,} at {rate} = ${self.dollars:.10g}"


class Cost(tuple):
    """What one call cost (immutable).

    `total` is in US dollars; `lines` gives each class's tokens, price and
    dollars (prompt and completion always, the other classes when the call
    has tokens of them); `entry` is the name of the price list's entry that
    priced it; `tier` the prices it was billed at ("standard", "batch", ...,
    with ", long context", ", US", ", off-peak" when they apply); `notes`
    says which classes were priced by a fallback or not at all."""

    __slots__ = ()

    def __new__(cls, total: float, model: str, entry: str, counts: tuple[int, ...],
                prices: "Prices") -> "Cost":
        return tuple.__new__(cls, (total, model, entry, counts, prices))

    total = property(lambda self: tuple.__getitem__(self, 0), doc="US dollars")
    model = property(lambda self: tuple.__getitem__(self, 1), doc="the model priced")
    entry = property(lambda self: tuple.__getitem__(self, 2), doc="the entry that priced it")
    tier = property(lambda self: tuple.__getitem__(self, 4).tier, doc="the prices applied")

    @property
    def lines(self) -> tuple[Line, ...]:
        return lines(tuple.__getitem__(self, 3), tuple.__getitem__(self, 4))

    @property
    def notes(self) -> tuple[str, ...]:
        return notes(tuple.__getitem__(self, 3), tuple.__getitem__(self, 4))

    def line(self, name: str) -> Optional[Line]:
        """The line of one class, or None when the call had none."""
        return next((line for line in self.lines if line.name == name), None)

    def __repr__(self) -> str:
        lines = "; ".join(repr(line) for line in self.lines)
        notes = f", notes={list(self.notes)!r}" if self.notes else ""
        return (f"Cost(total=${self.total:.10g}, model={self.model!r}, entry={self.entry!r}, "
                f"tier={self.tier!r}, lines=[{lines}]{notes})")

    def __reduce__(self) -> Any:
        return (Cost, tuple(self))


_ALWAYS = (CLASSES.index("prompt"), CLASSES.index("completion"))


def lines(counts: tuple[int, ...], prices: "Prices") -> tuple[Line, ...]:
    """A call's lines: prompt and completion always, the other classes when
    the call has tokens of them."""
    return tuple(Line(CLASSES[i], n, prices.rates[i], dollars(prices.rates[i], n))
                 for i, n in enumerate(counts) if n or i in _ALWAYS)


def notes(counts: tuple[int, ...], prices: "Prices") -> tuple[str, ...]:
    """The notes on a call: on the whole of it, then on each class it has
    tokens of that was priced by a fallback or not at all."""
    return prices.general + tuple(note for n, note in zip(counts, prices.notes)
                                  if n and note is not None)


def dollars(rate: Optional[float], tokens: int) -> float:
    """What `tokens` cost at `rate` dollars per 1M tokens (0.0 without a
    rate), computed as estimate_costs computes it: the count divided by a
    million first."""
    return 0.0 if rate is None else rate * (tokens / 1000000.0)


class Conditions(NamedTuple):
    """What chooses a call's prices, besides the entry."""

    long: bool = False
    tier: Optional[str] = None
    region: Optional[str] = None
    off_peak: Optional[bool] = False  # None: the call's time is unknown


_STANDARD = Conditions()


def conditions(entry: _pricelist.Entry, usage: _usage.Usage) -> Conditions:
    """The conditions one call is priced under by `entry`."""
    long = entry.long_above is not None and usage.prompt_size > entry.long_above
    off_peak: Optional[bool] = False
    if entry.peak_hours is not None and "off-peak" in entry.shares:
        created = usage.created
        if created is None or not -1e12 < created < 1e12:  # unknown, or no time at all
            off_peak = None
        else:
            # UTC days since the epoch, which began on a Thursday (weekday 3).
            days, seconds = divmod(created, 86400)
            off_peak = not in_windows(entry.peak_hours, int(days + 3) % 7, int(seconds // 60))
    if not long and usage.tier is None and usage.region is None and off_peak is False:
        return _STANDARD
    return Conditions(long, usage.tier, usage.region, off_peak)


class Prices(NamedTuple):
    """The price of each class of CLASSES under some conditions (None: the
    list has none), the note on each class priced by a fallback (None for
    the others), the notes on the whole call, how its tier is named, and
    the entry's name."""

    rates: tuple[Optional[float], ...]
    notes: tuple[Optional[str], ...]
    general: tuple[str, ...]
    tier: str
    entry: str  # the name of the entry they are of


def rates(entry: _pricelist.Entry, cond: Conditions) -> Prices:
    """The prices of `entry` under `cond`."""
    general: list[str] = list(entry.problems)
    notes: list[Optional[str]] = []
    out: list[Optional[float]] = []
    own = entry.rates
    for name in CLASSES:
        billed = BILLED_AS.get(name, name)
        if cond.long and billed in entry.long:  # the class's own long-context price
            out.append(entry.long[billed])
            notes.append(None)
            continue
        via = billed
        while own.get(via) is None and via in FALLBACK:
            via = FALLBACK[via]
        rate = own.get(via)
        said = []
        if rate is None:
            said.append("no price in the list, not priced")
        elif via != billed:
            said.append(f"no price in the list, priced as {NAMES[via]}")
        if cond.long and rate is not None:
            if via in entry.long:
                rate = entry.long[via]
            else:
                said.append("no long-context price in the list, priced at the standard-context "
                            "price")
        out.append(rate)
        notes.append(f"{NAMES[name]}: " + "; ".join(said) if said else None)
    share = 1.0
    tier = cond.tier or "standard"
    for key, what in ((cond.tier, f"no {cond.tier} price"), (cond.region, "no US-inference price")):
        if key is None:
            continue
        if key in entry.shares:
            share *= entry.shares[key]
        else:
            general.append(f"{what} in the list: priced at the standard price")
    if cond.long:
        tier += ", long context"
    if cond.region:
        tier += f", {cond.region.upper()}"
    if cond.off_peak:
        share *= entry.shares["off-peak"]
        tier += ", off-peak"
    elif cond.off_peak is None:
        general.append("the time of the call is not known: priced at the peak price")
    if share != 1.0:
        out = [None if v is None else v * share for v in out]
    return Prices(tuple(out), tuple(notes), tuple(general), tier, entry.name)


def prices_for(prices: _pricelist.PriceList, entry: _pricelist.Entry, cond: Conditions) -> Prices:
    """`rates(entry, cond)`, worked out once per price list."""
    key = (entry.name, cond)
    found = prices.rates.get(key)
    if found is None:
        found = prices.rates[key] = rates(entry, cond)
    return found


_new = tuple.__new__


# The sum of the classes' dollars, rate * (tokens / 1e6) added in class
# order, as estimate_costs works out and adds its two (an overflow is an
# infinite total).
total = _shapes.dollars


def cost(response: Any, *, model: Optional[str] = None,
         pricing: _pricelist.PricingArg = None) -> Cost:
    """What one call cost, from its response.

    `response` is a client library's response object (OpenAI, Anthropic,
    Gemini and the makers that answer in their shapes), its dump (a dict, or
    its JSON text), a batch result line, or a plain ``{"model": ...,
    "usage": {...}}`` record.  `model` names the model when the response
    does not, or overrides it.  `pricing` is a price list source (a file or
    a web address), a list read by `quelm.read_prices`, or None for the list
    shipped with quelm (the network is never used unless asked).

    Raises UnknownModel when no entry of the list matches the model, and
    `quelm.Unbillable` (a ValueError) for a response that cannot be billed:
    a failed call, no usage, counts that are no token counts.
    """
    if isinstance(response, (str, bytes, bytearray)):
        import json

        response = json.loads(response)
    got = _read(response)
    if isinstance(got, str):
        raise _usage.Unbillable(got)
    name = model if model is not None else got[0]
    if name is None:
        raise _usage.Unbillable(_usage.NO_MODEL)
    prices_list = _pricelist.resolve(pricing)
    prices = None
    if got[2] is None and got[3] is None:  # no tier, no region: perhaps the prices as such
        prices = prices_list.standard.get(name)
    if prices is None:
        entry = _lookup.find(prices_list, name)
        if entry is None:
            raise UnknownModel(name, _lookup.closest(prices_list.entries, name), prices_list.source)
        usage = _new(_usage.Usage, got)
        prices = prices_for(prices_list, entry, conditions(entry, usage))
        if entry.plain and got[2] is None and got[3] is None and \
                len(prices_list.standard) < 100_000:  # bounded, as names may be millions
            prices_list.standard[name] = prices  # a name whose prices are always these
    counts = got[1]
    return _new(Cost, (total(counts, prices.rates), name, prices.entry, counts, prices))
