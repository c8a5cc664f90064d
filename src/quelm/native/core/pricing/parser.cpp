// The Markdown pricing document parser: one pass over the lines, table rows
// and free-text price lines, into a dict of model name -> rates.
#include "parser.hpp"

#include <cstdint>
#include <cstring>

#include "../unicode.hpp"
#include "freetext.hpp"

namespace quelm::pricing {
namespace {

using chars::Span;
using std::optional;

// The float objects of a table's prices.  Price lists repeat the same few
// prices: a small direct-mapped cache by bit pattern lets equal prices share
// one float object (floats are immutable).
class Prices {
public:
    Ref get(const optional<double>& price) {
        if (!price) return Ref::none();
        std::uint64_t bits;
        std::memcpy(&bits, &*price, sizeof bits);
        Slot& slot = slots_[(bits * 0x9e3779b97f4a7c15ull) >> 56];
        if (!slot.object || slot.bits != bits) {
            slot.object = Ref::steal(PyFloat_FromDouble(*price));
            slot.bits = bits;
        }
        return slot.object;
    }

private:
    struct Slot {
        std::uint64_t bits = 0;
        Ref object;
    };
    Slot slots_[256];
};

template <class Ch>
class DocumentParser {
public:
    DocumentParser(PyObject* text, LineObserver* observer)
        : text_(text),
          d_(static_cast<const Ch*>(PyUnicode_DATA(text))),
          len_(PyUnicode_GET_LENGTH(text)),
          observer_(observer),
          // The result is the dict the entries go into as they are found.
          table_(Ref::steal(PyDict_New())) {}

    Ref run() {
        chars::Lines<Ch> lines(d_, len_);
        Span line;
        Py_ssize_t number = 0;
        LineReport report;  // reused: only what a line sets is reset
        while (lines.next(line)) {
            ++number;
            report.kind = LineKind::Blank;
            report.outcome = LineOutcome::Skipped;
            report.few_cells = report.replaced = false;
            report.prompt = report.completion = std::nullopt;
            if (observer_) {
                report.cells.clear();
                report.rest = Span{};
                report.prompt_found = report.completion_found = std::nullopt;
            }
            handle_line(chars::strip(d_, line), report);
            if (observer_) {
                report.number = number;
                report.line = line;
                report.units = units_;
                observer_->on_line(report);
                report.name = Ref();
            }
        }
        return table_;
    }

private:
    void handle_line(Span s, LineReport& r) {
        if (s.empty()) return;  // Blank, Skipped
        if (d_[s.lo] == '#') {
            r.kind = LineKind::Comment;
            return;
        }
        if (d_[s.lo] == '|') {
            Span cells[3];
            if (split_cells(s, cells)) return table_row(s, cells, r);
            r.few_cells = true;
            if (observer_) all_cells(s, r.cells);
        }
        free_text(s, r);
    }

    // A table line without the "|"s at either end (as str.strip("|")).
    Span inside_pipes(Span s) const {
        while (s.lo < s.hi && d_[s.lo] == '|') ++s.lo;
        while (s.hi > s.lo && d_[s.hi - 1] == '|') --s.hi;
        return s;
    }

    // Cells of a table row: "|" stripped from both ends, split at every "|",
    // each piece stripped.  Only the first three matter; false when there
    // are fewer than three.
    bool split_cells(Span s, Span (&cells)[3]) const {
        s = inside_pipes(s);
        Py_ssize_t pipes[3];
        const int found = chars::find_all(d_, s.lo, s.hi, len_, Ch('|'), pipes, 3);
        if (found < 2) return false;
        cells[0] = chars::strip(d_, {s.lo, pipes[0]});
        cells[1] = chars::strip(d_, {pipes[0] + 1, pipes[1]});
        cells[2] = chars::strip(d_, {pipes[1] + 1, found == 3 ? pipes[2] : s.hi});
        return true;
    }

