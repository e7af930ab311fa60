/*
 * hashtable_bench: HashTable against absl::flat_hash_map<std::string, uint64_t> and
 * std::unordered_map<std::string, uint64_t>, on the same keys.
 *
 * Datasets: 1M and 10M random printable keys of 8 to 24 bytes, and the system word list when present.
 * Operations, each timed per key:
 *   insert        every key with the value of its position, from a small table, growing as a user
 *                 would: ours from capacity 16, doubling whenever a creating lookup is refused because
 *                 the table is full; the peers default-constructed, without reserve;
 *   find_present  the same keys in shuffled order, reading the value found;
 *   find_absent   keys of the same shape that are not in the table.
 * Memory per entry (the insert rows): ours counts its own three blocks (record, data area, slot array),
 * the peers count what they hold through operator new, std::string buffers included.
 *
 * The peers look keys up without building a std::string: abseil through absl::string_view (Debian's
 * abseil does not alias it to std::string_view), std::unordered_map through a transparent hash and
 * equality. Inserting builds the one std::string each peer keeps.
 */
#include "bench/bench_common.h"

#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "dict/hashtable.h"

namespace {

using zkbench::Dataset;
using zkbench::Datasets;
using zkbench::KeySet;

class OurTable {
public:
    static constexpr const char* kName = "HashTable";

    OurTable() : t_(HashTableNew(16, nullptr, nullptr, nullptr, sizeof(std::uint64_t), 0, FALSE)) {}
    ~OurTable() { HashTableFree(t_); }
    OurTable(const OurTable&) = delete;
    OurTable& operator=(const OurTable&) = delete;

    void Insert(std::string_view key, std::uint64_t value) {
        for (;;) {
            void* val = HashTableFind(t_, key.data(), static_cast<UInt>(key.size()), TRUE, nullptr, nullptr);
            if (val != nullptr) {
                std::memcpy(val, &value, sizeof value);
                return;
            }
            if (!HashTableFull(t_)) zkbench::Fail("HashTable refused " + zkbench::Printable(key) + " while not full");
            HashTableGrow(t_, 2.0f, nullptr);
        }
    }

    const std::uint64_t* Find(std::string_view key) const {
        return static_cast<const std::uint64_t*>(
            HashTableFind(t_, key.data(), static_cast<UInt>(key.size()), FALSE, nullptr, nullptr));
    }

    std::size_t Size() const { return HashTableSize(t_); }

    // Our blocks do not come from operator new, and we know them exactly.
    double Bytes(std::int64_t /*heap_delta*/) const {
        return static_cast<double>(t_->t_data_size) + 4.0 * t_->t_entries_size + sizeof(HashTable);
    }

private:
    HashTable* t_;
};

class AbslTable {
public:
    static constexpr const char* kName = "absl_flat_hash_map";

    void Insert(std::string_view key, std::uint64_t value) { m_.try_emplace(std::string(key), value); }

    const std::uint64_t* Find(std::string_view key) const {
        auto it = m_.find(absl::string_view(key.data(), key.size()));
        return it == m_.end() ? nullptr : &it->second;
    }

    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return static_cast<double>(heap_delta); }

private:
    absl::flat_hash_map<std::string, std::uint64_t> m_;
};

// Transparent, so that find(std::string_view) needs no temporary std::string. Hashing a std::string
// through its view gives the same value as std::hash<std::string>.
//
// Deliberately not noexcept: libstdc++ keeps each node's hash code only for hashes that may throw or
// that it does not deem fast, and it treats std::hash<std::string> that way. A noexcept hash here
// would drop the stored codes, so every step along a bucket chain would hash a key again, and the
// peer would be measured slower than the map its users actually get.
struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct ViewEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

#ifdef __GLIBCXX__
static_assert(std::__cache_default<std::string, ViewHash>::value ==
                  std::__cache_default<std::string, std::hash<std::string>>::value,
              "the transparent hash must keep the node layout of std::unordered_map<std::string, ...>");
#endif

class StdTable {
public:
    static constexpr const char* kName = "std_unordered_map";

    void Insert(std::string_view key, std::uint64_t value) { m_.try_emplace(std::string(key), value); }

