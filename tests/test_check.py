"""``python -m quelm check``: each kind of finding on a small document, the
exit statuses, strict JSON, the bundled list, and the shadowing index against
the plain pairwise rule."""

import json
import pathlib
import random
import re
import time

import pytest

import quelm
from conftest import run_python
from quelm import _explain
from quelm._checks import check
from quelm._checks.finding import VARIANT_SUFFIX
from quelm import genai_pricing as gp

HEAD = "| Model | Prompt ($/1M) | Completion ($/1M) |\n|---|---|---|\n"


def findings(tmp_path, document):
    path = tmp_path / "prices.md"
    path.write_text(document, encoding="utf8")
    return check(*_explain.explain(gp, str(path)))


def summary(found):
    return [(f["line"], f["severity"], f["kind"]) for f in found]


@pytest.mark.parametrize("document, expected, fix", [
    # Names that are no model id; the fix names the bare id.
    (HEAD + "| **gpt-4o** | $2.50 | $10 |\n", [(3, "error", "bad name")], "'gpt-4o'"),
    (HEAD + "| `o3` | $2 | $8 |\n", [(3, "error", "bad name")], "'o3'"),
    (HEAD + "| [gpt-4o](https://example.com/gpt-4o) | $2.50 | $10 |\n",
     [(3, "error", "bad name")], "'gpt-4o'"),
    (HEAD + "| claude 3 haiku | $0.25 | $1.25 |\n", [(3, "error", "bad name")],
     "'claude-3-haiku'"),
    (HEAD + "| gpt-4 (legacy) | $30 | $60 |\n", [(3, "error", "bad name")], "'gpt-4'"),
    (HEAD + "| gpt-4o\x1b[0m\x07 | $2.50 | $10 |\n", [(3, "error", "bad name")], "'gpt-4o'"),
    (HEAD + "| gpt-4o\x1b]0;pwn\x07 | $2.50 | $10 |\n", [(3, "error", "bad name")], "'gpt-4o'"),
    # A header row the parser did not take for one, stored from its '1M's.
    ("| Provider | Prompt ($/1M) | Completion ($/1M) |\n|---|---|---|\n| o3 | $2 | $8 |\n",
     [(1, "error", "bad name")], "| Model |"),
    ("Model: prompt $1 per 1M, completion $2 per 1M\n", [(1, "error", "bad name")], "reword"),
    # The empty name.
    (HEAD + "| o3 | $2 | $8 |\n|  | $1 | $2 |\n", [(4, "error", "empty name")], "model id"),
    # Shadowing: only when the earlier name comes first and prices differ.
    (HEAD + "| gpt-4o | $2.50 | $10 |\n| gpt-4o-mini | $0.15 | $0.60 |\n",
     [(4, "warning", "shadowed")], "move line 4 above line 3"),
    # Columns that hold no prices.
    ("| Model | Context | Prompt | Completion |\n|---|---|---|---|\n| o3 | 200k | $2 | $8 |\n",
     [(1, "error", "not a price column"), (1, "error", "not a price column")], "3rd column"),
    ("| Model | Completion | Prompt |\n|---|---|---|\n| o3 | $8 | $2 |\n",
     [(1, "error", "not a price column")], "swap"),
    (HEAD + "| o3 | 2025-04-16 | $8 |\n", [(3, "error", "not a price")], "a date"),
    # A '|' inside a name shifts the row's columns.
    (HEAD + "| gpt-4o|mini | $0.15 | $0.60 |\n", [(3, "error", "shifted columns")], "'|'"),
    (HEAD + "| o3 | 128k | $8 |\n", [(3, "error", "not a price")], "context length"),
    (HEAD + "| o3 | $2 | 8,192 tokens |\n", [(3, "error", "not a price")], "3rd column"),
    # Units the parser does not read.
    ("| Model | Prompt (per 1,000 tokens) | Completion (per 1,000 tokens) |\n|---|---|---|\n"
     "| gpt-4 | $0.03 | $0.06 |\n", [(1, "error", "unit not read")], "($/1K)"),
    # Per 1K in one price header, no unit in the other: read per 1M.
    ("| Model | Prompt ($/1K) | Completion |\n|---|---|---|\n| gpt-4 | $0.03 | $0.06 |\n",
     [(1, "error", "unit not read")], "'Completion ($/1K)'"),
    ("| Model | Prompt (USD per million) | Completion (USD per million) |\n|---|---|---|\n"
     "| o3 | $2 | $8 |\n", [(1, "warning", "unit not read")], "($/1M)"),
    ("## Legacy prices, per 1,000 tokens\n\n| Model | Prompt | Completion |\n|---|---|---|\n"
     "| gpt-4 | $0.03 | $0.06 |\n", [(3, "error", "unit not read")], "($/1K)"),
    ("| Model | Prompt per 1K | Completion per 1K |\n|---|---|---|\n| gpt-4 | $0.03 | $0.06 |\n\n"
     "| Name | Input | Output |\n|---|---|---|\n| o3 | $2 | $8 |\n",
     [(5, "error", "unit not read")], "| Model |"),
    # ... a header without 'prompt' or 'completion' is stored, its unit ignored.
    ("| Model | Input ($/1K) | Output ($/1K) |\n|---|---|---|\n| gpt-4 | $0.03 | $0.06 |\n",
     [(1, "error", "bad name"), (1, "error", "unit not read")], "| Model |"),
    (HEAD + "| gpt-4 | $0.03 per 1,000 tokens | $0.06 per 1,000 tokens |\n",
     [(3, "error", "unit not read")], "'/1K'"),
    ("claude-3-haiku: prompt $0.25 per million tokens, completion $1.25 per million tokens\n"
     "gpt-4: prompt $0.03 per 1,000 tokens, completion $0.06 per 1,000 tokens\n",
     [(2, "error", "unit not read")], "/ 1K tokens"),
    # Numbers the parser reads as another number.
    (HEAD + "| o3 | 2e-6 | $8 |\n", [(3, "error", "number misread")], "no exponent"),
    (HEAD + "| o3 | $2 | -$8 |\n", [(3, "error", "number misread")], "no sign"),
    (HEAD + "| o3 | $2 | $8.00.1 |\n", [(3, "error", "number misread")], "'$"),
    (HEAD + "| o3 | $2,5 | $8 |\n", [(3, "error", "number misread")], "three digits"),
    ("o3: prompt 2.00 per 1K tokens, completion 8.00 per 1K tokens\n",
     [(1, "error", "number misread"), (1, "error", "number misread")], "'$"),
    (HEAD + "| o3 | 1M: $2 | $8 |\n", [(3, "error", "number misread")], "'$"),
    ("o3: $2 prompt, $8 completion\n", [(1, "error", "number misread")], "'$"),
    ("o3: prompt n/a, completion $8\n", [(1, "error", "number misread")], "'$"),
    # Implausible prices.
    (HEAD + "| o1 | $2,500 | $10,000 |\n", [(3, "warning", "implausible price")], "unit"),
    (HEAD + "| o1 | $0.0005 | $0.002 |\n", [(3, "warning", "implausible price")], "unit"),
    (HEAD + "| o1 | $0.01 | $5 |\n", [(3, "warning", "implausible price")], "unit"),
    (HEAD + "| o1 | $5 | $0.01 |\n", [(3, "warning", "implausible price")], "unit"),
    # Replaced entries: the later line wins.
    (HEAD + "| o3 | $10 | $40 |\n| o3 | $2 | $8 |\n", [(4, "warning", "replaced")], "delete"),
    # Lines that look like prices but stored nothing, with the free-text form.
    ("- o4-mini: prompt $1.10 / 1M tokens, completion $4.40 / 1M tokens\n",
     [(0, "error", "no prices"), (1, "warning", "stored nothing")],
     "'o4-mini: prompt $1.10 / 1M tokens, completion $4.40 / 1M tokens'"),
    ("| o3 | $2 |\n", [(0, "error", "no prices"), (1, "warning", "stored nothing")],
     "'o3: prompt $2 / 1M tokens"),
    # A document that stores nothing at all: every estimate is 0.
    ("<html><body>Prices</body></html>\n", [(0, "error", "no prices")], "raw file"),
])
def test_each_kind_of_finding(tmp_path, document, expected, fix):
    found = findings(tmp_path, document)
    assert summary(found) == expected
    assert fix in found[-1]["fix"]
    for f in found:
        assert f["problem"] and f["fix"]
        if f["entry"] is not None:
            assert f["entry"]["name"] in gp._parse_pricing.__wrapped__(str(tmp_path / "prices.md"))


