// Finding a model's pricing entry.
//
// The table is normally the exact dict built by the parser, with str names,
// and the key an exact str; that case compares the strings' own storage and
// runs no Python code.  Anything else (a rebound `_parse_pricing` may return
// any mapping) goes through the host's protocols, with the same results and
// errors as `key in table`, `table[key]`, `for name, entry in table.items()`
// and `key in name or name in key`.
#include <optional>
#include <utility>

#include "cost.hpp"
#include "substring.hpp"

namespace quelm::cost {
namespace {

void ready(PyObject* s) {
    if (PyUnicode_READY(s) < 0) throw PyError{};
}

// `key in name or name in key` for two exact strs.
bool str_related(PyObject* key, PyObject* name) {
    ready(key);
    ready(name);
    return str_contains(name, key) || str_contains(key, name);
}

// `key in name or name in key`, through the host's protocols.
bool related(PyObject* key, PyObject* name) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(name)) return str_related(key, name);
    if (check(PySequence_Contains(name, key))) return true;
    return check(PySequence_Contains(key, name)) != 0;
}

// The loose scan over an exact dict, raising as the dict's items iterator
// would if a comparison run by Python code resizes or rebuilds the table.
ModelMatch scan_dict(PyObject* table, PyObject* key) {
    std::optional<KeyPattern> pattern;
    if (PyUnicode_CheckExact(key)) pattern.emplace(key);
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* entry;
    while (PyDict_Next(table, &pos, &name, &entry)) {
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            throw PyError{};
        }
        // An exact str name is compared in place; no Python code runs.
        if (pattern && PyUnicode_CheckExact(name)) {
            if (pattern->related(name)) return {Ref::borrow(entry), Ref::borrow(name)};
            continue;
        }
        // Python code may run from here on: hold the pair.
        Ref held_name = Ref::borrow(name);
        Ref held_entry = Ref::borrow(entry);
        if (related(key, held_name.get())) return {std::move(held_entry), std::move(held_name)};
        if (PyDict_GET_SIZE(table) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw PyError{};
        }
    }
    return {Ref::none(), Ref()};
}

// `name, entry = item`, with the host's unpacking errors.
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    Ref it = Ref::steal_maybe(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw PyError{};
    }
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = Ref::steal_maybe(PyIter_Next(it.get()));
        if (values[i]) continue;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        throw PyError{};
    }
    if (Ref::steal_maybe(PyIter_Next(it.get()))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw PyError{};
    }
    if (PyErr_Occurred()) throw PyError{};
    return {std::move(values[0]), std::move(values[1])};
}

// The loose scan over any other mapping: `for name, entry in table.items()`.
ModelMatch scan_items(PyObject* table, PyObject* key) {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(table, names::items));
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal_maybe(PyIter_Next(it.get()))) {
        auto [name, entry] = unpack_pair(item.get());
        if (related(key, name.get())) return {std::move(entry), std::move(name)};
    }
    if (PyErr_Occurred()) throw PyError{};
    return {Ref::none(), Ref()};
}

}  // namespace

ModelMatch match_model(Borrowed table, Borrowed key) {
    PyObject* t = table.get();
    PyObject* k = key.get();
    if (PyDict_CheckExact(t) && PyUnicode_CheckExact(k)) {
        // One lookup answers both `key in table` and `table[key]`.
        if (PyObject* hit = PyDict_GetItemWithError(t, k))
            return {Ref::borrow(hit), key.ref(), true};
        if (PyErr_Occurred()) throw PyError{};
        ready(k);
        return scan_dict(t, k);
    }
    if (check(PySequence_Contains(t, k)))
        return {Ref::steal(PyObject_GetItem(t, k)), key.ref(), true};
    if (PyUnicode_CheckExact(k)) ready(k);
    if (PyDict_CheckExact(t)) return scan_dict(t, k);
    return scan_items(t, k);
}

Ref find_model_entry(Borrowed table, Borrowed key) {
    return std::move(match_model(table, key).entry);
}

}  // namespace quelm::cost
