"""How `bill` shows its facts: an aligned table, CSV, and the warnings for
standard error."""

from __future__ import annotations

import io
from typing import Any, Iterable, Optional

from quelm._terminal import count, dollars, shown, shown_name, table
from quelm._usage import CLASSES

# Short names of the classes besides prompt and completion, for the table.
SHORT = {"cached": "cached", "cache_write": "write", "cache_write_long": "long write",
         "audio_prompt": "audio in", "audio_cached": "audio cached", "reasoning": "reasoning",
         "audio_completion": "audio out"}
WARN_NAMES = 20  # names shown in one warning


def _entry_text(entry: Optional[dict]) -> str:
    if entry is None:
        return "NO ENTRY: priced at $0"
    return f"{shown_name(entry['name'])} ({entry['match']})"


def _classes_text(row: dict) -> str:
    """The classes besides prompt and completion, and the prices applied
    when they are not all the standard ones."""
    parts = [f"{SHORT[c]} {count(n)}" for c, n in row["tokens"].items() if c in SHORT and n]
    priced = row["priced_as"]
    if set(priced) != {"standard"}:
        parts += [f"{tier} {count(n)}" for tier, n in priced.items()]
    return ", ".join(parts)


def render(result: dict) -> list[str]:
    rows = [(shown(r["model"]), count(r["calls"]), count(r["prompt_tokens"]),
             count(r["completion_tokens"]), _classes_text(r), _entry_text(r["entry"]),
             "$" + dollars(r["total_cost"])) for r in result["models"]]
    total = result["total"]
    rows.append(("total", count(total["calls"]), count(total["prompt_tokens"]),
                 count(total["completion_tokens"]), "", "", "$" + dollars(total["total_cost"])))
    header = ("model", "calls", "prompt tokens", "completion tokens", "classes and prices",
              "entry", "cost")
    out = table(header, rows, (False, True, True, True, False, False, True))
    out.insert(len(out) - 1, "")
    if result["unpriced"]:
        out += ["", "WARNING: " + unpriced_text(result["unpriced"])]
    if result["fallbacks"]:
        out += ["", "Priced in part by a fallback:"]
        for model, notes in result["fallbacks"].items():
            out.append(f"  {shown(model)}: " + "; ".join(notes))
    skipped = result["skipped"]
    if skipped:
        n = sum(s["lines"] for s in skipped.values())
        out += ["", f"skipped {count(n)} of {count(result['lines'])} lines:"]
        width = max(len(r) for r in skipped)
        for reason, s in skipped.items():
            more = ", ..." if s["lines"] > len(s["first"]) else ""
            out.append(f"  {reason:<{width}}  {count(s['lines']):>7}  "
                       f"({', '.join(s['first'])}{more})")
    return out


def _capped(names: list[str]) -> str:
    shown_names = ", ".join(shown(m) for m in names[:WARN_NAMES])
    if len(names) > WARN_NAMES:
        shown_names += f" and {count(len(names) - WARN_NAMES)} more"
    return shown_names


def unpriced_text(names: list[str]) -> str:
    return (f"{count(len(names))} model(s) matched no entry of the price list and are priced "
            f"at $0: {_capped(names)}")


def fallback_text(models: Iterable[str]) -> str:
    names = list(models)
    return (f"{count(len(names))} model(s) priced in part by a fallback (a class the price list "
            f"has no price for): {_capped(names)}")


# -- CSV -----------------------------------------------------------------

CSV_FIELDS = (("kind", "name", "calls", "prompt_tokens", "completion_tokens")
              + tuple(f"tokens_{c}" for c in CLASSES) + tuple(f"cost_{c}" for c in CLASSES)
              + ("total_cost", "entry", "match", "first_lines"))
# A cell a spreadsheet would run as a formula begins with one of these.
FORMULA = ("=", "+", "-", "@", "\t", "\r")


def _cell(value: Any) -> str:
    """One CSV cell: text that a spreadsheet would take for a formula is
    prefixed with a quote mark, and a cell holding a comma, a quote or a
    line break of any kind is quoted."""
    if value is None:
        return ""
    if isinstance(value, float):
        text = repr(value).replace("inf", "Infinity").replace("nan", "NaN")
    elif isinstance(value, int):
        text = str(value)
    else:
        # A name read through a lone surrogate escape cannot be written as UTF-8.
        text = str(value).encode("utf-8", "backslashreplace").decode("utf-8")
        if text.startswith(FORMULA):
            text = "'" + text
    if any(c in text for c in ',"\n\r') or text != text.strip(" "):
        text = '"' + text.replace('"', '""') + '"'
    return text


def as_csv(result: dict) -> str:
    """Rows of kind "model", one "total", then one "skipped" per reason
    (name: the reason, calls: its line count)."""
    rows: list[dict] = []
    for r in result["models"]:
        entry = r["entry"] or {}
        rows.append({"kind": "model", "name": r["model"], "calls": r["calls"],
                     "prompt_tokens": r["prompt_tokens"],
                     "completion_tokens": r["completion_tokens"],
                     **{f"tokens_{c}": r["tokens"].get(c, 0) for c in CLASSES},
                     **{f"cost_{c}": r["dollars"].get(c, 0.0) for c in CLASSES},
                     "total_cost": r["total_cost"],
                     "entry": entry.get("name", ""), "match": entry.get("match", "none")})
    total = result["total"]
    rows.append({"kind": "total", "name": "total", "calls": total["calls"],
                 "prompt_tokens": total["prompt_tokens"],
                 "completion_tokens": total["completion_tokens"],
                 **{f"tokens_{c}": n for c, n in total["tokens"].items()},
                 **{f"cost_{c}": x for c, x in total["dollars"].items()},
                 "total_cost": total["total_cost"]})
    for reason, s in result["skipped"].items():
        rows.append({"kind": "skipped", "name": reason, "calls": s["lines"],
                     "first_lines": " ".join(s["first"])})
    buffer = io.StringIO()
    buffer.write(",".join(CSV_FIELDS) + "\n")
    for row in rows:
        buffer.write(",".join(_cell(row.get(f)) for f in CSV_FIELDS) + "\n")
    return buffer.getvalue().rstrip("\n")
