"""`python -m quelm bill` on a generated run: lines per second of the
command's reading (orjson, the module's extractors, its estimate) against
the plain-Python loop of ref_bill.py (stdlib json, the plain renditions),
both over the same file in the same process.

    python bench/bench_bill.py [--lines N] [--parsers]

--parsers also times each JSON parser alone on the same lines.  Run from
bench/run.py it reads 1,000,000 lines.
"""

import argparse
import json
import os
import pathlib
import random
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import ref_bill  # noqa: E402
import ref_parser  # noqa: E402
import quelm  # noqa: E402
from quelm import _bill, _estimate  # noqa: E402

TARGET = 3.0
LINES = 1_000_000
TEXT = ("The quarterly figures show revenue up four percent, costs flat, and a steady "
        "outlook for the next two quarters. ") * 2

def chat(i, model, p, c):
    return {"id": f"chatcmpl-{i}", "object": "chat.completion", "created": 1733000000 + i,
            "model": model,
            "choices": [{"index": 0, "message": {"role": "assistant", "content": TEXT, "refusal": None},
                         "logprobs": None, "finish_reason": "stop"}],
            "usage": {"prompt_tokens": p, "completion_tokens": c, "total_tokens": p + c,
                      "prompt_tokens_details": {"cached_tokens": 0, "audio_tokens": 0},
                      "completion_tokens_details": {"reasoning_tokens": 0, "audio_tokens": 0}},
            "system_fingerprint": "fp_50cad350e4"}

def gemini_rest(i, model, p, c):
    return {"candidates": [{"content": {"parts": [{"text": TEXT}], "role": "model"},
                            "finishReason": "STOP", "index": 0}],
            "usageMetadata": {"promptTokenCount": p, "candidatesTokenCount": c, "totalTokenCount": p + c},
            "modelVersion": model, "responseId": f"r{i}"}

def record(i, rnd):
    p, c = rnd.randint(10, 5000), rnd.randint(1, 2000)
    k = i % 8
    if k == 0:
        return chat(i, "gpt-4o-2024-08-06", p, c)
    if k == 1:
        return {"id": f"resp_{i}", "object": "response", "created_at": 1733000000 + i, "status": "completed",
                "model": "gpt-4.1-2025-04-14",
                "output": [{"type": "message", "id": f"msg_{i}", "status": "completed", "role": "assistant",
                            "content": [{"type": "output_text", "text": TEXT, "annotations": []}]}],
                "usage": {"input_tokens": p, "input_tokens_details": {"cached_tokens": 0},
                          "output_tokens": c, "output_tokens_details": {"reasoning_tokens": 0},
                          "total_tokens": p + c}}
    if k == 2:
        return {"id": f"batch_req_{i}", "custom_id": f"request-{i}",
                "response": {"status_code": 200, "request_id": f"req{i}", "body": chat(i, "gpt-4o-mini", p, c)},
                "error": None}
    if k == 3:
        return gemini_rest(i, "gemini-2.5-flash", p, c)
    if k == 4:
        return {"candidates": [{"content": {"parts": [{"text": TEXT}], "role": "model"}, "finish_reason": "STOP"}],
                "usage_metadata": {"prompt_token_count": p, "candidates_token_count": c, "total_token_count": p + c},
                "model_version": "gemini-2.5-pro"}
    if k == 5:
        return {"key": f"request-{i}", "response": gemini_rest(i, "gemini-2.5-flash", p, c)}
    if k == 6:
        return {"model": "claude-sonnet-4", "usage": {"prompt_tokens": p, "completion_tokens": c}}
    # the lines a run leaves behind that cannot be billed
    j = i // 8 % 4
    if j == 0:
        return {"id": f"batch_req_{i}", "custom_id": f"request-{i}",
                "response": {"status_code": 429, "request_id": f"req{i}", "body": {"error": {"message": "rate limited"}}},
                "error": None}
    if j == 1:
        return None  # not JSON
    if j == 2:
        return {"model": "gpt-4o", "choices": []}
    return chat(i, "house-model-7b", p, c)

def lines(n, seed=7):
    rnd = random.Random(seed)
    for i in range(n):
        r = record(i, rnd)
        yield (json.dumps(r, separators=(",", ":")) if r is not None else '{"truncated": ') + "\n"


def write_run(path, n):
    with open(path, "w", encoding="utf-8") as f:
        for line in lines(n):
            f.write(line)


def _best(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def measure(n=LINES, rounds=2):
    """(native lines/s, plain-Python lines/s), the two checked to agree."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "run.jsonl")
        write_run(path, n)
        source = quelm.BUNDLED_PRICING
        native = _bill.tally([path], None)
        plain_models, plain_skipped = ref_bill.tally(path)
        assert native.models == plain_models, (native.models, plain_models)
        assert {r: s[0] for r, s in native.skipped.items()} == plain_skipped
        assert ref_bill.costs(plain_models, ref_parser.parse_pricing(source)) == \
            {m: _estimate.costs_from(source, m, {"prompt_tokens": p, "completion_tokens": c})
             for m, (_, p, c) in native.models.items()}
        times = [float("inf"), float("inf")]
        for _ in range(rounds):  # in turn, so load from elsewhere hits both alike
            times[0] = min(times[0], _best(lambda: _bill.tally([path], None), 1))
            times[1] = min(times[1], _best(lambda: ref_bill.tally(path), 1))
    return n / times[0], n / times[1]


def parsers(n=200_000):
    """ns per line of each JSON parser alone, on the same lines as bytes."""
    data = [line.encode() for line in lines(n)]
    loaders = {"json (stdlib)": json.loads}
    for name in ("orjson", "msgspec"):
        try:
            module = __import__(name)
        except ImportError:
            continue
        loaders[name] = module.loads if name == "orjson" else module.json.decode
    loaders["msgspec, into bill's fields"] = _bill._decode

    def run(loads):
        for raw in data:
            try:
                loads(raw)
            except ValueError:  # the generated run's broken lines
                pass

    return {name: _best(lambda: run(loads), 3) / n * 1e9 for name, loads in loaders.items()}


def run(n=LINES):
    native, plain = measure(n)
    return [{"workload": f"bill: {n:,} mixed response lines", "native": native, "python": plain,
             "unit": "lines/s", "ratio": native / plain, "target": TARGET}]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=LINES)
    parser.add_argument("--parsers", action="store_true")
    args = parser.parse_args()
    if args.parsers:
        for name, ns in parsers().items():
            print(f"{name:<28} {ns:>7.0f} ns/line")
    native, plain = measure(args.lines)
    print(f"bill, {args.lines:,} lines: quelm {native:,.0f} lines/s, plain Python "
          f"{plain:,.0f} lines/s, ratio {native / plain:.2f} (target >= {TARGET:g})")
    return 0 if native / plain >= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
