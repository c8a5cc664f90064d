"""quelm._explain: the parser's line reports and the lookup's match report,
against what `_parse_pricing` stores and what `estimate_costs` picks."""

import builtins
import collections
import logging
import pathlib
import re
from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

from plain import ref_parser
from conftest import run_python
from pricing_files import as_exact
from quelm import _explain
from quelm import genai_pricing as gp
from support import FUNCTIONS, documents, examples

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "pricing_table.md"


def document_lines(path):
    """The lines the module parses: the file read as text, one byte-order
    mark dropped, split as str.splitlines() does."""
    with open(path, encoding="utf8") as f:
        text = f.read()
    return (text[1:] if text.startswith("\ufeff") else text).splitlines()


def check_agreement(path):
    table, lines = _explain.explain(gp, str(path))
    stored = gp._parse_pricing.__wrapped__(str(path))
    assert as_exact(table) == as_exact(stored)

    # One report per line, in order, carrying the line as written.
    expected_lines = document_lines(path)
    assert [r["line"] for r in lines] == list(range(1, len(expected_lines) + 1))
    assert [r["text"] for r in lines] == expected_lines

    # The table rebuilt from the reports alone is the stored table.
    rebuilt = {}
    header_units = []
    for r in lines:
        s = r["text"].strip()
        assert (r["kind"] == "blank") == (s == "")
        assert (r["kind"] == "comment") == s.startswith("#")
        assert (r["name"] is not None) == (r["outcome"] in ("stored", "no price"))
        if r["few_cells"]:
            assert s.startswith("|") and (r["kind"], r["outcome"]) == ("free text", "no match")
        if r["outcome"] == "stored":
            assert r["replaced"] == (r["name"] in rebuilt)
            rebuilt[r["name"]] = {"prompt_per_1M": r["prompt_per_1M"],
                                  "completion_per_1M": r["completion_per_1M"]}
        else:
            assert not r["replaced"]
            if r["outcome"] == "no price" or r["kind"] != "table row":
                assert r["prompt_per_1M"] is None and r["completion_per_1M"] is None
        check_cells(r, header_units)
        check_free_text(r)
        if r["kind"] == "header":
            header_units = [c["unit"] for c in r["cells"]]
    assert as_exact(rebuilt) == as_exact(stored)
    return lines


def exact(value):
    return type(value), repr(value)


def check_free_text(report):
    """Where a free-text line's prices were found, as the price patterns
    find them: the label, the text read, its number; all within the line."""
    stripped = report["text"].strip()
    offset = report["text"].index(stripped) if stripped else 0
    read = (ref_parser.free_text_prices(stripped)
            if report["kind"] == "free text" and report["outcome"] != "no match" else None)
    if read is None:
        assert (report["rest"], report["prices"]) == (None, {"prompt": None, "completion": None})
        return
    _, rest, found = read
    assert report["rest"] == (offset + rest, offset + len(stripped))
    for label, m in found.items():
        if m is None:
            assert report["prices"][label] is None
            continue
        base = offset + rest
        number = re.match(r"[\d,]*\.?\d+", m.group(1))
        assert report["prices"][label] == {
            "label": (base + m.start(), base + m.start() + len(label)),
            "text": (base + m.start(1), base + m.end(1)),
            "number": (base + m.start(1), base + m.start(1) + number.end()),
            "marker": ref_parser.cell_marker(m.group(1))}


def check_cells(report, header_units):
    """Every cell of a header or table row, split as the parser splits its
    first three, converted by the cell converter under its column's unit
    (the last header row's, the parser's own tags for the 2nd and 3rd)."""
    cells = report["cells"]
    if report["few_cells"]:
        texts = [c.strip() for c in report["text"].strip().strip("|").split("|")]
        assert [(c["text"], c["value"]) for c in cells] == [(t, None) for t in texts]
        return
    if report["kind"] not in ("header", "table row"):
        assert cells == []
        return
    texts = [c.strip() for c in report["text"].strip().strip("|").split("|")]
    assert [c["text"] for c in cells] == texts
    for i, c in enumerate(cells):
        if report["kind"] == "header":
            assert c["unit"] == ref_parser._header_unit(c["text"])
            assert (c["value"], c["number"]) == (None, None)
            continue
        unit = (None if i == 0 else report["units"][("prompt", "completion")[i - 1]] if i < 3
                else header_units[i] if i < len(header_units) else None)
        value = None if i == 0 else ref_parser.cell_to_per_1m(c["text"], unit)
        assert (c["unit"], exact(c["value"])) == (unit, exact(value))
        marker = ref_parser.cell_marker(c["text"]) if i and value is not None else None
        assert c["marker"] == marker
        number = re.search(r"\$?([\d,]*\.?\d+)", c["text"]) if i else None
        assert c["number"] == (number.span(1) if number else None)
    if report["kind"] == "table row":
        assert exact(cells[1]["value"]) == exact(report["prompt_per_1M"])
        assert exact(cells[2]["value"]) == exact(report["completion_per_1M"])


