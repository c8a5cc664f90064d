"""``python -m quelm`` without a command: the module's own exercise, an
estimate of a fixed usage snapshot for one model, on the chosen list.

Its options are the program's own (given before any command), so this is
no entry of COMMANDS: `add_arguments` adds them to the program's parser.
"""

from __future__ import annotations

import argparse

from quelm import BUNDLED_PRICING, _explain, genai_pricing
from quelm._terminal import SOURCE_HELP, Report, load, no_match, run_quietly, write

DESCRIPTION = ("Estimate what a generative-AI model call cost from a Markdown price list. "
               "Without a command, estimates a fixed usage snapshot (21549 prompt and 7091 "
               "completion tokens) for one model.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--pricing", dest="exercise_pricing", metavar="SOURCE",
                        help="without a command: " + SOURCE_HELP)
    parser.add_argument("--model", dest="exercise_model", metavar="NAME",
                        help="without a command: model name (default: gpt-4.1)")


def given(args: argparse.Namespace) -> bool:
    """Whether any of the exercise's options was given."""
    return args.exercise_pricing is not None or args.exercise_model is not None


def run(args: argparse.Namespace) -> Report:
    """The module's exercise on the chosen list; its line is printed even
    when the list cannot be read or no entry matches the model (a zero
    estimate), and the error follows."""
    source = args.exercise_pricing if args.exercise_pricing is not None else BUNDLED_PRICING
    genai_pricing.PRICING_URL = source
    run_quietly(genai_pricing.exercise_estimate_costs, args.exercise_model)
    write()  # its line, before any error
    pricing = load(source)  # the table the exercise used, cached: raises if it was unreadable
    model = args.exercise_model or "gpt-4.1"  # the exercise's own default for no name
    if _explain.match_model(pricing, model.lower()) is None:
        raise no_match(model, [n for n in pricing if isinstance(n, str)], source,
                       "neither exactly nor by the substring rule")
    return Report([])
