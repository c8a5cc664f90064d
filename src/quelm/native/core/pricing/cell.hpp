// Price cell conversion: a price text (a table cell, or the text captured
// after a label in a free-text line) to US dollars per 1,000,000 tokens.
//
// These are the parser's `_cell_to_per_1m` and `_num_with_header`.  They
// reproduce, without `re`, what these searches give:
//   number      \$?([\d,]*\.?\d+)                       the first number
//   per 1,000   /\s*1\s*[kK]\b|per\s+1\s*[kK]\b
//   per 1e6     /\s*1\s*[mM]\b|per\s+1\s*[mM]\b
// and, for header cells, 1\s*[kK] and 1\s*[mM].
//
// The templates are defined here so that the parser's per-cell calls inline.
#pragma once

#include <cstdint>
#include <optional>

#include "chars.hpp"

namespace quelm::pricing {

// A column's unit tag as the last header row stated it: "1k", "1m" or none.
// Only PerThousand changes a conversion.
enum class Unit : unsigned char { None, PerThousand, PerMillion };

struct HeaderUnits {
    Unit prompt = Unit::None;
    Unit completion = Unit::None;
};

enum class Column : unsigned char { Prompt, Completion };

namespace cell {

using chars::is_digit;
using chars::is_space;
using chars::is_word;
using chars::skip_space;
using chars::Span;

// The value of a decimal digit (any script).
inline int decimal_value(Py_UCS4 c) {
    return c < 128 ? static_cast<int>(c - '0') : Py_UNICODE_TODECIMAL(c);
}

// float() of an ASCII number: digits, at most one point (cell.cpp).
double ascii_to_double(const char* text);

// The digits of a matched number, gathered while it is matched.
struct Digits {
    std::uint64_t mantissa = 0;  // of the first 16 digits
    int count = 0;               // all digits
    int fraction = 0;            // digits after the point
};

// The match of `[\d,]*\.?\d+` anchored at `pos` (the one re settles on
// first, backtracking included).  On failure `number` is left empty and the
// return value is the first position after `pos` where a match may start:
// no position in between can begin one.
template <class Ch>
Py_ssize_t number_at(const Ch* d, Py_ssize_t pos, Py_ssize_t hi, Span& number,
                     Digits& digits) {
    // [\d,]* takes the whole run first; then \.?\d+ is tried after it, and
    // on failure the run gives back characters until \d+ finds a digit,
    // which is the run's last digit.
    digits = Digits{};
    auto take = [&digits](Ch c) {
        if (++digits.count <= 16)
            digits.mantissa = digits.mantissa * 10 + static_cast<std::uint64_t>(decimal_value(c));
    };
    Py_ssize_t run = pos, last_digit = -1;
    for (; run < hi; ++run) {
        const Ch c = d[run];
        if (is_digit(c)) {
            take(c);
            last_digit = run;
        } else if (c != ',') {
            break;
        }
    }
    if (run + 1 < hi && d[run] == '.' && is_digit(d[run + 1])) {
        Py_ssize_t end = run + 1;
        for (; end < hi && is_digit(d[end]); ++end) {
            take(d[end]);
            ++digits.fraction;
        }
        number = {pos, end};
        return end;
    }
    if (last_digit >= 0) {
        number = {pos, last_digit + 1};
        return last_digit + 1;
    }
    number = {pos, pos};
    // Inside the run there is no digit, and the character after it starts
    // no "." + digit: nothing can start before run + 1.
    return run + 1;
}

// The numeric value of a matched number: commas dropped, every Unicode
// decimal digit taken at its value, converted as float() converts.
template <class Ch>
double number_value(const Ch* d, Span number, const Digits& digits) {
    // Up to 15 digits: the digits and the power of ten are exact doubles, so
    // one division rounds correctly, which is what float() gives.  Longer
    // numbers take the host's own conversion.
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (digits.count <= 15) {
        const double m = static_cast<double>(digits.mantissa);
        return digits.fraction > 0 ? m / kPow10[digits.fraction] : m;
    }
    std::string ascii;
    ascii.reserve(static_cast<size_t>(number.size()));
    for (Py_ssize_t i = number.lo; i < number.hi; ++i) {
        const Ch c = d[i];
        if (c != ',') ascii.push_back(c == '.' ? '.' : static_cast<char>('0' + decimal_value(c)));
    }
    return ascii_to_double(ascii.c_str());
}

// Which unit markers a cell holds.
struct Markers {
    bool per_thousand = false;
    bool per_million = false;
};

// Finds the markers "/" or "per\s+", then "\s*1\s*" and the unit letter
// followed by a word boundary.  The end of the span counts as the end of the
// text for that boundary; `readable` is the end of the whole text.  Each
// whitespace run is walked by at most one marker candidate, so the scan stays
// linear.
//
// The prefilter: only a "/" or a lower-case "p" can start a marker, and
// find_either() skips to the next of the two (16 characters at a time where
// SIMD is available).  A new way of writing a marker must add its first
// character to that search, or it is never looked at.
template <class Ch>
Markers find_markers(const Ch* d, Span s, Py_ssize_t readable) {
    Markers found;
    for (Py_ssize_t p = s.lo; (p = chars::find_either(d, p, s.hi, readable, Ch('/'), Ch('p'))) < s.hi;
         ++p) {
        const Ch c = d[p];
        Py_ssize_t x;
        if (c == '/') {
            x = skip_space(d, p + 1, s.hi);
        } else if (p + 3 < s.hi && d[p + 1] == 'e' && d[p + 2] == 'r' && is_space(d[p + 3])) {
            x = skip_space(d, p + 4, s.hi);
        } else {
            continue;
        }
        if (x >= s.hi || d[x] != '1') continue;
        x = skip_space(d, x + 1, s.hi);
        if (x >= s.hi || (x + 1 < s.hi && is_word(d[x + 1]))) continue;
        const Py_UCS4 unit = d[x] | 0x20;
        if (unit == 'k') {
            found.per_thousand = true;
            return found;  // the per-1,000 marker wins whatever else is there
        }
        if (unit == 'm') found.per_million = true;
    }
    return found;
}

// The leftmost number of a cell ("$" before it changes nothing); false when
// there is none.  `readable` is the end of the text that holds the cell.
template <class Ch>
bool first_number(const Ch* d, Span cell, Py_ssize_t readable, Span& number, Digits& digits) {
    for (Py_ssize_t p = cell.lo; (p = chars::find_number_candidate(d, p, cell.hi, readable)) < cell.hi;) {
        const Ch c = d[p];
        if (c >= 128 && !is_digit(c)) {
            ++p;
            continue;
        }
        p = number_at(d, p, cell.hi, number, digits);
        if (!number.empty()) return true;
    }
    return false;
}

// The unit a cell states itself, by its markers: the per-1,000 marker wins
// whatever else is there; None when it has no marker.
template <class Ch>
Unit marked_unit(const Ch* d, Span cell, Py_ssize_t readable, Span number) {
    // A marker holds a "1" followed, after spaces, by a letter.  When the
    // first number runs to the end of the cell there is no letter after any
    // digit, and no digit before that number: no marker to look for.
    const Markers markers = number.hi == cell.hi ? Markers{} : find_markers(d, cell, readable);
    if (markers.per_thousand) return Unit::PerThousand;
    return markers.per_million ? Unit::PerMillion : Unit::None;
}

// The unit a cell's number is read in: its own marker's, else its column's.
inline Unit applied_unit(Unit marked, Unit default_unit) {
    return marked != Unit::None ? marked : default_unit;
}

// The price per 1,000,000 tokens of a cell whose first number is known and
// whose own unit (marked_unit) is `marked`.
template <class Ch>
double per_1m(const Ch* d, Span number, const Digits& digits, Unit marked, Unit default_unit) {
    const double val = number_value(d, number, digits);
    return applied_unit(marked, default_unit) == Unit::PerThousand ? val * 1000.0 : val;
}

template <class Ch>
double per_1m(const Ch* d, Span cell, Py_ssize_t readable, Span number, const Digits& digits,
              Unit default_unit) {
    return per_1m(d, number, digits, marked_unit(d, cell, readable, number), default_unit);
}

// `_cell_to_per_1m(cell, default_unit)`: nullopt when the text holds no
// number.
template <class Ch>
std::optional<double> cell_to_per_1m(const Ch* d, Span cell, Py_ssize_t readable, Unit default_unit) {
    Span number;
    Digits digits;
    if (!first_number(d, cell, readable, number, digits)) return std::nullopt;
    return per_1m(d, cell, readable, number, digits, default_unit);
}

// `_num_with_header(x, which)`: the cell under its column's header unit.
template <class Ch>
std::optional<double> num_with_header(const Ch* d, Span x, Py_ssize_t readable, Column which,
                                      const HeaderUnits& units) {
    return cell_to_per_1m(d, x, readable, which == Column::Prompt ? units.prompt : units.completion);
}

// The unit tag a header cell states: "1k" if it holds 1\s*[kK], otherwise
// "1m" if it holds 1\s*[mM], otherwise none.
template <class Ch>
Unit header_unit(const Ch* d, Span cell) {
    bool million = false;
    for (Py_ssize_t p = cell.lo; p < cell.hi; ++p) {
        if (d[p] != '1') continue;
        const Py_ssize_t x = skip_space(d, p + 1, cell.hi);
        if (x >= cell.hi) break;
        const Py_UCS4 unit = d[x] | 0x20;
        if (unit == 'k') return Unit::PerThousand;
        if (unit == 'm') million = true;
    }
    return million ? Unit::PerMillion : Unit::None;
}

}  // namespace cell
}  // namespace quelm::pricing
