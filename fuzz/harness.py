"""What the fuzz targets share: a quiet, offline module and the checks.

Imported by each target before atheris starts, so that the extension (and
with it its coverage counters) is loaded before fuzzing begins.
"""
import logging
import os
import pathlib
import sys
import tempfile
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The plain-Python renditions of the rules (tests/plain/) serve as oracles.
sys.path.insert(0, str(ROOT / "tests"))

from quelm import genai_pricing as gp  # noqa: E402

# The warning of a failed read would print once per input.
logging.getLogger("quelm.genai_pricing").disabled = True
# No tokenizer: the OpenAI road counts by estimate unless a target installs
# a stand-in.
sys.modules["tiktoken"] = None


class Finding(AssertionError):
    """The module did something the rules do not allow."""


def expect(condition, *detail):
    if not condition:
        raise Finding(*detail)


class FakeWeb:
    """Stands in for urllib.request.urlopen: serves `body` for any address,
    so fuzzing never reaches the network."""

    def __init__(self):
        self.body = b""
        self.addresses = []

    def __call__(self, request, timeout=None):
        self.addresses.append(request.full_url)
        return _Response(self.body)


class _Response:
    def __init__(self, body):
        self._body = body

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def read(self):
        return self._body


WEB = FakeWeb()
urllib.request.urlopen = WEB


def scratch_file():
    """A file to write documents to, in memory where the system allows."""
    directory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    fd, path = tempfile.mkstemp(prefix="quelm-fuzz-", suffix=".md", dir=directory)
    os.close(fd)
    return path


def check_table_shape(table):
    """Every PricingTable: an exact dict of lower-cased str names to exact
    dicts holding exactly the two rate keys, in order, with float or None
    values, never both None."""
    expect(type(table) is dict, "table type", type(table))
    for name, rates in table.items():
        expect(type(name) is str, "name type", type(name))
        expect(name == name.lower(), "name not lower-cased", name)
        expect(type(rates) is dict, "rates type", name, type(rates))
        expect(list(rates) == ["prompt_per_1M", "completion_per_1M"], "rate keys", name, list(rates))
        values = list(rates.values())
        expect(all(v is None or type(v) is float for v in values), "rate types", name, values)
        expect(any(v is not None for v in values), "both rates None", name)
        expect(all(v is None or v >= 0.0 for v in values), "negative rate", name, values)


def exact(table):
    """Comparable form of a table: key order and float reprs count."""
    return [(name, [repr(v) for v in rates.values()]) for name, rates in table.items()]
