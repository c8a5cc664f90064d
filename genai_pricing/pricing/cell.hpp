// Price cell conversion: a price text (a table cell, or the text captured
// after a label in a free-text line) to US dollars per 1,000,000 tokens.
//
// These are the parser's `_cell_to_per_1m` and `_num_with_header`.  They
// reproduce, without `re`, what these searches give:
//   number      \$?([\d,]*\.?\d+)                       the first number
//   per 1,000   /\s*1\s*[kK]\b|per\s+1\s*[kK]\b
//   per 1e6     /\s*1\s*[mM]\b|per\s+1\s*[mM]\b
// and, for header cells, 1\s*[kK] and 1\s*[mM].
#pragma once

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

using chars::Span;

// The match of `[\d,]*\.?\d+` anchored at `pos` (the one re settles on
// first, backtracking included).  On failure `number` is left empty and the
// return value is the first position after `pos` where a match may start:
// no position in between can begin one.
template <class Ch>
Py_ssize_t number_at(const Ch* d, Py_ssize_t pos, Py_ssize_t hi, Span& number);

// The numeric value of a matched number: commas dropped, every Unicode
// decimal digit taken at its value, converted as float() converts.
template <class Ch>
double number_value(const Ch* d, Span number);

// `_cell_to_per_1m(cell, default_unit)`: nullopt when the text holds no
// number.
template <class Ch>
std::optional<double> cell_to_per_1m(const Ch* d, Span cell, Unit default_unit);

// `_num_with_header(x, which)`: the cell under its column's header unit.
template <class Ch>
std::optional<double> num_with_header(const Ch* d, Span x, Column which, const HeaderUnits& units) {
    return cell_to_per_1m(d, x, which == Column::Prompt ? units.prompt : units.completion);
}

// The unit tag a header cell states: "1k" if it holds 1\s*[kK], otherwise
// "1m" if it holds 1\s*[mM], otherwise none.
template <class Ch>
Unit header_unit(const Ch* d, Span cell);

}  // namespace cell
}  // namespace quelm::pricing
