// Recognising a `logger.debug(msg)` call that provably does nothing.
//
// For a stock `logging.Logger` whose `debug` and `isEnabledFor` are the
// standard library's own, `debug` does nothing but return when the logger is
// disabled, or when its level cache already holds False for DEBUG:
//
//     def debug(self, msg, *args, **kwargs):
//         if self.isEnabledFor(DEBUG): ...
//     def isEnabledFor(self, level):
//         if self.disabled: return False
//         try: return self._cache[level] ...
//
// Reading those same attributes here spares the call into Python on every
// estimate of a production host, where debug logging is off.  Whenever any
// condition is not plainly met (a subclass, a patched method, an instance
// override, an uncached level, values of unexpected types) the real `debug`
// is called.
#include "../compat.hpp"
#include "cost.hpp"

namespace quelm::cost {
namespace {

struct StockLogging {
    PyObject* logger_type = nullptr;  // logging.Logger
    PyObject* type_dict = nullptr;    // its namespace, the same dict for its lifetime
    PyObject* debug = nullptr;        // logging.Logger.__dict__["debug"]
    PyObject* is_enabled_for = nullptr;
    PyObject* module_dict = nullptr;  // logging.__dict__, for DEBUG
};

StockLogging* taken = nullptr;

// Taken once from the standard library as first imported; held for the
// process's lifetime.
const StockLogging* stock() {
    StockLogging*& s = taken;
    if (s) return s;
    Ref logging = Ref::steal(PyImport_Import(names::logging));
    Ref type = getattr(logging, names::Logger);
    if (!PyType_Check(type.get())) return nullptr;
    Ref type_dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(type.get()));
    if (!type_dict) return nullptr;
    auto* made = new StockLogging;
    made->debug = Ref::borrow(PyDict_GetItemWithError(type_dict.get(), names::debug)).release();
    made->is_enabled_for = Ref::borrow(PyDict_GetItemWithError(type_dict.get(), names::isEnabledFor)).release();
    made->type_dict = type_dict.release();
    made->module_dict = Ref::borrow(PyModule_GetDict(logging.get())).release();
    made->logger_type = type.release();
    s = made;
    return s;
}

// dict[key] or NULL when absent; a failing comparison raises, as the
// attribute and item reads of the Python code would.
PyObject* item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw PyError{};
    return value;
}

// The stock type, with the generic attribute access that `logger.debug`
// and the reads in `debug` and `isEnabledFor` go through.
bool stock_type(const StockLogging* s, PyObject* logger) {
    PyTypeObject* type = Py_TYPE(logger);
    return type == reinterpret_cast<PyTypeObject*>(s->logger_type) &&
           type->tp_getattro == PyObject_GenericGetAttr;
}

// Does the lookup of `name` on the stock type find `stock`?  The type comes
// first in its own MRO, so finding it in the type's own namespace settles
// it; when that namespace does not hold it, the answer is no (which at
// worst takes the general road).
bool type_holds(const StockLogging* s, PyObject* name, PyObject* stock) {
    return item(s->type_dict, name) == stock;
}

// The logger's own attributes (its __dict__).
Ref instance_dict(PyObject* logger) { return Ref::steal(PyObject_GenericGetDict(logger, nullptr)); }

}  // namespace

DebugMethod lookup_debug(Borrowed logger) {
    // The generic attribute access finds a function on the type, a
    // descriptor that the instance's own dict overrides, and binds it to
    // the instance.  Only the stock function on the stock type is taken
    // here, once the stock names are known (taking them may run an import).
    const StockLogging* s = taken;
    PyObject* obj = logger.get();
    if (s && s->debug && PyFunction_Check(s->debug) && stock_type(s, obj) &&
        type_holds(s, names::debug, s->debug)) {
        const Ref attrs = instance_dict(obj);
        if (PyDict_CheckExact(attrs.get())) {
            if (PyObject* own = item(attrs.get(), names::debug)) return {Ref::borrow(own), false};
            return {Ref::borrow(s->debug), true};
        }
    }
    return {getattr(logger, names::debug), false};
}

bool debug_is_noop(Borrowed logger, const DebugMethod& debug) {
    const StockLogging* s = stock();
    if (!s || !s->debug || !s->is_enabled_for) return false;
    PyObject* obj = logger.get();
    if (!stock_type(s, obj)) return false;
    // `debug` is the stock function: as found on the type, or bound to this
    // logger.
    PyObject* found = debug.callable.get();
    if (!debug.unbound && !(PyMethod_Check(found) && PyMethod_GET_FUNCTION(found) == s->debug &&
                            PyMethod_GET_SELF(found) == obj))
        return false;
    if (!type_holds(s, names::isEnabledFor, s->is_enabled_for)) return false;
    const Ref own = instance_dict(obj);
    PyObject* attrs = own.get();
    if (!PyDict_CheckExact(attrs)) return false;
    if (item(attrs, names::isEnabledFor)) return false;
    PyObject* disabled = item(attrs, names::disabled);
    if (disabled == Py_True) return true;
    if (disabled != Py_False) return false;
    PyObject* cache = item(attrs, names::_cache);
    PyObject* level = item(s->module_dict, names::DEBUG);
    if (!cache || !PyDict_CheckExact(cache) || !level || !PyLong_CheckExact(level)) return false;
    return item(cache, level) == Py_False;
}

}  // namespace quelm::cost