WIDE = "| Model | Prompt ($/1M) | Completion ($/1M) | {} |\n|---|---|---|---|\n| m | $2 | $8 | {} |\n"


@pytest.mark.parametrize("column, cell, expected", [
    ("Context window", "128k", (1, "warning", "unknown column")),
    ("Batch", "50%", (1, "warning", "unknown column")),  # a share, or a discount?
    ("Cached prompt ($/1M)", "n/a", (3, "error", "not a price")),
    ("Cached prompt ($/1M)", "$3", (3, "warning", "prices out of order")),
    ("Cache write ($/1M)", "$1", (3, "warning", "prices out of order")),
    ("Long context above (tokens)", "lots", (3, "error", "not a token count")),
    ("Long prompt ($/1M)", "$4", (3, "error", "no threshold")),
    ("Flex (% of standard)", "half", (3, "error", "not a percentage")),
    ("Batch discount", "150%", (3, "error", "not a percentage")),
    ("Off-peak (% of standard)", "50%", (3, "error", "no peak hours")),
    ("Peak hours (UTC)", "9 to 5", (3, "error", "not hours")),
])
def test_later_columns(tmp_path, column, cell, expected):
    found = findings(tmp_path, WIDE.format(column, cell))
    assert summary(found) == [expected]


@pytest.mark.parametrize("column, cell", [
    ("Cached prompt ($/1K)", "0.0005"), ("Cache write 1h ($/1M)", "$4"),
    ("Long context above (tokens)", "200K"), ("Batch discount", "50%"),
    ("US inference (% of standard)", "110%"),
])
def test_later_columns_read_soundly(tmp_path, column, cell):
    assert findings(tmp_path, WIDE.format(column, cell)) == []


