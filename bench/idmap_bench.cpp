/*
 * idmap_bench: IdMap against absl::flat_hash_map<uint32_t, uint32_t> and
 * std::unordered_map<uint32_t, uint32_t>, and RefMap against the same two maps on uint64_t.
 *
 * Datasets: 1M and 10M random keys at each width, never the sentinel: rand1M and rand10M for IdMap
 * and its 32-bit peers, rand1M_64 and rand10M_64 for RefMap and its 64-bit peers. The peers carry the
 * same names at both widths; the dataset tells which width a row measures, so each row compares a map
 * of ours with the peers of its own width.
 *
 * Operations:
 *   insert        every key with the value of its position, from a new empty map, growing as it goes
 *                 (the peers default-constructed, without reserve), per key;
 *   find_present  the same keys in shuffled order, reading the value found, per key;
 *   find_absent   keys drawn from the same generator that are not in the map, per key;
 *   find_present_batch, find_absent_batch  the same keys by batches of 64, ours through the batch
 *                 lookup call, the peers (which have none) one key after another, per key;
 *   clear_refill  (1M datasets) a map that once held every key of the dataset, then cycles of clear()
 *                 and 10k fresh keys inserted, per inserted key (so the clear is spread over the 10k
 *                 keys of its cycle).
 * Memory per entry: on the insert rows, ours counts its own blocks (slot table, m_used, record), the
 * peers what they hold through operator new; on the clear_refill rows the same, per live entry at the
 * end of the last cycle, which shows what keeping the capacity costs.
 *
 * The peers are used as their users write them: try_emplace to insert (keeping the value of a key
 * already present, as IdMapFind with update NOID does), find() to look up, clear() to empty.
 */
#include "bench/bench_common.h"

#include <absl/container/flat_hash_map.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dict/idmap.h"

namespace {

// ---- keys -------------------------------------------------------------------------------------------

// The sentinel of each width: never a key, and what a lookup answers for a missing one.
template <class K>
constexpr K kSentinel = K();
template <>
constexpr std::uint32_t kSentinel<std::uint32_t> = NOID;
template <>
constexpr std::uint64_t kSentinel<std::uint64_t> = NOREF;

// Random keys that never repeat, so that no filter is needed: each generator is a bijection applied
// to a counter, and no two draws meet before the counter wraps, far beyond these datasets. The
// sentinel is skipped where it comes up.
template <class K>
class KeyStream;

// A counter stepped by an odd constant, then an xorshift-multiply mix; every step is invertible.
template <>
class KeyStream<std::uint32_t> {
public:
    explicit KeyStream(std::uint64_t seed) : state_(static_cast<std::uint32_t>(seed ^ (seed >> 32))) {}
    std::uint32_t Next() {
        for (;;) {
            std::uint32_t x = (state_ += 0x9E3779B9u);
            x ^= x >> 16;
            x *= 0x21F0AAADu;
            x ^= x >> 15;
            x *= 0x735A2D97u;
            x ^= x >> 15;
            if (x != kSentinel<std::uint32_t>) return x;
        }
    }

private:
    std::uint32_t state_;
};

// splitmix64 is already such a bijection of its counter.
template <>
class KeyStream<std::uint64_t> {
public:
    explicit KeyStream(std::uint64_t seed) : rng_(seed) {}
    std::uint64_t Next() {
        for (;;) {
            const std::uint64_t x = rng_.Next();
            if (x != kSentinel<std::uint64_t>) return x;
        }
    }

private:
    zkbench::Rng rng_;
};

// ---- datasets ---------------------------------------------------------------------------------------

// The refill cycles rotate through several key sets, so that no cycle meets the keys (and the slots)
// of the one before it.
constexpr std::size_t kRefillKeys = 10'000;
constexpr std::size_t kRefillSets = 16;

template <class K>
struct IntDataset {
    std::string name;
    std::vector<K> keys;                    // insertion order; key i carries the value i
    std::vector<K> probes;                  // the same keys shuffled: probes[j] is keys[probe_index[j]]
    std::vector<std::uint32_t> probe_index; // see probes
    std::vector<K> absent;                  // as many keys, none of them in keys
    std::vector<std::vector<K>> refills;    // kRefillSets sets of kRefillKeys, in neither of the above

