// The makers' response shapes: the one place that knows their field names,
// which of their counts lie inside which, and how a response says the
// service tier it was billed in.  `read()` turns one response into the
// tokens of each class (classes never overlap: a call's tokens are their
// sum):
//
//   prompt            input tokens at the prompt price
//   cached            input tokens read from a prompt cache
//   cache_write       input tokens written to a prompt cache (short-lived)
//   cache_write_long  input tokens written to a long-lived prompt cache
//                     (Anthropic's one hour, OpenAI's twelve)
//   audio_prompt      audio input tokens (not cached)
//   audio_cached      audio input tokens read from a prompt cache
//   completion        output tokens at the completion price
//   reasoning         thinking output tokens, billed as completion tokens
//   audio_completion  audio output tokens
//
// tests/plain/ref_shapes.py is the same rules in plain Python, the tests' oracle.
#include "shapes.hpp"

#include <algorithm>
#include <cstring>

namespace quelm::shapes {
namespace {

const Names& n() { return *N; }

Ref reason(const char* text) { return str(text); }

// -- counts -------------------------------------------------------------

constexpr Count kMaxTokens = Count(1) << 63;

// mistralai's "not given" marker, which its objects hold for a field the
// response left out: an instance of its class Unset.
bool unset(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (std::strcmp(type->tp_name, "Unset") != 0) return false;
    const Ref module = Ref::steal_maybe(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(type), n().module.get()));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    const char* name = PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
    if (!name) PyErr_Clear();
    return name && std::strncmp(name, "mistralai.", 10) == 0;
}

// A reported count: a whole number from 0 to 2**63 (an exact int: a truth
// value is no count); None, and mistralai's "not given" marker, count 0.
Count count(const Ref& value) {
    PyObject* o = value.get();
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (small == -1 && PyErr_Occurred()) throw PyError{};
            if (small >= 0) return small;
        } else if (overflow > 0) {
            const unsigned long long big = PyLong_AsUnsignedLongLong(o);
            if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();  // beyond 64 bits: no count either
            } else if (Count(big) <= kMaxTokens) {
                return big;
            }
        }
        throw BadUsage{};
    }
    if (o == Py_None || unset(o)) return 0;
    throw BadUsage{};
}

Count count(const Level& level, const Ref& name) { return count(level.get(name.get())); }

// Whether a reported total equals `sum`, as `total == sum` compares.
bool equals(const Ref& total, Count sum) {
    if (total.is_none()) return false;
    return check(PyObject_RichCompareBool(total.get(), as_int(sum).get(), Py_EQ)) != 0;
}

// What remains of a count once the counts reported inside it are taken
// out; a count smaller than its parts is no usage one can bill.
Count part(Count whole, Count parts) {
    if (whole < parts) throw BadUsage{};
    return whole - parts;
}

// -- texts --------------------------------------------------------------

// The text of a str, or of an enum member's str value; null otherwise.
Ref text_of(const Ref& value) {
    if (PyUnicode_Check(value.get())) return value;
    if (value.is_none() || PyDict_Check(value.get())) return Ref();
    Ref inner = Ref::steal_maybe(PyObject_GetAttr(value.get(), n().value.get()));
    if (!inner) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
    }
    return inner && PyUnicode_Check(inner.get()) ? inner : Ref();
}

