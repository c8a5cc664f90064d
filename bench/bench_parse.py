"""Pricing document parsing: the native `_parse_pricing` against the
plain-Python rendition with `re` (ref_parser.py), on a generated document of
about 1 MB read from a temporary file."""
import os
import pathlib
import random
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import ref_parser  # noqa: E402
from quelm import genai_pricing  # noqa: E402

HEADERS = [
    "| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |",
    "| Model name | Prompt per 1K | Completion per 1K |",
    "| Model | Prompt | Completion | Context |",
]
SEPARATORS = ["|---|---:|---:|", "| :--- | ---: | ---: | --- |"]
PRICES = ["${:.2f}", "{:.4f}", "${:,.2f} / 1M tokens", "${:.3f}/1K", "{:.2f} per 1k", "-", "n/a"]
NOISE = [
    "Prices change often; check the provider's page before relying on them.",
    "- Batch requests are billed at half price, cached input at a quarter.",
    "> Note: all figures are in US dollars.",
    "See https://example.com/pricing for details, updated 2024-05-01.",
    "Les prix sont indiqués hors taxes — Preise ohne Gewähr.",
]


FAMILIES = ["Nova", "Atlas", "Orion", "Vega", "Lyra", "Helix", "Quill", "Sable", "Tern",
            "Umbra", "Wren", "Zephyr"]
VARIANTS = ["mini", "pro", "turbo", "lite", "vision", "instruct"]


def model_name(rng):
    """About 65,000 possible names: some rows repeat a model, most do not."""
    return (f"{rng.choice(FAMILIES)}-{rng.randint(1, 9)}.{rng.randint(0, 99)}"
            f"-{rng.choice(VARIANTS)}")


def make_document(size=1 << 20, seed=7):
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        start = len(lines)
        kind = rng.random()
        if kind < 0.45:
            lines.append(rng.choice(HEADERS))
            lines.append(rng.choice(SEPARATORS))
            for _ in range(rng.randint(5, 25)):
                name = model_name(rng)
                cells = [rng.choice(PRICES).format(rng.uniform(0, 2000)) for _ in range(2)]
                lines.append(f"| {name} | {cells[0]} | {cells[1]} |" + rng.choice(["", " 128k |"]))
        elif kind < 0.8:
            name = model_name(rng).lower()
            p, c = rng.uniform(0, 50), rng.uniform(0, 100)
            lines.append(rng.choice([
                f"{name}: prompt ${p:.2f} / 1M tokens, completion ${c:.2f} / 1M tokens",
                f"{name.upper()} - Prompt: ${p:.3f}/1K, Completion: ${c:.3f}/1K",
                f"{name} prompt {p:.2f} per 1K tokens, completion {c:.2f} per 1K tokens",
                f"{name}: completion ${c:.2f}, prompt ${p:.2f} (cached ${p / 4:.2f})",
            ]))
        else:
            lines.append(rng.choice(NOISE + ["", "## Provider " + str(rng.randint(1, 99))]))
        total += sum(len(line) + 1 for line in lines[start:])
    return "\n".join(lines) + "\n"


def best_time(fn, arg, repeat):
    """Best wall time of fn(arg); freeing the table is not part of it."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        table = fn(arg)
        best = min(best, time.perf_counter() - start)
        del table
    return best


def run():
    document = make_document()
    size_mb = len(document.encode("utf8")) / 1e6
    fd, path = tempfile.mkstemp(suffix=".md")
    try:
        with os.fdopen(fd, "w", encoding="utf8") as f:
            f.write(document)
        native = genai_pricing._parse_pricing.__wrapped__
        if native(path) != ref_parser.parse_pricing(path):
            raise AssertionError("native and reference tables differ")
        t_native = best_time(native, path, 15)
        t_python = best_time(ref_parser.parse_pricing, path, 3)
    finally:
        os.unlink(path)
    native_rate, python_rate = size_mb / t_native, size_mb / t_python
    return [{
        "workload": f"parse {size_mb:.2f} MB document",
        "native": native_rate,
        "python": python_rate,
        "unit": "MB/s",
        "ratio": native_rate / python_rate,
        "target": 20.0,
    }]


if __name__ == "__main__":
    print(f"{'workload':<28} {'native':>10} {'python':>10} {'unit':>6} {'ratio':>8} {'target':>7}")
    for r in run():
        print(f"{r['workload']:<28} {r['native']:>10.1f} {r['python']:>10.2f} {r['unit']:>6}"
              f" {r['ratio']:>8.1f} {r['target']:>7.1f}")
