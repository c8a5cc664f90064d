"""Pricing document parsing: the native `_parse_pricing` against the
plain-Python rendition with `re` (ref_parser.py), on a generated document of
about 1 MB read from a temporary file."""
import os
import pathlib
import random
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from plain import ref_parser  # noqa: E402
from quelm import genai_pricing  # noqa: E402

HEADERS = [
    ("| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |", "|---|---:|---:|"),
    ("| Model name | Prompt per 1K | Completion per 1K | Context |", "| :--- | ---: | ---: | --- |"),
    ("| Model | Prompt | Completion | Context | Notes |", "|---|---|---|---|---|"),
]
# Prices per million tokens as price lists quote them, and how cells write
# them (the scale turns a per-million price into the cell's own unit).
PRICE_POINTS = [0.02, 0.05, 0.075, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5, 0.6, 0.75, 0.8, 1.0,
                1.1, 1.25, 1.5, 2.0, 2.5, 3.0, 4.0, 4.4, 5.0, 6.0, 8.0, 10.0, 12.0, 15.0,
                20.0, 30.0, 40.0, 60.0, 75.0, 120.0, 150.0, 600.0, 1200.0]
CELLS = [("${:.2f}", 1), ("{:.4f}", 1), ("${:,.2f} / 1M tokens", 1), ("${:.5f}/1K", 1e-3),
         ("{:.5f} per 1k", 1e-3), ("-", 0), ("n/a", 0)]


def price_cell(rng):
    form, scale = rng.choice(CELLS)
    return form.format(rng.choice(PRICE_POINTS) * scale)
PROSE = [
    "Prices change often; check the provider's page before relying on them. Figures are in US "
    "dollars and exclude taxes.",
    "Batch requests are billed at half price and cached input at a quarter; the tables below "
    "list the standard rates only.",
    "Les prix sont indiqués hors taxes — Preise ohne Gewähr. Context windows are given in tokens.",
    "See https://example.com/pricing for details, updated 2024-05-01.",
]
NOISE = [
    "- Batch requests are billed at half price, cached input at a quarter.",
    "> Note: all figures are in US dollars.",
    "* Fine-tuned variants cost twice the base rate.",
]
NOTES = ["", "Released 2024-05", "supports vision", "deprecated soon", "EU region only"]
FAMILIES = ["Nova", "Atlas", "Orion", "Vega", "Lyra", "Helix", "Quill", "Sable", "Tern",
            "Umbra", "Wren", "Zephyr"]
VARIANTS = ["mini", "pro", "turbo", "lite", "vision", "instruct"]


def model_name(rng):
    """About 65,000 possible names: some rows repeat a model, most do not."""
    return (f"{rng.choice(FAMILIES)}-{rng.randint(1, 9)}.{rng.randint(0, 99)}"
            f"-{rng.choice(VARIANTS)}")


def table(rng, rows):
    """A priced table under a header row that states (or not) its units."""
    header, rule = rng.choice(HEADERS)
    columns = header.count("|") - 1
    lines = [header, rule]
    for _ in range(rows):
        cells = [model_name(rng), price_cell(rng), price_cell(rng)]
        cells += [f"{rng.choice([8, 32, 128, 200])}k", rng.choice(NOTES)][: columns - 3]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def free_text_line(rng):
    name = model_name(rng).lower()
    p, c = rng.choice(PRICE_POINTS), rng.choice(PRICE_POINTS)
    return rng.choice([
        f"{name}: prompt ${p:.2f} / 1M tokens, completion ${c:.2f} / 1M tokens",
        f"{name.upper()} - Prompt: ${p:.3f}/1K, Completion: ${c:.3f}/1K",
        f"{name} prompt {p:.2f} per 1K tokens, completion {c:.2f} per 1K tokens",
        f"{name}: completion ${c:.2f}, prompt ${p:.2f} (cached ${p / 4:.2f})",
    ])


def section(rng):
    """A provider's section of a README-like page: heading, prose, a table,
    free-text price lines, notes, blank lines between."""
    lines = [f"## {rng.choice(FAMILIES)} models", ""]
    lines += [rng.choice(PROSE) for _ in range(rng.randint(1, 2))] + [""]
    lines += table(rng, rng.randint(4, 20)) + [""]
    lines += [free_text_line(rng) for _ in range(rng.randint(0, 3))]
    lines += [rng.choice(NOISE) for _ in range(rng.randint(0, 2))] + [""]
    return lines


def dense(rng):
    """A stretch of a price sheet that is nearly all table rows."""
    lines = table(rng, rng.randint(10, 40))
    lines += [free_text_line(rng) for _ in range(rng.randint(0, 2))]
    return lines + [rng.choice(NOISE + PROSE)]


def make_document(part=section, size=1 << 20, seed=7):
    """About `size` characters made of parts drawn by `part`."""
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        more = part(rng)
        lines += more
        total += sum(len(line) + 1 for line in more)
    return "\n".join(lines) + "\n"


def timed(fn, arg):
    """Wall time of fn(arg); freeing the table is not part of it."""
    start = time.perf_counter()
    table = fn(arg)
    elapsed = time.perf_counter() - start
    del table
    return elapsed


def best_times(native, python, arg, rounds=12):
    """Best times of both, measured in alternation so that a busy machine
    slows both alike."""
    best_native = best_python = float("inf")
    for _ in range(rounds):
        for _ in range(4):
            best_native = min(best_native, timed(native, arg))
        best_python = min(best_python, timed(python, arg))
    return best_native, best_python


def measure(name, document):
    size_mb = len(document.encode("utf8")) / 1e6
    fd, path = tempfile.mkstemp(suffix=".md")
    try:
        with os.fdopen(fd, "w", encoding="utf8") as f:
            f.write(document)
        native = genai_pricing._parse_pricing.__wrapped__
        if native(path) != ref_parser.parse_pricing(path):
            raise AssertionError("native and reference tables differ")
        t_native, t_python = best_times(native, ref_parser.parse_pricing, path)
    finally:
        os.unlink(path)
    native_rate, python_rate = size_mb / t_native, size_mb / t_python
    return {
        "workload": f"_parse_pricing: {name}, {size_mb:.2f} MB",
        "native": native_rate,
        "python": python_rate,
        "unit": "MB/s",
        "ratio": native_rate / python_rate,
        "target": 20.0,
    }


def run():
    return [
        measure("sections (README-like)", make_document(section)),
        measure("dense tables", make_document(dense)),
    ]


if __name__ == "__main__":
    print(f"{'workload':<34} {'native':>8} {'python':>8} {'unit':>5} {'ratio':>6} {'target':>6}")
    for r in run():
        print(f"{r['workload']:<34} {r['native']:>8.1f} {r['python']:>8.2f} {r['unit']:>5}"
              f" {r['ratio']:>6.1f} {r['target']:>6.1f}")