    const std::uint64_t* Find(std::string_view key) const {
        auto it = m_.find(key);
        return it == m_.end() ? nullptr : &it->second;
    }

    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return static_cast<double>(heap_delta); }

private:
    std::unordered_map<std::string, std::uint64_t, ViewHash, ViewEqual> m_;
};

// A table of every key of ds, key i with the value i, and its memory per entry. The table object
// itself is allocated inside the measured span, as its record is part of what ours counts.
template <class Table>
std::unique_ptr<Table> BuildTable(const Dataset& ds, double* bytes_per_entry) {
    const KeySet& keys = ds.keys;
    const std::int64_t before = zkbench::LiveHeapBytes();
    auto table = std::make_unique<Table>();
    for (std::size_t i = 0; i < keys.size(); ++i) table->Insert(keys[i], i);
    const std::int64_t delta = zkbench::LiveHeapBytes() - before;
    if (table->Size() != keys.size()) {
        zkbench::Fail(std::string(Table::kName) + " holds " + std::to_string(table->Size()) + " entries after " +
                      std::to_string(keys.size()) + " distinct keys of " + ds.name);
    }
    *bytes_per_entry = table->Bytes(delta) / static_cast<double>(keys.size());
    return table;
}

// What the find benchmarks share for one structure and dataset. The cursors carry on where the
// previous run of a benchmark stopped, so the framework's repeated runs do not replay warm keys.
template <class Table>
struct Built {
    std::unique_ptr<Table> table;
    double bytes_per_entry = 0;
    std::size_t present_cursor = 0;
    std::size_t absent_cursor = 0;
};

// Checks every lookup once, in full, before any is timed: a fast wrong answer is no result.
template <class Table>
std::unique_ptr<Built<Table>> Verified(const Dataset& ds, std::unique_ptr<Table> table, double bytes_per_entry) {
    for (std::size_t j = 0; j < ds.probes.size(); ++j) {
        const std::uint64_t* v = table->Find(ds.probes[j]);
        if (v == nullptr || *v != ds.probe_index[j]) {
            zkbench::Fail(std::string(Table::kName) + (v ? " returns a wrong value for " : " misses ") +
                          zkbench::Printable(ds.probes[j]) + " of " + ds.name);
        }
    }
    for (std::size_t j = 0; j < ds.absent.size(); ++j) {
        if (table->Find(ds.absent[j]) != nullptr) {
            zkbench::Fail(std::string(Table::kName) + " finds the absent key " + zkbench::Printable(ds.absent[j]) +
                          " in " + ds.name);
        }
    }
    auto b = std::make_unique<Built<Table>>();
    b->table = std::move(table);
    b->bytes_per_entry = bytes_per_entry;
    return b;
}

template <class Table>
Built<Table>& Fixture(Dataset& ds) {
    return ds.Fixture<Built<Table>>(Table::kName, [&] {
        double bytes_per_entry = 0;
        std::unique_ptr<Table> table = BuildTable<Table>(ds, &bytes_per_entry);
        return Verified<Table>(ds, std::move(table), bytes_per_entry);
    });
}

