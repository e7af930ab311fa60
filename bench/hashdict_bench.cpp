/*
 * hashdict_bench: the static dictionary against CMPH (BDZ with 1.23 vertices per key, and CHD),
 * absl::flat_hash_map<std::string, uint32_t> and std::unordered_map<std::string, uint32_t>, all
 * mapping the same keys to their positions in the key list.
 *
 * Datasets: 1M and 10M random printable keys of 8 to 24 bytes, 1M random keys of 8 to 24 bytes of
 * all 256 byte values (bytes1M), and the system word list.
 * Operations, each timed per key:
 *   build         the whole structure from the key list: ours and CMPH through a callback over the
 *                 keys in place; the maps reserved for every key, then filled;
 *   find_present  every key in shuffled order, checking the index found, read from one contiguous
 *                 buffer in that order;
 *   find_strings  the same, each key from its own std::string held in insertion order, so that the
 *                 key's bytes are a cache miss (not for 10M keys);
 *   find_absent   keys of the same shape not in the list. Without check bytes ours, like CMPH,
 *                 computes some index and cannot tell; HashDict_check4 (ours with 4 check bytes per
 *                 key) and the maps reject them.
 * Counter (on the build rows), per key:
 *   peak_bytes_per_key   the most heap held at once during the build, beyond what was held before
 *                        it (the keys are held before); CMPH's includes its index array (below).
 *                        Every structure here allocates through malloc, CMPH directly and the maps
 *                        through operator new, so this program replaces the malloc family and counts
 *                        usable sizes and their high mark.
 *
 * CMPH maps a key to a hash value in [0, n), not to its position: its lookup here is cmph_search
 * followed by a read of a 32-bit index array from hash value to position, so that every structure
 * answers the same question.
 *
 * The size table, printed last, gives what each finished structure occupies in bits per key, per
 * dataset: our image (HashDictFileSize) without and with check bytes; CMPH's packed function
 * (cmph_packed_size) alone, which is all a client needs when any slot per key will do, and with the
 * index array, which is what it takes to answer what ours answers; the maps' heap, strings included.
 * A single size counter could only show one of CMPH's two figures under CMPH's name, so the size
 * is not a counter.
 */
#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>
#include <cmph.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/loops.h"
#include "bench/support/report.h"
#include "bench/support/transparent_hash.h"
#include "dict/hashdict.h"

// ---- heap high-water mark ---------------------------------------------------------------------------

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
}

namespace heap_mark {

// Relaxed atomics: the program builds on one thread; see bench/support/alloc_count.h.
std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

void* Add(void* p) {
    if (p != nullptr) {
        const std::int64_t now = live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)),
                                                std::memory_order_relaxed) +
                                 static_cast<std::int64_t>(malloc_usable_size(p));
        if (now > peak.load(std::memory_order_relaxed)) peak.store(now, std::memory_order_relaxed);
    }
    return p;
}

void Sub(void* p) {
    if (p != nullptr) live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

// Starts a measurement: the high mark drops to what is held now.
std::int64_t Reset() {
    const std::int64_t now = live.load(std::memory_order_relaxed);
    peak.store(now, std::memory_order_relaxed);
    return now;
}

}  // namespace heap_mark

