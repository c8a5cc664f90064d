"""Names that no request looks like: Markdown marks, links, notes,
whitespace, control characters, a header word, the empty name."""

from __future__ import annotations

import re

from quelm._checks.finding import ERROR, VARIANT_SUFFIX, entry_of, finding, rates
from quelm._terminal import shown

# First cells of header rows, which stored as a model name are no model.
HEADER_WORDS = frozenset({
    "model", "models", "model name", "model id", "name", "provider", "providers", "vendor",
    "company", "llm", "engine", "family", "api", "service", "product",
})
# The characters of model ids as providers write them.
_PLAIN_ID = re.compile(r"[\w\-.:/@+]+")
# Terminal escape sequences, whole: control sequences (ESC [ ... final),
# operating-system commands (ESC ] ... BEL or ESC \), other two-character
# escapes.
_ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-_]")


def clean_name(name: str) -> tuple[list[str], str]:
    """(what is wrong with a stored name as a model id, the id it should be)."""
    if _PLAIN_ID.fullmatch(name) and "__" not in name and name not in HEADER_WORDS:
        return [], name
    problems = []
    cleaned = "".join(c for c in _ESCAPE.sub("", name) if c.isprintable() or c.isspace())
    if cleaned != name:
        problems.append("control characters")
    link = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", cleaned)
    if link != cleaned:
        problems.append("a Markdown link")
        cleaned = link
    marks = []
    for mark in ("**", "__", "~~", "`", "[", "]", "*", "<", ">"):
        if mark in cleaned:
            marks.append(mark)
            cleaned = cleaned.replace(mark, "")
    if marks:
        problems.append("Markdown marks (" + " ".join(marks) + ")")
    note = re.sub(r"\s*\([^)]*\)", "", cleaned)
    if note != cleaned:
        problems.append("a parenthesised note")
        cleaned = note
    cleaned = cleaned.strip()
    if any(c.isspace() for c in cleaned):
        problems.append("whitespace")
        cleaned = re.sub(r"\s+", "-", cleaned)
    if cleaned in HEADER_WORDS:
        problems = ["a header word, not a model"]
    return problems, cleaned


def findings(rows: list[dict]) -> list[dict]:
    out = []
    for e in rows:
        name = e["name"]
        entry = entry_of(name, *rates(e))
        if name == "":
            out.append(finding(
                e["line"], ERROR, "empty name", entry,
                "the empty name is contained in every model name, so every request that no "
                "earlier name matches gets this entry's price instead of no match",
                "write the model id in the first cell, or delete the row"))
            continue
        problems, cleaned = clean_name(name)
        if not problems:
            continue
        if problems == ["a header word, not a model"] and e["kind"] != "table row":
            out.append(finding(
                e["line"], ERROR, "bad name", entry,
                f"{shown(repr(name))} is no model: a line of prose was read as its price line, "
                "and requests containing the word get its prices",
                "reword the line so that it does not begin with a word and ':' or '-'"))
            continue
        if problems == ["a header word, not a model"]:
            out.append(finding(
                e["line"], ERROR, "bad name", entry,
                f"{shown(repr(name))} is a header word: a header row that the parser did not take "
                "for one (its first cell must contain 'model' and the 2nd or 3rd 'prompt' or "
                "'completion') was stored as a model, from the numbers in its cells, and its "
                "units were not applied to the rows below",
                "name the columns like '| Model | Prompt ($/1M) | Completion ($/1M) |'"))
            continue
        out.append(finding(
            e["line"], ERROR, "bad name", entry,
            f"the name holds {', '.join(problems)}: a request for {shown(repr(cleaned))} matches it "
            "only by the substring rule (and only if no earlier name matches), and its dated "
            f"variants such as {shown(repr(cleaned + VARIANT_SUFFIX))} never reach it",
            f"write the bare model id {shown(repr(cleaned))}"))
    return out