    void table_row(Span s, const Span (&cells)[3], LineReport& r) {
        if (is_rule(cells[0]) && is_rule(cells[1]) && is_rule(cells[2])) {
            r.kind = LineKind::Separator;
            return;
        }
        const bool name_ascii = chars::is_ascii(d_, cells[0]);
        if (lower_contains(cells[0], name_ascii, "model", nullptr) && names_price_column(cells)) {
            units_.prompt = cell::header_unit(d_, cells[1]);
            units_.completion = cell::header_unit(d_, cells[2]);
            r.kind = LineKind::Header;
            r.outcome = LineOutcome::UnitsSet;
            if (observer_) report_header(s, r);
            return;
        }
        r.kind = LineKind::TableRow;
        r.prompt = cell::num_with_header(d_, cells[1], len_, Column::Prompt, units_);
        r.completion = cell::num_with_header(d_, cells[2], len_, Column::Completion, units_);
        store(cells[0], name_ascii, r);
        if (observer_) report_row(s, r);
    }

    // Every cell of a table line, split as split_cells() splits the first
    // three: "|" stripped from both ends, split at every "|", each stripped.
    void all_cells(Span s, std::vector<CellReport>& out) const {
        s = inside_pipes(s);
        Py_ssize_t start = s.lo;
        for (Py_ssize_t p = s.lo; p <= s.hi; ++p) {
            if (p < s.hi && d_[p] != '|') continue;
            out.push_back(CellReport{chars::strip(d_, {start, p})});
            start = p + 1;
        }
    }

    // A header row's cells with the unit each states; later rows take the
    // units of the columns after the third from here.
    void report_header(Span s, LineReport& r) {
        all_cells(s, r.cells);
        column_units_.clear();
        for (CellReport& c : r.cells) {
            c.unit = cell::header_unit(d_, c.text);
            column_units_.push_back(c.unit);
        }
    }

    // A table row's cells, each after the first converted under its column's
    // unit, as the parser converts the second and third.
    void report_row(Span s, LineReport& r) const {
        all_cells(s, r.cells);
        for (size_t i = 1; i < r.cells.size(); ++i) {
            CellReport& c = r.cells[i];
            c.unit = i == 1   ? units_.prompt
                     : i == 2 ? units_.completion
                     : i < column_units_.size() ? column_units_[i]
                                                : Unit::None;
            cell::Digits digits;
            Span number;
            if (!cell::first_number(d_, c.text, len_, number, digits)) continue;
            c.number = number;
            c.marker = cell::marked_unit(d_, c.text, len_, number);
            c.value = cell::per_1m(d_, number, digits, c.marker, c.unit);
        }
    }

    void free_text(Span s, LineReport& r) {
        r.kind = LineKind::FreeText;
        r.outcome = LineOutcome::NoMatch;
        const auto line = freetext::match_model_line(d_, s);
        if (!line) return;
        r.prompt = price_after(line->rest, "prompt", r.prompt_found);
        r.completion = price_after(line->rest, "completion", r.completion_found);
        if (observer_) r.rest = line->rest;
        store(line->name, chars::is_ascii(d_, line->name), r);
    }

    // The price after `label`, and where it was found (for observers).
    optional<double> price_after(Span rest, const char* label,
                                 optional<freetext::Price>& found) const {
        // Group 1 starts with its own first number: no need to search it.
        auto price = freetext::find_price(d_, rest, len_, label);
        if (!price) return std::nullopt;
        price->marker = cell::marked_unit(d_, price->group, len_, price->number);
        if (observer_) found = price;
        return cell::per_1m(d_, price->number, price->digits, price->marker, Unit::None);
    }

    // A full match of ":?-{3,}:?".
    bool is_rule(Span c) const {
        Py_ssize_t p = c.lo;
        if (p < c.hi && d_[p] == ':') ++p;
        const Py_ssize_t dashes = p;
        while (p < c.hi && d_[p] == '-') ++p;
        if (p - dashes < 3) return false;
        if (p < c.hi && d_[p] == ':') ++p;
        return p == c.hi;
    }

