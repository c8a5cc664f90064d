"""Usage extraction from OpenAI- and Gemini-shaped responses."""

import sys
import types
from collections import UserDict

import pytest
from hypothesis import given
from hypothesis import strategies as st

from plain import ref_usage
from quelm import genai_pricing as gp
from support import examples

NS = types.SimpleNamespace
IN, OUT = "x" * 9, "y" * 5  # estimates: 3 and 2


@pytest.fixture(autouse=True)
def no_tokenizer(monkeypatch):
    # The OpenAI road counts through the tokenizer; blocking its import makes
    # every count the estimate, whatever is installed here.
    monkeypatch.setitem(sys.modules, "tiktoken", None)


def openai(resp, inp=IN, out=OUT, via=gp._extract_openai_usage):
    return via(resp, inp, out, "gpt-4o")


def gemini(resp, inp=IN, out=OUT, via=gp._extract_gemini_usage):
    return via(resp, inp, out)


# (extractor, holder name, prompt key, completion key)
ROADS = [(openai, "usage", "prompt_tokens", "completion_tokens"),
         (openai, "usage", "input_tokens", "output_tokens"),
         (gemini, "usage_metadata", "prompt_token_count", "candidates_token_count")]
SHAPES = {  # how a response carries {holder: {p: .., c: ..}}
    "dict/dict": lambda h, u: {h: u},
    "obj/obj": lambda h, u: NS(**{h: NS(**u)}),
    "obj/dict": lambda h, u: NS(**{h: u}),
    "dict/obj": lambda h, u: {h: NS(**u)},
}


@pytest.mark.parametrize("road", ROADS, ids=lambda r: f"{r[0].__name__}-{r[2]}")
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("counts, expected",
                         [((12, 3), (12, 3)), ((12, None), (12, 2)), ((None, 3), (3, 3)),
                          ((-4, 10**30), (-4, 10**30)), ((None, None), (3, 2))])
def test_shapes_and_missing_counts(impl, road, shape, counts, expected):
    extract, holder, pkey, ckey = road
    usage = {k: v for k, v in zip((pkey, ckey), counts) if v is not None}
    via = getattr(impl, f"extract_{extract.__name__}_usage")
    result = extract(SHAPES[shape](holder, usage), via=via)
    assert type(result) is dict
    assert list(result.items()) == list(zip(("prompt_tokens", "completion_tokens"), expected))


@pytest.mark.parametrize("extract", [openai, gemini])
@pytest.mark.parametrize("resp", [
    None, 5, "usage", NS(), {}, {"other": 1}, NS(usage=None, usage_metadata=None),
    # a mapping that is not a dict is read by attribute, so its keys are not seen
    UserDict(usage={"prompt_tokens": 1}, usage_metadata={"prompt_token_count": 1})])
def test_no_usage_counts_the_texts(extract, resp):
    assert extract(resp) == {"prompt_tokens": 3, "completion_tokens": 2}
    assert extract(resp, "", "") == {"prompt_tokens": 0, "completion_tokens": 0}


@pytest.mark.parametrize("usage, expected", [
    ({"input_tokens": 7, "prompt_tokens": 5}, 7),    # the first name wins when true
    ({"input_tokens": 0}, 3),                        # second name absent: counted
    ({"input_tokens": 0, "prompt_tokens": 0}, 0),    # a reported 0 stands
    ({"input_tokens": None, "prompt_tokens": 5}, 5),
    ({"input_tokens": False, "prompt_tokens": 6}, 6),
    ({"input_tokens": "", "prompt_tokens": 8}, 8),
    ({"input_tokens": [], "prompt_tokens": None}, 3),
])
def test_openai_second_name_when_first_is_false(usage, expected):
    assert openai({"usage": usage}, IN, IN)["prompt_tokens"] == expected
    swapped = {k.replace("input", "output").replace("prompt", "completion"): v for k, v in usage.items()}
    assert openai(NS(usage=NS(**swapped)), IN, IN)["completion_tokens"] == expected


