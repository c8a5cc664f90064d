"""The bundled price list, as the module reads it: every row stored, and an
order in which the lookup gives a dated or prefixed name its own price."""

import pathlib
import re

import pytest

import quelm
from quelm import _explain
from quelm import genai_pricing as gp

ROOT_LIST = pathlib.Path(__file__).resolve().parent.parent / "pricing_table.md"

# Names whose variants the lookup rule cannot give their own price, whatever
# the order: the variant also contains a longer listed name, which must come
# first.  name -> (variant, the name it gets, why).
EXCEPTIONS = {
    "claude-fable-5": ("claude-fable-5-2099-01-01", "claude-fable-5-2",
                       "a dated claude-fable-5 begins with the listed claude-fable-5-2"),
}


def bundled():
    return gp._parse_pricing.__wrapped__(quelm.BUNDLED_PRICING)


def test_the_package_ships_the_root_list():
    assert pathlib.Path(quelm.BUNDLED_PRICING).read_bytes() == ROOT_LIST.read_bytes()


def test_every_row_is_stored_once_with_its_prices():
    text = ROOT_LIST.read_text(encoding="utf8")
    header = "| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |"
    assert header in text
    rows = re.findall(r"^\| (?!Model \|)([^|]*) \| \$([\d.]+) \| \$([\d.]+) \|$", text, re.M)
    table = bundled()
    assert len(table) == len(rows) > 200
    assert all(name for name in table)
    assert table == {name.lower(): {"prompt_per_1M": float(p), "completion_per_1M": float(c)}
                     for name, p, c in rows}


@pytest.mark.parametrize("variant", ["{}-2099-01-01", "vendor/{}"])
def test_variants_resolve_to_their_own_name(variant):
    table = bundled()
    wrong = {}
    for name in table:
        key = variant.format(name)
        chosen = _explain.match_model(table, key)[0]
        if chosen != name and EXCEPTIONS.get(name, (None,))[:2] != (key, chosen):
            wrong[key] = chosen
    assert wrong == {}


def test_exceptions_are_still_needed():
    table = bundled()
    for name, (key, chosen, _) in EXCEPTIONS.items():
        assert name in table and _explain.match_model(table, key)[0] == chosen


@pytest.mark.parametrize("request_name, family", [
    ("gpt-4o-mini-2024-07-18", "gpt-4o-mini"),
    ("openai/gpt-4o", "gpt-4o"),
    ("gpt-4.1-2025-04-14", "gpt-4.1"),
    # Dated names as the API reports them in responses.
    ("claude-sonnet-4-20250514", "claude-sonnet-4-0"),
    ("claude-3-5-haiku-20241022", "claude-3-5-haiku-latest"),
    ("claude-3-7-sonnet-20250219", "claude-3-7-sonnet-latest"),
])
def test_dated_request_gets_the_specific_price(request_name, family):
    table = bundled()
    # The entry chosen may be the dated name itself or an alias: what counts
    # is the family's price (gpt-4o's, say, is 16.7 times gpt-4o-mini's).
    assert _explain.match_model(table, request_name)[1] == table[family]
