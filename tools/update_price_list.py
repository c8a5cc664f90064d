#!/usr/bin/env python3
"""Rebuild the bundled price list, pricing_table.md at the repository root,
from the data of the PyPI package genai-prices (MIT licence).

The package is a tool of this script only: neither quelm nor its tests
import it, the committed pricing_table.md is what ships.  Run it in a
throwaway environment with the pinned version:

    python3.11 -m venv /tmp/venv-genai-prices
    /tmp/venv-genai-prices/bin/pip install genai-prices==0.2.5
    /tmp/venv-genai-prices/bin/python tools/update_price_list.py [--date YYYY-MM-DD]

The script reads quelm's own lookup rule (src/quelm/_lookup.py, put on the
path from this checkout) to decide which names need a row.

What goes in: for each maker below, the text and chat models it sells
through its own API, at the standard (base tier) prompt and completion
price that applies on the given date (today by default).  The models the
data marks deprecated or that their makers have retired (RETIRED) are
still in logs: they go in a table of their own per maker, "<maker>:
retired models".  Then a table per cloud (Amazon Bedrock, Google Vertex AI,
Microsoft Azure) for the models their makers do not sell themselves
(Bedrock's Llama, Qwen, Nova...; Vertex AI's Gemma; Azure's Phi) and for
the cloud ids whose price differs from the maker's: Bedrock's regional ids
(one per region prefix the data's match clauses name, us.anthropic.claude-
sonnet-4-5-20250929-v1:0, and the in-region id) cost 1.1 times the price
of its global ones.  Before them, a table for a router (OpenRouter) and
one per host of open models (Together AI, Fireworks, Groq, Cerebras,
Novita, Baseten, Cloudflare Workers AI, Databricks, OVHcloud AI Endpoints)
for their own ids where the lookup would otherwise give them another
seller's price (see Names).  Left out: other makers' models served by a
provider (resellers), the router's and hosts' other ids, models without
both a prompt and a completion token price (embeddings, speech, per-request
products), and entries that are match patterns or a router's variants
rather than API names.

Names: each model's own id, the exact names the data matches (dated
snapshots such as claude-opus-4-20250514, aliases such as claude-sonnet-4
and the -latest ones) and a family name that the id extends
(claude-3-5-haiku for claude-3-5-haiku-latest) are listed at its price, so
that the dated names an API reports in its responses find their price.  The
package's lookup also finds a name by its canonical form (routing path,
Bedrock region and vendor, cloud version suffix dropped, a version's point
read as a hyphen, a date stamp dropped when the dated form names nothing),
and two rows of one form at other prices make that form name nothing.  So
the other names the data gives (spellings such as claude-4-5-haiku or
gpt-5-4, the clouds' ids) get a row only where that lookup would not find
their price without it; and where a cloud's rows take the form of a maker's
dated name (claude-sonnet-4-5-20250929), that name gets a row at the
maker's price.  Rows are added until every such name is priced right.

The clouds', the router's and the hosts' tables are headed "(exact names)"
(quelm._pricelist.EXACT_ONLY): their rows are found by their names only
(lower-cased, or after a routing path), never through the canonical form.
The canonical form drops a routing path, by design, so OpenRouter's
deepseek/deepseek-v4-pro or Fireworks' accounts/fireworks/models/deepseek-
v4-pro would take DeepSeek's price; such an id gets a row at its seller's
price, and only such an id: one the lookup prices alike, or does not price
at all, gets none (the tables are no catalogue of the hosts; Fireworks'
bare keys, deepseek-v4-pro, are no names of its API).  A name that is a
maker's or a cloud's own (command-r, Azure's phi-4-reasoning-plus) keeps
their price, and one name has one price: where the router and hosts want
one name at other prices (OpenRouter's and Novita's "maker/name" ids), it
is listed at the price that most of them want, if the lookup's price
serves fewer of them; a tie goes to the lookup's price, else to the
earlier table.  The names a seller writes in other letter case
(microsoft/WizardLM-2-8x22B) are looked up lower-cased: one row serves.

Order: the module's lookup takes the first table name that a requested name
contains, so a name is written before every listed name that it contains
(gpt-4o-mini before gpt-4o before gpt-4); ties go alphabetically.  The
tables follow the same rule (clouds' ids contain makers' names, so their
tables come first; gpt-4.5-preview contains gpt-4, so OpenAI's retired
models come before its current ones).  The script checks the whole
document, across tables, and fails rather than write an order the lookup
would misread.

After the three columns the module reads, each table carries the other
prices that at least one of its models has (src/quelm/_columns.py
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
from typing import Callable, Iterable, Iterator, NamedTuple

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "src"))
from quelm._lookup import canonical, undated  # noqa: E402  (the package's lookup rule)
from quelm._pricelist import EXACT_ONLY  # noqa: E402

SOURCE = "genai-prices"
SOURCE_VERSION = "0.2.5"
OUT = ROOT / "pricing_table.md"
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
    ("google", "Google (Gemini API)", lambda n: n.startswith("gemini")),
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
    # Its own models; "perplexity/<model>" ids are other makers' models it
    # resells, but for perplexity/sonar, Sonar on its current API.
    ("perplexity", "Perplexity", lambda n: "/" not in n or n.startswith("perplexity/sonar")),
    ("arcee", "Arcee", lambda n: n.startswith("trinity")),
    ("cursor", "Cursor", lambda n: n.startswith("composer")),
]

# (provider id, heading, which of its models): clouds, for the models their
# makers do not sell themselves and the ids whose prices differ from the
# makers' (Bedrock's regional ones, 1.1 times the price).
# Their headings mark them as found by their exact names only (quelm's
# _pricelist.EXACT_ONLY): the canonical form of another seller's name for
# the same model must not reach a cloud's price.
CLOUDS: list[tuple[str, str, Callable[[str], bool]]] = [
    ("aws", f"Amazon Bedrock {EXACT_ONLY}", lambda n: True),
    ("google", f"Google Vertex AI {EXACT_ONLY}", lambda n: not n.startswith("gemini")),
    ("azure", f"Microsoft Azure {EXACT_ONLY}", lambda n: True),
]
CLOUD_HEADINGS = [heading for _, heading, _ in CLOUDS]
# (provider id, heading): a router, then the hosts of open models, for their
# own ids (OpenRouter's deepseek/deepseek-v4-pro, Fireworks'
# accounts/fireworks/models/deepseek-v4-pro) where the lookup would give
# them another seller's price: the canonical form drops the routing path,
# by design, and so reaches the maker's price.  Found by their exact names
# only, like the clouds' rows; an id the lookup does not price at all
# stays unpriced (no row: these tables are no catalogue of the hosts).
HOSTS: list[tuple[str, str]] = [
    ("openrouter", f"OpenRouter {EXACT_ONLY}"),
    ("together", f"Together AI {EXACT_ONLY}"),
    ("fireworks", f"Fireworks {EXACT_ONLY}"),
    ("groq", f"Groq {EXACT_ONLY}"),
    ("cerebras", f"Cerebras {EXACT_ONLY}"),
    ("novita", f"Novita {EXACT_ONLY}"),
    ("baseten", f"Baseten {EXACT_ONLY}"),
    ("cloudflare", f"Cloudflare Workers AI {EXACT_ONLY}"),
    ("databricks", f"Databricks {EXACT_ONLY}"),
    ("ovhcloud", f"OVHcloud AI Endpoints {EXACT_ONLY}"),
]
HOST_HEADINGS = [heading for _, heading in HOSTS]
RETIRED_HEADING = "{}: retired models"
# Bedrock's form of an id: "vendor.model", perhaps after a region (or the
# data's "regional." for the regional prices); a region before a vendor.
BEDROCK_ID = re.compile(r"[a-z][a-z-]*\.[a-z]")
REGION = re.compile(r"^[a-z-]+\.(?=[a-z]+\.[a-z])")
# Bedrock's cross-region inference profiles of a model, as its ids begin.
CROSS_REGION = ("us.", "eu.", "apac.")

# Modalities other than text in and text out.
NOT_TEXT = re.compile(r"image|tts|transcribe|whisper|realtime|audio|live|embed|moderation|sonic|"
                      r"speech|voice|ocr", re.I)

# Still in the source data, but retired by their makers: listed in their
# makers' tables of retired models, as the data deprecated ones.
RETIRED = {
    "ada", "babbage", "curie", "davinci", "text-davinci-002", "text-davinci-003",
    "gpt-3.5-0301", "gpt-4-vision-preview", "gpt-4.5-preview", "o1-preview",
    "claude-v1", "claude-2", "claude-3-sonnet", "claude-3-5-sonnet",
    "gemini-pro", "gemini-1.0-pro-vision-001", "gemini-1.5-flash", "gemini-1.5-pro",
    "llama-3.1-sonar-large-128k-online", "llama-3.1-sonar-small-128k-online",
}

# Retired names left out: a current name contains each (babbage-002,
# davinci-002, gemini-pro-latest), so it would have to come after it, while
# its retired table has to come before the current one (gpt-4.5-preview
# contains gpt-4, gemini-2.5-flash-preview gemini-2.5-flash); and "ada",
# which the module's rule would take for any name containing it
# (text-embedding-ada-002).
LEFT_OUT = {"babbage", "davinci", "gemini-pro", "ada"}

# Match patterns of the source data that no API takes as a model name.
# (DeepSeek's API names its R1 model deepseek-reasoner; "deepseek-r1" is the
# name hosts give the open weights, at their own prices.)
NOT_API_NAMES = {"gpt-3.5-0301", "gpt-4o:extended", "gemini-flash-1.5", "gemini-flash-1.5-8b",
                 "gemini-pro-1.5", "gemini-2.5-flash-preview", "deepseek-r1"}
ROUTER_VARIANT = re.compile(r":[a-z]+$")
# (A leading "~": OpenRouter's ids of a model family's latest version,
# ~google/gemini-pro-latest.)
API_NAME = re.compile(r"~?[A-Za-z0-9][A-Za-z0-9._:@/-]*[A-Za-z0-9]")


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


def cells_of(maker: str, model: object, prices: object, day: datetime.date, types: object,
             warnings: list[str]) -> dict[str, str]:
    """A model's cells after the third, by column header."""
    return {**cache_cells(maker, prices), **audio_cells(prices),
            **long_cells(maker, model, prices, warnings),
            **tier_cells(model, prices, day, types, warnings), **us_cells(maker, model),
            **time_of_day_cells(model, day, types, warnings)}


