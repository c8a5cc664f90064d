// Token counting as the usage extractors use it, without the argument
// binding of the module functions, plus the rule shared by the guarded roads
// of this subsystem.
#pragma once

#include "../shared.hpp"

namespace quelm::usage {

// (code points + 3) // 4, so 0 for the empty text; `text` is an exact str.
Ref estimate_tokens(Borrowed text);

// The tokenizer's count for `text` under `model_name` (both exact str), or,
// when any ordinary error occurs on the tokenizer's road, the module's
// `_approx_token_count(text)`.
Ref tokenizer_or_estimate(Borrowed module, Borrowed text, Borrowed model_name);

// Called after a step of a guarded road failed (a Python exception is set):
// an ordinary error is cleared without a trace, anything else (an interrupt,
// an exit request) propagates as PyError.
inline void drop_ordinary_error() {
    if (!ordinary_error_pending()) throw PyError{};
    PyErr_Clear();
}

}  // namespace quelm::usage
