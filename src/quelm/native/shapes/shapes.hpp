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

// Every name the reader looks up: each field name is its own C++ name;
// the other texts have a C++ name apart.
#define QUELM_SHAPE_NAMES(X)                                                                     \
    X(usage) X(usage_metadata) X(usageMetadata) X(model) X(modelVersion) X(model_version)        \
    X(error) X(custom_id) X(result) X(type) X(message) X(response) X(body) X(status_code) X(key) \
    X(status) X(code) X(service_tier) X(speed) X(inference_geo) X(prompt_tokens)                 \
    X(completion_tokens) X(input_tokens) X(output_tokens) X(prompt_tokens_details)               \
    X(completion_tokens_details) X(input_tokens_details) X(output_tokens_details)                \
    X(cached_tokens) X(cache_write_tokens) X(cache_write_tokens_details) X(ttl_12h_tokens)       \
    X(audio_tokens) X(reasoning_tokens) X(total_tokens) X(prompt_cache_hit_tokens)               \
    X(num_cached_tokens) X(prompt_token_details) X(cache_creation_input_tokens)                  \
    X(cache_read_input_tokens) X(cache_creation) X(ephemeral_1h_input_tokens)                    \
    X(ephemeral_5m_input_tokens) X(thinking_tokens) X(modality) X(sdk_http_response)             \
    X(sdkHttpResponse) X(headers) X(created) X(created_at) X(create_time) X(createTime) X(value) \
    X(model_fields) X(Z) X(batch) X(flex) X(priority) X(fast) X(ultrafast) X(us) X(tzinfo)       \
    X(replace) X(timestamp)
#define QUELM_SHAPE_TEXTS(X)                                                                     \
    X(x_gemini_service_tier, "x-gemini-service-tier") X(pydantic_extra, "__pydantic_extra__")    \
    X(utc_offset, "+00:00") X(module, "__module__")

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
#define QUELM_FIELD(name, ...) Ref name;
    QUELM_SHAPE_NAMES(QUELM_FIELD)
    QUELM_SHAPE_TEXTS(QUELM_FIELD)
#undef QUELM_FIELD
    Ref datetime;       // datetime.datetime
    Ref fromisoformat;  // datetime.datetime.fromisoformat
    Ref utc;            // datetime.timezone.utc
    Ref pydantic_types; // dict: type -> its __pydantic_extra__ descriptor, or False
    Ref one;            // 1
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
