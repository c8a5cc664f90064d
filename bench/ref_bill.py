"""Plain-Python rendition of `python -m quelm bill`'s reading of a run.

The loop one writes by hand: the standard library's json, the plain
renditions of the usage extractors and of estimate_costs, one dict of
running totals.  The same line rules as the command, so the benchmark and
the tests can compare the two on the same file.
"""

import gzip
import json
from types import SimpleNamespace

import ref_estimate
import ref_usage

OPENAI_KEYS = ("input_tokens", "prompt_tokens", "output_tokens", "completion_tokens")


def usage_of(rec, model):
    """(prompt, completion) of a response that reports them, else the
    reason it cannot be billed."""
    usage = rec.get("usage")
    if usage is not None:
        if not isinstance(usage, dict):
            return "bad usage"
        if all(usage.get(k) is None for k in OPENAI_KEYS):
            return "no usage"
        usage = dict(usage)
        if not usage.get("input_tokens") and usage.get("prompt_tokens") is None:
            usage["prompt_tokens"] = 0
        if not usage.get("output_tokens") and usage.get("completion_tokens") is None:
            usage["completion_tokens"] = 0
        counts = ref_usage._extract_openai_usage({"usage": usage}, "", "", model)
    else:
        meta, camel = rec.get("usage_metadata"), False
        if meta is None:
            meta, camel = rec.get("usageMetadata"), True
        if meta is None:
            return "no usage"
        if not isinstance(meta, dict):
            return "bad usage"
        names = ("promptTokenCount", "candidatesTokenCount") if camel else \
            ("prompt_token_count", "candidates_token_count")
        prompt, completion = meta.get(names[0]), meta.get(names[1])
        if prompt is None and completion is None:
            return "no usage"
        counts = ref_usage._extract_gemini_usage(
            {"usage_metadata": {"prompt_token_count": prompt, "candidates_token_count": completion}},
            "", "")
    return counts["prompt_tokens"], counts["completion_tokens"]


def read_line(line, model=None):
    try:
        rec = json.loads(line)
    except (ValueError, RecursionError):  # RecursionError: nested too deep to read
        return "not JSON"
    if not isinstance(rec, dict):
        return "not JSON"
    if "custom_id" in rec:
        resp = rec.get("response")
        if rec.get("error") is not None or not isinstance(resp, dict) \
                or resp.get("status_code") != 200:
            return "error status"
        rec = resp.get("body")
        if not isinstance(rec, dict):
            return "no usage"
    elif "key" in rec and ("response" in rec or "error" in rec or "status" in rec):
        resp, status = rec.get("response"), rec.get("status")
        if rec.get("error") is not None or not isinstance(resp, dict) \
                or (isinstance(status, dict) and status.get("code")):
            return "error status"
        rec = resp
    if rec.get("error") is not None:
        return "error status"
    if model is None:
        model = rec.get("model") or rec.get("modelVersion") or rec.get("model_version")
        if not isinstance(model, str) or not model.strip():
            return "no model"
    counts = usage_of(rec, model)
    if isinstance(counts, str):
        return counts
    if min(counts) < 0 or max(counts) > 2**63:
        return "bad usage"
    return (model,) + counts


def tally(path, model=None):
    """Per model [calls, prompt, completion], and per skip reason the count."""
    models, skipped = {}, {}
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        for line in f:
            got = read_line(line, model)
            if isinstance(got, tuple):
                totals = models.setdefault(got[0], [0, 0, 0])
                totals[0] += 1
                totals[1] += got[1]
                totals[2] += got[2]
            elif line.strip():
                skipped[got] = skipped.get(got, 0) + 1
    return models, skipped


def costs(models, pricing):
    """estimate_costs of each model's summed tokens, against `pricing`."""
    saved = ref_estimate._parse_pricing
    ref_estimate._parse_pricing = lambda path: pricing
    try:
        return {m: ref_estimate.estimate_costs(SimpleNamespace(model=m),
                                               {"prompt_tokens": p, "completion_tokens": c})
                for m, (_, p, c) in models.items()}
    finally:
        ref_estimate._parse_pricing = saved
