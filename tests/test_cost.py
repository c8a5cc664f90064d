"""quelm.cost() against figures worked by hand from the makers' published
billing rules (/work/notes/maker_rules.md), one case per rule.

Every response is built with its maker's own client type and priced as the
object, as its dump, and as the JSON text of the dump (for Gemini also as
the REST camelCase dump).  The prices are those of a small list written for
these tests, with round figures; a few cases use the bundled list's rows.
"""
import json

import anthropic.types as at
import pytest
from anthropic.types.messages import MessageBatchIndividualResponse
from google.genai import types as gt
from mistralai.client import models as mm
from openai.types.chat import ChatCompletion
from openai.types.responses import Response

import quelm

HEADER = ("| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) | Cached prompt ($/1M tokens) "
          "| Cache write ($/1M tokens) | Cache write 1h ($/1M tokens) | Audio prompt ($/1M tokens) "
          "| Audio cached ($/1M tokens) | Audio completion ($/1M tokens) "
          "| Long context above (tokens) | Long prompt ($/1M tokens) "
          "| Long completion ($/1M tokens) "
          "| Long cached prompt ($/1M tokens) | Long cache write ($/1M tokens) "
          "| Long cache write 1h ($/1M tokens) | Batch (% of standard) | Flex (% of standard) "
          "| Priority (% of standard) | Fast (% of standard) | US inference (% of standard) "
          "| Off-peak (% of standard) | Peak hours (UTC) |")
ROWS = """\
| gpt-test | $2.00 | $8.00 | $0.50 | $2.50 | $5.00 | $40.00 | | $80.00 | 272,000 | $4.00 | $12.00 | $1.00 | $5.00 | $10.00 | 50% | 50% | 200% | 250% | | | |
| claude-test | $3.00 | $15.00 | $0.30 | $3.75 | $6.00 | | | | 200,000 | $6.00 | $22.50 | $0.60 | $7.50 | $12.00 | 50% | | | 600% | 110% | | |
| gemini-test | $1.00 | $10.00 | $0.10 | | | $3.00 | $0.30 | $20.00 | 200,000 | $2.00 | $15.00 | $0.20 | | | 50% | 50% | 180% | | | | |
| deepseek-test | $0.40 | $1.60 | $0.04 | | | | | | | | | | | | | | | | | 50% | Mon-Fri 01:00-04:00, Mon-Fri 06:00-10:00 |
| grok-test | $2.00 | $6.00 | $0.50 | | | | | | | | | | | | | | | | | | |
| mistral-test | $2.00 | $6.00 | $0.20 | | | | | | | | | | | | 50% | | | | | | |
"""

# UTC instants (DeepSeek's peak hours are Mon-Fri 01:00-04:00 and 06:00-10:00 UTC).
WED_0200 = 1796781600  # Wednesday 2026-12-09 02:00, peak
WED_0500 = 1796792400  # Wednesday 2026-12-09 05:00, between the two windows
SAT_0200 = 1797040800  # Saturday 2026-12-12 02:00, weekend


@pytest.fixture(scope="module")
def prices(tmp_path_factory):
    path = tmp_path_factory.mktemp("prices") / "prices.md"
    path.write_text("# Test prices\n\n" + HEADER + "\n|" + "---|" * 22 + "\n" + ROWS)
    return str(path)


@pytest.fixture(scope="module")
def plain_prices(tmp_path_factory):
    path = tmp_path_factory.mktemp("plain") / "plain.md"
    path.write_text("| Model | Prompt ($/1M tokens) | Completion ($/1M tokens) |\n|---|---|---|\n"
                    "| plain-test | $1.00 | $2.00 |\n")
    return str(path)


# -- the makers' types ---------------------------------------------------

def chat(model, usage, **top):
    return ChatCompletion.model_validate({"id": "chatcmpl-1", "object": "chat.completion",
                                          "created": WED_0200, "model": model, "choices": [],
                                          **top, "usage": usage})


def responses(usage, **top):
    return Response.model_validate({"id": "resp_1", "object": "response", "created_at": WED_0200,
                                    "model": "gpt-test", "output": [], "tools": [],
                                    "parallel_tool_calls": True, "tool_choice": "auto", **top,
                                    "usage": usage})


def message(usage, model="claude-test"):
    return {"id": "msg_1", "type": "message", "role": "assistant", "model": model,
            "content": [], "stop_reason": "end_turn", "stop_sequence": None, "usage": usage}


def claude(usage):
    return at.Message.model_validate(message(usage))


def claude_batch(usage):
    return MessageBatchIndividualResponse.model_validate(
        {"custom_id": "r1", "result": {"type": "succeeded", "message": message(usage)}})


