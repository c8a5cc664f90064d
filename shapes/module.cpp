// quelm._shapes: the makers' response shapes, read natively (shapes.cpp).
//
//   read(response, /)  -> (model, counts, tier, region, created), or, for a
//                         response that cannot be billed, the reason (str)
//   CLASSES            -> the names of the token classes, in counts' order
//   REASONS            -> the reasons read() may give
#include "shapes.hpp"

#include <string>

namespace quelm::shapes {

const Names* N = nullptr;

namespace {

// Created once and never freed, like the interned names of the core: they
// live as long as the process (a static object's destructor would run after
// the interpreter has gone).
Names& names_table = *new Names;
GeminiNames& snake = *new GeminiNames;
GeminiNames& camel = *new GeminiNames;

const char* const kClassNames[kClasses] = {
    "prompt", "cached", "cache_write", "cache_write_long", "audio_prompt", "audio_cached",
    "completion", "reasoning", "audio_completion"};
const char* const kReasonTexts[] = {"error status", "no usage", "bad usage"};

// "prompt_token_count" -> "promptTokenCount"
std::string camel_of(const char* snake_name) {
    std::string out;
    bool upper = false;
    for (const char* c = snake_name; *c; ++c) {
        if (*c == '_') {
            upper = true;
            continue;
        }
        out.push_back(upper ? static_cast<char>(*c - 'a' + 'A') : *c);
        upper = false;
    }
    return out;
}

void init_names() {
    if (N) return;
#define QUELM_MAKE(name, text) names_table.name = interned(text);
    QUELM_SHAPE_NAMES(QUELM_MAKE)
#undef QUELM_MAKE
#define QUELM_MAKE(name)                \
    snake.name = interned(#name);       \
    camel.name = interned(camel_of(#name).c_str());
    QUELM_GEMINI_NAMES(QUELM_MAKE)
#undef QUELM_MAKE
    const Ref datetime_module = Ref::steal(PyImport_ImportModule("datetime"));
    names_table.datetime = getattr(datetime_module, Ref::steal(PyUnicode_FromString("datetime")));
    names_table.fromisoformat =
        getattr(names_table.datetime, Ref::steal(PyUnicode_FromString("fromisoformat")));
    names_table.utc = getattr(getattr(datetime_module, Ref::steal(PyUnicode_FromString("timezone"))),
                              Ref::steal(PyUnicode_FromString("utc")));
    names_table.pydantic_types = Ref::steal(PyDict_New());
    N = &names_table;
}

PyObject* read_response(PyObject*, PyObject* response) {
    return boundary([&]() -> Ref {
        try {
            return read(response);
        } catch (const Unbillable& why) {
            return str(kReasonTexts[static_cast<int>(why.reason)]);
        }
    });
}

// The dollars of a call: sum over the classes of rate * (tokens / 1e6), in
// class order, as estimate_costs works out and adds its two.
PyObject* dollars(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        if (nargs != 2 || !PyTuple_Check(args[0]) || !PyTuple_Check(args[1]) ||
            PyTuple_GET_SIZE(args[0]) != PyTuple_GET_SIZE(args[1])) {
            PyErr_SetString(PyExc_TypeError, "dollars() takes two tuples of the same length");
            throw PyError{};
        }
        double amount = 0.0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[0]); ++i) {
            PyObject* tokens = PyTuple_GET_ITEM(args[0], i);
            PyObject* rate = PyTuple_GET_ITEM(args[1], i);
            if (rate == Py_None) continue;
            const int nonzero = check(PyObject_IsTrue(tokens));
            if (!nonzero) continue;
            const double n = PyLong_AsDouble(tokens);
            if (n == -1.0 && PyErr_Occurred()) throw PyError{};
            const double r = PyFloat_AsDouble(rate);
            if (r == -1.0 && PyErr_Occurred()) throw PyError{};
            amount += r * (n / 1000000.0);
        }
        return Ref::steal(PyFloat_FromDouble(amount));
    });
}

PyMethodDef methods[] = {
    {"dollars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dollars)), METH_FASTCALL,
     "dollars(counts, rates, /)\n--\n\n"
     "The sum over the classes of rate * (tokens / 1e6), in order, as a float;\n"
     "a class whose rate is None adds nothing."},
    {"read", read_response, METH_O,
     "read(response, /)\n--\n\n"
     "The token counts of one response by class (CLASSES), as\n"
     "(model, counts, tier, region, created), or the reason it cannot be\n"
     "billed (one of REASONS).  `response` is a client library's object, a\n"
     "dict of its dump, a batch result line, or a plain record."},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
    const Ref done = Ref::steal_maybe(boundary([module] {
        init_names();
        Ref classes = Ref::steal(PyTuple_New(kClasses));
        for (int i = 0; i < kClasses; ++i)
            PyTuple_SET_ITEM(classes.get(), i, str(kClassNames[i]).release());
        check(PyModule_AddObjectRef(module, "CLASSES", classes.get()));
        Ref reasons = Ref::steal(PyTuple_New(3));
        for (int i = 0; i < 3; ++i) PyTuple_SET_ITEM(reasons.get(), i, str(kReasonTexts[i]).release());
        check(PyModule_AddObjectRef(module, "REASONS", reasons.get()));
        return Ref::none();
    }));
    return done ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_shapes", "The makers' response shapes, read natively.", 0, methods,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

const GeminiNames& snake_case() { return snake; }
const GeminiNames& camel_case() { return camel; }

// A pydantic model's `__pydantic_extra__` descriptor, remembered per type;
// null for types that are no pydantic models.
PyObject* pydantic_extra(PyTypeObject* type) {
    PyObject* cache = N->pydantic_types.get();
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    if (PyObject* known = PyDict_GetItemWithError(cache, type_object))
        return known == Py_False ? nullptr : known;
    if (PyErr_Occurred()) throw PyError{};
    Ref descriptor;
    if (check(PyObject_HasAttr(type_object, N->model_fields.get()))) {
        descriptor = Ref::steal_maybe(PyObject_GetAttr(type_object, N->pydantic_extra.get()));
        if (!descriptor) PyErr_Clear();
        if (descriptor && !Py_TYPE(descriptor.get())->tp_descr_get) descriptor = Ref();
    }
    check(PyDict_SetItem(cache, type_object, descriptor ? descriptor.get() : Py_False));
    return descriptor.get();  // the cache holds it
}

void Level::open(Borrowed obj) {
    PyObject* o = obj.get();
    if (!o || o == Py_None) return;
    if (PyDict_Check(o)) {
        dict_ = Ref::borrow(o);
        return;
    }
    if (PyObject* descriptor = pydantic_extra(Py_TYPE(o))) {
        // The fields live in the instance dict; the extra fields in the
        // `__pydantic_extra__` slot.
        Ref fields = Ref::steal_maybe(PyObject_GenericGetDict(o, nullptr));
        if (!fields) PyErr_Clear();
        if (PyDict_Check(fields.get())) {
            Ref extra = Ref::steal(Py_TYPE(descriptor)->tp_descr_get(
                descriptor, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
            dict_ = std::move(fields);
            if (PyDict_Check(extra.get()) && PyDict_GET_SIZE(extra.get())) extra_ = std::move(extra);
            return;
        }
    }
    obj_ = Ref::borrow(o);
}

}  // namespace quelm::shapes

PyMODINIT_FUNC PyInit__shapes(void) { return PyModuleDef_Init(&quelm::shapes::definition); }