@pytest.mark.parametrize("document", [
    # What these findings must not mistake for faults.
    HEAD + "| gpt-4o-mini | $0.15 | $0.60 |\n| gpt-4o | $2.50 | $10 |\n",   # longer name first
    HEAD + "| gpt-4o | $2.50 | $10 |\n| gpt-4o-audio | $2.50 | $10 |\n",  # same price
    HEAD + "| o3 | $2 | $8 |\n| o3 | $2 | $8 |\n",                        # repeated alike
    "| Model | Prompt ($/1K) | Completion ($/1K) | Cached prompt ($/1K) |\n|---|---|---|---|\n"
    "| gpt-4 | $0.03 | $0.06 | 0.015 |\n",                                  # a 4th column read
    "## Prices per 1M tokens\n\n| Model | Prompt | Completion |\n|---|---|---|\n| o3 | $2 | $8 |\n",
    "gemini-2.5-pro: prompt $1.25 / 1M tokens, completion $10.00 / 1M tokens\n"
    "claude-sonnet-4 - prompt: $0.003/1K, completion: $0.015/1K\n"
    "Note: prices change often; check the provider's page.\n"
    "o3: prompt (per 1M): $2, completion (per 1M): $8\n"
    "o1: prompt (up to 200k tokens) $15, completion $60\n"
    "gpt-4.1 - prompt $200 / 1M tokens, completion $1,000 / 1M tokens\n",
])
def test_sound_documents_give_no_findings(tmp_path, document):
    assert findings(tmp_path, document) == []


