// quelm._shapes: the makers' response shapes, read natively (shapes.cpp).
//
//   read(response, /)  -> (model, counts, tier, region, created), or, for a
//                         response that cannot be billed, the reason (str)
//   dollars(counts, rates, /), add(totals, counts, /)  -> the arithmetic of a
//                         bill, see their docstrings
//   CLASSES            -> the names of the token classes, in counts' order
//   REASONS            -> the reasons read() may give
//   RESPONSE_FIELDS    -> the fields read on a response's own level; of them,
//   NESTED_FIELDS         those that hold a response level in turn
#include "shapes.hpp"

#include <string>

#include "../core/interpreter.hpp"

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
const char* const kReasonTexts[] = {kFailed, kNoUsage, kBadUsage};

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
#define QUELM_MAKE(name) names_table.name = interned(#name);
    QUELM_SHAPE_NAMES(QUELM_MAKE)
#undef QUELM_MAKE
#define QUELM_MAKE(name, text) names_table.name = interned(text);
    QUELM_SHAPE_TEXTS(QUELM_MAKE)
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
    names_table.one = Ref::steal(PyLong_FromLong(1));
    N = &names_table;
}

PyObject* read_response(PyObject*, PyObject* response) {
    return boundary([&]() -> Ref {
        try {
            return read(response);
        } catch (const BadUsage&) {
            return str(kBadUsage);
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

// Adds one call to running totals: totals[0] counts the calls, totals[1:]
// add up the counts (Python ints: they cannot overflow).
PyObject* add(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        if (nargs != 2 || !PyList_Check(args[0]) || !PyTuple_Check(args[1]) ||
            PyList_GET_SIZE(args[0]) != PyTuple_GET_SIZE(args[1]) + 1) {
            PyErr_SetString(PyExc_TypeError,
                            "add() takes a list of totals and a tuple of one count fewer");
            throw PyError{};
        }
        PyObject* totals = args[0];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(totals); ++i) {
            PyObject* more = i ? PyTuple_GET_ITEM(args[1], i - 1) : N->one.get();
            Ref sum = Ref::steal(PyNumber_Add(PyList_GET_ITEM(totals, i), more));
            check(PyList_SetItem(totals, i, sum.release()));
        }
        return Ref::none();
    });
}

// False, after clearing an OverflowError (any other error propagates).
bool overflowed() {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
    PyErr_Clear();
    return false;
}

// The fast road of tally() for one line read as `got`: true when the line's
// group was known and took it.
bool fast(const Ref& got, PyObject* override, PyObject* thresholds, PyObject* groups) {
    if (!got || !PyTuple_Check(got.get())) return false;
    PyObject* model = override != Py_None ? override : PyTuple_GET_ITEM(got.get(), 0);
    if (!PyUnicode_CheckExact(model)) return false;
    PyObject* threshold = PyDict_GetItemWithError(thresholds, model);
    if (!threshold) {
        if (PyErr_Occurred()) throw PyError{};
        return false;
    }
    PyObject* counts = PyTuple_GET_ITEM(got.get(), 1);
    bool long_context = false;
    if (threshold != Py_None) {
        // A count or threshold beyond 64 bits (a sum of reported counts may
        // be): the other road compares them as Python ints.
        Count size = 0;
        for (int i = kPrompt; i <= kAudioCached; ++i) {
            const unsigned long long n = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(counts, i));
            if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return overflowed();
            size += n;
        }
        const long long above = PyLong_AsLongLong(threshold);
        if (above == -1 && PyErr_Occurred()) return overflowed();
        long_context = size > above;
    }
    const Ref key = Ref::steal(PyTuple_Pack(4, model, PyTuple_GET_ITEM(got.get(), 2),
                                            PyTuple_GET_ITEM(got.get(), 3),
                                            long_context ? Py_True : Py_False));
    PyObject* totals = PyDict_GetItemWithError(groups, key.get());
    if (!totals) {
        if (PyErr_Occurred()) throw PyError{};
        return false;
    }
    if (!PyList_Check(totals) || PyList_GET_SIZE(totals) != kClasses + 1) return false;
    const Ref hold = Ref::borrow(totals);
    PyObject* args[] = {totals, counts};
    Ref::steal(add(nullptr, args, 2));
    return true;
}

// A skipped line whose reason keeps no more line references (they are a
// tuple, not a list): counted, true.  `skipped` maps a reason to
// [lines, references].
bool counted(const Ref& got, PyObject* skipped) {
    if (!got || !PyUnicode_Check(got.get())) return false;
    PyObject* entry = PyDict_GetItemWithError(skipped, got.get());
    if (!entry) {
        if (PyErr_Occurred()) throw PyError{};
        return false;
    }
    if (!PyList_Check(entry) || PyList_GET_SIZE(entry) != 2) return false;
    if (!PyTuple_Check(PyList_GET_ITEM(entry, 1))) return false;
    const Ref hold = Ref::borrow(entry);
    Ref sum = Ref::steal(PyNumber_Add(PyList_GET_ITEM(entry, 0), N->one.get()));
    check(PyList_SetItem(entry, 0, sum.release()));
    return true;
}

