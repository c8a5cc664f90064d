"""Usage extraction: native functions against the plain-Python rendition.

Run as `python3 bench/bench_usage.py`; prints ns per call and the ratio
(plain-Python time / native time) for each workload.
"""

import pathlib
import sys
import timeit
from types import SimpleNamespace

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from plain import ref_usage  # noqa: E402
from quelm import genai_pricing as native  # noqa: E402

TARGET = 3.0
PROMPT = "Summarise the quarterly report in three sentences."
OUTPUT = "Revenue rose; costs fell; the outlook is steady."


def _workloads():
    openai_obj = SimpleNamespace(usage=SimpleNamespace(input_tokens=1200, output_tokens=345))
    openai_dict = {"usage": {"prompt_tokens": 1200, "completion_tokens": 345}}
    gemini_obj = SimpleNamespace(
        usage_metadata=SimpleNamespace(prompt_token_count=1200, candidates_token_count=345)
    )
    gemini_dict = {"usage_metadata": {"prompt_token_count": 1200, "candidates_token_count": 345}}
    return [
        ("openai, object with usage", "_extract_openai_usage", (openai_obj, PROMPT, OUTPUT, "gpt-4o")),
        ("openai, dict with usage", "_extract_openai_usage", (openai_dict, PROMPT, OUTPUT, "gpt-4o")),
        ("gemini, object with usage", "_extract_gemini_usage", (gemini_obj, PROMPT, OUTPUT)),
        ("gemini, dict with usage", "_extract_gemini_usage", (gemini_dict, PROMPT, OUTPUT)),
    ]


def _timer(fn, args):
    # A compiled loop around the call, so no wrapper's cost is counted.
    return timeit.Timer("fn(*args)", globals={"fn": fn, "args": args})


def _measure(native_fn, ref_fn, args, number=50_000, rounds=15):
    """Best ns per call of each, the two timed in alternation so that a burst
    of load from elsewhere on the machine hits both alike."""
    timers = (_timer(native_fn, args), _timer(ref_fn, args))
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def run():
    rows = []
    for label, name, args in _workloads():
        nat_fn, ref_fn = getattr(native, name), getattr(ref_usage, name)
        assert nat_fn(*args) == ref_fn(*args), label
        nat, ref = _measure(nat_fn, ref_fn, args)
        rows.append(
            {
                "workload": f"{name}: {label}",
                "native": round(nat, 1),
                "python": round(ref, 1),
                "unit": "ns/op",
                "ratio": round(ref / nat, 2),
                "target": TARGET,
            }
        )
    return rows


def main():
    rows = run()
    width = max(len(r["workload"]) for r in rows)
    print(f"{'workload':<{width}}  {'native':>9}  {'python':>9}  unit   ratio  target")
    for r in rows:
        print(
            f"{r['workload']:<{width}}  {r['native']:>9.1f}  {r['python']:>9.1f}  "
            f"{r['unit']}  {r['ratio']:>5.2f}  {r['target']:>6.1f}"
        )


if __name__ == "__main__":
    main()
