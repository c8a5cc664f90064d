// One interpreter per process for each extension module: a module's
// process-wide state (interned names, objects made once) belongs to the
// interpreter that loaded it first, so any other is refused.
#pragma once

#include <cstdint>

#include "refs.hpp"

namespace quelm {

// Records the interpreter that loads `module` first; for any other, sets
// ImportError and throws PyError.  Each extension module links a copy of its
// own, so each keeps its own first interpreter.
inline void claim_interpreter(const char* module) {
    static int64_t owner = -1;
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw PyError{};
    if (owner == -1) owner = id;
    if (owner != id) {
        PyErr_Format(PyExc_ImportError, "%s can only be loaded into one interpreter per process",
                     module);
        throw PyError{};
    }
}

}  // namespace quelm
