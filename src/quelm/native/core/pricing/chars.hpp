// Character classes and line handling for the pricing document parser.
//
// Everything works on a str's own storage: `Ch` is Py_UCS1, Py_UCS2 or
// Py_UCS4 and positions are code point indexes.  The classes are the ones the
// host's `re` and `str` methods use, with an ASCII fast path:
//   is_space  \s and str.strip()       Py_UNICODE_ISSPACE
//   is_word   \w                       str.isalnum() or "_"
//   is_digit  \d                       Py_UNICODE_ISDECIMAL
#pragma once

#include <string>

#include "../refs.hpp"

// The SSE2 paths scan 16 bytes at a time; every other processor, and a
// build with QUELM_NO_SIMD defined (CMake option QUELM_SCALAR, which CI
// tests), runs the scalar loop beside each of them.
#if defined(__SSE2__) && !defined(QUELM_NO_SIMD)
#define QUELM_SSE2 1
#include <emmintrin.h>
#endif

namespace quelm::pricing::chars {

struct Span {
    Py_ssize_t lo = 0, hi = 0;
    Py_ssize_t size() const { return hi - lo; }
    bool empty() const { return hi <= lo; }
};

inline bool is_space(Py_UCS4 c) {
    if (c < 128) return c == ' ' || (c - '\t' < 5u) || (c - 0x1C < 4u);
    return Py_UNICODE_ISSPACE(c);
}

inline bool is_digit(Py_UCS4 c) {
    if (c < 128) return c - '0' < 10u;
    return Py_UNICODE_ISDECIMAL(c);
}

inline bool is_word(Py_UCS4 c) {
    if (c < 128) return (c | 0x20) - 'a' < 26u || c - '0' < 10u || c == '_';
    return Py_UNICODE_ISALNUM(c);
}

inline Py_UCS4 ascii_lower(Py_UCS4 c) { return c - 'A' < 26u ? c | 0x20 : c; }

// The characters at which str.splitlines() breaks ("\r\n" counts as one).
inline bool is_line_break(Py_UCS4 c) {
    if (c > 0x1E) return c == 0x85 || c == 0x2028 || c == 0x2029;
    return (c >= '\n' && c <= '\r') || c >= 0x1C;
}

// str.strip(): `s` without its leading and trailing whitespace.
template <class Ch>
Span strip(const Ch* d, Span s) {
    while (s.lo < s.hi && is_space(d[s.lo])) ++s.lo;
    while (s.hi > s.lo && is_space(d[s.hi - 1])) --s.hi;
    return s;
}

// End of the run of whitespace that starts at `pos`.
template <class Ch>
Py_ssize_t skip_space(const Ch* d, Py_ssize_t pos, Py_ssize_t hi) {
    while (pos < hi && is_space(d[pos])) ++pos;
    return pos;
}

template <class Ch>
bool is_ascii(const Ch* d, Span s) {
    Ch seen = 0;  // no early exit: the loop vectorises
    for (Py_ssize_t i = s.lo; i < s.hi; ++i) seen |= d[i];
    return seen < 128;
}

// Writes the ASCII lower-case of `s` to `out` (s.size() bytes) and tells
// whether `s` is all ASCII; when it is not, `out` holds nothing usable.
template <class Ch>
bool lower_ascii(const Ch* d, Span s, char* out) {
    Py_ssize_t i = s.lo;
    bool ascii = true;
#ifdef QUELM_SSE2
    if constexpr (sizeof(Ch) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Ch);
        __m128i seen = _mm_setzero_si128();
        for (; i + lanes <= s.hi; i += lanes, out += lanes) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            seen = _mm_or_si128(seen, v);
            if constexpr (sizeof(Ch) == 1) {
                // Signed bytes: non-ASCII ones are negative, never "A".."Z".
                const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                                    _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
                v = _mm_add_epi8(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            } else {
                const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16('A' - 1)),
                                                    _mm_cmplt_epi16(v, _mm_set1_epi16('Z' + 1)));
                v = _mm_add_epi16(v, _mm_and_si128(upper, _mm_set1_epi16(0x20)));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
            }
        }
        const __m128i high = sizeof(Ch) == 1 ? seen : _mm_and_si128(seen, _mm_set1_epi16(static_cast<short>(0xFF80)));
        ascii = sizeof(Ch) == 1 ? _mm_movemask_epi8(high) == 0
                                : _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
    }
