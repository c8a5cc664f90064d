#!/usr/bin/env python3
"""Rebuild the bundled price list, pricing_table.md at the repository root,
from the data of the PyPI package genai-prices (MIT licence).

The package is a tool of this script only: neither quelm nor its tests
import it, the committed pricing_table.md is what ships.  Run it in a
throwaway environment with the pinned version:

    python3.11 -m venv /tmp/venv-genai-prices
    /tmp/venv-genai-prices/bin/pip install genai-prices==0.2.5
    /tmp/venv-genai-prices/bin/python tools/update_price_list.py [--date YYYY-MM-DD]

What goes in: for each maker below, the text and chat models it sells
through its own API, at the standard (base tier) prompt and completion
price that applies on the given date (today by default).  Left out: other
makers' models served by a provider (resellers), models the data marks
deprecated or that their makers have retired, models without both a
prompt and a completion token price (embeddings, speech, per-request
products), and entries that are match patterns rather than API names.

Besides each model's own id, its other names are listed at its price: the
exact names the data matches (dated snapshots such as
claude-opus-4-20250514, aliases such as claude-sonnet-4), and a family
name that the id extends (claude-3-5-haiku for claude-3-5-haiku-latest), so
that the dated names an API reports in its responses find their price.

Order: the lookup takes the first table name that a requested name
contains, so a name is written before every listed name that it contains
(gpt-4o-mini before gpt-4o before gpt-4); ties go alphabetically.  The
script checks the whole document, across tables, and fails rather than
write an order the lookup would misread.

After the three columns the module reads, each maker's table carries the
other prices that at least one of its models has (src/quelm/_columns.py
names them; a model without such a price leaves its cell empty):

- cache reads, cache writes and audio, from the data's price of each class;
  the short-lived write is Anthropic's 5-minute and OpenAI's 30-minute one,
  "Cache write 1h" Anthropic's one-hour write.  OpenAI also sells a 12-hour
  write, at twice its 30-minute write (2.5 times the prompt price: its model
  pages say "A 12-hour cache write costs $5 per million tokens" for a model
  whose prompt costs $2.00 and 30-minute write $2.50), which the data does
  not give: OpenAI's table has "Cache write 12h" (and "Long cache write
  12h") at twice the data's cache write price instead of a 1-hour column.
- long context, from a price tiered by prompt size: the tier start as
  "Long context above" and the tier's prices as the "Long" columns.  Models
  with more than one tier, or tiers that start at different sizes, are left
  without long-context prices and reported.
- service tiers (batch, flex, priority, fast, ultrafast), from the data's
  price variants in force on the date, as a percentage of the standard
  price: the variant's prompt price over the standard one.  The list holds
  one percentage per tier, so the script warns about each model whose
  other classes (completion, cached prompt, ..., long-context prices) the
  variant prices at another ratio, by more than 2% of it.
- "US inference": Anthropic bills inference kept in the US at 1.1 times
  the price on Opus 4.6 and newer models (its service-tiers and
  data-residency pages), so 110% for its models of version 4.6 and later.
- time of day (DeepSeek): the data gives the off-peak price as the
  model's price and the peak price under daily time windows.  The list's
  price is the standard, peak one; "Off-peak" is the off-peak prompt price
  as a percentage of it, "Peak hours (UTC)" the windows.  Where the model's
  notes in the data say weekends are off-peak all day (DeepSeek's pricing
  page: the peak applies Monday to Friday, Beijing time), the windows are
  written "Mon-Fri", which holds as long as they fall on the same calendar
  day in Beijing and in UTC (the script checks).  Chinese public holidays,
  off-peak too, are not known to the list: calls on them are priced at the
  peak price, an upper bound.
"""

from __future__ import annotations

import argparse
import datetime
import heapq
import pathlib
import re
import sys
from decimal import Decimal
from typing import Callable, Iterable

SOURCE = "genai-prices"
SOURCE_VERSION = "0.2.5"
OUT = pathlib.Path(__file__).resolve().parent.parent / "pricing_table.md"
HEADER = "| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |"