def gemini(meta, **top):
    return gt.GenerateContentResponse.model_validate({"model_version": "gemini-test",
                                                      "usage_metadata": meta, **top})


def modalities(**counts):
    return [{"modality": getattr(gt.MediaModality, k), "token_count": v} for k, v in counts.items()]


def openai_batch_line(body):
    return {"id": "batch_req_1", "custom_id": "r1", "error": None,
            "response": {"status_code": 200, "request_id": "req_1",
                         "body": body.model_dump(mode="json")}}


def deepseek(created, hit=6_000, miss=4_000):
    return chat("deepseek-test", {"prompt_tokens": hit + miss, "completion_tokens": 1_000,
                                  "total_tokens": hit + miss + 1_000,
                                  "prompt_cache_hit_tokens": hit, "prompt_cache_miss_tokens": miss},
                created=created)


def mistral():
    return mm.ChatCompletionResponse.model_validate(
        {"id": "cmpl-1", "object": "chat.completion", "model": "mistral-test",
         "created": WED_0200, "choices": [],
         "usage": usage(1_013, 100, prompt_tokens_details={"cached_tokens": 1_008})})


def usage(prompt, completion, **more):
    return {"prompt_tokens": prompt, "completion_tokens": completion,
            "total_tokens": prompt + completion, **more}


def forms(response):
    """The response as its maker's object, its dump and the JSON text of
    the dump; a Gemini response also as the REST (camelCase) dump and its
    text.  A plain dict: itself and its text."""
    if isinstance(response, dict):
        return [("dict", response), ("json", json.dumps(response))]
    out = [("object", response), ("dump", response.model_dump()),
           ("json", response.model_dump_json())]
    if type(response).__module__.startswith("google.genai"):
        rest = response.model_dump(mode="json", by_alias=True)
        out += [("rest", rest), ("rest json", json.dumps(rest))]
    return out


