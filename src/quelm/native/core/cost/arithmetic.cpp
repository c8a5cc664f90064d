// Cost arithmetic: exact floats and ints are computed directly, bit for bit
// as the host computes them; any other operand goes through the host's
// number protocol, so its results and errors are the host's own.
#include "cost.hpp"

namespace quelm::cost {

Ref cost_of(Borrowed rate, Borrowed tokens) {
    constexpr double kMillion = 1000000.0;
    PyObject* r = rate.get();
    PyObject* t = tokens.get();
    if (PyFloat_CheckExact(r) && (PyLong_CheckExact(t) || PyFloat_CheckExact(t))) {
        // int / float converts the int to the nearest double first, raising
        // OverflowError for one out of range, as PyLong_AsDouble does.
        const double count = PyFloat_CheckExact(t) ? PyFloat_AS_DOUBLE(t) : PyLong_AsDouble(t);
        if (count == -1.0 && PyErr_Occurred()) throw PyError{};
        return Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(r) * (count / kMillion)));
    }
    Ref million = Ref::steal(PyFloat_FromDouble(kMillion));
    Ref per_token = Ref::steal(PyNumber_TrueDivide(t, million.get()));
    return Ref::steal(PyNumber_Multiply(r, per_token.get()));
}

Ref add_costs(Borrowed a, Borrowed b) {
    if (PyFloat_CheckExact(a.get()) && PyFloat_CheckExact(b.get()))
        return Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.get()) + PyFloat_AS_DOUBLE(b.get())));
    return Ref::steal(PyNumber_Add(a.get(), b.get()));
}

}  // namespace quelm::cost