def literals(clause: object, types: object) -> Iterator[tuple[str, str]]:
    """The (kind, text) of each literal of a match clause, in order:
    "equals", "starts" (starts with) or "part" (ends with, contains);
    regular expressions aside."""
    if isinstance(clause, types.ClauseOr):
        for inner in clause.or_:
            yield from literals(inner, types)
    elif isinstance(clause, types.ClauseAnd):
        for inner in clause.and_:
            yield from literals(inner, types)
    elif isinstance(clause, types.ClauseEquals):
        yield "equals", clause.equals
    elif isinstance(clause, types.ClauseStartsWith):
        yield "starts", clause.starts_with
    else:
        for attribute in ("ends_with", "contains"):
            if isinstance(getattr(clause, attribute, None), str):
                yield "part", getattr(clause, attribute)


def whole_name(text: str, model_id: str) -> bool:
    """Whether the text of a "starts with" or "contains" clause reads as a
    whole name rather than a part of one: not a part of the id other than a
    family name it extends by a hyphen; not the id (a Bedrock region aside)
    cut short of a token (it goes on with a digit or ":") or of its
    version suffix ("-v1:0"); no date cut to its year (claude-sonnet-4-2025);
    no lone "-0" that starts a version number (gemini-2.0-flash-0)."""
    core, rest = REGION.sub("", text.lower()), REGION.sub("", model_id.lower())
    if core != rest and core in rest and not rest.startswith(core + "-"):
        return False  # a part of the id: MiniMax-M2.1-highspeed's M2.1-highspeed
    if rest.startswith(core) and re.match(r"[:\d]|-v\d+(?::\d+)?$", rest[len(core):]):
        return False
    return re.search(r"-20\d\d$|(?<=[a-z])-0$", text) is None


