#!/usr/bin/env python3
"""How often the bundled price list gives a real model name its seller's
price: for each name, the entry quelm's lookup finds on the list is right
(the seller's prompt and completion prices, within 0.5%), wrong (an entry
with other prices) or missing (no entry), counted by group.

Run it from the repository root in the throwaway environment that holds the
pinned data (see tools/update_price_list.py), with quelm's sources on the
path:

    PYTHONPATH=src /tmp/venv-gp/bin/python tools/name_coverage.py --date 2026-12-08

(`--list FILE` measures another list, `--missed` lists the names that
miss, `--hosts` also measures the names of a router and of hosts of open
models at their own prices, which the list gives a row only where the
lookup would otherwise give them another seller's price; the native
modules must be built, as `_pricelist.read` parses the list with them.)
The package genai-prices is read as data only: its model ids, the literal
names of its match clauses and its prices.  Each wrong name is listed with
the other groups that hold the same name at the price it got: a list
gives a name one price, so a name that two sellers price differently is
wrong for one of them whatever the list holds.

The names and the price each should get:

- makers' ids: for each maker's provider in the data, every model id and
  every exact name its match clauses give (an "equals" clause, and the text
  of a "starts with", "ends with" or "contains" clause when it reads as a
  whole name rather than a part of one), at that provider's standard
  prompt and completion price in force on the date;
- clouds' ids, likewise: Amazon Bedrock (provider "aws"; names in Bedrock's
  "vendor.model" form only, and for a `regional.*` model one name per region
  prefix its clauses list, e.g. `us.anthropic.claude-...-v1:0`, and its
  in-region id), Google Vertex AI (the models of provider "google" other
  than Gemini) and Microsoft Azure;
- router's and hosts' ids (--hosts): the names their match clauses give,
  and a model's id only where they give it too (Fireworks' ids are the
  data's keys, deepseek-v4-pro, matched as accounts/fireworks/models/<key>:
  the bare key is DeepSeek's own name);
- names people send that the data does not list as such: a router's
  "maker/name" form of each maker's name (none that the data gives a router
  or host, at that seller's price), a dated variant of each undated
  name of the makers that stamp dates (OpenAI's -YYYY-MM-DD, Anthropic's
  and xAI's -YYYYMMDD, dated with the measuring day), and Vertex AI's
  "name@version" form of its Claude names and of Anthropic's dated names.

A model without both a prompt and a completion token price (embeddings,
speech, per-request products) gives no names.  The standard price is the
one in force on the date; for a model priced by time of day it is the peak
price (the off-peak one is a discount on it, as the list writes it).
"""

from __future__ import annotations

import datetime
import re
import sys
from collections import Counter, defaultdict
from decimal import Decimal
from typing import Iterable, NamedTuple, Optional

import update_price_list as listing
from update_price_list import (EXACT_ONLY, ROOT, arguments, base, bedrock_names, current,
                               host_names, names_of, source_data)

TOLERANCE = 0.005

# Providers of the data that are makers selling their own models, with the
# slug a router writes before their names ("maker/name").
MAKERS = {"openai": "openai", "anthropic": "anthropic", "google": "google",
          "mistral": "mistralai", "x-ai": "x-ai", "deepseek": "deepseek", "cohere": "cohere",
          "meta": "meta", "moonshotai": "moonshotai", "zai": "z-ai", "minimax": "minimax",
          "perplexity": "perplexity", "arcee": "arcee-ai", "cursor": "cursor"}
# Which of a maker's models it makes (the others it resells), as the list's
# builder takes them.
OWN = {provider: own for provider, _, own in listing.MAKERS}
# Makers whose ids carry a date stamp, and how they write it.
DATE_STYLES = {"openai": "%Y-%m-%d", "anthropic": "%Y%m%d", "x-ai": "%Y%m%d"}
CLOUDS = {provider: heading.replace(EXACT_ONLY, "").strip()
          for provider, heading, _ in listing.CLOUDS}
# Hosts of open models and a router, measured on request (--hosts): the
# list has rows for their ids only where the lookup would otherwise give
# them a maker's or a cloud's price that is not theirs, so their names
# should be right or miss.
HOSTS = [provider for provider, _ in listing.HOSTS]

# A name as an API takes it; a date stamp or alias that a dated variant
# should not extend.
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:@/-]*[A-Za-z0-9]")
NOT_DATABLE = re.compile(r"-(?:\d{8}|\d{4}-\d{2}-\d{2}|\d{4}|latest|preview|exp)$|[:@/]")


