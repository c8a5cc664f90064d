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
#include "cost.hpp"

namespace quelm::cost {
namespace {

struct StockLogging {
    PyObject* logger_type = nullptr;  // logging.Logger
    PyObject* debug = nullptr;        // logging.Logger.__dict__["debug"]
    PyObject* is_enabled_for = nullptr;
    PyObject* module_dict = nullptr;  // logging.__dict__, for DEBUG
};

// Taken once from the standard library as first imported; held for the
// process's lifetime.
const StockLogging* stock() {
    static StockLogging* s = nullptr;
    if (s) return s;
    Ref logging = Ref::steal(PyImport_Import(names::logging));
    Ref type = getattr(logging, names::Logger);
    if (!PyType_Check(type.get())) return nullptr;
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    auto* made = new StockLogging;
    made->debug = Ref::borrow(PyDict_GetItemWithError(type_dict, names::debug)).release();
    made->is_enabled_for = Ref::borrow(PyDict_GetItemWithError(type_dict, names::isEnabledFor)).release();
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

}  // namespace

bool debug_is_noop(Borrowed logger, Borrowed debug, bool unbound) {
    const StockLogging* s = stock();
    if (!s || !s->debug || !s->is_enabled_for) return false;
    PyObject* obj = logger.get();
    if (!unbound || debug.get() != s->debug ||
        Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(s->logger_type))
        return false;
    if (_PyType_Lookup(Py_TYPE(obj), names::isEnabledFor) != s->is_enabled_for) return false;
    PyObject** dict_ptr = _PyObject_GetDictPtr(obj);
    PyObject* attrs = dict_ptr ? *dict_ptr : nullptr;
    if (!attrs || !PyDict_CheckExact(attrs)) return false;
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
