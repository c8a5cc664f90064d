import collections
import decimal
import fractions
import functools
import logging
import sys
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, strategies as st

from plain import ref_estimate
from quelm import genai_pricing as gp
from support import examples, rates

LOGGER = "quelm.genai_pricing"
BOTH = {"prompt_tokens": 21549, "completion_tokens": 7091}
MILLION = {"prompt_tokens": 1000000}


def outcome(fn, *args):
    try:
        return "ok", repr(fn(*args))
    except Exception as e:  # noqa: BLE001 - the error itself is compared
        return "error", type(e), str(e)


def same_as_python(args, usage):
    native = outcome(gp.estimate_costs, args, usage)
    assert native == outcome(ref_estimate.estimate_costs, args, usage)
    return native


def debug_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


@pytest.mark.parametrize("entry, usage, expected", [
    (rates(2.5, 10.0), BOTH,
     {"prompt_cost": 0.0538725, "completion_cost": 0.07091, "total_cost": 0.12478249999999999}),
    (rates(3.0, None), {"prompt_tokens": 100},
     {"prompt_cost": 0.00030000000000000003, "total_cost": 0.00030000000000000003}),
    (rates(2.5, 10.0), {"prompt_tokens": 0, "completion_tokens": 0},
     {"prompt_cost": 0.0, "completion_cost": 0.0, "total_cost": 0.0}),
    (rates(2.5, 10.0), MILLION, {"prompt_cost": 2.5, "total_cost": 2.5}),
    (rates(None, 10.0), BOTH, {"completion_cost": 0.07091, "total_cost": 0.07091}),
    # A usage reporting only completion tokens is still priced.
    (rates(2.5, 10.0), {"completion_tokens": 7091},
     {"completion_cost": 0.07091, "total_cost": 0.07091}),
    (rates(2.5, 10.0), {"prompt_tokens": None, "completion_tokens": 1000000},
     {"completion_cost": 10.0, "total_cost": 10.0}),
    (rates(2.5, 10.0), {}, {"total_cost": 0.0}),
    ({}, BOTH, {"total_cost": 0.0}),
])
def test_costs(use_table, impl, entry, usage, expected):
    use_table({"gpt-4o": entry})
    first = impl.estimate_costs(NS(model="gpt-4o"), usage)
    assert repr(first) == repr(expected)  # values to the last bit, keys in order
    first["total_cost"] = -1
    assert impl.estimate_costs(NS(model="gpt-4o"), usage) == expected


@examples(300)
@given(rate=st.floats(allow_nan=False, allow_infinity=False),
       tokens=st.one_of(st.integers(-2**70, 2**70), st.floats(allow_nan=False)))
def test_arithmetic_is_rate_times_tokens_per_million(rate, tokens):
    table = {"m": rates(rate, rate)}
    gp._parse_pricing, saved = functools.lru_cache(maxsize=8)(lambda path: table), gp._parse_pricing
    try:
        got = gp.estimate_costs(NS(model="m"), {"prompt_tokens": tokens})
    finally:
        gp._parse_pricing = saved
    assert repr(got["prompt_cost"]) == repr(rate * (tokens / 1000000.0))


@pytest.mark.parametrize("rate, tokens", [
    (decimal.Decimal("2.5"), 100), (2.5, decimal.Decimal(100)), (2.5, "100"), (2.5, 10**400),
    (3, 100), (True, 100), (fractions.Fraction(5, 2), fractions.Fraction(1, 3)), (2.5, 1e308),
    (float("inf"), 0), (2.5, [1]),
])
def test_other_operands_behave_as_in_python(use_table, rate, tokens):
    use_table({"m": rates(rate, rate)})
    same_as_python(NS(model="m"), {"prompt_tokens": tokens, "completion_tokens": tokens})


