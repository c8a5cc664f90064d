"""Plain-Python rendition of estimate_costs and exercise_estimate_costs.

Written as an ordinary pure-Python module would be: module globals looked up
the normal way, a nested lookup function, no argument checks.  Used as the
speed baseline by bench_estimate.py and as an oracle by the tests.
"""

import functools
import logging

logger = logging.getLogger("quelm.genai_pricing")
PRICING_URL = "https://github.com/tokenprice-lab/llm-price-sheet/blob/main/pricing_table.md"


@functools.lru_cache(maxsize=8)
def _parse_pricing(path):
    return {}


def estimate_costs(args, usage):
    pricing = _parse_pricing(PRICING_URL)
    model_key = args.model.lower()
    prompt_tokens = usage.get("prompt_tokens")
    completion_tokens = usage.get("completion_tokens")
    est = {}

    def _find_model_entry(key):
        if key in pricing:
            return pricing[key]
        for name, entry in pricing.items():
            if key in name or name in key:
                return entry
        return None

    entry = _find_model_entry(model_key)
    logger.debug(f"Estimating costs for model '{args.model!s}' using pricing entry: {entry!s}")
    if entry:
        if prompt_tokens is not None:
            p_rate = entry.get("prompt_per_1M")
            if p_rate is not None:
                est["prompt_cost"] = p_rate * (prompt_tokens / 1000000.0)
        c_rate = entry.get("completion_per_1M")
        if c_rate is not None and completion_tokens is not None:
            est["completion_cost"] = c_rate * (completion_tokens / 1000000.0)
    est["total_cost"] = est.get("prompt_cost", 0.0) + est.get("completion_cost", 0.0)
    return est


def exercise_estimate_costs(model=None):
    from types import SimpleNamespace

    usage = {"prompt_tokens": 21549, "completion_tokens": 7091}
    model = model or "gpt-4.1"
    est = estimate_costs(SimpleNamespace(model=model), usage)
    print({"model": model, "usage": usage, "estimated_costs": est})
    return est
