"""``python -m quelm estimate``: the cost of one call, and which table entry
priced it.

The cost is `estimate_costs` itself; the entry is named by
`_explain.match_model`, the very lookup that `estimate_costs` runs, on the
very table it gets (the cached `_parse_pricing` of the same source).
"""

from __future__ import annotations

import difflib
import shlex
from types import SimpleNamespace
from typing import Optional

from quelm import _explain, genai_pricing
from quelm._terminal import CommandError, count, dollars, load, shown, shown_name, strict_json


def no_match(model: str, key: str, pricing: dict, source: str) -> CommandError:
    text = (f"no entry of the price list {source!r} matches model {model!r}, "
            "neither exactly nor by the substring rule")
    if not pricing:
        return CommandError(text + "; the price list holds no prices")
    names = [n for n in pricing if isinstance(n, str)]
    close = difflib.get_close_matches(key, names, n=5, cutoff=0.5)
    if close:
        return CommandError(text + "; closest names: " + ", ".join(shown(repr(n)) for n in close))
    # A command to paste: the source quoted for the shell, then made safe to print.
    command = shown(f"python -m quelm inspect {shlex.quote(source)}")
    return CommandError(text + f"; {command} lists its {len(pricing)} names")


def costs_from(source: str, model: str, usage: dict) -> dict:
    """`estimate_costs` for `model` and `usage`, priced from `source`."""
    # estimate_costs reads the source named by PRICING_URL: the cached table
    # that load() gave.  The setting is put back for whoever called us.
    previous = genai_pricing.PRICING_URL
    genai_pricing.PRICING_URL = source
    try:
        return genai_pricing.estimate_costs(SimpleNamespace(model=model), usage)
    finally:
        genai_pricing.PRICING_URL = previous


def matched_entry(pricing: dict, model: str) -> Optional[dict]:
    """The entry that `estimate_costs` prices `model` with, its name and how
    it was matched; None when no entry matches."""
    match = _explain.match_model(pricing, model.lower())
    if match is None:
        return None
    name, rates, exact = match
    return {"name": name, "match": "exact" if exact else "substring",
            "prompt_per_1M": rates.get("prompt_per_1M"),
            "completion_per_1M": rates.get("completion_per_1M")}


def estimate(source: str, model: str, prompt_tokens: int, completion_tokens: int) -> dict:
    """The estimate of `estimate_costs` for the call, with the entry that
    priced it and how it was matched."""
    pricing = load(source)
    entry = matched_entry(pricing, model)
    if entry is None:
        raise no_match(model, model.lower(), pricing, source)
    usage = {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens}
    costs = costs_from(source, model, usage)
    return {
        "model": model,
        "pricing": source,
        "entry": entry,
        "usage": usage,
        "estimated_costs": costs,
    }


def _how(result: dict) -> str:
    entry, key = result["entry"], result["model"].lower()
    if entry["match"] == "exact":
        return "exact name"
    if key in entry["name"]:
        return f"substring rule: the first table name that contains {shown(repr(key))}"
    return f"substring rule: the first table name that {shown(repr(key))} contains"


def _rates(entry: dict) -> str:
    sides = []
    for side in ("prompt", "completion"):
        rate = entry[f"{side}_per_1M"]
        sides.append(f"${dollars(rate)} {side}" if rate is not None else f"no {side} rate")
    return ", ".join(sides) + " per 1M tokens"


def render(result: dict) -> list[str]:
    entry, usage, costs = result["entry"], result["usage"], result["estimated_costs"]
    rows = [
        ("model", shown(result["model"])),
        ("entry", f"{shown_name(entry['name'])} ({_how(result)})"),
        ("rates", _rates(entry)),
        ("tokens", f"{count(usage['prompt_tokens'])} prompt, "
                   f"{count(usage['completion_tokens'])} completion"),
    ]
    for side in ("prompt", "completion"):
        if f"{side}_cost" in costs:
            rows.append((side, "$" + dollars(costs[f"{side}_cost"])))
    rows.append(("total", "$" + dollars(costs["total_cost"])))
    return [f"{label:<11} {value}" for label, value in rows]


def run(source: str, model: str, prompt_tokens: int, completion_tokens: int,
        as_json_output: bool) -> list[str]:
    result = estimate(source, model, prompt_tokens, completion_tokens)
    if as_json_output:
        return [strict_json(result)]
    return render(result)
