"""The pricing document parser: worked examples, edge cases, and property
tests against the plain-Python rendition of the rules (tests/plain/ref_parser.py)."""
import logging

import pytest
from hypothesis import given
from hypothesis import strategies as st

from plain import ref_parser
from pricing_files import as_exact, parse_file, parse_native
from support import HOSTILE, documents, examples, rates


WORKED = [
    (
        [
            "| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |",
            "|---|---:|---:|",
            "| Model-A | $2.50 | $10.00 |",
            "| model-b-mini | $0.15 | $0.60 |",
        ],
        {"model-a": rates(2.5, 10.0), "model-b-mini": rates(0.15, 0.6)},
    ),
    (
        [
            "| Model name | Prompt per 1K | Completion per 1K |",
            "| :---: | --- | --- |",
            "| model-c | $0.03 | $0.06 |",
            "| model-d | $1,200 | 0.5 / 1M |",
        ],
        {"model-c": rates(30.0, 60.0), "model-d": rates(1200000.0, 0.5)},
    ),
    (
        ["model-c-mini: prompt $0.15 / 1M tokens, completion $0.60 / 1M tokens"],
        {"model-c-mini": rates(0.15, 0.6)},
    ),
    (["Model-E - prompt: $0.003/1K, completion: $0.015/1K"], {"model-e": rates(3.0, 15.0)}),
    (
        ["model-f-mini prompt 0.15 per 1K tokens, completion 0.6 per 1K tokens"],
        {"model-f": rates(1.0, 1.0)},
    ),
    (["model-h: prompt $1", "prose", "model-h: completion $3"], {"model-h": rates(None, 3.0)}),
]


@pytest.mark.parametrize("lines,expected", WORKED)
def test_worked_examples(impl, lines, expected):
    assert as_exact(impl.parse("\n".join(lines) + "\n")) == as_exact(expected)


@pytest.mark.parametrize(
    "lines,expected",
    [
        ([], {}),
        (["", "   ", "# Prices", "  ## model-x: prompt $1", "#| Model | $1 | $2 |"], {}),
        (["| Provider | Prompt ($/1M) | Completion ($/1M) |"], {"provider": rates(1.0, 1.0)}),
        (["| Model | Input | Output |"], {}),
        (["| a | b |", "|---|---|"], {}),
        (["| `model-i` | $1 | - |"], {"`model-i`": rates(1.0, None)}),
        (["| **X** | $1 | $2 |"], {"**x**": rates(1.0, 2.0)}),
        (["| | $1 | $2 |"], {"": rates(1.0, 2.0)}),
        (["| model-p | $1 | | 128k |"], {"model-p": rates(1.0, None)}),
        (["|| a || b |"], {}),  # cells '', 'a', '', 'b': no number in the 2nd and 3rd
        (["|a|b|c|$1|"], {}),  # the fourth cell is never read
        (["|||m|$1|$2|||"], {"m": rates(1.0, 2.0)}),
        (["| --- | --- | --- |", "| :--- | ---: | :-: |"], {}),  # ":-:" is no rule: data row
        (["| --- | --- | $5 |"], {"---": rates(None, 5.0)}),
        (["- model-g: prompt $1, completion $2", "* model-g: prompt $1"], {}),
        (["Note: prices change often"], {}),
        (["model-m: prompt $1 (cached $0.5), completion $4"], {"model-m": rates(1.0, 4.0)}),
        (["model-n: completion $4, prompt $1"], {"model-n": rates(1.0, 4.0)}),
        (["model-r: prompt $ 3, completion: free"], {}),
        (["model-s: prompt free, completion $2"], {"model-s": rates(2.0, 2.0)}),
        (["model-u: prompt $x 4, completion $6"], {"model-u": rates(None, 6.0)}),
        (["a:b - prompt $2"], {"a:b": rates(2.0, None)}),
        (["model-v: prompt 15"], {"model-v": rates(5.0, None)}),  # the last digit only
        (["model-w: prompt 7 $, completion 1,2,,x"], {"model-w": rates(7.0, 2.0)}),
        (["model-x: prompt $x prompt $3"], {"model-x": rates(3.0, None)}),  # a later label
        (["m@v1.2/x_y :prompt $1"], {"m@v1.2/x_y": rates(1.0, None)}),
        (["COMPLETİON-x: COMPLETİON $1, PROMPT $2"], {"completi̇on-x": rates(2.0, 1.0)}),
        (["m: completıon $1, promſt $2"], {"m": rates(None, 1.0)}),  # dotless i, not long s
        (["ΟΔΟΣ: prompt $1"], {"οδος": rates(1.0, None)}),  # final sigma
        (["| MODEL | PROMPT | COMPLETİON |", "| Kelvin | $1 | $2 |"], {"kelvin": rates(1.0, 2.0)}),
    ],
)
def test_edge_cases(lines, expected):
    assert as_exact(parse_native("\n".join(lines))) == as_exact(expected)


