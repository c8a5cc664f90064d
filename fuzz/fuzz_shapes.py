"""Fuzz target: the native reader of the makers' response shapes.

The bytes are read as JSON (whatever of them parses); every object that
comes out is read by `quelm._shapes.read`, as dicts and again as attribute
objects, and by its plain-Python rendition (tests/plain/ref_shapes.py).  The two
must agree, and reading must leave the reference counts of the response's
parts as they were.

    python fuzz/fuzz_shapes.py [libFuzzer options] [corpus dirs or files]
"""
import json
import sys
from types import SimpleNamespace

import atheris

import harness  # noqa: F401 - loads the extensions, offline and quiet

from plain import ref_shapes
from quelm import _shapes

expect = harness.expect


def as_objects(value):
    """The same data with every object read by attribute."""
    if isinstance(value, dict):
        names = {k: as_objects(v) for k, v in value.items() if isinstance(k, str) and k.isidentifier()}
        return SimpleNamespace(**names)
    if isinstance(value, list):
        return [as_objects(v) for v in value]
    return value


def parts(value, out):
    out.append(value)
    if isinstance(value, dict):
        for v in value.values():
            parts(v, out)
    elif isinstance(value, list):
        for v in value:
            parts(v, out)
    return out


def check(value):
    # The containers are the response's own objects (numbers and None are
    # shared with the rest of the interpreter, whose counts move).
    held = [p for p in parts(value, []) if isinstance(p, (dict, list))]
    before = [sys.getrefcount(p) for p in held]
    got = _shapes.read(value)
    after = [sys.getrefcount(p) for p in held]
    expect(before == after, "reference counts", value)
    want = ref_shapes.read(value)
    expect(got == want, "read", value, got, want)
    objects = as_objects(value)
    got, want = _shapes.read(objects), ref_shapes.read(objects)
    expect(got == want, "read by attribute", value, got, want)


def test_one_input(data):
    try:
        value = json.loads(data.decode("utf-8", "replace"))
    except (ValueError, RecursionError):
        return
    if isinstance(value, dict):
        check(value)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
