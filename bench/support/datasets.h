/*
 * datasets.h: the keys every structure of a program is measured on.
 *
 *   - key sets: deterministic, stored in one contiguous buffer plus offsets, so that generating keys
 *     is never timed and every structure reads its probe keys with the same cache behaviour;
 *   - datasets: present keys (insertion order), the same keys shuffled for lookups, and absent keys
 *     of the same shape, with per-structure fixtures that live and die with their dataset;
 *   - Datasets: every dataset of a program by name, built lazily, one at a time.
 */
#ifndef ZKDICT_BENCH_SUPPORT_DATASETS_H
#define ZKDICT_BENCH_SUPPORT_DATASETS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <vector>

namespace zkbench {

// ---- random numbers -----------------------------------------------------------------------------

// splitmix64 with our own range reduction and shuffle: std::uniform_int_distribution and std::shuffle
// differ between standard libraries, and the key sets must be the same everywhere the programs run.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n) up to a bias of n / 2^64, far below anything a benchmark can see.
    std::uint64_t Below(std::uint64_t n) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(Next()) * n) >> 64);
    }

    template <class T>
    void Shuffle(std::vector<T>& v) {
        for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[Below(i)]);
    }

private:
    std::uint64_t state_;
};

// 0, 1, ..., n - 1, shuffled by rng.
std::vector<std::uint32_t> ShuffledOrder(std::size_t n, Rng& rng);

// ---- key sets -----------------------------------------------------------------------------------

// Keys back to back in one buffer. Offsets are 64-bit so that no dataset size needs a second look.
class KeySet {
public:
    void Reserve(std::size_t keys, std::size_t bytes) {
        offsets_.reserve(keys + 1);
        bytes_.reserve(bytes);
    }
    void Add(std::string_view key) {
        bytes_.insert(bytes_.end(), key.begin(), key.end());
        offsets_.push_back(bytes_.size());
    }
    std::size_t size() const { return offsets_.size() - 1; }
    std::size_t ByteCount() const { return bytes_.size(); }
    std::string_view operator[](std::size_t i) const {
        return {bytes_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
    }

private:
    std::vector<char> bytes_;
    std::vector<std::size_t> offsets_{0};
};

// The keys in the order given by index: out[j] is keys[index[j]].
KeySet Permuted(const KeySet& keys, const std::vector<std::uint32_t>& index);

template <class K>
std::vector<K> Permuted(const std::vector<K>& keys, const std::vector<std::uint32_t>& index) {
    std::vector<K> out(index.size());
    for (std::size_t j = 0; j < index.size(); ++j) out[j] = keys[index[j]];
    return out;
}

// ---- datasets -----------------------------------------------------------------------------------

// Structures built for a dataset, each under a label, made by its build function (returning a
// std::unique_ptr<T>) on first use and kept until the store goes.
class FixtureStore {
public:
    template <class T, class Build>
    T& Get(const std::string& label, Build&& build) {
        auto it = fixtures_.find(label);
        if (it == fixtures_.end()) {
            std::unique_ptr<T> made = build();
            it = fixtures_.emplace(label, std::shared_ptr<void>(std::move(made))).first;
        }
        return *static_cast<T*>(it->second.get());
    }

private:
    std::map<std::string, std::shared_ptr<void>> fixtures_;
};

// A dataset whose keys are held in Keys (a KeySet, or a std::vector of integers).
template <class Keys>
struct BasicDataset {
    std::string name;
    Keys keys;                              // present keys, insertion order; key i carries the value i
    Keys probes;                            // the same keys shuffled: probes[j] is keys[probe_index[j]]
    std::vector<std::uint32_t> probe_index; // see probes
    Keys absent;                            // keys of the same shape, none of them present

    // The structure built by build() under label, built on first use and kept until the dataset is
    // released. Building 10M-key structures once, not once per benchmark, is what keeps a run short.
    template <class T, class Build>
    T& Fixture(const std::string& label, Build&& build) {
        return fixtures.Get<T>(label, std::forward<Build>(build));
    }

