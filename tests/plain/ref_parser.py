"""Plain-Python rendition of the pricing document rules, using `re`.

Each rule calls re.search / re.match / re.fullmatch with its pattern written
out exactly as the module's rules state it, the way plain Python code would.
This is the oracle the property tests compare the native parser with, and
the baseline of bench_parse.py.
"""
import re


def cell_to_per_1m(cell, default_unit=None):
    if not cell:
        return None
    m = re.search(r"\$?([\d,]*\.?\d+)", cell)
    if not m:
        return None
    val = float(m.group(1).replace(",", ""))
    marker = cell_marker(cell)
    if marker == "1k":
        return val * 1000.0
    if marker == "1m":
        return val
    if default_unit == "1k":
        return val * 1000.0
    return val


def cell_marker(cell):
    """The unit a cell's own marker states ("1k" wins), or None."""
    if re.search(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b", cell):
        return "1k"
    if re.search(r"/\s*1\s*[mM]\b|per\s+1\s*[mM]\b", cell):
        return "1m"
    return None


def free_text_prices(s):
    """For a (stripped) free-text line read as a model line: its model name,
    the start of its rest, and per label the match of the price pattern
    (None for none); None for a line that is no model line."""
    m = re.match(r"(?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)", s, re.I)
    if not m:
        return None
    rest = m.group("rest")
    found = {label: re.search(label + r"[^$]*\$?([\d,]*\.?\d+[^,]*)", rest, re.I)
             for label in ("prompt", "completion")}
    return m.group("model"), m.start("rest"), found


def _header_unit(cell):
    if re.search(r"1\s*[kK]", cell):
        return "1k"
    if re.search(r"1\s*[mM]", cell):
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
                if all(re.fullmatch(r":?-{3,}:?", c) for c in cells[:3]):
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
        line = free_text_prices(s)
        if line is None:
            continue
        model, _, found = line
        pm, cm = found["prompt"], found["completion"]
        store(model.lower(), cell_to_per_1m(pm.group(1)) if pm else None,
              cell_to_per_1m(cm.group(1)) if cm else None)
    return rates


def read_document(path):
    """A local pricing file as the module reads it (text mode, one BOM dropped)."""
    with open(path, "r", encoding="utf8") as f:
        text = f.read()
    return text[1:] if text.startswith("\ufeff") else text


def parse_pricing(path):
    return parse_text(read_document(path))