class Price(NamedTuple):
    prompt: Decimal
    completion: Decimal
    model: str  # the data's model id it comes from


def standard(model: object, day: datetime.date, types: object) -> Optional[tuple]:
    """The model's standard (prompt, completion) prices in force on `day`,
    as the list takes them; None without both prices."""
    prices = current(model, day, types)
    prompt = base(getattr(prices, "input_mtok", None))
    completion = base(getattr(prices, "output_mtok", None))
    return None if prompt is None or completion is None else (prompt, completion)


def model_names(model: object, types: object) -> list[str]:
    """The model's names as the list's builder reads them from the data (its
    id and the names its clauses give), those an API takes."""
    listed, spellings = names_of(model, types)
    return [n for n in dict.fromkeys(listed + spellings)
            if NAME.fullmatch(n) and "ft:" not in n]


def maker_models(provider: object) -> list:
    """The models the provider makes (Google's: Gemini)."""
    own = OWN.get(provider.id, lambda n: True)
    return [m for m in provider.models if own(m.id)]


def cloud_models(provider: object) -> list:
    """The provider's models that count for it as a cloud."""
    if provider.id == "google":
        return [m for m in provider.models if not m.id.startswith("gemini")]
    return list(provider.models)


def add(groups: dict, group: str, name: str, price: Price, conflicts: list) -> None:
    """Files `name` under `group` at `price`, once; a second price for the
    same name in the same group is a conflict of the data, set aside."""
    known = groups[group].get(name)
    if known is None:
        groups[group][name] = price
    elif known[:2] != price[:2]:
        conflicts.append(f"{group}: {name} at {known.prompt}/{known.completion} ({known.model}) "
                         f"and {price.prompt}/{price.completion} ({price.model})")


def collect(providers: list, day: datetime.date, types: object,
            conflicts: list) -> dict[str, dict[str, Price]]:
    """The data's names by group ("maker ids: <provider>", "cloud ids:
    <cloud>"), each at its provider's standard price."""
    groups: dict[str, dict[str, Price]] = defaultdict(dict)
    by_id = {p.id: p for p in providers}
    for provider_id in MAKERS:
        for model in maker_models(by_id[provider_id]):
            price = standard(model, day, types)
            if price is not None:
                for name in model_names(model, types):
                    add(groups, f"maker ids: {provider_id}", name, Price(*price, model.id),
                        conflicts)
    for provider_id, cloud in CLOUDS.items():
        for model in cloud_models(by_id[provider_id]):
            price = standard(model, day, types)
            if price is None:
                continue
            names = (bedrock_names if provider_id == "aws" else model_names)(model, types)
            for name in names:
                add(groups, f"cloud ids: {cloud}", name, Price(*price, model.id), conflicts)
    return groups


def hosts(providers: list, day: datetime.date, types: object,
          conflicts: list) -> dict[str, dict[str, Price]]:
    """The hosts' names by group ("host ids: <provider>") at their prices."""
    groups: dict[str, dict[str, Price]] = defaultdict(dict)
    by_id = {p.id: p for p in providers}
    for provider_id in HOSTS:
        for model in by_id[provider_id].models:
            price = standard(model, day, types)
            if price is not None:
                for name in host_names(model, types):
                    add(groups, f"host ids: {provider_id}", name, Price(*price, model.id),
                        conflicts)
    return groups


def generated(groups: dict, day: datetime.date, conflicts: list,
              hosts_named: Iterable[str] = ()) -> None:
    """Adds the forms people send that the data does not list: "maker/name",
    dated variants, and Vertex AI's "name@version" (none that the data
    itself names, `hosts_named` included: perplexity/sonar is Perplexity's
    id, at its own price, deepseek/deepseek-v4-pro OpenRouter's and
    Novita's, at theirs)."""
    named = {name.lower() for names in list(groups.values()) for name in names}
    named |= {name.lower() for name in hosts_named}
    for provider_id, slug in MAKERS.items():
        for name, price in list(groups[f"maker ids: {provider_id}"].items()):
            if "/" not in name and f"{slug}/{name}".lower() not in named:
                add(groups, "sent: maker/name", f"{slug}/{name}", price, conflicts)
            if provider_id in DATE_STYLES and not NOT_DATABLE.search(name.lower()):
                add(groups, "sent: dated variant", f"{name}-{day:{DATE_STYLES[provider_id]}}",
                    price, conflicts)
    vertex = groups["cloud ids: Google Vertex AI"]
    for name, price in list(vertex.items()):
        if name.startswith("claude") and not NOT_DATABLE.search(name):
            add(groups, "sent: Vertex name@version", f"{name}@{day:%Y%m%d}", price, conflicts)
    for name, price in groups["maker ids: anthropic"].items():
        dated = re.fullmatch(r"(claude-.*)-(\d{8})", name)
        if dated:
            add(groups, "sent: Vertex name@version", f"{dated[1]}@{dated[2]}", price, conflicts)