    // The structure built by build() under label, made on first use and kept with the dataset.
    template <class T, class Build>
    T& Fixture(const std::string& label, Build&& build) {
        return fixtures.Get<T>(label, std::forward<Build>(build));
    }

    zkbench::FixtureStore fixtures;  // last: the fixtures go before the keys they were built from
};

template <class K>
std::shared_ptr<IntDataset<K>> MakeDataset(const std::string& name, std::size_t n, std::uint64_t seed) {
    auto ds = std::make_shared<IntDataset<K>>();
    ds->name = name;
    // One stream for every key of the dataset, so present, absent and refill keys are all distinct.
    KeyStream<K> stream(seed);
    ds->keys.resize(n);
    for (K& k : ds->keys) k = stream.Next();
    ds->absent.resize(n);
    for (K& k : ds->absent) k = stream.Next();
    ds->refills.resize(kRefillSets);
    for (std::vector<K>& set : ds->refills) {
        set.resize(kRefillKeys);
        for (K& k : set) k = stream.Next();
    }
    zkbench::Rng rng(seed ^ 0xA5A5A5A5A5A5A5A5ull);
    ds->probe_index.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) ds->probe_index[i] = i;
    rng.Shuffle(ds->probe_index);
    ds->probes.resize(n);
    for (std::size_t j = 0; j < n; ++j) ds->probes[j] = ds->keys[ds->probe_index[j]];
    return ds;
}

// Datasets by name at either width, made on first use, one alive at a time (as zkbench::Datasets).
class IntDatasets {
public:
    template <class K>
    static void Define(const std::string& name, std::size_t n, std::uint64_t seed) {
        Instance().makers_[name] = {sizeof(K), [=] { return std::shared_ptr<void>(MakeDataset<K>(name, n, seed)); }};
    }

    template <class K>
    static IntDataset<K>& Get(const std::string& name) {
        IntDatasets& self = Instance();
        auto it = self.makers_.find(name);
        if (it == self.makers_.end()) zkbench::Fail("no dataset named " + name);
        if (it->second.first != sizeof(K)) zkbench::Fail("dataset " + name + " has keys of another width");
        if (self.current_ && self.current_name_ == name) return *static_cast<IntDataset<K>*>(self.current_.get());
        self.current_.reset();
        std::fprintf(stderr, "zkbench: building dataset %s ...", name.c_str());
        std::fflush(stderr);
        const auto start = std::chrono::steady_clock::now();
        self.current_ = it->second.second();
        self.current_name_ = name;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        auto& ds = *static_cast<IntDataset<K>*>(self.current_.get());
        std::fprintf(stderr, " %zu keys, %zu absent, %.1f s\n", ds.keys.size(), ds.absent.size(), took.count());
        return ds;
    }

private:
    static IntDatasets& Instance() {
        static IntDatasets d;
        return d;
    }
    std::map<std::string, std::pair<std::size_t, std::function<std::shared_ptr<void>()>>> makers_;
    std::shared_ptr<void> current_;
    std::string current_name_;
};

// ---- the structures ---------------------------------------------------------------------------------

// Ours, both widths, behind the same small interface as the peers. Find answers the sentinel for a
// missing key.
class OurIdMap {
public:
    static constexpr const char* kName = "IdMap";
    using Key = Id;

    OurIdMap() : m_(IdMapNew()) {}
    ~OurIdMap() { IdMapDelete(m_); }
    OurIdMap(const OurIdMap&) = delete;
    OurIdMap& operator=(const OurIdMap&) = delete;

