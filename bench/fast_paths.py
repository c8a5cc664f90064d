"""The estimate's fast paths, each against the same call forced onto its
general road (docs/design.md lists them all).

    python bench/fast_paths.py

Not one of the bench_*.py modules that bench/run.py collects: there is no
plain-Python rendition and no target here, only what each shortcut gains.
"""
import collections
import functools
import logging
import pathlib
import sys
import time
from types import SimpleNamespace

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bench_estimate as be  # noqa: E402
from quelm import genai_pricing as gp  # noqa: E402


class SubLogger(logging.Logger):
    """Not the stock type: the quiet-logger check gives up."""


class StrSub(str):
    """Not an exact str: the lookup, lower-casing and message take the general road."""


def best(fn, n, rounds=7):
    """Best ns per call over `rounds` batches of `n`."""
    out = []
    for _ in range(rounds):
        t = time.perf_counter_ns()
        for _ in range(n):
            fn()
        out.append((time.perf_counter_ns() - t) / n)
    return min(out)


def serve(table):
    gp._parse_pricing = functools.lru_cache(maxsize=8)(lambda path: table)


def main():
    saved = gp._parse_pricing, gp.logger, gp._count_openai_tokens, sys.modules.get("tiktoken")
    logging.getLogger("quelm.genai_pricing").setLevel(logging.INFO)
    usage = be.USAGE
    exact = SimpleNamespace(model=be.WORKLOADS["exact hit"])
    late = SimpleNamespace(model=be.WORKLOADS["late substring hit"])
    rows = []
    try:
        serve(be.TABLE)
        best(lambda: gp.estimate_costs(exact, usage), 20000)  # warm-up
        base = best(lambda: gp.estimate_costs(exact, usage), 20000)
        quiet = SubLogger("quelm.bench")
        quiet.setLevel(logging.INFO)
        gp.logger = quiet
        rows.append(("quiet logger + message skipped (exact hit; Logger subclass)", base,
                     best(lambda: gp.estimate_costs(exact, usage), 20000)))
        gp.logger = saved[1]
        odd_model = SimpleNamespace(model=StrSub(be.WORKLOADS["exact hit"]))
        rows.append(("message skipped + ASCII lowering (exact hit; str-subclass model)", base,
                     best(lambda: gp.estimate_costs(odd_model, usage), 20000)))
        serve(collections.UserDict(be.TABLE))
        rows.append(("exact-dict lookup (exact hit; UserDict table)", base,
                     best(lambda: gp.estimate_costs(exact, usage), 20000)))
        serve(be.TABLE)
        late_base = best(lambda: gp.estimate_costs(late, usage), 5000)
        serve({StrSub(k): v for k, v in be.TABLE.items()})
        rows.append(("in-place substring scan (late hit; str-subclass names)", late_base,
                     best(lambda: gp.estimate_costs(late, usage), 5000)))
        sys.modules["tiktoken"] = None  # the import fails at once: the counting fallback
        resp = {"usage": {}}

        def extract():
            gp._extract_openai_usage(resp, "some text", "other", "unknown-model")

        direct = best(extract, 5000)
        gp._count_openai_tokens = functools.partial(saved[2])
        rows.append(("direct body call (extractor counting both texts; name rebound)", direct,
                     best(extract, 5000)))
    finally:
        gp._parse_pricing, gp.logger, gp._count_openai_tokens = saved[:3]
        if saved[3] is None:
            sys.modules.pop("tiktoken", None)
        else:
            sys.modules["tiktoken"] = saved[3]
    for name, fast, slow in rows:
        print(f"{name}: {fast:,.0f} ns against {slow:,.0f} ns ({slow / fast:.2f}x)")


if __name__ == "__main__":
    main()
