"""``python -m quelm bill``: what a whole run of calls cost, per model, from
the responses it left behind (JSON Lines, one response per line).

A line is read through the module itself: the usage by its extractors
(`_extract_openai_usage`, `_extract_gemini_usage`), the price by
`estimate_costs` on the model's summed tokens, and the entry that priced
it by `_explain.match_model`, the lookup `estimate_costs` runs.  So a
model's cost here is the figure ``quelm estimate`` gives for its tokens.

Lines are streamed a batch at a time: memory holds one batch, one running
total per model and a few line numbers per skip reason, whatever the size
of the input.
"""

from __future__ import annotations

import argparse
import codecs
import csv
import gzip
import io
import json
import math
import os
import sys
import zlib
from typing import Any, BinaryIO, Iterable, Iterator, Optional

import msgspec
from msgspec import UNSET

import quelm
from quelm import _estimate, genai_pricing
from quelm._terminal import (CommandError, Report, count, describe, dollars, model_name, shown, shown_name,
                             strict_json, table)

NOT_JSON = "not JSON"
NO_MODEL = "no model"
ERROR_STATUS = "error status"
NO_USAGE = "no usage"
BAD_USAGE = "bad usage"
REASONS = {
    NOT_JSON: "the line is not a JSON object",
    NO_MODEL: "no model name (and no --model)",
    ERROR_STATUS: "the call failed: an error, or a status other than success",
    NO_USAGE: "the response reports no token counts",
    BAD_USAGE: "a token count that is not a whole number from 0 to 2**63",
}
MAX_TOKENS = 2**63
FIRST_LINES = 5  # line numbers kept per skip reason
BATCH_BYTES = 1 << 20  # lines read at a time
LONG_INPUT = 16 << 20  # a progress bar from this many bytes of input on

_openai = genai_pricing._extract_openai_usage
_gemini = genai_pricing._extract_gemini_usage


def add_parser(commands: Any) -> None:
    bill = commands.add_parser(
        "bill", prog="python -m quelm bill", help="the cost of a whole run, per model",
        description="Add up what the calls saved in JSON Lines files cost, per model. A line "
        "may be an OpenAI chat completion or Responses API object, an OpenAI Batch API output "
        "line, a Gemini generateContent response (Python SDK dump or REST camelCase), a Gemini "
        "batch output line, or a plain {\"model\": ..., \"usage\": {...}} record. Lines that "
        "cannot be billed are counted by reason. Files ending in .gz are decompressed; '-' "
        "reads standard input.",
        epilog="Lines skipped: " + "; ".join(f"'{r}': {why}" for r, why in REASONS.items())
        + ". Blank lines are passed over.")
    bill.add_argument("files", nargs="+", metavar="FILE", help="JSON Lines file, .gz, or -")
    bill.add_argument("--pricing", metavar="SOURCE", default=quelm.BUNDLED_PRICING,
                      help="price list to read, a local Markdown file or a web address "
                      "(default: the price list shipped with quelm)")
    bill.add_argument("--model", metavar="NAME", type=model_name,
                      help="bill every line as this model, whatever the line names")
    output = bill.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print JSON")
    output.add_argument("--csv", action="store_true", help="print CSV")
    bill.add_argument("--strict", action="store_true",
                      help="exit with 1 when a model matched no entry of the price list")


# -- reading one line ------------------------------------------------------
#
# A line is decoded straight into the few fields billing reads: the rest of
# a response (its text, above all) is skipped by the decoder, not built.
# The extractors read these records by attribute, as they read the client
# libraries' own objects.

class _Usage(msgspec.Struct, gc=False):
    input_tokens: Any = None
    prompt_tokens: Any = None
    output_tokens: Any = None
    completion_tokens: Any = None


class _Metadata(msgspec.Struct, gc=False):
    prompt_token_count: Any = None
    candidates_token_count: Any = None
    promptTokenCount: Any = None
    candidatesTokenCount: Any = None


class _Record(msgspec.Struct, gc=False):
    """A response, a batch output line, or a batch line's "response" or
    "body"; fields the line does not have are None, or UNSET for the
    three whose mere presence tells the shape."""
    model: Any = None
    modelVersion: Any = None
    model_version: Any = None
    usage: Optional[_Usage] = None
    usage_metadata: Optional[_Metadata] = None
    usageMetadata: Optional[_Metadata] = None
    custom_id: Any = msgspec.UNSET
    key: Any = msgspec.UNSET
    response: Optional["_Record"] = msgspec.UNSET
    status_code: Any = None
    body: Optional["_Record"] = None
    error: Any = None
    status: Any = None


