"""Token counting: the character estimate and the optional tokenizer road."""

import importlib.abc
import importlib.machinery
import logging
import sys
import types

import pytest
from offline_tiktoken import CL100K_URL, O200K_URL
from quelm import genai_pricing as gp

approx, count = gp._approx_token_count, gp._count_openai_tokens
ASTRAL = "\U0001F600"  # one code point, two UTF-16 units, four UTF-8 bytes


@pytest.mark.parametrize(
    "text, expected",
    [("", 0), ("a", 1), ("abcd", 1), ("abcde", 2), ("x" * 8, 2), ("x" * 9, 3),
     (ASTRAL * 4, 1), (ASTRAL * 5, 2), ("é" * 4, 1), ("\u20ac" * 5, 2), ("a" + ASTRAL * 4, 2)],
)
def test_estimate_counts_code_points(text, expected):
    assert approx(text) == expected
    assert approx(text=text) == expected


class Sub(str):
    pass


@pytest.mark.parametrize(
    "call, param, got",
    [(lambda: approx(None), "text", "NoneType"),
     (lambda: approx(b"ab"), "text", "bytes"),
     (lambda: count("ab", None), "model_name", "NoneType"),
     (lambda: count(Sub("ab"), "m"), "text", "Sub"),
     (lambda: count("ab", Sub("m")), "model_name", "Sub")],
)
def test_non_text_is_refused(call, param, got):
    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type \(expected str, got {got}\)"):
        call()


class FakeTokenizer(types.ModuleType):
    """Stands in for the tokenizer package: every call is logged, and any
    step can be told to raise. Encodings return one id per whitespace word."""

    def __init__(self, fail=(), model_encodings=("gpt-4o",)):
        super().__init__("tiktoken")
        self.fail, self.calls = dict.fromkeys(fail, KeyError), []
        self.model_encodings = model_encodings

    def _step(self, step):
        self.calls.append(step)
        if step in self.fail:
            raise self.fail[step]("no " + step)

    def encoding_for_model(self, model_name):
        self._step(f"model:{model_name}")
        return self._encoding(f"model-enc:{model_name}")

    def get_encoding(self, name):
        self._step(f"get:{name}")
        return self._encoding(name)

    def _encoding(self, name):
        def encode(*args, **kwargs):
            assert len(args) == 1 and not kwargs, "encode takes the text alone"
            self._step(f"encode:{name}")
            return list(range(len(args[0].split())))
        return types.SimpleNamespace(encode=encode)


@pytest.fixture
def fake(monkeypatch):
    tok = FakeTokenizer()
    monkeypatch.setitem(sys.modules, "tiktoken", tok)
    return tok


TEXT = "one two three four five six"  # 6 words, 27 code points: estimate 7


@pytest.mark.parametrize(
    "fail, expected_calls, expected",
    [((), ["model:m", "encode:model-enc:m"], 6),
     (("model:m",), ["model:m", "get:o200k_base", "encode:o200k_base"], 6),
     (("model:m", "get:o200k_base"),
      ["model:m", "get:o200k_base", "get:cl100k_base", "encode:cl100k_base"], 6),
     (("model:m", "get:o200k_base", "get:cl100k_base"),
      ["model:m", "get:o200k_base", "get:cl100k_base"], 7),
     (("encode:model-enc:m",), ["model:m", "encode:model-enc:m"], 7),
     (("get:o200k_base",), ["model:m", "encode:model-enc:m"], 6)],
)
def test_lookup_order_and_fallback(fake, caplog, fail, expected_calls, expected):
    fake.fail = dict.fromkeys(fail, LookupError)
    with caplog.at_level(logging.DEBUG):
        assert count(TEXT, "m") == expected
    assert fake.calls == expected_calls
    assert caplog.records == []


def test_nothing_is_cached_between_calls(fake):
    fake.fail = {"encode:model-enc:m": ValueError}
    assert count(TEXT, "m") == 7
    fake.fail = {}
    assert count(TEXT, "m") == 6  # the road is tried again from the start
    assert fake.calls == ["model:m", "encode:model-enc:m"] * 2
    assert count(TEXT, "") == 6 and fake.calls[-2] == "model:"  # the empty name is passed on


ROAD = ["model:m", "get:o200k_base", "get:cl100k_base", "encode:cl100k_base"]


