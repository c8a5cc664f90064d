// The response-shape reader's shared declarations (shapes.cpp holds the
// rules, module.cpp the module).
#pragma once

#include <array>

#include "level.hpp"

namespace quelm::shapes {

// Counts are worked out wide enough that no sum of reported counts (each at
// most 2**63) can overflow.
using Count = __int128;

enum Class : int {
    kPrompt, kCached, kCacheWrite, kCacheWriteLong, kAudioPrompt, kAudioCached,
    kCompletion, kReasoning, kAudioCompletion, kClasses
};
using Counts = std::array<Count, kClasses>;

// Why a response cannot be billed, as read() gives it.
inline constexpr const char* kFailed = "error status";
inline constexpr const char* kNoUsage = "no usage";
inline constexpr const char* kBadUsage = "bad usage";
// Thrown by a count that is no count, deep in a maker's rule (and turned
// into kBadUsage by read()'s caller): rare, unlike the other reasons.
struct BadUsage {};

// Every name the reader looks up: (C++ name, text).
#define QUELM_SHAPE_NAMES(X)                                                                     \
    X(usage, "usage") X(usage_metadata, "usage_metadata") X(usageMetadata, "usageMetadata")      \
    X(model, "model") X(modelVersion, "modelVersion") X(model_version, "model_version")          \
    X(error, "error") X(custom_id, "custom_id") X(result, "result") X(type, "type")              \
    X(message, "message") X(response, "response") X(body, "body")                                \
    X(status_code, "status_code") X(key, "key") X(status, "status") X(code, "code")              \
    X(service_tier, "service_tier") X(speed, "speed") X(inference_geo, "inference_geo")          \
    X(prompt_tokens, "prompt_tokens") X(completion_tokens, "completion_tokens")                  \
    X(input_tokens, "input_tokens") X(output_tokens, "output_tokens")                            \
    X(prompt_tokens_details, "prompt_tokens_details")                                            \
    X(completion_tokens_details, "completion_tokens_details")                                    \
    X(input_tokens_details, "input_tokens_details")                                              \
    X(output_tokens_details, "output_tokens_details") X(cached_tokens, "cached_tokens")          \
    X(cache_write_tokens, "cache_write_tokens")                                                  \
    X(cache_write_tokens_details, "cache_write_tokens_details")                                  \
    X(ttl_12h_tokens, "ttl_12h_tokens") X(audio_tokens, "audio_tokens")                          \
    X(reasoning_tokens, "reasoning_tokens") X(total_tokens, "total_tokens")                      \
    X(prompt_cache_hit_tokens, "prompt_cache_hit_tokens")                                        \
    X(num_cached_tokens, "num_cached_tokens") X(prompt_token_details, "prompt_token_details")    \
    X(cache_creation_input_tokens, "cache_creation_input_tokens")                                \
    X(cache_read_input_tokens, "cache_read_input_tokens") X(cache_creation, "cache_creation")    \
    X(ephemeral_1h_input_tokens, "ephemeral_1h_input_tokens")                                    \
    X(ephemeral_5m_input_tokens, "ephemeral_5m_input_tokens")                                    \
    X(thinking_tokens, "thinking_tokens") X(modality, "modality")                                \
    X(sdk_http_response, "sdk_http_response") X(sdkHttpResponse, "sdkHttpResponse")            \
    X(headers, "headers")                                                                        \
    X(x_gemini_service_tier, "x-gemini-service-tier") X(created, "created")                      \
    X(created_at, "created_at") X(create_time, "create_time") X(createTime, "createTime")        \
    X(value, "value") X(strip, "strip") X(dict, "__dict__")                                      \
    X(pydantic_extra, "__pydantic_extra__") X(model_fields, "model_fields") X(Z, "Z")            \
    X(utc_offset, "+00:00") X(batch, "batch") X(flex, "flex") X(priority, "priority")            \
    X(fast, "fast") X(ultrafast, "ultrafast") X(us, "us") X(tzinfo, "tzinfo")                 \
    X(replace, "replace") X(timestamp, "timestamp") X(module, "__module__")

// The fields read on a response's own level (and on a batch line's), as
// opposed to its usage: a reader that decodes JSON may keep only these.
// The second list: those that hold a response level in turn.
#define QUELM_RESPONSE_FIELDS(X)                                                                 \
    X(custom_id) X(result) X(type) X(message) X(response) X(status_code) X(body) X(error)        \
    X(usage) X(usage_metadata) X(usageMetadata) X(key) X(status) X(model) X(modelVersion)        \
    X(model_version) X(service_tier) X(sdk_http_response) X(sdkHttpResponse) X(created)          \
    X(created_at) X(create_time) X(createTime)
#define QUELM_NESTED_FIELDS(X) X(result) X(message) X(response) X(body)

// Gemini's fields, snake_case as the SDK names them and camelCase as the
// REST API and the SDK's by-alias dumps write them.
#define QUELM_GEMINI_NAMES(X)                                                                    \
    X(prompt_token_count) X(cached_content_token_count) X(candidates_token_count)               \
    X(thoughts_token_count) X(tool_use_prompt_token_count) X(total_token_count)                  \
    X(prompt_tokens_details) X(cache_tokens_details) X(candidates_tokens_details)                \
    X(token_count) X(traffic_type)

struct Names {
#define QUELM_FIELD(name, text) Ref name;
    QUELM_SHAPE_NAMES(QUELM_FIELD)
#undef QUELM_FIELD
    Ref datetime;       // datetime.datetime
    Ref fromisoformat;  // datetime.datetime.fromisoformat
    Ref utc;            // datetime.timezone.utc
    Ref pydantic_types; // dict: type -> whether it is a pydantic model
};

struct GeminiNames {
#define QUELM_FIELD(name) Ref name;
    QUELM_GEMINI_NAMES(QUELM_FIELD)
#undef QUELM_FIELD
};
const GeminiNames& snake_case();
const GeminiNames& camel_case();

// The response's (model, counts, tier, region, created), or the reason it
// cannot be billed as a str (shapes.cpp); throws BadUsage for a count that
// is no count.
Ref read(Borrowed response);

// A count as a Python int.
Ref as_int(Count value);

}  // namespace quelm::shapes
