// Token counting: the character estimate and the optional tokenizer.
#include "../shared.hpp"

namespace quelm::usage {

Ref approx_token_count(Borrowed, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "_approx_token_count is not built yet");
    throw PyError{};
}

Ref count_openai_tokens(Borrowed, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "_count_openai_tokens is not built yet");
    throw PyError{};
}

}  // namespace quelm::usage
