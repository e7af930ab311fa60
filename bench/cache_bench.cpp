/*
 * cache_bench: the memory cache against what its users would otherwise write or reach for.
 *
 * Peers:
 *   LRU     what users write by hand: std::unordered_map<std::string, std::string> with an LRU list
 *           and a byte budget on key and value bytes, behind one std::mutex;
 *   cuckoo  libcuckoo's concurrent cuckoohash_map<std::string, std::string> holding copies of the
 *           values: an upper bound, with fine-grained locks and no eviction at all.
 *
 * Data: 1M distinct keys of 16 to 32 printable bytes, values of 100 bytes.
 *
 *   100Kstr: 100K keys of the same shape, each in a std::string of its own, as callers usually hold
 *   keys, allocated in shuffled order so that keys next to each other in the stream are not next to
 *   each other in memory; values of 16 bytes. The tree's upper levels and the peers' tables stay in
 *   the processor's caches here, so what a read costs besides the index weighs most.
 *
 * Operations:
 *   mix90, mix50   read-mostly (90 % reads, 10 % stores) and write-heavy (50/50) streams of uniformly
 *                  drawn keys over the preloaded 1M keys, at 1, 2 and 4 threads (dataset "1M_tN"; "100Kstr_tN" over the
 *                  100K keys),
 *                  timed per operation on the wall clock; every read copies the value out. All three
 *                  are sized to hold every key, so no read misses for want of room.
 *   load           1M stores into an empty structure, one thread; its memory counter is bytes per
 *                  live object: ours is the resident part of its mapping (each page up to its
 *                  allocation point, in 4 KiB pages, plus the index's nodes in use), the peers'
 *                  what they hold through operator new.
 *   hitratio       a read-through stream of Zipf(0.99) keys (read; on a miss, store) with each cache
 *                  sized to half of what it needs for all 1M keys; the counter hit_pct is measured
 *                  after a warm-up of as many requests. Ours runs with its defaults (one-minute
 *                  generations, so the age histogram sees the whole run as one generation) and, as
 *                  hitratio_g20ms, with 20 ms generations, which lets the age limit tell recently
 *                  read blocks from old ones within the run.
 */
#include <libcuckoo/cuckoohash_map.hh>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench/support/alloc_count.h"
#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/report.h"
#include "bench/support/transparent_hash.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace {

using zkbench::KeySet;
using zkbench::Rng;

constexpr std::size_t kKeys = 1000000;
constexpr std::size_t kValue = 100;
constexpr std::size_t kSmallKeys = 100000;
constexpr std::size_t kSmallValue = 16;

struct Data {
    KeySet keys;               // NUL-terminated in their own buffer below, for ZKCacheStore
    std::vector<char> cstrs;   // every key followed by a NUL
    std::vector<std::size_t> at;
    ULong payload = 0;         // key and value bytes of all keys: what the LRU budget counts
    ULong blocks = 0;          // the bytes our blocks take for all keys, headers and alignment included
    const UByte* CKey(std::size_t i) const { return reinterpret_cast<const UByte*>(cstrs.data() + at[i]); }
};

const Data& TheData() {
    static const Data data = [] {
        Data d;
        Rng rng(0xCAC4E);
        d.keys.Reserve(kKeys, kKeys * 25);
        std::unordered_map<std::string, int> seen;
        seen.reserve(kKeys);
        char buf[32];
        while (d.keys.size() < kKeys) {
            const std::size_t len = 16 + rng.Below(17);
            for (std::size_t i = 0; i < len; ++i) buf[i] = static_cast<char>(0x21 + rng.Below(0x7E - 0x21 + 1));
            if (seen.emplace(std::string(buf, len), 0).second) d.keys.Add(std::string_view(buf, len));
        }
        for (std::size_t i = 0; i < kKeys; ++i) {
            d.at.push_back(d.cstrs.size());
            d.cstrs.insert(d.cstrs.end(), d.keys[i].begin(), d.keys[i].end());
            d.cstrs.push_back('\0');
            d.payload += d.keys[i].size() + kValue;
            d.blocks += (sizeof(CacheBlock) + d.keys[i].size() + 1 + kValue + 7) / 8 * 8;
        }
        return d;
    }();
    return data;
}