def names_of(model: object, types: object) -> tuple[list[str], list[str]]:
    """The model's names from the data: those always listed (its id, the
    exact names its clauses give and a prefix that the id extends by a
    hyphen, a family name), and those listed only where the lookup would
    not find the model's price without them (a clause's other whole names,
    such as claude-4-5-haiku, a version number respelt with a hyphen, such
    as gpt-5-1, and a router's "maker/name" form)."""
    listed, spellings = [model.id], []
    for kind, text in literals(model.match, types):
        if kind == "equals" or (kind == "starts" and model.id.startswith(text + "-")):
            listed.append(text)
        elif whole_name(text, model.id):
            spellings.append(text)
    respelt = {re.sub(r"(?<=\d)\.(?=\d)", "-", n) for n in listed if "." in n}
    others = [n for n in listed[1:] if n != model.id]
    moved = [n for n in others if "/" in n or n in respelt]
    return [model.id] + [n for n in others if n not in moved], moved + spellings


def bedrock_names(model: object, types: object) -> list[str]:
    """A Bedrock model's names in Bedrock's form ("vendor.model", perhaps
    after a region): its id, or for a `regional.*` one (the data's id of the
    regional prices) the in-region id and one id per region its clauses
    name; then its clauses' names of that form.  The clauses' bare names
    (claude-sonnet-4-5-20250929) are the maker's."""
    listed, spellings = names_of(model, types)
    names = [n for n in listed + spellings if BEDROCK_ID.match(n)]
    if not model.id.startswith("regional."):
        if REGION.match(model.id) or not any(
                kind == "part" and not REGION.match(text)
                for kind, text in literals(model.match, types)):
            return names
        # Matched wherever its id stands, so at one price in every region:
        # its cross-region inference profiles too.
        return names + [region + model.id for region in CROSS_REGION]
    own = REGION.sub("", model.id)
    regions = [REGION.match(text)[0] for _, text in literals(model.match, types)
               if REGION.match(text) and REGION.sub("", text).startswith(own.split(".")[0] + ".")]
    ids = [own] + [region + own for region in dict.fromkeys(regions)]
    return list(dict.fromkeys(ids + [n for n in names if n != model.id]))


