/*
 * bench_common.h: what the benchmark programs under bench/ share.
 *
 * Every program measures one family of ours against its peers on the same keys, in one run:
 *
 *   - key sets: deterministic, stored in one contiguous buffer plus offsets, so that generating keys
 *     is never timed and every structure reads its probe keys with the same cache behaviour;
 *   - datasets: present keys (insertion order), the same keys shuffled for lookups, and absent keys
 *     of the same shape; built lazily, one at a time, with per-structure fixtures that live and die
 *     with their dataset;
 *   - a global operator new/delete that counts live heap bytes, for the memory of peers that
 *     allocate through it (ours report their own blocks exactly);
 *   - files for the save and load workloads: a temporary directory that removes itself, a whole-file
 *     reader, and a writer as durable as the library's own;
 *   - RunAndCompare, a main that runs the benchmarks with the console reporter and then prints, for
 *     each (operation, dataset), time per key of ours and of each peer with the ratio ours / peer,
 *     and the same for every other counter the benchmarks register (bytes_per_entry in particular).
 *     A program with several structures of ours (two hash tables, say) names them all; each row is
 *     then compared with whichever of them it measured, and every other structure is a peer.
 *
 * Naming: a benchmark is registered as "operation/dataset/structure" (for example
 * "find_absent/rand1M/HashTable"); the ratio tables rely on it.
 *
 * Include this header from exactly one translation unit per program: it defines the replacement
 * allocation functions, and a second copy is a link error.
 *
 * Threads: the programs are single-threaded; see heap_detail::live for what the counter assumes.
 */
#ifndef ZKDICT_BENCH_BENCH_COMMON_H
#define ZKDICT_BENCH_BENCH_COMMON_H

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace zkbench {

// ---- live heap bytes ----------------------------------------------------------------------------

namespace heap_detail {

// Usable sizes, not requested sizes: what a container really holds on to includes the allocator's
// rounding, and that is what its users pay for.
//
// The update is a relaxed load and store rather than a locked add. Every structure is built and
// measured on the benchmark's own thread. The hook already costs the peers a malloc_usable_size call
// per allocation (a few percent of a node-based peer's insertion time, which flatters our table, whose
// blocks bypass it), and a locked add would make that worse. If a program ever allocates from two
// threads at once, updates may be lost and the memory figures blur; nothing else breaks.
inline std::atomic<std::int64_t> live{0};

inline void* Counted(void* p) noexcept {
    if (p != nullptr) {
        live.store(live.load(std::memory_order_relaxed) + static_cast<std::int64_t>(malloc_usable_size(p)),
                   std::memory_order_relaxed);
    }
    return p;
}

inline void Release(void* p) noexcept {
    if (p != nullptr) {
        live.store(live.load(std::memory_order_relaxed) - static_cast<std::int64_t>(malloc_usable_size(p)),
                   std::memory_order_relaxed);
        std::free(p);
    }
}

inline void* Allocate(std::size_t n) noexcept { return Counted(std::malloc(n != 0 ? n : 1)); }

inline void* AllocateAligned(std::size_t n, std::align_val_t align) noexcept {
    void* p = nullptr;
    const std::size_t a = std::max(static_cast<std::size_t>(align), sizeof(void*));
    if (posix_memalign(&p, a, n != 0 ? n : 1) != 0) return nullptr;
    return Counted(p);
}

}  // namespace heap_detail

// Bytes currently held through operator new, over the whole process. Only differences mean anything:
// take it before building a structure and after.
inline std::int64_t LiveHeapBytes() { return heap_detail::live.load(std::memory_order_relaxed); }

// Gives the heap's free memory back to the system (the free top, and the free pages inside it), so
// that the next large allocation gets fresh pages and pays for faulting them in, whatever ran
// before. For benchmarks whose figures would otherwise depend on whether an earlier one left a big
// enough free block behind.
inline void ReleaseFreeHeap() { malloc_trim(0); }

}  // namespace zkbench

