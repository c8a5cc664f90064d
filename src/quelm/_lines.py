"""The parser's report of a document, read line by line: what `inspect`
and `check` both take from `_explain.explain` (the code `_parse_pricing`
runs, reporting every line)."""

from __future__ import annotations

from typing import Any

from quelm import _explain, genai_pricing
from quelm._terminal import shown, unreadable


def read(source: str, status: int = 1) -> tuple[Any, Any]:
    """The table and line reports of `source`; an unreadable source is a
    CommandError exiting with `status`."""
    try:
        return _explain.explain(genai_pricing, source)
    except Exception as exc:
        raise unreadable(source, exc, status) from exc


def entries(pricing: dict, lines: list[dict]) -> list[dict]:
    """One record per model in table order: its rates, the line its entry
    came from (the last line that stored the name: a later line replaces the
    whole entry) and the earlier lines of the same name that it overrides."""
    stored: dict[str, list[dict]] = {}
    for report in lines:
        if report["outcome"] == "stored":
            stored.setdefault(report["name"], []).append(report)
    out = []
    for name, rates in pricing.items():
        reports = stored[name]
        out.append({
            "name": name,
            "prompt_per_1M": rates["prompt_per_1M"],
            "completion_per_1M": rates["completion_per_1M"],
            "line": reports[-1]["line"],
            "kind": reports[-1]["kind"],
            "overrides": [r["line"] for r in reports[:-1]],
        })
    return out


def looks_priced(text: str) -> bool:
    """Free text worth a mention when it matched no model line: a number
    together with a dollar sign or a price label."""
    lowered = text.lower()
    return any(c.isdecimal() for c in text) and (
        "$" in text or "prompt" in lowered or "completion" in lowered)


def _why_nothing(report: dict) -> tuple[str, str] | None:
    """(reason, explanation) for a line that looked like a price and stored
    nothing, or None for a line that is no such thing."""
    name = report["name"]
    if report["outcome"] == "no price":
        if report["kind"] == "table row":
            return "no price", (f"table row read as model {shown(repr(name))}, but neither the "
                                "prompt (2nd) nor the completion (3rd) cell holds a number")
        return "no price", (f"free text read as model {shown(repr(name))}, but it gives no "
                            "prompt or completion price")
    if report["few_cells"]:
        return "few cells", "table row with fewer than three cells (model, prompt, completion)"
    if report["outcome"] == "no match" and looks_priced(report["text"]):
        if report["text"].lstrip()[:2] in ("- ", "* ", "+ "):
            return "no model name", "list item: a price line must begin with the model name"
        return "no model name", "free text that does not begin with '<model>:' or '<model> -'"
    return None


def stored_nothing(lines: list[dict]) -> list[dict]:
    out = []
    for report in lines:
        why = _why_nothing(report)
        if why:
            out.append({"line": report["line"], "kind": report["kind"], "text": report["text"],
                        "reason": why[0], "explanation": why[1]})
    return out
