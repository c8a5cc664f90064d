"""Runs the native parser on a document by way of a local pricing file."""
import os
import tempfile

from quelm import genai_pricing


def parse_file(path):
    """The un-cached `_parse_pricing` on a local file."""
    return genai_pricing._parse_pricing.__wrapped__(str(path))


def parse_native(document, directory=None):
    """Writes `document` as UTF-8 bytes (line breaks as given) and parses it."""
    fd, path = tempfile.mkstemp(suffix=".md", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(document.encode("utf8"))
        return parse_file(path)
    finally:
        os.unlink(path)


def as_exact(table):
    """Comparable form of a pricing table: key order, value types and float
    reprs all count."""
    assert type(table) is dict
    out = []
    for name, rates in table.items():
        assert type(name) is str and type(rates) is dict
        assert list(rates) == ["prompt_per_1M", "completion_per_1M"]
        values = []
        for v in rates.values():
            assert v is None or type(v) is float
            values.append(repr(v))
        out.append((name, values))
    return out
