import builtins
import contextlib
import io
import types

import pytest

from plain import ref_estimate
from quelm import genai_pricing as gp
from support import rates

SNAPSHOT = "{'prompt_tokens': 21549, 'completion_tokens': 7091}"
PRICED = "{'prompt_cost': 0.0538725, 'completion_cost': 0.07091, 'total_cost': 0.12478249999999999}"


@pytest.mark.parametrize("call", [
    lambda: gp.exercise_estimate_costs(),
    lambda: gp.exercise_estimate_costs(None),
    lambda: gp.exercise_estimate_costs(model=""),
    lambda: gp.exercise_estimate_costs(0),
    lambda: gp.exercise_estimate_costs([]),
])
def test_default_model_without_an_entry(use_table, capsys, call):
    use_table({"gpt-4o": rates(2.5, 10.0)})
    assert call() == {"total_cost": 0.0}
    assert capsys.readouterr().out == (
        f"{{'model': 'gpt-4.1', 'usage': {SNAPSHOT}, 'estimated_costs': {{'total_cost': 0.0}}}}\n")


@pytest.mark.parametrize("model, shown", [
    (None, "'gpt-4.1'"),
    ("GPT-4o", "'GPT-4o'"),  # printed as given, priced as gpt-4o
    ("gpt-4o's", "\"gpt-4o's\""),
])
def test_printed_line(use_table, capsys, model, shown):
    use_table({"gpt-4.1": rates(2.5, 10.0), "gpt-4o": rates(2.5, 10.0), "gpt-4": rates(1.0, 1.0)})
    result = gp.exercise_estimate_costs(model)
    assert capsys.readouterr().out == (
        f"{{'model': {shown}, 'usage': {SNAPSHOT}, 'estimated_costs': {PRICED}}}\n")
    assert repr(result) == PRICED


@pytest.mark.parametrize("model", [None, "GPT-4o", "unknown", "Ωmega", "a'b\"c\\d\n"])
def test_same_line_as_plain_python(use_table, model):
    use_table({"gpt-4.1": rates(1e-05, None), "gpt-4o": rates(None, 1.5e+16), "ωmega": {}})
    lines = []
    for exercise in (gp.exercise_estimate_costs, ref_estimate.exercise_estimate_costs):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exercise(model)
        lines.append(out.getvalue())
    assert lines[0] == lines[1]


def test_names_are_found_at_the_call(monkeypatch):
    seen, printed = [], []

    class Namespace:
        def __init__(self, **kwargs):
            self.kwargs = kwargs

    def fake_estimate(args, usage):
        seen.append((args, usage, list(usage.items())))
        usage["prompt_tokens"] = -1  # must not leak into the next call
        return sentinel

    sentinel = {"total_cost": 1.5}
    monkeypatch.setattr(types, "SimpleNamespace", Namespace)
    monkeypatch.setattr(gp, "estimate_costs", fake_estimate)
    monkeypatch.setattr(builtins, "print", lambda *args, **kwargs: printed.append((args, kwargs)))
    assert gp.exercise_estimate_costs("m") is sentinel
    assert gp.exercise_estimate_costs("m") is sentinel
    (first_args, first_usage, _), (_, second_usage, items) = seen
    assert first_args.kwargs == {"model": "m"} and first_usage is not second_usage
    assert items == [("prompt_tokens", 21549), ("completion_tokens", 7091)]
    assert len(printed) == 2 and printed[1][1] == {}
    [record] = printed[1][0]
    assert list(record) == ["model", "usage", "estimated_costs"]
    assert record["estimated_costs"] is sentinel and record["usage"] is second_usage


def test_error_reaches_the_caller_before_printing(use_table, capsys):
    use_table({"gpt-4.1": rates(2.5, 10.0)})
    with pytest.raises(AttributeError, match="'int' object has no attribute 'lower'"):
        gp.exercise_estimate_costs(42)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, message", [
    (("a", "b"), {}, "exercise_estimate_costs() takes at most 1 positional argument (2 given)"),
    ((), {"name": "a"}, "exercise_estimate_costs() got an unexpected keyword argument 'name'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        gp.exercise_estimate_costs(*args, **kwargs)
    assert str(info.value) == message
