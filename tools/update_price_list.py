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


def current(model: object, day: datetime.date, types: object) -> object:
    """The standard price set in force on `day`: the last one whose start
    date has come.  Time-of-day prices (off-peak discounts) are not the
    standard price and are passed over."""
    prices = model.prices
    if not isinstance(prices, list):
        return prices
    chosen = prices[0].prices
    for conditional in prices:
        constraint = conditional.constraint
        if constraint is None:
            chosen = conditional.prices
        elif isinstance(constraint, types.StartDateConstraint):
            if constraint.start_date <= day:
                chosen = conditional.prices
    return chosen


def number(price: Decimal) -> str:
    """A price as the list writes it: positional notation (the parser reads
    no exponent), trailing zeros dropped, at least two decimals."""
    text = format(price.normalize(), "f")
    whole, _, decimals = text.partition(".")
    return f"{whole}.{decimals.ljust(2, '0')}"


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


def collect(providers: list, day: datetime.date, types: object) -> list[tuple[str, list]]:
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
            for name in names_of(model, types):
                if (name in RETIRED or name in NOT_API_NAMES or NOT_TEXT.search(name)
                        or not API_NAME.fullmatch(name) or "ft:" in name or ".ft-" in name
                        or name.lower() in seen):
                    continue
                seen.add(name.lower())
                rows[name] = (prompt, completion)
        tables.append((heading, [(n, *rows[n]) for n in order(rows)]))
    return tables


def check_order(tables: list[tuple[str, list]]) -> None:
    """Fails when an earlier name is contained in a later one, anywhere in
    the document: the lookup would give the later name's variants the
    earlier price."""
    listed = [n.lower() for _, rows in tables for n, _, _ in rows]
    bad = [(a, b) for i, a in enumerate(listed) for b in listed[i + 1:] if a in b]
    if bad:
        sys.exit("order the lookup would misread: " +
                 ", ".join(f"{a!r} before {b!r}" for a, b in bad))


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
    ]
    for heading, rows in tables:
        if not rows:
            continue
        out += ["", f"## {heading}", "", HEADER, "|---|---:|---:|"]
        out += [f"| {name} | ${number(p)} | ${number(c)} |" for name, p, c in rows]
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
    tables = collect(providers, args.date, types)
    check_order(tables)
    args.output.write_text(render(tables, args.date), encoding="utf-8")
    for heading, rows in tables:
        print(f"{len(rows):4}  {heading}")
    print(f"{sum(len(r) for _, r in tables):4}  models written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
