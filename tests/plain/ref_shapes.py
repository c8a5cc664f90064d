"""Plain-Python rendition of quelm._shapes, the makers' response shapes:
the same rules, read the way one writes them by hand, as the tests' oracle
and the benchmarks' peer.

`read(response)` gives ``(model, counts, tier, region, created)`` or, for
a response that cannot be billed, the reason (a str).  `counts` holds the
tokens of each class of CLASSES, in that order.
"""

from __future__ import annotations

import datetime
from typing import Any, Optional

CLASSES = ("prompt", "cached", "cache_write", "cache_write_long", "audio_prompt", "audio_cached",
           "completion", "reasoning", "audio_completion")

NO_MODEL = "no model"
FAILED = "error status"
NO_USAGE = "no usage"
BAD_USAGE = "bad usage"
MAX_TOKENS = 2**63


class Unbillable(Exception):
    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class _Attrs:
    """A response level that is neither a dict nor a pydantic model, read
    by attribute."""

    __slots__ = ("obj",)

    def __init__(self, obj: Any) -> None:
        self.obj = obj

    def get(self, name: str, default: Any = None) -> Any:
        return getattr(self.obj, name, default)

    def __contains__(self, name: str) -> bool:
        return hasattr(self.obj, name)


_EMPTY: dict = {}
_PYDANTIC: dict[type, bool] = {}


def _level(obj: Any) -> Any:
    """One level of a response as something with `get(name)`: a dict
    itself; a pydantic model (the client libraries' objects) as its fields
    and extra fields, read from its own dict, which is what its attributes
    read; any other object by attribute; None as an empty level."""
    kind = type(obj)
    if kind is dict:
        return obj
    if obj is None:
        return _EMPTY
    pydantic = _PYDANTIC.get(kind)
    if pydantic is None:
        pydantic = _PYDANTIC[kind] = (hasattr(kind, "model_fields")
                                      and hasattr(kind, "__pydantic_extra__"))
    if pydantic:
        extra = obj.__pydantic_extra__
        return {**obj.__dict__, **extra} if extra else obj.__dict__
    if isinstance(obj, dict):
        return obj
    return _Attrs(obj)


def _count(value: Any) -> int:
    """A reported count: a whole number from 0 to 2**63; None counts 0."""
    if type(value) is int and 0 <= value <= MAX_TOKENS:
        return value
    kind = type(value)
    if value is None or (kind.__name__ == "Unset"  # mistralai's "not given"
                         and str(getattr(kind, "__module__", "")).startswith("mistralai.")):
        return 0
    raise Unbillable(BAD_USAGE)


def _part(whole: int, *parts: int) -> int:
    """What remains of a count once the counts reported inside it are taken
    out; a count smaller than its parts is no usage one can bill."""
    rest = whole - sum(parts)
    if rest < 0:
        raise Unbillable(BAD_USAGE)
    return rest


def _text(value: Any) -> Optional[str]:
    """An enum member's or a text's value, lower-cased."""
    value = getattr(value, "value", value)
    return value.lower() if isinstance(value, str) else None


# -- the makers' rules ---------------------------------------------------
#
# Each takes the level holding the counts (see _level) and gives the
# tokens of each class it reports.

def _openai(u: Any) -> dict[str, int]:
    """OpenAI Chat Completions (`prompt_tokens`, `completion_tokens`) and
    Responses (`input_tokens`, `output_tokens`) usage, and the makers that
    report in its shape (xAI, DeepSeek, Mistral).

    OpenAI: cached, cache-write and audio tokens are reported inside the
    prompt count (`prompt_tokens_details` / `input_tokens_details`), the
    writes split by lifetime in `cache_write_tokens_details`; reasoning and
    audio tokens inside the completion count.  xAI reports its reasoning
    tokens beside the completion count instead: the total then adds them up
    again, which is how the two are told apart.  DeepSeek splits the prompt
    into `prompt_cache_hit_tokens` and `prompt_cache_miss_tokens`."""
    get = u.get
    prompt, completion = get("prompt_tokens"), get("completion_tokens")
    if prompt is None and completion is None:  # Responses
        prompt, completion = get("input_tokens"), get("output_tokens")
        pd, cd = get("input_tokens_details"), get("output_tokens_details")
    else:
        pd, cd = get("prompt_tokens_details"), get("completion_tokens_details")
    prompt, completion = _count(prompt), _count(completion)
    cached = writes = long_writes = audio_in = reasoning = audio_out = 0
    if pd is not None:
        pd = _level(pd)
        cached = _count(pd.get("cached_tokens"))
        writes = _count(pd.get("cache_write_tokens"))
        if writes:
            split = _level(pd.get("cache_write_tokens_details"))
            long_writes = min(_count(split.get("ttl_12h_tokens")), writes)
        audio_in = _count(pd.get("audio_tokens"))
    if not cached:  # DeepSeek's split, and two spellings Mistral's API uses
        cached = (_count(get("prompt_cache_hit_tokens")) or _count(get("num_cached_tokens"))
                  or _count(_level(get("prompt_token_details")).get("cached_tokens")))
    if cd is not None:
        cd = _level(cd)
        reasoning = _count(cd.get("reasoning_tokens"))
        audio_out = _count(cd.get("audio_tokens"))
    if reasoning and get("total_tokens") == prompt + completion + reasoning:
        completion += reasoning  # beside the completion count (xAI)
    out = {"prompt": _part(prompt, cached, writes, audio_in)}
    if cached:
        out["cached"] = cached
    if writes:
        out["cache_write"] = writes - long_writes
        out["cache_write_long"] = long_writes
    if audio_in:
        out["audio_prompt"] = audio_in
    out["completion"] = _part(completion, reasoning, audio_out)
    if reasoning:
        out["reasoning"] = reasoning
    if audio_out:
        out["audio_completion"] = audio_out
    return out