def test_gemini_takes_counts_without_truth_test():
    reported = {"usage_metadata": {"prompt_token_count": 0, "candidates_token_count": 0}}
    assert gemini(reported) == {"prompt_tokens": 0, "completion_tokens": 0}


@pytest.mark.parametrize("bad, got", [(True, "bool"), (12.0, "float"), ("12", "str"), (b"1", "bytes")])
@pytest.mark.parametrize("road", ROADS, ids=lambda r: f"{r[0].__name__}-{r[2]}")
@pytest.mark.parametrize("which", [0, 1])
def test_counts_not_plain_int_are_refused(road, which, bad, got):
    extract, holder, *keys = road
    param = ("prompt_tokens", "completion_tokens")[which]
    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type \(expected int, got {got}\)"):
        extract({holder: {keys[which]: bad}})


class IntSub(int):
    pass


@pytest.mark.parametrize("extract, usage, got", [
    (openai, {"usage": {"input_tokens": 0, "prompt_tokens": False}}, "bool"),  # a false second value stays
    (openai, {"usage": {"input_tokens": IntSub(4)}}, "IntSub"),
    (gemini, {"usage_metadata": {"prompt_token_count": False}}, "bool"),
    (gemini, {"usage_metadata": {"prompt_token_count": IntSub(4)}}, "IntSub")])
def test_false_or_int_subclass_as_the_count_is_refused(extract, usage, got):
    with pytest.raises(TypeError, match=rf"^Argument 'prompt_tokens' .*expected int, got {got}\)\. "):
        extract(usage)


class NoBool:
    def __bool__(self):
        raise ValueError("no truth")


def raising(exc):
    def fget(self):
        raise exc("read refused")
    return property(fget)


def holder_class(**attrs):
    return type("Holder", (), attrs)()


class Missing(AttributeError):
    pass


def refused(exc):
    """An attribute hook that raises `exc` for a count's name, AttributeError for others."""
    def hook(*args):
        name = args[-1]
        raise (exc if name.endswith("_tokens") else AttributeError)(name)
    return hook


def answering(name, value, exc):
    """An object whose own attribute access answers `name` alone."""
    refuse = refused(exc)
    return holder_class(__getattribute__=lambda self, key: value if key == name else refuse(key))


def module(**attrs):
    mod = types.ModuleType("counts")
    mod.__dict__.update(attrs)
    return mod


def instance(class_attrs, **own):
    """An instance of a class holding `class_attrs`, with `own` in its own __dict__."""
    obj = holder_class(**class_attrs)
    obj.__dict__.update(own)
    return obj


class Slotted:
    __slots__ = ("input_tokens", "output_tokens")

    def __init__(self, **values):
        for name, value in values.items():
            setattr(self, name, value)


# An attribute whose read raises AttributeError, or a subclass, through any
# kind of attribute access, is missing; any other error ends the reading.
@pytest.mark.parametrize("holder, expected", [
    (holder_class(input_tokens=9, output_tokens=raising(ValueError)), (9, 2)),  # first count stands
    (holder_class(input_tokens=raising(RuntimeError), output_tokens=4), (3, 2)),  # block ends at once
    (holder_class(input_tokens=0, prompt_tokens=raising(ValueError), output_tokens=4), (3, 2)),
    (holder_class(input_tokens=NoBool(), output_tokens=4), (3, 2)),  # failing truth test
    (holder_class(input_tokens=raising(AttributeError), output_tokens=4), (3, 4)),  # missing: second name
    (holder_class(input_tokens=raising(Missing), output_tokens=4), (3, 4)),
    (holder_class(__getattr__=lambda self, k: 5), (5, 5)),
    (instance({"input_tokens": 1}, input_tokens=7, output_tokens=4), (7, 4)),  # own over class
    (instance({"input_tokens": property(lambda self: 8)}, input_tokens=7, output_tokens=4), (8, 4)),
    (instance({"input_tokens": lambda self: 1}, input_tokens=7, output_tokens=4), (7, 4)),
    (Slotted(output_tokens=4), (3, 4)),  # an empty slot is missing
    (holder_class(output_tokens=4, __getattr__=refused(AttributeError)), (3, 4)),
    (holder_class(output_tokens=4, __getattr__=refused(LookupError)), (3, 2)),
    (answering("output_tokens", 4, Missing), (3, 4)),
    (answering("output_tokens", 4, LookupError), (3, 2)),
    (type("Counts", (), {"output_tokens": 4}), (3, 4)),  # a class: the type's own access
    (module(output_tokens=4), (3, 4)),
    (module(output_tokens=4, __getattr__=refused(LookupError)), (3, 2)),
])
def test_read_errors_are_swallowed(holder, expected):
    assert tuple(openai(NS(usage=holder)).values()) == expected
    assert ref_usage._extract_openai_usage(NS(usage=holder), IN, OUT, "gpt-4o") == openai(NS(usage=holder))


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("extract, make", [
    (openai, lambda e: type("R", (), {"usage": raising(e)})()),
    (gemini, lambda e: NS(usage_metadata=holder_class(prompt_token_count=raising(e)))),
    (openai, lambda e: {"usage": {"input_tokens": type("B", (), {"__bool__": raising(e).fget})()}}),
])
def test_interrupts_pass_through(extract, make, interrupt):
    with pytest.raises(interrupt):
        extract(make(interrupt))


