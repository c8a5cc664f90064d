// Interned names and module-level name lookup, shared by every subsystem.
#include "shared.hpp"

namespace quelm {

namespace names {
#define QUELM_DEFINE(n) PyObject* n = nullptr;
QUELM_NAMES(QUELM_DEFINE)
#undef QUELM_DEFINE

void init() {
    if (PRICING_URL) return;
#define QUELM_INTERN(n) n = interned(#n).release();
    QUELM_NAMES(QUELM_INTERN)
#undef QUELM_INTERN
}
}  // namespace names

Ref global(Borrowed module, Borrowed name) {
    PyObject* ns = PyModule_GetDict(module.get());
    if (PyObject* v = PyDict_GetItemWithError(ns, name.get())) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyError{};
    if (PyObject* v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.get()))
        return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    throw PyError{};
}

}  // namespace quelm