def test_unit_tags_persist_until_the_next_header():
    doc = "\n".join(
        [
            "| Model | Prompt per 1K | Completion |",
            "| model-k | 1 | 1 |",
            "",
            "Some prose in between.",
            "| Provider | X | Y |",  # not a header: the tags stay
            "| model-l | 2 | 2 |",
            "model-q: prompt 3, completion 3",  # free text never uses them
            "| Model | Prompt | Completion |",
            "| model-z | 1 | 1 |",
        ]
    )
    assert as_exact(parse_native(doc)) == as_exact(
        {
            "model-k": rates(1000.0, 1.0),
            "model-l": rates(2000.0, 2.0),
            "model-q": rates(3.0, 3.0),
            "model-z": rates(1.0, 1.0),
        }
    )


def test_repeated_name_replaces_whole_entry_at_first_position():
    doc = "a: prompt $1, completion $2\nb: prompt $3\n| A | | $9 |\n"
    assert as_exact(parse_native(doc)) == as_exact({"a": rates(None, 9.0), "b": rates(3.0, None)})


@pytest.mark.parametrize("brk", ["\n", "\r\n", "\r", "\v", "\f", "\x1c", "\x1d", "\x1e",
                                 "\x85", "\u2028", "\u2029"])
def test_every_line_break(brk):
    doc = brk.join(["a: prompt $1", "| Model | Prompt 1K | Completion |", "| b | 2 | 3 |"]) + brk
    assert as_exact(parse_native(doc)) == as_exact({"a": rates(1.0, None), "b": rates(2000.0, 3.0)})


@pytest.mark.parametrize(
    "lines,expected",
    [
        # names that lower-case alike are one entry, however they are written
        (["\u212a: prompt $1", "k: completion $2"], {"k": rates(None, 2.0)}),
        (["K: prompt $1", "| \u212a | | $2 |"], {"k": rates(None, 2.0)}),
        (["\u0130x: prompt $1", "| i\u0307X | | $2 |"], {"i\u0307x": rates(None, 2.0)}),
        (["\u00c9t\u00c9: prompt $1", "| \u00e9T\u00e9 | $3 | $4 |"], {"\u00e9t\u00e9": rates(3.0, 4.0)}),
        (["ab: prompt $1", "AB: prompt $2", "aB: prompt $3"], {"ab": rates(3.0, None)}),
        (["ab: prompt $1", "abc: prompt $2", "a: prompt $3"],
         {"ab": rates(1.0, None), "abc": rates(2.0, None), "a": rates(3.0, None)}),
    ],
)
def test_names_equal_once_lower_cased_share_an_entry(lines, expected):
    assert as_exact(parse_native("\n".join(lines))) == as_exact(expected)


