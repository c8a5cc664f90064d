"""Price cell conversion, observed through table rows: the header row sets
the column's default unit, the second cell is the price under test."""
import functools

import pytest


HEADERS = {
    None: "| Model | Prompt | Completion |",
    "1k": "| Model | Prompt per 1K | Completion per 1K |",
    "1m": "| Model | Prompt ($/1M) | Completion ($/1M) |",
}


@pytest.fixture
def convert(impl):
    return functools.partial(_convert, impl.parse)


def _convert(parse, cell, default_unit=None):
    """The prompt price of a row whose prompt cell is `cell`; the completion
    cell "0" keeps the row stored when the prompt cell holds no number."""
    table = parse(f"{HEADERS[default_unit]}\n| m | {cell} | 0 |\n")
    assert table["m"]["completion_per_1M"] == 0.0
    return table["m"]["prompt_per_1M"]


RESULTS = [
    # cell, default unit none, "1k", "1m"
    ("$1.10", 1.1, 1100.0, 1.1),
    ("$2.50 / 1M tokens", 2.5, 2.5, 2.5),
    ("$0.003/1K", 3.0, 3.0, 3.0),
    ("$3 per 1k", 3000.0, 3000.0, 3000.0),
    ("0.0015", 0.0015, 1.5, 0.0015),
    ("1,000.5", 1000.5, 1000500.0, 1000.5),
    ("$ 3", 3.0, 3000.0, 3.0),
    ("$.5", 0.5, 500.0, 0.5),
    (",5", 5.0, 5000.0, 5.0),
    ("3 Per 1K", 3.0, 3000.0, 3.0),
    ("2 / 1 M", 2.0, 2.0, 2.0),
    ("1M: $2.50", 1.0, 1000.0, 1.0),
    ("per 1K: $2", 1000.0, 1000.0, 1000.0),
    ("", None, None, None),
    ("-", None, None, None),
    ("n/a", None, None, None),
    ("free", None, None, None),
]


@pytest.mark.parametrize("cell,none,per_k,per_m", RESULTS)
@pytest.mark.parametrize("unit", [None, "1k", "1m"])
def test_results_table(convert, cell, none, per_k, per_m, unit):
    expected = {None: none, "1k": per_k, "1m": per_m}[unit]
    got = convert(cell, unit)
    assert repr(got) == repr(expected)


@pytest.mark.parametrize(
    "cell,expected",
    [
        ("-3", 3.0),  # no sign
        ("1e-3", 1.0),  # no exponent
        ("5.5.5", 5.5),  # one point
        ("12.", 12.0),  # a point needs a digit after it
        ("$1,234.5", 1234.5),
        ("1,,2,", 12.0),  # commas dropped wherever they stand
        ("x,,.7", 0.7),
        ("abc 7 then 9", 7.0),  # the first number wins
        ("\u0663.\u0665", 3.5),  # Arabic-Indic digits
        ("\uff11\uff12", 12.0),  # fullwidth digits
        ("$\U0001d7d9\U0001d7da", 12.0),  # double-struck digits, outside the BMP
        ("\u00b2", None),  # superscript two is a digit but not a decimal digit
        ("1" * 400, float("inf")),  # float() overflows to infinity
        ("0." + "0" * 400 + "1", 0.0),
    ],
)
def test_number_forms(convert, cell, expected):
    assert repr(convert(cell)) == repr(expected)


@pytest.mark.parametrize(
    "cell,per_thousand",
    [
        ("3/1K", True),
        ("3 / 1K", True),
        ("3 (the price, /1K)", True),  # anywhere after the number
        ("3 /1 K", True),
        ("3 per  1 k", True),
        ("3 per\u20031K", True),  # Unicode whitespace
        ("3 /\x1f1K", True),  # U+001F is whitespace inside a line
        ("3/1K-x", True),
        ("3/1K\u00a0tokens", True),
        ("3 per1K", False),  # per needs whitespace after it
        ("3 Per 1K", False),  # case-sensitive
        ("3/1Ktokens", False),  # no word boundary after the letter
        ("3/1K_", False),
        ("3/1K\u0663", False),  # a Unicode digit is a word character
        ("3/1K\u00e9", False),
        ("3/1\u212a", False),  # the Kelvin sign is not K here
        ("3/2K", False),
        ("3/11K", False),
    ],
)
def test_per_thousand_marker(convert, cell, per_thousand):
    assert convert(cell) == (3000.0 if per_thousand else 3.0)


@pytest.mark.parametrize(
    "cell,expected",
    [
        ("0.5 / 1M", 0.5),  # the cell's own marker beats the "1k" header
        ("0.5 per 1m", 0.5),
        ("0.5/1MM", 500.0),  # not a marker: the header applies
        ("0.5 / 1M and /1K", 500.0),  # both markers: per 1,000 wins
        ("0.5 /1K then /1M", 500.0),
        ("3/1Ktokens", 3000.0),
    ],
)
def test_markers_against_header(convert, cell, expected):
    assert convert(cell, "1k") == expected


@pytest.mark.parametrize(
    "prompt_header,completion_header,units",
    [
        ("Prompt per 1K", "Completion per 1M", (1000.0, 1.0)),
        ("Prompt 1 k", "Completion", (1000.0, 1.0)),
        ("Prompt (1m, then 1k)", "Completion 1\u3000K", (1000.0, 1000.0)),  # 1k wins anywhere
        ("Prompt per 1\u212a", "Completion per 10M", (1.0, 1.0)),  # Kelvin sign: no unit
        ("Prompt 1K", "Output", (1000.0, 1.0)),  # one price word is enough
    ],
)
def test_header_units(impl, prompt_header, completion_header, units):
    table = impl.parse(f"| Model | {prompt_header} | {completion_header} |\n| m | 1 | 1 |\n")
    assert (table["m"]["prompt_per_1M"], table["m"]["completion_per_1M"]) == units
