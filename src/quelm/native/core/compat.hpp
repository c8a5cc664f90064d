// Public C API across the supported hosts (CPython 3.11 to 3.13).
//
// Where a public call exists only from a later version, the wrapper below
// takes it there and, on older hosts, does the same with calls they have.
// The module uses no private (`_Py`) call: what it once took from those is
// rebuilt here from public ones, with the same results.
#pragma once

#include "refs.hpp"

namespace quelm::compat {

// The type's own namespace (PyType_GetDict, 3.12), a new reference or NULL
// (with no error set) for a type that has none yet.  From 3.12 the built-in
// static types keep theirs outside tp_dict; before, tp_dict holds every
// type's.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal_maybe(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// What the interpreter finds when it looks `name` up on a type, before any
// binding: the value in the namespace of the first class of the type's
// method resolution order that has the name, or a null Ref when none has.
// `name` is an exact str, so the lookups run no Python code.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* base = mro ? reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)) : type;
        const Ref ns = type_dict(base);
        if (!ns) continue;
        if (PyObject* found = PyDict_GetItemWithError(ns.get(), name)) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyError{};
    }
    return Ref();
}

#if PY_VERSION_HEX < 0x030D0000
namespace detail {

// The outcome of one step of an attribute read: 1 with a new reference in
// *result, 0 with no error set for an AttributeError (or subclass), -1 for
// any other error.
inline int attribute_outcome(PyObject* value, PyObject** result) {
    *result = value;
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The generic attribute access (PyObject_GenericGetAttr) with a missing
// attribute reported as 0, making no AttributeError for it.  A name in the
// instance's own dict is read by the generic access itself (which still
// prefers a data descriptor of the type, and finds the type's part through
// the host's type cache); any other is looked up on the type, where a
// descriptor is bound and anything else is the value.  Only a key of the
// dict that is no str, and compares with the name through Python code,
// could tell the two apart: it may be compared once more.  (Asking for the
// dict turns an instance's inline attribute values into one, as reading
// obj.__dict__ does.)
inline int generic_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0) {
        PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
        if (!dict) return -1;
        const int own = PyDict_Contains(dict, name);
        Py_DECREF(dict);
        if (own > 0) return attribute_outcome(PyObject_GenericGetAttr(obj, name), result);
        if (own < 0 && attribute_outcome(nullptr, result) < 0) return -1;
    }
    Ref descr;
    try {
        descr = type_lookup(type, name);
    } catch (const PyError&) {
        return -1;
    }
    if (!descr) return 0;
    if (descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get)
        return attribute_outcome(get(descr.get(), obj, reinterpret_cast<PyObject*>(type)), result);
    *result = descr.release();
    return 1;
}

}  // namespace detail
#endif

// getattr(obj, name, None) for the C API (PyObject_GetOptionalAttr, 3.13):
// 1 with a new reference in *result when the attribute is there, 0 with
// *result NULL and no error set when reading it raised AttributeError (or a
// subclass), -1 with the error set when it raised anything else.  Objects
// with the generic attribute access are read without making the
// AttributeError, as 3.13 reads them; any other is asked through its type's
// own access, and its AttributeError cleared.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr)
        return detail::generic_optional_attr(obj, name, result);
    return detail::attribute_outcome(PyObject_GetAttr(obj, name), result);
#endif
}

}  // namespace quelm::compat