def test_example_price_list_agrees():
    lines = check_agreement(EXAMPLE)
    by_name = {r["name"]: r for r in lines if r["outcome"] == "stored"}
    assert by_name["gpt-4o"]["kind"] == "table row"
    assert by_name["mistral-large"]["kind"] == "free text"
    assert [r["line"] for r in lines if r["kind"] == "header"] == [9, 21]


@pytest.fixture(scope="module")
def doc_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("explained")


@examples(300)
@given(doc=documents())
def test_generated_documents_agree(doc, doc_dir):
    path = doc_dir / "doc.md"
    path.write_bytes(doc.encode("utf8"))
    check_agreement(path)


UNITS_NONE = {"prompt": None, "completion": None}


@pytest.mark.parametrize("line, expected", [
    ("", dict(kind="blank", outcome="skipped")),
    ("  ## model-x: prompt $1", dict(kind="comment", outcome="skipped")),
    ("| :--- | ---: | --- |", dict(kind="separator", outcome="skipped")),
    ("| Model | Prompt per 1K | Completion /1M |",
     dict(kind="header", outcome="units set", units={"prompt": "1k", "completion": "1m"})),
    ("| X | $1 | |", dict(kind="table row", outcome="stored", name="x", prompt_per_1M=1.0)),
    ("| Model | Input | Output |", dict(kind="table row", outcome="no price", name="model")),
    ("| a | $1 |", dict(kind="free text", outcome="no match", few_cells=True)),
    ("- m: prompt $1", dict(kind="free text", outcome="no match")),
    ("Note: prices change", dict(kind="free text", outcome="no price", name="note")),
    ("M-1 - completion $0.5/1K", dict(kind="free text", outcome="stored", name="m-1",
                                      completion_per_1M=500.0)),
])
def test_line_reports(tmp_path, line, expected):
    path = tmp_path / "one.md"
    path.write_text(line + "\n", encoding="utf8")
    [report] = _explain.explain(gp, str(path))[1]
    defaults = dict(line=1, text=line, name=None, prompt_per_1M=None, completion_per_1M=None,
                    replaced=False, few_cells=False, units=UNITS_NONE)
    check_cells(report, [])
    check_free_text(report)
    del report["cells"], report["rest"], report["prices"]
    assert report == {**defaults, **expected}


def test_later_columns_take_their_headers_units(tmp_path):
    path = tmp_path / "wide.md"
    path.write_text("| Model | Prompt | Completion | Cached (per 1K) | Above |\n"
                    "| a | 1 | 2 | 0.0005 | 200,000 tokens | 3 /1M |\n"
                    "prose\n| b | 1 | 2 | 0.001 |\n"
                    "| Model | Prompt | Completion | Cached |\n| c | 1 | 2 | 0.001 |\n",
                    encoding="utf8")
    rows = [r["cells"][3:] for r in check_agreement(path) if r["kind"] == "table row"]
    assert [[(c["unit"], c["value"], c["number"]) for c in row] for row in rows] == [
        [("1k", 0.5, (0, 6)), (None, 200000.0, (0, 7)), (None, 3.0, (0, 1))],
        [("1k", 1.0, (0, 5))],
        [(None, 0.001, (0, 5))],
    ]


def test_unit_tags_reported_until_the_next_header(tmp_path):
    path = tmp_path / "units.md"
    path.write_text("| Model | Prompt 1M | Completion 1K |\nprose\n| Model | Prompt | Completion |\n",
                    encoding="utf8")
    units = [r["units"] for r in _explain.explain(gp, str(path))[1]]
    assert units == [{"prompt": "1m", "completion": "1k"}] * 2 + [UNITS_NONE]


@pytest.mark.parametrize("function", [_explain.explain, _explain.load])
def test_unreadable_source_raises_and_logs_nothing(tmp_path, caplog, function):
    missing = str(tmp_path / "missing.md")
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        with pytest.raises(FileNotFoundError):
            function(gp, missing)
    assert caplog.records == []


def test_load_is_the_uncached_parse(tmp_path):
    path = tmp_path / "p.md"
    path.write_text("| Model | Prompt | Completion |\n| a | $1 | $2 |\nb: prompt $3\n", encoding="utf8")
    table = _explain.load(gp, str(path))
    assert table == gp._parse_pricing.__wrapped__(str(path)) == _explain.explain(gp, str(path))[0]
    assert _explain.load(gp, str(path)) is not table


def test_interrupt_while_reading_is_not_logged(monkeypatch, caplog):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(gp, "open", interrupted, raising=False)
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        with pytest.raises(KeyboardInterrupt):
            _explain.explain(gp, "anything.md")
    assert caplog.records == []


def test_source_read_through_the_module_namespace(monkeypatch):
    seen = []

    def fake_open(path, *args, **kwargs):
        seen.append((path, args, kwargs))
        return builtins.open(EXAMPLE, *args, **kwargs)

    monkeypatch.setattr(gp, "open", fake_open, raising=False)
    table, _ = _explain.explain(gp, "elsewhere.md")
    assert seen == [("elsewhere.md", ("r",), {"encoding": "utf8"})]
    assert "gpt-4o" in table