    // Declared last so that fixtures, which may point into the key sets, go first.
    FixtureStore fixtures;
};

using Dataset = BasicDataset<KeySet>;

// n distinct keys of 8 to 24 bytes (uniform length) and n more as absent keys, drawn from the same
// distribution and rejected when they repeat any key drawn before, present or absent.
//
// Bytes are printable ASCII 0x21..0x7E rather than arbitrary. Our clients key by text (words, names,
// paths), whose bytes carry well under 8 bits each, and a simple byte hash such as ours spreads such
// keys less evenly than full-entropy bytes; arbitrary bytes would flatter it. Printable keys also read
// back in a failure message. The word list covers natural text. With allBytes the keys draw on all
// 256 byte values instead, for structures whose tables grow with the alphabet.
std::unique_ptr<Dataset> MakeRandomDataset(const std::string& name, std::size_t n, std::uint64_t seed,
                                           bool allBytes = false);

// The distinct non-empty lines of a word list, in shuffled order: the file is sorted, and sorted
// insertion is a best or worst case for some structures rather than the usual one. Absent keys are
// the words with one byte replaced by another byte that occurs in the list, so they keep the words'
// lengths and alphabet; a word whose variants all turn out present gets none. nullptr, with a
// message, when the list cannot be read.
std::unique_ptr<Dataset> LoadWordList(const std::string& name, const char* path, std::uint64_t seed);

// Defines the datasets of the programs keyed by strings: 1M and 10M random printable keys (rand1M,
// rand10M), 1M random keys of all 256 byte values (bytes1M), and the system word list (words).
void DefineStringDatasets();

// True when the system word list can be read; otherwise program says on stderr that it skips the
// words dataset.
bool WordListReadable(const char* program);

// The present keys as callers usually hold them: each in a std::string of its own (inline up to 15
// bytes, on the heap beyond), in insertion order, so in the memory order they were made. Looked up in
// the shuffled probe order, strings[probe_index[j]], a key's own bytes are a cache miss, as they are
// for keys that arrive from elsewhere, and a lookup cannot hide its hashing behind that miss. The
// contiguous probe set, read in order, shows the other extreme.
const std::vector<std::string>& KeyStrings(Dataset& ds);

// ---- the program's datasets ---------------------------------------------------------------------

// Datasets by name, made on first use. Only one is alive at a time: asking for another releases the
// current one with its fixtures, so a program's peak memory is that of its largest dataset. Making
// one is announced on stderr with its key counts, for the dataset types that have keys and absent
// key sets (one that holds several key widths at once goes unannounced).
class Datasets {
public:
    // make() returns a std::unique_ptr to the dataset, of any type; null when it cannot be made.
    template <class Make>
    static void Define(const std::string& name, Make make) {
        using D = typename std::invoke_result_t<Make&>::element_type;
        Define(name, typeid(D), [make = std::move(make)]() mutable { return std::shared_ptr<void>(make()); },
               CountsFor<D>());
    }

    // The dataset name, which must have been defined with type D.
    template <class D = Dataset>
    static D& Get(const std::string& name) {
        return *static_cast<D*>(Get(name, typeid(D)));
    }

private:
    using Maker = std::function<std::shared_ptr<void>()>;
    using CountsOf = std::pair<std::size_t, std::size_t> (*)(const void*);

    template <class D>
    static std::pair<std::size_t, std::size_t> KeyCounts(const void* ds) {
        return {static_cast<const D*>(ds)->keys.size(), static_cast<const D*>(ds)->absent.size()};
    }
    template <class D>
    static constexpr CountsOf CountsFor() {
        if constexpr (requires(const D& d) { d.keys.size() + d.absent.size(); }) {
            return &KeyCounts<D>;
        } else {
            return nullptr;
        }
    }

    static void Define(const std::string& name, std::type_index type, Maker make, CountsOf counts);
    static void* Get(const std::string& name, std::type_index type);
};

// Datasets as above, for a program whose datasets are all of type D.
template <class D>
struct DatasetsOf {
    template <class Make>
    static void Define(const std::string& name, Make make) {
        Datasets::Define(name, std::move(make));
    }
    static D& Get(const std::string& name) { return Datasets::Get<D>(name); }
};

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_DATASETS_H