// The keys of the mixes: the 1M set, read in place from its buffers.
struct MainKeys {
    static constexpr const char* kName = "1M";
    static constexpr std::size_t kKeys = ::kKeys;
    static constexpr std::size_t kValue = ::kValue;
    static std::string_view Key(std::size_t i) { return TheData().keys[i]; }
    static const UByte* CKey(std::size_t i) { return TheData().CKey(i); }
};

// The 100K set, a std::string per key: the first 100K keys of the 1M set, their bytes allocated in
// shuffled order.
struct StringKeys {
    static constexpr const char* kName = "100Kstr";
    static constexpr std::size_t kKeys = kSmallKeys;
    static constexpr std::size_t kValue = kSmallValue;
    static const std::vector<std::string>& Strings() {
        static const std::vector<std::string> strings = [] {
            std::vector<std::uint32_t> order(kKeys);
            for (std::uint32_t i = 0; i < kKeys; ++i) order[i] = i;
            Rng rng(0x5791);
            rng.Shuffle(order);
            std::vector<std::string> out(kKeys);
            for (std::uint32_t i : order) out[i] = std::string(TheData().keys[i]);
            return out;
        }();
        return strings;
    }
    static std::string_view Key(std::size_t i) { return Strings()[i]; }
    static const UByte* CKey(std::size_t i) { return reinterpret_cast<const UByte*>(Strings()[i].c_str()); }
};

// The value stored for key i in version v: size bytes (at least 8) that a read can check.
void MakeValue(std::size_t i, std::uint64_t v, char* out, std::size_t size = kValue) {
    std::memset(out, static_cast<int>('a' + (i + v) % 26), size);
    std::memcpy(out, &i, sizeof i);
}

// ---- the three structures ------------------------------------------------------------------------------

template <class K = MainKeys>
class Ours {
public:
    using Keys = K;
    static constexpr const char* kName = "ZKCache";
    explicit Ours(ULong bytes, UInt generation = 60000, UInt regionSize = 16)
        : c_(ZKCacheNewWithParams(regionSize, 1048576, 1.0, 8.0, 16.0, generation,
                                  (bytes + (ULong(regionSize) << 20) - 1) / (ULong(regionSize) << 20) * (ULong(regionSize) << 20))) {
        if (c_ == nullptr) zkbench::Fail("ZKCacheNew failed");
    }
    ~Ours() { ZKCacheDelete(c_); }
    bool Get(std::size_t i, char* out) {
        UInt size = 0;
        return ZKCacheGetStatic(c_, K::CKey(i), out, 256, &size) && size == K::kValue;
    }
    void Put(std::size_t i, const char* value) {
        ZKCacheStore(c_, K::CKey(i), reinterpret_cast<const UByte*>(value), K::kValue, ZK_CACHE_NEVER_EXPIRES);
    }
    // Resident bytes: every page up to its allocation point, the index's nodes in use, the record.
    double Bytes(std::int64_t) const {
        double total = sizeof(zk::CacheImpl);
        for (UInt r = 0; r < c_->c_regions.length; ++r) {
            char* base = static_cast<char*>(c_->c_regions.data[r].r_base);
            for (UInt p = 0; p < c_->c_region_size; ++p) {
                Page* page = reinterpret_cast<Page*>(base + std::size_t(p) * c_->c_page_size);
                total += std::ceil(double(page->p_alloc_ptr - reinterpret_cast<char*>(page)) / 4096) * 4096;
            }
        }
        return total + std::ceil(24.0 * c_->c_dict->d_free / 4096) * 4096;
    }
    UInt Objects() const {
        UInt n = 0;
        ZKCacheGetSize(c_, &n, nullptr);
        return n;
    }

private:
    Cache* c_;
};

