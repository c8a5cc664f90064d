"""Strategies, constants and settings shared by several test modules.

Fixtures live in conftest.py; test modules import only from here, from
pricing_files and from conftest, never from one another.
"""
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# The module's functions, in order of definition.
FUNCTIONS = [
    "_approx_token_count",
    "_count_openai_tokens",
    "_usage_dict",
    "_extract_openai_usage",
    "_extract_gemini_usage",
    "_parse_pricing",
    "clear_pricing_cache",
    "estimate_costs",
    "exercise_estimate_costs",
]


def rates(prompt, completion):
    return {"prompt_per_1M": prompt, "completion_per_1M": completion}


def examples(n):
    """Hypothesis settings for a property test worth `n` examples in CI.

    The active profile (conftest.py) scales `n`: CI's profile runs all of
    them, the default developer profile a fifth.
    """
    scaled = max(10, n * settings.default.max_examples // 100)
    return settings(max_examples=scaled, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


# ---------------------------------------------------------------------------
# Pricing documents: line by line, from the pieces the parser's rules name.

LINE_BREAKS = ["\n", "\r\n", "\r", "\v", "\f", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
SPACES = [" ", "  ", "\t", "\u00a0", "\u2003", "\u3000", "\x1f", "\u1680", ""]
DIGITS = "0123456789\u0663\u06f5\u0967\uff11\U0001d7d9\u00b2"
HOSTILE = (
    "$,.:-/|#@_ *`pPrRoOmMtTcClLeEiInNkKsS1\u0130\u0131\u017f\u212a\u03a3\u00e9"
    "\u00a0\u2003\x1f\ufeff" + DIGITS
)

spaces = st.sampled_from(SPACES)
digits = st.text(st.sampled_from(DIGITS), min_size=1, max_size=4)
numbers = st.builds(
    lambda a, comma, b, point, c: a + comma + b + point + c,
    digits, st.sampled_from(["", ",", ",,"]), st.sampled_from(["", "000", "5"]),
    st.sampled_from(["", ".", ".."]), st.sampled_from(["", "5", "25", "x"]),
)
units = st.sampled_from(["", "/1M", " / 1M tokens", "/1K", " per 1K", " per  1 k", "per1K",
                         "/1Ktokens", " Per 1K", "/1\u212a", " /1MM", " per\u20031m", "/ 1 K-"])
prices = st.one_of(
    st.builds(lambda d, s, n, u: d + s + n + u, st.sampled_from(["", "$", "$ "]), spaces,
              numbers, units),
    st.sampled_from(["", "-", "n/a", "free", "$", "$x 4", "1M: $2.50", "per 1K: $2"]),
    st.text(st.sampled_from(HOSTILE), max_size=12),
)
words = st.sampled_from(["model", "Model name", "MODEL", "Provider", "m\u0130del", "modeł", ""])
labels = st.sampled_from(["prompt", "Prompt", "PROMPT", "completion", "COMPLET\u0130ON",
                          "complet\u0131on", "Input", "Output", "pr\u017fompt", ""])
names = st.one_of(
    st.sampled_from(["model-a", "Model-B-mini", "`model-i`", "**x**", "a:b", "m@v1.2/x_y",
                     "K\u212aelvin", "\u0130STANBUL", "\u03a3\u039f\u03a3", "", "- model-g"]),
    st.text(st.sampled_from(HOSTILE), max_size=8),
)
sep_cells = st.sampled_from(["---", ":---:", "---:", "--", ":-:", "-----", " --- ", ":---::"])


def row(cells):
    return st.builds(lambda *c: "|" + "|".join(c[:-1]) + c[-1], *cells)


def table_lines():
    edge = st.sampled_from(["|", "||", "", " |"])
    header = row([st.builds(lambda w, s: s + w + s, words, spaces),
                  st.builds(lambda l, u: l + u, labels, units),
                  st.builds(lambda l, u: l + " " + u, labels, units), edge])
    separator = row([sep_cells, sep_cells, sep_cells, edge])
    data = row([names, prices, prices, edge])
    wide = row([names, prices, prices, prices, edge])
    short = row([names, prices, edge])
    return st.one_of(header, separator, data, data, wide, short)


def free_lines():
    phrase = st.builds(lambda l, s, p: l + s + p, labels, st.sampled_from([" ", ": ", " - ", ""]),
                       prices)
    rest = st.builds(lambda ps, joint: joint.join(ps), st.lists(phrase, max_size=4),
                     st.sampled_from([", ", " ", ",", "; "]))
    return st.builds(lambda n, s1, sep, s2, r: n + s1 + sep + s2 + r, names, spaces,
                     st.sampled_from([":", "-", " - ", "", "::"]), spaces, rest)


def long_lines():
    return st.builds(lambda piece, n, tail: piece * n + tail,
                     st.one_of(free_lines(), prices, st.sampled_from(["prompt ", "$", ","])),
                     st.integers(50, 400), st.one_of(prices, st.just("")))


lines = st.one_of(
    table_lines(), table_lines(), free_lines(), free_lines(),
    st.sampled_from(["", "   ", "# Heading", "\t## model-x: prompt $1"]),
    st.text(st.sampled_from(HOSTILE + "\n\r\x85\u2028"), max_size=30),
)


@st.composite
def documents(draw, with_long=False):
    body = draw(st.lists(st.one_of(lines, long_lines()) if with_long else lines, max_size=12))
    breaks = draw(st.lists(st.sampled_from(LINE_BREAKS), min_size=len(body) + 1,
                           max_size=len(body) + 1))
    doc = "".join(line + brk for line, brk in zip(body, breaks))
    if draw(st.booleans()):
        doc = doc[: -len(breaks[-1])] if breaks[-1] and doc else doc  # no final break
    return draw(st.sampled_from(["", "\ufeff"])) + doc