void* operator new(std::size_t n) {
    if (void* p = zkbench::heap_detail::Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = zkbench::heap_detail::Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return zkbench::heap_detail::Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return zkbench::heap_detail::Allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = zkbench::heap_detail::AllocateAligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = zkbench::heap_detail::AllocateAligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return zkbench::heap_detail::AllocateAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return zkbench::heap_detail::AllocateAligned(n, a);
}
void operator delete(void* p) noexcept { zkbench::heap_detail::Release(p); }
void operator delete[](void* p) noexcept { zkbench::heap_detail::Release(p); }
void operator delete(void* p, std::size_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { zkbench::heap_detail::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { zkbench::heap_detail::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { zkbench::heap_detail::Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    zkbench::heap_detail::Release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    zkbench::heap_detail::Release(p);
}

namespace zkbench {

// ---- failure ------------------------------------------------------------------------------------

// A benchmark that measured a broken lookup would print a plausible number; stop instead.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "zkbench: %s\n", what.c_str());
    std::abort();
}

// Keys in failure messages: printable bytes as they are, others as \xNN.
inline std::string Printable(std::string_view key) {
    std::string out;
    for (unsigned char c : key) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

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

// The keys of ks in the order given by index.
inline KeySet Permuted(const KeySet& ks, const std::vector<std::uint32_t>& index) {
    KeySet out;
    out.Reserve(index.size(), ks.ByteCount());
    for (std::uint32_t i : index) out.Add(ks[i]);
    return out;
}

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

    template <class Lookup>
    bool Contains(std::string_view key, const Lookup& lookup) const {
        return slots_[Slot(key, lookup)] != kEmpty;
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

struct Dataset {
    std::string name;
    KeySet keys;                            // present keys, insertion order; key i carries the value i
    KeySet probes;                          // the same keys shuffled: probes[j] is keys[probe_index[j]]
    std::vector<std::uint32_t> probe_index; // see probes
    KeySet absent;                          // same shape as keys, none equal to one of them, shuffled

    // The structure built by build() under label, built on first use and kept until the dataset is
    // released. Building 10M-key structures once, not once per benchmark, is what keeps a run short.
    template <class T, class Build>
    T& Fixture(const std::string& label, Build&& build) {
        return fixtures.Get<T>(label, std::forward<Build>(build));
    }

    // Declared last so that fixtures, which may point into the key sets, go first.
    FixtureStore fixtures;
};

// Shuffles the present keys into probes, and the absent keys in place, with the dataset's generator.
inline void FinishDataset(Dataset& ds, Rng& rng) {
    ds.probe_index.resize(ds.keys.size());
    for (std::uint32_t i = 0; i < ds.probe_index.size(); ++i) ds.probe_index[i] = i;
    rng.Shuffle(ds.probe_index);
    ds.probes = Permuted(ds.keys, ds.probe_index);
    std::vector<std::uint32_t> order(ds.absent.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    rng.Shuffle(order);
    ds.absent = Permuted(ds.absent, order);
}

// n distinct keys of 8 to 24 bytes (uniform length) and n more as absent keys, drawn from the same
// distribution and rejected when they repeat any key drawn before, present or absent.
//
// Bytes are printable ASCII 0x21..0x7E rather than arbitrary. Our clients key by text (words, names,
// paths), whose bytes carry well under 8 bits each, and a simple byte hash such as ours spreads such
// keys less evenly than full-entropy bytes; arbitrary bytes would flatter it. Printable keys also read
// back in a failure message. The word list covers natural text. With allBytes the keys draw on all
// 256 byte values instead, for structures whose tables grow with the alphabet.
inline std::unique_ptr<Dataset> MakeRandomDataset(const std::string& name, std::size_t n, std::uint64_t seed,
                                                  bool allBytes = false) {
    if (n > 0x7FFFFFFFu) Fail("MakeRandomDataset: too many keys");
    auto ds = std::make_unique<Dataset>();
    ds->name = name;
    ds->keys.Reserve(n, n * 16 + 64);
    ds->absent.Reserve(n, n * 16 + 64);
    Rng rng(seed);
    KeyFilter filter(2 * n);
    constexpr std::uint32_t kAbsentBit = 0x80000000u;
    const auto lookup = [&](std::uint32_t code) {
        return (code & kAbsentBit) ? ds->absent[code & ~kAbsentBit] : ds->keys[code];
    };
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

// The present keys as callers usually hold them: each in a std::string of its own (inline up to 15
// bytes, on the heap beyond), in insertion order, so in the memory order they were made. Looked up in
// the shuffled probe order, strings[probe_index[j]], a key's own bytes are a cache miss, as they are
// for keys that arrive from elsewhere, and a lookup cannot hide its hashing behind that miss. The
// contiguous probe set, read in order, shows the other extreme.
inline const std::vector<std::string>& KeyStrings(Dataset& ds) {
    return ds.Fixture<std::vector<std::string>>("key strings", [&] {
        auto strings = std::make_unique<std::vector<std::string>>();
        strings->reserve(ds.keys.size());
        for (std::size_t i = 0; i < ds.keys.size(); ++i) strings->emplace_back(ds.keys[i]);
        return strings;
    });
}

// The distinct non-empty lines of a word list, in shuffled order: the file is sorted, and sorted
// insertion is a best or worst case for some structures rather than the usual one. Absent keys are
// the words with one byte replaced by another byte that occurs in the list, so they keep the words'
// lengths and alphabet; a word whose variants all turn out present gets none. nullptr, with a
// message, when the list cannot be read.
inline std::unique_ptr<Dataset> LoadWordList(const std::string& name, const char* path, std::uint64_t seed) {
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
    std::vector<std::uint32_t> order(lines.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    rng.Shuffle(order);

    constexpr std::uint32_t kAbsentBit = 0x80000000u;
    KeyFilter filter(2 * lines.size());
    const auto lookup = [&](std::uint32_t code) {
        return (code & kAbsentBit) ? ds->absent[code & ~kAbsentBit] : ds->keys[code];
    };
    bool seen[256] = {};
    for (std::uint32_t i : order) {
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

// Datasets by name, made on first use. Only one is alive at a time: asking for another releases the
// current one with its fixtures, so a program's peak memory is that of its largest dataset.
class Datasets {
public:
    using Maker = std::function<std::unique_ptr<Dataset>()>;

    static void Define(const std::string& name, Maker make) { Instance().makers_[name] = std::move(make); }

    static Dataset& Get(const std::string& name) {
        Datasets& self = Instance();
        if (self.current_ && self.current_->name == name) return *self.current_;
        self.current_.reset();
        auto it = self.makers_.find(name);
        if (it == self.makers_.end()) Fail("no dataset named " + name);
        std::fprintf(stderr, "zkbench: building dataset %s ...", name.c_str());
        std::fflush(stderr);
        const auto start = std::chrono::steady_clock::now();
        self.current_ = it->second();
        if (!self.current_) Fail("dataset " + name + " could not be made");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, " %zu keys, %zu absent, %.1f s\n", self.current_->keys.size(),
                     self.current_->absent.size(), took.count());
        return *self.current_;
    }

private:
    static Datasets& Instance() {
        static Datasets d;
        return d;
    }
    std::map<std::string, Maker> makers_;
    std::unique_ptr<Dataset> current_;
};

// ---- per-key counters ---------------------------------------------------------------------------

// items_per_second, and time_per_key as its inverse (shown in seconds with an SI prefix, so 45.2n is
// 45.2 ns), for a benchmark that handles keys_per_iteration keys in each iteration.
inline void SetPerKeyCounters(benchmark::State& state, std::size_t keys_per_iteration) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * keys_per_iteration));
    state.counters["time_per_key"] = benchmark::Counter(
        static_cast<double>(keys_per_iteration),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ---- files --------------------------------------------------------------------------------------

// A new directory under /tmp for the files a program writes and reads back, removed with its content
// when the object goes. A run stopped by Fail leaves it behind, since abort skips destructors.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/zkbench.XXXXXX";
        if (mkdtemp(name) == nullptr) Fail(std::string("mkdtemp: ") + std::strerror(errno));
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::size_t FileSize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) Fail("cannot stat " + path + ": " + std::strerror(errno));
    return static_cast<std::size_t>(st.st_size);
}

// A file's whole content, as a loader would take it: one block of the file's size, left
// uninitialised (zero-filling 40 MB first would be time no loader spends), filled by stdio.
struct FileBytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
};

inline FileBytes ReadFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) Fail("cannot open " + path + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(fileno(f), &st) != 0) Fail("cannot stat " + path + ": " + std::strerror(errno));
    FileBytes out;
    out.size = static_cast<std::size_t>(st.st_size);
    out.data = std::make_unique_for_overwrite<char[]>(out.size);
    if (std::fread(out.data.get(), 1, out.size, f) != out.size) Fail("short read of " + path);
    std::fclose(f);
    return out;
}

// Replaces path with size bytes as durably as the library's own writers do: a temporary file beside
// it, written, synced, renamed over it, and the directory synced. A peer's save then pays for the
// same guarantee as ours, and the two save rows compare formats rather than fsync policies.
inline void WriteFileDurably(const std::string& path, const void* bytes, std::size_t size) {
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) Fail("cannot create " + tmp + ": " + std::strerror(errno));
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, static_cast<const char*>(bytes) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("cannot write " + tmp + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) Fail("cannot sync " + tmp + ": " + std::strerror(errno));
    if (std::rename(tmp.c_str(), path.c_str()) != 0) Fail("cannot rename " + tmp + ": " + std::strerror(errno));
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0 || close(dfd) != 0) Fail("cannot sync " + dir + ": " + std::strerror(errno));
}

// ---- the comparing main -------------------------------------------------------------------------

namespace report_detail {

struct Key {
    std::string op, dataset;
    bool operator<(const Key& o) const { return std::tie(op, dataset) < std::tie(o.op, o.dataset); }
};

struct Samples {
    std::vector<double> ns_per_key;
    std::map<std::string, std::vector<double>> counters;
};

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline double NanosecondsPerUnit(benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kNanosecond: return 1;
    case benchmark::kMicrosecond: return 1e3;
    case benchmark::kMillisecond: return 1e6;
    case benchmark::kSecond: return 1e9;
    }
    return 1;
}

// Counters that are only time seen another way; the time table already covers them.
inline bool IsTimeCounter(const std::string& name) {
    return name == "items_per_second" || name == "bytes_per_second" || name == "time_per_key";
}

// The console reporter, plus a copy of every finished run for the tables printed after them.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(OutputOptions opts) : ConsoleReporter(opts) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // Repetitions arrive one by one as iteration runs; the tables take their median.
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const std::string& fn = run.run_name.function_name;
            const std::size_t first = fn.find('/');
            const std::size_t last = fn.rfind('/');
            if (first == std::string::npos || first == last) continue;
            const Key key{fn.substr(0, first), fn.substr(first + 1, last - first - 1)};
            const std::string structure = fn.substr(last + 1);
            if (std::find(structures.begin(), structures.end(), structure) == structures.end()) {
                structures.push_back(structure);
            }
            if (std::find(rows.begin(), rows.end(), std::make_pair(key.op, key.dataset)) == rows.end()) {
                rows.emplace_back(key.op, key.dataset);
            }
            Samples& s = samples[key][structure];
            auto ips = run.counters.find("items_per_second");
            if (ips != run.counters.end() && ips->second.value > 0) {
                s.ns_per_key.push_back(1e9 / ips->second.value);
            } else {
                s.ns_per_key.push_back(run.GetAdjustedCPUTime() * NanosecondsPerUnit(run.time_unit));
            }
            for (const auto& [name, counter] : run.counters) {
                if (IsTimeCounter(name)) continue;
                s.counters[name].push_back(counter.value);
                if (std::find(counter_names.begin(), counter_names.end(), name) == counter_names.end()) {
                    counter_names.push_back(name);
                }
            }
        }
    }

    std::vector<std::string> structures;                      // first seen first
    std::vector<std::pair<std::string, std::string>> rows;    // (op, dataset), first seen first
    std::vector<std::string> counter_names;                   // first seen first
    std::map<Key, std::map<std::string, Samples>> samples;
};

