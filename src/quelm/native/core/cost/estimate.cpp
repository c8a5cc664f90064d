// Cost estimation: `estimate_costs(args, usage)`.
//
// Loads the pricing table through the cached `_parse_pricing`, finds the
// model's entry, logs one debug line and prices each side of the usage on
// its own.  Module-level names are looked up at every call.
#include "cost.hpp"

namespace quelm::cost {
namespace {

// mapping.get(key): an exact dict is read directly (its `get` cannot be
// overridden); anything else has its own `get` called.
Ref get(Borrowed mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping.get())) {
        if (PyObject* v = PyDict_GetItemWithError(mapping.get(), key)) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyError{};
        return Ref::none();
    }
    return Ref::steal(PyObject_CallMethodOneArg(mapping.get(), names::get, key));
}

// True when str(entry) provably runs no Python code: None, or an exact dict
// of exact str keys and exact float or None values (the parser's entries).
bool renders_plainly(PyObject* entry) {
    if (entry == Py_None) return true;
    if (!PyDict_CheckExact(entry)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(entry, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) || (value != Py_None && !PyFloat_CheckExact(value)))
            return false;
    return true;
}

// logger.debug("Estimating costs for model '" + str(args.model)
//              + "' using pricing entry: " + str(entry))
// As in that expression, `logger`, its `debug` and `args.model` are looked
// up before the message is built.  The message is built whenever something
// could observe it: when `debug` may do something, or when str() of the
// model or the entry may run Python code.
void log_estimate(Borrowed module, Borrowed request, Borrowed entry) {
    Ref logger = global(module, names::logger);
    const DebugMethod debug = lookup_debug(logger);
    Ref model = getattr(request, names::model);
    const bool plain = PyUnicode_CheckExact(model.get()) && renders_plainly(entry.get());
    if (plain && debug_is_noop(logger, debug)) return;
    // str(args.model) first, then str(entry): as separate statements, since
    // the compiler chooses the order in which a call's arguments are evaluated.
    Ref model_text = Ref::steal(PyObject_Str(model.get()));
    Ref message = debug_message(model_text, Ref::steal(PyObject_Str(entry.get())));
    if (!plain && debug_is_noop(logger, debug)) return;
    PyObject* call_args[] = {logger.get(), message.get()};
    PyObject* debug_fn = debug.callable.get();
    Ref::steal(debug.unbound ? PyObject_Vectorcall(debug_fn, call_args, 2, nullptr)
                             : PyObject_Vectorcall(debug_fn, call_args + 1, 1, nullptr));
}

// `if entry:` -- present and not empty.
bool found(Borrowed entry) {
    if (entry.is_none()) return false;
    if (PyDict_CheckExact(entry.get())) return PyDict_GET_SIZE(entry.get()) != 0;
    return truthy(entry);
}

}  // namespace

Ref estimate_costs(Borrowed module, PyObject* const* args) {
    Borrowed request = args[0];
    Borrowed usage = args[1];

    Ref parse = global(module, names::_parse_pricing);
    Ref table = call(parse, global(module, names::PRICING_URL));
    Ref key = model_key(getattr(request, names::model));
    Ref prompt_tokens = get(usage, names::prompt_tokens);
    Ref completion_tokens = get(usage, names::completion_tokens);

    Ref entry = find_model_entry(table, key);
    log_estimate(module, request, entry);

    // Each side is priced on its own: a usage that reports only completion
    // tokens still gets its completion cost.
    Ref prompt_cost, completion_cost;
    if (found(entry)) {
        if (!prompt_tokens.is_none()) {
            Ref rate = get(entry, names::prompt_per_1M);
            if (!rate.is_none()) prompt_cost = cost_of(rate, prompt_tokens);
        }
        Ref rate = get(entry, names::completion_per_1M);
        if (!rate.is_none() && !completion_tokens.is_none())
            completion_cost = cost_of(rate, completion_tokens);
    }

    Ref zero;
    if (!prompt_cost || !completion_cost) zero = Ref::steal(PyFloat_FromDouble(0.0));
    Ref total = add_costs(prompt_cost ? prompt_cost : zero, completion_cost ? completion_cost : zero);
    Ref est = Ref::steal(PyDict_New());
    if (prompt_cost) check(PyDict_SetItem(est.get(), names::prompt_cost, prompt_cost.get()));
    if (completion_cost)
        check(PyDict_SetItem(est.get(), names::completion_cost, completion_cost.get()));
    check(PyDict_SetItem(est.get(), names::total_cost, total.get()));
    return est;
}

}  // namespace quelm::cost