# (description, response, total, {class: tokens}, tier)
CASES = [
    # ---- OpenAI Chat Completions and Responses
    ("openai chat: cached tokens inside prompt_tokens",
     chat("gpt-test", usage(3_000, 500, prompt_tokens_details={"cached_tokens": 1_000})),
     # 2,000 uncached at $2 + 1,000 cached at $0.50 + 500 completion at $8
     0.004 + 0.0005 + 0.004, {"prompt": 2_000, "cached": 1_000, "completion": 500}, "standard"),
    ("openai chat: reasoning inside completion_tokens at the completion price",
     chat("gpt-test", usage(1_000, 3_000, completion_tokens_details={"reasoning_tokens": 2_000})),
     # 1,000 prompt at $2 + (1,000 completion + 2,000 reasoning) at $8
     0.002 + 0.024, {"prompt": 1_000, "completion": 1_000, "reasoning": 2_000}, "standard"),
    ("openai chat: audio on both sides at the audio prices",
     chat("gpt-test", usage(1_000, 800, prompt_tokens_details={"audio_tokens": 600},
                            completion_tokens_details={"audio_tokens": 500})),
     # 400 text at $2 + 600 audio at $40 + 300 text out at $8 + 500 audio out at $80
     0.0008 + 0.024 + 0.0024 + 0.04,
     {"prompt": 400, "audio_prompt": 600, "completion": 300, "audio_completion": 500}, "standard"),
    ("openai chat: cache_write_tokens inside the prompt, apart from cached",
     chat("gpt-test", usage(2_600, 100, prompt_tokens_details={"cached_tokens": 2_000,
                                                                 "cache_write_tokens": 400})),
     # 200 at $2 + 2,000 cached at $0.50 + 400 written at $2.50 + 100 at $8
     0.0004 + 0.001 + 0.001 + 0.0008,
     {"prompt": 200, "cached": 2_000, "cache_write": 400, "completion": 100}, "standard"),
    ("openai chat: service_tier flex at the flex share of every price",
     chat("gpt-test", usage(10_000, 1_000, prompt_tokens_details={"cached_tokens": 4_000}),
          service_tier="flex"),
     # (6,000 at $2 + 4,000 at $0.50 + 1,000 at $8) * 50% = $0.022 / 2
     0.011, {"prompt": 6_000, "cached": 4_000, "completion": 1_000}, "flex"),
    ("openai chat: service_tier priority at the priority share",
     chat("gpt-test", usage(1_000, 1_000), service_tier="priority"),
     # (1,000 at $2 + 1,000 at $8) * 200%
     0.02, {"prompt": 1_000, "completion": 1_000}, "priority"),
    ("openai chat: long context (prompt above 272,000), cached at its long price",
     chat("gpt-test", usage(300_000, 10_000, prompt_tokens_details={"cached_tokens": 100_000})),
     # 200,000 at $4 + 100,000 at $1 + 10,000 at $12
     0.8 + 0.1 + 0.12, {"prompt": 200_000, "cached": 100_000, "completion": 10_000},
     "standard, long context"),
    ("openai batch output line at the batch share",
     openai_batch_line(chat("gpt-test", usage(2_000, 1_000,
                                              prompt_tokens_details={"cached_tokens": 1_000}))),
     # (1,000 at $2 + 1,000 at $0.50 + 1,000 at $8) * 50% = $0.0105 / 2
     0.00525, {"prompt": 1_000, "cached": 1_000, "completion": 1_000}, "batch"),
    ("openai responses: cached and 30m / 12h cache writes, reasoning inside output",
     responses({"input_tokens": 10_000, "output_tokens": 2_000, "total_tokens": 12_000,
                "input_tokens_details": {"cached_tokens": 4_000, "cache_write_tokens": 3_000,
                                         "cache_write_tokens_details": {"ttl_30m_tokens": 1_000,
                                                                        "ttl_12h_tokens": 2_000}},
                "output_tokens_details": {"reasoning_tokens": 1_500}}),
     # 3,000 at $2 + 4,000 at $0.50 + 1,000 (30m) at $2.50 + 2,000 (12h) at $5
     # + (500 + 1,500 reasoning) at $8
     0.006 + 0.002 + 0.0025 + 0.01 + 0.016,
     {"prompt": 3_000, "cached": 4_000, "cache_write": 1_000, "cache_write_long": 2_000,
      "completion": 500, "reasoning": 1_500}, "standard"),
    # ---- Anthropic Messages
    ("anthropic: input_tokens beside cache reads and writes",
     claude({"input_tokens": 1_000, "output_tokens": 400, "cache_read_input_tokens": 2_000,
             "cache_creation_input_tokens": 500}),
     # 1,000 at $3 + 2,000 read at $0.30 + 500 written at $3.75 + 400 at $15
     0.003 + 0.0006 + 0.001875 + 0.006,
     {"prompt": 1_000, "cached": 2_000, "cache_write": 500, "completion": 400}, "standard"),
    ("anthropic: cache_creation split into 5-minute and 1-hour writes",
     claude({"input_tokens": 100, "output_tokens": 200, "cache_creation_input_tokens": 3_000,
             "cache_creation": {"ephemeral_5m_input_tokens": 1_000,
                                "ephemeral_1h_input_tokens": 2_000}}),
     # 100 at $3 + 1,000 at $3.75 + 2,000 at $6 + 200 at $15
     0.0003 + 0.00375 + 0.012 + 0.003,
     {"prompt": 100, "cache_write": 1_000, "cache_write_long": 2_000, "completion": 200},
     "standard"),
    ("anthropic: a split short of cache_creation_input_tokens, the rest as 5-minute writes",
     claude({"input_tokens": 100, "output_tokens": 200, "cache_creation_input_tokens": 3_000,
             "cache_creation": {"ephemeral_5m_input_tokens": 500,
                                "ephemeral_1h_input_tokens": 1_000}}),
     # 100 at $3 + (500 + 1,500 unsplit) at $3.75 + 1,000 at $6 + 200 at $15
     0.0003 + 0.0075 + 0.006 + 0.003,
     {"prompt": 100, "cache_write": 2_000, "cache_write_long": 1_000, "completion": 200},
     "standard"),
    ("anthropic: thinking tokens inside output_tokens",
     claude({"input_tokens": 100, "output_tokens": 1_000,
             "output_tokens_details": {"thinking_tokens": 700}}),
     # 100 at $3 + (300 + 700 thinking) at $15
     0.0003 + 0.015, {"prompt": 100, "completion": 300, "reasoning": 700}, "standard"),
    ("anthropic: long context counts input, cache reads and writes; every class at its long price",
     claude({"input_tokens": 150_000, "output_tokens": 10_000, "cache_read_input_tokens": 40_000,
             "cache_creation_input_tokens": 20_000}),
     # 210,000 > 200,000: 150,000 at $6 + 40,000 at $0.60 + 20,000 at $7.50 + 10,000 at $22.50
     0.9 + 0.024 + 0.15 + 0.225,
     {"prompt": 150_000, "cached": 40_000, "cache_write": 20_000, "completion": 10_000},
     "standard, long context"),
    ("anthropic: a prompt of exactly the threshold is not long",
     claude({"input_tokens": 160_000, "output_tokens": 1_000, "cache_read_input_tokens": 40_000}),
     # 200,000 is not above 200,000: 160,000 at $3 + 40,000 at $0.30 + 1,000 at $15
     0.48 + 0.012 + 0.015, {"prompt": 160_000, "cached": 40_000, "completion": 1_000},
     "standard"),
    ("anthropic: Message Batches succeeded result at the batch share",
     claude_batch({"input_tokens": 1_000, "output_tokens": 1_000,
                   "cache_read_input_tokens": 1_000}),
     # (1,000 at $3 + 1,000 at $0.30 + 1,000 at $15) * 50% = $0.0183 / 2
     0.00915, {"prompt": 1_000, "cached": 1_000, "completion": 1_000}, "batch"),
    ("anthropic: speed fast at the fast share",
     claude({"input_tokens": 1_000, "output_tokens": 1_000, "speed": "fast"}),
     # (1,000 at $3 + 1,000 at $15) * 600%
     0.108, {"prompt": 1_000, "completion": 1_000}, "fast"),
    ("anthropic: inference_geo us at the US-inference share",
     claude({"input_tokens": 1_000, "output_tokens": 1_000, "inference_geo": "us"}),
     # (1,000 at $3 + 1,000 at $15) * 110%
     0.0198, {"prompt": 1_000, "completion": 1_000}, "standard, US"),
    ("anthropic: batch and long context together, the share of the long prices",
     claude_batch({"input_tokens": 190_000, "output_tokens": 10_000,
                   "cache_creation_input_tokens": 20_000,
                   "cache_creation": {"ephemeral_5m_input_tokens": 5_000,
                                      "ephemeral_1h_input_tokens": 15_000}}),
     # 210,000 > 200,000: (190,000 at $6 + 5,000 at $7.50 + 15,000 at $12
     # + 10,000 at $22.50) * 50% = $1.5825 / 2
     0.79125, {"prompt": 190_000, "cache_write": 5_000, "cache_write_long": 15_000,
               "completion": 10_000}, "batch, long context"),
    ("anthropic: batch and US inference together, the shares multiplied",
     claude_batch({"input_tokens": 1_000, "output_tokens": 1_000, "inference_geo": "us"}),
     # (1,000 at $3 + 1,000 at $15) * 50% * 110%
     0.0099, {"prompt": 1_000, "completion": 1_000}, "batch, US"),
    ("anthropic: usage.service_tier batch on a message at the batch share",
     claude({"input_tokens": 1_000, "output_tokens": 1_000, "service_tier": "batch"}),
     # (1,000 at $3 + 1,000 at $15) * 50%
     0.009, {"prompt": 1_000, "completion": 1_000}, "batch"),
    # ---- Gemini
    ("gemini: prompt_token_count includes cached_content_token_count",
     gemini({"prompt_token_count": 5_000, "cached_content_token_count": 2_000,
             "candidates_token_count": 1_000, "total_token_count": 6_000}),
     # 3,000 at $1 + 2,000 at $0.10 + 1,000 at $10
     0.003 + 0.0002 + 0.01, {"prompt": 3_000, "cached": 2_000, "completion": 1_000}, "standard"),
    ("gemini: thoughts beside the candidates (total adds them) at the completion price",
     gemini({"prompt_token_count": 1_000, "candidates_token_count": 500,
             "thoughts_token_count": 1_500, "total_token_count": 3_000}),
     # 1,000 at $1 + (500 + 1,500 thoughts) at $10
     0.001 + 0.02, {"prompt": 1_000, "completion": 500, "reasoning": 1_500}, "standard"),
    ("gemini: thoughts inside the candidates (total leaves them out)",
     gemini({"prompt_token_count": 1_000, "candidates_token_count": 2_000,
             "thoughts_token_count": 1_500, "total_token_count": 3_000}),
     # the same call: 1,000 at $1 + (500 + 1,500 thoughts) at $10
     0.001 + 0.02, {"prompt": 1_000, "completion": 500, "reasoning": 1_500}, "standard"),
    ("gemini: tool_use_prompt_token_count at the prompt price",
     gemini({"prompt_token_count": 1_000, "tool_use_prompt_token_count": 500,
             "candidates_token_count": 100, "total_token_count": 1_600}),
     # (1,000 + 500) at $1 + 100 at $10
     0.0015 + 0.001, {"prompt": 1_500, "completion": 100}, "standard"),
    ("gemini: audio in the per-modality details of prompt, cache and candidates",
     gemini({"prompt_token_count": 10_000, "cached_content_token_count": 4_000,
             "candidates_token_count": 2_000, "total_token_count": 12_000,
             "prompt_tokens_details": modalities(TEXT=7_000, AUDIO=3_000),
             "cache_tokens_details": modalities(AUDIO=1_000, TEXT=3_000),
             "candidates_tokens_details": modalities(AUDIO=1_500, TEXT=500)}),
     # text: 4,000 at $1 + 3,000 cached at $0.10; audio: 2,000 at $3 + 1,000 cached at $0.30;
     # out: 500 text at $10 + 1,500 audio at $20
     0.004 + 0.0003 + 0.006 + 0.0003 + 0.005 + 0.03,
     {"prompt": 4_000, "cached": 3_000, "audio_prompt": 2_000, "audio_cached": 1_000,
      "completion": 500, "audio_completion": 1_500}, "standard"),
    ("gemini: long context by prompt_token_count, thoughts at the long completion price",
     gemini({"prompt_token_count": 250_000, "cached_content_token_count": 50_000,
             "candidates_token_count": 10_000, "thoughts_token_count": 5_000,
             "total_token_count": 265_000}),
     # 250,000 > 200,000: 200,000 at $2 + 50,000 at $0.20 + (10,000 + 5,000) at $15
     0.4 + 0.01 + 0.225,
     {"prompt": 200_000, "cached": 50_000, "completion": 10_000, "reasoning": 5_000},
     "standard, long context"),
    ("gemini: batch file line {key, response} at the batch share",
     {"key": "k1", "response": gemini({"prompt_token_count": 1_000,
                                       "candidates_token_count": 1_000}).model_dump(
         mode="json", by_alias=True, exclude_none=True)},
     # (1,000 at $1 + 1,000 at $10) * 50%
     0.0055, {"prompt": 1_000, "completion": 1_000}, "batch"),
    ("gemini: InlinedResponse at the batch share",
     gt.InlinedResponse(response=gemini({"prompt_token_count": 1_000,
                                         "candidates_token_count": 1_000})),
     # (1,000 at $1 + 1,000 at $10) * 50%
     0.0055, {"prompt": 1_000, "completion": 1_000}, "batch"),
    ("gemini: traffic_type ON_DEMAND_FLEX at the flex share",
     gemini({"prompt_token_count": 2_000, "candidates_token_count": 1_000,
             "traffic_type": gt.TrafficType.ON_DEMAND_FLEX}),
     # (2,000 at $1 + 1,000 at $10) * 50%
     0.006, {"prompt": 2_000, "completion": 1_000}, "flex"),
    ("gemini: x-gemini-service-tier header priority at the priority share",
     gemini({"prompt_token_count": 1_000, "candidates_token_count": 1_000},
            sdk_http_response={"headers": {"x-gemini-service-tier": "priority"}}),
     # (1,000 at $1 + 1,000 at $10) * 180%
     0.0198, {"prompt": 1_000, "completion": 1_000}, "priority"),
    # ---- DeepSeek (peak Mon-Fri 01:00-04:00, 06:00-10:00 UTC; off-peak 50%)
    ("deepseek: prompt_cache_hit_tokens / miss at a weekday peak time",
     deepseek(WED_0200),
     # 4,000 miss at $0.40 + 6,000 hit at $0.04 + 1,000 at $1.60
     0.0016 + 0.00024 + 0.0016, {"prompt": 4_000, "cached": 6_000, "completion": 1_000},
     "standard"),
    ("deepseek: a weekday time between the peak windows is off-peak",
     deepseek(WED_0500),
     # (4,000 at $0.40 + 6,000 at $0.04 + 1,000 at $1.60) * 50% = $0.00344 / 2
     0.00172, {"prompt": 4_000, "cached": 6_000, "completion": 1_000}, "standard, off-peak"),
    ("deepseek: a weekend hour inside a Mon-Fri window is off-peak",
     deepseek(SAT_0200),
     # the same $0.00344 / 2
     0.00172, {"prompt": 4_000, "cached": 6_000, "completion": 1_000}, "standard, off-peak"),
    # ---- xAI
    ("xai: reasoning beside completion (total adds it) billed as completion",
     chat("grok-test", {"prompt_tokens": 1_000, "completion_tokens": 200, "total_tokens": 4_200,
                        "completion_tokens_details": {"reasoning_tokens": 3_000}}),
     # 1,000 at $2 + (200 + 3,000 reasoning) at $6
     0.002 + 0.0192, {"prompt": 1_000, "completion": 200, "reasoning": 3_000}, "standard"),
    ("xai: the same numbers with reasoning inside completion",
     chat("grok-test", {"prompt_tokens": 1_000, "completion_tokens": 3_200, "total_tokens": 4_200,
                        "completion_tokens_details": {"reasoning_tokens": 3_000}}),
     # 1,000 at $2 + (200 + 3,000 reasoning) at $6
     0.002 + 0.0192, {"prompt": 1_000, "completion": 200, "reasoning": 3_000}, "standard"),
    # ---- Mistral
    ("mistral: cached in the undeclared prompt_tokens_details",
     mistral(),
     # 5 at $2 + 1,008 cached at $0.20 + 100 at $6
     0.00001 + 0.0002016 + 0.0006, {"prompt": 5, "cached": 1_008, "completion": 100}, "standard"),
    ("mistral: batch output line at the batch share",
     openai_batch_line(mistral()),
     # (5 at $2 + 1,008 at $0.20 + 100 at $6) * 50% = $0.0008116 / 2
     0.0004058, {"prompt": 5, "cached": 1_008, "completion": 100}, "batch"),
]


