"""Reading a run's responses (JSON Lines, one response per line) into
running totals per model and conditions.

Each line is read as `quelm.cost` reads a response (`_usage`, the makers'
shapes); its entry is the one `_lookup` finds, its conditions those the call
ran under (its service tier, region, long context, time of day).

Lines are streamed a read at a time: memory holds one read, one running
total per model and conditions, and a few line numbers per skip reason,
whatever the size of the input.  A line longer than MAX_LINE is skipped
without being kept.
"""

from __future__ import annotations

import codecs
import gzip
import json
import os
import sys
import zlib
from typing import Any, BinaryIO, Iterable, Iterator, Optional

import msgspec

from quelm import _cost, _lookup, _pricelist, _shapes, _usage
from quelm._terminal import CommandError, describe, shown

NOT_JSON = "not JSON"
TOO_LONG = "too long"
REASONS = {
    NOT_JSON: "the line is not a JSON object",
    TOO_LONG: "the line is longer than 64 MiB",
    **_usage.REASONS,
    _usage.NO_MODEL: "no model name (and no --model)",
}
FIRST_LINES = 5  # line numbers kept per skip reason
BATCH_BYTES = 1 << 20  # bytes read at a time
MAX_LINE = 64 << 20  # a longer line is skipped, in bounded memory
LONG_INPUT = 16 << 20  # a progress bar from this many bytes of input on

_decode_any = msgspec.json.decode
_read = _shapes.read
_add = _shapes.add
_tally = _shapes.tally
_new = tuple.__new__
_MISSING: Any = object()


def _response_struct() -> Any:
    """A msgspec Struct of the fields the shapes reader reads on a
    response's own level (the rest of a line, its text above all, is
    skipped by the decoder rather than built), its nested levels of the
    same type."""
    nested = set(_shapes.NESTED_FIELDS)
    fields = [(name, Optional["Response"] if name in nested else Any, None)
              for name in _shapes.RESPONSE_FIELDS]
    struct = msgspec.defstruct("Response", fields, kw_only=True, module=__name__, gc=False)
    globals()["Response"] = struct  # where its own name resolves
    return struct


_decode = msgspec.json.Decoder(_response_struct()).decode


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is no JSON")


def decode(raw: bytes) -> Any:
    """A line as a response to read, or NOT_JSON: decoded into the fields
    the reader reads, or whole when they are not of the shape a response
    has (a "response" that is no object, say: the reader decides)."""
    try:
        return _decode(raw)
    except msgspec.ValidationError:
        pass
    except (msgspec.DecodeError, RecursionError) as refusal:
        return _decode_slowly(raw, refusal)
    try:
        value = _decode_any(raw)
    except (msgspec.DecodeError, RecursionError) as refusal:
        return _decode_slowly(raw, refusal)
    return value if type(value) is dict else NOT_JSON


def _decode_slowly(raw: bytes, refusal: Exception) -> Any:
    """What the fast decoder refuses and JSON allows: a lone surrogate
    escape, or a number beyond a double (1e400: a bad count, not broken
    JSON).  The standard parser takes both; anything else is NOT_JSON."""
    if b"\\u" not in raw and "out of range" not in str(refusal):
        return NOT_JSON
    try:
        value = json.loads(raw, parse_constant=_no_constant)
    except (ValueError, RecursionError):
        return NOT_JSON
    return value if type(value) is dict else NOT_JSON


# -- the tally -----------------------------------------------------------