    bool Insert(Key key, Key value) {
        Boolean added;
        IdMapFind(m_, key, value, NOID, &added);
        return added == TRUE;
    }
    Key Find(Key key) { return IdMapFind(m_, key, NOID, NOID, nullptr); }
    void FindMany(std::size_t n, const Key* keys, Key* values) const {
        if (!IdMapFindMany(m_, UInt(n), keys, values)) zkbench::Fail("IdMapFindMany failed");
    }
    void Clear() { IdMapClear(m_); }
    std::size_t Size() const { return IdMapSize(m_); }
    // Our blocks do not come from operator new, and we know them exactly.
    double Bytes(std::int64_t /*heap_delta*/) const {
        // The slot table carries a tag byte per slot, and 16 more.
        return static_cast<double>(m_->m_allocated) * (sizeof(IdMapEntry) + 1) + 16 + 4.0 * m_->m_used.capacity +
               sizeof(IdMap);
    }

private:
    IdMap* m_;
};

class OurRefMap {
public:
    static constexpr const char* kName = "RefMap";
    using Key = ULong;

    OurRefMap() : m_(RefMapNew()) {}
    ~OurRefMap() { RefMapDelete(m_); }
    OurRefMap(const OurRefMap&) = delete;
    OurRefMap& operator=(const OurRefMap&) = delete;

    bool Insert(Key key, Key value) {
        Boolean added;
        RefMapFind(m_, key, value, NOREF, &added);
        return added == TRUE;
    }
    Key Find(Key key) { return RefMapFind(m_, key, NOREF, NOREF, nullptr); }
    void FindMany(std::size_t n, const Key* keys, Key* values) const {
        if (!RefMapFindMany(m_, UInt(n), keys, values)) zkbench::Fail("RefMapFindMany failed");
    }
    void Clear() { RefMapClear(m_); }
    std::size_t Size() const { return RefMapSize(m_); }
    double Bytes(std::int64_t /*heap_delta*/) const {
        return static_cast<double>(m_->m_allocated) * (sizeof(RefMapEntry) + 1) + 16 + 4.0 * m_->m_used.capacity +
               sizeof(RefMap);
    }

private:
    RefMap* m_;
};

constexpr char kAbslName[] = "absl_flat_hash_map";
constexpr char kStdName[] = "std_unordered_map";

template <class Map, const char* Name>
class Peer {
public:
    static constexpr const char* kName = Name;
    using Key = typename Map::key_type;

    bool Insert(Key key, Key value) { return m_.try_emplace(key, value).second; }
    Key Find(Key key) const {
        auto it = m_.find(key);
        return it == m_.end() ? kSentinel<Key> : it->second;
    }
    void Clear() { m_.clear(); }
    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return static_cast<double>(heap_delta); }

private:
    Map m_;
};

using Absl32 = Peer<absl::flat_hash_map<std::uint32_t, std::uint32_t>, kAbslName>;
using Std32 = Peer<std::unordered_map<std::uint32_t, std::uint32_t>, kStdName>;
using Absl64 = Peer<absl::flat_hash_map<std::uint64_t, std::uint64_t>, kAbslName>;
using Std64 = Peer<std::unordered_map<std::uint64_t, std::uint64_t>, kStdName>;

static_assert(sizeof(OurIdMap::Key) == sizeof(Absl32::Key) && sizeof(OurRefMap::Key) == sizeof(Absl64::Key),
              "each map of ours is compared with peers of its own width");

// ---- building and checking --------------------------------------------------------------------------

// A map of every key of ds, key i with the value i, and its memory per entry. The map object itself
// is allocated inside the measured span, as its record is part of what ours counts.
template <class Map>
std::unique_ptr<Map> BuildMap(const IntDataset<typename Map::Key>& ds, double* bytes_per_entry) {
    using Key = typename Map::Key;
    const std::vector<Key>& keys = ds.keys;
    const std::int64_t before = zkbench::LiveHeapBytes();
    auto map = std::make_unique<Map>();
    for (std::size_t i = 0; i < keys.size(); ++i) map->Insert(keys[i], static_cast<Key>(i));
    const std::int64_t delta = zkbench::LiveHeapBytes() - before;
    if (map->Size() != keys.size()) {
        zkbench::Fail(std::string(Map::kName) + " holds " + std::to_string(map->Size()) + " entries after " +
                      std::to_string(keys.size()) + " distinct keys of " + ds.name);
    }
    *bytes_per_entry = map->Bytes(delta) / static_cast<double>(keys.size());
    return map;
}