@pytest.mark.parametrize("names, model, chosen", [
    (["gpt-4", "gpt-4o"], "gpt-4o-mini", "gpt-4"),  # first in table order, not the closest
    (["gpt-4", "gpt-4o"], "GPT-4o", "gpt-4o"),  # the exact name beats an earlier related one
    (["o", "gpt-4o"], "gpt-4o-mini", "o"),
    (["claude-3-opus", "claude-3"], "claude-3-o", "claude-3-opus"),
    (["a", "b"], "", "a"),  # the empty key is in every name
    (["a", ""], "", ""),
    (["abc", "", "zzz-x"], "zzz", ""),  # the empty name is in every key
    (["GPT-4"], "GPT-4", None),  # names compare case-sensitively
    (["\u03bf\u03b4\u03bf\u03c2"], "ΟΔΟΣ", "\u03bf\u03b4\u03bf\u03c2"),  # final sigma
    (["i\u0307stanbul"], "İSTANBUL", "i\u0307stanbul"),  # İ lower-cases to two characters
    (["modèle-ü"], "Modèle-Ü-pro", "modèle-ü"),
    (["模型-x"], "X", "模型-x"),  # one-byte key in a two-byte name
    (["a"], "😀-A", "a"),  # one-byte name in a four-byte key
    (["abc😀"], "ABC", "abc😀"),
    (["ab"], "Ω", None),
    (["É"], "Ω", None),  # ω is U+03C9: a wider key is never in a narrower name
    (["x" * 300 + "gpt-4"], "gpt-4", "x" * 300 + "gpt-4"),
    (["gpt-4"], "y" * 300 + "gpt-4", "gpt-4"),
    (["gpt-5", "gpt-6"], "unknown", None),
])
def test_lookup(use_table, names, model, chosen):
    use_table({name: rates(float(i + 1), None) for i, name in enumerate(names)})
    got = gp.estimate_costs(NS(model=model), MILLION)
    assert got.get("prompt_cost") == (None if chosen is None else names.index(chosen) + 1.0)


@examples(400)
@given(names=st.lists(st.text("aAbéÉ-Ω😀", max_size=5), max_size=8),
       model=st.text("aAbéÉ-Ω😀", max_size=7))
def test_lookup_matches_plain_python(names, model):
    table = {name: rates(float(i + 1), None) for i, name in enumerate(names)}
    cached = functools.lru_cache(maxsize=8)(lambda path: table)
    saved = gp._parse_pricing, ref_estimate._parse_pricing
    gp._parse_pricing = ref_estimate._parse_pricing = cached
    try:
        same_as_python(NS(model=model), MILLION)
    finally:
        gp._parse_pricing, ref_estimate._parse_pricing = saved


@pytest.mark.parametrize("entry, model, text", [
    (rates(1e-05, 1.5e+16), "GPT-4o",
     "{'prompt_per_1M': 1e-05, 'completion_per_1M': 1.5e+16}"),
    (rates(None, 10.0), "gpt-4o", "{'prompt_per_1M': None, 'completion_per_1M': 10.0}"),
    (rates(0.0001, 1e16), "gpt-4o", "{'prompt_per_1M': 0.0001, 'completion_per_1M': 1e+16}"),
    (rates(2.5, 10.0), "unknown", "None"),
])
def test_debug_line(use_table, caplog, entry, model, text):
    use_table({"gpt-4o": entry})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    gp.estimate_costs(NS(model=model), BOTH)
    [record] = [r for r in caplog.records if r.name == LOGGER]
    assert record.levelno == logging.DEBUG and record.args == ()
    assert record.msg == f"Estimating costs for model '{model}' using pricing entry: {text}"


class Shown(str):
    shown = 0

    def __str__(self):
        Shown.shown += 1
        return "shown"


def test_names_are_looked_up_at_each_call(monkeypatch, use_table, caplog):
    use_table({"gpt-4o": rates(2.5, 10.0)})
    caplog.set_level(logging.WARNING, logger=LOGGER)
    before = Shown.shown
    gp.estimate_costs(NS(model=Shown("GPT-4o")), BOTH)
    assert Shown.shown == before + 1 and debug_lines(caplog) == []  # built, though not emitted
    calls = []
    monkeypatch.setattr(gp, "logger", NS(debug=lambda *a, **k: calls.append((a, k))))
    gp.estimate_costs(NS(model=Shown("GPT-4o")), BOTH)
    assert calls == [(("Estimating costs for model 'shown' using pricing entry: "
                       "{'prompt_per_1M': 2.5, 'completion_per_1M': 10.0}",), {})]

    paths, default = [], gp.PRICING_URL
    monkeypatch.setattr(gp, "_parse_pricing", lambda path: paths.append(path) or {})
    gp.estimate_costs(NS(model="m"), BOTH)
    monkeypatch.setattr(gp, "PRICING_URL", "elsewhere.md")
    gp.estimate_costs(NS(model="m"), BOTH)
    assert paths == [default, "elsewhere.md"]


def test_model_is_read_for_the_lookup_and_again_for_the_line(monkeypatch, use_table, caplog):
    use_table({"gpt-4o": rates(2.5, 10.0)})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    reads = iter(["GPT-4o", "second read", "GPT-4o"])
    args = type("Args", (), {"model": property(lambda self: next(reads))})()
    assert gp.estimate_costs(args, MILLION)["prompt_cost"] == 2.5
    assert debug_lines(caplog) == ["Estimating costs for model 'second read' using pricing entry: "
                                   "{'prompt_per_1M': 2.5, 'completion_per_1M': 10.0}"]
    # The logger and its debug are found before the second read.
    monkeypatch.setattr(gp, "logger", object())
    with pytest.raises(AttributeError, match="'object' object has no attribute 'debug'"):
        gp.estimate_costs(args, MILLION)
    assert next(reads, "no read left") == "no read left"


