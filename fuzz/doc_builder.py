"""Builds pricing documents out of fuzzer bytes.

The pieces are the ones the line rules look at: "|" cells, header words and
unit markers, separator cells, "name:" and "name -" openings, the labels
"prompt" and "completion", "$", numbers with commas and points, and the
characters that the host's Unicode tables treat specially (digits of other
scripts, spaces and line breaks beyond ASCII, letters whose lower case
differs in length or matches an ASCII letter only case-insensitively).
Every choice is drawn from the FuzzedDataProvider, so mutations of the bytes
move between related documents.
"""

DIGITS = "0123456789"
# Decimal digits of other scripts: Arabic-Indic, Devanagari, fullwidth,
# mathematical bold (beyond the BMP), plus numerals that are not decimal.
OTHER_DIGITS = ["\u0663", "\u0967", "\uff15", "\U0001d7d7", "\u00b2", "\u2167", "\u00bd"]
SPACES = [" ", " ", "  ", "\t", "\u00a0", "\u2003", "\u3000", "\x1f", "\x1c", "\u200b"]
BREAKS = ["\n", "\n", "\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e",
          "\x85", "\u2028", "\u2029"]
UNIT_MARKERS = ["/1K", "/1M", "/ 1K", "/ 1 M", "/1k", "/1m", "per 1K", "per 1M", "per  1 m",
                "per\t1k", "Per 1K", "per1K", "/1Ktokens", "/1MM", "/1M tokens", "/ 1K tokens",
                "per 1K tokens", "1K", "1M", "1 k", "/1\u212a", "per\u00a01M", "/1K_", "/1K\u00e9"]
HEADER_PRICE = ["Prompt", "prompt", "PROMPT", "Completion", "completion", "Input", "Output",
                "Prompt ($/1M)", "Completion ($/1M)", "Prompt per 1K", "Completion per 1K",
                "prompt (1K tokens)", "Prompt $/1 m", "COMPLETION per 1 K", "Pr\u00f6mpt",
                "Prompt/1M tokens", "Completion / 1k"]
HEADER_MODEL = ["Model", "model", "Model name", "MODEL", "Provider", "Models", "\u039cODEL",
                "mod\u0130el", "Mo del", ""]
SEPARATORS = ["---", ":---:", "---:", ":---", "--", "----------", ":-:", "---|", " --- ",
              ":----", "-\u2010-"]
NAMES = ["gpt-4o", "Model-A", "model-b-mini", "o1/preview", "a:b", "x@y", "_", "m.2",
         "claude", "\u0130", "\u0131", "\u212a", "\u017f", "\u1e9e", "\u03a3\u0391\u03a3",
         "\u01c5", "\ufb03", "\U0001d400", "\u2167", "\u00df", "`model-i`", "**x**",
         "Note", "-", "*", "\u00c9t\u00e9", "\u0663\u0663", "A\u0300"]
LABELS = ["prompt", "Prompt", "PROMPT", "completion", "Completion", "COMPLETION",
          "compl\u0130tion", "compl\u0131tion", "prompts", "promptcompletion"]
