"""Fuzz target: usage extraction and the record builder.

The bytes choose an operation (`_extract_openai_usage`,
`_extract_gemini_usage`, `_usage_dict` or `_count_openai_tokens`), a response
built of dicts, dict subclasses with their own `get`, namespaces and objects
whose properties raise or act on the module, counts of odd types, a
tokenizer stand-in, and rebindings of the module-level helpers.  The module
runs on one build of that recipe and a plain-Python model of the rules on
another; the outcome (result or error), the sequence of reads and the
reference counts of the built objects afterwards must agree.

    python fuzz/fuzz_usage.py [libFuzzer options] [corpus dirs or files]
"""
import builtins
import sys

import atheris

import harness  # loads the extension, offline and quiet

from plain import ref_usage

with atheris.instrument_imports(include=["responses"]):
    import responses

gp = harness.gp
expect = harness.expect
LOG = responses.LOG
# The plain-Python rendition's tokenizer road, with its fallback marked.
FELL_BACK = object()
ref_usage._approx_token_count = lambda text: FELL_BACK

SHAPES = {
    "openai": ("usage", "input_tokens", "prompt_tokens", "output_tokens", "completion_tokens"),
    "gemini": ("usage_metadata", "prompt_token_count", None, "candidates_token_count", None),
}


# ------------------------------------------------- the rules in plain Python

def helper(name):
    """A module-level helper looked up as module code looks names up."""
    if name in gp.__dict__:
        return gp.__dict__[name]
    if hasattr(builtins, name):
        return getattr(builtins, name)
    raise NameError(f"name '{name}' is not defined")


def call_helper(name, *args):
    f = helper(name)
    if f is responses.ORIGINAL[name] and len(args) == MODEL_ARITY[name]:
        return MODELS[name](*args)
    return f(*args)


def check_type(name, value, exact):
    if type(value) is not exact:
        raise TypeError(f"Argument '{name}' has incorrect type")


def model_approx(text):
    check_type("text", text, str)
    return (len(text) + 3) // 4


def model_count(text, model_name):
    check_type("text", text, str)
    check_type("model_name", model_name, str)
    count = ref_usage._count_openai_tokens(text, model_name)
    # The tokenizer road failed: the module falls back on its helper by name.
    return call_helper("_approx_token_count", text) if count is FELL_BACK else count


def model_usage_dict(prompt_tokens, completion_tokens):
    for name, value in (("prompt_tokens", prompt_tokens), ("completion_tokens", completion_tokens)):
        if value is not None:
            check_type(name, value, int)
    return {"prompt_tokens": prompt_tokens or 0, "completion_tokens": completion_tokens or 0}


def probe(obj, key):
    if obj is None:
        return None
    if issubclass(type(obj), dict):
        return obj.get(key)
    return getattr(obj, key, None)


def model_extract(kind, resp, input_text, output_text, model_name=None):
    check_type("input_text", input_text, str)
    check_type("output_text", output_text, str)
    if kind == "openai":
        check_type("model_name", model_name, str)
    holder_name, p1, p2, c1, c2 = SHAPES[kind]
    prompt = completion = None
    try:
        holder = getattr(resp, holder_name, None)
        if holder is None and issubclass(type(resp), dict):
            holder = resp.get(holder_name)
        prompt = (probe(holder, p1) or probe(holder, p2)) if p2 else probe(holder, p1)
        completion = (probe(holder, c1) or probe(holder, c2)) if c2 else probe(holder, c1)
    except Exception:
        pass
    if kind == "openai":
        if prompt is None:
            prompt = call_helper("_count_openai_tokens", input_text, model_name)
        if completion is None:
            completion = call_helper("_count_openai_tokens", output_text, model_name)
    else:
        if prompt is None:
            prompt = call_helper("_approx_token_count", input_text)
        if completion is None:
            completion = call_helper("_approx_token_count", output_text)
    return call_helper("_usage_dict", prompt, completion)


MODELS = {"_approx_token_count": model_approx, "_count_openai_tokens": model_count,
          "_usage_dict": model_usage_dict}
MODEL_ARITY = {"_approx_token_count": 1, "_count_openai_tokens": 2, "_usage_dict": 2}


# ------------------------------------------------------------- the target

def text(fdp):
    roll = fdp.ConsumeIntInRange(0, 7)
    if roll == 0:
        return None
    if roll == 1:
        return responses.pick(fdp, [b"abc", 3, responses.StrKey("abc", 0, None)])
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 20))


def outcome(call):
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - interrupts are outcomes here
        message = str(e)
        if isinstance(e, TypeError) and message.startswith("Argument '"):
            message = message.split(" has incorrect type")[0]
        elif not isinstance(e, NameError):
            message = None
        return ("raised", type(e), message)
    if type(result) is dict:
        return ("dict", [(k, type(v).__qualname__, responses.describe(v)) for k, v in result.items()])
    return ("value", type(result).__qualname__, responses.describe(result))


def run(recipe, env_recipe, call):
    """Builds the recipe afresh, installs the environment and runs `call`
    on the built arguments; the outcome, the reads made and the reference
    counts of the built objects afterwards (a reference the module keeps or
    drops too many shows there)."""
    builder = responses.Builder()
    args = [builder.value(r) if isinstance(r, tuple) else r for r in recipe]
    env = (builder.tiktoken(env_recipe[0]), builder.helpers(env_recipe[1]))
    LOG.clear()
    responses.install(env)
    try:
        result = outcome(lambda: call(*args))
    finally:
        responses.restore()
    return result, list(LOG), [sys.getrefcount(o) for o in builder.built]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    op = fdp.ConsumeIntInRange(0, 7)
    env = (responses.tiktoken_recipe(fdp), responses.helpers_recipe(fdp))
    if op <= 2:
        kind = "openai"
        recipe = [responses.value_recipe(fdp), text(fdp), text(fdp), text(fdp)]
        native = gp._extract_openai_usage
    elif op <= 5:
        kind = "gemini"
        recipe = [responses.value_recipe(fdp), text(fdp), text(fdp)]
        native = gp._extract_gemini_usage
    elif op == 6:
        kind = "_usage_dict"
        recipe = [responses.value_recipe(fdp, responses.DEPTH),
                  responses.value_recipe(fdp, responses.DEPTH)]
        native = gp._usage_dict
    else:
        kind = "_count_openai_tokens"
        recipe = [text(fdp), text(fdp)]
        native = gp._count_openai_tokens
    if kind in SHAPES:
        model = lambda *args: model_extract(kind, *args)  # noqa: E731
    else:
        model = MODELS[kind]
    got, got_reads, got_refs = run(recipe, env, native)
    want, want_reads, want_refs = run(recipe, env, model)
    expect(got == want, "outcome", kind, recipe, env, got, want)
    expect(got_reads == want_reads, "reads", kind, recipe, env, got_reads, want_reads)
    expect(got_refs == want_refs, "reference counts", kind, recipe, env, got_refs, want_refs)
    if got[0] == "dict":
        expect([k for k, _, _ in got[1]] == ["prompt_tokens", "completion_tokens"], "record keys", got)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
