"""Loading, namespace, function objects and argument binding."""

import functools
import gc
import importlib
import inspect
import logging
import pathlib
import pickle
import re
import sys
import textwrap
import tomllib
import typing

import pytest

from conftest import run_python
from quelm import genai_pricing as gp
from support import FUNCTIONS


def test_namespace_order_and_values(tmp_path):
    # Order as loaded, in a fresh interpreter: tests here rebind names.
    out = run_python("-c", "import quelm.genai_pricing as g; print(*[n for n in vars(g) if n[:2] != '__'])",
                     cwd=tmp_path)
    names = out.stdout.split()
    assert names == ["functools", "logging", "re", "Any", "Dict", "Optional", "logger", "PRICING_URL", *FUNCTIONS]
    assert gp.functools is functools and gp.logging is logging
    assert gp.re is sys.modules["re"]
    assert (gp.Any, gp.Dict, gp.Optional) == (typing.Any, typing.Dict, typing.Optional)
    assert gp.logger is logging.getLogger("quelm.genai_pricing")
    assert gp.__doc__ is None


def test_wildcard_import_takes_public_names():
    ns = {}
    exec("from quelm.genai_pricing import *", ns)
    public = {n for n in ns if n != "__builtins__"}
    assert public == {
        "functools", "logging", "re", "Any", "Dict", "Optional", "logger",
        "PRICING_URL", "clear_pricing_cache", "estimate_costs", "exercise_estimate_costs",
    }


def test_pricing_url_is_a_blob_page():
    url = gp.PRICING_URL
    assert url.startswith("https://github.com/")
    owner, repo, blob, branch, *path = url[len("https://github.com/"):].split("/")
    assert owner and repo and blob == "blob" and branch == "main"
    assert path == ["pricing_table.md"]
    # The repository's own list, at the one address pyproject.toml states.
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    repository = tomllib.loads(pyproject.read_text(encoding="utf8"))["project"]["urls"]["Repository"]
    assert url == repository + "/blob/main/pricing_table.md"


