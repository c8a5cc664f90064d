"""``python -m quelm inspect``: the table a price list gives, and with
``--explain`` where each entry came from and which price-like lines stored
nothing.

Everything here is read off the module's own parser (`quelm._lines`, from
`_explain.explain`, which runs the parser core of `quelm.genai_pricing` with
an observer that reports every line), so this only arranges what the parser
said.
"""

from __future__ import annotations

from typing import Any

from quelm import BUNDLED_PRICING
from quelm._lines import entries, read, stored_nothing
from quelm._terminal import PROG, SOURCE_HELP, Report, dollars, shown, shown_name, strict_json, table
from quelm.commands import COMMANDS


def _origin(entry: dict) -> str:
    text = f"line {entry['line']}, {entry['kind']}"
    if entry["overrides"]:
        earlier = ", ".join(str(n) for n in entry["overrides"])
        text += f" (overrides line{'s' if len(entry['overrides']) > 1 else ''} {earlier})"
    return text


def render(source: str, pricing: dict, lines: list[dict], explain: bool) -> list[str]:
    rows = entries(pricing, lines)
    count = len(rows)
    out = [f"{shown(source)}: {count} model{'' if count == 1 else 's'}, "
           "prices in $ per 1M tokens"]
    if rows:
        header = ["model", "prompt", "completion"] + (["from"] if explain else [])
        cells = [[shown_name(e["name"]), dollars(e["prompt_per_1M"]),
                  dollars(e["completion_per_1M"])] + ([_origin(e)] if explain else [])
                 for e in rows]
        out += [""] + table(header, cells, right=[False, True, True, False])
    if explain:
        nothing = stored_nothing(lines)
        out += ["", "Lines that stored nothing:"] if nothing else [
            "", "No line that looks like a price stored nothing."]
        for item in nothing:
            out.append(f"  line {item['line']}: {item['explanation']}")
            out.append(f"    {shown(item['text'].strip())}")
    return out


def as_json(source: str, pricing: dict, lines: list[dict], explain: bool) -> dict[str, Any]:
    models = {}
    for e in entries(pricing, lines):
        record = {"prompt_per_1M": e["prompt_per_1M"], "completion_per_1M": e["completion_per_1M"]}
        if explain:
            record.update(line=e["line"], kind=e["kind"], overrides=e["overrides"])
        models[e["name"]] = record
    out: dict[str, Any] = {"source": source, "models": models}
    if explain:
        out["stored_nothing"] = stored_nothing(lines)
    return out


def add_parser(commands: Any) -> None:
    parser = commands.add_parser(
        "inspect", prog=f"{PROG} inspect", help=COMMANDS["inspect"],
        description="Parse a price list and print its table: one row per model in table "
        "order, with both rates in dollars per 1M tokens.")
    parser.add_argument("source", metavar="SOURCE", nargs="?", default=BUNDLED_PRICING,
                        help=SOURCE_HELP)
    parser.add_argument("--explain", action="store_true",
                        help="say from which line each entry came, and list the lines that "
                        "look like prices but stored nothing")
    parser.add_argument("--json", action="store_true", help="print JSON")


def run(args: Any) -> Report:
    pricing, lines = read(args.source)
    if args.json:
        return Report([strict_json(as_json(args.source, pricing, lines, args.explain))])
    return Report(render(args.source, pricing, lines, args.explain))