WORDS = ["$", "$", "$ ", ",", ", ", ".", ":", "-", " - ", "(cached $0.5)", "tokens", "n/a",
         "free", "|", "||", "#", "@", "/", "per", "\ufeff", "\ufffd", "\U0001f600", "\\|",
         "1M: $2.50", "per 1K: $2", "input", "output"]


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def number(fdp):
    """Digits with commas and points in odd places, sometimes long enough to
    need the slow conversion, sometimes in other scripts."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return str(fdp.ConsumeIntInRange(0, 10**6))
    if kind == 1:
        return f"{fdp.ConsumeIntInRange(0, 10**4)}.{fdp.ConsumeIntInRange(0, 999):03d}"
    if kind == 2:
        return "{:,}".format(fdp.ConsumeIntInRange(0, 10**12))
    out = []
    for _ in range(fdp.ConsumeIntInRange(1, 40 if kind == 3 else 8)):
        roll = fdp.ConsumeIntInRange(0, 15)
        if roll < 10:
            out.append(DIGITS[roll])
        elif roll < 12:
            out.append(",")
        elif roll < 14:
            out.append(".")
        else:
            out.append(pick(fdp, OTHER_DIGITS))
    return "".join(out)


def any_char(fdp):
    c = fdp.ConsumeIntInRange(0, 0x10FFFF)
    return chr(c) if not 0xD800 <= c < 0xE000 else "\ufffd"


def piece(fdp, pool):
    roll = fdp.ConsumeIntInRange(0, 9)
    if roll < 4:
        return pick(fdp, pool)
    if roll < 6:
        return number(fdp)
    if roll == 6:
        return pick(fdp, SPACES)
    if roll == 7:
        return pick(fdp, UNIT_MARKERS)
    if roll == 8:
        return any_char(fdp)
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6))


def phrase(fdp, pool, most):
    return "".join(piece(fdp, pool) for _ in range(fdp.ConsumeIntInRange(0, most)))


def model_name(fdp):
    roll = fdp.ConsumeIntInRange(0, 3)
    if roll == 0:
        return phrase(fdp, NAMES, 3)
    if roll == 1:
        return pick(fdp, NAMES) + pick(fdp, ["", "-mini", "-4.1", ":latest", "@2024"])
    if roll == 2:  # many distinct names
        return pick(fdp, NAMES) + f"-{fdp.ConsumeIntInRange(0, 999)}"
    return pick(fdp, NAMES)


def cell(fdp):
    roll = fdp.ConsumeIntInRange(0, 5)
    if roll == 0:
        return "$" + number(fdp)
    if roll == 1:
        return number(fdp) + pick(fdp, SPACES) + pick(fdp, UNIT_MARKERS)
    return phrase(fdp, WORDS, 4)


def table_row(fdp, cells):
    pad = lambda: pick(fdp, ["", " ", " ", "  ", "\t", "\u00a0"])  # noqa: E731
    inner = "|".join(pad() + c + pad() for c in cells)
    lead = pick(fdp, ["|", "|", "||", " |", ""])
    tail = pick(fdp, ["|", "|", "", "||", "| "])
    return lead + inner + tail


def header_row(fdp):
    cells = [pick(fdp, HEADER_MODEL), pick(fdp, HEADER_PRICE), pick(fdp, HEADER_PRICE)]
    if fdp.ConsumeBool():
        cells[fdp.ConsumeIntInRange(0, 2)] += phrase(fdp, UNIT_MARKERS + WORDS, 2)
    cells += [phrase(fdp, WORDS, 2) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    return table_row(fdp, cells)


def data_row(fdp):
    cells = [model_name(fdp)] + [cell(fdp) for _ in range(fdp.ConsumeIntInRange(1, 4))]
    return table_row(fdp, cells)


def separator_row(fdp):
    return table_row(fdp, [pick(fdp, SEPARATORS) for _ in range(fdp.ConsumeIntInRange(1, 4))])


def free_text(fdp):
    opening = model_name(fdp) + pick(fdp, ["", " ", "\t", "\u3000"]) + pick(fdp, [":", "-", ": ", " - ", "", "::", ":-"])
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        roll = fdp.ConsumeIntInRange(0, 3)
        if roll == 0:
            parts.append(pick(fdp, LABELS))
        elif roll == 1:
            parts.append(pick(fdp, ["$", " $", "$ ", " ", ": $", " "]) + number(fdp))
        else:
            parts.append(piece(fdp, WORDS + LABELS))
    return opening + "".join(parts)


def line(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return header_row(fdp)
    if kind == 1:
        return separator_row(fdp)
    if kind in (2, 3):
        return data_row(fdp)
    if kind in (4, 5):
        return free_text(fdp)
    if kind == 6:
        return pick(fdp, ["#", "##", " #", "#|"]) + phrase(fdp, WORDS, 3)
    if kind == 7:
        return pick(fdp, ["", " ", "\t", "\u00a0\u3000"])
    if kind == 8:
        return phrase(fdp, WORDS + LABELS + NAMES, 8)
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))


def many_rows(fdp):
    """A block of rows under a few names each, from a few bytes: enough
    distinct names to make the parser's entry table grow, and repeats that
    replace earlier entries."""
    base = pick(fdp, NAMES)
    count = fdp.ConsumeIntInRange(1, 120)
    distinct = fdp.ConsumeIntInRange(1, count)
    return "\n".join(f"| {base}-{i % distinct} | ${i}.5 | {i % 7} / 1K |" for i in range(count))


def document(fdp):
    out = ["\ufeff"] if fdp.ConsumeIntInRange(0, 7) == 0 else []
    # Up to 80 lines: past 32 stored names the entry table grows.
    for _ in range(fdp.ConsumeIntInRange(0, 80)):
        if fdp.remaining_bytes() == 0:
            break
        out.append(pick(fdp, SPACES) if fdp.ConsumeIntInRange(0, 7) == 0 else "")
        out.append(line(fdp) if fdp.ConsumeIntInRange(0, 31) else many_rows(fdp))
        out.append(pick(fdp, BREAKS))
    return "".join(out)