PRICE = " ($/1M tokens)"
SHARE = " (% of standard)"
LONG_ABOVE = "Long context above (tokens)"
PEAK_HOURS = "Peak hours (UTC)"
# The columns after the third, in the order they are shown; a table has
# those that at least one of its rows fills.
COLUMNS = [
    *(f"{name}{PRICE}" for name in (
        "Cached prompt", "Cache write", "Cache write 1h", "Cache write 12h",
        "Audio prompt", "Audio cached", "Audio completion")),
    LONG_ABOVE,
    *(f"{name}{PRICE}" for name in (
        "Long prompt", "Long completion", "Long cached prompt", "Long cache write",
        "Long cache write 1h", "Long cache write 12h")),
    *(f"{name}{SHARE}" for name in (
        "Batch", "Flex", "Priority", "Fast", "Ultrafast", "US inference", "Off-peak")),
    PEAK_HOURS,
]

# The data's price keys of the cache and audio columns, by column name.
CACHE = {"cache_read_mtok": "Cached prompt", "cache_write_mtok": "Cache write",
         "cache_write_1h_mtok": "Cache write 1h"}
AUDIO = {"input_audio_mtok": "Audio prompt", "cache_audio_read_mtok": "Audio cached",
         "output_audio_mtok": "Audio completion"}
# The long-context columns, by the price key whose tier they give.
LONG = {"input_mtok": "Long prompt", "output_mtok": "Long completion",
        "cache_read_mtok": "Long cached prompt", "cache_write_mtok": "Long cache write",
        "cache_write_1h_mtok": "Long cache write 1h"}
# OpenAI's 12-hour cache write: twice its 30-minute write (see above).
TWELVE_HOUR_WRITE = {"openai": Decimal(2)}
# The service tiers' columns, by the data's variant condition; the
# standard tier ({"service_tier": "default"}) has none.
TIERS = {("processing", "batch"): "Batch", ("service_tier", "flex"): "Flex",
         ("service_tier", "priority"): "Priority", ("service_tier", "fast"): "Fast",
         ("speed", "fast"): "Fast", ("service_tier", "ultrafast"): "Ultrafast"}
STANDARD_TIER = ("service_tier", "default")
# How far (a fraction of the prompt's ratio) another class's ratio may be
# from it before the script warns that one percentage misprices it.
RATIO_TOLERANCE = Decimal("0.02")
# Anthropic's US-only inference: 1.1 times the price, on Opus 4.6 and newer.
US_INFERENCE = {"anthropic": ((4, 6), "110%")}
# DeepSeek's peak hours are Beijing time (UTC+8) on weekdays.
WEEKDAYS_ZONE = datetime.timezone(datetime.timedelta(hours=8))

# (provider id in the data, heading, which of its models the maker makes).
MAKERS: list[tuple[str, str, Callable[[str], bool]]] = [
    ("openai", "OpenAI", lambda n: not n.startswith("gpt-oss")),
    ("anthropic", "Anthropic", lambda n: True),
    ("google", "Google (Gemini API)", lambda n: n.startswith(("gemini", "gemma"))),
    ("mistral", "Mistral", lambda n: not n.startswith(("deepseek", "zai-"))),
    ("x-ai", "xAI", lambda n: n.startswith("grok")),
    ("deepseek", "DeepSeek", lambda n: True),
    ("cohere", "Cohere", lambda n: True),
    ("meta", "Meta", lambda n: True),
    ("moonshotai", "Moonshot AI", lambda n: True),
    # The maker's international platform; its Chinese one (provider
    # "zhipuai", prices converted from yuan) would repeat most names.
    ("zai", "Z.ai", lambda n: True),
    ("minimax", "MiniMax", lambda n: True),
    ("aws", "Amazon (Bedrock)", lambda n: re.match(r"(?:\w+\.)?amazon\.", n) is not None),
    ("perplexity", "Perplexity", lambda n: "/" not in n),
    ("arcee", "Arcee", lambda n: n.startswith("trinity")),
    ("cursor", "Cursor", lambda n: n.startswith("composer")),
]

# Modalities other than text in and text out.
NOT_TEXT = re.compile(r"image|tts|transcribe|whisper|realtime|audio|live|embed|moderation|sonic|"
                      r"speech|voice|ocr", re.I)

# Still in the source data, but retired by their makers.
RETIRED = {
    "ada", "babbage", "curie", "davinci", "text-davinci-002", "text-davinci-003",
    "gpt-4-vision-preview", "gpt-4.5-preview", "o1-preview",
    "claude-v1", "claude-2", "claude-3-sonnet", "claude-3-5-sonnet",
    "gemini-pro", "gemini-1.0-pro-vision-001", "gemini-1.5-flash", "gemini-1.5-pro",
    "llama-3.1-sonar-large-128k-online", "llama-3.1-sonar-small-128k-online",
}

