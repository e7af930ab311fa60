/*
 * trees_bench: the ordered dictionaries (AVLDict, RBDict with 32-bit keys and values; AVLLDict with
 * 64-bit ones) against std::map and absl::btree_map of the same widths, on the same keys.
 *
 * Datasets: 1M and 10M distinct random keys, and 1M sequential keys (0, 2, 4, ...) inserted in
 * increasing order. Each dataset also has as many absent keys (odd ones for the sequential set),
 * shuffled, and a shuffled order of the present keys. Operations, each timed per key:
 *   insert        every key, in dataset order, into a new structure: ours from the default capacity,
 *                 doubling as it fills, the peers default-constructed;
 *   find          the present keys in shuffled order, reading the value;
 *   find_absent   the absent keys;
 *   nearest       the smallest key not below an absent key: FindNearest with rounding mode 1 for
 *                 ours (RBDict has none), lower_bound for the peers;
 *   remove        every key in shuffled order, from a full structure (building it is not timed);
 *   enumerate     a full in-order walk summing the values: ours through the exported enumeration
 *                 with a callback, the peers with an iterator loop.
 * Memory per key (the insert rows, bytes_per_key): ours counts the node array's bytes in use
 * (d_free nodes; the rest of the mapping is never touched, so it is not resident) plus the record;
 * the peers count the heap bytes they hold through operator new, at the allocator's usable sizes.
 *
 * The tables compare AVLDict and RBDict with the 32-bit peers and AVLLDict with the 64-bit ones.
 */
#include <absl/container/btree_map.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "adapters/trees.h"
#include "bench/support/alloc_count.h"
#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/report.h"