@pytest.mark.parametrize("at", range(len(ROAD)))
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_pass_through(fake, at, interrupt):
    # The lookups before `at` fail with an ordinary error, so `at` is reached
    # (the last lookup succeeds when the interrupt comes from its encoder).
    fake.fail = dict.fromkeys(ROAD[:min(at, 2)], KeyError) | {ROAD[at]: interrupt}
    with pytest.raises(interrupt):
        count(TEXT, "m")


@pytest.mark.parametrize("encoded", [object(), types.SimpleNamespace(__len__=lambda: 3)])
def test_result_without_length_falls_back(fake, monkeypatch, encoded):
    monkeypatch.setattr(fake, "_encoding", lambda name: types.SimpleNamespace(encode=lambda t: encoded))
    assert count(TEXT, "m") == 7


class Finder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Serves `tiktoken` from a FakeTokenizer while `present`, and otherwise
    makes the import fail; counts how often the import machinery asks."""

    def __init__(self):
        self.present, self.asked, self.error = False, 0, ModuleNotFoundError

    def find_spec(self, name, path=None, target=None):
        if name != "tiktoken":
            return None
        self.asked += 1
        if not self.present:
            raise self.error("No module named 'tiktoken'")
        return importlib.machinery.ModuleSpec(name, self)

    def create_module(self, spec):
        return FakeTokenizer()

    def exec_module(self, module):
        pass


def test_package_appearing_and_disappearing(monkeypatch):
    finder = Finder()
    monkeypatch.setattr(sys, "meta_path", [finder, *sys.meta_path])
    monkeypatch.delitem(sys.modules, "tiktoken", raising=False)
    assert [count(TEXT, "m"), count(TEXT, "m")] == [7, 7]
    assert finder.asked == 2  # a missing package is looked for at every call
    finder.present = True
    assert [count(TEXT, "m"), count(TEXT, "m")] == [6, 6]
    assert finder.asked == 3  # once loaded, the host hands back sys.modules' entry
    sys.modules["tiktoken"].fail = {"model:m": KeyError}
    assert count(TEXT, "m") == 6 and sys.modules["tiktoken"].calls[-2] == "get:o200k_base"
    finder.present = False
    del sys.modules["tiktoken"]
    assert count(TEXT, "m") == 7 and finder.asked == 4
    monkeypatch.setitem(sys.modules, "tiktoken", None)  # import blocked outright
    assert count(TEXT, "m") == 7


def test_interrupt_during_import_passes_through(monkeypatch):
    finder = Finder()
    finder.error = KeyboardInterrupt
    monkeypatch.setattr(sys, "meta_path", [finder, *sys.meta_path])
    monkeypatch.delitem(sys.modules, "tiktoken", raising=False)
    with pytest.raises(KeyboardInterrupt):
        count(TEXT, "m")


# The real tokenizer package, offline: only cl100k_base loads (the session's
# seeded cache) and every download is refused (tests/offline_tiktoken.py).
# The counts are cl100k_base's published ones, each unlike the estimate.
KNOWN_CL100K = {"hello world": 2, "tiktoken is great!": 6, "お誕生日おめでとう": 9, "": 0}


@pytest.mark.parametrize("model, refused", [
    ("gpt-4", []),                          # the model's own encoding is cl100k_base
    ("gpt-4o", [O200K_URL, O200K_URL]),     # its o200k_base cannot load, nor can o200k_base itself
    ("no-such-model", [O200K_URL]),         # no encoding of its own; o200k_base cannot load
])
def test_real_tokenizer_counts_under_cl100k(real_tiktoken, model, refused):
    assert {text: count(text, model) for text in KNOWN_CL100K} == KNOWN_CL100K
    assert real_tiktoken.refused == refused * len(KNOWN_CL100K)


@pytest.mark.parametrize("special", ["<|endoftext|>", "hello world<|endofprompt|>"])
def test_real_encoder_refusing_special_text_estimates_that_call_only(real_tiktoken, special):
    assert count(special, "gpt-4") == approx(special)
    assert count("tiktoken is great!", "gpt-4") == 6


def test_real_tokenizer_without_encodings_estimates_and_retries(real_tiktoken, monkeypatch, tmp_path):
    # An empty cache and nothing loaded yet: the machine without network.
    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(tmp_path))
    monkeypatch.setattr(real_tiktoken.module.registry, "ENCODINGS", {})
    assert [count("hello world", "gpt-4"), count("hello world", "gpt-4")] == [3, 3]
    assert real_tiktoken.refused == [CL100K_URL, O200K_URL, CL100K_URL] * 2  # tried again at the second call
