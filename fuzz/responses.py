"""Provider responses, tokenizer stand-ins and helper rebindings built from
fuzzer bytes, for the usage-extraction target.

A recipe (nested tuples) is drawn from the bytes once and then built twice,
so the module and the plain-Python model each read a fresh object graph
that behaves the same way.  Every read of a built object is written to LOG,
which lets the two runs be compared read by read.
"""
import gc
import sys
import types

import harness

gp = harness.gp
LOG = []
DEPTH = 3


class AttrErrorSub(AttributeError):
    pass


class Interrupt(BaseException):
    """Not an ordinary error: no guard may swallow it."""


ERRORS = [AttributeError, AttrErrorSub, ValueError, KeyError, RuntimeError, LookupError,
          ZeroDivisionError, MemoryError, RecursionError, StopIteration, KeyboardInterrupt,
          SystemExit, GeneratorExit, Interrupt]
KEYS = ["usage", "usage_metadata", "input_tokens", "prompt_tokens", "output_tokens",
        "completion_tokens", "prompt_token_count", "candidates_token_count", "get", "other"]
HELPERS = ["_approx_token_count", "_count_openai_tokens", "_usage_dict"]
ORIGINAL = {name: getattr(gp, name) for name in HELPERS}


class IntSub(int):
    pass


class StrKey(str):
    """A key equal to a holder or count name by hash, whose comparison is
    logged and may fail."""

    def __new__(cls, text, label, error):
        self = super().__new__(cls, text)
        self.label, self.error = label, error
        return self

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        LOG.append((self.label, "eq", str(self)))
        if self.error:
            raise self.error("key comparison")
        return str(self) == other


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


# ---------------------------------------------------------------- recipes

def value_recipe(fdp, depth=0):
    roll = fdp.ConsumeIntInRange(0, 19 if depth < DEPTH else 11)
    if roll == 0:
        return ("none",)
    if roll in (1, 2, 3):
        return ("int", pick(fdp, [0, 1, -1, 12, 7, 2**63, -2**100, fdp.ConsumeInt(4)]))
    if roll == 4:
        return ("const", pick(fdp, [True, False, 0.0, 12.0, float("nan"), "12", "", b"3", [], [1],
                                    (), 1j]))
    if roll == 5:
        return ("intsub", fdp.ConsumeIntInRange(-2, 2))
    if roll == 6:
        return ("badbool", pick(fdp, ERRORS))
    if roll == 7:
        return ("weirdbool", fdp.ConsumeIntInRange(0, 2))
    if roll in (8, 9, 10, 11):
        return ("int", fdp.ConsumeIntInRange(-5, 10**6))
    if roll in (12, 13):
        return ("dict", members(fdp, depth), fdp.ConsumeIntInRange(0, 3))
    if roll == 14:
        return ("dictsub", members(fdp, depth), get_recipe(fdp, depth), class_attrs(fdp, depth))
    if roll in (15, 16):
        return ("ns", members(fdp, depth))
    if roll in (17, 18):
        return ("obj", class_attrs(fdp, depth), fallback_recipe(fdp, depth))
    return ("action", pick(fdp, ACTIONS), value_recipe(fdp, depth + 1))


def members(fdp, depth):
    return [(pick(fdp, KEYS), value_recipe(fdp, depth + 1))
            for _ in range(fdp.ConsumeIntInRange(0, 4))]


def behaviour(fdp, depth):
    """What reading a property does: give a value, raise, or act then give."""
    roll = fdp.ConsumeIntInRange(0, 5)
    if roll == 0:
        return ("raise", pick(fdp, ERRORS))
    return ("give", value_recipe(fdp, depth + 1))


def class_attrs(fdp, depth):
    return [(pick(fdp, KEYS[:8]), behaviour(fdp, depth)) for _ in range(fdp.ConsumeIntInRange(0, 3))]


def get_recipe(fdp, depth):
    roll = fdp.ConsumeIntInRange(0, 3)
    if roll == 0:
        return ("inherit",)
    if roll == 1:
        return ("logged",)
    return behaviour(fdp, depth)


def fallback_recipe(fdp, depth):
    """__getattr__, called for names the object lacks."""
    if fdp.ConsumeBool():
        return None
    return behaviour(fdp, depth)


def tiktoken_recipe(fdp):
    roll = fdp.ConsumeIntInRange(0, 3)
    if roll == 0:
        return None
    return ("module", lookup_recipe(fdp), lookup_recipe(fdp), lookup_recipe(fdp))