class LoggingDict(dict):
    """A dict subclass whose own `get` is the one to use."""
    asked = []

    def get(self, key, default=None):
        LoggingDict.asked.append(key)
        return {"input_tokens": 21, "output_tokens": 22, "prompt_token_count": 31, "usage": NS(input_tokens=41),
                "candidates_token_count": 32}.get(key, default)


def test_dict_subclass_get_is_called():
    LoggingDict.asked = []
    assert openai({"usage": LoggingDict()}) == {"prompt_tokens": 21, "completion_tokens": 22}
    assert gemini(NS(usage_metadata=LoggingDict(prompt_token_count=1))) == {"prompt_tokens": 31, "completion_tokens": 32}
    assert openai(LoggingDict(usage={"input_tokens": 1})) == {"prompt_tokens": 41, "completion_tokens": 2}
    assert LoggingDict.asked == ["input_tokens", "output_tokens", "prompt_token_count", "candidates_token_count",
                                 "usage"]


def test_attribute_before_key_and_failing_get():
    class WithAttr(dict):
        usage = {"input_tokens": 50}
    assert openai(WithAttr(usage={"input_tokens": 60}))["prompt_tokens"] == 50

    class BadGet(dict):
        def get(self, key, default=None):
            raise LookupError(key)
    assert openai({"usage": BadGet(input_tokens=1)}) == {"prompt_tokens": 3, "completion_tokens": 2}


@pytest.mark.parametrize("args, expected", [((None, None), (0, 0)), ((0, 5), (0, 5)), ((-3, 0), (-3, 0)),
                                            ((2**70, None), (2**70, 0))])
def test_usage_dict(args, expected):
    result = gp._usage_dict(*args)
    assert list(result.items()) == [("prompt_tokens", expected[0]), ("completion_tokens", expected[1])]
    assert all(type(v) is int for v in result.values()) and gp._usage_dict(*args) is not result


@pytest.mark.parametrize("call, param, expected, got", [
    (lambda: gp._usage_dict(True, None), "prompt_tokens", "int", "bool"),
    (lambda: gp._usage_dict(1, 2.0), "completion_tokens", "int", "float"),
    (lambda: gp._usage_dict(prompt_tokens="1", completion_tokens=1), "prompt_tokens", "int", "str"),
    (lambda: gp._extract_openai_usage(None, None, "", "m"), "input_text", "str", "NoneType"),
    (lambda: gp._extract_openai_usage(None, "", "", b"m"), "model_name", "str", "bytes"),
    (lambda: gp._extract_gemini_usage(None, "", type("S", (str,), {})()), "output_text", "str", "S"),
])
def test_argument_types(call, param, expected, got):
    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type \(expected {expected}, got {got}\)"):
        call()


