"""Later names whose dated or prefixed variants the module's lookup gives to
an earlier name that they contain."""

from __future__ import annotations

from quelm import _explain
from quelm._checks.finding import VARIANT_SUFFIX, WARNING, entry_of, finding, rates
from quelm._checks.names import clean_name
from quelm._terminal import dollars, shown


def findings(pricing: dict, rows: list[dict]) -> list[dict]:
    """Later names whose variants the lookup gives to an earlier name that
    they contain.  `first_contained` finds the candidates natively (through
    an index, not by comparing every pair); the lookup itself then says which
    entry a dated variant of the later name gets.  A name's place in the
    table is that of the first line that stored it."""
    placed = {e["name"]: (e["overrides"] or [e["line"]])[0] for e in rows}
    # Names that are no model id get an error of their own.
    named = [e for e in rows if e["name"] != "" and not clean_name(e["name"])[0]]
    earlier = _explain.first_contained([e["name"] for e in named])
    by_name = {e["name"]: e for e in rows}
    out = []
    for e, first in zip(named, earlier):
        if first is None:
            continue
        variant = e["name"] + VARIANT_SUFFIX
        match = _explain.match_model(pricing, variant)
        if match is None or match[0] in ("", e["name"]):
            continue
        captor = by_name[match[0]]
        if rates(captor) == rates(e):
            continue  # the variants get the same price either way
        here, there = placed[e["name"]], placed[captor["name"]]
        out.append(finding(
            e["line"], WARNING, "shadowed", entry_of(e["name"], *rates(e)),
            f"{shown(repr(captor['name']))} (line {there}) comes first in the table and is "
            f"contained in {shown(repr(e['name']))}, so requests for its dated or prefixed "
            f"variants (such as {shown(repr(variant))}) get the price of "
            f"{shown(repr(captor['name']))} ({dollars(captor['prompt_per_1M'])} / "
            f"{dollars(captor['completion_per_1M'])}) instead of this one",
            f"move line {here} above line {there} (longer names first)",
            lines=[there] + ([here] if here != e["line"] else [])))
    return out