def test_supported_versions_are_the_ones_ci_tests():
    root = pathlib.Path(__file__).resolve().parent.parent
    tested = re.search(r"^versions=\((.*)\)$", (root / ".ci" / "run").read_text(encoding="utf8"),
                       re.M).group(1).split()
    project = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf8"))["project"]
    classified = [c.rsplit(" :: ", 1)[1] for c in project["classifiers"]
                  if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert classified == tested
    major, last = tested[-1].split(".")
    assert project["requires-python"] == f">={tested[0]},<{major}.{int(last) + 1}"
    named = ", ".join(tested[:-1]) + " and " + tested[-1]
    readme = " ".join((root / "README.md").read_text(encoding="utf8").split())
    assert f"CPython {named} are supported" in readme


def test_reimport_returns_same_module_without_reexecuting(monkeypatch):
    monkeypatch.setattr(gp, "PRICING_URL", "marker-kept-across-reimport")
    monkeypatch.delitem(sys.modules, "quelm.genai_pricing")
    again = importlib.import_module("quelm.genai_pricing")
    assert again is gp
    assert again.PRICING_URL == "marker-kept-across-reimport"


def test_plain_import_runs_nothing(tmp_path):
    # No estimate, no fetch, no output at import time.
    code = textwrap.dedent(
        """
        import urllib.request
        def fail(*a, **k):
            raise AssertionError("fetched during import")
        urllib.request.urlopen = fail
        import quelm.genai_pricing as g
        print(g._parse_pricing.cache_info().currsize)
        """
    )
    out = run_python("-c", code, cwd=tmp_path)
    assert (out.stdout, out.stderr) == ("0\n", "")


def test_loading_as_main_program_runs_the_exercise_once(tmp_path):
    code = textwrap.dedent(
        """
        import ctypes, importlib.util, urllib.request
        calls = []
        def refuse(req, timeout=None):
            calls.append(req.full_url)
            raise OSError("offline")
        urllib.request.urlopen = refuse
        origin = importlib.util.find_spec("quelm.genai_pricing").origin
        lib = ctypes.PyDLL(origin)
        lib.PyInit_genai_pricing.restype = ctypes.py_object
        api = ctypes.pythonapi
        api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
        api.PyModule_FromDefAndSpec2.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.py_object]
        definition = lib.PyInit_genai_pricing()
        # The definition is a static object handed out as a borrowed
        # reference, while ctypes takes it as a new one: pin it.
        api.Py_IncRef.argtypes = [ctypes.py_object]
        api.Py_IncRef(definition)
        spec = importlib.util.spec_from_loader("__main__", loader=None, origin=origin)
        module = api.PyModule_FromDefAndSpec2(definition, spec, 1013)
        assert api.PyModule_ExecDef(module, definition) == 0
        print("fetches:", len(calls))
        assert api.PyModule_ExecDef(module, definition) == 0
        print("fetches after second exec:", len(calls))
        """
    )
    out = run_python("-c", code, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines == [
        "{'model': 'gpt-4.1', 'usage': {'prompt_tokens': 21549, 'completion_tokens': 7091}, "
        "'estimated_costs': {'total_cost': 0.0}}",
        "fetches: 1",
        "fetches after second exec: 1",
    ]
    assert "Failed to load pricing from https://github.com/" in out.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    obj = getattr(gp, name)
    f = obj.__wrapped__ if name == "_parse_pricing" else obj
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "quelm.genai_pricing"
    assert callable(f) and isinstance(f.__dict__, dict)
    assert all(isinstance(v, str) for v in f.__annotations__.values())
    if name == "_parse_pricing":
        assert isinstance(obj, functools._lru_cache_wrapper)
        assert obj.cache_parameters() == {"maxsize": 8, "typed": False}
        assert obj.__name__ == name and obj.__module__ == "quelm.genai_pricing"


ANNOTATIONS = {
    "_approx_token_count": {"text": "str", "return": "int"},
    "_count_openai_tokens": {"text": "str", "model_name": "str", "return": "int"},
    "_usage_dict": {"prompt_tokens": "Optional[int]", "completion_tokens": "Optional[int]", "return": "Dict[str, int]"},
    "_extract_openai_usage": {"resp": "Any", "input_text": "str", "output_text": "str", "model_name": "str", "return": "Dict[str, int]"},
    "_extract_gemini_usage": {"resp": "Any", "input_text": "str", "output_text": "str", "return": "Dict[str, int]"},
    "_parse_pricing": {"path": "str", "return": "Dict[str, Dict[str, Optional[float]]]"},
    "clear_pricing_cache": {},
    "estimate_costs": {},
    "exercise_estimate_costs": {},
}


PARAMETERS = {
    "_approx_token_count": ["text"],
    "_count_openai_tokens": ["text", "model_name"],
    "_usage_dict": ["prompt_tokens", "completion_tokens"],
    "_extract_openai_usage": ["resp", "input_text", "output_text", "model_name"],
    "_extract_gemini_usage": ["resp", "input_text", "output_text"],
    "_parse_pricing": ["path"],
    "clear_pricing_cache": [],
    "estimate_costs": ["args", "usage"],
    "exercise_estimate_costs": ["model"],
}


@pytest.mark.parametrize("name, expected", ANNOTATIONS.items())
def test_annotations_signature_and_docs(name, expected):
    f = getattr(gp, name)
    assert f.__annotations__ == expected
    assert list(f.__annotations__) == list(expected)
    sig = inspect.signature(f)
    assert list(sig.parameters) == PARAMETERS[name]
    docs = {
        "clear_pricing_cache": "Clear cached pricing so the URL will be fetched again.",
        "exercise_estimate_costs": "\n    Exercise estimate_costs using the snapshot:\n"
        "    {'prompt_tokens': 21549, 'completion_tokens': 7091}\n    ",
    }
    assert f.__doc__ == docs.get(name)


def test_signatures_and_defaults():
    assert str(inspect.signature(gp.estimate_costs)) == "(args, usage)"
    assert str(inspect.signature(gp.exercise_estimate_costs)) == "(model=None)"
    assert str(inspect.signature(gp._usage_dict)) == (
        "(prompt_tokens: 'Optional[int]', completion_tokens: 'Optional[int]') -> 'Dict[str, int]'"
    )
    assert str(inspect.signature(gp.clear_pricing_cache)) == "()"
    assert gp.exercise_estimate_costs.__defaults__ == (None,)
    assert gp.estimate_costs.__defaults__ is None
    assert gp._parse_pricing.__wrapped__.__defaults__ is None


def test_help_pickle_and_update_wrapper():
    text = __import__("pydoc").render_doc(gp.clear_pricing_cache, renderer=__import__("pydoc").plaintext)
    assert "clear_pricing_cache()" in text and "Clear cached pricing" in text
    assert pickle.loads(pickle.dumps(gp.estimate_costs)) is gp.estimate_costs

    @functools.wraps(gp.estimate_costs)
    def wrapper(*a):
        return a

    assert wrapper.__name__ == "estimate_costs" and wrapper.__wrapped__ is gp.estimate_costs
    gp.estimate_costs.custom = 1
    try:
        assert gp.estimate_costs.__dict__ == {"custom": 1}
    finally:
        del gp.estimate_costs.custom


class StrSub(str):
    pass


class IntSub(int):
    pass


SUBCLASS = ". Subclasses of built-in types are refused: pass a value of the exact type"


def arity(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: gp._parse_pricing.__wrapped__(), arity("_parse_pricing", "exactly", 1, 0)),
        (lambda: gp._parse_pricing.__wrapped__("a", "b"), arity("_parse_pricing", "exactly", 1, 2)),
        (lambda: gp._approx_token_count(), arity("_approx_token_count", "exactly", 1, 0)),
        (lambda: gp._count_openai_tokens("a"), arity("_count_openai_tokens", "exactly", 2, 1)),
        (lambda: gp._count_openai_tokens(model_name="m"), arity("_count_openai_tokens", "exactly", 2, 0)),
        (lambda: gp._count_openai_tokens(text="t"), arity("_count_openai_tokens", "exactly", 2, 1)),
        (lambda: gp._extract_gemini_usage(None, "a", "b", "c"), arity("_extract_gemini_usage", "exactly", 3, 4)),
        (lambda: gp._extract_openai_usage(None, output_text="o", model_name="m"), arity("_extract_openai_usage", "exactly", 4, 1)),
        (lambda: gp.estimate_costs(1), arity("estimate_costs", "exactly", 2, 1)),
        (lambda: gp.estimate_costs(1, 2, 3, usage=4), arity("estimate_costs", "exactly", 2, 3)),
        (lambda: gp.exercise_estimate_costs(1, 2), arity("exercise_estimate_costs", "at most", 1, 2)),
        (lambda: gp.estimate_costs(1, 2, bogus=3), "estimate_costs() got an unexpected keyword argument 'bogus'"),
        (lambda: gp.exercise_estimate_costs(mode="x"), "exercise_estimate_costs() got an unexpected keyword argument 'mode'"),
        (lambda: gp.estimate_costs(1, usage=2, args=3), "estimate_costs() got multiple values for keyword argument 'args'"),
        (lambda: gp.exercise_estimate_costs("x", model="y"), "exercise_estimate_costs() got multiple values for keyword argument 'model'"),
        (lambda: gp.clear_pricing_cache(1, 2), "clear_pricing_cache() takes no arguments (2 given)"),
        (lambda: gp.clear_pricing_cache(x=1), "clear_pricing_cache() takes no keyword arguments"),
        (lambda: gp.clear_pricing_cache(1, x=1), "clear_pricing_cache() takes no keyword arguments"),
        (lambda: gp._approx_token_count(None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
        (lambda: gp._approx_token_count(b"x"), "Argument 'text' has incorrect type (expected str, got bytes)"),
        (lambda: gp._approx_token_count(StrSub("x")), "Argument 'text' has incorrect type (expected str, got StrSub)" + SUBCLASS),
        (lambda: gp._count_openai_tokens("t", model_name=5), "Argument 'model_name' has incorrect type (expected str, got int)"),
        (lambda: gp._usage_dict(True, None), "Argument 'prompt_tokens' has incorrect type (expected int, got bool)" + SUBCLASS),
        (lambda: gp._usage_dict(1, IntSub(2)), "Argument 'completion_tokens' has incorrect type (expected int, got IntSub)" + SUBCLASS),
        (lambda: gp._usage_dict(1, 2.0), "Argument 'completion_tokens' has incorrect type (expected int, got float)"),
        (lambda: gp._extract_openai_usage(None, "a", None, "m"), "Argument 'output_text' has incorrect type (expected str, got NoneType)"),
        (lambda: gp._parse_pricing(StrSub("p")), "Argument 'path' has incorrect type (expected str, got StrSub)" + SUBCLASS),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_by_keyword_and_optional_none(caplog):
    # Keyword bindings reach the body as the positional ones do; None is
    # accepted where the annotation is Optional.
    assert gp._usage_dict(prompt_tokens=None, completion_tokens=None) == {
        "prompt_tokens": 0, "completion_tokens": 0}
    assert gp._usage_dict(None, completion_tokens=3) == {"prompt_tokens": 0, "completion_tokens": 3}
    assert gp._approx_token_count(text="abcde") == 2
    assert gp._extract_gemini_usage(None, output_text="abcdefgh", input_text="abcd") == {
        "prompt_tokens": 1, "completion_tokens": 2}
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert gp._parse_pricing.__wrapped__(path="/nonexistent/quelm") == {}
    assert caplog.messages[0].startswith("Failed to load pricing from /nonexistent/quelm: ")
    assert gp.clear_pricing_cache() is None


def test_clear_pricing_cache_looks_the_wrapper_up_at_each_call(monkeypatch):
    cleared = []

    class Fake:
        def cache_clear(self):
            cleared.append(True)
            return "ignored"

    monkeypatch.setattr(gp, "_parse_pricing", Fake())
    assert gp.clear_pricing_cache() is None and cleared == [True]
    monkeypatch.setattr(gp, "_parse_pricing", object())
    with pytest.raises(AttributeError):
        gp.clear_pricing_cache()
    monkeypatch.delattr(gp, "_parse_pricing")
    with pytest.raises(NameError, match="_parse_pricing"):
        gp.clear_pricing_cache()


@pytest.mark.parametrize("attribute", ["__module__", "__doc__"])
def test_collector_sees_what_a_function_holds(monkeypatch, attribute):
    # Either attribute may be set to any object, which can close a cycle.
    held = object()
    monkeypatch.setattr(gp.estimate_costs, attribute, held)
    assert any(r is held for r in gc.get_referents(gp.estimate_costs))