def test_shadowing_reports_the_name_the_lookup_picks(tmp_path):
    found = findings(tmp_path, HEAD + "| gpt-4 | $30 | $60 |\n| gpt-4o | $2.50 | $10 |\n"
                     "| gpt-4o-mini | $0.15 | $0.60 |\n")
    # gpt-4 comes first and is in both later names, so it captures both.
    assert [(f["line"], f["lines"]) for f in found] == [(4, [3]), (5, [3])]
    table = gp._parse_pricing.__wrapped__(str(tmp_path / "prices.md"))
    assert _explain.match_model(table, "gpt-4o-mini" + VARIANT_SUFFIX)[0] == "gpt-4"


def brute_first_contained(names):
    out = []
    for i, name in enumerate(names):
        out.append(next((j for j in range(i) if names[j] in name), None))
    return out


def test_first_contained_agrees_with_the_pairwise_rule():
    rng = random.Random(11)
    alphabet = "ab-1é\u4e00"
    names = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 7))) for _ in range(600)]
    names = list(dict.fromkeys(names)) + ["x" * 300, "x" * 299 + "y"]
    assert _explain.first_contained(names) == brute_first_contained(names)
    assert _explain.first_contained(["", "a"]) == [None, 0]
    with pytest.raises(TypeError):
        _explain.first_contained(["a", b"a"])


GC_EMPTIES_NAMES = """
import gc
import sys
from itertools import repeat
from quelm import _explain

# Does this host collect inside an allocation made by C code?  The
# collector's callback sees how far a list being extended from C has got.
# A host that collects only between bytecodes (exit status 3) never runs
# a collection inside the call.
progress, built = [], []
def watch(phase, info):
    if phase == "start":
        progress.append(len(built))
gc.callbacks.append(watch)
gc.set_threshold(1)
built.extend(map(tuple, repeat([1, 2], 1000)))
gc.callbacks.remove(watch)
if not any(0 < n < 1000 for n in progress):
    sys.exit(3)

def names():
    # Built at run time, so that the list holds their only references.
    base = "".join(["model-", "x" * 20])
    return [base] + [base + "".join(["-", str(i)]) for i in range(40)]

expected = _explain.first_contained(names())
calling, reused = False, []

class Clearer:
    def __init__(self, lst):
        self.lst, self.cycle = lst, self
    def __del__(self):
        if calling:
            self.lst.clear()
            reused.append(["".join(["zq", str(i)]) * 9 for i in range(41)])

gc.set_threshold(1)
for _ in range(50):
    lst = names()
    spare = [[] for _ in range(200)]  # the call's result list is then allocated
    Clearer(lst)
    calling = True
    got = _explain.first_contained(lst)
    calling = False
    if reused:
        break
assert reused, "no collection ran inside the call"
assert got == expected, got[:5]
"""


def test_first_contained_keeps_its_names_through_a_collection(tmp_path):
    # A collection while the result is allocated runs a finaliser that
    # empties the list and reuses the memory of the names it held.
    done = run_python("-c", GC_EMPTIES_NAMES, cwd=tmp_path)
    if done.returncode == 3:
        pytest.skip("this host collects only between bytecodes, never inside the call")
    assert done.returncode == 0, done.stderr