def lookup_recipe(fdp):
    if fdp.ConsumeIntInRange(0, 2) == 0:
        return ("raise", pick(fdp, ERRORS))
    roll = fdp.ConsumeIntInRange(0, 4)
    if roll == 0:
        return ("encoding", ("raise", pick(fdp, ERRORS)))
    if roll == 1:
        return ("encoding", ("len", pick(fdp, [0, 5, -1, 2**63, "3", None, IntSub(4), 2**40])))
    if roll == 2:
        return ("encoding", ("lenraises", pick(fdp, ERRORS)))
    if roll == 3:
        return ("encoding", ("nolen",))
    return ("encoding", ("list",))


def helpers_recipe(fdp):
    out = {}
    for name in HELPERS:
        roll = fdp.ConsumeIntInRange(0, 9)
        if roll == 0:
            out[name] = ("logged",)
        elif roll == 1:
            out[name] = ("give", value_recipe(fdp, DEPTH))
        elif roll == 2:
            out[name] = ("other", pick(fdp, HELPERS))
    return out


# ---------------------------------------------------------------- actions
# Side effects a property may have before it gives its value: the same in
# both runs, so they must lead to the same outcome.

def _rebind(name, value):
    setattr(gp, name, value)


def _reenter():
    LOG.append(("reenter", gp._extract_gemini_usage({"usage_metadata": {"prompt_token_count": 2}}, "ab", "c")))


ACTIONS = {
    "collect": gc.collect,
    "reenter": _reenter,
    "usage_dict": lambda: LOG.append(("usage_dict", gp._usage_dict(3, None))),
    "rebind_usage_dict": lambda: _rebind("_usage_dict", lambda p, c: ("rebound", p, c)),
    "rebind_counter": lambda: _rebind("_count_openai_tokens", gp._approx_token_count),
    "drop_counter": lambda: delattr(gp, "_approx_token_count"),
    "tiktoken_gone": lambda: sys.modules.__setitem__("tiktoken", None),
}
ACTIONS = list(ACTIONS.items())


def describe(value):
    """A comparable description of a value: built objects differ between the
    two runs only by identity."""
    if type(value) in (dict, list, tuple) or isinstance(value, types.SimpleNamespace):
        items = value.items() if type(value) is dict else enumerate(
            vars(value).values() if isinstance(value, types.SimpleNamespace) else value)
        return (type(value).__name__, [(describe(k), describe(v)) for k, v in items])
    if type(value) in (int, float, str, bytes, bool, complex, type(None)):
        return repr(value)
    return f"<{type(value).__qualname__}>"


# ---------------------------------------------------------------- building

