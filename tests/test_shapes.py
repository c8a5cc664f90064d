"""quelm._shapes.read, the native reader of the makers' response shapes,
against its plain-Python rendition (tests/plain/ref_shapes.py)."""
import datetime
import enum
import gc
import types
import weakref
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from mistralai.client import models as mm
from mistralai.client.types import UNSET
from pydantic import BaseModel, ConfigDict

import quelm
from plain import ref_shapes
from quelm import _shapes
from support import examples


class Tier(enum.Enum):  # enum-like texts, as the client libraries' enums
    FLEX = "flex"
    PRIORITY = "PRIORITY"
    ON_DEMAND_FLEX = "ON_DEMAND_FLEX"
    AUDIO = "AUDIO"
    STANDARD = "standard"


def weighted(*choices):
    """One of the strategies, each as often as its weight: (weight, strategy), ..."""
    pool = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.integers(0, len(pool) - 1).flatmap(pool.__getitem__)


def mostly(usual, rare, one_in=20):
    return weighted((one_in - 1, usual), (1, rare))


# A count: mostly a whole number, now and then None or no count at all; the
# counts reported inside others mostly smaller than these.
odd = st.one_of(st.just(UNSET), st.integers(-3, -1), st.booleans(), st.floats(0, 100),
                st.integers(2**63 - 2, 2**63 + 1), st.sampled_from([2**64, 2**64 + 5, 2**200]))
counts = mostly(weighted((15, st.integers(1_000, 5_000)), (4, st.integers(0, 999)),
                         (1, st.none())), odd, 30)
parts = mostly(mostly(st.integers(0, 300), st.none(), 5), odd, 30)
texts = st.one_of(
    st.sampled_from(["flex", "FLEX", "Flex", "priority", "batch", "fast", "ultrafast", "standard",
                     "default", "scale", "", "on_demand_flex", "ON_DEMAND_PRIORITY", "ON_DEMAND",
                     "us", "US", "eu", "succeeded", "errored", "audio", "AUDIO", "TEXT"]),
    st.sampled_from(Tier), st.none(), st.integers(0, 2))
times = st.one_of(
    st.none(), st.integers(-10**13, 10**13), st.floats(-1e13, 1e13), st.booleans(),
    st.sampled_from(["2026-12-09T02:00:00Z", "2026-12-09T02:00:00+08:00", "2026-12-09", "x", ""]),
    st.datetimes(datetime.datetime(1971, 1, 1), datetime.datetime(2100, 1, 1),
                 timezones=st.sampled_from([None, datetime.timezone.utc])))
models = st.one_of(st.sampled_from(["gpt-test", "gemini-test", "", "  "]), st.none(),
                   st.integers(0, 1))


def fields(required=None, **optional):
    """A dict of the required fields and, each three times in four, the optional ones."""
    names = list(optional)
    keep = st.lists(mostly(st.just(True), st.just(False), 4), min_size=len(names),
                    max_size=len(names))
    return st.builds(lambda d, flags: {k: v for k, v in d.items()
                                       if k not in optional or flags[names.index(k)]},
                     st.fixed_dictionaries({**(required or {}), **optional}), keep)


def level(**optional):
    """A nested level: mostly a dict of its fields, now and then None or no level."""
    return mostly(fields(**optional), st.sampled_from([None, 0, 1]), 6)


def either(pairs, **optional):
    """Usually one pair of main counts given (a shape's two), the rest optional."""
    return st.one_of(*[fields({a: counts, b: counts}, **optional) for a, b in pairs],
                     fields(**{n: counts for pair in pairs for n in pair}, **optional))


def dig(u, path):
    for name in path.split("."):
        u = u.get(name) if isinstance(u, dict) else None
    return u if type(u) is int else 0


def with_total(usage, total, *sums):
    """The usage with its total now and then one of the sums (of counts
    named by path), which the readers compare it to: it tells where
    reasoning and thoughts stand."""
    def put(u, which):
        if which is not None:
            u[total] = sum(dig(u, path) for path in sums[which])
        return u
    return st.builds(put, usage, st.sampled_from([None, *range(len(sums))]))


openai_usage = either(
    [("prompt_tokens", "completion_tokens"), ("input_tokens", "output_tokens")],
    total_tokens=counts, prompt_cache_hit_tokens=parts, num_cached_tokens=parts,
    service_tier=texts, prompt_token_details=level(cached_tokens=parts),
    **{name: level(cached_tokens=parts, cache_write_tokens=parts, audio_tokens=parts,
                   cache_write_tokens_details=level(ttl_12h_tokens=parts, ttl_30m_tokens=parts))
       for name in ("prompt_tokens_details", "input_tokens_details")},
    **{name: level(reasoning_tokens=parts, audio_tokens=parts)
       for name in ("completion_tokens_details", "output_tokens_details")})
openai_usage = with_total(openai_usage, "total_tokens",
                          ("prompt_tokens", "completion_tokens",
                           "completion_tokens_details.reasoning_tokens"),
                          ("prompt_tokens", "completion_tokens"),
                          ("input_tokens", "output_tokens"))