def host_names(model: object, types: object) -> list[str]:
    """A router's or host's names of the model: the names its clauses give;
    its id only where they give it too (Fireworks' ids are the data's keys,
    deepseek-v4-pro, its API's names accounts/fireworks/models/<key>: the
    bare key is the maker's name, at the maker's price)."""
    listed, spellings = names_of(model, types)
    given = {text.lower() for _, text in literals(model.match, types)}
    return [n for n in listed + spellings if n != model.id or n.lower() in given]


def cloud_names(provider_id: str, model: object, types: object) -> list[str]:
    """A cloud's names of the model: Bedrock's own form, or every name."""
    if provider_id == "aws":
        return bedrock_names(model, types)
    listed, spellings = names_of(model, types)
    return listed + spellings


class Price(NamedTuple):
    """A model's prices: prompt and completion, and the later cells as
    sorted (header, text) pairs."""

    prompt: Decimal
    completion: Decimal
    cells: tuple[tuple[str, str], ...]


class Row(NamedTuple):
    table: str  # its heading
    name: str
    price: Price


def usable(name: str) -> bool:
    """Whether a name of the data goes in the list: an API name of a text
    model, no fine-tuning pattern, no match pattern, no router's variant
    (gemini-2.5-flash-preview:thinking, at the router's own price), none
    left out."""
    return (name not in NOT_API_NAMES and name not in LEFT_OUT
            and API_NAME.fullmatch(name) is not None
            and not NOT_TEXT.search(name) and "ft:" not in name and ".ft-" not in name
            and ROUTER_VARIANT.search(name) is None)


def priced(provider: object, own: Callable[[str], bool], day: datetime.date, types: object,
           warnings: list[str]) -> Iterator[tuple[object, Price]]:
    """The provider's text models that `own` selects, with their prices."""
    for model in provider.models:
        if not own(model.id) or NOT_TEXT.search(model.id) or "ft:" in model.id:
            continue
        prices = current(model, day, types)
        prompt = base(getattr(prices, "input_mtok", None))
        completion = base(getattr(prices, "output_mtok", None))
        if prompt is None or completion is None:
            continue
        cells = cells_of(provider.id, model, prices, day, types, warnings)
        yield model, Price(prompt, completion, tuple(sorted(cells.items())))