def _params():
    for desc, response, total, lines, tier in CASES:
        for form, value in forms(response):
            yield pytest.param(value, total, lines, tier, id=f"{desc} [{form}]")


@pytest.mark.parametrize("response, total, lines, tier", list(_params()))
def test_each_rule(prices, response, total, lines, tier):
    got = quelm.cost(response, pricing=prices)
    assert {line.name: line.tokens for line in got.lines} == lines
    assert got.tier == tier
    assert got.total == pytest.approx(total, rel=1e-12)
    assert sum(line.dollars for line in got.lines) == pytest.approx(total, rel=1e-12)
    assert got.notes == ()


def test_each_line_names_its_price(prices):
    """A line's rate is the price that priced its class, after the tier's share."""
    got = quelm.cost(chat("gpt-test", usage(2_600, 100, prompt_tokens_details={
        "cached_tokens": 2_000, "cache_write_tokens": 400}), service_tier="flex"), pricing=prices)
    # flex: half of $2, $0.50, $2.50 and $8
    assert [(l.name, l.tokens, l.rate) for l in got.lines] == [
        ("prompt", 200, 1.0), ("cached", 2_000, 0.25), ("cache_write", 400, 1.25),
        ("completion", 100, 4.0)]
    assert got.line("cached").dollars == pytest.approx(0.0005, rel=1e-12)  # 2,000 at $0.25
    assert got.line("reasoning") is None


