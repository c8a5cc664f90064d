"""Plain-Python rendition of the pricing document rules, using `re`.

The patterns are the module's, character for character.  This is the oracle
the property tests compare the native parser with, and the baseline of
bench_parse.py.
"""
import re

_NUMBER = re.compile(r"\$?([\d,]*\.?\d+)")
_PER_1K = re.compile(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b")
_PER_1M = re.compile(r"/\s*1\s*[mM]\b|per\s+1\s*[mM]\b")
_RULE = re.compile(r":?-{3,}:?")
_HEADER_1K = re.compile(r"1\s*[kK]")
_HEADER_1M = re.compile(r"1\s*[mM]")
_MODEL_LINE = re.compile(r"(?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)", re.I)
_PROMPT = re.compile(r"prompt[^$]*\$?([\d,]*\.?\d+[^,]*)", re.I)
_COMPLETION = re.compile(r"completion[^$]*\$?([\d,]*\.?\d+[^,]*)", re.I)


def cell_to_per_1m(cell, default_unit=None):
    if not cell:
        return None
    m = _NUMBER.search(cell)
    if not m:
        return None
    val = float(m.group(1).replace(",", ""))
    if _PER_1K.search(cell):
        return val * 1000.0
    if _PER_1M.search(cell):
        return val
    if default_unit == "1k":
        return val * 1000.0
    return val


def _header_unit(cell):
    if _HEADER_1K.search(cell):
        return "1k"
    if _HEADER_1M.search(cell):
        return "1m"
    return None


def parse_text(text):
    """The line loop: the document text -> {name: {prompt_per_1M, completion_per_1M}}."""
    rates = {}
    header_units = {"prompt": None, "completion": None}

    def num_with_header(x, which):
        return cell_to_per_1m(x, default_unit=header_units.get(which))

    def store(name, prompt, completion):
        if prompt is not None or completion is not None:
            rates[name] = {"prompt_per_1M": prompt, "completion_per_1M": completion}

    for line in text.splitlines():
        s = line.strip()
        if not s or s.startswith("#"):
            continue
        if s.startswith("|"):
            cells = [c.strip() for c in s.strip("|").split("|")]
            if len(cells) >= 3:
                if all(_RULE.fullmatch(c) for c in cells[:3]):
                    continue
                c0, c1, c2 = (c.lower() for c in cells[:3])
                if "model" in c0 and ("prompt" in c1 or "completion" in c1
                                      or "prompt" in c2 or "completion" in c2):
                    header_units["prompt"] = _header_unit(cells[1])
                    header_units["completion"] = _header_unit(cells[2])
                    continue
                store(cells[0].strip().lower(), num_with_header(cells[1], "prompt"),
                      num_with_header(cells[2], "completion"))
                continue
        m = _MODEL_LINE.match(s)
        if not m:
            continue
        rest = m.group("rest")
        pm, cm = _PROMPT.search(rest), _COMPLETION.search(rest)
        store(m.group("model").lower(), cell_to_per_1m(pm.group(1)) if pm else None,
              cell_to_per_1m(cm.group(1)) if cm else None)
    return rates


def read_document(path):
    """A local pricing file as the module reads it (text mode, one BOM dropped)."""
    with open(path, "r", encoding="utf8") as f:
        text = f.read()
    return text[1:] if text.startswith("\ufeff") else text


def parse_pricing(path):
    return parse_text(read_document(path))