_decode = msgspec.json.Decoder(_Record).decode
_FIELDS = {
    "usage": (_Usage, frozenset(_Usage.__struct_fields__)),
    "usage_metadata": (_Metadata, frozenset(_Metadata.__struct_fields__)),
    "usageMetadata": (_Metadata, frozenset(_Metadata.__struct_fields__)),
}


def _as_record(value: dict, depth: int = 2) -> _Record:
    """A decoded object as a _Record, whatever its fields hold: a field
    that should be an object and is not stays what it is, for the rules
    to refuse.  Its "response" and "body" become records down to `depth`
    levels, as deep as the rules read (a batch line's response's body);
    below that they stay as decoded, so that a line nested deeper than
    Python calls may go is read as the decoder read it."""
    fields = {}
    for name in _Record.__struct_fields__:
        if name not in value:
            continue
        field = value[name]
        if type(field) is dict:
            if name in ("response", "body"):
                if depth:
                    field = _as_record(field, depth - 1)
            elif name in _FIELDS:
                kind, names = _FIELDS[name]
                field = kind(**{k: v for k, v in field.items() if k in names})
        fields[name] = field
    return _Record(**fields)


def _parse_again(raw: bytes, refusal: Exception) -> Any:
    """A line the decoder refused, as a _Record, or NOT_JSON."""
    try:
        if isinstance(refusal, msgspec.ValidationError):
            # JSON whose fields are not the types above (a "usage" that is
            # no object, say): decoded as it is, and the rules decide.
            value = msgspec.json.decode(raw)
        elif isinstance(refusal, msgspec.DecodeError) and b"\\u" in raw:
            # Maybe a lone surrogate escape, which JSON allows and only the
            # standard parser takes.
            value = json.loads(raw)
        else:
            return NOT_JSON  # not JSON, or nested too deep to read
        return _as_record(value) if type(value) is dict else NOT_JSON
    except (ValueError, RecursionError):
        return NOT_JSON


def _openai_usage(usage: Any, model: str) -> Any:
    """The OpenAI counts when a side may be missing."""
    if type(usage) is not _Usage:
        return BAD_USAGE
    given = usage.input_tokens, usage.prompt_tokens, usage.output_tokens, usage.completion_tokens
    if given == (None, None, None, None):
        return NO_USAGE
    # A side the response does not report is 0: the extractor would count
    # it from the text, and a saved response has none to give.
    prompt = given[1] if given[0] or given[1] is not None else 0
    completion = given[3] if given[2] or given[3] is not None else 0
    return _openai(_Record(usage=_Usage(given[0], prompt, given[2], completion)), "", "", model)


def _gemini_usage(rec: _Record, meta: Any, camel: bool) -> Any:
    if type(meta) is not _Metadata:
        return BAD_USAGE
    if camel:
        prompt, completion = meta.promptTokenCount, meta.candidatesTokenCount
        rec = _Record(usage_metadata=_Metadata(prompt, completion))
    else:
        prompt, completion = meta.prompt_token_count, meta.candidates_token_count
    if prompt is None and completion is None:
        return NO_USAGE
    # A side that is missing is counted from the (empty) text: 0.
    return _gemini(rec, "", "")


def read_line(raw: bytes, model: Optional[str]) -> Any:
    """(model, prompt tokens, completion tokens) of one line, or the reason
    it cannot be billed.  `model`, when given, overrides the line's."""
    try:
        rec = _decode(raw)
    except (msgspec.DecodeError, RecursionError) as refusal:
        rec = _parse_again(raw, refusal)
        if rec is NOT_JSON:
            return NOT_JSON
    if rec.custom_id is not UNSET:  # an OpenAI Batch API output line
        resp = rec.response
        if rec.error is not None or type(resp) is not _Record or resp.status_code != 200:
            return ERROR_STATUS
        rec = resp.body
        if type(rec) is not _Record:
            return NO_USAGE
    elif rec.key is not UNSET and (rec.response is not UNSET or rec.error is not None
                                   or rec.status is not None):
        # A Gemini batch output line: the response, or what went wrong.
        resp, status = rec.response, rec.status
        if rec.error is not None or type(resp) is not _Record \
                or (type(status) is dict and status.get("code")):
            return ERROR_STATUS
        rec = resp
    if rec.error is not None:
        return ERROR_STATUS
    if model is None:
        model = rec.model or rec.modelVersion or rec.model_version
        if type(model) is not str or not model or model.isspace():
            return NO_MODEL
    usage = rec.usage
    try:
        if usage is not None:
            if type(usage) is _Usage and (usage.input_tokens or usage.prompt_tokens is not None) \
                    and (usage.output_tokens or usage.completion_tokens is not None):
                counts = _openai(rec, "", "", model)  # both sides reported: the common case
            else:
                counts = _openai_usage(usage, model)
        elif rec.usage_metadata is not None:
            counts = _gemini_usage(rec, rec.usage_metadata, False)
        elif rec.usageMetadata is not None:
            counts = _gemini_usage(rec, rec.usageMetadata, True)
        else:
            return NO_USAGE
    except TypeError:  # the extractors refuse a count that is no plain integer
        return BAD_USAGE
    if type(counts) is str:
        return counts
    prompt, completion = counts["prompt_tokens"], counts["completion_tokens"]
    if not (0 <= prompt <= MAX_TOKENS and 0 <= completion <= MAX_TOKENS):
        return BAD_USAGE
    return model, prompt, completion