#endif
    Ch seen = 0;
    for (; i < s.hi; ++i) {
        seen |= d[i];
        *out++ = static_cast<char>(ascii_lower(d[i]));
    }
    return ascii && seen < 128;
}

// Does `s`, lower-cased, contain `needle` (lower-case ASCII letters)?
// Only valid for an ASCII span (non-ASCII text needs the host's full
// lower-casing).
template <class Ch>
bool ascii_lower_contains(const Ch* d, Span s, const char* needle) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(std::char_traits<char>::length(needle));
    const Py_UCS4 first = static_cast<Py_UCS4>(needle[0]);
    for (Py_ssize_t i = s.lo; i + n <= s.hi; ++i) {
        if ((d[i] | 0x20u) != first) continue;
        Py_ssize_t k = 1;
        while (k < n && ascii_lower(d[i + k]) == static_cast<Py_UCS4>(needle[k])) ++k;
        if (k == n) return true;
    }
    return false;
}

// The first position >= pos holding a character that may break a line:
// one below U+001F, U+0085, U+2028 or U+2029 (is_line_break decides).
template <class Ch>
Py_ssize_t next_break_candidate(const Ch* d, Py_ssize_t pos, Py_ssize_t len) {
#ifdef QUELM_SSE2
    if constexpr (sizeof(Ch) == 1) {
        const __m128i low = _mm_set1_epi8(0x1E), nel = _mm_set1_epi8(static_cast<char>(0x85));
        for (; pos + 16 <= len; pos += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
            const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_subs_epu8(v, low), _mm_setzero_si128()),
                                             _mm_cmpeq_epi8(v, nel));
            if (const int mask = _mm_movemask_epi8(hit)) return pos + __builtin_ctz(mask);
        }
    } else if constexpr (sizeof(Ch) == 2) {
        const __m128i low = _mm_set1_epi16(0x1E), nel = _mm_set1_epi16(0x85),
                      even = _mm_set1_epi16(static_cast<short>(0xFFFE)),
                      sep = _mm_set1_epi16(0x2028);
        for (; pos + 8 <= len; pos += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
            const __m128i hit = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi16(_mm_subs_epu16(v, low), _mm_setzero_si128()),
                             _mm_cmpeq_epi16(v, nel)),
                _mm_cmpeq_epi16(_mm_and_si128(v, even), sep));
            if (const int mask = _mm_movemask_epi8(hit)) return pos + __builtin_ctz(mask) / 2;
        }
    }
#endif
    for (; pos < len; ++pos) {
        const Py_UCS4 c = d[pos];
        if (c <= 0x1E || c == 0x85 || c == 0x2028 || c == 0x2029) return pos;
    }
    return len;
}

// The first position in [pos, hi) holding `a` or `b`, or hi.  Vector loads
// may read on up to `readable` (the end of the text), never past it.
template <class Ch>
Py_ssize_t find_either(const Ch* d, Py_ssize_t pos, Py_ssize_t hi,
                       [[maybe_unused]] Py_ssize_t readable, Ch a, Ch b) {
#ifdef QUELM_SSE2
    if constexpr (sizeof(Ch) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Ch);
        const bool wide = sizeof(Ch) == 2;
        const __m128i va = wide ? _mm_set1_epi16(static_cast<short>(a)) : _mm_set1_epi8(static_cast<char>(a));
        const __m128i vb = wide ? _mm_set1_epi16(static_cast<short>(b)) : _mm_set1_epi8(static_cast<char>(b));
        for (; pos < hi && pos + lanes <= readable; pos += lanes) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
            const __m128i hit = wide ? _mm_or_si128(_mm_cmpeq_epi16(v, va), _mm_cmpeq_epi16(v, vb))
                                     : _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb));
            if (const int mask = _mm_movemask_epi8(hit)) {
                const Py_ssize_t at = pos + __builtin_ctz(mask) / static_cast<int>(sizeof(Ch));
                return at < hi ? at : hi;
            }
        }
    }
#endif
    while (pos < hi && d[pos] != a && d[pos] != b) ++pos;
    return pos < hi ? pos : hi;
}

