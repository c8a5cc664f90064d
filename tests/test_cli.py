"""``python -m quelm``: the exercise, ``inspect`` and ``estimate``, run as a
user runs them (a fresh interpreter in a scratch folder)."""

import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys

import pytest

import quelm as quelm_package
from conftest import run_python
from quelm import _terminal
from quelm import genai_pricing as gp

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "pricing_table.md"
PRICED_4O = {"prompt_cost": 0.0538725, "completion_cost": 0.07091, "total_cost": 0.12478249999999999}


def quelm(*args, cwd):
    return run_python("-m", "quelm", *args, cwd=cwd)


@pytest.fixture
def here(tmp_path):
    """A scratch folder holding a copy of the example price list."""
    shutil.copy(EXAMPLE, tmp_path / "pricing_table.md")
    return tmp_path


def example_table():
    return gp._parse_pricing.__wrapped__(str(EXAMPLE))


def test_exercise_with_a_model_no_entry_matches_fails(here):
    # Its zero estimate is printed, then said to be no price at all.
    out = quelm("--pricing", "pricing_table.md", "--model", "zzz", cwd=here)
    assert out.returncode == 1
    assert "'total_cost': 0.0" in out.stdout
    assert out.stderr.startswith("python -m quelm: error: no entry of the price list "
                                 "'pricing_table.md' matches model 'zzz'")


@pytest.mark.parametrize("args, model", [([], None), (["--model", "GPT-4o"], "GPT-4o")])
def test_without_command_runs_the_exercise(here, monkeypatch, args, model):
    out = quelm("--pricing", "pricing_table.md", *args, cwd=here)
    assert out.returncode == 0, out.stderr
    monkeypatch.setattr(gp, "PRICING_URL", str(EXAMPLE))
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        gp.exercise_estimate_costs(model)
    assert out.stdout == printed.getvalue()


def test_inspect_prints_the_table_in_order_and_aligned(here):
    out = quelm("inspect", "pricing_table.md", cwd=here)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    table = example_table()
    assert lines[0] == f"pricing_table.md: {len(table)} models, prices in $ per 1M tokens"
    header, rows = lines[2], lines[3:]
    assert header.split() == ["model", "prompt", "completion"]
    shown = []
    for row in rows:
        name, prompt, completion = row.split()
        shown.append((name, prompt, completion))
        # Numbers are right-aligned under their headings.
        assert row.index(prompt) + len(prompt) == header.index("prompt") + len("prompt")
        assert len(row) == len(header)
    assert [s[0] for s in shown] == list(table)
    for (_, prompt, completion), rates in zip(shown, table.values()):
        for text, rate in ((prompt, rates["prompt_per_1M"]), (completion, rates["completion_per_1M"])):
            assert (None if text == "-" else float(text.replace(",", ""))) == rate


def test_inspect_json_is_the_parsed_table(here):
    out = quelm("inspect", "pricing_table.md", "--json", cwd=here)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["source"] == "pricing_table.md"
    assert list(result["models"].items()) == list(example_table().items())


AUTHORED = """\
# Prices
| Model | Prompt per 1K | Completion |
|---|---|---|
| alpha | 1 | 2 |
| beta | - | n/a |
| gamma | $3 |
- delta: prompt $1, completion $2
epsilon: prompt $4 / 1M
alpha - completion $5
Prices above are illustrative, see the vendor's page.
"""


