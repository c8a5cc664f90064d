// The texts an estimate derives from strs: the lower-cased lookup key and
// the debug message, each built in one step from the strs' own storage.
#include <cstring>

#include "cost.hpp"

namespace quelm::cost {
namespace {

bool ascii_upper(Py_UCS1 c) { return c >= 'A' && c <= 'Z'; }

// str.lower() of an ASCII str: only A to Z change.
Ref ascii_lower(PyObject* s) {
    const Py_UCS1* src = PyUnicode_1BYTE_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Ref out = Ref::steal(PyUnicode_New(n, 127));
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = ascii_upper(src[i]) ? src[i] + ('a' - 'A') : src[i];
    return out;
}

bool has_ascii_upper(PyObject* s) {
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(s);
    const Py_UCS1* end = p + PyUnicode_GET_LENGTH(s);
    for (; p != end; ++p)
        if (ascii_upper(*p)) return true;
    return false;
}

bool exact_ready_str(PyObject* s) {
    return PyUnicode_CheckExact(s) && PyUnicode_IS_READY(s);
}

// Appends `part` to `out` at `at`: a plain copy when the storage kinds agree.
void append(PyObject* out, Py_ssize_t& at, PyObject* part) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
    const int kind = PyUnicode_KIND(out);
    if (PyUnicode_KIND(part) == kind) {
        std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + at * kind, PyUnicode_DATA(part),
                    static_cast<size_t>(n) * kind);
    } else if (PyUnicode_CopyCharacters(out, at, part, 0, n) < 0) {
        throw PyError{};
    }
    at += n;
}

Ref concat(PyObject* const (&parts)[4]) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* p : parts) {
        if (PyUnicode_READY(p) < 0) throw PyError{};
        length += PyUnicode_GET_LENGTH(p);
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
        if (m > maxchar) maxchar = m;
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (PyObject* p : parts) append(out.get(), at, p);
    return out;
}

}  // namespace

Ref model_key(Borrowed model) {
    PyObject* m = model.get();
    // For a str, `lower` is the host's Unicode lower-case mapping; an ASCII
    // str needs only A to Z changed, and none of them means the str itself.
    if (!exact_ready_str(m) || !PyUnicode_IS_ASCII(m))
        return Ref::steal(PyObject_CallMethodNoArgs(m, names::lower));
    return has_ascii_upper(m) ? ascii_lower(m) : model.ref();
}

Ref debug_message(Borrowed model_text, Borrowed entry_text) {
    return concat({names::debug_opening, model_text.get(), names::debug_middle, entry_text.get()});
}

}  // namespace quelm::cost