# Match patterns of the source data that no API takes as a model name.
NOT_API_NAMES = {"gpt-3.5-0301", "gpt-4o:extended", "gemini-flash-1.5", "gemini-flash-1.5-8b",
                 "gemini-pro-1.5"}
API_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:@/-]*[A-Za-z0-9]")


def base(price: object) -> Decimal | None:
    """The base-tier price of a plain or tiered price."""
    if price is None or isinstance(price, Decimal):
        return price
    return price.base  # TieredPrices: the rate below the first tier


def tiers(price: object) -> list:
    """The tiers of a tiered price; none for a plain one."""
    return list(getattr(price, "tiers", None) or ())


def by_time(model: object, day: datetime.date, types: object) -> tuple[object, object, list]:
    """The model's prices in force on `day`, split by time of day: the price
    of the last unconstrained or dated entry whose start date has come, the
    price of its daily time windows (None when it has none) and the windows.
    In the data, such windows carry the peak price and the other entries the
    off-peak one."""
    prices = model.prices
    if not isinstance(prices, list):
        return prices, None, []
    dated = prices[0].prices
    peak, windows = None, []
    for conditional in prices:
        constraint = conditional.constraint
        if constraint is None:
            dated = conditional.prices
        elif isinstance(constraint, types.StartDateConstraint):
            if constraint.start_date <= day:
                dated = conditional.prices
        elif isinstance(constraint, types.TimeOfDateConstraint):
            if peak is not None and peak != conditional.prices:
                sys.exit(f"{model.id}: peak windows at different prices; the list has one "
                         "peak price")
            peak = conditional.prices
            windows.append((constraint.start_time, constraint.end_time))
    return dated, peak, windows


def current(model: object, day: datetime.date, types: object) -> object:
    """The standard price set in force on `day`: the last one whose start
    date has come, or, for a model priced by time of day, its peak price.
    The list's price is the standard one, never a time-limited discount:
    the off-peak price is a share of it (`time_of_day_cells`)."""
    dated, peak, _ = by_time(model, day, types)
    return dated if peak is None else peak


def number(price: Decimal) -> str:
    """A price as the list writes it: positional notation (the parser reads
    no exponent), trailing zeros dropped, at least two decimals."""
    text = format(price.normalize(), "f")
    whole, _, decimals = text.partition(".")
    return f"{whole}.{decimals.ljust(2, '0')}"


def dollars(price: Decimal) -> str:
    """A price cell: the price with a dollar sign."""
    return "$" + number(price)


def percent(ratio: Decimal) -> str:
    """A share as the list writes it: a percentage to two decimals, trailing
    zeros dropped (0.5 is "50%", 5/3 is "166.67%")."""
    return format((ratio * 100).quantize(Decimal("0.01")).normalize(), "f") + "%"


def cache_cells(maker: str, prices: object) -> dict[str, str]:
    """Cache read and write prices; OpenAI's 12-hour write."""
    cells = {f"{name}{PRICE}": dollars(base(getattr(prices, key)))
             for key, name in CACHE.items() if getattr(prices, key, None) is not None}
    write = base(getattr(prices, "cache_write_mtok", None))
    if maker in TWELVE_HOUR_WRITE and write is not None:
        cells[f"Cache write 12h{PRICE}"] = dollars(TWELVE_HOUR_WRITE[maker] * write)
    return cells


def audio_cells(prices: object) -> dict[str, str]:
    """Audio prompt, cached audio prompt and audio completion prices."""
    return {f"{name}{PRICE}": dollars(base(getattr(prices, key)))
            for key, name in AUDIO.items() if getattr(prices, key, None) is not None}


def long_cells(maker: str, model: object, prices: object, warnings: list[str]) -> dict[str, str]:
    """The long-context threshold and prices, from prices tiered by prompt
    size with a single tier starting at the same size for every class."""
    tiered = {key: tiers(price) for key, price in vars(prices).items() if tiers(price)}
    if not tiered:
        return {}
    starts = {tuple(tier.start for tier in found) for found in tiered.values()}
    if len(starts) != 1 or len(next(iter(starts))) != 1:
        warnings.append(f"{model.id}: prices of several tiers {sorted(starts)}; "
                        "long-context prices left out")
        return {}
    (start,), = starts
    cells = {LONG_ABOVE: f"{start:,}"}
    for key, name in LONG.items():
        if key in tiered:
            cells[f"{name}{PRICE}"] = dollars(tiered[key][0].price)
    if maker in TWELVE_HOUR_WRITE and "cache_write_mtok" in tiered:
        cells[f"Long cache write 12h{PRICE}"] = dollars(
            TWELVE_HOUR_WRITE[maker] * tiered["cache_write_mtok"][0].price)
    return cells


