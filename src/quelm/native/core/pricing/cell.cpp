// Price cell conversion: the out-of-line part (see cell.hpp).
#include "cell.hpp"

namespace quelm::pricing::cell {

// Numbers too long for the exact fast path go through the host's own
// string-to-double conversion, which is what float() uses.
double ascii_to_double(const char* text) {
    const double v = PyOS_string_to_double(text, nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

}  // namespace quelm::pricing::cell