    // A header row names the model in its first cell (tested by the caller)
    // and a price column in its second or third, all compared lower-cased.
    bool names_price_column(const Span (&cells)[3]) const {
        return lower_contains(cells[1], chars::is_ascii(d_, cells[1]), "prompt", "completion") ||
               lower_contains(cells[2], chars::is_ascii(d_, cells[2]), "prompt", "completion");
    }

    // Does the lower-cased `s` contain `a` (or `b`, when given)?
    bool lower_contains(Span s, bool ascii, const char* a, const char* b) const {
        if (ascii)
            return chars::ascii_lower_contains(d_, s, a) ||
                   (b && chars::ascii_lower_contains(d_, s, b));
        // Lower-casing beyond ASCII may change lengths ("İ" becomes two code
        // points) and depends on context (final sigma): the str does it.
        const Ref lowered = lower_non_ascii(s);
        const uni::Text t(lowered.get());
        return contains(t, a) || (b && contains(t, b));
    }

    static bool contains(const uni::Text& t, const char* needle) {
        for (Py_ssize_t i = 0; i < t.len; ++i) {
            Py_ssize_t k = 0;
            while (needle[k] && i + k < t.len && t[i + k] == static_cast<Py_UCS4>(needle[k])) ++k;
            if (!needle[k]) return true;
        }
        return false;
    }

    Ref lower_non_ascii(Span s) const {
        const Ref piece = Ref::steal(PyUnicode_Substring(text_, s.lo, s.hi));
        return Ref::steal(PyObject_CallMethodNoArgs(piece.get(), names::lower));
    }

    // str.lower() of a piece of the document, as a new str.
    Ref lowered(Span s, bool ascii) const {
        if (!ascii) return lower_non_ascii(s);
        Ref out = Ref::steal(PyUnicode_New(s.size(), 127));
        chars::lower_ascii(d_, s, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())));
        return out;
    }

    // Stores the rates found (r.prompt, r.completion) under the lower-cased
    // name unless both are none.  A name stored again keeps its first
    // position and takes the new rates.
    void store(Span name, bool name_ascii, LineReport& r) {
        if (!r.prompt && !r.completion) {
            r.outcome = LineOutcome::NoPrice;
            if (observer_) r.name = lowered(name, name_ascii);
            return;
        }
        Ref key = lowered(name, name_ascii);
        r.replaced = put(key, r.prompt, r.completion);
        r.outcome = LineOutcome::Stored;
        if (observer_) r.name = std::move(key);
    }

    // Sets the entry for `key` to these rates; true when it was present.
    // Its rates are updated in place, which leaves the same table as
    // replacing the entry would, the name in its first position.
    bool put(const Ref& key, const optional<double>& prompt, const optional<double>& completion) {
        PyObject* entry = PyDict_GetItemWithError(table_.get(), key.get());
        Ref fresh;
        if (!entry) {
            if (PyErr_Occurred()) throw PyError{};
            fresh = Ref::steal(PyDict_New());
            entry = fresh.get();
        }
        check(PyDict_SetItem(entry, names::prompt_per_1M, prices_.get(prompt).get()));
        check(PyDict_SetItem(entry, names::completion_per_1M, prices_.get(completion).get()));
        if (!fresh) return true;
        check(PyDict_SetItem(table_.get(), key.get(), fresh.get()));
        return false;
    }

    PyObject* text_;
    const Ch* d_;
    Py_ssize_t len_;
    LineObserver* observer_;
    Ref table_;
    Prices prices_;
    HeaderUnits units_;  // persist across the whole document
    std::vector<Unit> column_units_;  // every column's, kept for observers only
};

}  // namespace

Ref parse_document(Borrowed text, LineObserver* observer) {
    PyObject* s = text.get();
    check(PyUnicode_READY(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return DocumentParser<Py_UCS1>(s, observer).run();
        case PyUnicode_2BYTE_KIND:
            return DocumentParser<Py_UCS2>(s, observer).run();
        default:
            return DocumentParser<Py_UCS4>(s, observer).run();
    }
}

}  // namespace quelm::pricing
