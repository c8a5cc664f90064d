// The free-text line rule: a model name at the start of the line, then the
// prices after the words "prompt" and "completion".  Matching reproduces,
// without `re`:
//   model line  (?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)   match, re.I
//   price       prompt[^$]*\$?([\d,]*\.?\d+[^,]*)                 search, re.I
//               completion[^$]*\$?([\d,]*\.?\d+[^,]*)             search, re.I
#pragma once

#include <optional>

#include "cell.hpp"
#include "chars.hpp"

namespace quelm::pricing::freetext {

using chars::Span;

struct ModelLine {
    Span name;  // the `model` group
    Span rest;  // the `rest` group
};

// Matches the model pattern at the start of the (stripped) line `s`.
template <class Ch>
std::optional<ModelLine> match_model_line(const Ch* d, Span s);

// Group 1 of a price pattern, the number it starts with (which is also the
// first number of the group), and the occurrence of the label it follows.
struct Price {
    Span group;
    Span number;
    cell::Digits digits;
    Span label;
    Unit marker = Unit::None;  // the unit the group's own marker states (set for observers)
};

// Searches `rest` for the label, lower-case ASCII "prompt" or "completion",
// compared as re.IGNORECASE compares.  `readable` is the end of the text
// that holds `rest`.
template <class Ch>
std::optional<Price> find_price(const Ch* d, Span rest, Py_ssize_t readable, const char* label);

}  // namespace quelm::pricing::freetext