def _no_time():
    record = deepseek(WED_0500).model_dump()
    del record["created"]
    return record


# A class or a tier with no price of its own: the nearest price, and a note.
@pytest.mark.parametrize("pricing, response, total, line, note", [
    pytest.param("plain_prices", chat("plain-test", usage(3_000, 1_000, prompt_tokens_details={
        "cached_tokens": 1_000})),
                 # 2,000 + 1,000 cached, all at $1, + 1,000 at $2
                 0.002 + 0.001 + 0.002, quelm.Line("cached", 1_000, 1.0, 0.001),
                 "cached prompt: no price in the list, priced as prompt",
                 id="three-column list: cached at the prompt price"),
    pytest.param("prices", responses({"input_tokens": 1_000, "output_tokens": 1_000,
                                      "total_tokens": 2_000,
                                      "input_tokens_details": {"cached_tokens": 0,
                                                               "cache_write_tokens": 0},
                                      "output_tokens_details": {"reasoning_tokens": 0}},
                                     service_tier="ultrafast"),
                 # no Ultrafast column: 1,000 at $2 + 1,000 at $8
                 0.01, quelm.Line("prompt", 1_000, 2.0, 0.002),
                 "no ultrafast price in the list: priced at the standard price",
                 id="a tier without a column: the standard price"),
    pytest.param({"tbl-model": {"prompt_per_1M": 1.0, "completion_per_1M": None}},
                 chat("tbl-model", usage(1_000, 500)),
                 # 1,000 at $1; the completion has no price
                 0.001, quelm.Line("completion", 500, None, 0.0),
                 "completion: no price in the list, not priced",
                 id="a class with no price at all costs nothing"),
    pytest.param("prices", _no_time(),
                 # the peak price: 4,000 at $0.40 + 6,000 at $0.04 + 1,000 at $1.60
                 0.00344, quelm.Line("prompt", 4_000, 0.4, 0.0016),
                 "the time of the call is not known: priced at the peak price",
                 id="deepseek: an unknown time at the peak price"),
])
def test_fallbacks_are_noted(request, pricing, response, total, line, note):
    if isinstance(pricing, str):
        pricing = request.getfixturevalue(pricing)
    got = quelm.cost(response, pricing=pricing)
    assert got.total == pytest.approx(total, rel=1e-12)
    assert got.line(line.name)[:3] == line[:3]
    assert got.line(line.name).dollars == pytest.approx(line.dollars, rel=1e-12)
    assert got.notes == (note,)


