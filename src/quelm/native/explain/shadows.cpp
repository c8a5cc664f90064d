// quelm._explain.first_contained: for each name of a price table, the first
// earlier name that it contains, which is the name the lookup picks for that
// name's dated or prefixed variants.
//
// Comparing every name with every earlier one would be quadratic.  Instead
// every window of a name whose length is that of some earlier name is hashed
// (a rolling hash over code points) and looked up in an index of the earlier
// names; a hit is confirmed with the lookup's own substring test, so the
// answer is `earlier in name` exactly as `estimate_costs` decides it.
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "../core/cost/substring.hpp"
#include "../core/shared.hpp"

namespace quelm::explain {
namespace {

constexpr std::uint64_t kBase = 1000003;

struct Name {
    Ref str;  // held: allocating the result may run a collection that empties the list
    std::vector<std::uint64_t> prefix;  // prefix[i]: hash of the first i code points
};

std::uint64_t key_of(Py_ssize_t length, std::uint64_t hash) {
    return hash * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(length);
}

}  // namespace

PyObject* first_contained(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> Ref {
        if (nargs != 1 || !PyList_CheckExact(args[0])) {
            PyErr_SetString(PyExc_TypeError, "first_contained() takes one list of str");
            throw PyError{};
        }
        PyObject* const list = args[0];
        const Py_ssize_t n = PyList_GET_SIZE(list);
        std::vector<Name> names;
        names.reserve(static_cast<size_t>(n));
        Py_ssize_t longest = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = PyList_GET_ITEM(list, i);
            if (!PyUnicode_CheckExact(s)) {
                PyErr_Format(PyExc_TypeError, "first_contained() item %zd must be str, not %.200s",
                             i, Py_TYPE(s)->tp_name);
                throw PyError{};
            }
            if (PyUnicode_READY(s) < 0) throw PyError{};
            const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
            const int kind = PyUnicode_KIND(s);
            const void* data = PyUnicode_DATA(s);
            Name name{Ref::borrow(s), std::vector<std::uint64_t>(static_cast<size_t>(len) + 1)};
            for (Py_ssize_t j = 0; j < len; ++j)
                name.prefix[j + 1] = name.prefix[j] * kBase + PyUnicode_READ(kind, data, j) + 1;
            if (len > longest) longest = len;
            names.push_back(std::move(name));
        }
        std::vector<std::uint64_t> power(static_cast<size_t>(longest) + 1, 1);
        for (Py_ssize_t j = 1; j <= longest; ++j) power[j] = power[j - 1] * kBase;

        // (length, hash) of each earlier name -> their positions, ascending.
        std::unordered_map<std::uint64_t, std::vector<Py_ssize_t>> index;
        std::vector<Py_ssize_t> lengths;      // distinct lengths of earlier names
        std::vector<bool> seen_length(static_cast<size_t>(longest) + 1, false);

        Ref out = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Name& name = names[i];
            const Py_ssize_t len = static_cast<Py_ssize_t>(name.prefix.size()) - 1;
            Py_ssize_t best = i;
            for (Py_ssize_t width : lengths) {
                if (width > len) continue;
                for (Py_ssize_t at = 0; at + width <= len; ++at) {
                    const std::uint64_t hash =
                        name.prefix[at + width] - name.prefix[at] * power[width];
                    auto hit = index.find(key_of(width, hash));
                    if (hit == index.end()) continue;
                    for (Py_ssize_t earlier : hit->second) {
                        if (earlier >= best) break;
                        if (cost::str_contains(name.str.get(), names[earlier].str.get())) {
                            best = earlier;
                            break;
                        }
                    }
                }
            }
            PyList_SET_ITEM(out.get(), i,
                            best < i ? check(PyLong_FromSsize_t(best)) : Ref::none().release());
            index[key_of(len, name.prefix[len])].push_back(i);
            if (!seen_length[len]) {
                seen_length[len] = true;
                lengths.push_back(len);
            }
        }
        return out;
    });
}

}  // namespace quelm::explain
