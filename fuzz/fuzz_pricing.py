"""Fuzz target: pricing documents, from the read to the finished table.

Each input becomes one pricing source, delivered as a local file or through
a stand-in web fetch, and is parsed by the uncached `_parse_pricing`.  The
first byte chooses the delivery (bit 1), whether the parser's line reports
(quelm._explain) are checked too (bits 2 and 3 clear) and how the rest is
read (bit 0):

  raw        the bytes are the source's content as they are (invalid UTF-8,
             stray byte-order marks and all)
  built      the bytes steer a generator that writes a Markdown document out
             of table rows, header and separator rows, free-text price lines,
             headings and noise, with Unicode digits, spaces and line breaks

The table is checked for its shape and for references held to it, compared
with the plain-Python rendition of the rules (tests/plain/ref_parser.py), and a
model looked up in it by `estimate_costs` and by `quelm._explain.match_model`
must give what the plain-Python lookup gives.

    python fuzz/fuzz_pricing.py [libFuzzer options] [corpus dirs or files]
"""
import sys
from types import SimpleNamespace

import atheris

import harness  # loads the extension, offline and quiet

from plain import ref_estimate
from plain import ref_parser

# Python coverage for the document builder, so that new kinds of documents
# count as progress; the extension's coverage comes from its clang
# instrumentation.  The oracles stay uninstrumented: tracing them costs time
# and tells nothing about the module.
with atheris.instrument_imports(include=["doc_builder"]):
    import doc_builder

from quelm._explain import explain, match_model  # noqa: E402

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


def deliver(data, web):
    """Makes `data` the content of a source; returns the source's name."""
    if web:
        harness.WEB.body = data
        return WEB_ADDRESSES[len(data) % len(WEB_ADDRESSES)]
    with open(PATH, "wb") as f:
        f.write(data)
    return PATH


def check_explanation(source, text, expected):
    """The parser's line reports (quelm._explain) against the document: one
    per line, the blank and "#" lines told apart, header units as the header
    cells state them and kept until the next header, and the stored lines
    replaying into the table."""
    if text is None:
        try:
            explain(gp, source)
        except Exception:  # noqa: BLE001 - the read error is the outcome
            return
        raise harness.Finding("explain read an unreadable source", source)
    table, reports = explain(gp, source)
    expect(harness.exact(table) == harness.exact(expected), "explained table", text)
    lines = text.splitlines()
    expect(len(reports) == len(lines), "one report per line", text, len(reports))
    units = {"prompt": None, "completion": None}
    replay = {}
    for number, (report, line) in enumerate(zip(reports, lines), 1):
        where = (text, number, report)
        expect(report["line"] == number and report["text"] == line, "line", *where)
        stripped = line.strip()
        expect((report["kind"] == "blank") == (not stripped), "blank", *where)
        expect((report["kind"] == "comment") == stripped.startswith("#"), "comment", *where)
        if report["kind"] == "header":
            cells = [c.strip() for c in stripped.strip("|").split("|")]
            units = {"prompt": ref_parser._header_unit(cells[1]),
                     "completion": ref_parser._header_unit(cells[2])}
        expect(report["units"] == units, "units", *where)
        prices = {"prompt_per_1M": report["prompt_per_1M"],
                  "completion_per_1M": report["completion_per_1M"]}
        if report["outcome"] == "stored":
            expect(report["replaced"] == (report["name"] in replay), "replaced", *where)
            replay[report["name"]] = prices
        elif report["outcome"] == "no price":
            expect(prices == {"prompt_per_1M": None, "completion_per_1M": None}, "no price", *where)
    expect(harness.exact(replay) == harness.exact(expected), "replayed reports", text)


def check_match(fdp, table):
    """quelm._explain.match_model: the exact name, else the first name that
    contains the key or is contained in it."""
    key = doc_builder.model_name(fdp).lower()
    if key in table:
        want = (key, table[key], True)
    else:
        want = next(((n, e, False) for n, e in table.items() if key in n or n in key), None)
    got = match_model(table, key)
    expect(got == want and (got is None or got[1] is want[1]), "match", key, got, want)


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
    source = deliver(body, web)
    table = parse_uncached(source)
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
    if data[0] & 12 == 0:  # a quarter of the inputs: the reports cost as much as the rest
        check_explanation(source, text, expected)
    check_match(fdp, table)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