class Listing:
    """The list's rows as they build up, and what the package's lookup
    (`quelm._lookup`: the name, else its canonical form, else that form
    undated) finds for a name on them."""

    def __init__(self) -> None:
        self.rows: dict[str, Row] = {}  # by name, lower-cased
        self.forms: dict[str, dict[Price, Row]] = {}  # by canonical form: a row of each price

    def add(self, table: str, name: str, price: Price) -> None:
        row = Row(table, name, price)
        self.rows[name.lower()] = row
        if EXACT_ONLY not in table.lower():  # as quelm._pricelist reads headings
            self.forms.setdefault(canonical(name), {}).setdefault(price, row)

    def find(self, name: str) -> Row | None:
        """The row the lookup prices `name` by; None for none (no row, or
        a form that rows of other prices share)."""
        for listed in (name.lower(), name.lower().rsplit("/", 1)[-1]):
            if listed in self.rows:
                return self.rows[listed]
        form = canonical(name)
        if form not in self.forms:
            form = undated(form) or form
        rows = self.forms.get(form, {})
        return next(iter(rows.values())) if len(rows) == 1 else None

    def tables(self) -> dict[str, list]:
        """The rows by table: (name, prompt, completion, cells)."""
        out: dict[str, list] = {}
        for table, name, price in self.rows.values():
            out.setdefault(table, []).append((name, price.prompt, price.completion,
                                              dict(price.cells)))
        return out


def same_price(price: Price, other: Price) -> bool:
    """Whether a call is billed alike at both prices: the same prompt and
    completion prices, and the same price for every other class of tokens
    (cache, audio, long context) that both state.  Service tiers aside:
    they apply to the calls that ask for them."""
    if price[:2] != other[:2]:
        return False
    mine, theirs = dict(price.cells), dict(other.cells)
    return all(mine[c] == theirs[c] for c in mine.keys() & theirs.keys()
               if c.endswith(PRICE) or c == LONG_ABOVE)


def settle(listing: Listing, wanted: list[Row], warnings: list[str],
           wrong_only: Iterable[str] = ()) -> None:
    """Adds a row for each wanted (table, name, price) that the lookup does
    not price alike without it, until none is left: a row can take a
    canonical form from others, which then need rows of their own.

    The names of the tables `wrong_only` (the router's and the hosts') get
    a row only where the lookup gives them another price, not where it
    gives none; and where several of those tables want one name at other
    prices (the "maker/name" ids that OpenRouter and Novita share), only at
    the price that most of them want, and only if the lookup's price serves
    fewer of them (a tie goes to the earlier table): one name has one price.
    A name listed at another price stays as it is, with a warning (once)."""
    changed, warned, wrong_only = True, set(), set(wrong_only)
    sellers: dict[str, dict[str, list[Price]]] = {}  # by name: each table's prices
    for table, name, price in wanted:
        if table in wrong_only:
            sellers.setdefault(name.lower(), {}).setdefault(table, []).append(price)

    def served(name: str, price: Price) -> int:
        """How many of the router's and hosts' tables want `name` at `price`."""
        return sum(any(same_price(p, price) for p in prices)
                   for prices in sellers.get(name.lower(), {}).values())

    while changed:
        changed = False
        for table, name, price in wanted:
            found = listing.find(name)
            if found is not None and same_price(found.price, price):
                continue
            if table in wrong_only:
                if found is None:
                    continue
                mine = served(name, price)
                if mine <= served(name, found.price) or any(
                        served(name, p) > mine for ps in sellers[name.lower()].values()
                        for p in ps):
                    if (table, name) not in warned:
                        warned.add((table, name))
                        warnings.append(
                            f"{name}: {table}'s price {price.prompt}/{price.completion} left "
                            "out: as many of the name's sellers or more charge another; the "
                            f"lookup gives {found.table}'s {found.price.prompt}/"
                            f"{found.price.completion}")
                    continue
            if name.lower() in listing.rows:
                if (table, name) in warned:
                    continue
                warned.add((table, name))
                warnings.append(f"{name}: {table}'s price {price.prompt}/{price.completion} "
                                f"left out; listed in {found.table} at "
                                f"{found.price.prompt}/{found.price.completion}")
                continue
            listing.add(table, name, price)
            changed = True


def maker_rows(providers: dict, day: datetime.date, types: object, listing: Listing,
               warnings: list[str]) -> list[Row]:
    """Lists every maker's models (a retired one in its maker's table of
    retired models) under their names; gives back their other spellings,
    to be listed where needed."""
    spellings = []
    for provider_id, heading, own in MAKERS:
        for model, price in priced(providers[provider_id], own, day, types, warnings):
            retired = model.deprecated or model.id in RETIRED
            table = RETIRED_HEADING.format(heading) if retired else heading
            listed, others = names_of(model, types)
            for name in listed:
                if usable(name) and name.lower() not in listing.rows:
                    listing.add(table, name, price)
            spellings += [Row(table, n, price) for n in others if usable(n)]
    return spellings