def big_list(n):
    """A price list of `n` names shaped like real ones: families with dated
    and sized variants, each family's base name first (so later sizes are
    shadowed), at distinct prices."""
    rows = []
    for i in range(n // 5):
        base = f"vendor{i % 37}/model-{i}x"
        for j, suffix in enumerate(["", "-mini", "-pro", "-2025-01-01", "-nano"]):
            rows.append(f"| {base}{suffix} | ${1 + j}.{i % 100:02d} | ${4 + j}.00 |")
    return HEAD + "\n".join(rows) + "\n"


def test_five_thousand_names(tmp_path, capsys):
    path = tmp_path / "big.md"
    path.write_text(big_list(5000), encoding="utf8")
    start = time.perf_counter()
    found = check(*_explain.explain(gp, str(path)))
    elapsed = time.perf_counter() - start
    # Every variant of every family is shadowed by its base name, nothing else.
    assert summary(found) == [(line, "warning", "shadowed") for line in range(3, 5003)
                              if (line - 3) % 5]
    with capsys.disabled():
        print(f"\ncheck of 5,000 names: {elapsed:.3f} s")


def check_command(*args, cwd):
    return run_python("-m", "quelm", "check", *args, cwd=cwd)


@pytest.mark.parametrize("document, status", [
    (HEAD + "| o3 | $2 | $8 |\n", 0),
    (HEAD + "| o3 | $10 | $40 |\n| o3 | $2 | $8 |\n", 0),   # a warning only
    (HEAD + "| `o3` | $2 | $8 |\n", 1),
    ("", 1),   # nothing to price with
])
def test_exit_status_and_json(tmp_path, document, status):
    (tmp_path / "prices.md").write_text(document, encoding="utf8")
    out = check_command("prices.md", cwd=tmp_path)
    assert out.returncode == status, out.stderr
    as_json = check_command("prices.md", "--json", cwd=tmp_path)
    assert as_json.returncode == status
    result = json.loads(as_json.stdout)
    assert (result["errors"] > 0) == (status == 1)
    # The text gives the same findings, one block each.
    blocks = re.findall(r"^(?:line \d+|document): \w+: ", out.stdout, re.M)
    assert len(blocks) == len(result["findings"])
    for f in result["findings"]:
        where = f"line {f['line']}" if f["line"] else "document"
        assert f"{where}: {f['severity']}: {f['kind']}" in out.stdout


@pytest.mark.parametrize("source, reason", [
    ("missing.md", "No such file or directory"),
    (".", "Is a directory"),
    ("{server}/missing.md", "HTTP Error 404: Not Found"),
])
def test_unreadable_source_exits_with_2(tmp_path, server, source, reason):
    src = source.format(server=server)
    out = check_command(src, cwd=tmp_path)
    assert out.returncode == 2 and out.stdout == ""
    error = out.stderr.splitlines()[-1]
    assert error.startswith(f"python -m quelm check: error: cannot read the price list {src!r}: ")
    assert reason in error


def test_reads_a_web_address(server, tmp_path):
    out = check_command(server + "/prices.md", "--json", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["models"] == 2


def test_json_is_strict_and_text_is_escaped(tmp_path):
    # A price too large for a double, and a name with a terminal escape.
    document = HEAD + f"| o1 | 1{'0' * 400} | $1 |\n| x\x1b[2Jy z | $1 | $2 |\n"
    (tmp_path / "prices.md").write_text(document, encoding="utf8")
    out = check_command("prices.md", "--json", cwd=tmp_path)
    def refuse(constant):
        raise ValueError(constant)
    result = json.loads(out.stdout, parse_constant=refuse)
    assert [f["entry"] for f in result["findings"]][-2]["prompt_per_1M"] == "Infinity"
    text = check_command("prices.md", cwd=tmp_path).stdout
    assert "\x1b" not in text and "\\x1b[2jy" in text


def test_bundled_list_passes(tmp_path):
    found = check(*_explain.explain(gp, quelm.BUNDLED_PRICING))
    assert [f for f in found if f["severity"] == "error"] == []
    out = check_command(cwd=tmp_path)  # the default source is the bundled list
    assert out.returncode == 0, out.stdout
    assert out.stdout.startswith(quelm.BUNDLED_PRICING + ": ")


def test_readme_shows_the_real_output():
    root = pathlib.Path(__file__).resolve().parent.parent
    readme = (root / "README.md").read_text(encoding="utf8")
    section = readme.split("## Checking a price list\n", 1)[1].split("\n## ", 1)[0]
    document, shown_output = re.findall(r"```(?:markdown|console)\n(.*?)```", section, re.S)
    examples = root / "examples"
    assert document == (examples / "faulty_prices.md").read_text(encoding="utf8")
    command, _, expected = shown_output.partition("\n")
    assert command == "$ python -m quelm check examples/faulty_prices.md"
    out = check_command("examples/faulty_prices.md", cwd=root)
    assert out.returncode == 1 and out.stdout == expected
