// Reference ownership for the module's C++ code.
//
// `Ref` owns one strong reference and drops it when it goes out of scope;
// `Borrowed` is a plain, non-owning view.  A C API call that fails leaves a
// Python exception set; `check()` turns that into a C++ `PyError`, which
// unwinds (releasing every `Ref` on the way) up to the one boundary where a
// native function returns to Python and reports NULL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

namespace quelm {

// Thrown when a Python exception is already set.
struct PyError {};

template <class T>
inline T* check(T* p) {
    if (p == nullptr) throw PyError{};
    return p;
}

// A status or a size (int, Py_ssize_t): negative means failure.  The result
// keeps the argument's own type, so a size is never narrowed on the way (a
// length past 2**31 read through an int would come back negative or short);
// an unsigned type, which cannot say failure so, does not compile.
template <std::signed_integral T>
inline T check(T rc) {
    if (rc < 0) throw PyError{};
    return rc;
}
template <std::unsigned_integral T>
T check(T) = delete;
static_assert(std::is_same_v<decltype(check(Py_ssize_t{})), Py_ssize_t>);

class Ref;

class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject* p) : p_(p) {}  // NOLINT: implicit by design
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is_none() const { return p_ == Py_None; }
    Ref ref() const;

private:
    PyObject* p_ = nullptr;
};

class Ref {
public:
    Ref() = default;
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference returned by the C API; NULL means failure.
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    // Takes over a result that may be NULL without throwing: the caller
    // tests the Ref and deals with whatever a NULL means there (an error
    // left set to inspect or clear, or, for PyIter_Next, perhaps the end).
    static Ref steal_maybe(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed pointer (NULL allowed).
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref none() { return borrow(Py_None); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    operator Borrowed() const { return Borrowed(p_); }  // NOLINT
    bool is_none() const { return p_ == Py_None; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref Borrowed::ref() const { return Ref::borrow(p_); }

// Sets the Python error pending when the enclosing `catch` block began aside
// for the scope, as an `except` block of Python code holds it, and puts it
// back on leaving: restored as it was when no other error is pending then,
// or, when the scope raised an error of its own, chained to that one as its
// `__context__`.  `discard()` forgets it (the error was handled).
class SavedError {
public:
    SavedError() {
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (!type_) return;
        if (!PyErr_Occurred()) {
            PyErr_Restore(type_, value_, tb_);
            return;
        }
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && value != value_) {
            // As a raise in an `except` block chains it: the saved error goes
            // at the end of the new error's chain of contexts (which holds
            // whatever the scope raised and handled on the way), unless it is
            // there already.  The walk stops at a cycle, as the host's does.
            PyObject* last = value;
            PyObject* slow = value;
            bool advance_slow = false;
            while (PyObject* up = PyException_GetContext(last)) {
                Py_DECREF(up);  // still held by `last`
                if (up == value_ || up == slow) {
                    last = nullptr;
                    break;
                }
                last = up;
                if (advance_slow) {
                    slow = PyException_GetContext(slow);
                    Py_DECREF(slow);
                }
                advance_slow = !advance_slow;
            }
            if (last) {
                PyException_SetContext(last, value_);  // takes the reference
                value_ = nullptr;
            }
        }
        PyErr_Restore(type, value, tb);
        discard();
    }
    // The exception object (None when there was none to normalise).
    PyObject* value() const { return value_ ? value_ : Py_None; }
    PyObject* type() const { return type_ ? type_ : Py_None; }
    PyObject* traceback() const { return tb_ ? tb_ : Py_None; }
    void discard() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Runs `body` and converts its outcome for the C API: the new reference on
// success, NULL with an exception set on failure.
template <class F>
PyObject* boundary(F&& body) noexcept {
    try {
        return body().release();
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

// Small helpers used throughout.
inline Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
inline Ref interned(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }
inline Ref call(Borrowed callable, Borrowed arg) {
    return Ref::steal(PyObject_CallOneArg(callable.get(), arg.get()));
}
inline Ref getattr(Borrowed obj, Borrowed name) {
    return Ref::steal(PyObject_GetAttr(obj.get(), name.get()));
}
inline bool truthy(Borrowed obj) { return check(PyObject_IsTrue(obj.get())) != 0; }

}  // namespace quelm
