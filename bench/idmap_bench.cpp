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
#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/idmap.h"
#include "bench/support/alloc_count.h"
#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/loops.h"
#include "bench/support/report.h"

namespace {

using zkbench::Built;
using zkbench::Datasets;
using zkbench::Probe;

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
struct IntDataset : zkbench::BasicDataset<std::vector<K>> {
    std::vector<std::vector<K>> refills;  // kRefillSets sets of kRefillKeys, neither present nor absent
};

template <class K>
std::unique_ptr<IntDataset<K>> MakeDataset(const std::string& name, std::size_t n, std::uint64_t seed) {
    auto ds = std::make_unique<IntDataset<K>>();
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
    ds->probe_index = zkbench::ShuffledOrder(n, rng);
    ds->probes = zkbench::Permuted(ds->keys, ds->probe_index);
    return ds;
}

template <class K>
void DefineDataset(const std::string& name, std::size_t n, std::uint64_t seed) {
    Datasets::Define(name, [=] { return MakeDataset<K>(name, n, seed); });
}

template <class Map>
IntDataset<typename Map::Key>& DatasetOf(const std::string& name) {
    return Datasets::Get<IntDataset<typename Map::Key>>(name);
}

// ---- the structures ---------------------------------------------------------------------------------

// Ours, both widths, behind the same small interface as the peers. Find answers the sentinel for a
// missing key.
template <class M>
class OurMap {
    using Ops = zkadapt::IntMapOps<M>;

public:
    static constexpr const char* kName = Ops::kName;
    using Key = typename Ops::Key;

    OurMap() : m_(Ops::New()) {}
    ~OurMap() { Ops::Delete(m_); }
    OurMap(const OurMap&) = delete;
    OurMap& operator=(const OurMap&) = delete;

