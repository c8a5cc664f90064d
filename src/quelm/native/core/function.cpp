// The native function type and its argument binding.
#include "function.hpp"

#include <array>
#include <new>
#include <structmember.h>

namespace quelm {
namespace {

constexpr Py_ssize_t kMaxParams = 8;

// Fields are `Ref`s constructed in place by make_function() and destroyed by
// function_dealloc(); each holds exactly one PyObject*, so the member table
// below can address them directly.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Ref module;       // whose namespace the body reads
    Ref name;
    Ref qualname;
    Ref module_name;  // __module__
    Ref doc;
    Ref annotations;
    Ref defaults;     // tuple, or None
    Ref dict;
    PyObject* weakrefs;
    Ref param_names[kMaxParams];  // interned
};
static_assert(sizeof(Ref) == sizeof(PyObject*));

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

[[noreturn]] void raise_arity(const FunctionSpec& s, Py_ssize_t given) {
    const Py_ssize_t min = s.nparams - s.ndefaults;
    const Py_ssize_t max = s.nparams;
    Py_ssize_t expected = given < min ? min : max;
    const char* more_or_less = given < min ? "at least" : "at most";
    if (min == max) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
    throw PyError{};
}

// Index of the parameter called `kw`, or -1.  Keyword names are nearly always
// the interned parameter names themselves, so identity is tried first.
Py_ssize_t find_param(const FunctionObject* f, PyObject* kw) {
    const Py_ssize_t n = f->spec->nparams;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (f->param_names[i].get() == kw) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(f->param_names[i].get(), kw) == 0) return i;
    if (PyErr_Occurred()) throw PyError{};
    return -1;
}

Ref call_body(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionSpec& s = *f->spec;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (s.nparams == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", s.name, "takes no keyword arguments");
            throw PyError{};
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", s.name, "takes no arguments",
                         nargs);
            throw PyError{};
        }
        return s.body(f->module, nullptr);
    }

    const Py_ssize_t required = s.nparams - s.ndefaults;
    if (nargs > s.nparams) raise_arity(s, nargs);

    std::array<PyObject*, kMaxParams> bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    if (nkw == 0) {
        if (nargs < required) raise_arity(s, nargs);
    } else {
        // Each keyword is mapped to its parameter once.  The first, in call
        // order, that names a parameter already given by position, or none
        // at all, is reported after the arity check, as the host does.
        PyObject* const* kwvalues = args + nargs;
        PyObject* stray = nullptr;
        Py_ssize_t stray_param = -1;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_param(f, kw);
            if (i >= nargs) {
                bound[i] = kwvalues[k];
            } else if (!stray) {
                stray = kw;
                stray_param = i;
            }
        }
        // Parameters after the positional ones come from the keywords; a
        // required one that is missing is an arity error.
        for (Py_ssize_t i = nargs; i < required; ++i)
            if (!bound[i]) raise_arity(s, i);
        if (stray) {
            PyErr_Format(PyExc_TypeError,
                         stray_param >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                          : "%s() got an unexpected keyword argument '%U'",
                         s.name, stray);
            throw PyError{};
        }
    }
    for (Py_ssize_t i = nargs; i < s.nparams; ++i)
        if (!bound[i]) bound[i] = Py_None;
    for (Py_ssize_t i = 0; i < s.nparams; ++i)
        check_arg_type(s.params[i].name, s.params[i].kind, bound[i]);
    return s.body(f->module, bound.data());
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return boundary([&] {
        return call_body(as_function(self), args, PyVectorcall_NARGS(nargsf),
                         kwnames);
    });
}

// Visits every object the function holds (`__module__` and `__doc__` may be
// set to anything, so either can close a cycle).
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    for (const Ref* r : {&f->module, &f->name, &f->qualname, &f->module_name, &f->doc,
                         &f->annotations, &f->defaults, &f->dict})
        Py_VISIT(r->get());
    for (const Ref& r : f->param_names) Py_VISIT(r.get());
    return 0;
}

// Drops what may take part in a cycle; the names stay, as repr() needs them.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    f->module = Ref();
    f->module_name = Ref();
    f->doc = Ref();
    f->annotations = Ref();
    f->defaults = Ref();
    f->dict = Ref();
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    f->~FunctionObject();
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    auto* f = as_function(self);
    return PyUnicode_FromFormat("<built-in function %U>", f->qualname.get());
}

// A function stored on a class is not bound to instances, as with built-in
// functions; having __get__ lets inspect and pydoc treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return Ref::borrow(self).release();
}

