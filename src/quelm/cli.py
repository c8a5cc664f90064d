"""The command line, ``python -m quelm``.

    python -m quelm [--pricing SOURCE] [--model NAME]   the exercise estimate
    python -m quelm inspect [SOURCE] [--json] [--explain]
    python -m quelm estimate --model NAME --prompt-tokens N --completion-tokens N ...
    python -m quelm check [SOURCE] [--json]
    python -m quelm bill FILE... [--pricing SOURCE] [--model NAME] [--json | --csv] [--strict]

The commands are the modules of `quelm.commands`, each imported only when
its name is given.  Here the arguments are parsed, the command run, its
report printed, and every failure turned into its exit status (`main`).
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from typing import Any, NoReturn, Optional

from quelm import commands
from quelm._terminal import PROG, CommandError, OutputFailed, Report, shown, write
from quelm.commands import exercise

# Exit statuses besides a command's own.
FAILED = 1  # a command's error (unless it says otherwise), output that could not be written
INTERRUPTED = 130  # Ctrl-C: the conventional status of a run ended by SIGINT


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
    """The program's and every command's parser: help wrapped at spaces,
    usage errors with the arguments they quote made safe to print."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        super().error(shown(message))


def build_parser(command: Optional[str] = None) -> argparse.ArgumentParser:
    """The parser of the program with every command named, and the full
    parser (its module imported) of `command` alone."""
    parser = _Parser(prog=PROG, description=exercise.DESCRIPTION,
                     usage="%(prog)s [-h] [--pricing SOURCE] [--model NAME] [COMMAND ...]")
    exercise.add_arguments(parser)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    for name, summary in commands.COMMANDS.items():
        if name == command:
            commands.load(name).add_parser(subparsers)
        else:
            # Named, for the program's help and to find which is given.
            subparsers.add_parser(name, help=summary, add_help=False)
    return parser


def command_given(argv: Optional[list[str]]) -> Optional[str]:
    """The command named in the arguments (None for none): the first pass,
    by the parser that names every command and imports none."""
    known, _ = build_parser().parse_known_args(argv)
    return known.command


def parse(argv: Optional[list[str]], command: Optional[str]) -> argparse.Namespace:
    """The arguments, by the parser of the command given."""
    parser = build_parser(command)
    args = parser.parse_args(argv)
    if args.command is not None and exercise.given(args):
        parser.error(f"--pricing and --model before '{args.command}' belong to the run "
                     "without a command; give them after the command")
    return args


def _drop_stdout() -> None:
    """Points standard output at nothing, so that what is still buffered is
    not written again (and reported again) when the interpreter exits."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Optional[list[str]] = None) -> int:
    """Runs the command line; returns the exit status.  Every failure is
    turned into its status here, and said in one line on standard error."""
    name = PROG
    try:
        try:
            command = command_given(argv)
            if command is not None:
                name = f"{PROG} {command}"
            args = parse(argv, command)
            run = exercise.run if args.command is None else commands.load(args.command).run
            report: Report = run(args)
        except CommandError as exc:
            try:
                write()  # what the command printed comes before its error
            except (BrokenPipeError, OutputFailed):
                _drop_stdout()  # the command's own error is the one to report
            print(f"{name}: error: {exc}", file=sys.stderr)
            return exc.status
        write(report.lines)
        for note in report.notes:
            # Warnings follow the output, as a reader expects them at its end.
            print(note, file=sys.stderr)
        return report.status
    except BrokenPipeError:
        # The reader went away (`... | head`): say nothing more.
        _drop_stdout()
        return FAILED
    except OutputFailed as exc:
        _drop_stdout()
        print(f"{name}: error: cannot write the output: {exc}", file=sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        return INTERRUPTED