def close(listed: float, wanted: Decimal) -> bool:
    wanted = float(wanted)
    return abs(listed - wanted) <= TOLERANCE * abs(wanted)


def right(entry: object, price: Price) -> bool:
    """Whether the entry has the seller's prompt and completion prices."""
    return (close(entry.rates.get("prompt", -1.0), price.prompt)
            and close(entry.rates.get("completion", -1.0), price.completion))


def measure(prices: object, groups: dict, lookup: object) -> tuple[dict, list]:
    """Counts right / wrong / miss by group; the wrong names with the
    seller's price, the entry and the other groups that hold the same name
    (lower-cased, as the lookup reads it) at the entry's price."""
    counts: dict[str, Counter] = {}
    wrong = []
    holders = defaultdict(list)
    for group, names in groups.items():
        for name, price in names.items():
            holders[name.lower()].append((group, price))
    for group, names in groups.items():
        tally = counts[group] = Counter()
        for name, price in names.items():
            entry = lookup.find(prices, name)
            if entry is None:
                tally["miss"] += 1
            elif right(entry, price):
                tally["right"] += 1
            else:
                tally["wrong"] += 1
                shared = sorted(g for g, p in holders[name.lower()] if g != group and right(entry, p))
                wrong.append((group, name, price, entry, shared))
    return counts, wrong


def row(label: str, tally: Counter) -> str:
    total = sum(tally.values())
    shares = "".join(f"{tally[k]:6} {100 * tally[k] / total:6.1f}%" if total else f"{0:6} {'-':>7}"
                     for k in ("right", "wrong", "miss"))
    return f"{label:38} {total:6}{shares}"


def report(counts: dict, wrong: list, conflicts: list, missed: dict) -> None:
    print(f"{'group':38} {'names':>6}{'right':>14}{'wrong':>14}{'miss':>14}")
    totals: dict[str, Counter] = defaultdict(Counter)
    for group in sorted(counts):
        print(row(group, counts[group]))
        totals[group.split(":")[0]] += counts[group]
    print()
    for kind in ("maker ids", "cloud ids", "sent", "host ids"):
        if totals[kind]:
            print(row(f"all {kind}", totals[kind]))
    print(f"\n{len(wrong)} wrong:")
    for group, name, price, entry, shared in sorted(wrong, key=lambda w: (w[0], w[1])):
        print(f"  {group}: {name}: seller {price.prompt}/{price.completion} ({price.model}), "
              f"list {entry.rates.get('prompt')}/{entry.rates.get('completion')} "
              f"({entry.name})" + (f"; the name of {', '.join(shared)} at that price"
                                   if shared else ""))
    if missed:
        print("\nmissed:")
        for group in sorted(missed):
            print(f"  {group}: " + ", ".join(sorted(missed[group])))
    if conflicts:
        print(f"\n{len(conflicts)} names at two prices in one group (first kept):")
        for conflict in conflicts:
            print(f"  {conflict}")


def main() -> int:
    parser = arguments(__doc__)
    parser.add_argument("--list", default=str(ROOT / "pricing_table.md"),
                        help="the price list to measure (default: the bundled one)")
    parser.add_argument("--missed", action="store_true", help="also list the names missed")
    parser.add_argument("--hosts", action="store_true",
                        help="also measure hosts' and routers' names (at their own prices)")
    args = parser.parse_args()
    providers, types = source_data()
    try:
        from quelm import _lookup, _pricelist
    except ImportError:
        sys.exit("needs quelm's sources on the path: PYTHONPATH=src")
    conflicts: list[str] = []
    groups = collect(providers, args.date, types, conflicts)
    host_groups = hosts(providers, args.date, types, conflicts if args.hosts else [])
    generated(groups, args.date, conflicts,
              [name for names in host_groups.values() for name in names])
    if args.hosts:
        groups.update(host_groups)
    prices = _pricelist.read(args.list)
    counts, wrong = measure(prices, groups, _lookup)
    missed = {}
    if args.missed:
        missed = {g: [n for n in names if _lookup.find(prices, n) is None]
                  for g, names in groups.items()}
    report(counts, wrong, conflicts, missed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