namespace {

using zkbench::Fail;

// ---- datasets ---------------------------------------------------------------------------------------

struct Dataset {
    std::string name;
    std::vector<std::uint32_t> keys32, absent32;  // present keys in insertion order; absent keys
    std::vector<std::uint64_t> keys64, absent64;
    std::vector<std::uint32_t> order;             // the present keys' positions, shuffled
    // The present keys in that shuffled order, so that probing reads them in sequence: looking each
    // one up through order would add a cache miss per probe to every structure alike.
    std::vector<std::uint32_t> probes32;
    std::vector<std::uint64_t> probes64;
    std::map<std::string, std::shared_ptr<void>> fixtures;  // built structures, by name
};

// Distinct random keys of the width, and as many more distinct from them, from one generator.
template <class Key>
void RandomKeys(zkbench::Rng& rng, std::size_t n, std::vector<Key>* present, std::vector<Key>* absent) {
    std::vector<Key> all;
    all.reserve(2 * n + 2 * n / 8);
    while (true) {
        while (all.size() < 2 * n + n / 8) all.push_back(static_cast<Key>(rng.Next()));
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        if (all.size() >= 2 * n) break;
    }
    all.resize(2 * n);
    rng.Shuffle(all);
    present->assign(all.begin(), all.begin() + n);
    absent->assign(all.begin() + n, all.end());
}

void FinishDataset(Dataset& ds, zkbench::Rng& rng) {
    ds.order.resize(ds.keys32.size());
    for (std::uint32_t i = 0; i < ds.order.size(); ++i) ds.order[i] = i;
    rng.Shuffle(ds.order);
    for (std::uint32_t i : ds.order) {
        ds.probes32.push_back(ds.keys32[i]);
        ds.probes64.push_back(ds.keys64[i]);
    }
}

std::unique_ptr<Dataset> MakeRandom(const std::string& name, std::size_t n, std::uint64_t seed) {
    auto ds = std::make_unique<Dataset>();
    ds->name = name;
    zkbench::Rng rng(seed);
    RandomKeys(rng, n, &ds->keys32, &ds->absent32);
    RandomKeys(rng, n, &ds->keys64, &ds->absent64);
    FinishDataset(*ds, rng);
    return ds;
}

std::unique_ptr<Dataset> MakeSequential(const std::string& name, std::size_t n, std::uint64_t seed) {
    auto ds = std::make_unique<Dataset>();
    ds->name = name;
    zkbench::Rng rng(seed);
    for (std::size_t i = 0; i < n; ++i) {
        ds->keys32.push_back(static_cast<std::uint32_t>(2 * i));
        ds->absent32.push_back(static_cast<std::uint32_t>(2 * i + 1));
        ds->keys64.push_back(2 * i);
        ds->absent64.push_back(2 * i + 1);
    }
    rng.Shuffle(ds->absent32);
    rng.Shuffle(ds->absent64);
    FinishDataset(*ds, rng);
    return ds;
}

// One dataset alive at a time, with its fixtures, so the peak memory is that of the largest one.
using Datasets = zkbench::DatasetsOf<Dataset>;

// Of a dataset's two vectors, the one of Key's width.
template <class Key>
const std::vector<Key>& OfWidth(const std::vector<std::uint32_t>& narrow, const std::vector<std::uint64_t>& wide) {
    if constexpr (std::is_same_v<Key, std::uint32_t>) {
        return narrow;
    } else {
        return wide;
    }
}
template <class Key>
const std::vector<Key>& Keys(const Dataset& ds) { return OfWidth<Key>(ds.keys32, ds.keys64); }
template <class Key>
const std::vector<Key>& Probes(const Dataset& ds) { return OfWidth<Key>(ds.probes32, ds.probes64); }
template <class Key>
const std::vector<Key>& Absent(const Dataset& ds) { return OfWidth<Key>(ds.absent32, ds.absent64); }

// ---- the structures ---------------------------------------------------------------------------------

// Values are positions in the dataset, so this marker never collides with one.
template <class Key>
constexpr Key kNone = static_cast<Key>(~std::uint64_t{0});

template <class Key>
Boolean AddValue(Key value, void* arg) {
    *static_cast<std::uint64_t*>(arg) += value;
    return TRUE;
}

// One of ours through the tree adapter, owning its dictionary. RBDict has a nearest search too, but
// kNearest leaves it out of the tables: they keep the rows they have always had, so that runs compare
// row by row.
template <class Ops, bool kNearest>
class Ours {
public:
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    static constexpr const char* kName = Ops::kName;
    static constexpr bool kHasNearest = kNearest;
    Ours() : d_(Ops::New(0)) {}
    ~Ours() { Ops::Delete(d_); }
    Ours(const Ours&) = delete;
    Ours& operator=(const Ours&) = delete;
    void Insert(Key k, Key v) { Ops::Insert(d_, k, v, kNone<Key>); }
    Key Find(Key k) { return Ops::Find(d_, k, kNone<Key>); }
    // The smallest key not below k, or kNone. AVLLDict's key 0 is "none": the datasets' absent probes
    // are never below every key in practice, and the verification pass would catch one that is.
    Key LowerBound(Key k) {
        if constexpr (Ops::kNearestZeroIsNone) {
            Key found = Ops::FindNearest(d_, k, 1);
            return found != 0 ? found : kNone<Key>;
        } else {
            Value* value;
            Key found = Ops::FindNearest(d_, k, 1, &value);
            return value != nullptr ? found : kNone<Key>;
        }
    }
    bool Remove(Key k) { return Ops::Remove(d_, k, kNone<Key>) != kNone<Key>; }
    std::uint64_t Sum() {
        std::uint64_t sum = 0;
        Ops::Enumerate(d_, FALSE, [](typename Ops::Dict*, Key, Value v, void* a) { return AddValue(v, a); }, &sum);
        return sum;
    }
    std::size_t Size() const { return Ops::Size(d_); }
    double Bytes(std::int64_t) const {
        return double(d_->d_free) * sizeof(typename Ops::Node) + sizeof(typename Ops::Dict);
    }

private:
    typename Ops::Dict* d_;
};

using AvlDict32 = Ours<zkadapt::AvlDictOps, true>;
using RbDict32 = Ours<zkadapt::RbDictOps, false>;
using AvlLDict64 = Ours<zkadapt::AvlLDictOps, true>;

template <class Map, const char* Name>
class Peer {
public:
    using Key = typename Map::key_type;
    static constexpr const char* kName = Name;
    static constexpr bool kHasNearest = true;
    void Insert(Key k, Key v) { m_.emplace(k, v); }
    Key Find(Key k) const {
        auto it = m_.find(k);
        return it == m_.end() ? kNone<Key> : it->second;
    }
    Key LowerBound(Key k) const {
        auto it = m_.lower_bound(k);
        return it == m_.end() ? kNone<Key> : it->first;
    }
    bool Remove(Key k) { return m_.erase(k) != 0; }
    std::uint64_t Sum() const {
        std::uint64_t sum = 0;
        for (const auto& [k, v] : m_) sum += v;
        return sum;
    }
    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return double(heap_delta) + sizeof(Peer); }

private:
    Map m_;
};

