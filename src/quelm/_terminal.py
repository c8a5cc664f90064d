"""What the commands share: reading a price list, errors, safe names,
dollar amounts, aligned columns and strict JSON."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import math
import shlex
import sys
import unicodedata
from typing import Any, Iterator, NamedTuple, Optional, Sequence

from quelm import BUNDLED_PRICING, _explain, genai_pricing

PROG = "python -m quelm"  # the program's name, in usage lines and messages
SOURCE_HELP = ("price list to read, a local Markdown file or a web address "
               "(default: the bundled list, %s)" % BUNDLED_PRICING.replace("%", "%%"))


class CommandError(Exception):
    """A failure the command reports on standard error, exiting with
    `status` (1 unless the command says otherwise)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class OutputFailed(Exception):
    """Standard output could not be written (a full disk, a closed pipe)."""


def write(lines: Sequence[str] = ()) -> None:
    """Prints `lines` and flushes standard output (what is buffered in it
    too); a failure to write is OutputFailed, a closed pipe BrokenPipeError."""
    try:
        for line in lines:
            print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputFailed(describe(exc)) from None


class Report(NamedTuple):
    """What a command gives back: the lines for standard output, its exit
    status, and warnings for standard error, printed after the output."""

    lines: list[str]
    status: int = 0
    notes: Sequence[str] = ()


def unreadable(source: str, exc: BaseException, status: int = 1) -> CommandError:
    """The error of a price list that could not be read."""
    return CommandError(f"cannot read the price list {shown(repr(source))}: {describe(exc)}",
                        status)


@contextlib.contextmanager
def _no_load_warning() -> Iterator[None]:
    """Keeps the module's logger quiet: a command reports an unreadable
    source in its own error line, so the warning would say it twice."""
    logger = logging.getLogger("quelm.genai_pricing")
    was = logger.disabled
    logger.disabled = True
    try:
        yield
    finally:
        logger.disabled = was


def check_readable(source: str, pricing: dict) -> None:
    """Raises the CommandError of `source` when `pricing`, the module's table
    for it, is the empty table of a source that could not be read.  Why is
    learnt from a fresh read that raises (`_explain.load`)."""
    if pricing:
        return
    try:
        _explain.load(genai_pricing, source)
    except Exception as exc:
        raise unreadable(source, exc) from exc


def load(source: str) -> dict:
    """`_parse_pricing(source)`, the cached table `estimate_costs` will be
    given; an unreadable source is a CommandError (and logs no warning)."""
    with _no_load_warning():
        pricing = genai_pricing._parse_pricing(source)
    check_readable(source, pricing)
    return pricing


def price_list(source: str) -> Any:
    """The package's reading of the price list `source` (cached, as
    `quelm.cost` has it); an unreadable source is a CommandError."""
    from quelm import _pricelist

    try:
        return _pricelist.cached(source)
    except Exception as exc:
        raise unreadable(source, exc) from exc


MAX_TOKENS = 2**63  # the largest count bill takes from a response, too


def token_count(text: str) -> int:
    """A token count argument: a whole number from 0 to 2**63."""
    digits = text.strip().lstrip("+")
    too_large = argparse.ArgumentTypeError(f"too large for a token count (more than 2**63): "
                                           f"{shown(text[:40])}{'...' if len(text) > 40 else ''}")
    try:
        value = int(text)
    except ValueError:
        if digits.isdecimal():  # beyond int()'s digit limit
            raise too_large from None
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"a token count cannot be negative: {text!r}")
    if value > MAX_TOKENS:
        raise too_large
    return value


def no_match(model: str, names: list[str], source: str,
             rule: str = "neither exactly nor by its canonical form") -> CommandError:
    """The error of a model that no entry of the list `names` matches."""
    text = f"no entry of the price list {source!r} matches model {model!r}, {rule}"
    if not names:
        return CommandError(text + "; the price list holds no prices")
    from quelm import _lookup

    close = _lookup.closest(names, model)
    if close:
        return CommandError(text + "; closest names: " + ", ".join(shown(repr(n)) for n in close))
    # A command to paste: the source quoted for the shell, then made safe to print.
    command = shown(f"python -m quelm inspect {shlex.quote(source)}")
    return CommandError(text + f"; {command} lists its {len(names)} names")


def model_name(text: str) -> str:
    """A --model argument: an empty name would match the first entry of any
    price list (it is contained in every name), so it is refused."""
    if not text or text.isspace():
        raise argparse.ArgumentTypeError("a model name cannot be empty")
    return text


def run_quietly(call: Any, *args: Any) -> Any:
    """`call(*args)` with the module's load warning kept quiet."""
    with _no_load_warning():
        return call(*args)


def _strict(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value).replace("inf", "Infinity").replace("nan", "NaN")
    if isinstance(value, dict):
        return {k: _strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    return value


def strict_json(value: Any) -> str:
    """Strict JSON (RFC 8259) of `value`.  A number that is no finite double
    (a price too large for one, a cost that overflowed) is written as the
    string "Infinity", "-Infinity" or "NaN", which float() reads back."""
    return json.dumps(_strict(value), indent=2, allow_nan=False)


def describe(exc: BaseException) -> str:
    """An error's own text, or its type's name when it has none."""
    return shown(str(exc)) or type(exc).__name__


def shown(text: str) -> str:
    """`text` safe to print: characters that are not printable (controls,
    escape sequences, line breaks) are written as backslash escapes, so a
    price list cannot move the cursor or recolour the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def shown_name(name: str) -> str:
    """A model name as shown in a table: the empty name is spelled out."""
    return shown(name) if name else "(empty name)"


def width(text: str) -> int:
    """Terminal columns taken by `text`: wide East Asian characters take two,
    combining marks none."""
    total = 0
    for c in text:
        if unicodedata.combining(c):
            continue
        total += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return total


def dollars(amount: Optional[float]) -> str:
    """A price or cost in dollars, "-" for none: at least two decimals, as
    many more as the amount needs up to eight, and thousands separated.
    A non-zero amount below that precision keeps three significant digits
    rather than showing as zero."""
    if amount is None:
        return "-"
    if amount != 0 and abs(amount) < 5e-9:
        return f"{amount:.3g}"
    text = f"{amount:,.8f}"
    if "." in text:
        whole, _, decimals = text.partition(".")
        decimals = decimals.rstrip("0").ljust(2, "0")
        text = f"{whole}.{decimals}"
    return text


def count(tokens: int) -> str:
    return f"{tokens:,}"


def table(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> list[str]:
    """Lines of a table aligned by display width; `right` says which columns
    are right-aligned (numbers).  Cells must already be safe to print."""
    widths = [max([width(h)] + [width(r[i]) for r in rows]) for i, h in enumerate(header)]

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            pad = " " * (widths[i] - width(cell))
            out.append(pad + cell if right[i] else cell + pad)
        return "  ".join(out).rstrip()

    return [line(header)] + [line(r) for r in rows]
