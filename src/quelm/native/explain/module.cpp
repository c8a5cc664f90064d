// quelm._explain: what the pricing parser makes of a document, line by line,
// and which table entry a model lookup chose.
//
// Both are the very code that `_parse_pricing` and `estimate_costs` run (the
// core is linked into this module too), reached through the parser's line
// observer and the lookup's match report; nothing here parses a document or
// compares names on its own, so an explanation cannot disagree with what the
// module stores or picks.
#include "../core/cost/cost.hpp"
#include "../core/interpreter.hpp"
#include "../core/pricing/parser.hpp"
#include "../core/pricing/source.hpp"

namespace quelm::explain {

PyObject* first_contained(PyObject*, PyObject* const* args, Py_ssize_t nargs);  // shadows.cpp

namespace {

using pricing::LineKind;
using pricing::LineOutcome;
using pricing::Unit;

const char* kind_text(LineKind kind) {
    switch (kind) {
        case LineKind::Blank: return "blank";
        case LineKind::Comment: return "comment";
        case LineKind::Separator: return "separator";
        case LineKind::Header: return "header";
        case LineKind::TableRow: return "table row";
        case LineKind::FreeText: break;
    }
    return "free text";
}

const char* outcome_text(LineOutcome outcome) {
    switch (outcome) {
        case LineOutcome::Skipped: return "skipped";
        case LineOutcome::UnitsSet: return "units set";
        case LineOutcome::Stored: return "stored";
        case LineOutcome::NoPrice: return "no price";
        case LineOutcome::NoMatch: break;
    }
    return "no match";
}

// A header's unit tag as the parser's rules name it: "1k", "1m" or None.
Ref unit_tag(Unit unit) {
    if (unit == Unit::PerThousand) return str("1k");
    if (unit == Unit::PerMillion) return str("1m");
    return Ref::none();
}

Ref price(const std::optional<double>& value) {
    return value ? Ref::steal(PyFloat_FromDouble(*value)) : Ref::none();
}

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

void put(Borrowed dict, const char* key, const Ref& value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
}

// One dict per line of the document, in order, as the parser reports it.
class Recorder final : public pricing::LineObserver {
public:
    explicit Recorder(Borrowed text) : text_(text), lines_(Ref::steal(PyList_New(0))) {}

    void on_line(const pricing::LineReport& r) override {
        Ref units = Ref::steal(PyDict_New());
        put(units, "prompt", unit_tag(r.units.prompt));
        put(units, "completion", unit_tag(r.units.completion));
        Ref record = Ref::steal(PyDict_New());
        put(record, "line", Ref::steal(PyLong_FromSsize_t(r.number)));
        put(record, "text", Ref::steal(PyUnicode_Substring(text_.get(), r.line.lo, r.line.hi)));
        put(record, "kind", str(kind_text(r.kind)));
        put(record, "outcome", str(outcome_text(r.outcome)));
        put(record, "name", r.name ? r.name : Ref::none());
        put(record, "prompt_per_1M", price(r.prompt));
        put(record, "completion_per_1M", price(r.completion));
        put(record, "replaced", boolean(r.replaced));
        put(record, "few_cells", boolean(r.few_cells));
        put(record, "units", units);
        put(record, "cells", cells(r));
        const bool model_line = r.kind == LineKind::FreeText && r.outcome != LineOutcome::NoMatch;
        put(record, "rest", model_line ? span(r.rest, r.line.lo) : Ref::none());
        Ref prices = Ref::steal(PyDict_New());
        put(prices, "prompt", found(r.prompt_found, r.line.lo));
        put(prices, "completion", found(r.completion_found, r.line.lo));
        put(record, "prices", prices);
        check(PyList_Append(lines_.get(), record.get()));
    }

    const Ref& lines() const { return lines_; }

private:
    // (start, end) of a span, counted from `origin`.
    static Ref span(pricing::chars::Span s, Py_ssize_t origin) {
        return Ref::steal(Py_BuildValue("(nn)", s.lo - origin, s.hi - origin));
    }

    // Where a free-text price was found: {"label", "text", "number"} spans
    // within the line, and the unit the text's own marker states; or None.
    static Ref found(const std::optional<pricing::freetext::Price>& price, Py_ssize_t origin) {
        if (!price) return Ref::none();
        Ref out = Ref::steal(PyDict_New());
        put(out, "label", span(price->label, origin));
        put(out, "text", span(price->group, origin));
        put(out, "number", span(price->number, origin));
        put(out, "marker", unit_tag(price->marker));
        return out;
    }