    bool Insert(Key key, Key value) {
        Boolean added;
        Ops::Find(m_, key, value, Ops::kNone, &added);
        return added == TRUE;
    }
    Key Find(Key key) { return Ops::Find(m_, key, Ops::kNone, Ops::kNone, nullptr); }
    void FindMany(std::size_t n, const Key* keys, Key* values) const {
        if (!Ops::FindMany(m_, UInt(n), keys, values)) zkbench::Fail(std::string(kName) + "FindMany failed");
    }
    void Clear() { Ops::Clear(m_); }
    std::size_t Size() const { return Ops::Size(m_); }
    // Our blocks do not come from operator new, and we know them exactly.
    double Bytes(std::int64_t /*heap_delta*/) const {
        // The slot table carries a tag byte per slot, and 16 more.
        return static_cast<double>(m_->m_allocated) * (sizeof(typename Ops::Entry) + 1) + 16 +
               4.0 * m_->m_used.capacity + sizeof(M);
    }

private:
    M* m_;
};

using OurIdMap = OurMap<IdMap>;
using OurRefMap = OurMap<RefMap>;

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

// ---- the benchmarks ---------------------------------------------------------------------------------

// What a map answers for key, for the checks made before anything is timed.
struct FoundValue {
    template <class Map>
    std::optional<std::uint64_t> operator()(Map& map, typename Map::Key key) const {
        const auto v = map.Find(key);
        return v != kSentinel<typename Map::Key> ? std::optional<std::uint64_t>(v) : std::nullopt;
    }
};

template <class Map>
void BM_Insert(benchmark::State& state, const std::string& dataset, bool adopt) {
    zkbench::InsertRow<Map>(state, DatasetOf<Map>(dataset), adopt, FoundValue{});
}

// The shuffled present keys or the absent ones, each answer checked.
template <class Map, Probe kProbe>
void BM_Find(benchmark::State& state, const std::string& dataset) {
    using Key = typename Map::Key;
    auto& ds = DatasetOf<Map>(dataset);
    Built<Map>& b = zkbench::LookupFixture<Map>(ds, FoundValue{});
    Map& map = *b.structure;
    const std::vector<Key>& set = kProbe == Probe::kPresent ? ds.probes : ds.absent;
    const Key* keys = set.data();
    zkbench::FindLoop<kProbe>(state, set.size(), b.cursors, [&](std::size_t j) {
        const Key v = map.Find(keys[j]);
        if (zkbench::Wrong<kProbe>(v != kSentinel<Key>)) [[unlikely]] {
            zkbench::WrongAnswer<kProbe>(Map::kName, keys[j], ds.name);
        }
        benchmark::DoNotOptimize(v);
    });
}

// Ours through the batch call, the peers, which have none, one key after another. With present, the
// shuffled present keys, each answer checked; otherwise the absent keys.
template <class Map>
void BM_FindBatch(benchmark::State& state, const std::string& dataset, bool present) {
    using Key = typename Map::Key;
    constexpr std::size_t kBatch = zkbench::kFindBatch;
    auto& ds = DatasetOf<Map>(dataset);
    Built<Map>& b = zkbench::LookupFixture<Map>(ds, FoundValue{});
    Map& map = *b.structure;
    const std::vector<Key>& keys = present ? ds.probes : ds.absent;
    Key values[kBatch];
    zkbench::BatchLoop(state, keys.size(), present, b.cursors, [&](std::size_t j) {
        if constexpr (requires { map.FindMany(kBatch, keys.data(), values); }) {
            map.FindMany(kBatch, keys.data() + j, values);
        } else {
            for (std::size_t i = 0; i < kBatch; ++i) values[i] = map.Find(keys[j + i]);
        }
        for (std::size_t i = 0; i < kBatch; ++i) {
            if (present ? values[i] != Key(ds.probe_index[j + i]) : values[i] != kSentinel<Key>) [[unlikely]] {
                zkbench::Fail(std::string(Map::kName) + " answers " + std::to_string(keys[j + i]) +
                              " wrongly in a batch of " + ds.name);
            }
        }
    });
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
    auto& ds = DatasetOf<Map>(dataset);
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
    zkbench::BuildRow(zkbench::AddRow("insert", dataset, Map::kName, BM_Insert<Map>, dataset, huge), huge, 0.5);
}

// Lookups miss the cache at these sizes, and a machine shared with builds makes memory latency drift
// over seconds: three short runs and their median.
template <class Map>
void RegisterFinds(const std::string& dataset) {
    const auto add = [&](const char* op, auto fn, auto... args) {
        zkbench::AddRow(op, dataset, Map::kName, fn, dataset, args...)->MinTime(0.1)->Repetitions(3);
    };
    add("find_present", BM_Find<Map, Probe::kPresent>);
    add("find_absent", BM_Find<Map, Probe::kAbsent>);
    add("find_present_batch", BM_FindBatch<Map>, true);
    add("find_absent_batch", BM_FindBatch<Map>, false);
}

template <class Map>
void RegisterClearRefill(const std::string& dataset) {
    zkbench::AddRow("clear_refill", dataset, Map::kName, BM_ClearRefill<Map>, dataset)
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

zkbench::Comparison zkbench::RegisterBenchmarks() {
    DefineDataset<std::uint32_t>("rand1M", 1'000'000, 0x1D0001);
    DefineDataset<std::uint64_t>("rand1M_64", 1'000'000, 0x1D0064);
    DefineDataset<std::uint32_t>("rand10M", 10'000'000, 0x1D0010);
    DefineDataset<std::uint64_t>("rand10M_64", 10'000'000, 0x1D1064);

    RegisterDataset<OurIdMap, Absl32, Std32>("rand1M", false);
    RegisterDataset<OurRefMap, Absl64, Std64>("rand1M_64", false);
    RegisterDataset<OurIdMap, Absl32, Std32>("rand10M", true);
    RegisterDataset<OurRefMap, Absl64, Std64>("rand10M_64", true);
    return Comparison::AgainstEveryPeer({OurIdMap::kName, OurRefMap::kName});
}
