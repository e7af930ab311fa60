#include "bench/support/datasets.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "bench/support/fail.h"

namespace zkbench {

std::vector<std::uint32_t> ShuffledOrder(std::size_t n, Rng& rng) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    rng.Shuffle(order);
    return order;
}

KeySet Permuted(const KeySet& keys, const std::vector<std::uint32_t>& index) {
    KeySet out;
    out.Reserve(index.size(), keys.ByteCount());
    for (std::uint32_t i : index) out.Add(keys[i]);
    return out;
}

namespace {

// Remembers keys by a 32-bit code (the caller's way back to the key bytes), so that generators can
// reject repeats without keeping a second copy of tens of millions of keys. Fixed size, at most half
// full.
class KeyFilter {
public:
    explicit KeyFilter(std::size_t expected) {
        std::size_t n = 16;
        while (n < 2 * expected) n <<= 1;
        slots_.assign(n, kEmpty);
        mask_ = n - 1;
    }

    // True when key was not yet known; it is then remembered under code. lookup(code) returns the
    // key remembered under code.
    template <class Lookup>
    bool Insert(std::string_view key, std::uint32_t code, const Lookup& lookup) {
        std::size_t i = Slot(key, lookup);
        if (slots_[i] != kEmpty) return false;
        if (++used_ > slots_.size() / 2) Fail("KeyFilter: more keys than it was sized for");
        slots_[i] = code;
        return true;
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

    // The slot holding key, or the empty slot where it would go.
    template <class Lookup>
    std::size_t Slot(std::string_view key, const Lookup& lookup) const {
        std::size_t i = std::hash<std::string_view>{}(key) & mask_;
        while (slots_[i] != kEmpty && lookup(slots_[i]) != key) i = (i + 1) & mask_;
        return i;
    }

    std::vector<std::uint32_t> slots_;
    std::size_t mask_ = 0;
    std::size_t used_ = 0;
};

// The codes a generator files its keys under in a KeyFilter: a present key's position, or an absent
// key's position with the top bit set.
constexpr std::uint32_t kAbsentBit = 0x80000000u;

auto CodeLookup(const Dataset& ds) {
    return [&ds](std::uint32_t code) { return (code & kAbsentBit) ? ds.absent[code & ~kAbsentBit] : ds.keys[code]; };
}

// Shuffles the present keys into probes, and the absent keys in place, with the dataset's generator.
void FinishDataset(Dataset& ds, Rng& rng) {
    ds.probe_index = ShuffledOrder(ds.keys.size(), rng);
    ds.probes = Permuted(ds.keys, ds.probe_index);
    ds.absent = Permuted(ds.absent, ShuffledOrder(ds.absent.size(), rng));
}

}  // namespace

std::unique_ptr<Dataset> MakeRandomDataset(const std::string& name, std::size_t n, std::uint64_t seed,
                                           bool allBytes) {
    if (n > 0x7FFFFFFFu) Fail("MakeRandomDataset: too many keys");
    auto ds = std::make_unique<Dataset>();
    ds->name = name;
    ds->keys.Reserve(n, n * 16 + 64);
    ds->absent.Reserve(n, n * 16 + 64);
    Rng rng(seed);
    KeyFilter filter(2 * n);
    const auto lookup = CodeLookup(*ds);
    char buf[24];
    for (int which = 0; which < 2; ++which) {
        KeySet& out = which == 0 ? ds->keys : ds->absent;
        while (out.size() < n) {
            const std::size_t len = 8 + rng.Below(17);
            for (std::size_t i = 0; i < len; ++i) {
                buf[i] = static_cast<char>(allBytes ? rng.Below(256) : 0x21 + rng.Below(0x7E - 0x21 + 1));
            }
            const std::string_view key(buf, len);
            const std::uint32_t code = static_cast<std::uint32_t>(out.size()) | (which ? kAbsentBit : 0);
            if (filter.Insert(key, code, lookup)) out.Add(key);
        }
    }
    FinishDataset(*ds, rng);
    return ds;
}

std::unique_ptr<Dataset> LoadWordList(const std::string& name, const char* path, std::uint64_t seed) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zkbench: cannot read %s; the %s dataset is skipped\n", path, name.c_str());
        return nullptr;
    }
    auto ds = std::make_unique<Dataset>();
    ds->name = name;
    KeySet lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.Add(line);
    }
    if (lines.size() > 0x3FFFFFFFu) Fail("LoadWordList: too many words");

    Rng rng(seed);
    KeyFilter filter(2 * lines.size());
    const auto lookup = CodeLookup(*ds);
    bool seen[256] = {};
    for (std::uint32_t i : ShuffledOrder(lines.size(), rng)) {
        const std::string_view w = lines[i];
        if (filter.Insert(w, static_cast<std::uint32_t>(ds->keys.size()), lookup)) {
            ds->keys.Add(w);
            for (unsigned char c : w) seen[c] = true;
        }
    }
    std::vector<char> alphabet;
    for (int c = 0; c < 256; ++c) {
        if (seen[c]) alphabet.push_back(static_cast<char>(c));
    }
    if (alphabet.size() < 2) Fail("LoadWordList: the list has fewer than two distinct bytes");

    for (std::size_t i = 0; i < ds->keys.size(); ++i) {
        std::string variant(ds->keys[i]);
        for (int attempt = 0; attempt < 8; ++attempt) {
            variant = ds->keys[i];
            const std::size_t pos = rng.Below(variant.size());
            char c;
            do {
                c = alphabet[rng.Below(alphabet.size())];
            } while (c == variant[pos]);
            variant[pos] = c;
            const std::uint32_t code = static_cast<std::uint32_t>(ds->absent.size()) | kAbsentBit;
            if (filter.Insert(variant, code, lookup)) {
                ds->absent.Add(variant);
                break;
            }
        }
    }
    FinishDataset(*ds, rng);
    return ds;
}

