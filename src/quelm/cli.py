"""The command line, ``python -m quelm``.

    python -m quelm [--pricing SOURCE] [--model NAME]   the exercise estimate
    python -m quelm inspect SOURCE [--json] [--explain]
    python -m quelm estimate --model NAME --prompt-tokens N --completion-tokens N
                             [--pricing SOURCE] [--json]
    python -m quelm bill FILE... [--pricing SOURCE] [--model NAME] [--json | --csv] [--strict]
"""

from __future__ import annotations

import argparse
import os
import sys

from quelm import _bill, _estimate, _inspect, genai_pricing
from quelm._terminal import CommandError

PROG = "python -m quelm"


def token_count(text: str) -> int:
    """A token count argument: a whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"a token count cannot be negative: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage="%(prog)s [-h] [--pricing SOURCE] [--model NAME] [COMMAND ...]",
        description="Estimate what a generative-AI model call cost from a Markdown price list. "
        "Without a command, estimates a fixed usage snapshot (21549 prompt and "
        "7091 completion tokens) for one model.",
    )
    # The exercise's own options, as before there were commands.
    parser.add_argument(
        "--pricing", dest="exercise_pricing", metavar="SOURCE",
        help="without a command: price list to read, a local Markdown file or a web address "
        f"(default: {genai_pricing.PRICING_URL})")
    parser.add_argument("--model", dest="exercise_model", metavar="NAME",
                        help="without a command: model name (default: gpt-4.1)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")

    inspect = commands.add_parser(
        "inspect", prog=f"{PROG} inspect", help="show the table a price list gives",
        description="Parse a price list and print its table: one row per model in table "
        "order, with both rates in dollars per 1M tokens.")
    inspect.add_argument("source", metavar="SOURCE",
                         help="the price list: a local Markdown file or a web address")
    inspect.add_argument("--explain", action="store_true",
                         help="say from which line each entry came, and list the lines that "
                         "look like prices but stored nothing")
    inspect.add_argument("--json", action="store_true", help="print JSON")

    estimate = commands.add_parser(
        "estimate", prog=f"{PROG} estimate", help="estimate the cost of one call",
        description="Estimate the cost of one call with the module's estimate_costs, and say "
        "which table entry priced it (the exact name, or the first table name that contains "
        "the model name or is contained in it).")
    estimate.add_argument("--model", required=True, metavar="NAME", help="model name")
    estimate.add_argument("--prompt-tokens", required=True, type=token_count, metavar="N",
                          help="prompt (input) tokens of the call")
    estimate.add_argument("--completion-tokens", required=True, type=token_count, metavar="N",
                          help="completion (output) tokens of the call")
    estimate.add_argument("--pricing", metavar="SOURCE",
                          help="price list to read, a local Markdown file or a web address "
                          f"(default: {genai_pricing.PRICING_URL})")
    estimate.add_argument("--json", action="store_true", help="print JSON")
    _bill.add_parser(commands)
    return parser


def run(args: argparse.Namespace) -> list[str]:
    if args.command == "inspect":
        return _inspect.run(args.source, args.explain, args.json)
    source = args.pricing if args.pricing is not None else genai_pricing.PRICING_URL
    return _estimate.run(source, args.model, args.prompt_tokens, args.completion_tokens,
                         args.json)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        if args.exercise_pricing is not None:
            genai_pricing.PRICING_URL = args.exercise_pricing
        genai_pricing.exercise_estimate_costs(args.exercise_model)
        return 0
    if args.exercise_pricing is not None or args.exercise_model is not None:
        parser.error(f"--pricing and --model before '{args.command}' belong to the run without "
                     "a command; give them after the command")
    if args.command == "bill":
        return _bill.main(args)
    try:
        lines = run(args)
    except CommandError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 1
    try:
        for line in lines:
            print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`... | head`): say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