int set_text(Ref& slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    slot = Ref::borrow(value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return Ref(as_function(self)->name).release();
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Ref(as_function(self)->qualname).release();
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_annotations(PyObject* self, void*) {
    return Ref(as_function(self)->annotations).release();
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = Ref::borrow(value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    return Ref(as_function(self)->defaults).release();
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature() support: built from the live annotations and defaults.
PyObject* get_signature(PyObject* self, void*) {
    return boundary([&] {
        auto* f = as_function(self);
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref empty = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        const FunctionSpec& s = *f->spec;
        Ref params = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < s.nparams; ++i) {
            Ref kwargs = Ref::steal(PyDict_New());
            Ref annotation = Ref::borrow(PyDict_GetItemWithError(f->annotations.get(), f->param_names[i].get()));
            if (!annotation && PyErr_Occurred()) throw PyError{};
            check(PyDict_SetItemString(kwargs.get(), "annotation",
                                       annotation ? annotation.get() : empty.get()));
            Py_ssize_t first_default = s.nparams - s.ndefaults;
            if (i >= first_default && PyTuple_Check(f->defaults.get()))
                check(PyDict_SetItemString(kwargs.get(), "default",
                                           PyTuple_GET_ITEM(f->defaults.get(), i - first_default)));
            Ref pargs = Ref::steal(PyTuple_Pack(2, f->param_names[i].get(), kind.get()));
            Ref p = Ref::steal(PyObject_Call(parameter.get(), pargs.get(), kwargs.get()));
            check(PyList_Append(params.get(), p.get()));
        }
        Ref ret = Ref::borrow(PyDict_GetItemString(f->annotations.get(), "return"));
        Ref kwargs = Ref::steal(PyDict_New());
        check(PyDict_SetItemString(kwargs.get(), "return_annotation",
                                   ret ? ret.get() : empty.get()));
        Ref sargs = Ref::steal(PyTuple_Pack(1, params.get()));
        return Ref::steal(PyObject_Call(signature.get(), sargs.get(), kwargs.get()));
    });
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Ref(as_function(self)->qualname).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quelm.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

}  // namespace

bool is_native(PyObject* obj, Body body) {
    return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->spec->body == body;
}

Ref call_global(Borrowed module, PyObject* name, Body body, PyObject* const* args,
                Py_ssize_t nargs) {
    Ref f = global(module, name);
    if (is_native(f.get(), body) && as_function(f.get())->spec->nparams == nargs)
        return body(as_function(f.get())->module, args);
    return Ref::steal(PyObject_Vectorcall(f.get(), args, nargs, nullptr));
}

void check_arg_type(const char* param, ArgKind kind, PyObject* value) {
    PyTypeObject* expected = &PyUnicode_Type;
    switch (kind) {
        case ArgKind::Any:
            return;
        case ArgKind::Str:
            if (PyUnicode_CheckExact(value)) return;
            expected = &PyUnicode_Type;
            break;
        case ArgKind::OptInt:
            if (value == Py_None || PyLong_CheckExact(value)) return;
            expected = &PyLong_Type;
            break;
    }
    const bool subclass = PyObject_TypeCheck(value, expected);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", param,
                 expected->tp_name, Py_TYPE(value)->tp_name,
                 subclass ? ". Subclasses of built-in types are refused: pass a value of the "
                            "exact type"
                          : "");
    throw PyError{};
}

void ready_function_type() {
    check(PyType_Ready(&FunctionType));
}

Ref make_function(const FunctionSpec& spec, Borrowed module) {
    if (spec.nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        throw PyError{};
    }
    Ref annotations = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < spec.nparams; ++i)
        if (spec.params[i].annotation)
            check(PyDict_SetItemString(annotations.get(), spec.params[i].name,
                                       str(spec.params[i].annotation).get()));
    if (spec.return_annotation)
        check(PyDict_SetItemString(annotations.get(), "return", str(spec.return_annotation).get()));
    Ref defaults = Ref::none();
    if (spec.ndefaults) {
        defaults = Ref::steal(PyTuple_New(spec.ndefaults));
        for (Py_ssize_t i = 0; i < spec.ndefaults; ++i)
            PyTuple_SET_ITEM(defaults.get(), i, Ref::none().release());
    }
    Ref name = interned(spec.name);
    Ref module_name = str(kModuleName);
    Ref doc = spec.doc ? str(spec.doc) : Ref::none();

    std::array<Ref, kMaxParams> param_names;
    for (Py_ssize_t i = 0; i < spec.nparams; ++i) param_names[i] = interned(spec.params[i].name);

    // Nothing below can fail once the object exists, so its fields are
    // always fully constructed when it is deallocated.
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &FunctionType)));
    // GC_New wrote only the object header; construct the fields in place.
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    new (&f->module) Ref(module.ref());
    new (&f->name) Ref(name);
    new (&f->qualname) Ref(std::move(name));
    new (&f->module_name) Ref(std::move(module_name));
    new (&f->doc) Ref(std::move(doc));
    new (&f->annotations) Ref(std::move(annotations));
    new (&f->defaults) Ref(std::move(defaults));
    new (&f->dict) Ref();
    f->weakrefs = nullptr;
    for (Py_ssize_t i = 0; i < kMaxParams; ++i)
        new (&f->param_names[i]) Ref(std::move(param_names[i]));
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace quelm