@pytest.mark.parametrize("rows,seed", [(200, 1), (3000, 2), (20000, 3)])
def test_many_names_match_reference(rows, seed, tmp_path):
    # Enough distinct and repeated names (in several spellings) to make the
    # entry table grow several times.
    import random

    rng = random.Random(seed)
    pool = [f"m{i}" for i in range(rows // 2)] + ["\u212a", "k", "\u0130", "i\u0307", "\u00e9"]
    lines = []
    for _ in range(rows):
        name = rng.choice(pool)
        name = name.upper() if rng.random() < 0.3 else name
        cell = rng.choice(["$1.5", "2", "-", "0.003/1K", "$4 per 1M"])
        lines.append(rng.choice([f"| {name} | {cell} | 7 |", f"{name}: completion {cell}"]))
    path = tmp_path / "many.md"
    path.write_text("\n".join(lines), encoding="utf8")
    assert as_exact(parse_file(path)) == as_exact(ref_parser.parse_pricing(path))


def test_unit_separator_is_no_line_break():
    # U+001F is whitespace, not a line boundary: the model line runs on.
    assert as_exact(parse_native("a: prompt $1\x1fb: completion $2")) == as_exact(
        {"a": rates(1.0, 2.0)}
    )


def test_byte_order_mark_is_dropped_once():
    assert list(parse_native("\ufeffa: prompt $1\n")) == ["a"]
    assert list(parse_native("\ufeff\ufeffa: prompt $1\n")) == []  # U+FEFF is no name character


def test_unreadable_source_gives_empty_table_and_warning(tmp_path, caplog):
    missing = tmp_path / "absent.md"
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert parse_file(missing) == {}
    assert [r.getMessage() for r in caplog.records] == [
        f"Failed to load pricing from {missing}: "
        f"[Errno 2] No such file or directory: '{missing}'"
    ]


def test_empty_document_logs_nothing(caplog):
    with caplog.at_level(logging.DEBUG, logger="quelm.genai_pricing"):
        assert parse_native("\n\n# only headings\n") == {}
    assert caplog.records == []


@pytest.mark.parametrize(
    "line,expected",
    [
        # the prompt run crosses every comma and the other label to the "$"
        ("prompt 1, " * 5000 + "completion $2", rates(2.0, 2.0)),
        ("prompt x " * 5000 + "$", None),
        ("prompt $x, " * 5000 + "prompt $5", rates(5.0, None)),
        ("prompt " + "," * 20000 + "$" + "," * 20000, None),
        ("prompt $" + "1," * 20000 + "/1K", rates(float("inf"), None)),  # the comma ends it
    ],
    ids=["labels-then-dollar", "no-digit", "failing-labels", "commas", "huge-number"],
)
def test_long_lines(line, expected):
    table = parse_native("m: " + line)
    assert table == ({} if expected is None else {"m": expected})


# ---------------------------------------------------------------------------
# Property tests: the native parser against the rendition with `re`.

@pytest.fixture(scope="module")
def doc_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("docs")


def check_against_reference(doc, directory):
    path = directory / "doc.md"
    path.write_bytes(doc.encode("utf8"))
    expected = ref_parser.parse_pricing(path)
    assert as_exact(parse_file(path)) == as_exact(expected)


@examples(1500)
@given(doc=documents())
def test_matches_reference_on_generated_documents(doc, doc_dir):
    check_against_reference(doc, doc_dir)


@examples(300)
@given(doc=documents(with_long=True))
def test_matches_reference_with_long_lines(doc, doc_dir):
    check_against_reference(doc, doc_dir)


@examples(1000)
@given(doc=st.text(st.sampled_from(HOSTILE + "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"),
                   max_size=200))
def test_matches_reference_on_hostile_text(doc, doc_dir):
    check_against_reference(doc, doc_dir)


@examples(300)
@given(doc=st.text(st.characters(blacklist_categories=("Cs",)), max_size=120))
def test_matches_reference_on_any_text(doc, doc_dir):
    check_against_reference(doc, doc_dir)
