// The Markdown pricing document parser.
#include "../shared.hpp"

namespace quelm::pricing {

Ref parse_document(Borrowed) {
    PyErr_SetString(PyExc_NotImplementedError, "the pricing document parser is not built yet");
    throw PyError{};
}

}  // namespace quelm::pricing