constexpr char kStdMap32[] = "std_map32";
constexpr char kBtree32[] = "absl_btree32";
constexpr char kStdMap64[] = "std_map64";
constexpr char kBtree64[] = "absl_btree64";
using StdMap32 = Peer<std::map<std::uint32_t, std::uint32_t>, kStdMap32>;
using Btree32 = Peer<absl::btree_map<std::uint32_t, std::uint32_t>, kBtree32>;
using StdMap64 = Peer<std::map<std::uint64_t, std::uint64_t>, kStdMap64>;
using Btree64 = Peer<absl::btree_map<std::uint64_t, std::uint64_t>, kBtree64>;

// ---- building and verifying ---------------------------------------------------------------------------

// Builds start from a consolidated heap (zkbench::ReleaseFreeHeap). Structures freed earlier leave
// their nodes on the allocator's free lists in whatever order they were freed, and a node-based peer
// built from those lists would have its nodes scattered: a handicap that a fresh process does not have.

template <class T>
std::unique_ptr<T> Build(const Dataset& ds, double* bytes_per_key) {
    const auto& keys = Keys<typename T::Key>(ds);
    const std::int64_t before = zkbench::LiveHeapBytes();
    auto t = std::make_unique<T>();
    for (std::size_t i = 0; i < keys.size(); ++i) t->Insert(keys[i], static_cast<typename T::Key>(i));
    if (t->Size() != keys.size()) Fail(std::string(T::kName) + " lost keys of " + ds.name);
    *bytes_per_key = t->Bytes(zkbench::LiveHeapBytes() - before) / double(keys.size());
    return t;
}

// Every answer is checked once, untimed, before any is measured: a fast wrong answer is no result.
template <class T>
void Verify(const Dataset& ds, T& t) {
    using Key = typename T::Key;
    const auto& keys = Keys<Key>(ds);
    const auto& absent = Absent<Key>(ds);
    for (std::uint32_t i : ds.order) {
        if (t.Find(keys[i]) != Key(i)) Fail(std::string(T::kName) + " misses a key of " + ds.name);
    }
    for (Key k : absent) {
        if (t.Find(k) != kNone<Key>) Fail(std::string(T::kName) + " finds an absent key of " + ds.name);
    }
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) expected += i;
    if (t.Sum() != expected) Fail(std::string(T::kName) + " enumerates wrongly on " + ds.name);
    if (T::kHasNearest) {
        std::vector<Key> sorted(keys);
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t j = 0; j < absent.size(); j += 7) {
            auto it = std::lower_bound(sorted.begin(), sorted.end(), absent[j]);
            if (t.LowerBound(absent[j]) != (it == sorted.end() ? kNone<Key> : *it)) {
                Fail(std::string(T::kName) + " finds a wrong nearest key in " + ds.name);
            }
        }
    }
}

template <class T>
struct Built {
    std::unique_ptr<T> t;
    std::size_t cursor = 0;  // where the next find run starts, so repeated runs do not replay warm keys
};

template <class T>
Built<T>& Fixture(Dataset& ds) {
    auto it = ds.fixtures.find(T::kName);
    if (it == ds.fixtures.end()) {
        auto b = std::make_shared<Built<T>>();
        double bytes;
        zkbench::ReleaseFreeHeap();
        b->t = Build<T>(ds, &bytes);
        Verify(ds, *b->t);
        it = ds.fixtures.emplace(T::kName, b).first;
    }
    return *static_cast<Built<T>*>(it->second.get());
}

// ---- benchmarks ---------------------------------------------------------------------------------------

template <class T>
void BM_Insert(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    double bytes_per_key = 0;
    std::unique_ptr<T> t;
    for (auto _ : state) {
        // Each build starts from the heap the previous one gave back, as repeated builds in one
        // process would; releasing is not timed.
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
        t = Build<T>(ds, &bytes_per_key);
    }
    zkbench::SetPerKeyCounters(state, ds.keys32.size());
    state.counters["bytes_per_key"] = bytes_per_key;
}

// One lookup(t, key) an iteration, over keys in turn, going on where the previous run on the same
// structure stopped.
template <class T, class Lookup>
void RunLookups(benchmark::State& state, const std::string& dataset,
                const std::vector<typename T::Key>& (*keysOf)(const Dataset&), Lookup lookup) {
    Dataset& ds = Datasets::Get(dataset);
    Built<T>& b = Fixture<T>(ds);
    T& t = *b.t;
    const auto& keys = keysOf(ds);
    const std::size_t n = keys.size();
    std::size_t j = b.cursor % n;
    for (auto _ : state) {
        typename T::Key v = lookup(t, keys[j]);
        benchmark::DoNotOptimize(v);
        if (++j == n) j = 0;
    }
    b.cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
}

