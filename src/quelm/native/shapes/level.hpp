// One level of a response, read by field name whatever it is: a dict by
// key; a pydantic model (the client libraries' objects) from its own
// instance dict, which is where its fields live, and its extra fields (the
// fields a response carries beyond the declared ones, such as DeepSeek's
// cache counts on an OpenAI object); any other object by attribute, a
// missing attribute reading as None.  None is an empty level.
#pragma once

#include "../core/refs.hpp"

namespace quelm::shapes {

// The names the reader looks up, interned once (module.cpp).
struct Names;
extern const Names* N;


class Level {
public:
    Level() = default;
    explicit Level(Borrowed obj) { open(obj); }

    // The field `name`, or None when the level has none.
    Ref get(PyObject* name) const {
        if (dict_) {
            if (PyObject* v = PyDict_GetItemWithError(dict_.get(), name)) return Ref::borrow(v);
            if (PyErr_Occurred()) throw PyError{};
            if (extra_) {
                if (PyObject* v = PyDict_GetItemWithError(extra_.get(), name)) return Ref::borrow(v);
                if (PyErr_Occurred()) throw PyError{};
            }
            return Ref::none();
        }
        if (!obj_) return Ref::none();
        PyObject* v = PyObject_GetAttr(obj_.get(), name);
        if (v) return Ref::steal(v);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return Ref::none();
    }

    // Whether the level has the field at all, even as None.
    bool has(PyObject* name) const {
        if (dict_) {
            if (check(PyDict_Contains(dict_.get(), name))) return true;
            return extra_ && check(PyDict_Contains(extra_.get(), name));
        }
        if (!obj_) return false;
        if (PyObject* v = PyObject_GetAttr(obj_.get(), name)) {
            Py_DECREF(v);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        return false;
    }

    Level at(PyObject* name) const { return Level(get(name)); }
    bool empty() const { return !dict_ && !obj_; }

private:
    void open(Borrowed obj);
    Ref dict_, extra_, obj_;
};

}  // namespace quelm::shapes
