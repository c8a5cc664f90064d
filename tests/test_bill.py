"""``python -m quelm bill``: each line shape, each reason a line is skipped,
and the command's outputs, checked against the plain-Python rendition in
tests/plain/ref_bill.py."""

import csv
import gzip
import io
import json
import os
import pathlib
import subprocess

import pytest

from plain import runs
import quelm
from plain import ref_bill
from conftest import run_python
from quelm import _billing, _pricelist, cli
from quelm._billing import reading

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "pricing_table.md"
SAMPLE = ROOT / "examples" / "responses.jsonl"

CHAT = {"id": "c1", "object": "chat.completion", "model": "gpt-4o-2024-08-06",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi."}}],
        "usage": {"prompt_tokens": 12, "completion_tokens": 3, "total_tokens": 15}}
GEMINI_REST = {"candidates": [{"content": {"parts": [{"text": "Hi."}], "role": "model"}}],
               "usageMetadata": {"promptTokenCount": 40, "candidatesTokenCount": 9},
               "modelVersion": "gemini-2.5-flash"}


def line(value):
    return json.dumps(value).encode()


@pytest.mark.parametrize("record, model, expected", [
    (CHAT, None, ("gpt-4o-2024-08-06", 12, 3)),
    # The Responses API names its counts input and output tokens.
    ({"object": "response", "model": "gpt-4.1", "status": "completed", "error": None,
      "usage": {"input_tokens": 800, "output_tokens": 120, "total_tokens": 920}},
     None, ("gpt-4.1", 800, 120)),
    ({"model": "gpt-4.1", "usage": {"input_tokens": 0, "output_tokens": 5}}, None, ("gpt-4.1", 0, 5)),
    # An embedding reports no completion: 0, not a count of some text.
    ({"model": "text-embedding-ada-002", "usage": {"prompt_tokens": 8, "total_tokens": 8}},
     None, ("text-embedding-ada-002", 8, 0)),
    ({"custom_id": "r1", "response": {"status_code": 200, "body": CHAT}, "error": None},
     None, ("gpt-4o-2024-08-06", 12, 3)),
    (GEMINI_REST, None, ("gemini-2.5-flash", 40, 9)),
    ({"candidates": [], "model_version": "gemini-2.5-pro",
      "usage_metadata": {"prompt_token_count": 30, "candidates_token_count": None}},
     None, ("gemini-2.5-pro", 30, 0)),
    ({"key": "r7", "response": GEMINI_REST}, None, ("gemini-2.5-flash", 40, 9)),
    ({"model": "claude-sonnet-4", "usage": {"prompt_tokens": 4000, "completion_tokens": 1000}},
     None, ("claude-sonnet-4", 4000, 1000)),
    ({"usage": {"prompt_tokens": 5, "completion_tokens": 1}}, "o3", ("o3", 5, 1)),
    (CHAT, "o3", ("o3", 12, 3)),
    # What the fast decoder refuses and JSON allows still gets billed.
    ({**CHAT, "choices": [{"message": {"content": "\ud83d"}}]}, None, ("gpt-4o-2024-08-06", 12, 3)),
    ({**CHAT, "usage": {"prompt_tokens": 2**70 // 2**10, "completion_tokens": 0}},
     None, ("gpt-4o-2024-08-06", 2**60, 0)),
])
def test_line_shapes(tmp_path, record, model, expected):
    assert read_line(tmp_path, line(record), model) == expected
    name, usage = ref_bill.read_line(line(record).decode(), model)
    assert (name, usage.prompt_size, sum(usage.counts) - usage.prompt_size) == expected


def read_line(tmp_path, raw, model=None):
    """(model, prompt tokens, completion tokens) of one line as bill reads
    it (every class of each side together), or the reason it is skipped."""
    path = tmp_path / "one.jsonl"
    path.write_bytes(raw + b"\n")
    result = _billing.bill([str(path)], _pricelist.read(str(EXAMPLE)), model)
    if result["skipped"]:
        [reason] = result["skipped"]
        return reason
    [row] = result["models"]
    return row["model"], row["prompt_tokens"], row["completion_tokens"]


@pytest.mark.parametrize("raw, reason", [
    (b'{"model": "gpt-4o", "usage": {"prompt_tokens": 1', "not JSON"),
    (b"[1, 2]", "not JSON"),
    (b"\xff\xfe{}", "not JSON"),
    (b'{"model": "gpt-4o", "usage": {"prompt_tokens": NaN, "completion_tokens": 1}}', "not JSON"),
    (line({"usage": CHAT["usage"]}), "no model"),
    (line({"model": " ", "usage": CHAT["usage"]}), "no model"),
    (line({"model": 4, "usage": CHAT["usage"]}), "no model"),
    (line({"custom_id": "r", "response": {"status_code": 429, "body": {"error": {}}}, "error": None}),
     "error status"),
    (line({"custom_id": "r", "response": None, "error": {"code": "batch_expired"}}), "error status"),
    (line({"key": "r", "status": {"code": 3, "message": "invalid"}}), "error status"),
    (line({"key": "r", "error": {"message": "quota"}}), "error status"),
    (line({"model": "gpt-4o", "status": "failed", "error": {"code": "server_error"}}), "error status"),
    (line({"model": "gpt-4o", "choices": []}), "no usage"),
    (line({"model": "gpt-4o", "usage": {}}), "no usage"),
    (line({"model": "gpt-4o", "usage": {"total_tokens": 9}}), "no usage"),
    (line({"modelVersion": "gemini-2.5-flash", "usageMetadata": {"totalTokenCount": 9}}), "no usage"),
    (line({"custom_id": "r", "response": {"status_code": 200, "body": "gone"}}), "no usage"),
    (line({"model": "gpt-4o", "usage": "12 tokens"}), "bad usage"),
    (line({"model": "gpt-4o", "usage": {"prompt_tokens": 12.0, "completion_tokens": 3}}), "bad usage"),
    (line({"model": "gpt-4o", "usage": {"prompt_tokens": "12", "completion_tokens": 3}}), "bad usage"),
    (line({"model": "gpt-4o", "usage": {"prompt_tokens": True, "completion_tokens": 3}}), "bad usage"),
    (line({"model": "gpt-4o", "usage": {"prompt_tokens": -5, "completion_tokens": 3}}), "bad usage"),
    (line({"model": "gpt-4o", "usage": {"prompt_tokens": 10**30, "completion_tokens": 3}}), "bad usage"),
    (line({"modelVersion": "g", "usageMetadata": {"promptTokenCount": 1.5}}), "bad usage"),
    (b'{"model": "gpt-4o", "usage": {"prompt_tokens": 1e400, "completion_tokens": 1}}', "bad usage"),
    (line({"custom_id": "r", "result": {"type": "errored", "error": {"type": "error"}}}), "error status"),
    (line({"custom_id": "r", "result": {"type": "expired"}}), "error status"),
])
def test_skip_reasons(tmp_path, raw, reason):
    assert read_line(tmp_path, raw) == reason
    assert ref_bill.read_line(raw.decode("utf8", "replace")) == reason


# Nested past what the host's parsers follow: refused, not a crash.  How
# deep they follow is the host's (its recursion limit for C code), so a line
# nested less deeply is read as any other, as the standard parser reads it.
@pytest.mark.parametrize("raw", [
    b"[" * 100_000 + b"]" * 100_000,
    b'{"key": 1, "response": ' * 1400 + b'[]' + b"}" * 1400,
    b'{"key": 1, "response": ' * 2000 + b'[]' + b"}" * 2000,
    b'{"key": 1, "response": ' * 5000 + b'{}' + b"}" * 5000,
    b'{"key": 1, "response": ' * 100_000 + b'{}' + b"}" * 100_000,
])
def test_deep_nesting_as_the_host_reads_it(tmp_path, raw):
    plain = ref_bill.read_line(raw.decode())
    if not isinstance(plain, str):  # read: as (model, prompt, completion)
        name, usage = plain
        plain = (name, usage.prompt_size, sum(usage.counts) - usage.prompt_size)
    assert read_line(tmp_path, raw) == plain


def bill(*args, capsys):
    code = cli.main(["bill", *map(str, args)])
    out = capsys.readouterr()
    return code, out.out, out.err


@pytest.fixture
def run(tmp_path):
    """A generated run of every shape, as a plain and a gzipped file."""
    path = tmp_path / "run.jsonl"
    runs.write_run(path, 2000)
    with open(path, "rb") as f, gzip.open(tmp_path / "run.jsonl.gz", "wb") as z:
        z.write(f.read())
    return path


def test_json_agrees_with_the_plain_loop_for_plain_gzip_and_stdin(run, capsys):
    code, out, err = bill(run, "--json", capsys=capsys)
    assert code == 0 and "house-model-7b" in err
    result = json.loads(out)
    models, skipped = ref_bill.tally(str(run), _pricelist.read(quelm.BUNDLED_PRICING))
    runs.check(result, models, skipped)
    broken = [n for n, text in enumerate(runs.lines(2000), 1) if text.startswith('{"trunc')]
    assert result["skipped"]["not JSON"]["first"] == [f"{run}:{n}" for n in broken[:5]]
    assert result["unpriced"] == ["house-model-7b"]
    assert result["total"]["calls"] == sum(m["calls"] for m in models.values())
    assert result["total"]["tokens"] == {c: sum(m["tokens"][i] for m in models.values())
                                         for i, c in enumerate(ref_bill.CLASSES)}

    code, out_gz, _ = bill(f"{run}.gz", "--json", capsys=capsys)
    assert code == 0
    assert json.loads(out_gz)["models"] == result["models"]
    with open(run, "rb") as f:
        piped = run_python("-m", "quelm", "bill", "-", "--json", cwd=run.parent, stdin=f, text=False)
    assert piped.returncode == 0, piped.stderr
    from_stdin = json.loads(piped.stdout)
    assert from_stdin["models"] == result["models"]
    assert from_stdin["skipped"]["not JSON"]["first"][0] == f"stdin:{broken[0]}"


def test_csv_gives_the_json_facts(run, capsys):
    _, out, _ = bill(run, "--json", capsys=capsys)
    facts = json.loads(out)
    _, out, _ = bill(run, "--csv", capsys=capsys)
    rows = list(csv.DictReader(io.StringIO(out)))
    models = [r for r in rows if r["kind"] == "model"]
    assert [(r["name"], int(r["calls"]), r["entry"], r["match"], float(r["total_cost"]))
            for r in models] == \
        [(m["model"], m["calls"], (m["entry"] or {}).get("name", ""),
          (m["entry"] or {}).get("match", "none"), m["total_cost"])
         for m in facts["models"]]
    for r, m in zip(models, facts["models"]):
        assert {c: int(r[f"tokens_{c}"]) for c in m["tokens"]} == m["tokens"]
        assert {c: float(r[f"cost_{c}"]) for c in m["dollars"]} == m["dollars"]
    (total,) = [r for r in rows if r["kind"] == "total"]
    assert float(total["total_cost"]) == facts["total"]["total_cost"]
    assert {r["name"]: (int(r["calls"]), r["first_lines"].split()) for r in rows
            if r["kind"] == "skipped"} == \
        {k: (v["lines"], v["first"]) for k, v in facts["skipped"].items()}


@pytest.mark.parametrize("name, cell", [
    ("=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""),
    ("+1", "'+1"), ("-1", "'-1"), ("@SUM(A1)", "'@SUM(A1)"), ("\tx", "'\tx"),
    ("a\rb", '"a\rb"'), ("a,b", '"a,b"'),
])
def test_csv_cells_are_safe_in_a_spreadsheet(tmp_path, capsys, name, cell):
    path = tmp_path / "run.jsonl"
    path.write_text(json.dumps({"model": name, "usage": CHAT["usage"]}) + "\n")
    code, out, _ = bill(path, "--csv", capsys=capsys)
    assert code == 0
    assert f"model,{cell}," in out


def test_text_names_the_entry_and_warns_of_unpriced_models(capsys):
    code, out, err = bill(SAMPLE, capsys=capsys)
    assert code == 0
    rows = {r.split()[0]: r for r in out.splitlines() if r and not r.startswith(" ")}
    assert rows["gpt-4o-2024-08-06"].split()[1:] == \
        ["2", "2,100", "555", "gpt-4o-2024-08-06", "(exact)", "$0.0108"]
    # 1,200 new prompt tokens at $3, 30,000 cached at $0.30, 2,000 written at
    # $3.75, 900 out (600 of them thinking) at $15: $0.0336.
    assert rows["claude-sonnet-4-5-20250929"].split()[1:] == \
        ["1", "33,200", "900", "cached", "30,000,", "write", "2,000,", "reasoning", "600",
         "claude-sonnet-4-5-20250929", "(exact)", "$0.0336"]
    assert "NO ENTRY: priced at $0" in rows["house-model-7b"]
    assert "priced at $0: house-model-7b" in out and "warning:" in err
    assert "  not JSON            1  (" in out


@pytest.mark.parametrize("flag", [[], ["--strict"]])
def test_the_unpriced_warning_follows_the_bill(tmp_path, flag):
    # On a terminal both streams interleave: the warning must come after the
    # table it speaks of, not above it.
    merged = run_python("-m", "quelm", "bill", str(SAMPLE), *flag,
                        cwd=tmp_path, capture_output=False, stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT)
    lines = merged.stdout.splitlines()
    assert lines[0].startswith("model ") and "matched no entry" in lines[-1]
    assert merged.returncode == (1 if flag else 0)


def test_an_empty_model_is_refused(capsys):
    with pytest.raises(SystemExit):
        cli.main(["bill", str(SAMPLE), "--model", ""])
    assert "a model name cannot be empty" in capsys.readouterr().err


@pytest.mark.parametrize("model, code", [(None, 1), ("gpt-4o", 0)])
def test_strict_fails_on_unpriced_models(model, code, capsys):
    args = [SAMPLE, "--strict", "--json"] + (["--model", model] if model else [])
    got, out, err = bill(*args, capsys=capsys)
    assert got == code
    assert json.loads(out)["unpriced"] == ([] if model else ["house-model-7b"])
    assert ("error: 1 model(s) matched no entry" in err) == (code == 1)


def test_names_are_escaped_and_json_stays_strict(tmp_path, capsys):
    prices = tmp_path / "prices.md"
    prices.write_text("| Model | Prompt | Completion |\n|---|---|---|\n"
                      f"| big | ${'9' * 400} | $1 |\n")
    runs = tmp_path / "run.jsonl"
    usage = {"prompt_tokens": 1, "completion_tokens": 1}
    runs.write_text(json.dumps({"model": "big\x1b[2J", "usage": usage}) + "\n"
                    + json.dumps({"model": "odd\ud800", "usage": usage}) + "\n"
                    + json.dumps({"model": "big", "usage": usage}) + "\n")
    code, out, _ = bill(runs, "--pricing", prices, capsys=capsys)
    assert code == 0 and "big\\x1b[2J" in out and "\x1b" not in out and "odd\\ud800" in out
    code, out, _ = bill(runs, "--pricing", prices, "--csv", capsys=capsys)
    assert code == 0 and "odd\\ud800" in out
    code, out, _ = bill(runs, "--pricing", prices, "--json", capsys=capsys)
    assert code == 0
    assert json.loads(out)["models"][0]["dollars"]["prompt"] == "Infinity"
    assert json.loads(out)["total"]["total_cost"] == "Infinity"


@pytest.mark.parametrize("args, message", [
    (["{tmp}/run.jsonl", "--pricing", "{tmp}/missing.md"], "cannot read the price list"),
    (["{tmp}/missing.jsonl", "--pricing", str(EXAMPLE)], "cannot read '{tmp}/missing.jsonl'"),
    (["{tmp}/bad.gz", "--pricing", str(EXAMPLE)], "cannot read '{tmp}/bad.gz'"),
    (["{tmp}/cut.gz", "--pricing", str(EXAMPLE)], "cannot read '{tmp}/cut.gz'"),
    (["{tmp}/garbled.gz", "--pricing", str(EXAMPLE)], "cannot read '{tmp}/garbled.gz'"),
])
def test_unreadable_input_is_one_error_line(tmp_path, capsys, args, message):
    (tmp_path / "run.jsonl").write_text("")
    (tmp_path / "bad.gz").write_bytes(b"not gzip at all")
    packed = gzip.compress(SAMPLE.read_bytes())
    (tmp_path / "cut.gz").write_bytes(packed[:len(packed) // 2])
    (tmp_path / "garbled.gz").write_bytes(packed[:20] + bytes(b ^ 0x5A for b in packed[20:]))
    code, out, err = bill(*[a.format(tmp=tmp_path) for a in args], capsys=capsys)
    assert code == 1 and out == ""
    assert err.splitlines()[-1].startswith("python -m quelm bill: error: " + message.format(tmp=tmp_path))


@pytest.mark.parametrize("packed", [False, True])
def test_a_byte_order_mark_does_not_lose_the_first_line(tmp_path, capsys, packed):
    # A BOM begins the file only: the same mark inside a later line is no JSON.
    call = json.dumps({"model": "gpt-4o", "usage": {"prompt_tokens": 10, "completion_tokens": 5}})
    data = ("\ufeff" + call + "\r\n" + call + "\r\n" + "\ufeff" + call + "\n").encode("utf8")
    path = tmp_path / ("run.jsonl.gz" if packed else "run.jsonl")
    path.write_bytes(gzip.compress(data) if packed else data)
    code, out, _ = bill(path, "--json", capsys=capsys)
    result = json.loads(out)
    assert code == 0 and result["total"]["calls"] == 2
    assert result["skipped"] == {"not JSON": {"lines": 1, "first": [f"{path}:3"]}}


def test_a_run_with_nothing_billed_fails(tmp_path, capsys):
    path = tmp_path / "run.jsonl"
    path.write_text('{"model": "gpt-4o", "choices": []}\nnot json\n')
    code, out, err = bill(path, capsys=capsys)
    assert code == 1 and "skipped 2 of 2 lines" in out
    assert err.splitlines()[-1] == "python -m quelm bill: error: no line of the input could be billed"


def test_a_line_too_long_is_skipped_in_bounded_memory(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(reading, "BATCH_BYTES", 64)
    monkeypatch.setattr(reading, "MAX_LINE", 1000)
    call = json.dumps({"model": "gpt-4o", "usage": CHAT["usage"]})
    long = '{"model": "gpt-4o", "pad": "' + "x" * 5000 + '", "usage": {}}'
    path = tmp_path / "run.jsonl"
    path.write_text("\n".join([call, long, call, long]) + "\n" + call)
    pending = []
    real = reading._lines

    def watched(*args):  # what the reader keeps of a line it has not finished
        for batch in real(*args):
            pending.append(sum(len(b or b"") for b in batch))
            yield batch
    monkeypatch.setattr(reading, "_lines", watched)
    code, out, _ = bill(path, "--json", capsys=capsys)
    result = json.loads(out)
    assert code == 0 and result["total"]["calls"] == 3
    assert result["skipped"] == {"too long": {"lines": 2, "first": [f"{path}:2", f"{path}:4"]}}
    assert max(pending) < 1000


def test_unpriced_names_are_capped_in_the_warning(tmp_path, capsys):
    path = tmp_path / "run.jsonl"
    path.write_text("".join(json.dumps({"model": f"house-{i}", "usage": CHAT["usage"]}) + "\n"
                            for i in range(50)))
    code, out, err = bill(path, capsys=capsys)
    assert code == 0
    warning = err.splitlines()[-1]
    assert "50 model(s) matched no entry" in warning and warning.endswith("and 30 more")


def test_closed_input_and_full_output_are_one_error_line(tmp_path):
    closed = run_python("-m", "quelm", "bill", "-", cwd=tmp_path, preexec_fn=lambda: os.close(0))
    assert closed.returncode == 1
    assert closed.stderr == "python -m quelm bill: error: cannot read standard input: it is closed\n"
    with open("/dev/full", "w") as full:
        out = run_python("-m", "quelm", "bill", str(SAMPLE), cwd=tmp_path, capture_output=False,
                         stdout=full, stderr=subprocess.PIPE)
    assert out.returncode == 1
    assert out.stderr.splitlines() == [
        "python -m quelm bill: error: cannot write the output: [Errno 28] No space left on device"]


def test_counts_beyond_64_bits_are_billed_not_fatal(tmp_path, capsys):
    # The prompt is 2**63 uncached plus 2**63 tool-use tokens: 2**64, which
    # no machine word holds; the line after it must be billed too.
    huge = {"modelVersion": "gemini-2.5-pro", "usageMetadata": {
        "promptTokenCount": 2**63, "toolUsePromptTokenCount": 2**63, "candidatesTokenCount": 1}}
    path = tmp_path / "run.jsonl"
    path.write_text((json.dumps(huge) + "\n") * 3)
    code, out, _ = bill(path, "--json", capsys=capsys)
    row = json.loads(out)["models"][0]
    assert code == 0 and row["calls"] == 3 and row["prompt_tokens"] == 3 * 2**64
    assert row["priced_as"] == {"standard, long context": 3}