// The first position in [pos, hi) holding an ASCII digit, "," or "." or a
// non-ASCII character (which may be a digit of another script), or hi.
template <class Ch>
Py_ssize_t find_number_candidate(const Ch* d, Py_ssize_t pos, Py_ssize_t hi,
                                 [[maybe_unused]] Py_ssize_t readable) {
#ifdef QUELM_SSE2
    if constexpr (sizeof(Ch) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Ch);
        for (; pos < hi && pos + lanes <= readable; pos += lanes) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
            __m128i hit;
            if constexpr (sizeof(Ch) == 1) {
                // Signed bytes: non-ASCII ones are negative.
                const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                                    _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
                hit = _mm_or_si128(_mm_or_si128(digit, _mm_cmplt_epi8(v, _mm_setzero_si128())),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')),
                                                _mm_cmpeq_epi8(v, _mm_set1_epi8('.'))));
            } else {
                const __m128i digit = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16('0' - 1)),
                                                    _mm_cmplt_epi16(v, _mm_set1_epi16('9' + 1)));
                const __m128i wide = _mm_or_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16(127)),
                                                  _mm_cmplt_epi16(v, _mm_setzero_si128()));
                hit = _mm_or_si128(_mm_or_si128(digit, wide),
                                   _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(',')),
                                                _mm_cmpeq_epi16(v, _mm_set1_epi16('.'))));
            }
            if (const int mask = _mm_movemask_epi8(hit)) {
                const Py_ssize_t at = pos + __builtin_ctz(mask) / static_cast<int>(sizeof(Ch));
                return at < hi ? at : hi;
            }
        }
    }
#endif
    for (; pos < hi; ++pos) {
        const Py_UCS4 c = d[pos];
        if (c - '0' < 10u || c == ',' || c == '.' || c >= 128) return pos;
    }
    return hi;
}

template <class Ch>
Py_ssize_t find_char(const Ch* d, Py_ssize_t pos, Py_ssize_t hi, Py_ssize_t readable, Ch ch) {
    return find_either(d, pos, hi, readable, ch, ch);
}

// Records the positions of the first `want` (at most 4) characters `ch` in
// [pos, hi) into `at`; returns how many there are.  Vector loads may read on
// up to `readable`, never past it.
template <class Ch>
int find_all(const Ch* d, Py_ssize_t pos, Py_ssize_t hi,
             [[maybe_unused]] Py_ssize_t readable, Ch ch, Py_ssize_t* at, int want) {
    int found = 0;
#ifdef QUELM_SSE2
    if constexpr (sizeof(Ch) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Ch);
        const __m128i target = sizeof(Ch) == 1 ? _mm_set1_epi8(static_cast<char>(ch))
                                               : _mm_set1_epi16(static_cast<short>(ch));
        for (; pos < hi && pos + lanes <= readable; pos += lanes) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + pos));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
                sizeof(Ch) == 1 ? _mm_cmpeq_epi8(v, target) : _mm_cmpeq_epi16(v, target)));
            while (mask) {
                const Py_ssize_t p = pos + __builtin_ctz(mask) / static_cast<int>(sizeof(Ch));
                if (p >= hi) return found;
                at[found++] = p;
                if (found == want) return found;
                mask &= mask - 1;
                if constexpr (sizeof(Ch) == 2) mask &= mask - 1;  // both bytes of a lane
            }
        }
    }
#endif
    for (; pos < hi; ++pos) {
        if (d[pos] != ch) continue;
        at[found++] = pos;
        if (found == want) break;
    }
    return found;
}

// Iterates over the lines of a text as str.splitlines() splits it.
template <class Ch>
class Lines {
public:
    Lines(const Ch* d, Py_ssize_t len) : d_(d), len_(len) {}

    // Stores the next line's span (without its break) in `line`; false at
    // the end.  A final line break makes no empty last line.
    bool next(Span& line) {
        if (pos_ >= len_) return false;
        Py_ssize_t end = next_break_candidate(d_, pos_, len_);
        while (end < len_ && !is_line_break(d_[end])) end = next_break_candidate(d_, end + 1, len_);
        line = {pos_, end};
        pos_ = end;
        if (pos_ < len_) {
            ++pos_;
            if (d_[end] == '\r' && pos_ < len_ && d_[pos_] == '\n') ++pos_;
        }
        return true;
    }

private:
    const Ch* d_;
    Py_ssize_t len_;
    Py_ssize_t pos_ = 0;
};

}  // namespace quelm::pricing::chars