# -- reading the files -----------------------------------------------------

class Tally:
    """Running totals: per model [calls, prompt, completion], per skip
    reason [lines, first line references]."""

    def __init__(self) -> None:
        self.lines = 0
        self.models: dict[str, list[int]] = {}
        self.skipped: dict[str, list[Any]] = {}

    def skip(self, reason: str, where: str) -> None:
        entry = self.skipped.get(reason)
        if entry is None:
            entry = self.skipped[reason] = [0, []]
        entry[0] += 1
        if len(entry[1]) < FIRST_LINES:
            entry[1].append(where)

    def feed(self, name: str, batches: Iterable[list[bytes]], model: Optional[str]) -> None:
        models = self.models
        number = 0
        for batch in batches:
            for raw in batch:
                number += 1
                got = read_line(raw, model)
                if type(got) is tuple:
                    totals = models.get(got[0])
                    if totals is None:
                        totals = models[got[0]] = [0, 0, 0]
                    totals[0] += 1
                    totals[1] += got[1]
                    totals[2] += got[2]
                elif raw.strip():  # blank lines are no calls, and no fault
                    self.skip(got, f"{name}:{number}")
        self.lines += number


def _batches(fh: BinaryIO, progress: Any, position: Any) -> Iterator[list[bytes]]:
    """The lines of `fh` (without their line feeds), a list per read."""
    done = 0
    pending: list[bytes] = []  # the start of a line that a read cut
    first = True
    while chunk := fh.read(BATCH_BYTES):
        if first and chunk.startswith(codecs.BOM_UTF8):
            # Some Windows tools begin a UTF-8 file with a byte-order mark:
            # it belongs to no line, and would make the first one no JSON.
            chunk = chunk[len(codecs.BOM_UTF8):]
        first = False
        lines = chunk.split(b"\n")
        if len(lines) == 1:
            pending.append(chunk)
            continue
        if pending:
            pending.append(lines[0])
            lines[0] = b"".join(pending)
            pending = []
        last = lines.pop()
        if last:
            pending.append(last)
        yield lines
        if progress is not None:
            now = position()
            progress.update(now - done)
            done = now
    if pending:
        yield [b"".join(pending)]


def _progress_bar(files: list[str]) -> Any:
    """A tqdm bar on standard error, in bytes of the files, when standard
    error is a terminal and the files are long; None without tqdm."""
    if not sys.stderr.isatty():
        return None
    try:
        total = sum(os.path.getsize(f) for f in files if f != "-")
    except OSError:
        return None
    if total < LONG_INPUT:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, leave=False,
                desc="bill", file=sys.stderr)


def tally(files: list[str], model: Optional[str]) -> Tally:
    result = Tally()
    progress = _progress_bar(files)
    try:
        for path in files:
            if path == "-":
                result.feed("stdin", _batches(sys.stdin.buffer, None, None), model)
                continue
            try:
                with open(path, "rb") as raw:
                    fh: BinaryIO = gzip.GzipFile(fileobj=raw) if path.endswith(".gz") else raw
                    result.feed(shown(path), _batches(fh, progress, raw.tell), model)
            except (OSError, EOFError, zlib.error) as exc:
                raise CommandError(f"cannot read {shown(repr(path))}: {describe(exc)}") from None
    finally:
        if progress is not None:
            progress.close()
    return result


# -- the bill --------------------------------------------------------------