def test_openai_counts_through_tokenizer_and_gemini_never(monkeypatch):
    seen = []
    tok = types.ModuleType("tiktoken")
    tok.encoding_for_model = lambda m: NS(encode=lambda t: seen.append((m, t)) or [0] * 100)
    monkeypatch.setitem(sys.modules, "tiktoken", tok)
    assert openai({"usage": {"input_tokens": 1}}, "in", "out") == {"prompt_tokens": 1, "completion_tokens": 100}
    assert gemini(None, "in", "out") == {"prompt_tokens": 1, "completion_tokens": 1}
    assert seen == [("gpt-4o", "out")]


def test_openai_fills_missing_counts_with_the_real_tokenizer(real_tiktoken):
    # The real package, offline: cl100k_base's published counts, unlike the estimates (3 and 5).
    text_in, text_out = "hello world", "tiktoken is great!"
    assert gp._extract_openai_usage(None, text_in, text_out, "gpt-4") == {"prompt_tokens": 2, "completion_tokens": 6}
    reported = {"usage": {"input_tokens": 0, "completion_tokens": 40}}  # prompt: 0 leads to an absent name
    assert gp._extract_openai_usage(reported, text_in, text_out, "gpt-4o") == {"prompt_tokens": 2,
                                                                               "completion_tokens": 40}
    assert gemini(None, text_in, text_out) == {"prompt_tokens": 3, "completion_tokens": 5}


def test_no_reference_leaks():
    big, holder = 10**40, holder_class(input_tokens=10**40 + 1, output_tokens=raising(ValueError))
    refs = sys.getrefcount(big), sys.getrefcount(holder), sys.getrefcount(holder.input_tokens)
    for _ in range(1000):
        openai({"usage": {"input_tokens": big, "output_tokens": big}})
        openai(NS(usage=holder))
        gemini(NS(usage_metadata=NS(prompt_token_count=big)))
    assert (sys.getrefcount(big), sys.getrefcount(holder), sys.getrefcount(holder.input_tokens)) == refs


counts = st.none() | st.integers(-5, 5) | st.integers()
levels = st.sampled_from([dict, lambda **kw: NS(**kw)])


@st.composite
def responses(draw):
    keys = ["input_tokens", "prompt_tokens", "output_tokens", "completion_tokens",
            "prompt_token_count", "candidates_token_count"]
    usage = draw(levels)(**draw(st.dictionaries(st.sampled_from(keys), counts)))
    holder = draw(st.sampled_from(["usage", "usage_metadata", "other"]))
    return draw(st.sampled_from([None, usage, draw(levels)(**{holder: usage})]))


@examples(400)
@given(responses(), st.text(max_size=12), st.text(max_size=12))
def test_matches_plain_rendition(resp, inp, out):
    assert openai(resp, inp, out) == ref_usage._extract_openai_usage(resp, inp, out, "gpt-4o")
    assert gemini(resp, inp, out) == ref_usage._extract_gemini_usage(resp, inp, out)


def test_module_level_helpers_are_looked_up_at_each_call(monkeypatch):
    calls = []

    def counter(*args):
        calls.append(args)
        return 42

    monkeypatch.setattr(gp, "_count_openai_tokens", counter)
    assert gp._extract_openai_usage(None, "in", "out", "m") == {"prompt_tokens": 42, "completion_tokens": 42}
    monkeypatch.setattr(gp, "_approx_token_count", counter)
    assert gp._extract_gemini_usage(None, "in", "out") == {"prompt_tokens": 42, "completion_tokens": 42}
    assert calls == [("in", "m"), ("out", "m"), ("in",), ("out",)]
    monkeypatch.undo()

    # The tokenizer's fallback goes through the module's _approx_token_count.
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    monkeypatch.setattr(gp, "_approx_token_count", lambda text: -1)
    assert gp._count_openai_tokens("abc", "m") == -1

    # A replaced _usage_dict builds the record, without the native type check.
    monkeypatch.setattr(gp, "_usage_dict", lambda p, c: ("built", p, c))
    assert gp._extract_gemini_usage({"usage_metadata": {"prompt_token_count": 1.5}}, "", "ab") == ("built", 1.5, -1)