class Tally:
    """Running totals: per group of calls (a model, and the conditions its
    calls ran under) the calls and the tokens of each class; per model its
    entry; per skip reason the lines and their first line references.

    Most lines take the native road (`_shapes.tally`): a call whose group
    is known, of a model whose prices depend on nothing but its service
    tier, region and long context, is added up there, and so is counted a
    line skipped for a reason whose first line references are all kept
    (a tuple, once complete).
    Every other line comes back here (`_other`), which decides, and makes
    its group known when it can."""

    def __init__(self, prices: _pricelist.PriceList, model: Optional[str]) -> None:
        self.prices = prices
        self.model = model
        self.lines = 0
        self.entries: dict[str, Optional[_pricelist.Entry]] = {}
        # The models of the native road, with their long-context threshold.
        self.thresholds: dict[str, Optional[int]] = {}
        # By (model, tier, region, long), or (model, conditions) for the
        # models whose prices depend on more (the time of day).
        self.groups: dict[tuple, list[int]] = {}
        self.skipped: dict[str, list[Any]] = {}
        self._where = ("", 0)

    def skip(self, reason: str, number: int) -> None:
        entry = self.skipped.get(reason)
        if entry is None:
            entry = self.skipped[reason] = [0, []]
        entry[0] += 1
        if type(entry[1]) is list:
            entry[1].append(f"{self._where[0]}:{number}")
            if len(entry[1]) == FIRST_LINES:
                entry[1] = tuple(entry[1])  # complete: the native road counts the rest

    def feed(self, name: str, batches: Iterable[list[Optional[bytes]]]) -> None:
        number = 0
        for batch in batches:
            self._where = (name, number)
            _tally(batch, _decode, self.model, self.thresholds, self.groups, self.skipped,
                   self._other)
            number += len(batch)
        self.lines += number

    def _other(self, index: int, raw: Optional[bytes], got: Any) -> None:
        """A line the native road did not add up."""
        number = self._where[1] + index + 1
        if raw is None:
            return self.skip(TOO_LONG, number)
        if got is None:  # not decoded fast
            record = decode(raw)
            got = record if record is NOT_JSON else _read(record)
        if type(got) is not tuple:
            if raw.strip():  # blank lines are no calls, and no fault
                self.skip(got, number)
            return None
        model = self.model or got[0]
        if model is None:
            return self.skip(_usage.NO_MODEL, number)
        entry = self.entries.get(model, _MISSING)
        if entry is _MISSING:
            entry = self.entries[model] = _lookup.find(self.prices, model)
            if entry is None or entry.peak_hours is None:
                self.thresholds[model] = None if entry is None else entry.long_above
        usage = _new(_usage.Usage, got)
        if entry is None:
            key: tuple = (model, usage.tier, usage.region, False)
        elif model in self.thresholds:
            cond = _cost.conditions(entry, usage)
            key = (model, usage.tier, usage.region, cond.long)
        else:
            key = (model, _cost.conditions(entry, usage))
        totals = self.groups.get(key)
        if totals is None:
            totals = self.groups[key] = [0] * (len(_usage.CLASSES) + 1)
        _add(totals, usage.counts)
        return None

    def by_model(self) -> Iterator[tuple[str, Any, list[int]]]:
        """(model, conditions, totals) of every group of calls."""
        for key, totals in self.groups.items():
            if len(key) == 2:
                yield key[0], key[1], totals
            else:
                model, tier, region, long = key
                yield model, _cost.Conditions(long, tier, region), totals


def _lines(fh: BinaryIO, progress: Any, position: Any) -> Iterator[list[Optional[bytes]]]:
    """The lines of `fh` (without their line feeds), a list per read; a
    line longer than MAX_LINE is given as None, and not kept meanwhile."""
    done = 0
    pending: list[bytes] = []  # the start of a line that a read cut
    pending_size = 0
    too_long = False  # the line being read is past MAX_LINE: drop it
    first = True
    while chunk := fh.read(BATCH_BYTES):
        if first and chunk.startswith(codecs.BOM_UTF8):
            # Some Windows tools begin a UTF-8 file with a byte-order mark:
            # it belongs to no line, and would make the first one no JSON.
            chunk = chunk[len(codecs.BOM_UTF8):]
        first = False
        split = chunk.split(b"\n")
        last = split.pop()
        lines: list[Optional[bytes]] = split  # type: ignore[assignment]  # None: too long
        if split:
            head = split[0]
            if too_long or pending_size + len(head) > MAX_LINE:
                lines[0] = None
            elif pending:
                pending.append(head)
                lines[0] = b"".join(pending)
            pending, pending_size, too_long = [], 0, False
            # The other lines lie whole in one read, shorter than MAX_LINE.
        if not too_long:
            pending.append(last)
            pending_size += len(last)
            if pending_size > MAX_LINE:
                pending, pending_size, too_long = [], 0, True
        if lines:
            yield lines
        if progress is not None:
            now = position()
            progress.update(now - done)
            done = now
    if too_long:
        yield [None]
    elif pending_size:
        yield [b"".join(pending)]


def _progress_bar(files: list[str]) -> Any:
    """A tqdm bar on standard error, in bytes of the files, when standard
    error is a terminal and the files are long; None without tqdm."""
    if sys.stderr is None or not sys.stderr.isatty():
        return None
    try:
        total = sum(os.path.getsize(f) for f in files if f != "-")
    except OSError:
        return None
    if total < LONG_INPUT:
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
                desc="bill", file=sys.stderr)


def tally(files: list[str], prices: _pricelist.PriceList, model: Optional[str]) -> Tally:
    result = Tally(prices, model)
    progress = _progress_bar(files)
    try:
        for path in files:
            if path == "-":
                stdin = getattr(sys.stdin, "buffer", None)
                if stdin is None:
                    raise CommandError("cannot read standard input: it is closed")
                try:
                    result.feed("stdin", _lines(stdin, None, None))
                except (OSError, ValueError) as exc:
                    raise CommandError(f"cannot read standard input: {describe(exc)}") from None
                continue
            try:
                with open(path, "rb") as raw:
                    fh: Any = gzip.GzipFile(fileobj=raw) if path.endswith(".gz") else raw
                    result.feed(shown(path), _lines(fh, progress, raw.tell))
            except (OSError, EOFError, zlib.error) as exc:
                raise CommandError(f"cannot read {shown(repr(path))}: {describe(exc)}") from None
    finally:
        if progress is not None:
            progress.close()
    return result