// What the find benchmarks share for one structure and dataset. The cursors carry on where the
// previous run of a benchmark stopped, so the framework's repeated runs do not replay warm keys.
template <class Map>
struct Built {
    std::unique_ptr<Map> map;
    std::size_t present_cursor = 0;
    std::size_t absent_cursor = 0;
};

// Checks every lookup once, in full, before any is timed: a fast wrong answer is no result.
template <class Map>
std::unique_ptr<Built<Map>> Verified(const IntDataset<typename Map::Key>& ds, std::unique_ptr<Map> map) {
    using Key = typename Map::Key;
    for (std::size_t j = 0; j < ds.probes.size(); ++j) {
        const Key v = map->Find(ds.probes[j]);
        if (v != static_cast<Key>(ds.probe_index[j])) {
            zkbench::Fail(std::string(Map::kName) + (v == kSentinel<Key> ? " misses " : " returns a wrong value for ") +
                          std::to_string(ds.probes[j]) + " of " + ds.name);
        }
    }
    for (const Key k : ds.absent) {
        if (map->Find(k) != kSentinel<Key>) {
            zkbench::Fail(std::string(Map::kName) + " finds the absent key " + std::to_string(k) + " in " + ds.name);
        }
    }
    auto b = std::make_unique<Built<Map>>();
    b->map = std::move(map);
    return b;
}

template <class Map>
Built<Map>& Fixture(IntDataset<typename Map::Key>& ds) {
    return ds.template Fixture<Built<Map>>(Map::kName, [&] {
        double bytes_per_entry = 0;
        return Verified<Map>(ds, BuildMap<Map>(ds, &bytes_per_entry));
    });
}

// ---- the benchmarks ---------------------------------------------------------------------------------