def ratio(part: object, whole: object, what: str, warnings: list[str]) -> Decimal | None:
    """The prompt price of `part` (partial prices) over that of `whole`, as
    a fraction (1 when `part` prices nothing); warns when another class that
    `part` prices, at the base or long-context tier, stands at another ratio
    (by more than the tolerance), or when `part` has no prompt price."""
    if not any(price is not None for price in vars(part).values()):
        return Decimal(1)  # overrides no price: the standard prices hold
    ratios = {}
    for key, price in vars(part).items():
        standard = getattr(whole, key, None)
        if price is None or standard is None:
            continue
        if base(standard):
            ratios[key] = base(price) / base(standard)
        if len(tiers(standard)) == 1 and standard.tiers[0].price:
            # A plain variant price applies to long prompts too.
            long = tiers(price)[0].price if len(tiers(price)) == 1 else base(price)
            ratios[f"long {key}"] = long / standard.tiers[0].price
    share = ratios.get("input_mtok")
    if share is None:
        warnings.append(f"{what}: no prompt price to compare with the standard one; left out")
        return None
    off = [f"{key} {percent(r)}" for key, r in ratios.items()
           if abs(r - share) > RATIO_TOLERANCE * share]
    if off:
        warnings.append(f"{what}: {percent(share)} of the standard prompt price, but "
                        + ", ".join(off))
    return share


def tier_cells(model: object, prices: object, day: datetime.date, types: object,
               warnings: list[str]) -> dict[str, str]:
    """Each service tier's price as a percentage of the standard price,
    from the variant in force on `day`: of a tier's variants whose start
    date has come (an unconstrained one has always come), the latest."""
    chosen: dict[str, tuple[datetime.date, object]] = {}
    for variant in model.price_variants or ():
        condition = tuple(variant.when.items())
        if condition == (STANDARD_TIER,):
            continue
        name = TIERS.get(condition[0]) if len(condition) == 1 else None
        if name is None:
            warnings.append(f"{model.id}: price variant {variant.when} has no column; left out")
            continue
        constraint = variant.constraint
        if constraint is None:
            start = datetime.date.min
        elif isinstance(constraint, types.StartDateConstraint):
            if constraint.start_date > day:
                continue
            start = constraint.start_date
        else:
            warnings.append(f"{model.id}: {name} price by time of day left out")
            continue
        if name not in chosen or start > chosen[name][0]:
            chosen[name] = (start, variant.prices)
    cells = {}
    for name in dict.fromkeys(TIERS.values()):
        if name in chosen:
            share = ratio(chosen[name][1], prices, f"{model.id} {name.lower()}", warnings)
            if share is not None:
                cells[f"{name}{SHARE}"] = percent(share)
    return cells


def claude_version(model_id: str) -> tuple[int, int] | None:
    """The version of a "claude-<family>-<major>[-<minor>]" name (a date
    after the major version is no minor one); None for other names."""
    match = re.match(r"claude-[a-z]+-(\d+)(?:-(\d{1,2}))?(?![\d.])", model_id)
    return (int(match[1]), int(match[2] or 0)) if match else None


def us_cells(maker: str, model: object) -> dict[str, str]:
    """The price of US-only inference, on the models of a maker that sells
    it from some version on."""
    if maker not in US_INFERENCE:
        return {}
    since, share = US_INFERENCE[maker]
    found = claude_version(model.id)
    return {f"US inference{SHARE}": share} if found is not None and found >= since else {}


def utc(moment: datetime.time) -> datetime.time:
    """A time of day in UTC (a time without zone is taken as UTC)."""
    if moment.tzinfo is None:
        return moment
    when = datetime.datetime.combine(datetime.date(2000, 1, 3), moment)
    return when.astimezone(datetime.timezone.utc).time()


