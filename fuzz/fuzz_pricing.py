"""Fuzz target: pricing documents, from the read to the finished table.

Each input becomes one pricing source, delivered as a local file or through
a stand-in web fetch, and is parsed by the uncached `_parse_pricing`.  The
first byte chooses how the rest is read:

  raw        the bytes are the source's content as they are (invalid UTF-8,
             stray byte-order marks and all)
  built      the bytes steer a generator that writes a Markdown document out
             of table rows, header and separator rows, free-text price lines,
             headings and noise, with Unicode digits, spaces and line breaks

The table is checked for its shape and for references held to it, compared
with the plain-Python rendition of the rules (bench/ref_parser.py), and a
model looked up in it by
`estimate_costs` must cost what the plain-Python estimate says.

    python fuzz/fuzz_pricing.py [libFuzzer options] [corpus dirs or files]
"""
import sys
from types import SimpleNamespace

import atheris

import harness  # loads the extension, offline and quiet

import ref_estimate
import ref_parser

# Python coverage for the document builder, so that new kinds of documents
# count as progress; the extension's coverage comes from its clang
# instrumentation.  The oracles stay uninstrumented: tracing them costs time
# and tells nothing about the module.
with atheris.instrument_imports(include=["doc_builder"]):
    import doc_builder

gp = harness.gp
expect = harness.expect
parse_uncached = gp._parse_pricing.__wrapped__
PATH = harness.scratch_file()
WEB_ADDRESSES = [
    "https://example.invalid/prices.md",
    "https://github.com/owner/repo/blob/main/docs/prices.md",
    "HTTP://GitHub.com/o/r/blob/b/p.md\n",
]

# estimate_costs reads the table through the module-level `_parse_pricing`;
# both it and the plain-Python estimate are served the table under test.
CURRENT = {}
gp._parse_pricing = ref_estimate._parse_pricing = lambda path: CURRENT["table"]


def expected_text(data, web):
    """The document as the module should see it, or None when the read
    fails (a warning and an empty table)."""
    if web:
        text = data.decode("utf-8", errors="replace")
        return text[1:] if text.startswith("\ufeff") else text
    try:
        return ref_parser.read_document(PATH)
    except (UnicodeDecodeError, OSError):
        return None


def parse(data, web):
    if web:
        harness.WEB.body = data
        source = WEB_ADDRESSES[len(data) % len(WEB_ADDRESSES)]
        return parse_uncached(source)
    with open(PATH, "wb") as f:
        f.write(data)
    return parse_uncached(PATH)


def check_estimate(fdp, table, expected, document):
    """Looks a model up in the parsed table, as estimate_costs does."""
    names = list(expected)
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0 and names:
        model = names[fdp.ConsumeIntInRange(0, len(names) - 1)].upper()
    elif choice == 1 and document:
        start = fdp.ConsumeIntInRange(0, len(document) - 1)
        model = document[start:start + fdp.ConsumeIntInRange(1, 12)]
    else:
        model = doc_builder.model_name(fdp)
    usage = {"prompt_tokens": fdp.ConsumeIntInRange(-10, 10**9),
             "completion_tokens": fdp.ConsumeIntInRange(-10, 10**9)}
    if fdp.ConsumeBool():
        del usage["completion_tokens"]
    args = SimpleNamespace(model=model)
    CURRENT["table"] = table
    got = gp.estimate_costs(args, usage)
    CURRENT["table"] = expected
    want = ref_estimate.estimate_costs(args, usage)
    expect(repr(got) == repr(want), "estimate", model, usage, got, want)


def dict_refs(table):
    return [sys.getrefcount(table)] + [sys.getrefcount(rates) for rates in table.values()]


def TestOneInput(data):
    if not data:
        return
    fdp = atheris.FuzzedDataProvider(data[1:])
    mode, web = data[0] & 1, bool(data[0] & 2)
    if mode == 0:
        body = data[1:]
    else:
        body = doc_builder.document(fdp).encode("utf-8")
    table = parse(body, web)
    harness.check_table_shape(table)
    text = expected_text(body, web)
    expected = ref_parser.parse_text(text) if text is not None else {}
    expect(harness.exact(table) == harness.exact(expected), "table differs", text,
           harness.exact(table), harness.exact(expected))
    # Nothing else may hold the table or its entries (names and prices are
    # not compared: the host shares some strs, the module equal floats).
    expect(dict_refs(table) == dict_refs(expected), "reference counts", text,
           dict_refs(table), dict_refs(expected))
    check_estimate(fdp, table, expected, text)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
