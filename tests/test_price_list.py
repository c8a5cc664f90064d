"""The bundled price list, as the module reads it: every row stored, and an
order in which the lookup gives a dated or prefixed name its own price; as
the package reads it: every later cell, the seller's price for the names
people send (clouds' and retired models' included); and how
tools/update_price_list.py writes time-of-day prices, names Bedrock's
models and foresees the package's lookup."""

import dataclasses
import datetime
import importlib.util
import pathlib
import re
from decimal import Decimal
from types import SimpleNamespace

import pytest

import quelm
from quelm import _columns, _explain, _lookup, _pricelist
from quelm import genai_pricing as gp

ROOT_LIST = pathlib.Path(__file__).resolve().parent.parent / "pricing_table.md"

# Names whose variants the lookup rule cannot give their own price, whatever
# the order: the variant also contains a longer listed name, which must come
# first.  name -> (variant, the name it gets, why).
EXCEPTIONS = {
    "claude-fable-5": ("claude-fable-5-2099-01-01", "claude-fable-5-2",
                       "a dated claude-fable-5 begins with the listed claude-fable-5-2"),
    # The same clash in Bedrock's names of the two models (in-region and
    # cross-region ids, as the data's match clauses spell them).
    **{f"{prefix}anthropic.claude-fable-5": (
        f"{prefix}anthropic.claude-fable-5-2099-01-01", f"{prefix}anthropic.claude-fable-5-2",
        f"a dated {prefix}anthropic.claude-fable-5 begins with the listed "
        f"{prefix}anthropic.claude-fable-5-2") for prefix in ("", "us.", "eu.")},
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


# (name sent, the seller's prompt and completion prices, whether no price
# would do): a miss is no wrong price, but these forms are meant to be found.
SENT = [
    # Bedrock: regional (cross-region and in-region) ids at 1.1 times the
    # global price; the global id and the maker's own dated name, whose
    # canonical form those rows share, at the maker's.
    ("us.anthropic.claude-sonnet-4-5-20250929-v1:0", 3.3, 16.5, False),
    ("anthropic.claude-sonnet-4-5-20250929-v1:0", 3.3, 16.5, False),
    ("global.anthropic.claude-sonnet-4-5-20250929-v1:0", 3.0, 15.0, False),
    ("claude-sonnet-4-5-20250929", 3.0, 15.0, False),
    ("openai.gpt-5.4", 2.75, 16.5, False),
    ("gpt-5.4", 2.5, 15.0, False),
    # Models the makers do not sell themselves, on their clouds.  A cloud's
    # rows are found by their exact names only: a cross-region id that the
    # list does not name misses, never takes another price.
    ("meta.llama3-3-70b-instruct-v1:0", 0.72, 0.72, False),
    ("us.meta.llama3-3-70b-instruct-v1:0", 0.72, 0.72, True),
    ("amazon.nova-pro-v1:0", 0.8, 3.2, False),
    ("phi-4", 0.125, 0.5, False),
    ("gemma-2-27b-it", 0.65, 0.65, False),
    # Vertex AI's form of a maker's name.
    ("claude-sonnet-4-5@20250929", 3.0, 15.0, False),
    # Retired models, by their own names and dated ones.
    ("claude-3-5-sonnet-20241022", 3.0, 15.0, False),
    ("claude-3-sonnet-20240229", 3.0, 15.0, False),
    ("gpt-4.5-preview-2025-02-27", 75.0, 150.0, False),
    ("o1-preview", 15.0, 60.0, False),
    ("gemini-2.0-flash", 0.1, 0.4, False),
    # The maker's spellings of a model whose form Bedrock's regional rows
    # share: never the regional price.
    ("claude-opus-4.6", 5.0, 25.0, False),
    ("anthropic/claude-opus-4.6", 5.0, 25.0, True),
    ("claude-opus-4-6-20990101", 5.0, 25.0, True),
    # A router's and hosts' ids that the canonical form would give the
    # maker's price (DeepSeek's 1.32/3.96) at their sellers' (any letter
    # case); the maker's own names, dated ones included, keep the maker's.
    ("deepseek/deepseek-v4-pro", 1.416, 2.832, False),
    ("deepseek/deepseek-v4-pro-20260423", 1.416, 2.832, False),
    ("accounts/fireworks/models/deepseek-v4-pro", 1.74, 3.48, False),
    ("deepseek-ai/DeepSeek-V4-Pro", 1.74, 3.48, False),
    ("deepseek-v4-pro", 1.32, 3.96, False),
    ("deepseek-v4-pro-20260423", 1.32, 3.96, False),
    ("cohere/command-r", 0.5, 1.5, False),
    ("command-r", 0.15, 0.6, False),
]


@pytest.mark.parametrize("name, prompt, completion, may_miss", SENT)
def test_names_people_send_get_their_sellers_price(price_list, name, prompt, completion,
                                                   may_miss):
    entry = _lookup.find(price_list, name)
    if entry is None:
        assert may_miss, f"{name} has no price"
    else:
        assert (entry.rates["prompt"], entry.rates["completion"]) == pytest.approx(
            (prompt, completion)), entry.name


def test_bedrock_regional_ids_cost_a_tenth_more_than_global_ones(price_list):
    entries = price_list.entries
    pairs = [(entries[name], entries[f"global.{name.split('.', 1)[1]}"]) for name in entries
             if re.match(r"(?:us|eu|apac|au|jp|in|us-gov)\.", name)
             and f"global.{name.split('.', 1)[1]}" in entries]
    assert len(pairs) > 20
    wrong = {regional.name: (regional.rates, world.rates) for regional, world in pairs
             if any(regional.rates[k] != pytest.approx(1.1 * world.rates[k])
                    for k in regional.rates.keys() & world.rates.keys())}
    assert wrong == {}


def headings_of_names():
    heading, out = None, {}
    for line in ROOT_LIST.read_text(encoding="utf8").splitlines():
        if line.startswith("## "):
            heading = line[3:]
        elif line.startswith("| ") and not line.startswith("| Model |"):
            out[line.split(" | ")[0][2:]] = heading
    return out


@pytest.mark.parametrize("name, retired", [
    ("claude-3-5-sonnet", True), ("claude-3-sonnet", True), ("gpt-4.5-preview", True),
    ("o1-preview", True), ("gemini-1.5-pro", True), ("gemini-2.0-flash", True),
    ("gpt-4o", False), ("claude-sonnet-4-5", False), ("gemini-2.5-flash", False),
])
def test_retired_models_are_listed_as_retired(name, retired):
    heading = headings_of_names()[name]
    assert heading.endswith(": retired models") == retired, heading


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


@dataclasses.dataclass
class Or:
    or_: list


@dataclasses.dataclass
class Equals:
    equals: str


@dataclasses.dataclass
class StartsWith:
    starts_with: str


@dataclasses.dataclass
class Contains:
    contains: str


CLAUSES = SimpleNamespace(ClauseOr=Or, ClauseAnd=type("And", (), {}), ClauseEquals=Equals,
                          ClauseStartsWith=StartsWith)


@pytest.mark.parametrize("model_id, clauses, names", [
    # The data's regional prices: the in-region id and one id per region its
    # clauses name; a clause cut short of "-v1:0" and a bare name are none.
    ("regional.anthropic.claude-x-20250101-v1:0",
     [StartsWith("anthropic.claude-x-20250101"), StartsWith("claude-x-20250101"),
      Contains("us.anthropic.claude-x-20250101"), Contains("eu.anthropic.claude-x-20250101")],
     ["anthropic.claude-x-20250101-v1:0", "us.anthropic.claude-x-20250101-v1:0",
      "eu.anthropic.claude-x-20250101-v1:0"]),
    # Exact names of Bedrock's form are names; a version cut short is not.
    ("regional.moonshotai.kimi-k9", [Equals("us.moonshotai.kimi-k9"), Equals("moonshotai.kimi-k9")],
     ["moonshotai.kimi-k9", "us.moonshotai.kimi-k9"]),
    # Matched wherever the id stands: its cross-region profiles too.
    ("mistral.mistral-9b-instruct-v0:2", [Contains("mistral.mistral-9b-instruct-v0")],
     ["mistral.mistral-9b-instruct-v0:2", "us.mistral.mistral-9b-instruct-v0:2",
      "eu.mistral.mistral-9b-instruct-v0:2", "apac.mistral.mistral-9b-instruct-v0:2"]),
])
def test_script_names_bedrock_ids(model_id, clauses, names):
    script = load_script()
    model = SimpleNamespace(id=model_id, match=Or(clauses))
    assert script.bedrock_names(model, CLAUSES) == names


def test_script_lists_router_and_host_ids_only_where_the_lookup_misprices_them():
    script = load_script()

    def price(prompt, completion):
        return script.Price(Decimal(prompt), Decimal(completion), ())

    router, host, other = (f"{n} {_pricelist.EXACT_ONLY}" for n in ("Router", "Host", "Other"))
    listing = script.Listing()
    listing.add("Maker", "m-1", price(1, 2))
    wanted = [script.Row(table, name, price(*p)) for table, name, p in [
        (router, "maker/m-1", (1, 2)),       # the lookup's price: no row
        (router, "maker/m-1-fast", (9, 9)),  # the lookup gives none: a miss, no row
        (router, "m-1", (3, 3)),             # the maker's own name keeps its price
        (router, "r/M-1", (4, 4)),           # the maker's price after the path: a row
        # One name, three sellers: the price two of them want.
        (router, "v/m-1", (6, 6)), (host, "v/m-1", (5, 5)), (other, "V/M-1", (5, 5)),
        # A tie with the lookup's price: that price stays.
        (router, "w/m-1", (7, 7)), (host, "w/m-1", (1, 2)),
    ]]
    warnings = []
    hosts = [router, host, other]
    script.settle(listing, script.first_seller(wanted, warnings, hosts), warnings,
                  wrong_only=hosts)
    assert {name: (row.table, row.price[:2]) for name, row in listing.rows.items()} == {
        "m-1": ("Maker", (1, 2)), "r/m-1": (router, (4, 4)), "v/m-1": (host, (5, 5))}
    # Their rows are found by their names only: not by the maker's dated name.
    assert listing.find("m-1-20991231").table == "Maker"
    assert listing.find("R/M-1").table == router
    assert len(warnings) == 3  # m-1, v/m-1 and w/m-1 left at another price


def test_script_foresees_the_packages_lookup(price_list):
    # The script lists a name only where the package's lookup would not
    # price it: its rendition of that lookup must give what the lookup gives.
    script = load_script()
    listing = script.Listing()

    def prices(entry):
        return (tuple(sorted(entry.rates.items())), entry.long_above,
                tuple(sorted(entry.long.items())), tuple(sorted(entry.shares.items())),
                entry.peak_hours, entry.problems)

    for name, entry in price_list.entries.items():
        listing.add(f"T {_pricelist.EXACT_ONLY}" if entry.exact_only else "T", name, prices(entry))
    differ = {}
    for name in price_list.entries:
        for sent in (name.upper(), f"{name}-20991231", f"router/{name}", f"us.{name}",
                     name.replace(".", "-"), f"{name}@20991231"):
            package = _lookup.find(price_list, sent)
            foreseen = listing.find(sent)
            if (package and prices(package)) != (foreseen and foreseen.price):
                differ[sent] = (package and package.name, foreseen and foreseen.name)
    assert differ == {}