// Whether the str `s` is `ascii` (lower-case), letter case aside.
bool same_text(PyObject* s, const char* ascii) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    if (len != static_cast<Py_ssize_t>(std::strlen(ascii))) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c - 'A' < 26u) c |= 0x20;
        if (c != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

// Whether `value`'s text is `ascii` (lower-case), letter case aside.
bool text_is(const Ref& value, const char* ascii) {
    const Ref text = text_of(value);
    return text && same_text(text.get(), ascii);
}

// The service tier a text names, as one of the tier names, or null.
PyObject* tier_of(const Ref& value) {
    const Ref text = text_of(value);
    if (!text) return nullptr;
    for (PyObject* tier : {n().batch.get(), n().flex.get(), n().priority.get(), n().fast.get(),
                           n().ultrafast.get()}) {
        if (same_text(text.get(), PyUnicode_AsUTF8(tier))) return tier;
    }
    return nullptr;
}

// Whether a str is empty or all whitespace (as str.isspace() tells).
bool blank(PyObject* s) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < len; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

// -- the makers' rules --------------------------------------------------

// OpenAI Chat Completions (prompt_tokens, completion_tokens) and Responses
// (input_tokens, output_tokens) usage, and the makers that report in its
// shape (xAI, DeepSeek, Mistral).
//
// OpenAI's prompt-caching guide: cached and cache-write tokens lie inside
// the prompt count and do not overlap ("input tokens use the
// uncached-input, cached-input, or cache-write rate"); the Responses API
// splits the writes by lifetime (ttl_30m_tokens, ttl_12h_tokens).  Audio
// tokens are part of the prompt and completion counts; reasoning tokens
// (and rejected prediction tokens) lie inside the completion count.
// xAI's consumption docs: "reasoning token consumption will be counted
// separately from completion_tokens, but will be counted in the
// total_tokens" - the total tells the two apart.  DeepSeek's context-caching
// guide: prompt_cache_hit_tokens + prompt_cache_miss_tokens = prompt_tokens.
// Mistral's prompt-caching docs report prompt_tokens_details.cached_tokens,
// which its API also spells num_cached_tokens and prompt_token_details.
void openai(const Level& u, Counts& c) {
    Ref prompt = u.get(n().prompt_tokens.get()), completion = u.get(n().completion_tokens.get());
    Level pd, cd;
    if (prompt.is_none() && completion.is_none()) {  // Responses
        prompt = u.get(n().input_tokens.get());
        completion = u.get(n().output_tokens.get());
        pd = u.at(n().input_tokens_details.get());
        cd = u.at(n().output_tokens_details.get());
    } else {
        pd = u.at(n().prompt_tokens_details.get());
        cd = u.at(n().completion_tokens_details.get());
    }
    const Count in = count(prompt);
    Count out = count(completion);
    Count cached = count(pd, n().cached_tokens);
    const Count writes = count(pd, n().cache_write_tokens);
    Count long_writes = 0;
    if (writes) {
        long_writes = count(pd.at(n().cache_write_tokens_details.get()), n().ttl_12h_tokens);
        if (long_writes > writes) long_writes = writes;
    }
    if (!cached) cached = count(u, n().prompt_cache_hit_tokens);
    if (!cached) cached = count(u, n().num_cached_tokens);
    if (!cached) cached = count(u.at(n().prompt_token_details.get()), n().cached_tokens);
    const Count audio_in = count(pd, n().audio_tokens);
    const Count reasoning = count(cd, n().reasoning_tokens);
    const Count audio_out = count(cd, n().audio_tokens);
    if (reasoning && equals(u.get(n().total_tokens.get()), in + out + reasoning))
        out += reasoning;  // beside the completion count (xAI)
    c[kPrompt] = part(in, cached + writes + audio_in);
    c[kCached] = cached;
    c[kCacheWrite] = writes - long_writes;
    c[kCacheWriteLong] = long_writes;
    c[kAudioPrompt] = audio_in;
    c[kCompletion] = part(out, reasoning + audio_out);
    c[kReasoning] = reasoning;
    c[kAudioCompletion] = audio_out;
}

// Anthropic Messages usage.  The Message docstring: "Total input tokens in
// a request is the summation of input_tokens, cache_creation_input_tokens,
// and cache_read_input_tokens" - input_tokens is the uncached input only.
// cache_creation splits the writes into 5-minute and 1-hour ones; when it
// accounts for fewer than cache_creation_input_tokens, the rest is priced
// as 5-minute writes.  output_tokens "remains the inclusive, authoritative
// total used for billing"; output_tokens_details.thinking_tokens says how
// many of them were thinking.
void anthropic(const Level& u, Counts& c) {
    Count writes = count(u, n().cache_creation_input_tokens);
    Count long_writes = 0;
    const Ref split = u.get(n().cache_creation.get());
    if (!split.is_none()) {
        const Level s(split);
        long_writes = count(s, n().ephemeral_1h_input_tokens);
        const Count both = long_writes + count(s, n().ephemeral_5m_input_tokens);
        if (both > writes) writes = both;
    }
    const Count out = count(u, n().output_tokens);
    Count thinking = count(u.at(n().output_tokens_details.get()), n().thinking_tokens);
    if (thinking > out) thinking = out;
    c[kPrompt] = count(u, n().input_tokens);
    c[kCached] = count(u, n().cache_read_input_tokens);
    c[kCacheWrite] = writes - long_writes;
    c[kCacheWriteLong] = long_writes;
    c[kCompletion] = out - thinking;
    c[kReasoning] = thinking;
}

// The tokens of the audio modality in a Gemini per-modality list.
Count audio_of(const Ref& details, const GeminiNames& g) {
    Count total = 0;
    if (!PyList_Check(details.get()) && !PyTuple_Check(details.get())) return 0;
    const Ref items = Ref::steal(PySequence_Tuple(details.get()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        const Level item(PyTuple_GET_ITEM(items.get(), i));
        if (text_is(item.get(n().modality.get()), "audio")) total += count(item, g.token_count);
    }
    return total;
}

// Gemini usage metadata (GenerateContentResponseUsageMetadata's docstrings):
// prompt_token_count includes the cached content's tokens; the total is "the
// sum of prompt_token_count, candidates_token_count,
// tool_use_prompt_token_count, and thoughts_token_count" - thinking and
// tool-use tokens stand beside the other two, and are billed as output
// ("Output price (including thinking tokens)") and input.  Some responses
// count the thoughts inside the candidates: their total leaves them out.
// Audio is priced apart; the per-modality lists need not add up to the
// counts, so they are bounded by them.
void gemini(const Level& m, const GeminiNames& g, Counts& c) {
    const Count prompt = count(m, g.prompt_token_count);
    const Count cached = count(m, g.cached_content_token_count);
    Count out = count(m, g.candidates_token_count);
    const Count thoughts = count(m, g.thoughts_token_count);
    const Count tool = count(m, g.tool_use_prompt_token_count);
    if (thoughts && equals(m.get(g.total_token_count.get()), prompt + out + tool))
        out = part(out, thoughts);  // thoughts inside the candidates
    Count audio_cached = 0, audio_in = 0, audio_out = 0;
    const Ref prompt_details = m.get(g.prompt_tokens_details.get());
    const Ref output_details = m.get(g.candidates_tokens_details.get());
    if (truthy(prompt_details) || truthy(output_details)) {
        audio_cached = std::min(audio_of(m.get(g.cache_tokens_details.get()), g), cached);
        audio_in = std::min(audio_of(prompt_details, g), part(prompt, cached) + audio_cached);
        audio_in = audio_in > audio_cached ? audio_in - audio_cached : 0;
        audio_out = std::min(audio_of(output_details, g), out);
    }
    c[kPrompt] = part(prompt, cached + audio_in) + tool;
    c[kCached] = cached - audio_cached;
    c[kAudioPrompt] = audio_in;
    c[kAudioCached] = audio_cached;
    c[kCompletion] = out - audio_out;
    c[kReasoning] = thoughts;
    c[kAudioCompletion] = audio_out;
}

// The tier of a Gemini call: Vertex AI reports it as traffic_type; the
// Gemini API only in the x-gemini-service-tier response header, which the
// SDK keeps in sdk_http_response.headers.
PyObject* gemini_tier(const Level& r, const Level& m, const GeminiNames& g) {
    const Ref traffic = m.get(g.traffic_type.get());
    if (text_is(traffic, "on_demand_flex")) return n().flex.get();
    if (text_is(traffic, "on_demand_priority")) return n().priority.get();
    if (text_of(traffic)) return nullptr;
    Ref held = r.get(n().sdk_http_response.get());
    if (held.is_none()) held = r.get(n().sdkHttpResponse.get());  // a by-alias dump
    const Level headers = Level(held).at(n().headers.get());
    const Ref served = headers.get(n().x_gemini_service_tier.get());
    if (text_is(served, "flex")) return n().flex.get();
    if (text_is(served, "priority")) return n().priority.get();
    return nullptr;
}

// -- wrappers -----------------------------------------------------------

bool is_level(const Ref& v) {
    PyObject* o = v.get();
    return !(PyUnicode_Check(o) || PyBytes_Check(o) || PyLong_Check(o) || PyFloat_Check(o) ||
             PyList_Check(o) || PyTuple_Check(o));
}

// The response inside a batch result line, or the response itself.
//   OpenAI Batch output line: {custom_id, response: {status_code, body}, error}
//   Anthropic Message Batches result: {custom_id, result: {type, message}};
//     only "succeeded" results are billed (errored, canceled and expired
//     requests are not)
//   Gemini batch line: {key, response} or {key, error / status}; the SDK's
//     InlinedResponse {response, metadata, error}
// A failed request is not billed: `why` tells, and the level is empty.
// (Reasons are returned, not thrown: runs hold many failed lines, and an
// exception costs more than reading a whole line.)
Level unwrap(const Level& r, bool& batch, const char*& why) {
    batch = false;
    if (!r.get(n().custom_id.get()).is_none()) {
        batch = true;
        const Ref result = r.get(n().result.get());
        if (!result.is_none()) {
            const Level res(result);
            if (!text_is(res.get(n().type.get()), "succeeded")) {
                why = kFailed;
                return Level();
            }
            return res.at(n().message.get());
        }
        const Level inner = r.at(n().response.get());
        const Ref status = inner.get(n().status_code.get());
        if (!r.get(n().error.get()).is_none() || !PyLong_Check(status.get()) ||
            PyLong_AsLong(status.get()) != 200) {
            if (PyErr_Occurred()) PyErr_Clear();  // a status beyond a C long: no 200
            why = kFailed;
            return Level();
        }
        return inner.at(n().body.get());
    }
    const Ref response = r.get(n().response.get());
    if (r.get(n().usage.get()).is_none() && r.get(n().usage_metadata.get()).is_none() &&
        r.get(n().usageMetadata.get()).is_none() &&
        (!response.is_none() || !r.get(n().key.get()).is_none())) {
        batch = true;
        const Ref status = r.get(n().status.get());
        if (!r.get(n().error.get()).is_none() ||
            (!status.is_none() && truthy(Level(status).get(n().code.get())))) {
            why = kFailed;
            return Level();
        }
        if (response.is_none()) why = kNoUsage;
        return Level(response);
    }
    return r;
}

// When the call was made, in seconds since the epoch: created (OpenAI and
// the makers that follow it, seconds), created_at (Responses), create_time /
// createTime (Gemini, a datetime or RFC 3339 text).
Ref created(const Level& r) {
    for (const Ref* name : {&n().created, &n().created_at, &n().create_time, &n().createTime}) {
        Ref value = r.get(name->get());
        if (value.is_none()) continue;
        PyObject* o = value.get();
        if (PyLong_CheckExact(o) || PyFloat_CheckExact(o))
            return Ref::steal(PyNumber_Float(o));
        if (PyUnicode_Check(o)) {
            const Ref iso = Ref::steal(PyUnicode_Replace(o, n().Z.get(), n().utc_offset.get(), -1));
            value = Ref::steal_maybe(PyObject_CallOneArg(n().fromisoformat.get(), iso.get()));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
                PyErr_Clear();
                return Ref::none();
            }
        }
        if (!PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(n().datetime.get())))
            return Ref::none();
        if (getattr(value, n().tzinfo).is_none()) {  // a naive time is UTC
            const Ref args = Ref::steal(PyTuple_New(0));
            const Ref kwargs = Ref::steal(Py_BuildValue("{OO}", n().tzinfo.get(), n().utc.get()));
            value = Ref::steal(PyObject_Call(getattr(value, n().replace).get(), args.get(),
                                             kwargs.get()));
        }
        return Ref::steal(PyObject_CallMethodNoArgs(value.get(), n().timestamp.get()));
    }
    return Ref::none();
}

}  // namespace

