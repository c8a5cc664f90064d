// Pieces of `estimate_costs` kept in their own files: the model lookup, the
// text form of a pricing entry and the cost arithmetic.
#pragma once

#include "../shared.hpp"

namespace quelm::cost {

// The entry chosen for the lower-cased model name `key`, or None: the exact
// name first, else the first name in table order that contains `key` or is
// contained in it.  `table` is whatever `_parse_pricing` returned.
Ref find_model_entry(Borrowed table, Borrowed key);

// str(entry), remembered for the few entry dicts seen last as long as their
// contents are provably unchanged.
Ref entry_text(Borrowed entry);

// args.model.lower() for the model text `model`.
Ref model_key(Borrowed model);

// "Estimating costs for model '" + model_text + "' using pricing entry: "
// + entry_text.
Ref debug_message(Borrowed model_text, Borrowed entry_text);

// rate * (tokens / 1000000.0), exactly as the host evaluates it.
Ref cost_of(Borrowed rate, Borrowed tokens);

// a + b, exactly as the host evaluates it.
Ref add_costs(Borrowed a, Borrowed b);

}  // namespace quelm::cost