def cloud_rows(providers: dict, day: datetime.date, types: object, listing: Listing,
               warnings: list[str]) -> list[Row]:
    """The clouds' names at their prices; and, where a cloud's id holds a
    maker's dated name (us.anthropic.claude-sonnet-4-5-20250929-v1:0), that
    dated name at the maker's price.  Responses carry it, and the module's
    lookup, which takes the first listed name that contains a request,
    would otherwise take the cloud's id (listed before it) for it.  Called
    on the makers' rows alone."""
    wanted, dated = [], []
    for provider_id, heading, own in CLOUDS:
        for model, price in priced(providers[provider_id], own, day, types, warnings):
            for name in cloud_names(provider_id, model, types):
                if not usable(name):
                    continue
                wanted.append(Row(heading, name, price))
                form = canonical(name)
                maker = listing.find(form) if undated(form) else None
                if maker is not None and maker.table not in CLOUD_HEADINGS + HOST_HEADINGS:
                    dated.append(Row(maker.table, form, maker.price))
    for table, name, price in dated:  # for the module's lookup: listed whatever ours finds
        if name.lower() not in listing.rows:
            listing.add(table, name, price)
    return wanted


def host_rows(providers: dict, day: datetime.date, types: object,
              warnings: list[str]) -> list[Row]:
    """The router's and the hosts' names at their prices."""
    wanted = []
    for provider_id, heading in HOSTS:
        for model, price in priced(providers[provider_id], lambda n: True, day, types, warnings):
            wanted += [Row(heading, name, price) for name in host_names(model, types)
                       if usable(name)]
    return wanted


def first_seller(wanted: list[Row], warnings: list[str], hosts: Iterable[str]) -> list[Row]:
    """`wanted` with a name that an earlier maker's or cloud's row wants
    dropped from the later rows of the "(exact names)" tables, which list a
    name once: makers' names come first (Vertex AI's claude-opus-4.6 is
    Anthropic's spelling), then the clouds' (OpenRouter's
    phi-4-reasoning-plus is Azure's id).  (The names a maker lists outright,
    Cohere's command-r, `settle` keeps.)  Names that only the tables
    `hosts` (the router's and the hosts') share are left to `settle`.  Warns
    where the dropped row's price differs."""
    first: dict[str, Row] = {}
    out, hosts = [], set(hosts)
    for row in wanted:
        earlier = first.get(row.name.lower(), row)
        if row.table not in hosts:
            first.setdefault(row.name.lower(), row)
        if earlier is row or EXACT_ONLY not in row.table.lower():
            out.append(row)
        elif not same_price(earlier.price, row.price):
            warnings.append(f"{row.name}: {row.table}'s price {row.price.prompt}/"
                            f"{row.price.completion} left out for {earlier.table}'s")
    return out


def collect(providers: list, day: datetime.date, types: object,
            warnings: list[str]) -> list[tuple[str, list]]:
    """Each table's heading and rows (name, prompt, completion, the cells
    after the third by header), in the order of the document."""
    by_id = {p.id: p for p in providers}
    listing = Listing()
    wanted = maker_rows(by_id, day, types, listing, warnings)
    wanted += cloud_rows(by_id, day, types, listing, warnings)
    wanted += host_rows(by_id, day, types, warnings)
    settle(listing, first_seller(wanted, warnings, HOST_HEADINGS), warnings,
           wrong_only=HOST_HEADINGS)
    tables = listing.tables()
    return [(heading, in_order(tables[heading])) for heading in arrange(tables)]


def in_order(rows: list) -> list:
    """A table's rows, their names in `order`."""
    by_name = {row[0]: row for row in rows}
    return [by_name[name] for name in order(by_name)]


