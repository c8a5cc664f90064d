"""Run the cost estimate exercise: ``python -m quelm [--pricing SOURCE] [--model NAME]``."""

from __future__ import annotations

import argparse
import sys

try:
    from quelm import genai_pricing
except ImportError as exc:
    # Typically `python -m quelm` started in the source checkout's top folder,
    # whose quelm/ holds no built extension and shadows the installed one.
    sys.exit(
        f"quelm: cannot load the native module ({exc}).\n"
        "Run from another folder to use the installed package, "
        "or build in place with tools/devbuild.sh."
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quelm",
        description="Estimate the cost of a fixed usage snapshot "
        "(21549 prompt and 7091 completion tokens) for one model.",
    )
    parser.add_argument(
        "--pricing",
        metavar="SOURCE",
        help="price list to read: a local Markdown file or a web address "
        f"(default: {genai_pricing.PRICING_URL})",
    )
    parser.add_argument("--model", metavar="NAME", help="model name (default: gpt-4.1)")
    args = parser.parse_args(argv)
    if args.pricing is not None:
        genai_pricing.PRICING_URL = args.pricing
    genai_pricing.exercise_estimate_costs(args.model)
    return 0


if __name__ == "__main__":
    sys.exit(main())
