// The entries a parse stores, kept natively until the parse ends.
//
// A model name stored again replaces its entry whole but keeps its first
// position, so a document that repeats names would build and then throw
// away Python objects.  Entries are therefore keyed by the lower-cased name
// here, and the PricingTable (a dict of dicts) is built once, at the end, in
// first-stored order with the last rates stored for each name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../shared.hpp"

namespace quelm::pricing {

class EntryTable {
public:
    // `expected`: a guess at the number of names, to size the table once.
    explicit EntryTable(size_t expected);

    // The hash of a key (see key_of_*); also starts loading the table slot
    // where its lookup begins, so that work done before store() hides the
    // memory latency.
    std::uint32_t prepare(const std::string& key) const;

    // Stores the rates under a lower-cased name given by its canonical
    // bytes and their prepared hash; `name` is the lower-cased str when one
    // was made (non-ASCII names), otherwise empty.  True when the name was
    // present.
    bool store(const std::string& key, std::uint32_t hash, Ref name,
               std::optional<double> prompt, std::optional<double> completion);

    // The PricingTable.
    Ref build() const;

    // Canonical bytes of a lower-cased name: equal for equal strs.  A str is
    // stored in its narrowest kind, so the kind and the raw code units
    // identify it; an ASCII name lower-cased natively gives kind 1 and its
    // characters.
    static void key_of_ascii_begin(std::string& key) { key.assign(1, '\1'); }
    static void key_of_str(PyObject* lowered, std::string& key);

private:
    struct Entry {
        std::uint32_t key_at, key_size;  // in keys_
        Ref name;
        double prompt, completion;  // kNone for none
    };

    static std::uint64_t hash_of(const std::string& key);
    void grow();

    std::vector<Entry> entries_;
    std::string keys_;  // every entry's key, one after the other (< 4 GiB)
    // Open addressing: 0 is a free slot, otherwise the high 32 bits of the
    // key's hash and, below them, the entry index + 1.
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint32_t> hashes_;  // per entry, for growing
};

}  // namespace quelm::pricing
