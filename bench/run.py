"""Runs every benchmark in bench/ and prints one table.

    python bench/run.py

Each bench_*.py module offers run() -> list of rows (workload, native,
python, unit, ratio, target), timing the native module against a plain-Python
rendition of the same rules in this same process.  A cold-start row adds the
import time of the module in a fresh interpreter.
"""

from __future__ import annotations

import importlib
import os
import pathlib
import platform
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def cold_start(repeats: int = 15) -> dict:
    """Median wall time to import the module in a new interpreter, against
    importing the standard modules it imports itself."""
    import quelm

    env = dict(os.environ)
    env["PYTHONPATH"] = str(pathlib.Path(quelm.__file__).resolve().parent.parent)

    def timed(stmt: str) -> float:
        code = f"import time; t = time.perf_counter(); {stmt}; print(time.perf_counter() - t)"
        samples = []
        for _ in range(repeats):
            out = subprocess.run(
                [sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=HERE, check=True
            )
            samples.append(float(out.stdout))
        return statistics.median(samples)

    native = timed("import quelm.genai_pricing")
    baseline = timed("import functools, logging, re, typing")
    return {
        "workload": "cold start: import (vs its stdlib imports)",
        "native": native * 1e3,
        "python": baseline * 1e3,
        "unit": "ms",
        "ratio": None,
        "target": None,
    }


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "MB/s":
        return f"{value:,.1f} MB/s"
    if unit == "ms":
        return f"{value:.1f} ms"
    if unit == "lines/s":
        return f"{value:,.0f} lines/s"
    return f"{value:,.0f} ns"


def main() -> int:
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        rows.extend(module.run())
    rows.append(cold_start())
    header = ("workload", "native", "plain Python", "ratio", "target", "holds")
    table = [header]
    for r in rows:
        ratio, target = r["ratio"], r["target"] or None
        table.append(
            (
                r["workload"],
                fmt(r["native"], r["unit"]),
                fmt(r["python"], r["unit"]),
                "-" if ratio is None else f"{ratio:.1f}x",
                "-" if target is None else f">= {target:g}x",
                "-" if target is None else ("yes" if ratio >= target else "NO"),
            )
        )
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for n, row in enumerate(table):
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))
    print(f"\n{platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} CPUs, {platform.platform()}")
    return 0 if all(not r["target"] or r["ratio"] >= r["target"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
