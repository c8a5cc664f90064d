// Usage extraction from provider responses.
#include "../shared.hpp"

namespace quelm::usage {

Ref usage_dict(Borrowed, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "_usage_dict is not built yet");
    throw PyError{};
}

Ref extract_openai_usage(Borrowed, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "_extract_openai_usage is not built yet");
    throw PyError{};
}

Ref extract_gemini_usage(Borrowed, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "_extract_gemini_usage is not built yet");
    throw PyError{};
}

}  // namespace quelm::usage