// With adopt, the last table built becomes the find benchmarks' fixture, when they have none yet:
// a 10M-key build is too costly to make twice. Only for benchmarks of a fixed iteration count, since a
// table kept from the framework's trial run would sit in the heap through the measured one.
template <class Table>
void BM_Insert(benchmark::State& state, const std::string& dataset, bool adopt) {
    Dataset& ds = Datasets::Get(dataset);
    double bytes_per_entry = 0;
    std::unique_ptr<Table> table;
    for (auto _ : state) {
        // Each build starts from the heap the previous one gave back, as repeated builds in one
        // process would; releasing is not timed.
        state.PauseTiming();
        table.reset();
        state.ResumeTiming();
        table = BuildTable<Table>(ds, &bytes_per_entry);
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
    state.counters["bytes_per_entry"] = bytes_per_entry;
    if (adopt && table) {
        ds.Fixture<Built<Table>>(Table::kName,
                                 [&] { return Verified<Table>(ds, std::move(table), bytes_per_entry); });
    }
}

template <class Table>
void BM_FindPresent(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    Built<Table>& b = Fixture<Table>(ds);
    const Table& table = *b.table;
    const KeySet& probes = ds.probes;
    const std::size_t n = probes.size();
    std::size_t j = b.present_cursor;
    for (auto _ : state) {
        const std::uint64_t* v = table.Find(probes[j]);
        if (v == nullptr) [[unlikely]] {
            zkbench::Fail(std::string(Table::kName) + " misses " + zkbench::Printable(probes[j]) + " of " + ds.name);
        }
        benchmark::DoNotOptimize(*v);
        if (++j == n) j = 0;
    }
    b.present_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
}

template <class Table>
void BM_FindAbsent(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    Built<Table>& b = Fixture<Table>(ds);
    const Table& table = *b.table;
    const KeySet& absent = ds.absent;
    const std::size_t n = absent.size();
    if (n == 0) {
        state.SkipWithError("the dataset has no absent keys");
        return;
    }
    std::size_t j = b.absent_cursor;
    for (auto _ : state) {
        const std::uint64_t* v = table.Find(absent[j]);
        if (v != nullptr) [[unlikely]] {
            zkbench::Fail(std::string(Table::kName) + " finds the absent key " + zkbench::Printable(absent[j]) +
                          " in " + ds.name);
        }
        benchmark::DoNotOptimize(v);
        if (++j == n) j = 0;
    }
    b.absent_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
}

template <class Table>
void Register(const std::string& dataset, bool huge) {
    const std::string suffix = "/" + dataset + "/" + Table::kName;
    auto* insert = benchmark::RegisterBenchmark(("insert" + suffix).c_str(), BM_Insert<Table>, dataset, huge);
    insert->Unit(benchmark::kMillisecond);
    if (huge) {
        // One build of 10M keys takes seconds and gigabytes; a single one is a steady enough figure.
        insert->Iterations(1);
    } else {
        // A single build of 1M keys already passes the default half second, and one build in a fresh
        // heap spends much of its time faulting pages in; several iterations settle the figure.
        insert->MinTime(2.0);
    }
}

template <class Table>
void RegisterFinds(const std::string& op, void (*fn)(benchmark::State&, const std::string&),
                   const std::string& dataset) {
    benchmark::RegisterBenchmark((op + "/" + dataset + "/" + Table::kName).c_str(), fn, dataset)
        ->Unit(benchmark::kNanosecond);
}

void RegisterDataset(const std::string& dataset, bool huge) {
    Register<OurTable>(dataset, huge);
    Register<AbslTable>(dataset, huge);
    Register<StdTable>(dataset, huge);
    RegisterFinds<OurTable>("find_present", BM_FindPresent<OurTable>, dataset);
    RegisterFinds<AbslTable>("find_present", BM_FindPresent<AbslTable>, dataset);
    RegisterFinds<StdTable>("find_present", BM_FindPresent<StdTable>, dataset);
    RegisterFinds<OurTable>("find_absent", BM_FindAbsent<OurTable>, dataset);
    RegisterFinds<AbslTable>("find_absent", BM_FindAbsent<AbslTable>, dataset);
    RegisterFinds<StdTable>("find_absent", BM_FindAbsent<StdTable>, dataset);
}

}  // namespace

int main(int argc, char** argv) {
    ZKDictInit();
    constexpr const char* kWords = "/usr/share/dict/words";

    Datasets::Define("rand1M", [] { return zkbench::MakeRandomDataset("rand1M", 1'000'000, 0x5EED0001); });
    Datasets::Define("rand10M", [] { return zkbench::MakeRandomDataset("rand10M", 10'000'000, 0x5EED0010); });
    Datasets::Define("words", [=] { return zkbench::LoadWordList("words", kWords, 0x5EED0100); });

    RegisterDataset("rand1M", false);
    RegisterDataset("rand10M", true);
    if (access(kWords, R_OK) == 0) {
        RegisterDataset("words", false);
    } else {
        std::fprintf(stderr, "hashtable_bench: %s is missing; the words dataset is skipped\n", kWords);
    }
    return zkbench::RunAndCompare(argc, argv, OurTable::kName);
}
