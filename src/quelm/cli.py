"""The command line, ``python -m quelm``.

    python -m quelm [--pricing SOURCE] [--model NAME]   the exercise estimate
    python -m quelm inspect [SOURCE] [--json] [--explain]
    python -m quelm estimate --model NAME --prompt-tokens N --completion-tokens N
                             [--pricing SOURCE] [--json]
    python -m quelm check [SOURCE] [--json]
    python -m quelm bill FILE... [--pricing SOURCE] [--model NAME] [--json | --csv] [--strict]

Every command reads the bundled price list (`quelm.BUNDLED_PRICING`) unless
told another source.  A command is one `add_parser` call in `build_parser`
and one entry in `COMMANDS`: a function of the parsed arguments that returns
a `Report` (the lines to print, the exit status, and warnings for standard
error, printed after them) or raises CommandError.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import textwrap
from typing import Callable, NoReturn

from quelm import BUNDLED_PRICING, _bill, _check, _estimate, _explain, _inspect, genai_pricing
from quelm._terminal import (PROG, SOURCE_HELP, CommandError, Report, describe, load, model_name, run_quietly,
                             shown)


class _Formatter(argparse.HelpFormatter):
    """Help text wrapped at spaces only, so an address or a path is never
    broken across lines (a long one overruns the width instead)."""

    def _split_lines(self, text: str, width: int) -> list[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_long_words=False,
                             break_on_hyphens=False)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return textwrap.fill(" ".join(text.split()), width, initial_indent=indent,
                             subsequent_indent=indent, break_long_words=False,
                             break_on_hyphens=False)


class _Parser(argparse.ArgumentParser):
    """Usage errors with the arguments they quote made safe to print."""

    def error(self, message: str) -> NoReturn:
        super().error(shown(message))


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, formatter_class=_Formatter,
        usage="%(prog)s [-h] [--pricing SOURCE] [--model NAME] [COMMAND ...]",
        description="Estimate what a generative-AI model call cost from a Markdown price list. "
        "Without a command, estimates a fixed usage snapshot (21549 prompt and "
        "7091 completion tokens) for one model.",
    )
    # The exercise's own options, as before there were commands.
    parser.add_argument("--pricing", dest="exercise_pricing", metavar="SOURCE",
                        help="without a command: " + SOURCE_HELP)
    parser.add_argument("--model", dest="exercise_model", metavar="NAME",
                        help="without a command: model name (default: gpt-4.1)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    # Every command's help wraps as the program's does.
    commands.add_parser = functools.partial(commands.add_parser, formatter_class=_Formatter)

    inspect = commands.add_parser(
        "inspect", prog=f"{PROG} inspect", formatter_class=_Formatter,
        help="show the table a price list gives",
        description="Parse a price list and print its table: one row per model in table "
        "order, with both rates in dollars per 1M tokens.")
    inspect.add_argument("source", metavar="SOURCE", nargs="?", default=BUNDLED_PRICING,
                         help=SOURCE_HELP.replace("price list to read", "the price list"))
    inspect.add_argument("--explain", action="store_true",
                         help="say from which line each entry came, and list the lines that "
                         "look like prices but stored nothing")
    inspect.add_argument("--json", action="store_true", help="print JSON")

    _estimate.add_parser(commands)
    _check.add_parser(commands)
    _bill.add_parser(commands)
    return parser


COMMANDS: dict[str, Callable[[argparse.Namespace], Report]] = {
    "inspect": lambda a: Report(_inspect.run(a.source, a.explain, a.json)),
    "estimate": _estimate.run,
    "check": _check.run,
    "bill": _bill.run,
}


def exercise(args: argparse.Namespace) -> None:
    """The module's exercise on the chosen list; its line is printed even
    when the list cannot be read or no entry matches the model (a zero
    estimate), and the error follows."""
    source = args.exercise_pricing if args.exercise_pricing is not None else BUNDLED_PRICING
    genai_pricing.PRICING_URL = source
    try:
        run_quietly(genai_pricing.exercise_estimate_costs, args.exercise_model)
    except BrokenPipeError:
        raise
    except OSError as exc:  # its line could not be written
        raise _OutputFailed(describe(exc)) from None
    _flush()
    pricing = load(source)  # the table the exercise used, cached: raises if it was unreadable
    model = args.exercise_model or "gpt-4.1"  # the exercise's own default for no name
    if _explain.match_model(pricing, model.lower()) is None:
        raise _estimate.no_match(model, [n for n in pricing if isinstance(n, str)], source,
                                 "neither exactly nor by the substring rule")


class _OutputFailed(Exception):
    """Standard output could not be written (a full disk, a closed pipe)."""


def _flush() -> None:
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise _OutputFailed(describe(exc)) from None


def _print(lines: list[str]) -> None:
    try:
        for line in lines:
            print(line)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise _OutputFailed(describe(exc)) from None
    _flush()


def _drop_stdout() -> None:
    """Points standard output at nothing, so that what is still buffered is
    not written again (and reported again) when the interpreter exits."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: list[str] | None = None) -> int:
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        if args.command is not None and (args.exercise_pricing is not None
                                         or args.exercise_model is not None):
            parser.error(f"--pricing and --model before '{args.command}' belong to the run "
                         "without a command; give them after the command")
        name = PROG if args.command is None else f"{PROG} {args.command}"
        try:
            try:
                if args.command is None:
                    exercise(args)
                    return 0
                result = COMMANDS[args.command](args)
            except CommandError as exc:
                _flush()
                print(f"{name}: error: {exc}", file=sys.stderr)
                return exc.status
            _print(result.lines)
        except BrokenPipeError:
            # The reader went away (`... | head`): say nothing more.
            _drop_stdout()
            return 1
        except _OutputFailed as exc:
            _drop_stdout()
            print(f"{name}: error: cannot write the output: {exc}", file=sys.stderr)
            return 1
        for note in result.notes:
            # Warnings follow the output, as a reader expects them at its end.
            print(note, file=sys.stderr)
        return result.status
    except KeyboardInterrupt:
        # Ctrl-C: the conventional status of a run ended by SIGINT, no traceback.
        return 130
