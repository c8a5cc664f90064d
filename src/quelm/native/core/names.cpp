// Interned names and module-level name lookup, shared by every subsystem.
#include "shared.hpp"

namespace quelm {

namespace names {
#define QUELM_DEFINE(n, ...) PyObject* n = nullptr;
QUELM_NAMES(QUELM_DEFINE)
QUELM_TEXTS(QUELM_DEFINE)
#undef QUELM_DEFINE

namespace {
bool complete = false;

void make(PyObject*& slot, const char* text) {
    if (!slot) slot = interned(text).release();
}
}  // namespace

void init() {
    if (complete) return;
#define QUELM_NAME(n) make(n, #n);
#define QUELM_TEXT(n, text) make(n, text);
    QUELM_NAMES(QUELM_NAME)
    QUELM_TEXTS(QUELM_TEXT)
#undef QUELM_NAME
#undef QUELM_TEXT
    complete = true;
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
