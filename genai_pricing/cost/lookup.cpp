// Finding a model's pricing entry.
//
// The table is normally the exact dict built by the parser, with str names,
// and the key an exact str; that case compares the strings' own storage and
// runs no Python code.  Anything else (a rebound `_parse_pricing` may return
// any mapping) goes through the host's protocols, with the same results and
// errors as `key in table`, `table[key]`, `for name, entry in table.items()`
// and `key in name or name in key`.
#include <cstring>
#include <utility>

#include "cost.hpp"

namespace quelm::cost {
namespace {

// Position-by-position search of `needle` (nn >= 1 units) in `hay`
// (hn >= nn units); the unit types may differ, values compare as code points.
template <class H, class N>
bool find_units(const H* hay, Py_ssize_t hn, const N* needle, Py_ssize_t nn) {
    const H first = static_cast<H>(needle[0]);
    const H* const last = hay + (hn - nn);
    for (const H* p = hay; p <= last; ++p) {
        if (*p != first) continue;
        Py_ssize_t j = 1;
        while (j < nn && p[j] == static_cast<H>(needle[j])) ++j;
        if (j == nn) return true;
    }
    return false;
}

bool find_bytes(const Py_UCS1* hay, Py_ssize_t hn, const Py_UCS1* needle, Py_ssize_t nn) {
    const Py_UCS1 first = needle[0];
    const Py_UCS1* p = hay;
    const Py_UCS1* const last = hay + (hn - nn);
    while (p <= last) {
        p = static_cast<const Py_UCS1*>(std::memchr(p, first, static_cast<size_t>(last - p) + 1));
        if (p == nullptr) return false;
        if (std::memcmp(p + 1, needle + 1, static_cast<size_t>(nn - 1)) == 0) return true;
        ++p;
    }
    return false;
}

void ready(PyObject* s) {
    if (PyUnicode_READY(s) < 0) throw PyError{};
}

// `needle in hay` for two exact strs.  Like the host, a needle stored with a
// wider kind than the haystack is never found: str storage is canonical, so
// it holds a character the haystack cannot contain.
bool str_contains(PyObject* hay, PyObject* needle) {
    const Py_ssize_t hn = PyUnicode_GET_LENGTH(hay);
    const Py_ssize_t nn = PyUnicode_GET_LENGTH(needle);
    if (nn > hn) return false;
    if (nn == 0) return true;
    const int hk = PyUnicode_KIND(hay);
    const int nk = PyUnicode_KIND(needle);
    if (nk > hk) return false;
    const void* h = PyUnicode_DATA(hay);
    const void* n = PyUnicode_DATA(needle);
    if (hk == nk && hn == nn) return std::memcmp(h, n, static_cast<size_t>(hn) * hk) == 0;
    switch (hk) {
        case PyUnicode_1BYTE_KIND:
            return find_bytes(static_cast<const Py_UCS1*>(h), hn, static_cast<const Py_UCS1*>(n),
                              nn);
        case PyUnicode_2BYTE_KIND:
            if (nk == PyUnicode_1BYTE_KIND)
                return find_units(static_cast<const Py_UCS2*>(h), hn,
                                  static_cast<const Py_UCS1*>(n), nn);
            return find_units(static_cast<const Py_UCS2*>(h), hn, static_cast<const Py_UCS2*>(n),
                              nn);
        default:
            if (nk == PyUnicode_1BYTE_KIND)
                return find_units(static_cast<const Py_UCS4*>(h), hn,
                                  static_cast<const Py_UCS1*>(n), nn);
            if (nk == PyUnicode_2BYTE_KIND)
                return find_units(static_cast<const Py_UCS4*>(h), hn,
                                  static_cast<const Py_UCS2*>(n), nn);
            return find_units(static_cast<const Py_UCS4*>(h), hn, static_cast<const Py_UCS4*>(n),
                              nn);
    }
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
Ref scan_dict(PyObject* table, PyObject* key) {
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t remaining = size;
    const bool key_is_str = PyUnicode_CheckExact(key);
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* entry;
    while (PyDict_Next(table, &pos, &name, &entry)) {
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            throw PyError{};
        }
        if (key_is_str && PyUnicode_CheckExact(name)) {
            if (str_related(key, name)) return Ref::borrow(entry);
            continue;
        }
        // Python code may run from here on: hold the pair.
        Ref held_name = Ref::borrow(name);
        Ref held_entry = Ref::borrow(entry);
        if (related(key, held_name.get())) return held_entry;
        if (PyDict_GET_SIZE(table) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw PyError{};
        }
    }
    return Ref::none();
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
Ref scan_items(PyObject* table, PyObject* key) {
    static PyObject* const items_name = interned("items").release();
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(table, items_name));
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal_maybe(PyIter_Next(it.get()))) {
        auto [name, entry] = unpack_pair(item.get());
        if (related(key, name.get())) return std::move(entry);
    }
    if (PyErr_Occurred()) throw PyError{};
    return Ref::none();
}

}  // namespace

Ref find_model_entry(Borrowed table, Borrowed key) {
    PyObject* t = table.get();
    PyObject* k = key.get();
    if (PyDict_CheckExact(t) && PyUnicode_CheckExact(k)) {
        // A str's hash and equality run no Python code, so one lookup
        // answers both `key in table` and `table[key]`.
        if (PyObject* hit = PyDict_GetItemWithError(t, k)) return Ref::borrow(hit);
        if (PyErr_Occurred()) throw PyError{};
        return scan_dict(t, k);
    }
    if (check(PySequence_Contains(t, k))) return Ref::steal(PyObject_GetItem(t, k));
    if (PyDict_CheckExact(t)) return scan_dict(t, k);
    return scan_items(t, k);
}

}  // namespace quelm::cost
