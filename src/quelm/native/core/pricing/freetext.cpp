// The free-text line rule (see freetext.hpp for the patterns reproduced).
#include "freetext.hpp"

#include <cstring>

#include "../unicode.hpp"
#include "cell.hpp"

namespace quelm::pricing::freetext {
namespace {

using chars::is_digit;
using chars::is_word;
using chars::skip_space;

// [\w\-\._/:@]; re.IGNORECASE leaves a class without cased literals alone.
inline bool is_name_char(Py_UCS4 c) {
    return is_word(c) || c == '-' || c == '.' || c == '/' || c == ':' || c == '@';
}

inline bool is_separator(Py_UCS4 c) { return c == ':' || c == '-'; }

// One pattern letter under re.IGNORECASE (see uni::ci_letter).
inline bool letter_matches(Py_UCS4 c, char lit) {
    if (c < 128) return chars::ascii_lower(c) == static_cast<Py_UCS4>(lit);
    return uni::ci_letter(c, lit);
}

template <class Ch>
bool label_at(const Ch* d, Py_ssize_t pos, const char* label, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!letter_matches(d[pos + k], label[k])) return false;
    return true;
}

// The first position >= pos where `label` starts, or -1.  Only ASCII
// letters match the labels' first letters ("p", "c") case-insensitively, so
// candidates are found by a plain search for both cases.
template <class Ch>
Py_ssize_t find_label(const Ch* d, Py_ssize_t pos, Py_ssize_t hi, Py_ssize_t readable,
                      const char* label, Py_ssize_t n) {
    const Ch lower = static_cast<Ch>(label[0]), upper = static_cast<Ch>(label[0] - 'a' + 'A');
    const Py_ssize_t last = hi - n + 1;  // exclusive end of possible starts
    for (; (pos = chars::find_either(d, pos, last, readable, lower, upper)) < last; ++pos)
        if (label_at(d, pos, label, n)) return pos;
    return -1;
}

// Group 1 runs from the number to the first "," after it.
template <class Ch>
Price price_at(const Ch* d, Span label, Span number, const cell::Digits& digits, Py_ssize_t hi,
               Py_ssize_t readable) {
    return Price{{number.lo, chars::find_char(d, number.hi, hi, readable, Ch(','))}, number, digits,
                 label};
}

}  // namespace

template <class Ch>
std::optional<ModelLine> match_model_line(const Ch* d, Span s) {
    Py_ssize_t run = s.lo;
    while (run < s.hi && is_name_char(d[run])) ++run;
    if (run == s.lo) return std::nullopt;

    // The greedy name gives characters back from the end of the run until
    // "\s*[:\-]" matches after it.  At the end of the run that needs
    // whitespace then a separator; inside the run (no whitespace there) the
    // character itself must be a separator.
    Py_ssize_t name_end = -1, sep = -1;
    const Py_ssize_t after = skip_space(d, run, s.hi);
    if (after < s.hi && is_separator(d[after])) {
        name_end = run;
        sep = after;
    } else {
        for (Py_ssize_t p = run - 1; p > s.lo; --p) {
            if (is_separator(d[p])) {
                name_end = p;
                sep = p;
                break;
            }
        }
    }
    if (sep < 0) return std::nullopt;
    return ModelLine{{s.lo, name_end}, {skip_space(d, sep + 1, s.hi), s.hi}};
}

template <class Ch>
std::optional<Price> find_price(const Ch* d, Span rest, Py_ssize_t readable, const char* label) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(label));
    const Py_ssize_t hi = rest.hi;
    Py_ssize_t from = rest.lo;
    for (;;) {
        const Py_ssize_t at = find_label(d, from, hi, readable, label, n);
        if (at < 0) return std::nullopt;
        // [^$]* first runs to the first "$" after the label, then gives
        // characters back.  The first try is "$" + number right after that
        // "$"; then, giving back one character at a time, the first place a
        // number starts is the last digit before that "$".
        const Py_ssize_t after = at + n;
        const Py_ssize_t dollar = chars::find_char(d, after, hi, readable, Ch('$'));
        if (dollar < hi) {
            Span number;
            cell::Digits digits;
            cell::number_at(d, dollar + 1, hi, number, digits);
            if (!number.empty()) return price_at(d, {at, after}, number, digits, hi, readable);
        }
        // From the last digit, the number can only be that digit (commas
        // may follow, but no other digit comes before the "$").
        Py_ssize_t last_digit = dollar - 1;
        while (last_digit >= after && !is_digit(d[last_digit])) --last_digit;
        if (last_digit >= after) {
            const cell::Digits digit{static_cast<std::uint64_t>(cell::decimal_value(d[last_digit])), 1, 0};
            return price_at(d, {at, after}, {last_digit, last_digit + 1}, digit, hi, readable);
        }
        if (dollar >= hi) return std::nullopt;
        // Every later label that starts before this "$" meets the same "$"
        // with no digit before it: the next candidate lies beyond it.
        from = dollar + 1;
    }
}

#define QUELM_FREETEXT_INSTANTIATE(Ch)                                                   \
    template std::optional<ModelLine> match_model_line<Ch>(const Ch*, Span);             \
    template std::optional<Price> find_price<Ch>(const Ch*, Span, Py_ssize_t, const char*);
QUELM_FREETEXT_INSTANTIATE(Py_UCS1)
QUELM_FREETEXT_INSTANTIATE(Py_UCS2)
QUELM_FREETEXT_INSTANTIATE(Py_UCS4)
#undef QUELM_FREETEXT_INSTANTIATE

}  // namespace quelm::pricing::freetext