def test_text_that_is_not_str_fails_like_parse_pricing(monkeypatch):
    class Binary:
        def read(self):
            return b"m: prompt $1"

        def close(self):
            pass

    monkeypatch.setattr(gp, "open", lambda *a, **k: Binary(), raising=False)
    errors = []
    for parse in (lambda p: _explain.explain(gp, p), gp._parse_pricing.__wrapped__):
        with pytest.raises(AttributeError) as raised:
            parse("x.md")
        errors.append(str(raised.value))
    assert errors[0] == errors[1] == "'bytes' object has no attribute 'splitlines'"


class Text(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: _explain.explain(), r"explain\(\) takes exactly 2 arguments \(0 given\)"),
    (lambda: _explain.explain(gp), r"takes exactly 2 arguments \(1 given\)"),
    (lambda: _explain.explain(gp, "a", "b"), r"takes exactly 2 arguments \(3 given\)"),
    (lambda: _explain.explain("gp", "a"), r"argument 1 must be a module, not str"),
    (lambda: _explain.explain(gp, b"a"), r"argument 2 must be str, not bytes"),
    (lambda: _explain.explain(gp, Text("a")), r"argument 2 must be str, not Text"),
    (lambda: _explain.explain(gp, path="a"), r"takes no keyword arguments"),
    (lambda: _explain.match_model({}), r"match_model\(\) takes exactly 2 arguments \(1 given\)"),
])
def test_argument_checks(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def first_related(table, key):
    """The lookup rule: the exact name, else the first name in table order
    that contains the key or is contained in it."""
    if key in table:
        return key, table[key], True
    for name, entry in table.items():
        if key in name or name in key:
            return name, entry, False
    return None


short_names = st.text(st.sampled_from("ab-İ"), max_size=3)


@examples(300)
@given(names=st.lists(short_names, max_size=6, unique=True), model=short_names)
def test_match_is_the_entry_estimate_costs_prices(names, model):
    # Distinct prompt rates tell which entry priced the estimate.
    table = {name: {"prompt_per_1M": float(i + 1), "completion_per_1M": None}
             for i, name in enumerate(names)}
    key = model.lower()  # "İ" lower-cases to two code points
    match = _explain.match_model(table, key)
    assert match == first_related(table, key)
    if match is not None:
        assert match[1] is table[match[0]]
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(gp, "_parse_pricing", lambda path: table)
        costs = gp.estimate_costs(SimpleNamespace(model=model), {"prompt_tokens": 1_000_000})
    assert costs.get("prompt_cost") == (None if match is None else match[1]["prompt_per_1M"])


@pytest.mark.parametrize("make", [collections.OrderedDict, collections.UserDict])
@pytest.mark.parametrize("key", ["gpt-4o", "gpt-4o-mini-x", "mini", "zzz"])
def test_match_on_other_mappings(make, key):
    table = make([("gpt-4", 1), ("gpt-4o", 2), ("gpt-4o-mini", 3)])
    assert _explain.match_model(table, key) == first_related(dict(table), key)


def test_namespace_of_the_module_is_unchanged(tmp_path):
    code = f"""
import quelm.genai_pricing as g
before = list(vars(g))
import quelm._explain as e, quelm.cli as cli
e.explain(g, {str(EXAMPLE)!r})
e.match_model(g._parse_pricing({str(EXAMPLE)!r}), "gpt-4o")
cli.main(["inspect", {str(EXAMPLE)!r}, "--explain"])
cli.main(["estimate", "--model", "o3", "--prompt-tokens", "1", "--completion-tokens", "1",
          "--pricing", {str(EXAMPLE)!r}])
after = list(vars(g))
assert before == after, (before, after)
assert g.PRICING_URL.startswith("https://"), g.PRICING_URL
print(*[n for n in after if n[:2] != "__"])
"""
    out = run_python("-c", code, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1].split() == [
        "functools", "logging", "re", "Any", "Dict", "Optional", "logger", "PRICING_URL",
        *FUNCTIONS]


def test_no_growth_with_number_of_calls(tmp_path, monkeypatch, allocated_blocks):
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "disabled", True)
    missing = str(tmp_path / "missing.md")
    table = gp._parse_pricing.__wrapped__(str(EXAMPLE))
    odd = collections.UserDict(table)

    def workload():
        _explain.explain(gp, str(EXAMPLE))
        for key in ("gpt-4o", "gpt-4o-2024", "mini", "nothing"):
            _explain.match_model(table, key)
            _explain.match_model(odd, key)
        for call in (lambda: _explain.explain(gp, missing), lambda: _explain.explain(gp, 1),
                     lambda: _explain.match_model(table)):
            try:
                call()
            except (OSError, TypeError):
                pass

    def blocks_after(n):
        for _ in range(n):
            workload()
        return allocated_blocks()

    blocks_after(20)
    base = blocks_after(1)
    grown_small = blocks_after(50) - base
    grown_large = blocks_after(200) - base
    assert grown_large - grown_small < 100, (grown_small, grown_large)
