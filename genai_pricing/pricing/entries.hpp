// The entries a parse stores, kept natively until the parse ends.
//
// A model name stored again replaces its entry whole but keeps its first
// position, so a document that repeats names would build and then throw
// away Python objects.  Entries are therefore keyed here by the lower-cased
// name, and the PricingTable (a dict of dicts) is built once, at the end, in
// first-stored order with the last rates stored for each name.
//
// An ASCII name is kept as its span of the document (lower-cased when
// compared and built); a name beyond ASCII as the str that the host's
// lower-casing made of it.  Equal lower-cased names are equal keys either
// way (a non-ASCII name may lower-case to ASCII: "\u212a" gives "k").
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../shared.hpp"
#include "../unicode.hpp"
#include "chars.hpp"

namespace quelm::pricing {

namespace entries {

// A price as stored: NaN stands for none (no price read from digits is NaN).
double packed(const std::optional<double>& price);

// The float objects of a table's prices; equal prices share one object.
class Prices {
public:
    Ref get(double price);

private:
    struct Slot {
        std::uint64_t bits = 0;
        Ref object;
    };
    Slot slots_[256];
};

// A hash of a sequence of code points: three at a time (21 bits each) are
// packed into a word, and each word is mixed in with one multiplication,
// which keeps the dependency chain short.
class Hash {
public:
    void add(Py_UCS4 c) {
        word_ |= static_cast<std::uint64_t>(c) << shift_;
        shift_ += 21;
        if (shift_ == 63) mix();
    }
    std::uint32_t value() {
        if (shift_) mix();
        return static_cast<std::uint32_t>((h_ * 0x9e3779b97f4a7c15ull) >> 32);
    }

private:
    void mix() {
        h_ = (h_ ^ word_ ^ static_cast<std::uint64_t>(shift_)) * 0xff51afd7ed558ccdull;
        h_ ^= h_ >> 29;
        word_ = 0;
        shift_ = 0;
    }

    std::uint64_t h_ = 0xcbf29ce484222325ull;
    std::uint64_t word_ = 0;
    int shift_ = 0;
};

// The lower-cased name and its prices, ready for the table.
void add_entry(PyObject* rates, PyObject* name, double prompt, double completion, Prices& prices);

}  // namespace entries

template <class Ch>
class EntryTable {
public:
    // `d` is the document's storage; `expected` a guess at the number of
    // names, to size the table once.
    EntryTable(const Ch* d, size_t expected) : d_(d) {
        // Sized for the guess, up to a bound (a long text without prices
        // should not zero a large table); beyond it the slots grow.
        size_t size = 64;
        while (size < expected * 2 && size < (size_t{1} << 16)) size *= 2;
        slots_.assign(size, 0);
        entries_.reserve(expected);
    }

    // The hash of an ASCII name, lower-cased; also starts loading the slot
    // where its lookup begins, so that work done before store_ascii() hides
    // the memory latency.
    std::uint32_t prepare_ascii(chars::Span name) const {
        entries::Hash h;
        for (Py_ssize_t i = name.lo; i < name.hi; ++i) h.add(chars::ascii_lower(d_[i]));
        const std::uint32_t hash = h.value();
        __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
        return hash;
    }

    // Stores the rates under an ASCII name of the document (its prepared
    // hash given); true when the name was present.
    bool store_ascii(chars::Span name, std::uint32_t hash, const std::optional<double>& prompt,
                     const std::optional<double>& completion) {
        const Key key{name.lo, name.size(), nullptr};
        return store(key, hash, prompt, completion);
    }

    // Stores the rates under a name lower-cased by the host (a str).
    bool store_lowered(Ref lowered, const std::optional<double>& prompt,
                       const std::optional<double>& completion) {
        entries::Hash h;
        const uni::Text t(lowered.get());
        for (Py_ssize_t i = 0; i < t.len; ++i) h.add(t[i]);
        const Key key{-1, t.len, lowered.get()};
        const bool present = store(key, h.value(), prompt, completion);
        if (!present) lowered_.push_back(std::move(lowered));
        return present;
    }