def time_of_day_cells(model: object, day: datetime.date, types: object,
                      warnings: list[str]) -> dict[str, str]:
    """The off-peak price as a percentage of the peak (standard) price, and
    the peak hours: "HH:MM-HH:MM" in UTC, "Mon-Fri " before each window
    when the model's notes say weekends are off-peak, which the script
    checks holds for the same weekdays in Beijing and in UTC."""
    off_peak, peak, windows = by_time(model, day, types)
    if peak is None:
        return {}
    share = ratio(off_peak, peak, f"{model.id} off-peak", warnings)
    if share is None:
        return {}
    windows = [(utc(start), utc(end)) for start, end in windows]
    days = ""
    if re.search(r"weekend", model.price_comments or "", re.I):
        days = "Mon-Fri "
        for start, end in windows:
            begins, ends = (datetime.datetime.combine(day, t, datetime.timezone.utc)
                            .astimezone(WEEKDAYS_ZONE) for t in (start, end))
            if not (start < end and begins.date() == ends.date() == day):
                sys.exit(f"{model.id}: peak window {start:%H:%M}-{end:%H:%M} UTC does not fall "
                         "on the same day in Beijing; weekdays cannot be written in UTC")
    hours = ", ".join(f"{days}{start:%H:%M}-{end:%H:%M}" for start, end in windows)
    return {f"Off-peak{SHARE}": percent(share), PEAK_HOURS: hours}


def order(names: Iterable[str]) -> list[str]:
    """`names` ordered alphabetically, except that a name comes before every
    name that it contains (compared lower-cased, as the parser stores them)."""
    names = list(names)
    low = {n: n.lower() for n in names}
    waiting = {n: sum(1 for m in names if m != n and low[n] in low[m]) for n in names}
    ready = [(low[n], n) for n in names if waiting[n] == 0]
    heapq.heapify(ready)
    out = []
    while ready:
        _, n = heapq.heappop(ready)
        out.append(n)
        for m in names:
            if m != n and low[m] in low[n]:
                waiting[m] -= 1
                if waiting[m] == 0:
                    heapq.heappush(ready, (low[m], m))
    return out


def names_of(model: object, types: object) -> list[str]:
    """The model's id, then the other names its match clauses give: exact
    names, and prefixes that the id extends by a hyphen (a family name)."""
    out = [model.id]
    clauses = [model.match]
    while clauses:
        clause = clauses.pop(0)
        if isinstance(clause, types.ClauseOr):
            clauses[:0] = clause.or_
        elif isinstance(clause, types.ClauseEquals):
            out.append(clause.equals)
        elif (isinstance(clause, types.ClauseStartsWith)
              and model.id.startswith(clause.starts_with + "-")):
            out.append(clause.starts_with)
    # Left out: a router's "maker/name" form, and a version number respelt
    # with a hyphen (gpt-5-1 for gpt-5.1), which no API takes.
    respelt = {re.sub(r"(?<=\d)\.(?=\d)", "-", n) for n in out if "." in n}
    return [n for i, n in enumerate(out) if i == 0 or ("/" not in n and n not in respelt)]


def cells_of(maker: str, model: object, prices: object, day: datetime.date, types: object,
             warnings: list[str]) -> dict[str, str]:
    """A model's cells after the third, by column header."""
    return {**cache_cells(maker, prices), **audio_cells(prices),
            **long_cells(maker, model, prices, warnings),
            **tier_cells(model, prices, day, types, warnings), **us_cells(maker, model),
            **time_of_day_cells(model, day, types, warnings)}


def collect(providers: list, day: datetime.date, types: object,
            warnings: list[str]) -> list[tuple[str, list]]:
    """Each maker's heading and rows: (name, prompt, completion, the cells
    after the third by header)."""
    by_id = {p.id: p for p in providers}
    seen: set[str] = set()
    tables = []
    for provider_id, heading, own in MAKERS:
        rows = {}
        for model in by_id[provider_id].models:
            if (not own(model.id) or model.deprecated or model.id in RETIRED
                    or model.id in NOT_API_NAMES or NOT_TEXT.search(model.id)
                    or "ft:" in model.id or ".ft-" in model.id):
                continue
            prices = current(model, day, types)
            prompt = base(getattr(prices, "input_mtok", None))
            completion = base(getattr(prices, "output_mtok", None))
            if prompt is None or completion is None:
                continue
            cells = cells_of(provider_id, model, prices, day, types, warnings)
            for name in names_of(model, types):
                if (name in RETIRED or name in NOT_API_NAMES or NOT_TEXT.search(name)
                        or not API_NAME.fullmatch(name) or "ft:" in name or ".ft-" in name
                        or name.lower() in seen):
                    continue
                seen.add(name.lower())
                rows[name] = (prompt, completion, cells)
        tables.append((heading, [(n, *rows[n]) for n in order(rows)]))
    return tables


