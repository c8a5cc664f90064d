// The exercise entry point: `exercise_estimate_costs(model=None)` prices a
// fixed usage snapshot for one model, prints what it used and what it got,
// and returns the estimate.
#include "cost.hpp"

namespace quelm::cost {
namespace {

constexpr long kSnapshotPrompt = 21549;
constexpr long kSnapshotCompletion = 7091;
constexpr const char* kDefaultModel = "gpt-4.1";

Ref snapshot_usage() {
    Ref usage = Ref::steal(PyDict_New());
    check(PyDict_SetItem(usage.get(), names::prompt_tokens,
                         Ref::steal(PyLong_FromLong(kSnapshotPrompt)).get()));
    check(PyDict_SetItem(usage.get(), names::completion_tokens,
                         Ref::steal(PyLong_FromLong(kSnapshotCompletion)).get()));
    return usage;
}

// `from types import SimpleNamespace; SimpleNamespace(model=model)`, the
// import done at every call through the host's import machinery.
Ref request_for(Borrowed model) {
    Ref types = Ref::steal(PyImport_Import(names::types));
    Ref simple_namespace = getattr(types, names::SimpleNamespace);
    Ref kwargs = Ref::steal(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), names::model, model.get()));
    Ref no_args = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(simple_namespace.get(), no_args.get(), kwargs.get()));
}

}  // namespace

Ref exercise_estimate_costs(Borrowed module, PyObject* const* args) {
    Ref usage = snapshot_usage();
    Ref model = truthy(args[0]) ? Borrowed(args[0]).ref() : str(kDefaultModel);
    Ref request = request_for(model);

    Ref estimate_fn = global(module, names::estimate_costs);
    PyObject* call_args[] = {request.get(), usage.get()};
    Ref est = Ref::steal(PyObject_Vectorcall(estimate_fn.get(), call_args, 2, nullptr));

    Ref record = Ref::steal(PyDict_New());
    check(PyDict_SetItem(record.get(), names::model, model.get()));
    check(PyDict_SetItem(record.get(), names::usage, usage.get()));
    check(PyDict_SetItem(record.get(), names::estimated_costs, est.get()));
    Ref::steal(PyObject_CallOneArg(global(module, names::print).get(), record.get()));
    return est;
}

}  // namespace quelm::cost