anthropic_usage = either(
    [("input_tokens", "cache_read_input_tokens"), ("output_tokens", "cache_creation_input_tokens")],
    service_tier=texts, speed=texts, inference_geo=texts,
    cache_creation=level(ephemeral_5m_input_tokens=counts, ephemeral_1h_input_tokens=counts),
    output_tokens_details=level(thinking_tokens=parts))


def gemini_usage(names):
    n = names.get
    modality = mostly(st.sampled_from(["AUDIO", "audio", Tier.AUDIO, "TEXT"]), texts, 4)
    detail = fields({"modality": modality, n("token_count"): parts})
    details = mostly(st.lists(detail, min_size=1, max_size=3),
                     st.one_of(st.just([]), st.lists(detail, max_size=2).map(tuple), st.none(),
                               st.just("AUDIO")), 4)
    meta = fields({n("prompt_token_count"): counts}, **{n("candidates_token_count"): counts},
                  **{n(k): parts for k in ("cached_content_token_count", "thoughts_token_count",
                                           "tool_use_prompt_token_count")},
                  **{n(k): details for k in ("prompt_tokens_details", "cache_tokens_details",
                                             "candidates_tokens_details")},
                  **{n("traffic_type"): texts})
    counted = [n(k) for k in ("prompt_token_count", "candidates_token_count",
                              "tool_use_prompt_token_count")]
    return with_total(meta, n("total_token_count"), (*counted, n("thoughts_token_count")),
                      counted)


snake, camel = {n: n for n in ref_shapes._SNAKE}, ref_shapes._CAMEL
headers = level(headers=level(**{"x-gemini-service-tier": texts}))
common = dict(model=models, service_tier=texts, error=st.none(), created=times, created_at=times)
responses = weighted(
    (3, fields({"usage": openai_usage}, **common)),
    (3, fields({"usage": anthropic_usage}, **common)),
    (3, fields({"usage_metadata": gemini_usage(snake)}, model_version=models, create_time=times,
               sdk_http_response=headers, **common)),
    (2, fields({"usageMetadata": gemini_usage(camel)}, modelVersion=models, createTime=times,
               sdkHttpResponse=headers, **common)),
    (1, fields(usage=st.sampled_from([None, 2, [1], {}]), **common)),
    (1, fields({"error": st.just({"message": "failed"})}, model=models)))
statuses = mostly(st.just(200), st.one_of(st.sampled_from([500, 200.0, True, None, "200"]),
                                          st.integers(2**63, 2**65)), 4)
errors = mostly(st.none(), st.sampled_from([{"code": "x"}, {"code": 3}]), 4)
gemini_status = mostly(st.none(), st.sampled_from([{"code": 0}, {"code": 5}]), 4)


def wrapped(r):
    """The response as such, or in a batch result line of each maker."""
    body = st.just(r)
    return weighted(
        (6, body),
        (2, fields({"custom_id": st.just("r1"),
                    "response": fields({"body": body}, status_code=statuses)}, error=errors)),
        (2, fields({"custom_id": st.just("r1"),
                    "result": fields({"message": body}, type=mostly(st.just("succeeded"),
                                                                    texts, 4))})),
        (2, fields({"response": body}, key=st.just("k1"), metadata=st.just({"a": "b"}),
                   error=errors, status=gemini_status)),
        (1, fields({"key": st.just("k1")}, status=gemini_status)))


lines = responses.flatmap(wrapped)


class Loose(BaseModel):
    model_config = ConfigDict(extra="allow", arbitrary_types_allowed=True)


class Declared(Loose):
    """Some fields declared (present even when not given), the rest extra."""
    model: Any = None
    usage: Any = None
    response: Any = None
    prompt_tokens: Any = None
    cache_read_input_tokens: Any = None


def objects(make):
    """The same data with each dict turned into an object by `make`."""
    def convert(value):
        if isinstance(value, dict):
            return make(**{k: convert(v) for k, v in value.items()})
        if isinstance(value, (list, tuple)):
            return type(value)(convert(v) for v in value)
        return value
    return convert


FORMS = {"dict": lambda d: d, "namespace": objects(types.SimpleNamespace),
         "loose model": objects(Loose), "declared model": objects(Declared)}


def outcome(read, value):
    try:
        return read(value)
    except Exception as exc:  # both must fail alike
        return ("raised", type(exc))


@pytest.mark.parametrize("form", FORMS)
@examples(300)
@given(data=lines)
def test_native_reader_matches_plain_rendition(form, data):
    value = FORMS[form](data)
    assert outcome(_shapes.read, value) == outcome(ref_shapes.read, value)


BODY = {"model": "m", "usage": {"prompt_tokens": 1, "completion_tokens": 1}}
BILLED = ("m", (1, 0, 0, 0, 0, 0, 1, 0, 0), None, None, None)


