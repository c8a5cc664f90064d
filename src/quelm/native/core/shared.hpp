// Types and names shared by the module's subsystems.
//
//   PricingTable  dict: lower-cased model name -> ModelRates, first-stored order
//   ModelRates    dict: {"prompt_per_1M": float|None, "completion_per_1M": float|None}
//   UsageCounts   dict: {"prompt_tokens": int, "completion_tokens": int}
//   CostEstimate  dict: {"prompt_cost"?, "completion_cost"?, "total_cost"}
//
// Every module function body has the signature `Body`: it receives the module
// (whose namespace is looked up at each use) and the bound arguments, one per
// declared parameter, defaults already filled in and types already checked.
// Each subsystem declares its bodies in its own header (usage/usage.hpp,
// pricing/source.hpp, cost/cost.hpp).
#pragma once

#include "refs.hpp"

namespace quelm {

using Body = Ref (*)(Borrowed module, PyObject* const* args);

// Interned strings, created once when a module of the package is first
// executed.  They live as long as the process, like the one module object
// itself.  Every name the C++ code looks up or builds from a fixed text is
// here: QUELM_NAMES lists identifiers spelled as they read, QUELM_TEXTS other
// fixed texts under a C++ name.
namespace names {
#define QUELM_NAMES(X)                                                            \
    X(PRICING_URL) X(_parse_pricing) X(logger) X(logging) X(estimate_costs)      \
    X(exercise_estimate_costs) X(__name__) X(getLogger) X(warning) X(debug)      \
    X(cache_clear) X(model) X(get) X(prompt_tokens) X(completion_tokens)         \
    X(prompt_per_1M) X(completion_per_1M) X(prompt_cost) X(completion_cost)      \
    X(total_cost) X(usage) X(usage_metadata) X(input_tokens) X(output_tokens)    \
    X(prompt_token_count) X(candidates_token_count) X(estimated_costs)           \
    X(encoding_for_model) X(get_encoding) X(encode) X(tiktoken) X(read)          \
    X(decode) X(lower) X(urlopen) X(Request) X(_approx_token_count)              \
    X(_count_openai_tokens) X(_usage_dict) X(items) X(types) X(SimpleNamespace)  \
    X(print) X(open) X(close) X(functools) X(lru_cache) X(name) X(Logger)        \
    X(isEnabledFor) X(disabled) X(_cache) X(DEBUG) X(o200k_base) X(cl100k_base)  \
    X(__enter__) X(__exit__)
#define QUELM_TEXTS(Y)                                                            \
    Y(debug_opening, "Estimating costs for model '")                             \
    Y(debug_middle, "' using pricing entry: ")                                  \
    Y(load_warning, "Failed to load pricing from %s: %s")
#define QUELM_DECLARE(n, ...) extern PyObject* n;
QUELM_NAMES(QUELM_DECLARE)
QUELM_TEXTS(QUELM_DECLARE)
#undef QUELM_DECLARE
// Creates every name; raises (PyError) when one cannot be made, and a later
// call completes the table.  Idempotent once it has succeeded.
void init();
}  // namespace names

// Looks `name` up the way module-level code does: the module's namespace,
// then the builtins; NameError when neither has it.
Ref global(Borrowed module, Borrowed name);

// True when `err` (an exception type) is an "ordinary" error: a subclass of
// Exception, so KeyboardInterrupt and SystemExit are never swallowed.
inline bool ordinary_error_pending() {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// The module's qualified name.
inline constexpr const char* kModuleName = "quelm.genai_pricing";

// The default pricing source: this repository's price list, as a GitHub
// blob page.  The build derives it from pyproject.toml's [project.urls].
#ifndef QUELM_PRICING_URL
#error "QUELM_PRICING_URL is set by CMakeLists.txt from pyproject.toml"
#endif
inline constexpr const char* kPricingUrl = QUELM_PRICING_URL;

}  // namespace quelm