def test_missing_source_gives_the_empty_table(monkeypatch, tmp_path):
    monkeypatch.setattr(gp, "PRICING_URL", str(tmp_path / "missing.md"))
    try:
        assert gp.estimate_costs(NS(model="gpt-4o"), BOTH) == {"total_cost": 0.0}
    finally:
        gp.clear_pricing_cache()


class Usage:
    def __init__(self):
        self.asked = []

    def get(self, key):
        self.asked.append(key)
        return 1000000


class Entry(collections.UserDict):
    def __str__(self):
        return "custom entry"


@pytest.mark.parametrize("table, args, usage", [
    ({"m": rates(2.5, 10.0)}, NS(model="m"), Usage()),
    ({"m": rates(2.5, 10.0)}, NS(model="m"), []),  # a usage without get
    ({"m": rates(2.5, 10.0)}, NS(model="m"), collections.Counter(prompt_tokens=3)),
    ({"m": Entry(rates(2.5, None))}, NS(model="m"), BOTH),
    ({"m": rates(2.5, 10.0)}, object(), BOTH),  # no model attribute
    ({"m": rates(2.5, 10.0)}, NS(model=5), BOTH),  # a model that is not text
    ({"m": rates(2.5, 10.0)}, NS(model=b"M"), BOTH),
    ({}, NS(model=b"M"), BOTH),
    ({5: rates(2.5, 10.0)}, NS(model="m"), BOTH),
    (collections.OrderedDict(gpt=rates(2.5, 10.0)), NS(model="gpt-4"), BOTH),
    (collections.UserDict(gpt=rates(2.5, 10.0)), NS(model="gpt-4"), BOTH),
    (type("Pairs", (dict,), {"items": lambda self: [("gpt",)]})(x=1), NS(model="gpt-4"), BOTH),
    (type("Pairs", (dict,), {"items": lambda self: [5]})(x=1), NS(model="gpt-4"), BOTH),
    (type("Pairs", (dict,), {"items": lambda self: [(1, 2, 3)]})(x=1), NS(model="g"), BOTH),
    ({type("Name", (str,), {"__contains__": lambda s, o: True})("zz"): rates(1.0, 1.0)},
     NS(model="gpt-4"), BOTH),
    # str(args.model) runs before str(entry): the model's error is the one raised.
    ({"m": type("Bad", (collections.UserDict,), {"__str__": lambda s: {}[s]})(rates(1.0, 1.0))},
     NS(model=type("M", (str,), {"__str__": lambda s: 1 / 0})("m")), BOTH),
])
def test_other_inputs_behave_as_in_python(use_table, table, args, usage):
    use_table(table)
    same_as_python(args, usage)
    if isinstance(usage, Usage):
        assert usage.asked == ["prompt_tokens", "completion_tokens"] * 2


@pytest.mark.parametrize("change", [
    dict.clear,
    lambda table: table.update(new=None),
    lambda table: table.update(gpt=None),
    lambda table: (table.pop(next(iter(table))), table.update(y=None)),  # same size, new key
])
def test_table_changed_by_a_comparison(use_table, change):
    table = use_table({})

    class Changing(str):
        def __contains__(self, other):
            change(table)
            return False

    results = []
    for estimate in (gp.estimate_costs, ref_estimate.estimate_costs):
        table.clear()
        table.update({Changing("zz"): rates(1.0, 1.0), "x": rates(2.0, 2.0), "gpt": rates(2.5, 10.0)})
        results.append(outcome(estimate, NS(model="qqq"), BOTH))
    assert results[0] == results[1]