# Where the two readers were once found apart.
@pytest.mark.parametrize("response, expected", [
    pytest.param({"custom_id": "r1", "response": {"status_code": 200.0, "body": BODY}},
                 "error status", id="float status 200.0"),
    pytest.param({"model": "m", "usage_metadata": {"prompt_token_count": 1,
                                                    "traffic_type": "flex"}},
                 ("m", (1, 0, 0, 0, 0, 0, 0, 0, 0), None, None, None),
                 id="traffic_type spelled as the header's tier"),
    pytest.param({**BODY, "service_tier": "", "usage": {**BODY["usage"],
                                                        "service_tier": "priority"}},
                 BILLED, id="empty service_tier beside usage.service_tier"),
    pytest.param({**BODY, "service_tier": {"value": "flex"}}, BILLED, id="dict for a tier"),
    pytest.param({**BODY, "service_tier": Tier.FLEX}, BILLED[:2] + ("flex", None, None),
                 id="enum tier"),
])
def test_once_apart(impl, response, expected):
    assert impl.read_response(response) == expected


# -- sharp cases ---------------------------------------------------------

class Failing:
    model = "gpt-test"

    @property
    def usage(self):
        raise RuntimeError("the property failed")


class Missing(Failing):
    @property
    def usage(self):
        raise AttributeError("usage")


def test_a_property_failing_otherwise_than_by_attribute_error_propagates():
    with pytest.raises(RuntimeError, match="the property failed"):
        _shapes.read(Failing())
    with pytest.raises(RuntimeError, match="the property failed"):
        quelm.cost(Failing(), pricing={"gpt-test": {"prompt_per_1M": 1.0,
                                                    "completion_per_1M": 1.0}})
    # an AttributeError is a field the object has not: no usage
    assert _shapes.read(Missing()) == ref_shapes.read(Missing()) == "no usage"


def test_mistralai_unset_counts_zero():
    got = _shapes.read({"model": "m", "usage": {"prompt_tokens": UNSET, "completion_tokens": 5,
                                                "prompt_tokens_details": {"cached_tokens": UNSET}}})
    assert got[1] == (0, 0, 0, 0, 0, 0, 5, 0, 0)
    usage = mm.UsageInfo(prompt_tokens=10, completion_tokens=5, total_tokens=15)
    obj = mm.ChatCompletionResponse(id="c", object="chat.completion", model="m", created=1,
                                    choices=[], usage=usage)
    # prompt_audio_seconds and service_tier are Unset on the object
    assert _shapes.read(obj) == ("m", (10, 0, 0, 0, 0, 0, 5, 0, 0), None, None, 1.0)


class LastUnset:  # no mistralai type: only its name ends as that marker's does
    pass


class Unset:  # the marker's name, in another package
    pass


@pytest.mark.parametrize("marker", [LastUnset(), Unset()])
def test_only_the_unset_marker_counts_zero(marker):
    response = {"model": "m", "usage": {"prompt_tokens": marker, "completion_tokens": 1}}
    assert _shapes.read(response) == ref_shapes.read(response) == "bad usage"


HUGE = 2**63


@pytest.mark.parametrize("response, expected", [
    pytest.param({"usage": {"input_tokens": HUGE, "output_tokens": HUGE,
                            "cache_read_input_tokens": HUGE, "cache_creation_input_tokens": 0,
                            "cache_creation": {"ephemeral_5m_input_tokens": HUGE,
                                               "ephemeral_1h_input_tokens": HUGE}}},
                 # writes: the split's 2**64 outweighs the 0 reported
                 (HUGE, HUGE, HUGE, HUGE, 0, 0, HUGE, 0, 0), id="anthropic"),
    pytest.param({"usageMetadata": {"promptTokenCount": HUGE, "cachedContentTokenCount": 1,
                                    "toolUsePromptTokenCount": HUGE,
                                    "candidatesTokenCount": HUGE}},
                 # prompt: (2**63 - 1) uncached + 2**63 tool-use = 2**64 - 1
                 (2 * HUGE - 1, 1, 0, 0, 0, 0, HUGE, 0, 0), id="gemini"),
    pytest.param({"usage": {"prompt_tokens": HUGE, "completion_tokens": HUGE,
                            "total_tokens": 3 * HUGE,
                            "completion_tokens_details": {"reasoning_tokens": HUGE}}},
                 # the total (beyond 64 bits) tells reasoning stands beside the completion
                 (HUGE, 0, 0, 0, 0, 0, HUGE, HUGE, 0), id="xai"),
])
def test_counts_up_to_2_63_and_sums_beyond_64_bits_are_exact(response, expected):
    got = _shapes.read(response)
    assert got == ref_shapes.read(response) == (None, expected, None, None, None)
    assert all(type(n) is int for n in got[1])
    assert _shapes.read({"usage": {"prompt_tokens": HUGE + 1, "completion_tokens": 0}}) == \
        "bad usage"


def test_the_types_read_are_not_kept_alive_for_ever():
    # Programs make response types on the fly (pydantic's create_model).
    made = type("Made", (), {"model": "m", "usage": None})
    kept = weakref.ref(made)
    assert _shapes.read(made()) == "no usage"
    del made
    for i in range(1000):
        _shapes.read(type(f"Made{i}", (), {"model": "m", "usage": None})())
    gc.collect()
    assert kept() is None
