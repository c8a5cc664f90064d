// Token counting: the character estimate and the optional tokenizer.
//
// The tokenizer package is imported through the host's import machinery at
// every call and nothing about it is remembered: once loaded the import hands
// back the module from sys.modules, and while it is missing every call looks
// for it again (so installing it, or putting a stand-in into sys.modules,
// takes effect at the next call).
#include "usage.hpp"

#include "../function.hpp"

namespace quelm::usage {
namespace {

// The encodings tried, in order, when the model has none of its own.
PyObject* fallback_encoding(int i) {
    return i == 0 ? names::o200k_base : names::cl100k_base;
}

// The failed step's ordinary error is dropped; returns the "no count" marker.
Ref road_failed() {
    drop_ordinary_error();
    return Ref();
}

// len(encoding.encode(text)) through the tokenizer, or a null Ref when an
// ordinary error stopped the road (the error is cleared).
Ref tokenizer_count(Borrowed text, Borrowed model_name) {
    Ref tiktoken = Ref::steal_maybe(PyImport_Import(names::tiktoken));
    if (!tiktoken) return road_failed();

    Ref encoding = Ref::steal_maybe(
        PyObject_CallMethodOneArg(tiktoken.get(), names::encoding_for_model, model_name.get()));
    for (int i = 0; !encoding && i < 2; ++i) {
        drop_ordinary_error();
        encoding = Ref::steal_maybe(
            PyObject_CallMethodOneArg(tiktoken.get(), names::get_encoding, fallback_encoding(i)));
    }
    if (!encoding) return road_failed();

    Ref ids = Ref::steal_maybe(PyObject_CallMethodOneArg(encoding.get(), names::encode, text.get()));
    if (!ids) return road_failed();
    const Py_ssize_t n = PyObject_Size(ids.get());
    if (n < 0) return road_failed();
    return Ref::steal(PyLong_FromSsize_t(n));
}

}  // namespace

// (code points + 3) // 4, so 0 for the empty text; `text` is an exact str.
Ref approx_token_count(Borrowed, PyObject* const* args) {
    const Py_ssize_t n = check(PyUnicode_GetLength(args[0]));
    return Ref::steal(PyLong_FromSsize_t((n + 3) / 4));
}

// The tokenizer's count, or, when any ordinary error occurs on the
// tokenizer's road, the module's `_approx_token_count(text)`.
Ref count_openai_tokens(Borrowed module, PyObject* const* args) {
    if (Ref count = tokenizer_count(args[0], args[1])) return count;
    return call_global(module, names::_approx_token_count, approx_token_count, args, 1);
}

}  // namespace quelm::usage