def test_errors_pass_through_before_logging(monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    monkeypatch.setattr(gp, "_parse_pricing", lambda path: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        gp.estimate_costs(NS(model="m"), BOTH)
    monkeypatch.delattr(gp, "PRICING_URL")
    with pytest.raises(NameError, match="name 'PRICING_URL' is not defined"):
        gp.estimate_costs(NS(model="m"), BOTH)
    assert debug_lines(caplog) == []


MUTATIONS = [
    lambda e: e.update(prompt_per_1M=1e-05),
    lambda e: e.update(prompt_per_1M=e.pop("prompt_per_1M")),  # same objects, new order
    lambda e: e.update(extra=None),
    lambda e: e.clear(),
    lambda e: e.update(completion_per_1M="cheap"),
    lambda e: e.update(prompt_per_1M=float("2.5")),  # an equal value, another object
    lambda e: e.pop("completion_per_1M"),
    lambda e: e["tags"].append("changed in place"),
]


def native_line(caplog, model):
    caplog.clear()
    outcome(gp.estimate_costs, NS(model=model), BOTH)
    [line] = debug_lines(caplog)
    return line


@pytest.mark.parametrize("mutate", MUTATIONS)
def test_remembered_entry_text_follows_changes(use_table, caplog, mutate):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    entry = dict(rates(2.5, 10.0), tags=[]) if mutate is MUTATIONS[-1] else rates(2.5, 10.0)
    use_table({"m": entry})
    assert native_line(caplog, "m").endswith(f"entry: {entry}")
    mutate(entry)
    assert native_line(caplog, "m").endswith(f"entry: {entry}")
    same_as_python(NS(model="m"), BOTH)


def test_many_entries_and_rates_changed_while_logging(use_table, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    table = use_table({f"m{i:02}": rates(i / 4, i / 8) for i in range(40)})
    for _ in range(3):
        for name, entry in table.items():
            entry["prompt_per_1M"] += 1.0
            assert native_line(caplog, name).endswith(f"entry: {entry}")

    class Reprice(logging.Handler):
        def emit(self, record):
            table["m01"]["completion_per_1M"] = 1000.0

    handler = Reprice()
    logging.getLogger(LOGGER).addHandler(handler)
    try:
        for _ in range(2):  # the rates are read after the line is logged
            table["m01"]["completion_per_1M"] = 1.0
            result = same_as_python(NS(model="m01"), BOTH)
            assert f"'completion_cost': {1000.0 * (7091 / 1000000.0)!r}" in result[1]
    finally:
        logging.getLogger(LOGGER).removeHandler(handler)


def test_no_reference_leaks(use_table):
    table = use_table({"gpt-4": rates(2.5, 10.0), "gpt-4o": rates(1e-05, None)})
    objects = [table, table["gpt-4"], table["gpt-4o"], BOTH, "GPT-4o-mini", "gpt-4o", "zzz"]
    calls = [(NS(model=m), BOTH) for m in objects[4:]]

    def run(times):
        for _ in range(times):
            for args, usage in calls:
                gp.estimate_costs(args, usage)
        return [sys.getrefcount(o) for o in objects]

    assert run(10) == run(1000)


class CountingLogger(logging.Logger):
    calls = 0

    def debug(self, msg, *args, **kwargs):
        CountingLogger.calls += 1


@pytest.mark.parametrize("rig", ["subclass", "instance-debug", "instance-isEnabledFor", "patched-class", "level-debug",
                                 "patched-getattribute"])
def test_debug_call_is_skipped_only_when_provably_silent(use_table, monkeypatch, rig):
    # With DEBUG off, a stock logger's debug() does nothing; anything that
    # could make it do something must see the call.
    use_table({"m": rates(1.0, 2.0)})
    seen = []
    logger = logging.getLogger(LOGGER)
    monkeypatch.setattr(logger, "level", logging.INFO)
    logger._cache.clear()
    if rig == "subclass":
        CountingLogger.calls = 0
        monkeypatch.setattr(gp, "logger", CountingLogger("x", logging.INFO))
    elif rig == "instance-debug":
        monkeypatch.setitem(logger.__dict__, "debug", lambda msg: seen.append(msg))
    elif rig == "instance-isEnabledFor":
        monkeypatch.setitem(logger.__dict__, "isEnabledFor", lambda level: seen.append(level) or False)
    elif rig == "patched-class":
        monkeypatch.setattr(logging.Logger, "debug", lambda self, msg: seen.append(msg))
    elif rig == "patched-getattribute":
        def reading(self, name):
            if self is logger:
                seen.append(name)
            return object.__getattribute__(self, name)
        monkeypatch.setattr(logging.Logger, "__getattribute__", reading)
    else:
        monkeypatch.setattr(logger, "level", logging.DEBUG)
        logger._cache.clear()
        monkeypatch.setitem(logger.__dict__, "handle", lambda record: seen.append(record.getMessage()))
    for _ in range(3):  # the first call fills the logger's level cache
        gp.estimate_costs(NS(model="M"), BOTH)
    if rig == "subclass":
        assert CountingLogger.calls == 3
    elif rig == "instance-isEnabledFor":
        assert seen == [logging.DEBUG] * 3
    elif rig == "patched-getattribute":  # the lookup and the call went through it
        assert seen.count("debug") == seen.count("isEnabledFor") == 3
    else:
        assert seen == ["Estimating costs for model 'M' using pricing entry: "
                        "{'prompt_per_1M': 1.0, 'completion_per_1M': 2.0}"] * 3
