// The texts an estimate derives from strs: the lower-cased lookup key and
// the debug message.  Both are functions of immutable exact strs, so the last
// few results are remembered by the identity of the strs they came from.
#include <cstring>

#include "cost.hpp"
#include "identity_memo.hpp"

namespace quelm::cost {
namespace {

// Never destroyed: the interpreter may be gone when static destructors run.
auto& key_memo = *new IdentityMemo<4, 1>();
auto& message_memo = *new IdentityMemo<4, 2>();

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
    if (!exact_ready_str(m)) return Ref::steal(PyObject_CallMethodNoArgs(m, names::lower));
    if (PyUnicode_IS_ASCII(m) && !has_ascii_upper(m)) return model.ref();
    PyObject* const keys[1] = {m};
    if (PyObject* known = key_memo.find(keys)) return Ref::borrow(known);
    // For a str, `lower` is the host's Unicode lower-case mapping.
    Ref key = PyUnicode_IS_ASCII(m) ? ascii_lower(m)
                                    : Ref::steal(PyObject_CallMethodNoArgs(m, names::lower));
    key_memo.store(keys, key);
    return key;
}

Ref debug_message(Borrowed model_text, Borrowed entry_text) {
    static PyObject* const opening = interned("Estimating costs for model '").release();
    static PyObject* const middle = interned("' using pricing entry: ").release();
    PyObject* const keys[2] = {model_text.get(), entry_text.get()};
    const bool immutable = exact_ready_str(keys[0]) && exact_ready_str(keys[1]);
    if (immutable) {
        if (PyObject* known = message_memo.find(keys)) return Ref::borrow(known);
    }
    Ref message = concat({opening, keys[0], middle, keys[1]});
    if (immutable) message_memo.store(keys, message);
    return message;
}

}  // namespace quelm::cost
