// The native entry table of a parse (see entries.hpp).
#include "entries.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace quelm::pricing {
namespace {

// No price is NaN (prices are read from digits), so NaN stands for none.
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

double packed(const std::optional<double>& v) { return v ? *v : kNone; }

Ref price_object(double v) {
    return std::isnan(v) ? Ref::none() : Ref::steal(PyFloat_FromDouble(v));
}

}  // namespace

EntryTable::EntryTable(size_t expected) {
    size_t size = 64;
    while (size < expected * 2) size *= 2;
    slots_.assign(size, 0);
    entries_.reserve(expected);
    hashes_.reserve(expected);
}

std::uint64_t EntryTable::hash_of(const std::string& key) {
    // FNV-1a over 8-byte words, with a final mix.
    std::uint64_t h = 0xcbf29ce484222325ull ^ key.size();
    size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, key.data() + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    for (; i < key.size(); ++i) h = (h ^ static_cast<unsigned char>(key[i])) * 0x100000001b3ull;
    h ^= h >> 32;
    h *= 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 29);
}

void EntryTable::key_of_str(PyObject* lowered, std::string& key) {
    const int kind = PyUnicode_KIND(lowered);
    key.assign(1, static_cast<char>(kind));
    key.append(static_cast<const char*>(PyUnicode_DATA(lowered)),
               static_cast<size_t>(PyUnicode_GET_LENGTH(lowered)) * static_cast<size_t>(kind));
}

void EntryTable::grow() {
    const size_t size = slots_.size() * 2;
    slots_.assign(size, 0);
    const size_t mask = size - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::uint64_t tag = static_cast<std::uint64_t>(hashes_[i]) << 32;
        size_t s = (tag >> 32) & mask;
        while (slots_[s]) s = (s + 1) & mask;
        slots_[s] = tag | (i + 1);
    }
}

std::uint32_t EntryTable::prepare(const std::string& key) const {
    const std::uint32_t h = static_cast<std::uint32_t>(hash_of(key) >> 32);
    __builtin_prefetch(&slots_[h & (slots_.size() - 1)]);
    return h;
}

bool EntryTable::store(const std::string& key, std::uint32_t h, Ref name,
                       std::optional<double> prompt, std::optional<double> completion) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint64_t tag = static_cast<std::uint64_t>(h) << 32;
    const size_t mask = slots_.size() - 1;
    size_t s = h & mask;
    for (; slots_[s]; s = (s + 1) & mask) {
        if ((slots_[s] & ~0xFFFFFFFFull) != tag) continue;
        Entry& e = entries_[(slots_[s] & 0xFFFFFFFFull) - 1];
        if (e.key_size == key.size() && std::memcmp(keys_.data() + e.key_at, key.data(), key.size()) == 0) {
            e.prompt = packed(prompt);
            e.completion = packed(completion);
            return true;
        }
    }
    if (entries_.size() >= UINT32_MAX - 1 || keys_.size() + key.size() >= UINT32_MAX) {
        PyErr_NoMemory();
        throw PyError{};
    }
    entries_.push_back(Entry{static_cast<std::uint32_t>(keys_.size()),
                             static_cast<std::uint32_t>(key.size()), std::move(name),
                             packed(prompt), packed(completion)});
    hashes_.push_back(h);
    keys_ += key;
    slots_[s] = tag | entries_.size();
    return false;
}

Ref EntryTable::build() const {
    // Sized once for all the names: no rehashing while it fills.
    Ref rates = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries_.size())));
    for (const Entry& e : entries_) {
        Ref name = e.name;
        if (!name) {  // an ASCII name: the key's characters after the kind
            const Py_ssize_t len = static_cast<Py_ssize_t>(e.key_size) - 1;
            name = Ref::steal(PyUnicode_New(len, 127));
            std::memcpy(PyUnicode_1BYTE_DATA(name.get()), keys_.data() + e.key_at + 1,
                        static_cast<size_t>(len));
        }
        Ref entry = Ref::steal(PyDict_New());
        check(PyDict_SetItem(entry.get(), names::prompt_per_1M, price_object(e.prompt).get()));
        check(PyDict_SetItem(entry.get(), names::completion_per_1M,
                             price_object(e.completion).get()));
        check(PyDict_SetItem(rates.get(), name.get(), entry.get()));
    }
    return rates;
}

}  // namespace quelm::pricing
