"""Reference leaks: memory blocks must not grow with the number of calls."""

import contextlib
import functools
import io
import logging
import sys
import types
from fractions import Fraction
from types import SimpleNamespace

import pytest

from quelm import genai_pricing as gp

DOC = """\
| Model | Prompt ($/1M) | Completion ($/1M) |
|---|---|---|
| gpt-4o | $2.50 | $10.00 |
| Model-İ | 1,200 | 0.5 / 1K |
free-model: prompt $1 (cached $0.5), completion $4
Note: prices change
"""


class Raises:
    @property
    def usage(self):
        raise ValueError("broken usage")


class FakeEncoding:
    def encode(self, text):
        if text == "refuse":
            raise ValueError("refused")
        return list(text)


def fake_tiktoken():
    mod = types.ModuleType("tiktoken")

    def encoding_for_model(name):
        if name == "unknown":
            raise KeyError(name)
        return FakeEncoding()

    mod.encoding_for_model = encoding_for_model
    mod.get_encoding = lambda name: FakeEncoding()
    return mod


def argument_errors():
    calls = [
        lambda: gp._approx_token_count(None),
        lambda: gp._approx_token_count(),
        lambda: gp._count_openai_tokens("a", model_name="b", text="c"),
        lambda: gp._usage_dict(True, None),
        lambda: gp.estimate_costs(1, 2, bogus=3),
        lambda: gp.clear_pricing_cache(1),
        lambda: gp.clear_pricing_cache(x=1),
        lambda: gp.exercise_estimate_costs(1, 2),
        lambda: gp._extract_openai_usage({"usage": {"input_tokens": 1.5}}, "a", "b", "m"),
        lambda: gp._extract_gemini_usage(None, "a", b"b"),
        lambda: gp.estimate_costs(SimpleNamespace(), {}),
    ]
    for call in calls:
        try:
            call()
        except (TypeError, AttributeError):
            pass
        else:
            raise AssertionError("expected an error")


def workload(paths, missing):
    gp._approx_token_count("hello world \U0001F600")
    gp._count_openai_tokens("some text", "gpt-4o")
    gp._count_openai_tokens("some text", "unknown")
    gp._count_openai_tokens("refuse", "gpt-4o")
    gp._usage_dict(None, 5)
    gp._extract_openai_usage({"usage": {"input_tokens": 0, "prompt_tokens": 3}}, "in", "out", "m")
    gp._extract_openai_usage(SimpleNamespace(usage=SimpleNamespace(output_tokens=4)), "in", "out", "m")
    gp._extract_openai_usage(Raises(), "in", "out", "m")
    gp._extract_gemini_usage({"usage_metadata": {"prompt_token_count": 0}}, "in", "out")
    gp._extract_gemini_usage(None, "in", "out")
    for path in paths:
        gp._parse_pricing.__wrapped__(path)
        gp._parse_pricing(path)
    gp._parse_pricing.__wrapped__(missing)
    gp.estimate_costs(SimpleNamespace(model="GPT-4o"), {"prompt_tokens": 100, "completion_tokens": 10})
    gp.estimate_costs(SimpleNamespace(model="model"), {"completion_tokens": 10})
    gp.estimate_costs(SimpleNamespace(model="nothing-like-it"), {})
    with contextlib.redirect_stdout(io.StringIO()):
        gp.exercise_estimate_costs()
        gp.exercise_estimate_costs("free-model")
    gp.clear_pricing_cache()
    argument_errors()


def test_no_growth_with_number_of_calls(tmp_path, monkeypatch, allocated_blocks):
    paths = []
    for i in range(3):
        p = tmp_path / f"prices{i}.md"
        p.write_text(DOC.replace("gpt-4o", f"gpt-4o-{i}"), encoding="utf8")
        paths.append(str(p))
    monkeypatch.setattr(gp, "PRICING_URL", paths[0])
    monkeypatch.setitem(sys.modules, "tiktoken", fake_tiktoken())
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "disabled", True)
    missing = str(tmp_path / "missing.md")

    def blocks_after(n):
        for _ in range(n):
            workload(paths, missing)
        return allocated_blocks()

    blocks_after(20)  # warm every cache the host keeps (interned names, imports)
    base = blocks_after(1)
    grown_small = blocks_after(100) - base
    grown_large = blocks_after(300) - base
    # A leak of one object per workload would add several hundred blocks.
    assert grown_large - grown_small < 100, (grown_small, grown_large)


@pytest.mark.parametrize("with_tiktoken", [False, True])
def test_fallback_paths_do_not_leak(monkeypatch, with_tiktoken, allocated_blocks):
    if with_tiktoken:
        monkeypatch.setitem(sys.modules, "tiktoken", fake_tiktoken())
    else:
        monkeypatch.setitem(sys.modules, "tiktoken", None)  # import fails fast

    def run(n):
        for _ in range(n):
            gp._count_openai_tokens("x" * 50, "unknown")
            gp._extract_openai_usage(Raises(), "in", "out", "m")
        return allocated_blocks()

    run(50)
    base = run(1)
    assert run(2000) - base < 100


def test_nothing_outlives_the_cache_clear(tmp_path, monkeypatch):
    path = tmp_path / "prices.md"
    path.write_text(DOC, encoding="utf8")
    monkeypatch.setattr(gp, "PRICING_URL", str(path))
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "disabled", True)
    gp.clear_pricing_cache()
    entry = gp._parse_pricing(str(path))["gpt-4o"]
    held = sys.getrefcount(entry)  # the cached table's and this frame's
    gp.estimate_costs(SimpleNamespace(model="gpt-4o"), {"prompt_tokens": 1})
    gp.estimate_costs(SimpleNamespace(model="GPT-4o"), {"prompt_tokens": 1})
    gp.clear_pricing_cache()
    assert sys.getrefcount(entry) == held - 1


class Rate(float):
    """A rate the host's own number protocol multiplies."""


# (rate, tokens) that the host's number protocol computes, not the float road.
HOST_ARITHMETIC = [(3, 1000), (Fraction(5, 2), 1000), (Rate(2.5), 1000), (2.5, Fraction(7)),
                   (2.5, True)]


def test_the_host_arithmetic_path_does_not_leak(monkeypatch, allocated_blocks):
    table = {f"m{i}": {"prompt_per_1M": rate, "completion_per_1M": rate}
             for i, (rate, _) in enumerate(HOST_ARITHMETIC)}
    monkeypatch.setattr(gp, "_parse_pricing", functools.lru_cache(maxsize=8)(lambda path: table))
    calls = [(SimpleNamespace(model=f"m{i}"), {"prompt_tokens": n, "completion_tokens": n})
             for i, (_, n) in enumerate(HOST_ARITHMETIC)]

    def run(n):
        for _ in range(n):
            for response, usage in calls:
                gp.estimate_costs(response, usage)
        return allocated_blocks()

    run(20)
    base = run(1)
    assert run(500) - base < 100  # a leak per call: thousands of blocks