def _anthropic(u: Any) -> dict[str, int]:
    """Anthropic Messages usage: `input_tokens` counts only the uncached
    input, beside `cache_read_input_tokens` and the cache writes
    `cache_creation_input_tokens`, which `cache_creation` splits into
    5-minute and 1-hour writes; `output_tokens` holds the thinking tokens
    (`output_tokens_details.thinking_tokens`)."""
    get = u.get
    writes = _count(get("cache_creation_input_tokens"))
    long_writes = 0
    split = get("cache_creation")
    if split is not None:
        split = _level(split)
        long_writes = _count(split.get("ephemeral_1h_input_tokens"))
        writes = max(writes, long_writes + _count(split.get("ephemeral_5m_input_tokens")))
    output = _count(get("output_tokens"))
    thinking = min(_count(_level(get("output_tokens_details")).get("thinking_tokens")), output)
    return {
        "prompt": _count(get("input_tokens")),
        "cached": _count(get("cache_read_input_tokens")),
        "cache_write": writes - long_writes,
        "cache_write_long": long_writes,
        "completion": output - thinking,
        "reasoning": thinking,
    }


def _modality(details: Any, modality: str, count: str) -> int:
    """The tokens of one modality in a Gemini per-modality list."""
    total = 0
    if not isinstance(details, (list, tuple)):
        return 0
    for item in details:
        item = _level(item)
        if _text(item.get("modality")) == modality:
            total += _count(item.get(count))
    return total


# Gemini's field names, snake_case as the SDK has them, camelCase as the
# REST API and the SDK's by-alias dumps write them.
_SNAKE = {n: n for n in ("prompt_token_count", "cached_content_token_count",
                         "candidates_token_count", "thoughts_token_count",
                         "tool_use_prompt_token_count", "prompt_tokens_details",
                         "cache_tokens_details", "candidates_tokens_details", "token_count",
                         "traffic_type", "total_token_count")}
_CAMEL = {n: n.split("_")[0] + "".join(w.title() for w in n.split("_")[1:]) for n in _SNAKE}


def _gemini(m: Any, n: dict[str, str]) -> dict[str, int]:
    """Gemini usage metadata: `prompt_token_count` holds the cached tokens
    (`cached_content_token_count`); thinking tokens (`thoughts_token_count`)
    and tool-use prompt tokens (`tool_use_prompt_token_count`) stand beside
    the candidates and prompt counts (the total adds all four) and are
    billed as output and input.  Some responses count the thoughts inside
    the candidates instead: their total then leaves them out.  Audio is
    priced apart: the per-modality lists say how much of each count is audio
    (`cache_tokens_details` of the cached part); they need not add up to the
    counts, so they are bounded by them."""
    get = m.get
    prompt = _count(get(n["prompt_token_count"]))
    cached = _count(get(n["cached_content_token_count"]))
    output = _count(get(n["candidates_token_count"]))
    thoughts = _count(get(n["thoughts_token_count"]))
    tool = _count(get(n["tool_use_prompt_token_count"]))
    if thoughts and get(n["total_token_count"]) == prompt + output + tool:
        output = _part(output, thoughts)  # thoughts inside the candidates
    audio_cached = audio_in = audio_out = 0
    if get(n["prompt_tokens_details"]) or get(n["candidates_tokens_details"]):
        audio_cached = min(_modality(get(n["cache_tokens_details"]), "audio", n["token_count"]),
                           cached)
        audio_in = min(_modality(get(n["prompt_tokens_details"]), "audio", n["token_count"]),
                       prompt - cached + audio_cached)
        audio_in = max(audio_in - audio_cached, 0)
        audio_out = min(_modality(get(n["candidates_tokens_details"]), "audio",
                                  n["token_count"]), output)
    return {
        "prompt": _part(prompt, cached, audio_in) + tool,
        "cached": cached - audio_cached,
        "audio_prompt": audio_in,
        "audio_cached": audio_cached,
        "completion": output - audio_out,
        "reasoning": thoughts,
        "audio_completion": audio_out,
    }


