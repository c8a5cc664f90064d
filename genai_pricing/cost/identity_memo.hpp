// A tiny memo keyed by object identity, for values derived from immutable
// objects (exact strs): the same key objects always give an equal value, so
// the stored one can be handed out again.  Slots own strong references to
// their keys, so an identity cannot be recycled while it is remembered.
#pragma once

#include <utility>

#include "../refs.hpp"

namespace quelm::cost {

template <int Slots, int Keys>
class IdentityMemo {
public:
    // The value stored for exactly these key objects, or nullptr.
    PyObject* find(PyObject* const (&keys)[Keys]) const {
        for (const Slot& s : slots_) {
            bool same = true;
            for (int k = 0; k < Keys && same; ++k) same = s.keys[k].get() == keys[k];
            if (same && s.value) return s.value.get();
        }
        return nullptr;
    }

    void store(PyObject* const (&keys)[Keys], Ref value) {
        Slot fresh;
        for (int k = 0; k < Keys; ++k) fresh.keys[k] = Ref::borrow(keys[k]);
        fresh.value = std::move(value);
        // The old slot's references are dropped after the memo is whole
        // again: dropping them may run code that comes back here.
        std::swap(slots_[next_], fresh);
        next_ = (next_ + 1) % Slots;
    }

private:
    struct Slot {
        Ref keys[Keys];
        Ref value;
    };
    Slot slots_[Slots];
    int next_ = 0;
};

}  // namespace quelm::cost