def test_inspect_explain_json(tmp_path):
    (tmp_path / "prices.md").write_text(AUTHORED, encoding="utf8")
    out = quelm("inspect", "prices.md", "--explain", "--json", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert list(result["models"].items()) == [
        ("alpha", {"prompt_per_1M": None, "completion_per_1M": 5.0,
                   "line": 9, "kind": "free text", "overrides": [4]}),
        ("epsilon", {"prompt_per_1M": 4.0, "completion_per_1M": None,
                     "line": 8, "kind": "free text", "overrides": []}),
    ]
    assert [(s["line"], s["reason"]) for s in result["stored_nothing"]] == [
        (5, "no price"), (6, "few cells"), (7, "no model name")]
    assert [s["text"] for s in result["stored_nothing"]] == AUTHORED.splitlines()[4:7]


def test_inspect_explain_text(tmp_path):
    (tmp_path / "prices.md").write_text(AUTHORED, encoding="utf8")
    out = quelm("inspect", "prices.md", "--explain", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[2].split() == ["model", "prompt", "completion", "from"]
    assert lines[3].split() == ["alpha", "-", "5.00", "line", "9,", "free", "text",
                                "(overrides", "line", "4)"]
    assert lines[4].split() == ["epsilon", "4.00", "-", "line", "8,", "free", "text"]
    rest = "\n".join(lines[5:])
    for number in (5, 6, 7):
        assert f"line {number}" in rest
        assert AUTHORED.splitlines()[number - 1] in rest
    assert "line 10" not in rest and "illustrative" not in rest  # prose is not listed


def test_inspect_escapes_control_characters(tmp_path):
    (tmp_path / "prices.md").write_text("| \x1b[2Jwipe | $1 | $2 |\n", encoding="utf8")
    out = quelm("inspect", "prices.md", "--explain", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "\x1b" not in out.stdout
    assert "\\x1b[2jwipe" in out.stdout


def test_inspect_reads_a_web_address(tmp_path, server):
    out = quelm("inspect", server + "/prices.md", "--json", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    expected = gp._parse_pricing.__wrapped__(server + "/prices.md")
    assert expected and list(json.loads(out.stdout)["models"].items()) == list(expected.items())


ESTIMATE = ["estimate", "--prompt-tokens", "21549", "--completion-tokens", "7091",
            "--pricing", "pricing_table.md"]


@pytest.mark.parametrize("model, name, match, module", [
    ("gpt-4o", "gpt-4o", "exact", "gpt-4o"),
    ("GPT-4o", "gpt-4o", "exact", "gpt-4o"),
    ("gpt-4o-2024-08-06", "gpt-4o", "canonical", "gpt-4o"),  # its date dropped
    ("openai/gpt-4o", "gpt-4o", "canonical", "gpt-4o"),
    # The module's substring rule takes the first related name: gpt-4o's.
    ("gpt-4o-mini-2024-07-18", "gpt-4o-mini", "canonical", "gpt-4o"),
])
def test_estimate_json_names_the_entry(here, model, name, match, module):
    out = quelm(*ESTIMATE, "--model", model, "--json", cwd=here)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["entry"] == {"name": name, "match": match, **example_table()[name]}
    assert result["module_entry"] == module
    assert result["usage"] == {"prompt": 21549, "completion": 7091}
    if name == "gpt-4o":
        assert result["estimated_costs"] == PRICED_4O
        assert list(result["estimated_costs"]) == list(PRICED_4O)


@pytest.mark.parametrize("model, entry_line, module_line", [
    ("GPT-4o", "entry          gpt-4o (exact name)", None),
    ("gpt-4o-mini-2024-07-18", "entry          gpt-4o-mini (canonical form: 'gpt-4o-mini')",
     "module         estimate_costs looks the name up by its own rule and would take the "
     "entry 'gpt-4o'"),
])
def test_estimate_text(here, model, entry_line, module_line):
    out = quelm(*ESTIMATE, "--model", model, "--cached-tokens", "1000", "--reasoning-tokens",
                "91", cwd=here)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == f"model          {model}"
    assert lines[1] == entry_line
    assert [line.split()[0] for line in lines[2:7]] == \
        ["priced", "prompt", "cached", "completion", "reasoning"]
    assert lines[3].startswith("prompt         20,549 tokens at $")
    assert lines[7].startswith("total          $")
    assert ("cached prompt: no price in the list, priced as prompt" in out.stdout)
    assert (lines[-1] == module_line) if module_line else not lines[-1].startswith("module")


def test_estimate_classes_tiers_and_time(tmp_path):
    (tmp_path / "prices.md").write_text(
        "| Model | Prompt | Completion | Cached prompt | Batch (% of standard) "
        "| Off-peak (% of standard) | Peak hours (UTC) |\n|---|---|---|---|---|---|---|\n"
        "| m | $2 | $8 | $0.50 | 50% | 25% | Mon-Fri 01:00-04:00 |\n", encoding="utf8")
    args = ["estimate", "--model", "m", "--pricing", "prices.md", "--json",
            "--prompt-tokens", "3000000", "--completion-tokens", "1000000",
            "--cached-tokens", "2000000"]
    costs = {}
    for extra in ([], ["--batch"], ["--at", "2026-12-08T02:00:00Z"], ["--at", "2026-12-12T02:00"]):
        out = quelm(*args, *extra, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        result = json.loads(out.stdout)
        costs[" ".join(extra)] = (result["estimated_costs"]["total_cost"], result["priced_as"])
    # 1M at $2, 2M cached at $0.50, 1M out at $8: $11; half in batch; a Tuesday
    # 02:00 is peak; a Saturday is off-peak, a quarter of it.
    assert costs == {"": (11.0, "standard"), "--batch": (5.5, "batch"),
                     "--at 2026-12-08T02:00:00Z": (11.0, "standard"),
                     "--at 2026-12-12T02:00": (2.75, "standard, off-peak")}
    out = quelm(*args, cwd=tmp_path)
    assert "the time of the call is not known: priced at the peak price" in out.stdout


@pytest.mark.parametrize("extra, complaint", [
    (["--cached-tokens", "5"], "--prompt-tokens counts every prompt token of the call"),
    (["--reasoning-tokens", "3", "--audio-completion-tokens", "3"],
     "--completion-tokens counts every completion token of the call"),
])
def test_estimate_parts_cannot_exceed_the_whole(tmp_path, extra, complaint):
    out = quelm("estimate", "--model", "o3", "--prompt-tokens", "4", "--completion-tokens", "5",
                *extra, cwd=tmp_path)
    assert out.returncode == 1 and complaint in out.stderr


def test_estimate_without_a_completion_rate(here):
    out = quelm(*ESTIMATE, "--model", "text-embedding-ada-002", cwd=here)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[3].startswith("prompt")
    assert lines[4] == "completion  7,091 tokens at no price = $0.00"
    assert "note        completion: no price in the list, not priced" in lines


@pytest.mark.parametrize("command", [
    ["--pricing", "{src}"], ["inspect", "{src}"], [*ESTIMATE[:-1], "{src}", "--model", "o3"]])
@pytest.mark.parametrize("source, reason", [
    ("missing.md", "No such file or directory"),
    (".", "Is a directory"),
    ("{server}/missing.md", "HTTP Error 404: Not Found"),
    ("\x1b[2Jgone.md", "No such file or directory"),
])
def test_unreadable_source(tmp_path, server, command, source, reason):
    src = source.format(server=server)
    out = quelm(*[a.format(src=src) for a in command], cwd=tmp_path)
    assert out.returncode == 1
    # Without a command the exercise's zero estimate is printed first.
    assert out.stdout == ("" if command[0] != "--pricing" else
                          str({"model": "gpt-4.1", "usage": {"prompt_tokens": 21549,
                               "completion_tokens": 7091}, "estimated_costs": {"total_cost": 0.0}}) + "\n")
    [error] = out.stderr.splitlines()  # the module's warning is not repeated
    name = "python -m quelm" + ("" if command[0] == "--pricing" else " " + command[0])
    assert error.startswith(f"{name}: error: cannot read the price list {src!r}")
    assert reason in error and "\x1b" not in error


@pytest.mark.parametrize("args", [[], ["inspect", "--json"], ESTIMATE[:-2] + ["--model", "o3", "--json"]])
def test_commands_read_the_bundled_list_by_default(tmp_path, args):
    out = quelm(*args, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    bundled = gp._parse_pricing.__wrapped__(quelm_package.BUNDLED_PRICING)
    if not args:
        gpt41 = bundled["gpt-4.1"]
        assert f"'prompt_cost': {gpt41['prompt_per_1M'] * (21549 / 1000000.0)}" in out.stdout
    elif args[0] == "inspect":
        assert json.loads(out.stdout)["models"] == bundled
    else:
        result = json.loads(out.stdout)
        assert result["pricing"] == quelm_package.BUNDLED_PRICING
        assert result["entry"] == {"name": "o3", "match": "exact", **bundled["o3"]}
        assert result["estimated_costs"]["total_cost"] > 0


def test_json_is_strict(tmp_path):
    (tmp_path / "huge.md").write_text("| big | 1" + "0" * 400 + " | $2 |\n", encoding="utf8")
    for args in (["inspect", "huge.md", "--json"],
                 ["estimate", "--model", "big", "--prompt-tokens", "0", "--completion-tokens", "1",
                  "--pricing", "huge.md", "--json"]):
        out = quelm(*args, cwd=tmp_path)
        assert out.returncode == 0, out.stderr

        def refuse(constant):
            raise ValueError(constant)
        result = json.loads(out.stdout, parse_constant=refuse)
        rates = result["models"]["big"] if args[0] == "inspect" else result["entry"]
        assert rates["prompt_per_1M"] == "Infinity" and rates["completion_per_1M"] == 2.0
    assert result["estimated_costs"]["prompt_cost"] == "NaN"  # inf x 0 tokens


def test_interrupt_exits_130_without_a_traceback(tmp_path):
    with socket.socket() as listener:  # accepts, never answers
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        url = "http://127.0.0.1:%d/prices.md" % listener.getsockname()[1]
        env = dict(os.environ, PYTHONPATH=str(pathlib.Path(quelm_package.__file__).parent.parent))
        # The command starts as from a terminal, where SIGINT is not ignored.
        # A shell's background job (CI, say) starts with it ignored, which a
        # child inherits; a handler is reset to the default on exec instead.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            proc = subprocess.Popen([sys.executable, "-m", "quelm", "inspect", url], cwd=tmp_path,
                                    env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        finally:
            if previous is not None:  # None: a handler not set from Python, left in place
                signal.signal(signal.SIGINT, previous)
        conn, _ = listener.accept()
        with conn:
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert out == "" and "Traceback" not in err


@pytest.mark.parametrize("model, hint", [
    ("clade-sonet", "closest names: 'claude-sonnet-4'"),
    ("zzz", "python -m quelm inspect pricing_table.md lists its 14 names"),
])
def test_estimate_unknown_model(here, model, hint):
    out = quelm(*ESTIMATE, "--model", model, cwd=here)
    assert out.returncode == 1 and out.stdout == ""
    assert out.stderr == (
        f"python -m quelm estimate: error: no entry of the price list 'pricing_table.md' matches "
        f"model {model!r}, neither exactly nor by its canonical form; {hint}\n")


def test_estimate_unknown_model_hint_is_quoted_and_escaped(here):
    # The suggested command names the source as a shell word, and a source
    # holding a control character cannot reach the terminal raw.
    (here / "pricing_table.md").rename(here / "my\x1b[2J list.md")
    out = quelm(*ESTIMATE[:-2], "--pricing", "my\x1b[2J list.md", "--model", "zzz", cwd=here)
    assert out.returncode == 1 and "\x1b" not in out.stderr
    assert out.stderr.endswith("; python -m quelm inspect 'my\\x1b[2J list.md' lists its 14 names\n")


def test_estimate_on_a_list_without_prices(tmp_path):
    (tmp_path / "empty.md").write_text("# Nothing yet\n", encoding="utf8")
    out = quelm("estimate", "--model", "o3", "--prompt-tokens", "1", "--completion-tokens", "1",
                "--pricing", "empty.md", cwd=tmp_path)
    assert out.returncode == 1
    assert out.stderr.rstrip().endswith("the price list holds no prices")


@pytest.mark.parametrize("option", ["--prompt-tokens", "--completion-tokens"])
@pytest.mark.parametrize("value, complaint", [
    ("-1", "a token count cannot be negative: '-1'"),
    ("x", "not a whole number: 'x'"),
    ("1.5", "not a whole number: '1.5'"),
    ("", "not a whole number: ''"),
    ("1" + "0" * 309, "too large for a token count"),
    (str(2**63 + 1), "too large for a token count (more than 2**63)"),
    ("9" * 5000, "too large for a token count"),
])
def test_counts_refused_by_the_argument_parser(tmp_path, option, value, complaint):
    counts = {"--prompt-tokens": "1", "--completion-tokens": "1", option: value}
    out = quelm("estimate", "--model", "o3", *[x for kv in counts.items() for x in kv],
                cwd=tmp_path)
    assert out.returncode == 2 and out.stdout == ""
    assert f"error: argument {option}: {complaint}" in out.stderr


@pytest.mark.parametrize("args, complaint", [
    (["estimate", "--prompt-tokens", "1", "--completion-tokens", "1"],
     "the following arguments are required: --model"),
    (["inspect", "a.md", "\x1b[2J"], "unrecognized arguments: \\x1b[2J"),
    (["--model", "o3", "inspect", "x.md"], "--pricing and --model before 'inspect'"),
    (["price"], "invalid choice: 'price'"),
    (["estimate", "--model", " ", "--prompt-tokens", "1", "--completion-tokens", "1"],
     "argument --model: a model name cannot be empty"),
])
def test_usage_errors(tmp_path, args, complaint):
    out = quelm(*args, cwd=tmp_path)
    assert out.returncode == 2 and out.stdout == ""
    assert complaint in out.stderr and "\x1b" not in out.stderr


@pytest.mark.parametrize("command, options", [
    ([], ["--pricing", "--model", "inspect", "estimate"]),
    (["inspect"], ["SOURCE", "--explain", "--json"]),
    (["estimate"], ["--model", "--prompt-tokens", "--completion-tokens", "--pricing", "--json"]),
])
def test_help(tmp_path, monkeypatch, command, options):
    monkeypatch.setenv("COLUMNS", "40")
    out = quelm(*command, "--help", cwd=tmp_path)
    assert out.returncode == 0
    # The default list's path is shown whole, however narrow the terminal.
    assert quelm_package.BUNDLED_PRICING in out.stdout
    assert re.match(rf"usage: python -m quelm {' '.join(command)}", out.stdout)
    for option in options:
        assert option in out.stdout


@pytest.mark.parametrize("blocked, args, said", [
    ("msgspec", ["bill", "run.jsonl"], "python -m quelm bill: error: needs the package 'msgspec'"),
    ("quelm.genai_pricing", [], "python -m quelm: error: cannot load 'quelm.genai_pricing'"),
])
def test_a_missing_dependency_is_named(tmp_path, blocked, args, said):
    # As if it were not installed: its import fails as a missing one does.
    code = (f"import sys, runpy; sys.modules[{blocked!r}] = None; sys.argv = ['quelm', *{args!r}]; "
            "runpy.run_module('quelm', run_name='__main__', alter_sys=True)")
    out = run_python("-c", code, cwd=tmp_path)
    assert out.returncode == 1 and out.stderr.startswith(said), out.stderr
    assert "Traceback" not in out.stderr


def test_only_bill_loads_msgspec(tmp_path):
    code = ("import sys; from quelm import cli; cli.main(['check']); cli.main(['inspect']); "
            "cli.main(['estimate', '--model', 'o3', '--prompt-tokens', '1', '--completion-tokens', "
            "'1']); print('msgspec' in sys.modules)")
    out = run_python("-c", code, cwd=tmp_path)
    assert out.stdout.splitlines()[-1] == "False", out.stderr


@pytest.mark.parametrize("amount, text", [
    (None, "-"), (0.0, "0.00"), (2.5, "2.50"), (1234567.125, "1,234,567.125"),
    (1e-8, "0.00000001"), (4.2e-9, "4.2e-09"), (-3e-12, "-3e-12"), (float("inf"), "inf"),
])
def test_dollar_amounts_never_hide_a_cost(amount, text):
    assert _terminal.dollars(amount) == text