template <class T>
void BM_Find(benchmark::State& state, const std::string& dataset) {
    RunLookups<T>(state, dataset, Probes<typename T::Key>, [](T& t, typename T::Key k) { return t.Find(k); });
}

template <class T>
void BM_FindAbsent(benchmark::State& state, const std::string& dataset) {
    RunLookups<T>(state, dataset, Absent<typename T::Key>, [](T& t, typename T::Key k) { return t.Find(k); });
}

template <class T>
void BM_Nearest(benchmark::State& state, const std::string& dataset) {
    RunLookups<T>(state, dataset, Absent<typename T::Key>, [](T& t, typename T::Key k) { return t.LowerBound(k); });
}

template <class T>
void BM_Enumerate(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    T& t = *Fixture<T>(ds).t;
    for (auto _ : state) {
        std::uint64_t sum = t.Sum();
        benchmark::DoNotOptimize(sum);
    }
    zkbench::SetPerKeyCounters(state, ds.order.size());
}

template <class T>
void BM_Remove(benchmark::State& state, const std::string& dataset) {
    using Key = typename T::Key;
    Dataset& ds = Datasets::Get(dataset);
    const auto& keys = Keys<Key>(ds);
    for (auto _ : state) {
        state.PauseTiming();
        double bytes;
        zkbench::ReleaseFreeHeap();
        std::unique_ptr<T> t = Build<T>(ds, &bytes);
        state.ResumeTiming();
        for (Key k : Probes<Key>(ds)) {
            if (!t->Remove(k)) [[unlikely]] Fail(std::string(T::kName) + " cannot remove a key of " + ds.name);
        }
        state.PauseTiming();
        if (t->Size() != 0) Fail(std::string(T::kName) + " is not empty after removing every key");
        t.reset();
        state.ResumeTiming();
    }
    zkbench::SetPerKeyCounters(state, keys.size());
}

template <class T>
void Register(const std::string& dataset, bool huge) {
    const std::string suffix = "/" + dataset + "/" + T::kName;
    auto* insert = benchmark::RegisterBenchmark(("insert" + suffix).c_str(), BM_Insert<T>, dataset);
    auto* remove = benchmark::RegisterBenchmark(("remove" + suffix).c_str(), BM_Remove<T>, dataset);
    for (auto* b : {insert, remove}) {
        b->Unit(benchmark::kMillisecond);
        // A 10M-key build takes seconds and gigabytes: one is a steady enough figure. Smaller builds
        // repeat a few times, as a first build spends much of its time faulting pages in.
        if (huge) {
            b->Iterations(1);
        } else {
            b->Iterations(4);
        }
    }
    benchmark::RegisterBenchmark(("find" + suffix).c_str(), BM_Find<T>, dataset);
    benchmark::RegisterBenchmark(("find_absent" + suffix).c_str(), BM_FindAbsent<T>, dataset);
    if (T::kHasNearest) benchmark::RegisterBenchmark(("nearest" + suffix).c_str(), BM_Nearest<T>, dataset);
    benchmark::RegisterBenchmark(("enumerate" + suffix).c_str(), BM_Enumerate<T>, dataset)
        ->Unit(benchmark::kMillisecond);
}

void RegisterDataset(const std::string& dataset, bool huge) {
    Register<AvlDict32>(dataset, huge);
    Register<RbDict32>(dataset, huge);
    Register<StdMap32>(dataset, huge);
    Register<Btree32>(dataset, huge);
    Register<AvlLDict64>(dataset, huge);
    Register<StdMap64>(dataset, huge);
    Register<Btree64>(dataset, huge);
}

}  // namespace

zkbench::Comparison zkbench::RegisterBenchmarks() {
    Datasets::Define("rand1M", [] { return MakeRandom("rand1M", 1'000'000, 0x7EE50001); });
    Datasets::Define("seq1M", [] { return MakeSequential("seq1M", 1'000'000, 0x7EE50002); });
    Datasets::Define("rand10M", [] { return MakeRandom("rand10M", 10'000'000, 0x7EE50010); });
    RegisterDataset("rand1M", false);
    RegisterDataset("seq1M", false);
    RegisterDataset("rand10M", true);
    return Comparison::Pairwise({{AvlDict32::kName, {StdMap32::kName, Btree32::kName, RbDict32::kName}},
                                 {RbDict32::kName, {StdMap32::kName, Btree32::kName}},
                                 {AvlLDict64::kName, {StdMap64::kName, Btree64::kName}}});
}
