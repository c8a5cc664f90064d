// The pricing document parser: the whole document text -> PricingTable.
//
// An optional observer sees, line by line, what the parser made of the
// document (for tools that explain a parse).  Without one, the parser only
// tests a null pointer per line.
#pragma once

#include <optional>
#include <vector>

#include "../shared.hpp"
#include "cell.hpp"
#include "chars.hpp"
#include "freetext.hpp"

namespace quelm::pricing {

enum class LineKind : unsigned char {
    Blank,      // empty once stripped
    Comment,    // begins with "#" once stripped (Markdown headings among them)
    Separator,  // a table rule row such as |---|:---:|---|
    Header,     // a table header row naming the model and price columns
    TableRow,   // any other table row with at least three cells
    FreeText,   // every other line, "|" lines with fewer than three cells included
};

enum class LineOutcome : unsigned char {
    Skipped,     // blank, comment or separator: nothing to do
    UnitsSet,    // header row: the unit tags below were set
    Stored,      // an entry was stored under `name`
    NoPrice,     // a model line whose prompt and completion prices are both none
    NoMatch,     // free text that does not begin with "<name>:" or "<name> -"
};

// One cell of a header or table row, for observers: where its text lies,
// the unit tag in force for its column, and what the cell converter reads
// from it under that unit.  Header cells report the unit they state and no
// value; a row's first cell (the model name) is never converted.
struct CellReport {
    chars::Span text;          // the cell, stripped, in the document
    Unit unit = Unit::None;    // header: the tag it states; row: its column's tag
    Unit marker = Unit::None;  // rows: the unit the cell's own marker states
    std::optional<double> value;  // rows: the converted price, if a number
    chars::Span number;        // rows: the number read (empty when none)
};

struct LineReport {
    Py_ssize_t number = 0;     // 1-based line number (str.splitlines() lines)
    chars::Span line;          // the line's code points in the document, unstripped
    LineKind kind = LineKind::Blank;
    LineOutcome outcome = LineOutcome::Skipped;
    bool few_cells = false;    // a "|" line sent to the free-text rule
    bool replaced = false;     // Stored over an earlier entry of the same name
    Ref name;                  // the model name, for Stored and NoPrice lines
    std::optional<double> prompt, completion;  // the prices found
    HeaderUnits units;         // the unit tags in force after this line
    // Header and table rows: every cell, in order, the first three being the
    // ones the parser reads.  A later column takes the unit its header cell
    // stated in the last header row (none beyond that row's cells).  A "|"
    // line of fewer than three cells has its cells, no more.
    std::vector<CellReport> cells;
    // Free text read as a model line: where the text after the name begins,
    // and for each label the price was found after, the label, the text the
    // price was read from and its number.
    chars::Span rest;
    std::optional<freetext::Price> prompt_found, completion_found;
};

class LineObserver {
public:
    virtual ~LineObserver() = default;
    // Called once per line, in order, after the line was handled.  May raise
    // by throwing PyError with a Python exception set; the parse stops.
    virtual void on_line(const LineReport& report) = 0;
};

// Parses `text` (an exact str, byte-order mark already removed) into a
// PricingTable, reporting each line to `observer` when there is one.
Ref parse_document(Borrowed text, LineObserver* observer = nullptr);

}  // namespace quelm::pricing
