// Character-level helpers on str storage (1, 2 or 4 bytes per code point),
// with the host's own Unicode classification.
#pragma once

#include "refs.hpp"

namespace quelm::uni {

// A read-only view of a str's code points.
struct Text {
    int kind;
    const void* data;
    Py_ssize_t len;

    explicit Text(PyObject* s)
        : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), len(PyUnicode_GET_LENGTH(s)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

// Does text character `c` match the lower-case ASCII letter `lit` of a
// pattern compiled with re.IGNORECASE?  The engine compares simple lower-case
// mappings and also treats DOTLESS I as i and LONG S as s.
inline bool ci_letter(Py_UCS4 c, char lit) {
    const Py_UCS4 lc = Py_UNICODE_TOLOWER(c);
    if (lc == static_cast<Py_UCS4>(lit)) return true;
    return (lit == 'i' && lc == 0x131) || (lit == 's' && lc == 0x17F);
}

// Case-insensitive match of the lower-case ASCII `lit` at text position `pos`.
inline bool ci_literal_at(const Text& t, Py_ssize_t pos, const char* lit) {
    for (; *lit; ++lit, ++pos) {
        if (pos >= t.len) return false;
        const char l = *lit;
        const Py_UCS4 c = t[pos];
        const bool letter = l >= 'a' && l <= 'z';
        if (letter ? !ci_letter(c, l) : c != static_cast<Py_UCS4>(l)) return false;
    }
    return true;
}

}  // namespace quelm::uni
