// Module entry: definition, the function table and the execute step that
// fills the namespace.
#include "../core/cost/cost.hpp"
#include "../core/function.hpp"
#include "../core/interpreter.hpp"
#include "../core/pricing/source.hpp"
#include "../core/usage/usage.hpp"

namespace quelm {

namespace {

constexpr const char* kUsageType = "Dict[str, int]";

constexpr Param kTextParam[] = {{"text", ArgKind::Str, "str"}};
constexpr Param kCountParams[] = {{"text", ArgKind::Str, "str"},
                                  {"model_name", ArgKind::Str, "str"}};
constexpr Param kUsageDictParams[] = {{"prompt_tokens", ArgKind::OptInt, "Optional[int]"},
                                      {"completion_tokens", ArgKind::OptInt, "Optional[int]"}};
constexpr Param kOpenAIParams[] = {{"resp", ArgKind::Any, "Any"},
                                   {"input_text", ArgKind::Str, "str"},
                                   {"output_text", ArgKind::Str, "str"},
                                   {"model_name", ArgKind::Str, "str"}};
constexpr Param kGeminiParams[] = {{"resp", ArgKind::Any, "Any"},
                                   {"input_text", ArgKind::Str, "str"},
                                   {"output_text", ArgKind::Str, "str"}};
constexpr Param kPathParam[] = {{"path", ArgKind::Str, "str"}};
constexpr Param kEstimateParams[] = {{"args", ArgKind::Any, nullptr},
                                     {"usage", ArgKind::Any, nullptr}};
constexpr Param kModelParam[] = {{"model", ArgKind::Any, nullptr}};

constexpr const char* kClearDoc = "Clear cached pricing so the URL will be fetched again.";
constexpr const char* kExerciseDoc =
    "\n    Exercise estimate_costs using the snapshot:\n"
    "    {'prompt_tokens': 21549, 'completion_tokens': 7091}\n    ";

template <std::size_t N>
constexpr FunctionSpec spec(const char* name, const Param (&params)[N], const char* ret, Body body,
                            Py_ssize_t ndefaults = 0, const char* doc = nullptr) {
    return {name, params, static_cast<Py_ssize_t>(N), ndefaults, ret, doc, body};
}

// In order of definition; `_parse_pricing` is wrapped by the LRU cache.
const FunctionSpec kBeforeCache[] = {
    spec("_approx_token_count", kTextParam, "int", usage::approx_token_count),
    spec("_count_openai_tokens", kCountParams, "int", usage::count_openai_tokens),
    spec("_usage_dict", kUsageDictParams, kUsageType, usage::usage_dict),
    spec("_extract_openai_usage", kOpenAIParams, kUsageType, usage::extract_openai_usage),
    spec("_extract_gemini_usage", kGeminiParams, kUsageType, usage::extract_gemini_usage),
};
const FunctionSpec kParsePricing =
    spec("_parse_pricing", kPathParam, "Dict[str, Dict[str, Optional[float]]]",
         pricing::parse_pricing);
const FunctionSpec kClearCache = {
    "clear_pricing_cache", nullptr, 0, 0, nullptr, kClearDoc, pricing::clear_pricing_cache};
const FunctionSpec kEstimate = spec("estimate_costs", kEstimateParams, nullptr, cost::estimate_costs);
const FunctionSpec kExercise = spec("exercise_estimate_costs", kModelParam, nullptr,
                                    cost::exercise_estimate_costs, 1, kExerciseDoc);

// One module object per process: a second import (after removal from
// sys.modules) gets the same object back and the execute step does not run
// again.
// Held for the process's lifetime (never destroyed at exit, when the
// interpreter may already be gone).
Ref& the_module = *new Ref();
bool executed = false;

void set(Borrowed ns, const char* name, Borrowed value) {
    check(PyDict_SetItemString(ns.get(), name, value.get()));
}

void define(Borrowed module, Borrowed ns, const FunctionSpec& s) {
    set(ns, s.name, make_function(s, module));
}

void version_warning() {
    const unsigned long runtime = Py_Version >> 16;
    const unsigned long built = PY_VERSION_HEX >> 16;
    if (runtime == built) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "%s was built for Python %lu.%lu but runs on %lu.%lu", kModuleName,
                           built >> 8, built & 0xff, runtime >> 8, runtime & 0xff));
}

void execute(Borrowed module) {
    ready_function_type();
    version_warning();
    Borrowed ns = PyModule_GetDict(module.get());
    for (const char* name : {"functools", "logging", "re"})
        set(ns, name, Ref::steal(PyImport_ImportModule(name)));
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    for (const char* name : {"Any", "Dict", "Optional"})
        set(ns, name, Ref::steal(PyObject_GetAttrString(typing.get(), name)));

    Ref module_name = global(module, names::__name__);
    Ref get_logger = getattr(global(module, names::logging), names::getLogger);
    set(ns, "logger", call(get_logger, module_name));
    set(ns, "PRICING_URL", str(kPricingUrl));

    for (const FunctionSpec& s : kBeforeCache) define(module, ns, s);

    Ref lru_cache = getattr(global(module, names::functools), names::lru_cache);
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i}", "maxsize", 8));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref decorator = Ref::steal(PyObject_Call(lru_cache.get(), no_args.get(), kwargs.get()));
    Ref plain = make_function(kParsePricing, module);
    set(ns, "_parse_pricing", call(decorator, plain));

    define(module, ns, kClearCache);
    define(module, ns, kEstimate);
    define(module, ns, kExercise);

    // Run as the main program: exercise once.
    Ref name = global(module, names::__name__);
    if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0)
        Ref::steal(PyObject_CallNoArgs(global(module, names::exercise_estimate_costs).get()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return boundary([&]() -> Ref {
        claim_interpreter(kModuleName);
        if (the_module) return the_module;
        names::init();
        Ref name = getattr(spec, names::name);
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        the_module = module;
        return module;
    });
}

int module_exec(PyObject* module) {
    if (executed) return 0;
    if (Ref::steal_maybe(boundary([&] {
            execute(module);
            return Ref::none();
        }))) {
        executed = true;
        return 0;
    }
    // A failed load discards the module object; a later import starts afresh.
    the_module = Ref();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "genai_pricing",
    nullptr,  // no documentation text
    0,
    nullptr,  // no function table: the execute step adds everything
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quelm

PyMODINIT_FUNC PyInit_genai_pricing(void) { return PyModuleDef_Init(&quelm::module_def); }