def arrange(tables: dict[str, list]) -> list[str]:
    """The tables' headings in the order of the document: the router's and
    the hosts', the clouds', then each maker's followed by its retired models, except that a table with a
    name that contains a name of another table comes before it (the module
    takes the first listed name that a requested name contains).  Fails when
    no order of whole tables serves."""
    preferred = [h for h in HOST_HEADINGS + CLOUD_HEADINGS if h in tables]
    for _, heading, _ in MAKERS:
        preferred += [h for h in (heading, RETIRED_HEADING.format(heading)) if h in tables]
    table_of = {row[0].lower(): h for h in preferred for row in tables[h]}
    first: dict[str, set[str]] = {h: set() for h in preferred}  # tables to come before h
    why: dict[tuple[str, str], tuple[str, str]] = {}
    for short in table_of:
        for long in table_of:
            if short != long and short in long and table_of[short] != table_of[long]:
                first[table_of[short]].add(table_of[long])
                why[table_of[long], table_of[short]] = (long, short)
    out: list[str] = []
    while len(out) < len(preferred):
        ready = [h for h in preferred if h not in out and first[h] <= set(out)]
        if not ready:
            stuck = [(g, h, why[g, h]) for h in preferred if h not in out
                     for g in first[h] if g not in out]
            sys.exit("no order of whole tables serves the lookup: " + ", ".join(
                f"{g!r} before {h!r} ({long!r} contains {short!r})"
                for g, h, (long, short) in stuck))
        out.append(ready[0])
    return out


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
        "Standard (base tier) prices in US dollars per 1M tokens of text and chat models",
        f"under {count} names: one table per maker, for the models it sells through its own",
        "API, names as the maker's API takes them; its retired models, still found in",
        "logs, in a table of their own headed \"<maker>: retired models\". Before them,",
        "one table per cloud (Amazon Bedrock, Google Vertex AI, Microsoft Azure): the",
        "models their makers do not sell themselves, and the cloud ids whose price",
        "differs from the maker's. Bedrock's regional ids (us., eu., apac., ...) cost",
        "1.1 times the price of its global ones and are listed each with its price.",
        "First come the tables of a router (OpenRouter) and of hosts of open models",
        "(Fireworks, Novita, ...): their own ids, such as deepseek/deepseek-v4-pro,",
        "only where the lookup would otherwise give them another seller's price;",
        "their other ids are not priced. Other resellers are left out.",
        "",
        f"From the data of the {SOURCE} package, version {SOURCE_VERSION} (MIT licence), with the",
        f"prices in force on {day.isoformat()}, converted by tools/update_price_list.py.",
        "Prices change often: check them with the maker before relying on them.",
        "",
        "The package finds a name as listed, else by its canonical form (routing path,",
        "Bedrock region and vendor, cloud version suffix dropped, a version's point",
        "read as a hyphen, a date stamp dropped), so a cloud id at its maker's price",
        "and the other spellings of a listed name need no row, except where rows of",
        "other prices share their form. The tables headed \"(exact names)\" hold a",
        "cloud's, router's or host's own ids at its prices: they are found by their",
        "names only (in any letter case, or after a routing path), never by another",
        "seller's spelling of the model. The module's own lookup takes the first",
        "table name that a requested name contains, so every name stands before any",
        "listed name that it contains, across tables.",
        "",
        "The module reads the first three columns only. The later ones, where a table",
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


def arguments(doc: str) -> argparse.ArgumentParser:
    """A tool's arguments, from the day whose prices to take."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--date", type=datetime.date.fromisoformat,
                        default=datetime.datetime.now(datetime.timezone.utc).date(),
                        help="the day whose prices to take (default: today, UTC)")
    return parser


def source_data() -> tuple[list, object]:
    """The pinned data's providers and types module; exits when another
    version (or none) is installed."""
    try:
        from importlib.metadata import version

        import genai_prices.types as types
        from genai_prices.data import providers
    except ImportError:
        sys.exit(f"needs {SOURCE}=={SOURCE_VERSION}: pip install {SOURCE}=={SOURCE_VERSION}")
    if version(SOURCE) != SOURCE_VERSION:
        sys.exit(f"{SOURCE} {version(SOURCE)} is installed; this tool reads {SOURCE_VERSION}")
    return providers, types


def main() -> int:
    parser = arguments(__doc__)
    parser.add_argument("--output", type=pathlib.Path, default=OUT)
    args = parser.parse_args()
    providers, types = source_data()
    warnings: list[str] = []
    tables = collect(providers, args.date, types, warnings)
    check_order(tables)
    args.output.write_text(render(tables, args.date), encoding="utf-8")
    for warning in warnings:
        print(f"warning: {warning}", file=sys.stderr)
    for heading, rows in tables:
        print(f"{len(rows):4}  {heading}")
    print(f"{sum(len(r) for _, r in tables):4}  names written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
