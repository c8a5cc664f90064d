"""``python -m quelm bill``: what a whole run of calls cost, per model and
token class (`quelm._billing`)."""

from __future__ import annotations

from typing import Any

from quelm import BUNDLED_PRICING, _billing
from quelm._billing.output import as_csv, fallback_text, render, unpriced_text
from quelm._terminal import PROG, SOURCE_HELP, Report, model_name, price_list, strict_json
from quelm.commands import COMMANDS


def add_parser(commands: Any) -> None:
    bill = commands.add_parser(
        "bill", prog=f"{PROG} bill", help=COMMANDS["bill"],
        description="Add up what the calls saved in JSON Lines files cost, per model and token "
        "class. A line may be an OpenAI chat completion or Responses API object, an OpenAI "
        "Batch API output line, an Anthropic message or Message Batches result, a Gemini "
        "generateContent response (Python SDK dump or REST camelCase) or batch output line, "
        "or a plain {\"model\": ..., \"usage\": {...}} record. Each call is priced by its "
        "classes (cached, written, audio, reasoning tokens), its service tier, long context "
        "and time, as quelm.cost prices it. Lines that cannot be billed are counted by "
        "reason. Files ending in .gz are decompressed; '-' reads standard input.",
        epilog="Lines skipped: " + "; ".join(f"'{r}': {why}" for r, why in
                                             _billing.REASONS.items())
        + ". Blank lines are passed over.")
    bill.add_argument("files", nargs="+", metavar="FILE", help="JSON Lines file, .gz, or -")
    bill.add_argument("--pricing", metavar="SOURCE", default=BUNDLED_PRICING, help=SOURCE_HELP)
    bill.add_argument("--model", metavar="NAME", type=model_name,
                      help="bill every line as this model, whatever the line names")
    formats = bill.add_mutually_exclusive_group()
    formats.add_argument("--json", action="store_true", help="print JSON")
    formats.add_argument("--csv", action="store_true", help="print CSV")
    bill.add_argument("--strict", action="store_true",
                      help="exit with 1 when a model matched no entry of the price list")


def run(args: Any) -> Report:
    """The bill's lines; exit status 1 when no line could be billed, or
    under --strict when a model matched no entry; the warnings for standard
    error (printed after the bill)."""
    result = _billing.bill(args.files, price_list(args.pricing), args.model)
    if args.json:
        text = [strict_json(result)]
    elif args.csv:
        text = [as_csv(result)]
    else:
        text = render(result)
    notes, status = [], 0
    if result["fallbacks"]:
        notes.append(f"{PROG} bill: warning: " + fallback_text(result["fallbacks"]))
    if result["unpriced"]:
        level = "error" if args.strict else "warning"
        notes.append(f"{PROG} bill: {level}: " + unpriced_text(result["unpriced"]))
        status = 1 if args.strict else 0
    if not result["total"]["calls"]:
        notes.append(f"{PROG} bill: error: no line of the input could be billed")
        status = 1
    return Report(text, status, notes)