# -- the bundled list ----------------------------------------------------

@pytest.mark.parametrize("response, total, tier", [
    pytest.param(chat("gpt-4o-mini", usage(10_000, 1_000,
                                           prompt_tokens_details={"cached_tokens": 4_000})),
                 # gpt-4o-mini row: 6,000 at $0.15 + 4,000 at $0.075 + 1,000 at $0.60
                 0.0009 + 0.0003 + 0.0006, "standard", id="gpt-4o-mini cached"),
    pytest.param(at.Message.model_validate(message(
        {"input_tokens": 150_000, "output_tokens": 10_000, "cache_read_input_tokens": 40_000,
         "cache_creation_input_tokens": 20_000}, model="claude-sonnet-4-5-20250929")),
                 # claude-sonnet-4-5 row, 210,000 > 200,000: 150,000 at $6 + 40,000 at $0.60
                 # + 20,000 at $7.50 + 10,000 at $22.50
                 0.9 + 0.024 + 0.15 + 0.225, "standard, long context",
                 id="claude-sonnet-4-5 long context"),
    pytest.param(chat("deepseek-v4-pro", {"prompt_tokens": 10_000, "completion_tokens": 1_000,
                                          "total_tokens": 11_000,
                                          "prompt_cache_hit_tokens": 6_000,
                                          "prompt_cache_miss_tokens": 4_000},
                      created=SAT_0200),
                 # deepseek-v4-pro row, Saturday: (4,000 at $1.32 + 6,000 at $0.044
                 # + 1,000 at $3.96) * 50% = $0.009504 / 2
                 0.004752, "standard, off-peak", id="deepseek-v4-pro off-peak"),
])
def test_bundled_list(response, total, tier):
    got = quelm.cost(response)
    assert got.total == pytest.approx(total, rel=1e-12)
    assert got.tier == tier