# The tier that served a Gemini API call is told only by a response header
# (kept in `sdk_http_response.headers` by the SDK); Vertex AI reports it as
# `traffic_type`.
_TRAFFIC_TIERS = {"on_demand_flex": "flex", "on_demand_priority": "priority"}
_SERVED_TIERS = {"flex": "flex", "priority": "priority"}
_TIERS = {"batch": "batch", "flex": "flex", "priority": "priority", "fast": "fast",
          "ultrafast": "ultrafast"}


def _gemini_tier(r: Any, m: Any, n: dict[str, str]) -> Optional[str]:
    traffic = _text(m.get(n["traffic_type"]))
    if traffic is not None:
        return _TRAFFIC_TIERS.get(traffic)
    held = r.get("sdk_http_response")
    if held is None:
        held = r.get("sdkHttpResponse")  # a by-alias dump
    headers = _level(_level(held).get("headers"))
    return _SERVED_TIERS.get(_text(headers.get("x-gemini-service-tier")) or "")


# -- the wrappers --------------------------------------------------------

def _unwrap(r: Any) -> tuple[Any, bool]:
    """The response inside a batch result line, and whether it was one:
    OpenAI Batch output lines (`custom_id`, `response.body`), Anthropic
    Message Batches results (`custom_id`, `result.message`) and Gemini batch
    lines (`key`, `response`) or inlined responses.  A result that failed
    (an error, a status other than 200, a result other than `succeeded`) is
    FAILED: batch requests that fail are not billed."""
    get = r.get
    if get("custom_id") is not None:
        result = get("result")
        if result is not None:  # Anthropic
            result = _level(result)
            kind = _text(result.get("type"))
            if kind != "succeeded":
                raise Unbillable(FAILED)
            return _level(result.get("message")), True
        inner = _level(get("response"))
        status = inner.get("status_code")
        if get("error") is not None or not isinstance(status, int) or status != 200:
            raise Unbillable(FAILED)
        return _level(inner.get("body")), True
    if (get("usage") is None and get("usage_metadata") is None and get("usageMetadata") is None
            and (get("response") is not None or get("key") is not None)):
        status = get("status")
        if get("error") is not None or (status is not None and _level(status).get("code")):
            raise Unbillable(FAILED)
        if get("response") is None:
            raise Unbillable(NO_USAGE)
        return _level(get("response")), True
    return r, False


def _created(r: Any) -> Optional[float]:
    """When the call was made: `created` (OpenAI and its followers, seconds),
    `created_at` (Responses), `create_time` / `createTime` (Gemini)."""
    for name in ("created", "created_at", "create_time", "createTime"):
        value = r.get(name)
        if value is None:
            continue
        if type(value) in (int, float):
            return float(value)
        if isinstance(value, str):
            try:
                value = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
            except ValueError:
                return None
        if isinstance(value, datetime.datetime):
            if value.tzinfo is None:
                value = value.replace(tzinfo=datetime.timezone.utc)
            return value.timestamp()
        return None
    return None


def _is_level(value: Any) -> bool:
    return not isinstance(value, (str, bytes, int, float, list, tuple))


def read(resp: Any) -> Any:
    """(model, counts, tier, region, created) of one response, or the reason
    it cannot be billed."""
    try:
        return _read(resp)
    except Unbillable as exc:
        return exc.reason


def _read(resp: Any) -> Any:
    r, batch = _unwrap(_level(resp))
    get = r.get
    if get("error") is not None:
        raise Unbillable(FAILED)
    model = get("model") or get("modelVersion") or get("model_version")
    if not isinstance(model, str) or not model or model.isspace():
        model = None
    region = None
    usage = get("usage")
    if usage is not None:
        if not _is_level(usage):
            raise Unbillable(BAD_USAGE)
        u = _level(usage)
        if "cache_creation_input_tokens" in u or "cache_read_input_tokens" in u:
            counts = _anthropic(u)
            tier = _text(u.get("service_tier"))
            if _text(u.get("speed")) == "fast":
                tier = "fast"
            if _text(u.get("inference_geo")) == "us":
                region = "us"
        elif all(u.get(k) is None for k in ("prompt_tokens", "completion_tokens",
                                            "input_tokens", "output_tokens")):
            raise Unbillable(NO_USAGE)
        else:
            counts = _openai(u)
            tier = _text(get("service_tier"))
            if tier is None:
                tier = _text(u.get("service_tier"))
    else:
        names, meta = _SNAKE, get("usage_metadata")
        if meta is None:
            names, meta = _CAMEL, get("usageMetadata")
        if meta is None:
            raise Unbillable(NO_USAGE)
        if not _is_level(meta):
            raise Unbillable(BAD_USAGE)
        m = _level(meta)
        if m.get(names["prompt_token_count"]) is None and \
                m.get(names["candidates_token_count"]) is None:
            raise Unbillable(NO_USAGE)
        counts = _gemini(m, names)
        tier = _gemini_tier(r, m, names)
    tier = "batch" if batch else _TIERS.get(tier or "")
    return model, tuple(counts.get(c, 0) for c in CLASSES), tier, region, _created(r)
