// The text form of a pricing entry for the debug line, remembered for the
// few entry dicts seen last.
//
// str() of a rates dict costs two float reprs, more than the rest of an
// estimate together.  For a dict whose keys are exact strs and whose values
// are exact floats or None (immutable objects whose repr runs no Python
// code) the text depends only on which key and value objects the dict
// holds, in which order.  It is kept together with the dict and those very
// objects, and reused only while the same dict still holds exactly those
// objects in that order, so any change to the dict is seen at once.  The
// slots own strong references: no identity can be recycled while a slot
// refers to it.
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
    int last = 0;  // the slot answered last, tried first
    int next = 0;  // round-robin victim
};

// Never destroyed: the interpreter may be gone when static destructors run.
Memo& memo = *new Memo();

bool same_items(const Slot& slot, PyObject* entry) {
    if (slot.entry.get() != entry || PyDict_GET_SIZE(entry) != slot.size) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(entry, &pos, &key, &value)) {
        if (i >= 2 * slot.size || slot.items[i].get() != key || slot.items[i + 1].get() != value)
            return false;
        i += 2;
    }
    return i == 2 * slot.size;
}

// The slot that holds `entry` with its current items, or -1; `stale` is set
// to the slot that holds `entry` with other items.
int find_slot(PyObject* entry, int& stale) {
    stale = -1;
    if (same_items(memo.slots[memo.last], entry)) return memo.last;
    for (int i = 0; i < kSlots; ++i) {
        if (memo.slots[i].entry.get() != entry) continue;
        if (same_items(memo.slots[i], entry)) return memo.last = i;
        stale = i;
        return -1;
    }
    return -1;
}

// Fills `slot` from `entry` when it can be remembered; false otherwise.
bool capture(Slot& slot, PyObject* entry) {
    if (PyDict_GET_SIZE(entry) > kMaxItems) return false;
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
    if (e == Py_None) {
        static PyObject* const none_text = interned("None").release();
        return Ref::borrow(none_text);
    }
    if (!PyDict_CheckExact(e)) return Ref::steal(PyObject_Str(e));

    int stale;
    const int found = find_slot(e, stale);
    if (found >= 0) return memo.slots[found].text;

    Slot fresh;
    if (!capture(fresh, e)) {
        Ref text = Ref::steal(PyObject_Str(e));
        // Forget what no longer holds; the dropped references go with
        // `fresh`, once the memo is whole again (dropping them may run code
        // that comes back here).
        fresh = Slot();
        if (stale >= 0) std::swap(memo.slots[stale], fresh);
        return text;
    }
    Ref text = fresh.text;
    int index = stale;
    if (index < 0) {
        index = memo.next;
        memo.next = (memo.next + 1) % kSlots;
    }
    std::swap(memo.slots[index], fresh);
    memo.last = index;
    return text;
}

}  // namespace quelm::cost