    // The PricingTable.
    Ref build() const {
        // Sized once for all the names: no rehashing while it fills.
        Ref rates = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries_.size())));
        entries::Prices prices;
        for (const Entry& e : entries_) {
            Ref name;
            if (e.at >= 0) {
                name = Ref::steal(PyUnicode_New(e.size, 127));
                chars::lower_ascii(d_, {e.at, e.at + e.size},
                                   reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(name.get())));
            } else {
                name = lowered_[static_cast<size_t>(-e.at - 1)];
            }
            entries::add_entry(rates.get(), name.get(), e.prompt, e.completion, prices);
        }
        return rates;
    }

private:
    // A name: an ASCII span of the document (at >= 0), or a lower-cased str.
    struct Key {
        Py_ssize_t at;
        Py_ssize_t size;
        PyObject* str;
    };

    struct Entry {
        Py_ssize_t at;  // the document span's start, or -(index in lowered_) - 1
        Py_ssize_t size;
        std::uint32_t hash;
        double prompt, completion;  // entries::packed
    };

    Py_UCS4 char_at(const Key& k, Py_ssize_t i) const {
        return k.str ? PyUnicode_READ_CHAR(k.str, i) : chars::ascii_lower(d_[k.at + i]);
    }

    Key key_of(const Entry& e) const {
        if (e.at >= 0) return {e.at, e.size, nullptr};
        return {-1, e.size, lowered_[static_cast<size_t>(-e.at - 1)].get()};
    }

    bool same(const Entry& e, const Key& k) const {
        if (e.size != k.size) return false;
        if (e.at >= 0 && !k.str) {  // two ASCII spans of the document
            for (Py_ssize_t i = 0; i < k.size; ++i)
                if (chars::ascii_lower(d_[e.at + i]) != chars::ascii_lower(d_[k.at + i])) return false;
            return true;
        }
        const Key other = key_of(e);
        for (Py_ssize_t i = 0; i < k.size; ++i)
            if (char_at(other, i) != char_at(k, i)) return false;
        return true;
    }

    bool store(const Key& key, std::uint32_t hash, const std::optional<double>& prompt,
               const std::optional<double>& completion) {
        if ((entries_.size() + 1) * 2 > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        const std::uint64_t tag = static_cast<std::uint64_t>(hash) << 32;
        size_t s = hash & mask;
        for (; slots_[s]; s = (s + 1) & mask) {
            if ((slots_[s] & kTagMask) != tag) continue;
            Entry& e = entries_[(slots_[s] & ~kTagMask) - 1];
            if (same(e, key)) {
                e.prompt = entries::packed(prompt);
                e.completion = entries::packed(completion);
                return true;
            }
        }
        if (entries_.size() >= UINT32_MAX - 1) {
            PyErr_NoMemory();
            throw PyError{};
        }
        const Py_ssize_t at = key.str ? -static_cast<Py_ssize_t>(lowered_.size()) - 1 : key.at;
        entries_.push_back(Entry{at, key.size, hash, entries::packed(prompt),
                                 entries::packed(completion)});
        slots_[s] = tag | entries_.size();
        return false;
    }

    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        const size_t mask = slots_.size() - 1;
        for (size_t i = 0; i < entries_.size(); ++i) {
            size_t s = entries_[i].hash & mask;
            while (slots_[s]) s = (s + 1) & mask;
            slots_[s] = (static_cast<std::uint64_t>(entries_[i].hash) << 32) | (i + 1);
        }
    }

    static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ull;

    const Ch* d_;
    std::vector<Entry> entries_;
    std::vector<Ref> lowered_;           // names beyond ASCII, lower-cased
    // Open addressing: 0 is free, otherwise the key's hash in the high half
    // and the entry index + 1 in the low half.
    std::vector<std::uint64_t> slots_;
};

}  // namespace quelm::pricing