// With adopt, the last map built becomes the find benchmarks' fixture, when they have none yet: a
// 10M-key build is too costly to make twice. Only for benchmarks of a fixed iteration count, since a
// map kept from the framework's trial run would sit in the heap through the measured one.
template <class Map>
void BM_Insert(benchmark::State& state, const std::string& dataset, bool adopt) {
    auto& ds = IntDatasets::Get<typename Map::Key>(dataset);
    double bytes_per_entry = 0;
    std::unique_ptr<Map> map;
    for (auto _ : state) {
        // Each build starts from the heap the previous one gave back; releasing is not timed.
        state.PauseTiming();
        map.reset();
        state.ResumeTiming();
        map = BuildMap<Map>(ds, &bytes_per_entry);
        benchmark::DoNotOptimize(map.get());
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
    state.counters["bytes_per_entry"] = bytes_per_entry;
    if (adopt && map) {
        ds.template Fixture<Built<Map>>(Map::kName, [&] { return Verified<Map>(ds, std::move(map)); });
    }
}

template <class Map>
void BM_FindPresent(benchmark::State& state, const std::string& dataset) {
    using Key = typename Map::Key;
    auto& ds = IntDatasets::Get<Key>(dataset);
    Built<Map>& b = Fixture<Map>(ds);
    Map& map = *b.map;
    const Key* probes = ds.probes.data();
    const std::size_t n = ds.probes.size();
    std::size_t j = b.present_cursor;
    for (auto _ : state) {
        const Key v = map.Find(probes[j]);
        if (v == kSentinel<Key>) [[unlikely]] {
            zkbench::Fail(std::string(Map::kName) + " misses " + std::to_string(probes[j]) + " of " + ds.name);
        }
        benchmark::DoNotOptimize(v);
        if (++j == n) j = 0;
    }
    b.present_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
}

template <class Map>
void BM_FindAbsent(benchmark::State& state, const std::string& dataset) {
    using Key = typename Map::Key;
    auto& ds = IntDatasets::Get<Key>(dataset);
    Built<Map>& b = Fixture<Map>(ds);
    Map& map = *b.map;
    const Key* absent = ds.absent.data();
    const std::size_t n = ds.absent.size();
    std::size_t j = b.absent_cursor;
    for (auto _ : state) {
        const Key v = map.Find(absent[j]);
        if (v != kSentinel<Key>) [[unlikely]] {
            zkbench::Fail(std::string(Map::kName) + " finds the absent key " + std::to_string(absent[j]) + " in " +
                          ds.name);
        }
        benchmark::DoNotOptimize(v);
        if (++j == n) j = 0;
    }
    b.absent_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
}

// Lookups by batches of kFindBatch keys, as a caller holding many keys at once makes them: ours
// through the batch call, the peers, which have none, one key after another. With present, the
// shuffled present keys, each answer checked; otherwise the absent keys.
constexpr std::size_t kFindBatch = 64;

template <class Map>
void BM_FindBatch(benchmark::State& state, const std::string& dataset, bool present) {
    using Key = typename Map::Key;
    auto& ds = IntDatasets::Get<Key>(dataset);
    Built<Map>& b = Fixture<Map>(ds);
    Map& map = *b.map;
    const std::vector<Key>& keys = present ? ds.probes : ds.absent;
    const std::size_t n = keys.size() / kFindBatch * kFindBatch;
    std::size_t& cursor = present ? b.present_cursor : b.absent_cursor;
    std::size_t j = cursor / kFindBatch * kFindBatch % n;
    Key values[kFindBatch];
    for (auto _ : state) {
        if constexpr (requires { map.FindMany(kFindBatch, keys.data(), values); }) {
            map.FindMany(kFindBatch, keys.data() + j, values);
        } else {
            for (std::size_t i = 0; i < kFindBatch; ++i) values[i] = map.Find(keys[j + i]);
        }
        for (std::size_t i = 0; i < kFindBatch; ++i) {
            if (present ? values[i] != Key(ds.probe_index[j + i]) : values[i] != kSentinel<Key>) [[unlikely]] {
                zkbench::Fail(std::string(Map::kName) + " answers " + std::to_string(keys[j + i]) +
                              " wrongly in a batch of " + ds.name);
            }
        }
        j += kFindBatch;
        if (j == n) j = 0;
    }
    cursor = j;
    zkbench::SetPerKeyCounters(state, kFindBatch);
}

// A map in the state of one reused for small batches after a large one, as a per-request or
// per-document scratch map is: filled once with every key of the dataset and cleared (not timed).
// Timed, per inserted key: clear() and then kRefillKeys fresh keys, the sets taken in rotation. The
// map is kept with the dataset, so that the framework's repeated runs carry on with it instead of
// building it again; held follows the heap bytes it holds across them.
template <class Map>
struct Refilled {
    std::unique_ptr<Map> map;
    std::int64_t held = 0;
    std::size_t next_set = 0;
};

template <class Map>
void BM_ClearRefill(benchmark::State& state, const std::string& dataset) {
    using Key = typename Map::Key;
    auto& ds = IntDatasets::Get<Key>(dataset);
    Refilled<Map>& r = ds.template Fixture<Refilled<Map>>(std::string("clear_refill ") + Map::kName, [&] {
        auto made = std::make_unique<Refilled<Map>>();
        const std::int64_t before = zkbench::LiveHeapBytes();
        made->map = std::make_unique<Map>();
        for (std::size_t i = 0; i < ds.keys.size(); ++i) made->map->Insert(ds.keys[i], static_cast<Key>(i));
        if (made->map->Size() != ds.keys.size()) zkbench::Fail(std::string(Map::kName) + " lost keys of " + ds.name);
        made->map->Clear();
        made->held = zkbench::LiveHeapBytes() - before;
        return made;
    });
    Map& map = *r.map;
    const std::int64_t before = zkbench::LiveHeapBytes();
    std::size_t set = r.next_set, last = kRefillSets;
    for (auto _ : state) {
        map.Clear();
        const std::vector<Key>& keys = ds.refills[set];
        for (std::size_t i = 0; i < kRefillKeys; ++i) {
            if (!map.Insert(keys[i], static_cast<Key>(i))) [[unlikely]] {
                zkbench::Fail(std::string(Map::kName) + " finds a fresh key after clear()");
            }
        }
        if (map.Size() != kRefillKeys) [[unlikely]] {
            zkbench::Fail(std::string(Map::kName) + " holds " + std::to_string(map.Size()) + " entries after a refill");
        }
        last = set;
        if (++set == kRefillSets) set = 0;
    }
    r.next_set = set;
    r.held += zkbench::LiveHeapBytes() - before;
    // The last cycle's content in full, and a key of an earlier cycle gone (not timed).
    if (last != kRefillSets) {
        for (std::size_t i = 0; i < kRefillKeys; ++i) {
            if (map.Find(ds.refills[last][i]) != static_cast<Key>(i)) {
                zkbench::Fail(std::string(Map::kName) + " lost a refilled key");
            }
        }
    }
    if (map.Find(ds.keys[0]) != kSentinel<Key>) zkbench::Fail(std::string(Map::kName) + " kept a cleared key");
    zkbench::SetPerKeyCounters(state, kRefillKeys);
    state.counters["bytes_per_entry"] = map.Bytes(r.held) / static_cast<double>(kRefillKeys);
}

// ---- registration -----------------------------------------------------------------------------------

template <class Map>
void RegisterMap(const std::string& dataset, bool huge) {
    const std::string suffix = "/" + dataset + "/" + Map::kName;
    auto* insert = benchmark::RegisterBenchmark(("insert" + suffix).c_str(), BM_Insert<Map>, dataset, huge);
    insert->Unit(benchmark::kMillisecond);
    if (huge) {
        // A build of 10M keys takes a second or more and up to half a gigabyte; one is steady enough.
        insert->Iterations(1);
    } else {
        // One build in a fresh heap spends much of its time faulting pages in; several settle it.
        insert->MinTime(0.5);
    }
}

// Lookups miss the cache at these sizes, and a machine shared with builds makes memory latency drift
// over seconds: three short runs and their median.
template <class Map>
void RegisterFinds(const std::string& dataset) {
    const std::string suffix = "/" + dataset + "/" + Map::kName;
    benchmark::RegisterBenchmark(("find_present" + suffix).c_str(), BM_FindPresent<Map>, dataset)
        ->MinTime(0.1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(("find_absent" + suffix).c_str(), BM_FindAbsent<Map>, dataset)
        ->MinTime(0.1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(("find_present_batch" + suffix).c_str(), BM_FindBatch<Map>, dataset, true)
        ->MinTime(0.1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(("find_absent_batch" + suffix).c_str(), BM_FindBatch<Map>, dataset, false)
        ->MinTime(0.1)
        ->Repetitions(3);
}

template <class Map>
void RegisterClearRefill(const std::string& dataset) {
    benchmark::RegisterBenchmark(("clear_refill/" + dataset + "/" + Map::kName).c_str(), BM_ClearRefill<Map>, dataset)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(0.3)
        ->Repetitions(3);
}

template <class Ours, class Absl, class Std>
void RegisterDataset(const std::string& dataset, bool huge) {
    RegisterMap<Ours>(dataset, huge);
    RegisterMap<Absl>(dataset, huge);
    RegisterMap<Std>(dataset, huge);
    RegisterFinds<Ours>(dataset);
    RegisterFinds<Absl>(dataset);
    RegisterFinds<Std>(dataset);
    if (!huge) {
        RegisterClearRefill<Ours>(dataset);
        RegisterClearRefill<Absl>(dataset);
        RegisterClearRefill<Std>(dataset);
    }
}

}  // namespace

int main(int argc, char** argv) {
    IntDatasets::Define<std::uint32_t>("rand1M", 1'000'000, 0x1D0001);
    IntDatasets::Define<std::uint64_t>("rand1M_64", 1'000'000, 0x1D0064);
    IntDatasets::Define<std::uint32_t>("rand10M", 10'000'000, 0x1D0010);
    IntDatasets::Define<std::uint64_t>("rand10M_64", 10'000'000, 0x1D1064);

    RegisterDataset<OurIdMap, Absl32, Std32>("rand1M", false);
    RegisterDataset<OurRefMap, Absl64, Std64>("rand1M_64", false);
    RegisterDataset<OurIdMap, Absl32, Std32>("rand10M", true);
    RegisterDataset<OurRefMap, Absl64, Std64>("rand10M_64", true);
    return zkbench::RunAndCompare(argc, argv, {OurIdMap::kName, OurRefMap::kName});
}
