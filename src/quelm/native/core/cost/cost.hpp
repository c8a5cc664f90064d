// Pieces of `estimate_costs` kept in their own files: the model lookup
// (lookup.cpp), the texts it derives -- lookup key and debug message
// (texts.cpp) -- the quiet-logger check (quiet_logger.cpp) and the cost
// arithmetic (arithmetic.cpp).
#pragma once

#include "../shared.hpp"

namespace quelm::cost {

// The module functions `estimate_costs` and `exercise_estimate_costs`.
Ref estimate_costs(Borrowed module, PyObject* const* args);
Ref exercise_estimate_costs(Borrowed module, PyObject* const* args);

// The entry chosen for the lower-cased model name `key`, or None: the exact
// name first, else the first name in table order that contains `key` or is
// contained in it.  `table` is whatever `_parse_pricing` returned.
Ref find_model_entry(Borrowed table, Borrowed key);

// The same lookup, telling also which name matched: `name` is `key` itself
// for an exact match, the table's name for a match by the substring rule,
// and empty (with `entry` None) when nothing matched.
struct ModelMatch {
    Ref entry;
    Ref name;
    bool exact = false;
};
ModelMatch match_model(Borrowed table, Borrowed key);

// model.lower() for the value of `args.model`.
Ref model_key(Borrowed model);

// "Estimating costs for model '" + model_text + "' using pricing entry: "
// + entry_text, for two strs.
Ref debug_message(Borrowed model_text, Borrowed entry_text);

// rate * (tokens / 1000000.0), exactly as the host evaluates it.
Ref cost_of(Borrowed rate, Borrowed tokens);

// `logger.debug`, as the attribute lookup finds it.  When that is the stock
// logging.Logger's own `debug` found on the type, `callable` is the function
// itself and `unbound` is set: it is called with the logger first, which
// spares building a bound method on every call.
struct DebugMethod {
    Ref callable;
    bool unbound = false;
};
DebugMethod lookup_debug(Borrowed logger);

// True when calling `debug` (what lookup_debug found on `logger`) would
// provably return without doing anything: a stock logging.Logger with DEBUG
// off, and `debug` its stock method.
bool debug_is_noop(Borrowed logger, const DebugMethod& debug);

// a + b, exactly as the host evaluates it.
Ref add_costs(Borrowed a, Borrowed b);

}  // namespace quelm::cost