template <class K = MainKeys>
class Lru {
public:
    using Keys = K;
    static constexpr const char* kName = "LRU";
    explicit Lru(std::size_t budget) : budget_(budget) {}
    bool Get(std::size_t i, char* out) {
        const std::string_view key = K::Key(i);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = map_.find(key);
        if (it == map_.end()) return false;
        order_.splice(order_.begin(), order_, it->second.pos);
        std::memcpy(out, it->second.value.data(), it->second.value.size());
        return true;
    }
    void Put(std::size_t i, const char* value) {
        const std::string_view key = K::Key(i);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = map_.find(key);
        if (it != map_.end()) {
            it->second.value.assign(value, K::kValue);
            order_.splice(order_.begin(), order_, it->second.pos);
            return;
        }
        order_.emplace_front(key);
        map_.emplace(std::string(key), Entry{std::string(value, K::kValue), order_.begin()});
        bytes_ += key.size() + K::kValue;
        while (bytes_ > budget_) {
            const std::string& victim = order_.back();
            bytes_ -= victim.size() + K::kValue;
            map_.erase(map_.find(std::string_view(victim)));
            order_.pop_back();
        }
    }
    double Bytes(std::int64_t heap) const { return double(heap); }
    UInt Objects() const { return UInt(map_.size()); }

private:
    struct Entry {
        std::string value;
        std::list<std::string>::iterator pos;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry, zkbench::ViewHash, zkbench::ViewEqual> map_;
    std::list<std::string> order_;  // most recently used first
    std::size_t bytes_ = 0;
    std::size_t budget_;
};

template <class K = MainKeys>
class Cuckoo {
public:
    using Keys = K;
    static constexpr const char* kName = "cuckoo";
    explicit Cuckoo(std::size_t) {}
    bool Get(std::size_t i, char* out) {
        return map_.find_fn(K::Key(i), [out](const std::string& v) { std::memcpy(out, v.data(), v.size()); });
    }
    void Put(std::size_t i, const char* value) {
        map_.insert_or_assign(std::string(K::Key(i)), std::string(value, K::kValue));
    }
    double Bytes(std::int64_t heap) const { return double(heap); }
    UInt Objects() const { return UInt(map_.size()); }

private:
    libcuckoo::cuckoohash_map<std::string, std::string, zkbench::ViewHash, zkbench::ViewEqual> map_;
};

// Room for every key: ours at twice the bytes its blocks take, so that stores during the timed mixes
// leave the collector its reserve; the LRU budget at all key and value bytes, plus the same slack.
template <class K>
constexpr ULong kFullCache = 2ull * K::kKeys * (sizeof(CacheBlock) + 40 + K::kValue);
template <class K>
constexpr std::size_t kFullBudget = 2 * K::kKeys * (32 + K::kValue);

template <class T>
T& Loaded() {
    using K = typename T::Keys;
    static T* made = [] {
        T* t = new T(std::is_same_v<T, Ours<K>> ? kFullCache<K> : kFullBudget<K>);
        char value[K::kValue];
        for (std::size_t i = 0; i < K::kKeys; ++i) {
            MakeValue(i, 0, value, K::kValue);
            t->Put(i, value);
        }
        return t;
    }();
    return *made;
}

// ---- benchmarks ---------------------------------------------------------------------------------------

template <class T>
void BM_Mix(benchmark::State& state, int readPct) {
    using K = typename T::Keys;
    T& t = Loaded<T>();
    Rng rng(0x5EED + 977 * static_cast<std::uint64_t>(state.thread_index()));
    char value[K::kValue];
    char out[256];
    std::uint64_t version = 1;
    constexpr int kBatch = 1000;
    std::size_t hits = 0;
    for (auto _ : state) {
        for (int k = 0; k < kBatch; ++k) {
            const std::size_t i = rng.Below(K::kKeys);
            if (static_cast<int>(rng.Below(100)) < readPct) {
                if (t.Get(i, out)) {
                    std::size_t got;
                    std::memcpy(&got, out, sizeof got);
                    if (got != i) zkbench::Fail(std::string(T::kName) + " returned another key's value");
                    ++hits;
                }
            } else {
                MakeValue(i, ++version, value, K::kValue);
                t.Put(i, value);
            }
        }
    }
    benchmark::DoNotOptimize(hits);
    zkbench::SetPerKeyCounters(state, kBatch);
}

template <class T>
void BM_Load(benchmark::State& state) {
    for (auto _ : state) {
        const std::int64_t before = zkbench::LiveHeapBytes();
        T t(std::is_same_v<T, Ours<>> ? kFullCache<MainKeys> : kFullBudget<MainKeys>);
        char value[kValue];
        for (std::size_t i = 0; i < kKeys; ++i) {
            MakeValue(i, 0, value);
            t.Put(i, value);
        }
        state.PauseTiming();
        const UInt objects = t.Objects();
        state.counters["bytes_per_object"] = t.Bytes(zkbench::LiveHeapBytes() - before) / objects;
        state.counters["objects"] = objects;
        state.ResumeTiming();
    }
    zkbench::SetPerKeyCounters(state, kKeys);
}

// Zipf(0.99) ranks over the keys, drawn by inverting the cumulative distribution.
const std::vector<std::uint32_t>& ZipfStream(std::size_t n) {
    static const std::vector<std::uint32_t> stream = [n] {
        std::vector<double> cdf(kKeys);
        double sum = 0;
        for (std::size_t r = 0; r < kKeys; ++r) cdf[r] = (sum += 1.0 / std::pow(double(r + 1), 0.99));
        // Ranks go to keys in a shuffled order, so that hot keys are spread over the key set.
        std::vector<std::uint32_t> keyOf(kKeys);
        for (std::uint32_t i = 0; i < kKeys; ++i) keyOf[i] = i;
        Rng rng(0x21FF);
        rng.Shuffle(keyOf);
        std::vector<std::uint32_t> s(n);
        for (auto& x : s) {
            const double u = double(rng.Next() >> 11) / double(1ull << 53) * sum;
            x = keyOf[std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin()];
        }
        return s;
    }();
    return stream;
}

constexpr std::size_t kWarm = 2000000, kMeasured = 2000000;

template <class T>
void BM_HitRatio(benchmark::State& state, UInt generation) {
    const auto& stream = ZipfStream(kWarm + kMeasured);
    for (auto _ : state) {
        std::unique_ptr<T> t;
        if constexpr (std::is_same_v<T, Ours<>>) {
            // Half of what the blocks of all keys take, in regions of one page so that it is exact.
            t = std::make_unique<T>(TheData().blocks / 2 / 1048576 * 1048576, generation, 1);
        } else {
            t = std::make_unique<T>(TheData().payload / 2);
        }
        char out[256];
        char value[kValue];
        std::size_t hits = 0;
        for (std::size_t j = 0; j < stream.size(); ++j) {
            const std::size_t i = stream[j];
            if (t->Get(i, out)) {
                hits += j >= kWarm;
            } else {
                MakeValue(i, 0, value);
                t->Put(i, value);
            }
        }
        state.counters["hit_pct"] = 100.0 * double(hits) / double(kMeasured);
    }
    zkbench::SetPerKeyCounters(state, kWarm + kMeasured);
}

template <class T>
void RegisterStructure() {
    for (int threads : {1, 2, 4}) {
        const std::string ds = std::string("/") + T::Keys::kName + "_t" + std::to_string(threads) + "/";
        // Loaded once, before the first timed run that needs it, then shared by the mixes.
        for (int readPct : {90, 50}) {
            benchmark::RegisterBenchmark(("mix" + std::to_string(readPct) + ds + T::kName).c_str(), BM_Mix<T>, readPct)
                ->Setup([](const benchmark::State&) { Loaded<T>(); })
                ->Threads(threads)
                ->UseRealTime()
                ->MinTime(1.0);
        }
    }
}

}  // namespace

zkbench::Comparison zkbench::RegisterBenchmarks() {
    RegisterStructure<Ours<>>();
    RegisterStructure<Lru<>>();
    RegisterStructure<Cuckoo<>>();
    RegisterStructure<Ours<StringKeys>>();
    RegisterStructure<Lru<StringKeys>>();
    RegisterStructure<Cuckoo<StringKeys>>();
    benchmark::RegisterBenchmark("load/1M/ZKCache", BM_Load<Ours<>>)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("load/1M/LRU", BM_Load<Lru<>>)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("load/1M/cuckoo", BM_Load<Cuckoo<>>)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("hitratio/zipf99/ZKCache", BM_HitRatio<Ours<>>, 60000u)
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("hitratio/zipf99/LRU", BM_HitRatio<Lru<>>, 0u)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("hitratio_g20ms/zipf99/ZKCache", BM_HitRatio<Ours<>>, 20u)
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("hitratio_g20ms/zipf99/LRU", BM_HitRatio<Lru<>>, 0u)
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    TheData();
    StringKeys::Strings();
    return Comparison::AgainstEveryPeer({Ours<>::kName});
}
