// The entry table's out-of-line parts (see entries.hpp).
#include "entries.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace quelm::pricing::entries {

double packed(const std::optional<double>& price) {
    return price ? *price : std::numeric_limits<double>::quiet_NaN();
}

// Price lists repeat the same few prices: a small direct-mapped cache by
// bit pattern lets equal prices share one float object (floats are
// immutable).
Ref Prices::get(double price) {
    if (std::isnan(price)) return Ref::none();
    std::uint64_t bits;
    std::memcpy(&bits, &price, sizeof bits);
    Slot& slot = slots_[(bits * 0x9e3779b97f4a7c15ull) >> 56];
    if (!slot.object || slot.bits != bits) {
        slot.object = Ref::steal(PyFloat_FromDouble(price));
        slot.bits = bits;
    }
    return slot.object;
}

void add_entry(PyObject* rates, PyObject* name, double prompt, double completion, Prices& prices) {
    Ref entry = Ref::steal(PyDict_New());
    check(PyDict_SetItem(entry.get(), names::prompt_per_1M, prices.get(prompt).get()));
    check(PyDict_SetItem(entry.get(), names::completion_per_1M, prices.get(completion).get()));
    check(PyDict_SetItem(rates, name, entry.get()));
}

}  // namespace quelm::pricing::entries