// One table: a line per (op, dataset) and structure of ours that has a value for it, a column per
// structure of ours and a column pair (value, ratio) per peer. A line's ratios divide its own
// structure's value, so when ours holds several names each row is compared with whichever of them
// measured it (and a row that two of them measured gets a line for each). With a single name the
// table is the plain "ours against the peers" one. value() gives a structure's figure for a row, or a
// negative number when it has none.
template <class Value>
void PrintTable(const CollectingReporter& r, const std::vector<std::string>& ours,
                const std::vector<std::string>& peers, const std::string& title, const char* unit, Value value) {
    struct Line {
        const std::pair<std::string, std::string>* row;
        std::size_t ours;  // index into ours
        double value;
    };
    std::vector<Line> lines;
    for (const auto& row : r.rows) {
        for (std::size_t i = 0; i < ours.size(); ++i) {
            const double v = value(row, ours[i]);
            if (v >= 0) lines.push_back({&row, i, v});
        }
    }
    if (lines.empty()) return;
    int opw = 9, dsw = 7;
    for (const Line& line : lines) {
        opw = std::max(opw, static_cast<int>(line.row->first.size()));
        dsw = std::max(dsw, static_cast<int>(line.row->second.size()));
    }
    const auto colw = [](const std::string& s) { return std::max(12, static_cast<int>(s.size())); };
    const int unitw = static_cast<int>(std::strlen(unit));
    std::printf("\n%s\n", title.c_str());
    std::printf("%-*s  %-*s", opw, "operation", dsw, "dataset");
    for (const std::string& o : ours) std::printf("  %*s", colw(o), o.c_str());
    for (const std::string& p : peers) std::printf("  %*s  %7s", colw(p), p.c_str(), "ratio");
    std::printf("\n");
    for (const Line& line : lines) {
        std::printf("%-*s  %-*s", opw, line.row->first.c_str(), dsw, line.row->second.c_str());
        for (std::size_t i = 0; i < ours.size(); ++i) {
            if (i == line.ours) {
                std::printf("  %*.2f%s", colw(ours[i]) - unitw, line.value, unit);
            } else {
                std::printf("  %*s", colw(ours[i]), "-");
            }
        }
        for (const std::string& p : peers) {
            const double v = value(*line.row, p);
            if (v < 0) {
                std::printf("  %*s  %7s", colw(p), "-", "-");
            } else {
                std::printf("  %*.2f%s  %7.2f", colw(p) - unitw, v, unit, v > 0 ? line.value / v : 0.0);
            }
        }
        std::printf("\n");
    }
}

}  // namespace report_detail

