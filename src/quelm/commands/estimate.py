"""``python -m quelm estimate``: the cost of one call, class by class, and
which entry of the price list priced it.

The call is priced as `quelm.cost` prices a response (`_cost`), its entry
found by the package's lookup (`_lookup`).  The module's `estimate_costs`
looks a name up by its own rule; when it would take another entry for the
same name, the estimate says so.
"""

from __future__ import annotations

import datetime
from typing import Any

from quelm import BUNDLED_PRICING, _cost, _explain, _lookup, _usage
from quelm._columns import TIERS
from quelm._terminal import (PROG, SOURCE_HELP, CommandError, Report, count, dollars, model_name,
                             no_match, price_list, shown, shown_name, strict_json, token_count)
from quelm.commands import COMMANDS

# The flags of the classes inside the prompt and completion counts, in
# the order of _usage.CLASSES: (class, flag, where it lies).
PARTS = [
    ("cached", "--cached-tokens", "prompt"),
    ("cache_write", "--cache-write-tokens", "prompt"),
    ("cache_write_long", "--cache-write-long-tokens", "prompt"),
    ("audio_prompt", "--audio-prompt-tokens", "prompt"),
    ("reasoning", "--reasoning-tokens", "completion"),
    ("audio_completion", "--audio-completion-tokens", "completion"),
]


def usage(args: Any) -> _usage.Usage:
    """The call the arguments give.  The prompt and completion counts hold
    the classes given apart, as OpenAI reports them."""
    counts = dict.fromkeys(_usage.CLASSES, 0)
    inside = {"prompt": args.prompt_tokens, "completion": args.completion_tokens}
    for name, flag, where in PARTS:
        counts[name] = getattr(args, flag[2:].replace("-", "_")) or 0
        inside[where] -= counts[name]
    for where, rest in inside.items():
        if rest < 0:
            flags = ", ".join(flag for _, flag, w in PARTS if w == where)
            raise CommandError(f"--{where}-tokens counts every {where} token of the call: it "
                               f"cannot be fewer than those of {flags} together")
        counts[where] = rest
    tier = "batch" if args.batch else args.tier
    created = None if args.at is None else args.at.timestamp()
    return _usage.Usage(args.model, tuple(counts[c] for c in _usage.CLASSES), tier,
                        "us" if args.us else None, created)


def estimate(source: str, model: str, call: _usage.Usage) -> dict:
    """The cost of the call, the entry that priced it and how it was found,
    and the entry the module's estimate_costs would take for the name."""
    prices = price_list(source)
    entry = _lookup.find(prices, model)
    if entry is None:
        raise no_match(model, list(prices.entries), source)
    priced = _cost.prices_for(prices, entry, _cost.conditions(entry, call))
    lines = _cost.lines(call.counts, priced)
    module = _explain.match_model(prices.table, model.lower())
    return {
        "model": model,
        "pricing": source,
        "entry": {**(_lookup.described(model, entry) or {}),
                  "prompt_per_1M": entry.rates.get("prompt"),
                  "completion_per_1M": entry.rates.get("completion")},
        "form": _lookup.form_found(prices, model),
        "priced_as": priced.tier,
        "usage": {line.name: line.tokens for line in lines},
        "rates": {line.name: line.rate for line in lines},
        "estimated_costs": {**{f"{line.name}_cost": line.dollars for line in lines},
                            "total_cost": _cost.total(call.counts, priced.rates)},
        "notes": list(_cost.notes(call.counts, priced)),
        "module_entry": None if module is None else module[0],
    }


def _how(result: dict) -> str:
    entry = result["entry"]
    if entry["match"] == "exact":
        return "exact name"
    return "canonical form: " + shown(repr(result["form"]))


def render(result: dict) -> list[str]:
    entry, costs = result["entry"], result["estimated_costs"]
    rows = [
        ("model", shown(result["model"])),
        ("entry", f"{shown_name(entry['name'])} ({_how(result)})"),
        ("priced as", result["priced_as"]),
    ]
    for name, tokens in result["usage"].items():
        rate = result["rates"][name]
        price = "no price" if rate is None else f"${dollars(rate)} per 1M"
        label = _cost.NAMES[name]
        rows.append((label, f"{count(tokens)} tokens at {price} = ${dollars(costs[f'{name}_cost'])}"))
    rows.append(("total", "$" + dollars(costs["total_cost"])))
    width = max(len(label) for label, _ in rows) + 2
    out = [f"{label:<{width}}{value}" for label, value in rows]
    for note in result["notes"]:
        out.append(f"{'note':<{width}}{note}")
    module = result["module_entry"]
    if module != entry["name"]:
        taken = "no entry" if module is None else f"the entry {shown_name(module)!r}"
        out.append(f"{'module':<{width}}estimate_costs looks the name up by its own rule and "
                   f"would take {taken}")
    return out


def add_parser(commands: Any) -> None:
    estimate = commands.add_parser(
        "estimate", prog=f"{PROG} estimate", help=COMMANDS["estimate"],
        description="Price one call from its token counts, class by class, as quelm.cost "
        "prices a response, and say which entry of the price list priced it (its exact name, "
        "or its canonical form).  The prompt and completion counts are the call's whole "
        "counts; the other counts say how many of them were cached, written, audio or "
        "reasoning tokens.")
    estimate.add_argument("--model", required=True, metavar="NAME", type=model_name,
                          help="model name")
    estimate.add_argument("--prompt-tokens", required=True, type=token_count, metavar="N",
                          help="prompt (input) tokens of the call, all of them")
    estimate.add_argument("--completion-tokens", required=True, type=token_count, metavar="N",
                          help="completion (output) tokens of the call, all of them")
    for name, flag, where in PARTS:
        estimate.add_argument(flag, type=token_count, metavar="N",
                              help=f"of the {where} tokens, how many were {_cost.NAMES[name]} "
                              "tokens")
    tiers = estimate.add_mutually_exclusive_group()
    tiers.add_argument("--batch", action="store_true", help="a batch request (as --tier batch)")
    tiers.add_argument("--tier", choices=TIERS, help="the service tier the call was billed in")
    estimate.add_argument("--us", action="store_true",
                          help="inference kept in the US (Anthropic's data residency)")
    estimate.add_argument("--at", type=_moment, metavar="TIME",
                          help="when the call was made, as 2026-12-08T14:30:00Z (for prices "
                          "that depend on the time of day)")
    estimate.add_argument("--pricing", metavar="SOURCE", default=BUNDLED_PRICING,
                          help=SOURCE_HELP)
    estimate.add_argument("--json", action="store_true", help="print JSON")


def _moment(text: str) -> datetime.datetime:
    """A --at argument: an ISO 8601 time; without a zone, UTC."""
    import argparse

    try:
        moment = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a time such as 2026-12-08T14:30:00Z: "
                                         f"{shown(repr(text))}") from None
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)


def run(args: Any) -> Report:
    result = estimate(args.pricing, args.model, usage(args))
    return Report([strict_json(result)] if args.json else render(result))