extern "C" {
void* malloc(size_t n) noexcept { return heap_mark::Add(__libc_malloc(n)); }
void* calloc(size_t n, size_t size) noexcept { return heap_mark::Add(__libc_calloc(n, size)); }
void free(void* p) noexcept {
    heap_mark::Sub(p);
    __libc_free(p);
}
void* realloc(void* p, size_t n) noexcept {
    const size_t old = p != nullptr ? malloc_usable_size(p) : 0;
    void* q = __libc_realloc(p, n);
    if (q == nullptr && n != 0) return nullptr;  // p is untouched
    heap_mark::live.fetch_sub(static_cast<std::int64_t>(old), std::memory_order_relaxed);
    return heap_mark::Add(q);
}
void* memalign(size_t align, size_t n) noexcept { return heap_mark::Add(__libc_memalign(align, n)); }
void* aligned_alloc(size_t align, size_t n) noexcept { return heap_mark::Add(__libc_memalign(align, n)); }
void* valloc(size_t n) noexcept { return heap_mark::Add(__libc_valloc(n)); }
void* pvalloc(size_t n) noexcept { return heap_mark::Add(__libc_pvalloc(n)); }
int posix_memalign(void** out, size_t align, size_t n) noexcept {
    if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
    void* p = heap_mark::Add(__libc_memalign(align, n));
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}

namespace {

using zkbench::Dataset;
using zkbench::Datasets;
using zkbench::KeySet;
using zkbench::Probe;

constexpr std::uint32_t kMissing = 0xFFFFFFFFu;

// ---- the size table ------------------------------------------------------------------------------

// One column of the size table: a structure, or one way of counting a structure's bytes.
struct Size {
    std::string label;
    double bytes;
};

// Bits per key of every structure built, by dataset, from whichever benchmark built it first; a
// structure's size does not change from one build of the same keys to the next.
class SizeTable {
public:
    void Record(const Dataset& ds, const std::vector<Size>& sizes) {
        if (std::find(datasets_.begin(), datasets_.end(), ds.name) == datasets_.end()) datasets_.push_back(ds.name);
        for (const Size& size : sizes) {
            if (std::find(labels_.begin(), labels_.end(), size.label) == labels_.end()) labels_.push_back(size.label);
            bits_.try_emplace({ds.name, size.label}, 8.0 * size.bytes / static_cast<double>(ds.keys.size()));
        }
    }

    // One line per dataset, a column per label in the order first recorded, and after every column
    // but ours the ratio ours / column.
    void Print(const std::string& ours) const {
        if (datasets_.empty()) return;
        const auto colw = [](const std::string& s) { return std::max(12, static_cast<int>(s.size())); };
        int dsw = 7;
        for (const std::string& ds : datasets_) dsw = std::max(dsw, static_cast<int>(ds.size()));
        std::printf("Size per key in bits, of the finished structure; ratio = %s / column (above 1: %s is larger)\n",
                    ours.c_str(), ours.c_str());
        std::printf("  HashDict, HashDict_check4: our image (HashDictFileSize) without and with 4 check bytes per key; "
                    "finds each key's index\n");
        std::printf("  cmph_* alone: CMPH's packed function (cmph_packed_size), a minimal perfect hash that is not "
                    "order preserving: each key gets a slot of its own, not its index\n");
        std::printf("  cmph_*+index: plus the 32-bit array from slot to index that makes it answer what HashDict "
                    "answers, as in the lookups above\n");
        std::printf("  maps: their heap, strings included\n");
        std::printf("%-*s", dsw, "dataset");
        for (const std::string& label : labels_) {
            std::printf("  %*s", colw(label), label.c_str());
            if (label != ours) std::printf("  %7s", "ratio");
        }
        std::printf("\n");
        for (const std::string& ds : datasets_) {
            std::printf("%-*s", dsw, ds.c_str());
            const auto mine = bits_.find({ds, ours});
            for (const std::string& label : labels_) {
                const auto it = bits_.find({ds, label});
                const bool ratio = label != ours;
                if (it == bits_.end()) {
                    std::printf("  %*s", colw(label), "-");
                    if (ratio) std::printf("  %7s", "-");
                    continue;
                }
                std::printf("  %*.2f", colw(label), it->second);
                if (!ratio) continue;
                if (mine == bits_.end() || it->second <= 0) {
                    std::printf("  %7s", "-");
                } else {
                    std::printf("  %7.2f", mine->second / it->second);
                }
            }
            std::printf("\n");
        }
        std::printf("\n");
    }

private:
    std::vector<std::string> datasets_, labels_;  // first recorded first
    std::map<std::pair<std::string, std::string>, double> bits_;
};

SizeTable& Sizes() {
    static SizeTable table;
    return table;
}

// ---- the structures ------------------------------------------------------------------------------

template <UByte kProbe>
class OurDict {
public:
    static constexpr const char* kName = kProbe == 0 ? "HashDict" : "HashDict_check4";
    static constexpr bool kRejectsAbsent = kProbe != 0;

    explicit OurDict(const KeySet& keys)
        : d_(HashDictBuild(static_cast<Id>(keys.size()), const_cast<KeySet*>(&keys), Key, nullptr, 0, kProbe, FALSE)) {}
    ~OurDict() { HashDictFree(d_); }
    OurDict(const OurDict&) = delete;
    OurDict& operator=(const OurDict&) = delete;

    std::uint32_t Find(std::string_view key) const {
        const Id id = HashDictFind(d_, key.data(), static_cast<int>(key.size()));
        return id == HASHDICT_NOT_FOUND ? kMissing : id;
    }
    std::vector<Size> Sizes(std::int64_t /*heap*/) const { return {{kName, static_cast<double>(HashDictFileSize(d_))}}; }

private:
    static UShort Key(void* dict, Id idx, const UByte** bytes) {
        const std::string_view k = (*static_cast<const KeySet*>(dict))[idx];
        *bytes = reinterpret_cast<const UByte*>(k.data());
        return static_cast<UShort>(k.size());
    }
    HashDict* d_;
};

// CMPH reads keys through an adapter that hands out pointers into the key set, as ours does.
template <CMPH_ALGO kAlgo>
class Cmph {
public:
    static constexpr const char* kName = kAlgo == CMPH_BDZ ? "cmph_bdz" : "cmph_chd";
    static constexpr bool kRejectsAbsent = false;

    explicit Cmph(const KeySet& keys) : source_{this, static_cast<cmph_uint32>(keys.size()), Read, Dispose, Rewind},
                                        keys_(&keys) {
        cmph_config_t* config = cmph_config_new(&source_);
        cmph_config_set_algo(config, kAlgo);
        if (kAlgo == CMPH_BDZ) cmph_config_set_graphsize(config, 1.23);
        mphf_ = cmph_new(config);
        cmph_config_destroy(config);
        if (mphf_ == nullptr) zkbench::Fail(std::string(kName) + ": cmph_new failed");
        index_.resize(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::string_view k = keys[i];
            index_[cmph_search(mphf_, k.data(), static_cast<cmph_uint32>(k.size()))] = static_cast<std::uint32_t>(i);
        }
    }
    ~Cmph() { cmph_destroy(mphf_); }
    Cmph(const Cmph&) = delete;
    Cmph& operator=(const Cmph&) = delete;

    std::uint32_t Find(std::string_view key) const {
        return index_[cmph_search(mphf_, key.data(), static_cast<cmph_uint32>(key.size()))];
    }
    std::vector<Size> Sizes(std::int64_t /*heap*/) const {
        const double hash = static_cast<double>(cmph_packed_size(mphf_));
        const std::string name = kName;
        return {{name + " alone", hash},
                {name + "+index", hash + static_cast<double>(sizeof(index_[0]) * index_.size())}};
    }

private:
    static int Read(void* data, char** key, cmph_uint32* len) {
        auto* self = static_cast<Cmph*>(data);
        const std::string_view k = (*self->keys_)[self->next_++];
        *key = const_cast<char*>(k.data());
        *len = static_cast<cmph_uint32>(k.size());
        return static_cast<int>(k.size());
    }
    static void Dispose(void*, char*, cmph_uint32) {}
    static void Rewind(void* data) { static_cast<Cmph*>(data)->next_ = 0; }

    cmph_io_adapter_t source_;
    const KeySet* keys_;
    std::size_t next_ = 0;
    cmph_t* mphf_ = nullptr;
    std::vector<std::uint32_t> index_;
};

// The maps, reserved for every key, then filled. Each looks keys up through View: abseil through
// absl::string_view (see hashtable_bench.cpp), std::unordered_map through its transparent hash.
template <class Map, class View, const char* Name>
class MapPeer {
public:
    static constexpr const char* kName = Name;
    static constexpr bool kRejectsAbsent = true;

    explicit MapPeer(const KeySet& keys) {
        m_.reserve(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            m_.try_emplace(std::string(keys[i]), static_cast<std::uint32_t>(i));
        }
    }
    std::uint32_t Find(std::string_view key) const {
        auto it = m_.find(View(key.data(), key.size()));
        return it == m_.end() ? kMissing : it->second;
    }
    std::vector<Size> Sizes(std::int64_t heap) const { return {{kName, static_cast<double>(heap)}}; }

private:
    Map m_;
};

constexpr char kAbslName[] = "absl_flat_hash_map";
constexpr char kStdName[] = "std_unordered_map";
using AbslMap = MapPeer<absl::flat_hash_map<std::string, std::uint32_t>, absl::string_view, kAbslName>;
using StdMap = MapPeer<std::unordered_map<std::string, std::uint32_t, zkbench::ViewHash, zkbench::ViewEqual>,
                       std::string_view, kStdName>;

// ---- benchmarks ------------------------------------------------------------------------------------

// A structure with what its build measured.
template <class S>
struct Built : zkbench::Built<S> {
    std::vector<Size> sizes;
    double peak_per_key = 0;
};

template <class S>
std::unique_ptr<Built<S>> Build(const Dataset& ds) {
    const double n = static_cast<double>(ds.keys.size());
    auto b = std::make_unique<Built<S>>();
    const std::int64_t before = heap_mark::Reset();
    b->structure = std::make_unique<S>(ds.keys);
    const std::int64_t after = heap_mark::live.load(std::memory_order_relaxed);
    b->peak_per_key = static_cast<double>(heap_mark::peak.load(std::memory_order_relaxed) - before) / n;
    b->sizes = b->structure->Sizes(after - before);
    return b;
}

// Every present key once, in full, before anything is timed: a fast wrong answer is no result.
template <class S>
void Verify(const Dataset& ds, const S& s) {
    for (std::size_t j = 0; j < ds.probes.size(); ++j) {
        if (s.Find(ds.probes[j]) != ds.probe_index[j]) {
            zkbench::Fail(std::string(S::kName) + " gives a wrong index for " + zkbench::Printable(ds.probes[j]) +
                          " of " + ds.name);
        }
    }
    if (!S::kRejectsAbsent) return;
    std::size_t accepted = 0;
    for (std::size_t j = 0; j < ds.absent.size(); ++j) accepted += s.Find(ds.absent[j]) != kMissing;
    // Check bytes let a foreign key through now and then; the maps never.
    if (accepted > ds.absent.size() / 100000 + 2) {
        zkbench::Fail(std::string(S::kName) + " accepts " + std::to_string(accepted) + " absent keys of " + ds.name);
    }
}

template <class S>
Built<S>& Fixture(Dataset& ds) {
    return ds.Fixture<Built<S>>(S::kName, [&] {
        auto b = Build<S>(ds);
        Verify(ds, *b->structure);
        Sizes().Record(ds, b->sizes);
        return b;
    });
}

// With adopt, the last structure built becomes the find benchmarks' fixture when they have none:
// a 10M-key build is too costly to make twice. Only for a fixed iteration count (see
// zkbench::InsertRow).
template <class S>
void BM_Build(benchmark::State& state, const std::string& dataset, bool adopt) {
    Dataset& ds = Datasets::Get(dataset);
    std::unique_ptr<Built<S>> built = zkbench::TimedBuilds(state, [&] { return Build<S>(ds); });
    if (built) Sizes().Record(ds, built->sizes);
    zkbench::SetPerKeyCounters(state, ds.keys.size());
    state.counters["peak_bytes_per_key"] = built ? built->peak_per_key : 0;
    if (adopt && built) {
        ds.Fixture<Built<S>>(S::kName, [&] {
            Verify(ds, *built->structure);
            return std::move(built);
        });
    }
}

// The shuffled present keys, each index checked, or the absent keys, unchecked: without check bytes a
// structure cannot tell an absent key.
template <class S, Probe kProbe>
void BM_Find(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    zkbench::FindRow<kProbe>(state, ds, Fixture<S>(ds), [&](const S& s, const KeySet& keys, std::size_t j) {
        if constexpr (kProbe == Probe::kPresent) {
            if (s.Find(keys[j]) != ds.probe_index[j]) [[unlikely]] {
                zkbench::WrongAnswer<kProbe>(S::kName, keys[j], ds.name);
            }
        } else {
            benchmark::DoNotOptimize(s.Find(keys[j]));
        }
    });
}

// Every key from its own std::string, in shuffled order (see KeyStrings).
template <class S>
void BM_FindStrings(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    zkbench::FindStringsRow(state, ds, Fixture<S>(ds), [&](const S& s, const std::string& key, std::uint32_t i) {
        if (s.Find(key) != i) [[unlikely]] zkbench::WrongAnswer<Probe::kPresent>(S::kName, key, ds.name);
    });
}

template <class S>
void Register(const std::string& dataset, bool huge) {
    zkbench::BuildRow(zkbench::AddRow("build", dataset, S::kName, BM_Build<S>, dataset, huge), huge, 2.0);
    zkbench::AddRow("find_present", dataset, S::kName, BM_Find<S, Probe::kPresent>, dataset);
    zkbench::AddRow("find_absent", dataset, S::kName, BM_Find<S, Probe::kAbsent>, dataset);
    if (!huge) zkbench::AddRow("find_strings", dataset, S::kName, BM_FindStrings<S>, dataset);
}

void RegisterDataset(const std::string& dataset, bool huge) {
    Register<OurDict<0>>(dataset, huge);
    Register<OurDict<4>>(dataset, huge);
    Register<Cmph<CMPH_BDZ>>(dataset, huge);
    Register<Cmph<CMPH_CHD>>(dataset, huge);
    Register<AbslMap>(dataset, huge);
    Register<StdMap>(dataset, huge);
}

}  // namespace

zkbench::Comparison zkbench::RegisterBenchmarks() {
    DefineStringDatasets();
    RegisterDataset("rand1M", false);
    RegisterDataset("bytes1M", false);
    RegisterDataset("rand10M", true);
    if (WordListReadable("hashdict_bench")) RegisterDataset("words", false);
    return Comparison::AgainstEveryPeer({OurDict<0>::kName}).Then([] { Sizes().Print(OurDict<0>::kName); });
}
