// The free-text line rule: a model name at the start of the line, then the
// prices after the words "prompt" and "completion".  Matching reproduces,
// without `re`:
//   model line  (?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)   match, re.I
//   price       prompt[^$]*\$?([\d,]*\.?\d+[^,]*)                 search, re.I
//               completion[^$]*\$?([\d,]*\.?\d+[^,]*)             search, re.I
#pragma once

#include <optional>

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

// Searches `rest` for the label, lower-case ASCII "prompt" or "completion",
// compared as re.IGNORECASE compares; returns group 1 of the price pattern.
// `readable` is the end of the text that holds `rest`.
template <class Ch>
std::optional<Span> find_price(const Ch* d, Span rest, Py_ssize_t readable, const char* label);

}  // namespace quelm::pricing::freetext