# -- the model, and what cannot be billed --------------------------------

def test_model_argument_overrides_the_response(prices):
    got = quelm.cost(chat("gpt-test", usage(1_000, 1_000)), model="grok-test", pricing=prices)
    # grok-test's prices: 1,000 at $2 + 1,000 at $6
    assert (got.model, got.entry) == ("grok-test", "grok-test")
    assert got.total == pytest.approx(0.008, rel=1e-12)


def test_model_argument_names_an_unnamed_model(prices):
    record = {"usage": usage(1_000, 1_000)}
    with pytest.raises(quelm.Unbillable) as caught:
        quelm.cost(record, pricing=prices)
    assert caught.value.reason == "no model"
    # gpt-test: 1,000 at $2 + 1,000 at $8
    assert quelm.cost(record, model="gpt-test", pricing=prices).total == pytest.approx(0.01)


def test_unknown_model_names_the_closest(prices):
    with pytest.raises(quelm.UnknownModel) as caught:
        quelm.cost(chat("gpt-tset", usage(1, 1)), pricing=prices)
    assert isinstance(caught.value, LookupError)
    assert "gpt-test" in caught.value.closest
    assert "gpt-test" in str(caught.value)


def _errored_claude_batch():
    return MessageBatchIndividualResponse.model_validate(
        {"custom_id": "r1", "result": {"type": "errored", "error": {
            "type": "error", "error": {"type": "overloaded_error", "message": "busy"}}}})


@pytest.mark.parametrize("response, reason", [
    pytest.param({"id": "b1", "custom_id": "r1", "error": None,
                  "response": {"status_code": 500, "body": chat("gpt-test", usage(10, 10))
                               .model_dump(mode="json")}},
                 "error status", id="openai batch line status 500"),
    pytest.param({"id": "b1", "custom_id": "r1", "response": None,
                  "error": {"code": "batch_expired", "message": "expired"}},
                 "error status", id="openai batch line error"),
    pytest.param(_errored_claude_batch(), "error status", id="anthropic errored result"),
    pytest.param(_errored_claude_batch().model_dump(), "error status",
                 id="anthropic errored result dump"),
    pytest.param(gt.InlinedResponse(error={"code": 8, "message": "quota"}), "error status",
                 id="gemini inlined error"),
    pytest.param({"key": "k1", "status": {"code": 3, "message": "bad"}}, "error status",
                 id="gemini batch line status"),
    pytest.param(chat("gpt-test", None), "no usage", id="openai usage None"),
    pytest.param(gemini(None), "no usage", id="gemini no usage_metadata"),
    pytest.param({"model": "gpt-test", "usage": usage(-1, 10)}, "bad usage", id="negative"),
    pytest.param({"model": "gpt-test", "usage": usage(True, 10)}, "bad usage", id="bool"),
    pytest.param({"model": "gpt-test", "usage": usage(10.0, 10)}, "bad usage", id="float"),
    pytest.param({"model": "gpt-test", "usage": usage(10, 10, prompt_tokens_details={
        "cached_tokens": 11})}, "bad usage", id="cached above prompt"),
    pytest.param({"model": "claude-test", "usage": {"input_tokens": 1, "output_tokens": 1,
                                                    "cache_read_input_tokens": 2**63 + 1}},
                 "bad usage", id="beyond 2**63"),
])
def test_unbillable(prices, response, reason):
    with pytest.raises(quelm.Unbillable) as caught:
        quelm.cost(response, pricing=prices)
    assert caught.value.reason == reason
    assert isinstance(caught.value, ValueError)