Ref read(Borrowed response) {
    bool batch = false;
    const char* why = nullptr;
    const Level r = unwrap(Level(response), batch, why);
    if (why) return reason(why);
    if (!r.get(n().error.get()).is_none()) return reason(kFailed);
    Ref model = r.get(n().model.get());
    if (!truthy(model)) model = r.get(n().modelVersion.get());
    if (!truthy(model)) model = r.get(n().model_version.get());
    if (!PyUnicode_Check(model.get()) || blank(model.get())) model = Ref::none();
    Counts c{};
    PyObject* tier = nullptr;
    PyObject* region = nullptr;
    const Ref usage = r.get(n().usage.get());
    if (!usage.is_none()) {
        if (!is_level(usage)) return reason(kBadUsage);
        const Level u(usage);
        if (u.has(n().cache_creation_input_tokens.get()) ||
            u.has(n().cache_read_input_tokens.get())) {
            anthropic(u, c);
            tier = tier_of(u.get(n().service_tier.get()));
            if (text_is(u.get(n().speed.get()), "fast")) tier = n().fast.get();
            if (text_is(u.get(n().inference_geo.get()), "us")) region = n().us.get();
        } else if (u.get(n().prompt_tokens.get()).is_none() &&
                   u.get(n().completion_tokens.get()).is_none() &&
                   u.get(n().input_tokens.get()).is_none() &&
                   u.get(n().output_tokens.get()).is_none()) {
            return reason(kNoUsage);
        } else {
            openai(u, c);
            const Ref served = r.get(n().service_tier.get());
            tier = tier_of(text_of(served) ? served : u.get(n().service_tier.get()));
        }
    } else {
        const GeminiNames* g = &snake_case();
        Ref meta = r.get(n().usage_metadata.get());
        if (meta.is_none()) {
            g = &camel_case();
            meta = r.get(n().usageMetadata.get());
        }
        if (meta.is_none()) return reason(kNoUsage);
        if (!is_level(meta)) return reason(kBadUsage);
        const Level m(meta);
        if (m.get(g->prompt_token_count.get()).is_none() &&
            m.get(g->candidates_token_count.get()).is_none())
            return reason(kNoUsage);
        gemini(m, *g, c);
        tier = gemini_tier(r, m, *g);
    }
    if (batch) tier = n().batch.get();
    Ref counts = Ref::steal(PyTuple_New(kClasses));
    for (int i = 0; i < kClasses; ++i) PyTuple_SET_ITEM(counts.get(), i, as_int(c[i]).release());
    return Ref::steal(PyTuple_Pack(5, model.get(), counts.get(), tier ? tier : Py_None,
                                   region ? region : Py_None, created(r).get()));
}

Ref as_int(Count value) {
    const auto low = static_cast<unsigned long long>(value);
    if (value == Count(low)) return Ref::steal(PyLong_FromUnsignedLongLong(low));
    const Ref high = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value >> 64)));
    const Ref shift = Ref::steal(PyLong_FromLong(64));
    const Ref shifted = Ref::steal(PyNumber_Lshift(high.get(), shift.get()));
    return Ref::steal(PyNumber_Or(shifted.get(), Ref::steal(PyLong_FromUnsignedLongLong(low)).get()));
}

}  // namespace quelm::shapes