    // {"text", "unit", "marker", "value", "number"} per cell; "number" is
    // the span of the number read, as (start, end) within the cell's text,
    // or None; "marker" the unit the cell states itself.
    Ref cells(const pricing::LineReport& r) const {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(r.cells.size())));
        Py_ssize_t i = 0;
        for (const pricing::CellReport& c : r.cells) {
            Ref cell = Ref::steal(PyDict_New());
            put(cell, "text", Ref::steal(PyUnicode_Substring(text_.get(), c.text.lo, c.text.hi)));
            put(cell, "unit", unit_tag(c.unit));
            put(cell, "marker", unit_tag(c.marker));
            put(cell, "value", price(c.value));
            put(cell, "number", c.number.empty()
                                    ? Ref::none()
                                    : Ref::steal(Py_BuildValue("(nn)", c.number.lo - c.text.lo,
                                                               c.number.hi - c.text.lo)));
            PyList_SET_ITEM(list.get(), i++, cell.release());
        }
        return list;
    }

    Borrowed text_;  // held by the caller for the whole parse
    Ref lines_;
};

void require_count(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function,
                 expected, nargs);
    throw PyError{};
}

[[noreturn]] void refuse(const char* function, int position, const char* expected,
                         PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d must be %s, not %.200s", function, position,
                 expected, Py_TYPE(value)->tp_name);
    throw PyError{};
}

// The text of the source `args[1]`, read as `_parse_pricing` reads it, with
// `args[0]` (quelm.genai_pricing) as the namespace of the read.  Unlike
// `_parse_pricing`, an unreadable source raises its error and logs nothing:
// the caller reports it, in place of the module's warning.
Ref read_source(const char* function, PyObject* const* args, Py_ssize_t nargs) {
    require_count(function, nargs, 2);
    if (!PyModule_Check(args[0])) refuse(function, 1, "a module", args[0]);
    if (!PyUnicode_CheckExact(args[1])) refuse(function, 2, "str", args[1]);
    Ref text = pricing::read_text(args[0], args[1]);
    pricing::require_text(text);
    return text;
}

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        Ref text = read_source("explain", args, nargs);
        Recorder recorder(text);
        Ref table = pricing::parse_document(text, &recorder);
        return Ref::steal(PyTuple_Pack(2, table.get(), recorder.lines().get()));
    });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        return pricing::parse_document(read_source("load", args, nargs), nullptr);
    });
}

PyObject* match_model(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        require_count("match_model", nargs, 2);
        const cost::ModelMatch match = cost::match_model(args[0], args[1]);
        if (!match.name) return Ref::none();
        return Ref::steal(PyTuple_Pack(3, match.name.get(), match.entry.get(),
                                       boolean(match.exact).get()));
    });
}

PyMethodDef methods[] = {
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explain)),
     METH_FASTCALL,
     "explain(module, path, /)\n--\n\n"
     "Reads the pricing source `path` as module._parse_pricing does (`module` is\n"
     "quelm.genai_pricing, whose namespace the read uses) and parses it with the\n"
     "module's parser.  Returns (table, lines): the table that parse builds, and\n"
     "one dict per line of the document saying what the parser made of it.\n"
     "A source that cannot be read raises its error (and logs nothing)."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)), METH_FASTCALL,
     "load(module, path, /)\n--\n\n"
     "The table module._parse_pricing(path) gives, read afresh (not cached);\n"
     "where _parse_pricing would log its warning and give an empty table, a\n"
     "source that cannot be read raises its error (and logs nothing)."},
    {"match_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match_model)),
     METH_FASTCALL,
     "match_model(table, key, /)\n--\n\n"
     "Looks the lower-cased model name `key` up in `table` as estimate_costs does.\n"
     "Returns (name, entry, exact): the table name chosen, its entry, and whether\n"
     "the name is `key` itself (else the substring rule chose it); None when no\n"
     "name matches."},
    {"first_contained",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(first_contained)), METH_FASTCALL,
     "first_contained(names, /)\n--\n\n"
     "For each str of the list `names`, the position of the first earlier name that\n"
     "it contains (`earlier in name`, as the lookup tests it), or None."},
    {nullptr, nullptr, 0, nullptr},
};

// The core's interned names are process-wide, like those of
// quelm.genai_pricing, which loads into one interpreter only: so does this.
int execute(PyObject*) {
    const Ref done = Ref::steal_maybe(boundary([] {
        claim_interpreter("quelm._explain");
        names::init();
        return Ref::none();
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_explain",
    "What the pricing parser makes of a document, and which entry a model lookup chose.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quelm::explain

PyMODINIT_FUNC PyInit__explain(void) { return PyModuleDef_Init(&quelm::explain::definition); }