def test_json_bytes_are_read_as_text(prices):
    text = chat("gpt-test", usage(3_000, 500, prompt_tokens_details={"cached_tokens": 1_000}))
    got = quelm.cost(text.model_dump_json().encode(), pricing=prices)
    # 2,000 at $2 + 1,000 at $0.50 + 500 at $8
    assert got.total == pytest.approx(0.0085, rel=1e-12)


def test_cost_is_immutable_and_its_repr_readable(prices):
    got = quelm.cost(chat("gpt-test", usage(3_000, 500,
                                            prompt_tokens_details={"cached_tokens": 1_000})),
                     pricing=prices)
    with pytest.raises(AttributeError):
        got.total = 0.0
    with pytest.raises(AttributeError):
        got.extra = 1
    with pytest.raises(TypeError):
        got[0] = 0.0
    text = repr(got)
    # $0.0085 in all; 2,000 at $2 is $0.004
    assert "$0.0085" in text and "gpt-test" in text
    assert "prompt: 2,000 at $2/1M = $0.004" in text
    assert "cached: 1,000 at $0.5/1M" in text and "completion: 500 at $8/1M" in text


WRITERS = (
    "| Model | Prompt ($/1M) | Completion ($/1M) | Cache write ($/1M) | Audio prompt ($/1M) "
    "| Long context above (tokens) | Long prompt ($/1M) | Long completion ($/1M) "
    "| Long cached prompt ($/1M) | Batch discount | Off-peak (% off) | Peak hours (UTC) |\n"
    "|---|---|---|---|---|---|---|---|---|---|---|---|\n"
    "| m-long | $1 | $2 | $1.25 | $4 | 1,000 | $2 | $4 | $0.40 | | | |\n"
    "| m-shares | $1 | $2 | | | | | | | | 75% | Mon-Fri 01:00-04:00 |\n"
    "| m-batch | $1 | $2 | | | | | | | 150% | | |\n"
    "| m-no-hours | $1 | $2 | | | | | | | | 50% | |\n")
SAT_0200 = 1765591200  # Saturday 2025-12-13, 02:00 UTC


# Lists as people write them: the class's own long price before any
# fallback, every note kept, and no share that is no price.
@pytest.mark.parametrize("response, total, notes", [
    pytest.param({"model": "m-long", "usage": {"prompt_tokens": 10_000, "completion_tokens": 100,
                  "prompt_tokens_details": {"cached_tokens": 2_000, "audio_tokens": 1_000}}},
                 # 7,000 at $2 + 2,000 at $0.40 + 1,000 audio at $4 + 100 at $4
                 0.014 + 0.0008 + 0.004 + 0.0004,
                 ["audio prompt: no long-context price in the list, priced at the "
                  "standard-context price"], id="long: own long cached price, audio noted"),
    pytest.param({"model": "m-long", "usage": {"input_tokens": 2_000, "output_tokens": 10,
                  "cache_creation_input_tokens": 1_000, "cache_creation": {
                      "ephemeral_5m_input_tokens": 0, "ephemeral_1h_input_tokens": 1_000}}},
                 # 2,000 at $2 + 1,000 at the 5-minute write's $1.25 + 10 at $4
                 0.004 + 0.00125 + 0.00004,
                 ["long-lived cache write: no price in the list, priced as cache write; no "
                  "long-context price in the list, priced at the standard-context price"],
                 id="long: both notes of a fallback"),
    pytest.param({"model": "m-batch", "service_tier": "batch",
                  "usage": {"prompt_tokens": 1_000, "completion_tokens": 0}},
                 0.001, ["batch share '150%' is no percentage from 0% to 100%",
                         "no batch price in the list: priced at the standard price"],
                 id="a discount above 100% is no price"),
    pytest.param({"model": "m-shares", "created": SAT_0200,
                  "usage": {"prompt_tokens": 1_000, "completion_tokens": 0}},
                 0.00025, [], id="75% off off-peak"),
    pytest.param({"model": "m-no-hours", "created": SAT_0200,
                  "usage": {"prompt_tokens": 1_000, "completion_tokens": 0}},
                 0.001, ["an off-peak share without peak hours: not used"],
                 id="off-peak without hours"),
])
def test_what_list_writers_get_wrong_is_said(tmp_path, response, total, notes):
    path = tmp_path / "prices.md"
    path.write_text(WRITERS, encoding="utf8")
    got = quelm.cost(response, pricing=quelm.read_prices(str(path)))
    assert got.total == pytest.approx(total, rel=1e-12)
    assert list(got.notes) == notes
