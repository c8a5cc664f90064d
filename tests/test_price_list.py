"""The bundled price list, as the module reads it: every row stored, and an
order in which the lookup gives a dated or prefixed name its own price; as
the package reads it: every later cell; and how tools/update_price_list.py
writes time-of-day prices."""

import dataclasses
import datetime
import importlib.util
import pathlib
import re
from decimal import Decimal
from types import SimpleNamespace

import pytest

import quelm
from quelm import _columns, _explain, _pricelist
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
    rows = re.findall(r"^\| (?!Model \|)([^|]*) \| \$([\d.]+) \| \$([\d.]+) \|(?:[^|\n]*\|)*$",
                      text, re.M)
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


@pytest.fixture(scope="module")
def price_list():
    return _pricelist.read(str(ROOT_LIST))


def test_every_later_column_is_known_and_every_cell_reads(price_list):
    # The package skips a column whose header it does not know, silently.
    headers = re.findall(r"^\| Model \|(.*)\|$", ROOT_LIST.read_text(encoding="utf8"), re.M)
    later = {h.strip() for line in headers for h in line.split("|")[2:]}
    assert later and {h for h in later if _columns.column(h).kind == "unknown"} == set()
    assert {name: e.problems for name, e in price_list.entries.items() if e.problems} == {}


def test_long_context_prices_come_with_their_threshold(price_list):
    long = {name: e for name, e in price_list.entries.items() if e.long or e.long_above}
    assert long
    wrong = {name for name, e in long.items()
             if not (e.long_above and "prompt" in e.long)
             or any(rate < e.rates[key] for key, rate in e.long.items())}
    assert wrong == set()


def load_script():
    path = ROOT_LIST.parent / "tools" / "update_price_list.py"
    spec = importlib.util.spec_from_file_location("update_price_list", path)
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    return script


@dataclasses.dataclass
class StartDateConstraint:
    start_date: datetime.date


@dataclasses.dataclass
class TimeOfDateConstraint:
    start_time: datetime.time
    end_time: datetime.time


def at(*hm):
    return datetime.time(*hm, tzinfo=datetime.timezone.utc)


def prices(prompt, completion):
    return SimpleNamespace(input_mtok=Decimal(prompt), output_mtok=Decimal(completion))


def conditional(constraint, price):
    return SimpleNamespace(constraint=constraint, prices=price)


@pytest.mark.parametrize("windows, notes, peak_hours", [
    # The data's shapes: the off-peak price unconstrained (or dated), the
    # peak price under daily windows, which come last or not.
    ([(at(0, 30), at(16, 30))], None, "00:30-16:30"),
    ([(at(1), at(4)), (at(6), at(10))], "Weekends are off-peak all day.",
     "Mon-Fri 01:00-04:00, Mon-Fri 06:00-10:00"),
])
def test_script_lists_the_peak_price_with_the_off_peak_share(windows, notes, peak_hours):
    script = load_script()
    types = SimpleNamespace(StartDateConstraint=StartDateConstraint,
                            TimeOfDateConstraint=TimeOfDateConstraint)
    peak = prices("1.32", "3.96")
    model = SimpleNamespace(id="m", price_comments=notes, prices=[
        conditional(None, prices("0.435", "0.87")),
        *(conditional(TimeOfDateConstraint(*w), peak) for w in windows),
        conditional(StartDateConstraint(datetime.date(2026, 8, 17)), prices("0.66", "1.98")),
    ])
    day, warnings = datetime.date(2026, 12, 8), []
    assert script.current(model, day, types) is peak
    assert script.time_of_day_cells(model, day, types, warnings) == {
        "Off-peak (% of standard)": "50%", "Peak hours (UTC)": peak_hours}
    assert warnings == []
