// The module's own function type: a callable carrying the attributes of a
// Python function (__name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__, __dict__), called through vectorcall with
// exact argument binding and exact-type checks on declared parameters.
#pragma once

#include <cstddef>

#include "shared.hpp"

namespace quelm {

enum class ArgKind : unsigned char {
    Any,     // undeclared or "Any": everything accepted
    Str,     // exactly str
    OptInt,  // None or exactly int
};

struct Param {
    const char* name;
    ArgKind kind;
    const char* annotation;  // annotation text, or nullptr when undeclared
};

struct FunctionSpec {
    const char* name;
    const Param* params;
    Py_ssize_t nparams;
    Py_ssize_t ndefaults;  // trailing parameters that default to None
    const char* return_annotation;  // nullptr when undeclared
    const char* doc;                // nullptr when none
    Body body;
};

// Creates a function object bound to `module` (whose namespace its body uses).
Ref make_function(const FunctionSpec& spec, Borrowed module);

// Calls the module-level function `name`, looked up in the module's namespace
// at each call as module code does.  When the name still denotes the native
// function whose body is `body`, that body runs directly (the caller vouches
// for the argument types); anything else bound to the name is called as is.
Ref call_global(Borrowed module, PyObject* name, Body body, PyObject* const* args,
                Py_ssize_t nargs);

// True when `obj` is a native function of this module whose body is `body`.
bool is_native(PyObject* obj, Body body);

// Raises the incorrect-type TypeError unless `value` fits `kind`.
void check_arg_type(const char* param, ArgKind kind, PyObject* value);

// Registers the type; called once from the module's execute step.
void ready_function_type();

}  // namespace quelm