def bill(files: list[str], source: str, model: Optional[str]) -> dict:
    """The facts of the bill, as --json prints them."""
    pricing = _estimate.load(source)  # an unreadable list stops us before the files
    seen = tally(files, model)
    rows = []
    for name, (calls, prompt, completion) in seen.models.items():
        usage = {"prompt_tokens": prompt, "completion_tokens": completion}
        entry = _estimate.matched_entry(pricing, name)
        costs = _estimate.costs_from(source, name, usage)
        rows.append({"model": name, "calls": calls, **usage, "entry": entry,
                     "costs": dict(costs)})
    rows.sort(key=lambda r: (-(r["costs"]["total_cost"] or 0.0), r["model"]))
    total_cost = math.fsum(r["costs"]["total_cost"] or 0.0 for r in rows)
    return {
        "pricing": source,
        "files": files,
        "lines": seen.lines,
        "models": rows,
        "total": {"calls": sum(r["calls"] for r in rows),
                  "prompt_tokens": sum(r["prompt_tokens"] for r in rows),
                  "completion_tokens": sum(r["completion_tokens"] for r in rows),
                  "total_cost": total_cost},
        "unpriced": [r["model"] for r in rows if r["entry"] is None],
        "skipped": {reason: {"lines": n, "first": where}
                    for reason, (n, where) in sorted(seen.skipped.items())},
    }


def _entry_text(entry: Optional[dict]) -> str:
    if entry is None:
        return "NO ENTRY: priced at $0"
    return f"{shown_name(entry['name'])} ({entry['match']})"


def render(result: dict) -> list[str]:
    rows = [(shown(r["model"]), count(r["calls"]), count(r["prompt_tokens"]),
             count(r["completion_tokens"]), _entry_text(r["entry"]),
             "$" + dollars(r["costs"]["total_cost"])) for r in result["models"]]
    total = result["total"]
    rows.append(("total", count(total["calls"]), count(total["prompt_tokens"]),
                 count(total["completion_tokens"]), "", "$" + dollars(total["total_cost"])))
    out = table(("model", "calls", "prompt tokens", "completion tokens", "entry", "cost"), rows,
                (False, True, True, True, False, True))
    out.insert(len(out) - 1, "")
    if result["unpriced"]:
        out += ["", f"WARNING: {len(result['unpriced'])} model(s) matched no entry of the price "
                "list and are priced at $0: " + ", ".join(shown(m) for m in result["unpriced"])]
    skipped = result["skipped"]
    if skipped:
        n = sum(s["lines"] for s in skipped.values())
        out += ["", f"skipped {count(n)} of {count(result['lines'])} lines:"]
        width = max(len(r) for r in skipped)
        for reason, s in skipped.items():
            more = ", ..." if s["lines"] > len(s["first"]) else ""
            out.append(f"  {reason:<{width}}  {count(s['lines']):>7}  "
                       f"({', '.join(s['first'])}{more})")
    return out


CSV_FIELDS = ("kind", "name", "calls", "prompt_tokens", "completion_tokens", "entry", "match",
              "prompt_cost", "completion_cost", "total_cost", "first_lines")


def _utf8(text: str) -> str:
    # A name read through a lone surrogate escape cannot be written as UTF-8.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def as_csv(result: dict) -> str:
    """Rows of kind "model", one "total", then one "skipped" per reason
    (name: the reason, calls: its line count)."""
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, CSV_FIELDS, lineterminator="\n", restval="")
    writer.writeheader()
    for r in result["models"]:
        entry = r["entry"] or {}
        writer.writerow({"kind": "model", "name": _utf8(r["model"]), "calls": r["calls"],
                         "prompt_tokens": r["prompt_tokens"],
                         "completion_tokens": r["completion_tokens"],
                         "entry": _utf8(entry.get("name", "")), "match": entry.get("match", "none"),
                         **r["costs"]})
    writer.writerow({"kind": "total", "name": "total", **result["total"]})
    for reason, s in result["skipped"].items():
        writer.writerow({"kind": "skipped", "name": reason, "calls": s["lines"],
                         "first_lines": " ".join(s["first"])})
    return buffer.getvalue().rstrip("\n")


def run(args: argparse.Namespace) -> Report:
    """The bill's lines, exit status 1 under --strict when a model matched
    no entry, and that fact for standard error (printed after the bill),
    where --json and --csv leave it."""
    from quelm.cli import PROG

    result = bill(args.files, args.pricing, args.model)
    if args.json:
        text = [strict_json(result)]
    elif args.csv:
        text = [as_csv(result)]
    else:
        text = render(result)
    notes = []
    if result["unpriced"]:
        notes.append(f"{PROG} bill: {'error' if args.strict else 'warning'}: "
                     f"{len(result['unpriced'])} model(s) matched no entry of the price list "
                     "and are priced at $0: " + ", ".join(shown(m) for m in result["unpriced"]))
    return Report(text, 1 if result["unpriced"] and args.strict else 0, notes)