class Builder:
    """Builds a recipe into objects; labels follow the building order."""

    def __init__(self):
        self.count = 0
        self.built = []  # every object built, for reference counts


    def label(self):
        self.count += 1
        return self.count

    def value(self, recipe):
        built = self.build(recipe)
        if recipe[0] not in ("none", "int", "const"):  # those are shared, not built
            self.built.append(built)
        return built

    def build(self, recipe):
        kind = recipe[0]
        if kind == "none":
            return None
        if kind in ("int", "const"):
            return recipe[1]
        if kind == "intsub":
            return IntSub(recipe[1])
        if kind == "badbool":
            return self.bad_bool(recipe[1])
        if kind == "weirdbool":
            return self.weird_bool(recipe[1])
        if kind == "dict":
            return self.dict(recipe[1], recipe[2])
        if kind == "dictsub":
            return self.dict_subclass(*recipe[1:])
        if kind == "ns":
            return types.SimpleNamespace(**{k: self.value(v) for k, v in recipe[1]})
        if kind == "obj":
            return self.object(*recipe[1:])
        if kind == "action":
            (_, act), value = recipe[1], self.value(recipe[2])
            return Acting(self.label(), act, value)
        raise AssertionError(recipe)

    def bad_bool(self, error):
        label = self.label()

        class BadBool:
            def __bool__(self):
                LOG.append((label, "bool"))
                raise error("truth")
        return BadBool()

    def weird_bool(self, which):
        label = self.label()

        class WeirdBool:
            def __bool__(self):
                LOG.append((label, "bool"))
                return 2  # not a bool: TypeError

            def __len__(self):
                return 0
        if which == 0:
            return WeirdBool()

        class Empty:
            def __len__(self):
                LOG.append((label, "len"))
                return 0 if which == 1 else -1
        return Empty()

    def dict(self, items, evil):
        label = self.label()
        out = {}
        for i, (k, v) in enumerate(dict(items).items()):  # distinct keys: no comparison
            if evil and i == 0:
                k = StrKey(k, label, None if evil == 1 else ERRORS[evil])
            out[k] = self.value(v)
        return out

    def dict_subclass(self, items, get, attrs):
        label = self.label()
        namespace = self.properties(label, attrs)
        if get[0] != "inherit":
            give = self.behaviour(get) if get[0] != "logged" else None

            def get_method(self, key, default=None):
                LOG.append((label, "get", key))
                return dict.get(self, key, default) if give is None else give()
            namespace["get"] = get_method
        cls = type("DictSub", (dict,), namespace)
        return cls({k: self.value(v) for k, v in items})

    def object(self, attrs, fallback):
        label = self.label()
        namespace = self.properties(label, attrs)
        if fallback is not None:
            give = self.behaviour(fallback)

            def __getattr__(self, name):
                if name.startswith("__"):
                    raise AttributeError(name)
                LOG.append((label, "getattr", name))
                return give()
            namespace["__getattr__"] = __getattr__
        return type("Response", (), namespace)()

    def properties(self, label, attrs):
        namespace = {}
        for name, recipe in attrs:
            give = self.behaviour(recipe)

            def prop(self, name=name, give=give):
                LOG.append((label, "attr", name))
                return give()
            namespace[name] = property(prop)
        return namespace

    def behaviour(self, recipe):
        if recipe[0] == "raise":
            return raiser(recipe[1], "read")
        value = self.value(recipe[1])
        return lambda: value

    # -- the environment: tokenizer stand-in and module-level helpers

    def tiktoken(self, recipe):
        if recipe is None:
            return None
        label = self.label()
        module = types.ModuleType("tiktoken")
        model_lookup, first, second = (self.lookup(r) for r in recipe[1:])

        def encoding_for_model(name):
            LOG.append((label, "encoding_for_model", name))
            return model_lookup()

        def get_encoding(name):
            LOG.append((label, "get_encoding", name))
            return first() if name == "o200k_base" else second()
        module.encoding_for_model = encoding_for_model
        module.get_encoding = get_encoding
        return module

    def lookup(self, recipe):
        if recipe[0] == "raise":
            return raiser(recipe[1], "no encoding")
        encoding = Encoding(self.label(), recipe[1])
        return lambda: encoding

    def helpers(self, recipe):
        out = {}
        for name, how in recipe.items():
            if how[0] == "other":
                out[name] = ORIGINAL[how[1]]
            elif how[0] == "logged":
                out[name] = Logged(name)
            else:
                out[name] = Giving(name, self.value(how[1]))
        return out


def raiser(error, message):
    def fail():
        raise error(message)
    return fail


class Acting:
    """A value whose truth test first does something to the module."""

    def __init__(self, label, act, value):
        self.label, self.act, self.value = label, act, value

    def __bool__(self):
        LOG.append((self.label, "bool"))
        self.act()
        return bool(self.value)


class Encoding:
    def __init__(self, label, recipe):
        self.label, self.recipe = label, recipe

    def encode(self, text):
        LOG.append((self.label, "encode", text))
        kind = self.recipe[0]
        if kind == "raise":
            raise self.recipe[1]("refused")
        if kind == "list":
            return list(text.encode("utf-8"))
        if kind == "nolen":
            return 5
        label, recipe = self.label, self.recipe

        class Ids:
            def __len__(self):
                LOG.append((label, "len"))
                if kind == "lenraises":
                    raise recipe[1]("len")
                return recipe[1]
        return Ids()


class Logged:
    """A Python stand-in for a helper: logs, then calls the module's own."""

    def __init__(self, name):
        self.name = name

    def __call__(self, *args):
        LOG.append(("helper", self.name, describe(args)))
        return ORIGINAL[self.name](*args)


class Giving:
    def __init__(self, name, value):
        self.name, self.value = name, value

    def __call__(self, *args):
        LOG.append(("helper", self.name, describe(args)))
        return self.value


def install(env):
    tiktoken, helpers = env
    sys.modules["tiktoken"] = tiktoken
    for name in HELPERS:
        setattr(gp, name, helpers.get(name, ORIGINAL[name]))


def restore():
    install((None, {}))