def check_order(tables: list[tuple[str, list]]) -> None:
    """Fails when an earlier name is contained in a later one, anywhere in
    the document: the lookup would give the later name's variants the
    earlier price."""
    listed = [row[0].lower() for _, rows in tables for row in rows]
    bad = [(a, b) for i, a in enumerate(listed) for b in listed[i + 1:] if a in b]
    if bad:
        sys.exit("order the lookup would misread: " +
                 ", ".join(f"{a!r} before {b!r}" for a, b in bad))


def render_table(heading: str, rows: list) -> list[str]:
    """One maker's table: the module's three columns, then those of COLUMNS
    that a row fills."""
    columns = [c for c in COLUMNS if any(c in cells for *_, cells in rows)]
    align = "".join("---|" if c == PEAK_HOURS else "---:|" for c in columns)
    out = ["", f"## {heading}", "", HEADER + "".join(f" {c} |" for c in columns),
           "|---|---:|---:|" + align]
    for name, prompt, completion, cells in rows:
        later = "".join(f" {cells[c]} |" if c in cells else " |" for c in columns)
        out.append(f"| {name} | {dollars(prompt)} | {dollars(completion)} |{later}")
    return out


def render(tables: list[tuple[str, list]], day: datetime.date) -> str:
    count = sum(len(rows) for _, rows in tables)
    out = [
        "# Model price list",
        "",
        f"Standard (base tier) prices in US dollars per 1M tokens of {count} text and chat",
        "models, as their makers sell them through their own APIs: one table per maker,",
        "names as the maker's API takes them. Resellers and retired models are left out.",
        "",
        f"From the data of the {SOURCE} package, version {SOURCE_VERSION} (MIT licence), with the",
        f"prices in force on {day.isoformat()}, converted by tools/update_price_list.py.",
        "Prices change often: check them with the maker before relying on them.",
        "",
        "The lookup takes the first table name that a requested name contains, so",
        "every name stands before any listed name that it contains.",
        "",
        "The module reads the first three columns only. The later ones, where a maker",
        "has them, give the model's other prices: cache reads and writes (Anthropic's",
        "5-minute and 1-hour writes, OpenAI's 30-minute and 12-hour ones), audio, the",
        "prices of prompts longer than \"Long context above\" tokens, and as a",
        "percentage of the standard price the service tiers (batch, flex, priority,",
        "fast, ultrafast), Anthropic's US-only inference and DeepSeek's off-peak price.",
        "An empty cell: the model has no such price.",
        "",
        "DeepSeek's prices are its peak prices; its off-peak prices apply outside the",
        "peak hours by the call's time. Chinese public holidays, off-peak all day, are",
        "not known to the list: calls on them are priced at the peak price, an upper",
        "bound.",
    ]
    for heading, rows in tables:
        if rows:
            out += render_table(heading, rows)
    return "\n".join(out) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--date", type=datetime.date.fromisoformat,
                        default=datetime.datetime.now(datetime.timezone.utc).date(),
                        help="the day whose prices to take (default: today, UTC)")
    parser.add_argument("--output", type=pathlib.Path, default=OUT)
    args = parser.parse_args()
    try:
        from importlib.metadata import version

        import genai_prices.types as types
        from genai_prices.data import providers
    except ImportError:
        sys.exit(f"needs {SOURCE}=={SOURCE_VERSION}: pip install {SOURCE}=={SOURCE_VERSION}")
    if version(SOURCE) != SOURCE_VERSION:
        sys.exit(f"{SOURCE} {version(SOURCE)} is installed; this script reads {SOURCE_VERSION}")
    warnings: list[str] = []
    tables = collect(providers, args.date, types, warnings)
    check_order(tables)
    args.output.write_text(render(tables, args.date), encoding="utf-8")
    for warning in warnings:
        print(f"warning: {warning}", file=sys.stderr)
    for heading, rows in tables:
        print(f"{len(rows):4}  {heading}")
    print(f"{sum(len(r) for _, r in tables):4}  models written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
