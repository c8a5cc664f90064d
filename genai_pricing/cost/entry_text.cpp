// The text form of a pricing entry for the debug line, remembered per entry.
//
// str() of a rates dict costs two float reprs, more than the rest of an
// estimate together.  The result depends only on the dict's items, so for a
// dict whose keys are exact strs and whose values are exact floats or None
// (immutable objects whose repr runs no Python code) it is kept together
// with the dict and the very key and value objects it was made from, in
// order.  A later call reuses it only when the same dict still holds exactly
// those objects in that order, so any change to the dict is seen at once.
// The slots own strong references: no identity can be recycled while a
// slot refers to it.
#include <utility>

#include "cost.hpp"

namespace quelm::cost {
namespace {

constexpr int kSlots = 16;
constexpr Py_ssize_t kMaxItems = 4;  // rates dicts hold two

struct Slot {
    Ref entry;
    Py_ssize_t size = 0;
    Ref items[2 * kMaxItems];  // key, value, key, value, ...
    Ref text;
};

struct Memo {
    Slot slots[kSlots];
    int next = 0;  // round-robin victim
};

// Never destroyed: the interpreter may be gone when static destructors run.
Memo& memo = *new Memo();

bool same_items(const Slot& slot, PyObject* entry) {
    if (PyDict_GET_SIZE(entry) != slot.size) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(entry, &pos, &key, &value)) {
        if (i >= 2 * slot.size || slot.items[i].get() != key || slot.items[i + 1].get() != value)
            return false;
        i += 2;
    }
    return i == 2 * slot.size;
}

// Fills `slot` from `entry` when its text can be remembered; false otherwise.
bool capture(Slot& slot, PyObject* entry) {
    if (!PyDict_CheckExact(entry) || PyDict_GET_SIZE(entry) > kMaxItems) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(entry, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !(value == Py_None || PyFloat_CheckExact(value)))
            return false;
        slot.items[i++] = Ref::borrow(key);
        slot.items[i++] = Ref::borrow(value);
    }
    slot.entry = Ref::borrow(entry);
    slot.size = PyDict_GET_SIZE(entry);
    // Nothing here runs Python code, so the dict cannot change under it.
    slot.text = Ref::steal(PyObject_Str(entry));
    return true;
}

}  // namespace

Ref entry_text(Borrowed entry) {
    PyObject* e = entry.get();
    if (!PyDict_CheckExact(e)) return Ref::steal(PyObject_Str(e));

    int index = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (memo.slots[i].entry.get() != e) continue;
        if (same_items(memo.slots[i], e)) return memo.slots[i].text;
        index = i;
        break;
    }
    Slot fresh;
    const bool kept = capture(fresh, e);
    if (!kept) fresh = Slot();  // an empty slot: nothing is remembered
    Ref text = kept ? fresh.text : Ref::steal(PyObject_Str(e));
    if (index < 0 && kept) {
        index = memo.next;
        memo.next = (memo.next + 1) % kSlots;
    }
    // Swap the slot in whole; the references it held are dropped only when
    // `fresh` goes out of scope, after the memo is consistent again (dropping
    // them may run arbitrary code that re-enters here).
    if (index >= 0) std::swap(memo.slots[index], fresh);
    return text;
}

}  // namespace quelm::cost