// main() of a benchmark program: runs what the command line selects (the usual --benchmark_* flags),
// then prints the ratio tables of our structures (ours: one name or several) against every other
// structure seen; see PrintTable for how a row finds its structure of ours.
inline int RunAndCompare(int argc, char** argv, const std::vector<std::string>& ours) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    using Reporter = report_detail::CollectingReporter;
    const bool color = isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
    Reporter reporter(color ? Reporter::OO_Color : Reporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto isOurs = [&](const std::string& s) { return std::find(ours.begin(), ours.end(), s) != ours.end(); };
    std::vector<std::string> seen, peers;
    for (const std::string& s : reporter.structures) (isOurs(s) ? seen : peers).push_back(s);
    if (seen.empty() || peers.empty()) return 0;
    // Only the structures of ours that ran get a column, in the order the caller named them.
    std::vector<std::string> mine;
    for (const std::string& s : ours) {
        if (std::find(seen.begin(), seen.end(), s) != seen.end()) mine.push_back(s);
    }
    std::string label = mine.size() == 1 ? mine[0] : "ours";
    std::string which;
    if (mine.size() > 1) {
        which = "; ours: whichever of ";
        for (std::size_t i = 0; i < mine.size(); ++i) which += (i ? ", " : "") + mine[i];
        which += " the row measures";
    }
    const auto find = [&](const std::pair<std::string, std::string>& row,
                          const std::string& structure) -> const report_detail::Samples* {
        auto byKey = reporter.samples.find(report_detail::Key{row.first, row.second});
        if (byKey == reporter.samples.end()) return nullptr;
        auto it = byKey->second.find(structure);
        return it == byKey->second.end() ? nullptr : &it->second;
    };
    report_detail::PrintTable(
        reporter, mine, peers,
        "Time per key; ratio = " + label + " / peer (above 1: " + label + " is slower)" + which, " ns",
        [&](const auto& row, const std::string& s) {
            const report_detail::Samples* smp = find(row, s);
            return smp ? report_detail::Median(smp->ns_per_key) : -1.0;
        });
    for (const std::string& name : reporter.counter_names) {
        report_detail::PrintTable(reporter, mine, peers, name + "; ratio = " + label + " / peer" + which, "",
                                  [&](const auto& row, const std::string& s) {
                                      const report_detail::Samples* smp = find(row, s);
                                      if (!smp) return -1.0;
                                      auto c = smp->counters.find(name);
                                      return c == smp->counters.end() ? -1.0 : report_detail::Median(c->second);
                                  });
    }
    std::printf("\n");
    return 0;
}

}  // namespace zkbench

#endif  // ZKDICT_BENCH_BENCH_COMMON_H
