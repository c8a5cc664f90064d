"""estimate_costs: native module against the plain-Python rendition.

Both price the same usage against the same cached table of about 500 models,
with the debug line built but not emitted (the logger at INFO), as in a
production host.  Workloads: an exact name, a name that only a model late in
the table is a substring of, and a name that matches nothing.
"""

import functools
import logging
import pathlib
import sys
import time
from types import SimpleNamespace

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from plain import ref_estimate  # noqa: E402
from quelm import genai_pricing  # noqa: E402

FAMILIES = ["gpt", "claude", "gemini", "llama", "mistral", "command", "qwen", "deepseek",
            "phi", "grok"]
VARIANTS = ["", "-mini", "-turbo", "-pro", "-flash", "-instruct", "-vision", "-chat",
            "-large", "-small"]


def build_table():
    table = {}
    for version in range(1, 6):
        for family in FAMILIES:
            for variant in VARIANTS:
                name = f"{family}-{version}.{len(table) % 7}{variant}"
                # Prices as a price list gives them: a few significant digits.
                prompt = round(0.05 * (len(table) % 40 + 1), 2)
                table[name] = {"prompt_per_1M": prompt, "completion_per_1M": round(prompt * 4, 2)}
    return table


TABLE = build_table()
NAMES = list(TABLE)
LATE = NAMES[-7]
WORKLOADS = {
    "exact hit": NAMES[len(NAMES) // 2].upper(),
    "late substring hit": LATE + "-2025-05-13",
    "miss": "unlisted-model-x",
}
USAGE = {"prompt_tokens": 21549, "completion_tokens": 7091}
TARGETS = {"exact hit": 4.0, "late substring hit": 8.0, "miss": 0.0}  # 0: no target


def batch_ns(fn, args, usage, n):
    start = time.perf_counter_ns()
    for _ in range(n):
        fn(args, usage)
    return (time.perf_counter_ns() - start) / n


def time_pair(native_fn, python_fn, args, usage, rounds=25, batch_seconds=0.01):
    """Best ns per call of each, over short batches taken in turn.

    The machine may be shared: alternating the two and keeping the best batch
    of each keeps other load out of the comparison.
    """
    sizes = []
    for fn in (native_fn, python_fn):
        n = 1
        while batch_ns(fn, args, usage, n) * n < batch_seconds * 1e9:
            n *= 2
        sizes.append(n)
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, fn in enumerate((native_fn, python_fn)):
            best[i] = min(best[i], batch_ns(fn, args, usage, sizes[i]))
    return best


def run():
    cached = functools.lru_cache(maxsize=8)(lambda path: TABLE)
    logger = logging.getLogger("quelm.genai_pricing")
    saved = (genai_pricing._parse_pricing, ref_estimate._parse_pricing, logger.level)
    genai_pricing._parse_pricing = ref_estimate._parse_pricing = cached
    logger.setLevel(logging.INFO)
    try:
        # Where the loose scan lands: only the late model may qualify.
        key = WORKLOADS["late substring hit"].lower()
        hits = [i for i, n in enumerate(NAMES) if key in n or n in key]
        assert hits and hits[0] >= len(NAMES) - 10, hits
        rows = []
        for workload, model in WORKLOADS.items():
            args = SimpleNamespace(model=model)
            native_result = genai_pricing.estimate_costs(args, USAGE)
            assert native_result == ref_estimate.estimate_costs(args, USAGE)
            native, python = time_pair(genai_pricing.estimate_costs,
                                       ref_estimate.estimate_costs, args, USAGE)
            rows.append({"workload": f"estimate_costs: {workload}", "native": native, "python": python,
                         "unit": "ns/op", "ratio": python / native,
                         "target": TARGETS[workload]})
        return rows
    finally:
        genai_pricing._parse_pricing, ref_estimate._parse_pricing = saved[:2]
        logger.setLevel(saved[2])


def main():
    print(f"estimate_costs, {len(TABLE)} models in the table")
    print(f"{'workload':<36} {'native':>10} {'python':>10}  unit    {'ratio':>6}  target")
    for r in run():
        target = f"{r['target']:.0f}" if r["target"] else "-"
        print(f"{r['workload']:<36} {r['native']:>10.0f} {r['python']:>10.0f}  {r['unit']:<6} "
              f"{r['ratio']:>6.1f}  {target}")


if __name__ == "__main__":
    main()