const std::vector<std::string>& KeyStrings(Dataset& ds) {
    return ds.Fixture<std::vector<std::string>>("key strings", [&] {
        auto strings = std::make_unique<std::vector<std::string>>();
        strings->reserve(ds.keys.size());
        for (std::size_t i = 0; i < ds.keys.size(); ++i) strings->emplace_back(ds.keys[i]);
        return strings;
    });
}

namespace {

constexpr const char* kWordList = "/usr/share/dict/words";

}  // namespace

void DefineStringDatasets() {
    Datasets::Define("rand1M", [] { return MakeRandomDataset("rand1M", 1'000'000, 0x5EED0001); });
    Datasets::Define("rand10M", [] { return MakeRandomDataset("rand10M", 10'000'000, 0x5EED0010); });
    Datasets::Define("words", [] { return LoadWordList("words", kWordList, 0x5EED0100); });
    Datasets::Define("bytes1M", [] { return MakeRandomDataset("bytes1M", 1'000'000, 0x5EED0002, true); });
}

bool WordListReadable(const char* program) {
    if (access(kWordList, R_OK) == 0) return true;
    std::fprintf(stderr, "%s: %s is missing; the words dataset is skipped\n", program, kWordList);
    return false;
}

// ---- the program's datasets ---------------------------------------------------------------------

namespace {

struct Registry {
    struct Entry {
        std::type_index type;
        std::function<std::shared_ptr<void>()> make;
        std::pair<std::size_t, std::size_t> (*counts)(const void*);
    };
    std::map<std::string, Entry> entries;
    std::shared_ptr<void> current;
    std::string current_name;
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

}  // namespace

void Datasets::Define(const std::string& name, std::type_index type, Maker make, CountsOf counts) {
    TheRegistry().entries.insert_or_assign(name, Registry::Entry{type, std::move(make), counts});
}

void* Datasets::Get(const std::string& name, std::type_index type) {
    Registry& r = TheRegistry();
    auto it = r.entries.find(name);
    if (it == r.entries.end()) Fail("no dataset named " + name);
    if (it->second.type != type) Fail("dataset " + name + " has keys of another width");
    if (r.current && r.current_name == name) return r.current.get();
    r.current.reset();
    const auto counts = it->second.counts;
    if (counts != nullptr) {
        std::fprintf(stderr, "zkbench: building dataset %s ...", name.c_str());
        std::fflush(stderr);
    }
    const auto start = std::chrono::steady_clock::now();
    r.current = it->second.make();
    if (!r.current) Fail("dataset " + name + " could not be made");
    r.current_name = name;
    if (counts != nullptr) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const auto [keys, absent] = counts(r.current.get());
        std::fprintf(stderr, " %zu keys, %zu absent, %.1f s\n", keys, absent, took.count());
    }
    return r.current.get();
}

}  // namespace zkbench
