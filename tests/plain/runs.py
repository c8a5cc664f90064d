"""A generated run of saved responses, for `bill`'s tests and benchmark:
every shape the command reads (OpenAI chat and Responses, OpenAI Batch
lines, Anthropic messages and batch results, Gemini SDK and REST dumps and
batch lines, DeepSeek, xAI, plain records) with every token class (cached,
cache writes of both lifetimes, audio, reasoning and thinking), service
tiers, long prompts, times of day, and lines of each kind to skip; and the
check that the command's bill is the plain loop's."""

import json
import math
import random

from plain import ref_bill

T0 = 1765180800  # 2025-12-08 08:00 UTC, a Monday
TEXT = ("The quarterly figures show revenue up four percent, costs flat, and a steady "
        "outlook for the next two quarters. ") * 2


def chat(i, model, p, c, cached=0, reasoning=0, tier=None, total=None):
    return {"id": f"chatcmpl-{i}", "object": "chat.completion", "created": T0 + 97 * i,
            "model": model, "service_tier": tier,
            "choices": [{"index": 0, "message": {"role": "assistant", "content": TEXT, "refusal": None},
                         "logprobs": None, "finish_reason": "stop"}],
            "usage": {"prompt_tokens": p, "completion_tokens": c,
                      "total_tokens": p + c if total is None else total,
                      "prompt_tokens_details": {"cached_tokens": cached, "audio_tokens": 0},
                      "completion_tokens_details": {"reasoning_tokens": reasoning, "audio_tokens": 0}},
            "system_fingerprint": "fp_50cad350e4"}


def gemini(i, model, p, c, camel=True, thoughts=0, cached=0, audio=0):
    names = ("promptTokenCount", "candidatesTokenCount", "thoughtsTokenCount",
             "cachedContentTokenCount", "promptTokensDetails", "tokenCount", "usageMetadata",
             "modelVersion") if camel else \
        ("prompt_token_count", "candidates_token_count", "thoughts_token_count",
         "cached_content_token_count", "prompt_tokens_details", "token_count", "usage_metadata",
         "model_version")
    meta = {names[0]: p, names[1]: c, names[2]: thoughts, names[3]: cached,
            names[4]: [{"modality": "TEXT", names[5]: p - audio},
                       {"modality": "AUDIO", names[5]: audio}]}
    return {"candidates": [{"content": {"parts": [{"text": TEXT}], "role": "model"},
                            "finishReason": "STOP", "index": 0}],
            names[6]: meta, names[7]: model, "responseId": f"r{i}"}


def anthropic(i, model, p, c, read=0, write5=0, write1h=0, thinking=0, tier="standard"):
    return {"id": f"msg_{i}", "type": "message", "role": "assistant", "model": model,
            "content": [{"type": "text", "text": TEXT}], "stop_reason": "end_turn",
            "usage": {"input_tokens": p, "output_tokens": c, "cache_read_input_tokens": read,
                      "cache_creation_input_tokens": write5 + write1h,
                      "cache_creation": {"ephemeral_5m_input_tokens": write5,
                                         "ephemeral_1h_input_tokens": write1h},
                      "output_tokens_details": {"thinking_tokens": thinking},
                      "service_tier": tier}}


def record(i, rnd):
    p, c = rnd.randint(10, 5000), rnd.randint(1, 2000)
    part = lambda n: rnd.randint(0, n)  # noqa: E731
    k = i % 16
    if k == 0:
        return chat(i, "gpt-4o-2024-08-06", p, c, cached=part(p), reasoning=part(c))
    if k == 1:
        write = part(p // 2)
        return {"id": f"resp_{i}", "object": "response", "created_at": T0 + i, "status": "completed",
                "model": "gpt-5.4", "service_tier": rnd.choice(["default", "flex", "priority"]),
                "output": [{"type": "message", "id": f"msg_{i}", "status": "completed", "role": "assistant",
                            "content": [{"type": "output_text", "text": TEXT, "annotations": []}]}],
                "usage": {"input_tokens": p + rnd.choice([0, 300_000]),
                          "input_tokens_details": {"cached_tokens": part(p // 2), "cache_write_tokens": write,
                                                   "cache_write_tokens_details": {"ttl_30m_tokens": write // 2,
                                                                                  "ttl_12h_tokens": write - write // 2}},
                          "output_tokens": c, "output_tokens_details": {"reasoning_tokens": part(c)},
                          "total_tokens": p + c}}
    if k == 2:
        return {"id": f"batch_req_{i}", "custom_id": f"request-{i}",
                "response": {"status_code": 200, "request_id": f"req{i}",
                             "body": chat(i, "gpt-4o-mini", p, c, cached=part(p))},
                "error": None}
    if k == 3:
        return gemini(i, "gemini-2.5-flash", p, c, thoughts=part(c), cached=part(p // 2), audio=part(p // 4))
    if k == 4:
        return gemini(i, "gemini-2.5-pro", p + rnd.choice([0, 250_000]), c, camel=False, thoughts=part(c))
    if k == 5:
        return {"key": f"request-{i}", "response": gemini(i, "gemini-2.5-flash", p, c)}
    if k == 6:
        return {"model": "claude-sonnet-4", "usage": {"prompt_tokens": p, "completion_tokens": c}}
    if k == 7:
        return anthropic(i, "claude-sonnet-4-5-20250929", p, c, read=part(50_000), write5=part(5000),
                         write1h=part(2000), thinking=part(c))
    if k == 8:
        return {"custom_id": f"request-{i}",
                "result": {"type": "succeeded",
                           "message": anthropic(i, "claude-haiku-4-5", p, c, read=part(p), tier="batch")}}
    if k == 9:
        return chat(i, "deepseek-v4-pro", p, c, reasoning=part(c)) | {
            "usage": {"prompt_tokens": p, "completion_tokens": c, "total_tokens": p + c,
                      "prompt_cache_hit_tokens": p // 3, "prompt_cache_miss_tokens": p - p // 3}}
    if k == 10:
        r = part(c)
        return chat(i, "grok-4", p, c, reasoning=r, total=p + c + r)
    if k == 11:
        return chat(i, "gpt-5-mini", p, c, cached=part(p), reasoning=part(c), tier="flex")
    # the lines a run leaves behind that cannot be billed
    j = i // 16 % 4
    if j == 0:
        return rnd.choice([
            {"id": f"batch_req_{i}", "custom_id": f"request-{i}",
             "response": {"status_code": 429, "request_id": f"req{i}", "body": {"error": {"message": "rate limited"}}},
             "error": None},
            {"custom_id": f"request-{i}", "result": {"type": "errored", "error": {"type": "error"}}}])
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



def check(result, models, skipped):
    """The command's bill is the plain loop's: the same calls and tokens by
    class, the same dollars (added in another order: to 1e-9), the same
    skipped lines."""
    assert {r["model"]: r["calls"] for r in result["models"]} == \
        {m: row["calls"] for m, row in models.items()}
    for r in result["models"]:
        row = models[r["model"]]
        assert r["tokens"] == {c: n for c, n in zip(ref_bill.CLASSES, row["tokens"]) if c in r["tokens"]}
        assert sum(r["tokens"].values()) == sum(row["tokens"])
        assert math.isclose(r["total_cost"], row["total_cost"], rel_tol=1e-9), r["model"]
    assert {k: v["lines"] for k, v in result["skipped"].items()} == skipped


