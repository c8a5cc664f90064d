// Usage extraction from provider responses.
//
// Each extractor reads the counts a response carries inside one guarded
// block, fills a missing count by counting its text, and builds the record
// with `_usage_dict`'s rules.  Levels of a response are read by the probe
// rule: None gives None, a dict (or subclass) is asked through its own `get`,
// anything else is read by attribute, only a missing attribute giving None.
//
// Inside the guarded block every step reports failure by returning a null
// Ref with the Python error still set; the block then stops, and the error
// is dropped when ordinary or propagated when it is an interrupt.
#include "../compat.hpp"
#include "../function.hpp"
#include "usage.hpp"

namespace quelm::usage {
namespace {

// getattr(obj, key, None).
Ref attribute_or_none(Borrowed obj, PyObject* key) {
    PyObject* value = nullptr;
    if (compat::get_optional_attr(obj.get(), key, &value) < 0) return Ref();
    return value ? Ref::steal_maybe(value) : Ref::none();
}

// The probe rule.
Ref probe(Borrowed obj, PyObject* key) {
    PyObject* o = obj.get();
    if (o == Py_None) return Ref::none();
    if (PyDict_CheckExact(o)) {
        // The lookup dict.get makes; an exact dict cannot override `get`.
        if (PyObject* v = PyDict_GetItemWithError(o, key)) return Ref::borrow(v);
        return PyErr_Occurred() ? Ref() : Ref::none();
    }
    if (PyDict_Check(o)) return Ref::steal_maybe(PyObject_CallMethodOneArg(o, names::get, key));
    return attribute_or_none(obj, key);
}

// Where a provider's response keeps its counts.  `*_alt` is the name read
// when the first name's value tests false, or null for no second name (the
// value is then taken as it is, without a truth test).
struct Shape {
    PyObject* holder;
    PyObject* prompt;
    PyObject* prompt_alt;
    PyObject* completion;
    PyObject* completion_alt;
};

// `probe(holder, first) or probe(holder, second)`.
Ref read_count(Borrowed holder, PyObject* first, PyObject* second) {
    Ref value = probe(holder, first);
    if (!value || !second) return value;
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return Ref();
    return truth ? value : probe(holder, second);
}

// The counts as read from the response; a count that was not reached, or
// whose read failed, is None.  A count read before a failure stands.
struct Counts {
    Ref prompt = Ref::none();
    Ref completion = Ref::none();
};

Counts read_counts(Borrowed resp, const Shape& shape) {
    Counts counts;
    // An exact dict has no attribute of the holder's name (neither dict nor
    // object has one, and built-in types cannot gain one), so it goes
    // straight to its key.
    Ref holder = PyDict_CheckExact(resp.get()) ? Ref::none() : attribute_or_none(resp, shape.holder);
    if (holder && holder.is_none() && PyDict_Check(resp.get())) holder = probe(resp, shape.holder);
    if (!holder) {
        drop_ordinary_error();
        return counts;
    }
    Ref prompt = read_count(holder, shape.prompt, shape.prompt_alt);
    if (!prompt) {
        drop_ordinary_error();
        return counts;
    }
    counts.prompt = std::move(prompt);
    Ref completion = read_count(holder, shape.completion, shape.completion_alt);
    if (!completion) {
        drop_ordinary_error();
        return counts;
    }
    counts.completion = std::move(completion);
    return counts;
}

// `_usage_dict` once its arguments are known to be None or exact ints: a
// count that tests false is 0, any other passes unchanged (an exact int that
// tests false is 0 already, so only None needs replacing).
Ref usage_record(PyObject* prompt, PyObject* completion) {
    static PyObject* const zero = PyLong_FromLong(0);  // a cached small int
    Ref record = Ref::steal(PyDict_New());
    check(PyDict_SetItem(record.get(), names::prompt_tokens, prompt == Py_None ? zero : prompt));
    check(PyDict_SetItem(record.get(), names::completion_tokens,
                         completion == Py_None ? zero : completion));
    return record;
}

// `_usage_dict(prompt, completion)` as the module's namespace has it: the
// native function refuses counts that are not None or an exact int, as its
// argument binding would.
Ref checked_record(Borrowed module, const Counts& counts) {
    PyObject* args[] = {counts.prompt.get(), counts.completion.get()};
    Ref build = global(module, names::_usage_dict);
    if (!is_native(build.get(), usage_dict))
        return Ref::steal(PyObject_Vectorcall(build.get(), args, 2, nullptr));
    if (!PyLong_CheckExact(args[0])) check_arg_type("prompt_tokens", ArgKind::OptInt, args[0]);
    if (!PyLong_CheckExact(args[1])) check_arg_type("completion_tokens", ArgKind::OptInt, args[1]);
    return usage_record(args[0], args[1]);
}

// A count missing from the response, from the module-level counter `name`.
Ref count_text(Borrowed module, PyObject* name, Body counter, PyObject* text,
               PyObject* model_name = nullptr) {
    PyObject* args[] = {text, model_name};
    return call_global(module, name, counter, args, model_name ? 2 : 1);
}

}  // namespace

Ref usage_dict(Borrowed, PyObject* const* args) { return usage_record(args[0], args[1]); }

Ref extract_openai_usage(Borrowed module, PyObject* const* args) {
    const Shape shape{names::usage, names::input_tokens, names::prompt_tokens,
                      names::output_tokens, names::completion_tokens};
    Counts counts = read_counts(args[0], shape);
    if (counts.prompt.is_none())
        counts.prompt =
            count_text(module, names::_count_openai_tokens, count_openai_tokens, args[1], args[3]);
    if (counts.completion.is_none())
        counts.completion =
            count_text(module, names::_count_openai_tokens, count_openai_tokens, args[2], args[3]);
    return checked_record(module, counts);
}

Ref extract_gemini_usage(Borrowed module, PyObject* const* args) {
    const Shape shape{names::usage_metadata, names::prompt_token_count, nullptr,
                      names::candidates_token_count, nullptr};
    Counts counts = read_counts(args[0], shape);
    if (counts.prompt.is_none())
        counts.prompt = count_text(module, names::_approx_token_count, approx_token_count, args[1]);
    if (counts.completion.is_none())
        counts.completion =
            count_text(module, names::_approx_token_count, approx_token_count, args[2]);
    return checked_record(module, counts);
}

}  // namespace quelm::usage
