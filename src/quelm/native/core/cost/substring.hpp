// Substring tests on the storage of exact strs (1, 2 or 4 bytes per code
// point), with the host's results for `needle in hay`.
//
// Like the host, a needle stored with a wider kind than its haystack is
// never found: str storage is canonical, so such a needle holds a character
// the haystack cannot contain.
#pragma once

#include <cstdint>
#include <cstring>

#include "../refs.hpp"

namespace quelm::cost {

// Search of `needle` (nn >= 1 units) in `hay` (hn >= nn units); the unit
// types may differ (H at least as wide as N), values compare as code points.
template <class H, class N>
bool find_units(const H* hay, Py_ssize_t hn, const N* needle, Py_ssize_t nn) {
    const H first = needle[0];
    const H last = needle[nn - 1];
    for (Py_ssize_t i = 0, end = hn - nn; i <= end; ++i) {
        if (hay[i] != first || hay[i + nn - 1] != last) continue;
        Py_ssize_t j = 1;
        while (j < nn - 1 && hay[i + j] == needle[j]) ++j;
        if (j >= nn - 1) return true;
    }
    return false;
}

// One-byte haystacks of any length: memchr finds the candidates.
inline bool find_bytes(const Py_UCS1* hay, Py_ssize_t hn, const Py_UCS1* needle, Py_ssize_t nn) {
    if (hn < 64) return find_units(hay, hn, needle, nn);
    const Py_UCS1* p = hay;
    const Py_UCS1* const end = hay + (hn - nn);
    while (p <= end) {
        p = static_cast<const Py_UCS1*>(
            std::memchr(p, needle[0], static_cast<size_t>(end - p) + 1));
        if (p == nullptr) return false;
        if (p[nn - 1] == needle[nn - 1] &&
            std::memcmp(p + 1, needle + 1, static_cast<size_t>(nn - 1)) == 0)
            return true;
        ++p;
    }
    return false;
}

// `needle in hay` for two exact, ready strs.
inline bool str_contains(PyObject* hay, PyObject* needle) {
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
    auto ucs1 = [](const void* p) { return static_cast<const Py_UCS1*>(p); };
    auto ucs2 = [](const void* p) { return static_cast<const Py_UCS2*>(p); };
    auto ucs4 = [](const void* p) { return static_cast<const Py_UCS4*>(p); };
    switch (hk) {
        case PyUnicode_1BYTE_KIND:
            return find_bytes(ucs1(h), hn, ucs1(n), nn);
        case PyUnicode_2BYTE_KIND:
            return nk == PyUnicode_1BYTE_KIND ? find_units(ucs2(h), hn, ucs1(n), nn)
                                              : find_units(ucs2(h), hn, ucs2(n), nn);
        default:
            if (nk == PyUnicode_1BYTE_KIND) return find_units(ucs4(h), hn, ucs1(n), nn);
            if (nk == PyUnicode_2BYTE_KIND) return find_units(ucs4(h), hn, ucs2(n), nn);
            return find_units(ucs4(h), hn, ucs4(n), nn);
    }
}

// The lookup key of one scan, prepared for `key in name or name in key`
// against many names.  A one-byte key of modest length gets a table of
// where each byte value occurs in it, so that the test for a shorter name
// looks only at the positions where the name's first character occurs; the
// usual outcome, no such position whose last character agrees either, is
// decided without a branch per test.
class KeyPattern {
public:
    explicit KeyPattern(PyObject* key)
        : key_(key),
          len_(PyUnicode_GET_LENGTH(key)),
          indexed_(PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND && len_ < kNone) {
        if (!indexed_) return;
        const Py_UCS1* data = static_cast<const Py_UCS1*>(PyUnicode_DATA(key));
        std::memset(text_, 0, sizeof text_);
        std::memcpy(text_, data, static_cast<size_t>(len_));
        std::memset(first_, kNone, sizeof first_);
        next_[kNone] = kNone;
        for (Py_ssize_t i = len_ - 1; i >= 0; --i) {
            next_[i] = first_[data[i]];
            first_[data[i]] = static_cast<std::uint8_t>(i);
        }
    }

    // `key in name or name in key` for an exact str `name`.
    bool related(PyObject* name) const {
        const Py_ssize_t nn = PyUnicode_GET_LENGTH(name);
        // Compact ASCII names, the common case, are read straight away;
        // compact strs are always ready.
        if (!(indexed_ && nn < len_ && PyUnicode_IS_COMPACT_ASCII(name)))
            return related_any(name);
        if (nn == 0) return true;
        const Py_UCS1* n = reinterpret_cast<const Py_UCS1*>(
            reinterpret_cast<const PyASCIIObject*>(name) + 1);
        const Py_ssize_t last_start = len_ - nn;  // below kNone
        const Py_UCS1 tail = n[nn - 1];
        std::uint8_t i = first_[n[0]];
        // text_ is padded, so the reads below stay inside it even for kNone.
        const bool maybe =
            (i <= last_start) & ((text_[i + nn - 1] == tail) | (next_[i] <= last_start));
        if (!maybe) return false;
        for (; i <= last_start; i = next_[i]) {
            if (text_[i + nn - 1] == tail &&
                std::memcmp(text_ + i + 1, n + 1, static_cast<size_t>(nn - 1)) == 0)
                return true;
        }
        return false;
    }

private:
    bool related_any(PyObject* name) const {
        if (PyUnicode_READY(name) < 0) throw PyError{};
        const Py_ssize_t nn = PyUnicode_GET_LENGTH(name);
        if (nn >= len_) return str_contains(name, key_);  // equal lengths: equality
        return str_contains(key_, name);
    }

    static constexpr std::uint8_t kNone = 255;
    PyObject* key_;
    Py_ssize_t len_;
    bool indexed_;
    std::uint8_t first_[256];     // first position of each byte value, or kNone
    std::uint8_t next_[256];      // next position of the same byte value, or kNone
    Py_UCS1 text_[2 * 256];       // the key, zero-padded
};

}  // namespace quelm::cost
