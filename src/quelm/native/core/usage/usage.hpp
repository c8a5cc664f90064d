// Token counting and usage extraction: the module functions' bodies, plus
// the rule shared by the guarded roads of this subsystem.
#pragma once

#include "../shared.hpp"

namespace quelm::usage {

Ref approx_token_count(Borrowed module, PyObject* const* args);
Ref count_openai_tokens(Borrowed module, PyObject* const* args);
Ref usage_dict(Borrowed module, PyObject* const* args);
Ref extract_openai_usage(Borrowed module, PyObject* const* args);
Ref extract_gemini_usage(Borrowed module, PyObject* const* args);

// Called after a step of a guarded road failed (a Python exception is set):
// an ordinary error is cleared without a trace, anything else (an interrupt,
// an exit request) propagates as PyError.
inline void drop_ordinary_error() {
    if (!ordinary_error_pending()) throw PyError{};
    PyErr_Clear();
}

}  // namespace quelm::usage