// The fast road of `bill`'s tally (see its docstring).
PyObject* tally(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        if (nargs != 7 || !PyList_Check(args[0]) || !PyDict_Check(args[3]) ||
            !PyDict_Check(args[4]) || !PyDict_Check(args[5])) {
            PyErr_SetString(PyExc_TypeError,
                            "tally() takes lines (a list), decode, model, thresholds (a dict), "
                            "groups (a dict), skipped (a dict) and other");
            throw PyError{};
        }
        PyObject *lines = args[0], *decode = args[1], *override = args[2];
        PyObject *thresholds = args[3], *groups = args[4], *skipped = args[5], *other = args[6];
        // The lines are the caller's list, which `other` could change:
        // each is held while it is read.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
            const Ref raw = Ref::borrow(PyList_GET_ITEM(lines, i));
            Ref got;
            if (PyBytes_Check(raw.get())) {
                Ref record = Ref::steal_maybe(PyObject_CallOneArg(decode, raw.get()));
                if (!record) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError{};
                    PyErr_Clear();  // not decoded fast: the other road decides
                } else {
                    try {
                        got = read(record);
                    } catch (const BadUsage&) {
                        got = str(kBadUsage);
                    }
                }
            }
            if (fast(got, override, thresholds, groups) || counted(got, skipped)) continue;
            const Ref index = Ref::steal(PyLong_FromSsize_t(i));
            PyObject* call[] = {index.get(), raw.get(), got ? got.get() : Py_None};
            Ref::steal(PyObject_Vectorcall(other, call, 3, nullptr));
        }
        return Ref::none();
    });
}

PyMethodDef methods[] = {
    {"tally", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tally)), METH_FASTCALL,
     "tally(lines, decode, model, thresholds, groups, skipped, other, /)\n--\n\n"
     "Adds up the calls of `lines` (bytes) whose group is known, and hands\n"
     "every other line to `other(index, line, got)`.  A line is decoded by\n"
     "`decode` and read as read() reads it (`got`: None when `decode` raised).\n"
     "Its model is `model` when given, else the line's; its group is known when\n"
     "`thresholds` holds the model (its long-context threshold, or None) and\n"
     "`groups` holds the key (model, tier, region, long), long telling whether\n"
     "the prompt is larger than the threshold; the group's totals then take\n"
     "the call as add() adds it.  A line read as a reason whose entry in\n"
     "`skipped` ([lines, references]) keeps no more references (a tuple) is\n"
     "counted there."},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add)), METH_FASTCALL,
     "add(totals, counts, /)\n--\n\n"
     "Adds one call to running totals: totals[0] += 1, totals[i + 1] += counts[i]."},
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

// The names and objects made once are process-wide: one interpreter only.
int execute(PyObject* module) {
    const Ref done = Ref::steal_maybe(boundary([module] {
        claim_interpreter("quelm._shapes");
        init_names();
        Ref classes = Ref::steal(PyTuple_New(kClasses));
        for (int i = 0; i < kClasses; ++i)
            PyTuple_SET_ITEM(classes.get(), i, str(kClassNames[i]).release());
        check(PyModule_AddObjectRef(module, "CLASSES", classes.get()));
        Ref reasons = Ref::steal(PyTuple_New(3));
        for (int i = 0; i < 3; ++i) PyTuple_SET_ITEM(reasons.get(), i, str(kReasonTexts[i]).release());
        check(PyModule_AddObjectRef(module, "REASONS", reasons.get()));
        Ref fields = Ref::steal(PyList_New(0));
#define QUELM_APPEND(name) check(PyList_Append(fields.get(), names_table.name.get()));
        QUELM_RESPONSE_FIELDS(QUELM_APPEND)
        check(PyModule_AddObjectRef(module, "RESPONSE_FIELDS",
                                    Ref::steal(PyList_AsTuple(fields.get())).get()));
        fields = Ref::steal(PyList_New(0));
        QUELM_NESTED_FIELDS(QUELM_APPEND)
#undef QUELM_APPEND
        check(PyModule_AddObjectRef(module, "NESTED_FIELDS",
                                    Ref::steal(PyList_AsTuple(fields.get())).get()));
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

// A pydantic model's `__pydantic_extra__` descriptor, remembered per type
// (for the kTypesKept types seen last, about); null for types that are no
// pydantic models.
constexpr Py_ssize_t kTypesKept = 512;
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
    // Bounded: the cache holds its types, and a program may make types
    // without end (pydantic's create_model).
    if (PyDict_GET_SIZE(cache) >= kTypesKept) PyDict_Clear(cache);
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
