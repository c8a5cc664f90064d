"""`python -m quelm bill` on a generated run: lines per second of the
command's reading (msgspec, the native shapes reader, its totals by model
and conditions) against the plain-Python loop of ref_bill.py (stdlib json,
the plain rendition of the shapes, each line priced on its own), both over
the same file in the same process, after checking that both give the same
bill.

    python bench/bench_bill.py [--lines N] [--parsers]

--parsers also times each JSON parser alone on the same lines.  Run from
bench/run.py it reads 1,000,000 lines.  The run mixes every shape the
command reads (OpenAI chat and Responses, OpenAI Batch lines, Anthropic
messages and batch results, Gemini SDK and REST dumps and batch lines,
DeepSeek, xAI, plain records) with every token class (cached, cache writes
of both lifetimes, audio, reasoning and thinking), service tiers, long
prompts, off-peak times, and lines of each kind to skip (tests/plain/runs.py
generates it).
"""

import argparse
import json
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import quelm  # noqa: E402
from plain import ref_bill  # noqa: E402
from plain.runs import check, lines, write_run  # noqa: E402
from quelm import _billing, _pricelist  # noqa: E402

TARGET = 3.0
TARGET_RATE = 500_000  # lines per second on the development machine
LINES = 1_000_000


def _best(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def measure(n=LINES, rounds=2):
    """(native lines/s, plain-Python lines/s), the two checked to agree."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "run.jsonl")
        write_run(path, n)
        prices = _pricelist.read(quelm.BUNDLED_PRICING)
        check(_billing.bill([path], prices, None), *ref_bill.tally(path, prices))
        times = [float("inf"), float("inf")]
        for _ in range(rounds):  # in turn, so load from elsewhere hits both alike
            times[0] = min(times[0], _best(lambda: _billing.tally([path], prices, None), 1))
            times[1] = min(times[1], _best(lambda: ref_bill.tally(path, prices), 1))
    return n / times[0], n / times[1]


def parsers(n=200_000):
    """ns per line of each JSON parser alone, on the same lines as bytes."""
    data = [line.encode() for line in lines(n)]
    loaders = {"json (stdlib)": json.loads}
    for name in ("orjson", "msgspec"):
        try:
            module = __import__(name)
        except ImportError:
            continue
        loaders[name] = module.loads if name == "orjson" else module.json.decode

    def run(loads):
        for raw in data:
            try:
                loads(raw)
            except ValueError:  # the generated run's broken lines
                pass

    return {name: _best(lambda: run(loads), 3) / n * 1e9 for name, loads in loaders.items()}


def run(n=LINES):
    native, plain = measure(n)
    return [{"workload": f"bill: {n:,} mixed response lines, every class", "native": native,
             "python": plain, "unit": "lines/s", "ratio": native / plain, "target": TARGET}]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=LINES)
    parser.add_argument("--parsers", action="store_true")
    args = parser.parse_args()
    if args.parsers:
        for name, ns in parsers().items():
            print(f"{name:<28} {ns:>7.0f} ns/line")
    native, plain = measure(args.lines)
    print(f"bill, {args.lines:,} lines: quelm {native:,.0f} lines/s (target >= {TARGET_RATE:,}), "
          f"plain Python {plain:,.0f} lines/s, ratio {native / plain:.2f} (target >= {TARGET:g})")
    return 0 if native / plain >= TARGET and native >= TARGET_RATE else 1


if __name__ == "__main__":
    sys.exit(main())
