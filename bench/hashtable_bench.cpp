/*
 * hashtable_bench: HashTable and HashDelTable against absl::flat_hash_map<std::string, uint64_t> and
 * std::unordered_map<std::string, uint64_t>, on the same keys.
 *
 * Datasets: 1M and 10M random printable keys of 8 to 24 bytes, 1M random keys of 8 to 24 bytes of all
 * 256 byte values (bytes1M), and the system word list when present.
 * Operations, each timed per key:
 *   insert        every key with the value of its position, from a small table, growing as a user
 *                 would: ours from capacity 16, doubling whenever a creating lookup is refused because
 *                 the table is full; the peers default-constructed, without reserve;
 *   find_present  the same keys in shuffled order, reading the value found, from one contiguous
 *                 buffer in that order;
 *   find_strings  the same, each key from its own std::string held in insertion order, so that the
 *                 key's bytes are a cache miss (not for 10M keys);
 *   find_absent   keys of the same shape that are not in the table;
 *   find_absent_strings  the same, each from its own std::string, visited in shuffled order (not
 *                 for 10M keys).
 *   find_present_batch, find_absent_batch  the present or absent keys by batches of 64, ours through
 *                 the batch lookup call, the peers (which have none) one key after another (not for
 *                 10M keys).
 * HashDelTable's find rows (not for 10M keys) come from a table built by the churn's growth policy.
 * Memory per entry (the insert rows): ours counts its own three blocks (record, data area, slot array),
 * the peers count what they hold through operator new, std::string buffers included.
 *
 * On rand1M only, the workloads of a table's whole life, each described where it is defined:
 *   churn         (HashDelTable) 10M alternating inserts and erasures around 1M live keys, per
 *                 operation, with bytes per live entry at the end;
 *   select_sort   (HashTable) every entry out of the table in key order, read by position, per key;
 *   load          (HashTable) a saved table back into memory, per key, against the peer's rebuild
 *                 and against reading the same file into a buffer (raw_read, the floor);
 *   save          (HashTable) the table to a synced file, per key, on the wall clock.
 * Counters: bytes_per_entry on the churn rows (per live key at the end), file_bytes_per_entry on the
 * load rows. The tables compare each row with whichever of our two tables it measures.
 *
 * The peers look keys up without building a std::string: abseil through absl::string_view (Debian's
 * abseil does not alias it to std::string_view), std::unordered_map through a transparent hash and
 * equality. Inserting builds the one std::string each peer keeps.
 */
#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/support/alloc_count.h"
#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/files.h"
#include "bench/support/loops.h"
#include "bench/support/report.h"
#include "bench/support/transparent_hash.h"

#include "adapters/tables.h"

namespace {

using zkbench::Built;
using zkbench::Dataset;
using zkbench::Datasets;
using zkbench::KeySet;
using zkbench::Probe;

// What our two tables answer alike. Their blocks do not come from operator new, and we know them
// exactly; removed entries still in HashDelTable's data area are part of what it holds.
template <class Table>
class OurPacked {
public:
    using Ops = zkadapt::TableOps<Table>;
    static constexpr const char* kName = Ops::kName;

    ~OurPacked() { Ops::Free(t_); }
    OurPacked(const OurPacked&) = delete;
    OurPacked& operator=(const OurPacked&) = delete;

    const std::uint64_t* Find(std::string_view key) const {
        return static_cast<const std::uint64_t*>(Ops::Find(t_, key, false));
    }

    void FindMany(UInt n, const void* const* keys, const UInt* lens, void** values) const {
        if (!Ops::FindMany(t_, n, keys, lens, values)) zkbench::Fail(std::string(kName) + "FindMany failed");
    }

    std::size_t Size() const { return Ops::Size(t_); }

    double Bytes(std::int64_t /*heap_delta*/) const {
        return static_cast<double>(t_->t_data_size) + 4.0 * Ops::Slots(t_) + sizeof(Table);
    }

protected:
    explicit OurPacked(Table* t) : t_(t) {}

    Table* t_;
};

class OurTable : public OurPacked<HashTable> {
public:
    OurTable() : OurPacked(Ops::New(16, nullptr, nullptr, nullptr, sizeof(std::uint64_t), 0, FALSE)) {}
    // Takes over a table made elsewhere (read from a file, say).
    explicit OurTable(HashTable* adopted) : OurPacked(adopted) {}

    // True when the key was new; its value is set either way.
    bool Insert(std::string_view key, std::uint64_t value) {
        const UInt before = Ops::Size(t_);
        for (;;) {
            void* val = Ops::Find(t_, key, true);
            if (val != nullptr) {
                std::memcpy(val, &value, sizeof value);
                return Ops::Size(t_) != before;
            }
            if (!Ops::Full(t_)) zkbench::Fail("HashTable refused " + zkbench::Printable(key) + " while not full");
            Ops::Grow(t_, 2.0f);
        }
    }

    const HashTable* get() const { return t_; }
};

// The sibling with deletion, for the churn workload.
class OurDelTable : public OurPacked<HashDelTable> {
public:
    OurDelTable() : OurPacked(Ops::New(16, nullptr, nullptr, nullptr, sizeof(std::uint64_t), 0)) {}

    // True when the key was new; its value is set either way.
    //
    // A refused creating lookup is answered as the header asks, by growing and retrying, with the
    // policy a sensible user would pick: double when the live keys fill more than half the capacity,
    // and otherwise grow by a factor just above 1. The refusal then comes from the tombstones (each
    // counts twice against the capacity), and that factor only compacts them away, so a table whose
    // live count holds steady keeps its size instead of doubling at every round of erasures.
    bool Insert(std::string_view key, std::uint64_t value) {
        const UInt before = Ops::Size(t_);
        for (int attempt = 0;; ++attempt) {
            void* val = Ops::Find(t_, key, true);
            if (val != nullptr) {
                std::memcpy(val, &value, sizeof value);
                return Ops::Size(t_) != before;
            }
            // Either growth leaves no tombstone and at least half the capacity free.
            if (attempt != 0) zkbench::Fail("HashDelTable refused " + zkbench::Printable(key) + " after growing");
            const bool crowded = 2 * static_cast<std::uint64_t>(Ops::Size(t_)) > Ops::Capacity(t_);
            Ops::Grow(t_, crowded ? 2.0f : 1.001f);
        }
    }

    bool Erase(std::string_view key) { return Ops::Remove(t_, key) == TRUE; }
};

class AbslTable {
public:
    static constexpr const char* kName = "absl_flat_hash_map";
    using Map = absl::flat_hash_map<std::string, std::uint64_t>;

    AbslTable() = default;
    explicit AbslTable(Map adopted) : m_(std::move(adopted)) {}

    bool Insert(std::string_view key, std::uint64_t value) { return m_.try_emplace(std::string(key), value).second; }

    bool Erase(std::string_view key) { return m_.erase(absl::string_view(key.data(), key.size())) == 1; }

    const std::uint64_t* Find(std::string_view key) const {
        auto it = m_.find(absl::string_view(key.data(), key.size()));
        return it == m_.end() ? nullptr : &it->second;
    }

    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return static_cast<double>(heap_delta); }

    const Map& get() const { return m_; }

private:
    Map m_;
};

class StdTable {
public:
    static constexpr const char* kName = "std_unordered_map";

    bool Insert(std::string_view key, std::uint64_t value) { return m_.try_emplace(std::string(key), value).second; }

    // Through find: erasing by a transparent key only arrives with C++23.
    bool Erase(std::string_view key) {
        auto it = m_.find(key);
        if (it == m_.end()) return false;
        m_.erase(it);
        return true;
    }

    const std::uint64_t* Find(std::string_view key) const {
        auto it = m_.find(key);
        return it == m_.end() ? nullptr : &it->second;
    }

    std::size_t Size() const { return m_.size(); }
    double Bytes(std::int64_t heap_delta) const { return static_cast<double>(heap_delta); }

private:
    std::unordered_map<std::string, std::uint64_t, zkbench::ViewHash, zkbench::ViewEqual> m_;
};

// What a table answers for key, for the checks made before anything is timed.
struct FoundValue {
    template <class Table>
    std::optional<std::uint64_t> operator()(const Table& table, std::string_view key) const {
        const std::uint64_t* v = table.Find(key);
        return v != nullptr ? std::optional<std::uint64_t>(*v) : std::nullopt;
    }
};

template <class Table>
Built<Table>& Fixture(Dataset& ds) {
    return zkbench::LookupFixture<Table>(ds, FoundValue{});
}

// Ours from capacity 16, doubling whenever a creating lookup is refused; the peers without reserve.
template <class Table>
void BM_Insert(benchmark::State& state, const std::string& dataset, bool adopt) {
    zkbench::InsertRow<Table>(state, Datasets::Get(dataset), adopt, FoundValue{});
}

// The shuffled present keys or the absent ones, from their contiguous key sets, each answer checked.
template <class Table, Probe kProbe>
void BM_Find(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    zkbench::FindRow<kProbe>(state, ds, Fixture<Table>(ds), [&](const Table& table, const KeySet& keys, std::size_t j) {
        const std::uint64_t* v = table.Find(keys[j]);
        if (zkbench::Wrong<kProbe>(v != nullptr)) [[unlikely]] {
            zkbench::WrongAnswer<kProbe>(Table::kName, keys[j], ds.name);
        }
        if constexpr (kProbe == Probe::kPresent) {
            benchmark::DoNotOptimize(*v);
        } else {
            benchmark::DoNotOptimize(v);
        }
    });
}

// Every key from its own std::string, in shuffled order (see KeyStrings).
template <class Table>
void BM_FindStrings(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const auto lookup = [&](const Table& table, const std::string& key, std::uint32_t i) {
        const std::uint64_t* v = table.Find(key);
        if (v == nullptr || *v != i) [[unlikely]] zkbench::WrongAnswer<Probe::kPresent>(Table::kName, key, ds.name);
    };
    zkbench::FindStringsRow(state, ds, Fixture<Table>(ds), lookup);
}

// The absent keys each in its own std::string, made in one order and visited in another, so that
// a key's own bytes are a cache miss, as they are for a user whose keys arrive from elsewhere.
struct AbsentStrings {
    std::vector<std::string> strings;
    std::vector<std::uint32_t> order;
};

const AbsentStrings& AbsentKeyStrings(Dataset& ds) {
    return ds.Fixture<AbsentStrings>("absent key strings", [&] {
        auto a = std::make_unique<AbsentStrings>();
        a->strings.reserve(ds.absent.size());
        for (std::size_t i = 0; i < ds.absent.size(); ++i) a->strings.emplace_back(ds.absent[i]);
        zkbench::Rng rng(0xAB5E);
        a->order = zkbench::ShuffledOrder(ds.absent.size(), rng);
        return a;
    });
}

template <class Table>
void BM_FindAbsentStrings(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    Built<Table>& b = Fixture<Table>(ds);
    const AbsentStrings& absent = AbsentKeyStrings(ds);
    const Table& table = *b.structure;
    zkbench::FindLoop<Probe::kAbsent>(state, absent.order.size(), b.cursors, [&](std::size_t j) {
        const std::string& key = absent.strings[absent.order[j]];
        const std::uint64_t* v = table.Find(key);
        if (v != nullptr) [[unlikely]] zkbench::WrongAnswer<Probe::kAbsent>(Table::kName, key, ds.name);
        benchmark::DoNotOptimize(v);
    });
}

template <class Table>
void Register(const std::string& dataset, bool huge) {
    // A single build of 1M keys already passes the default half second; several settle the figure.
    zkbench::BuildRow(zkbench::AddRow("insert", dataset, Table::kName, BM_Insert<Table>, dataset, huge), huge, 2.0);
}

// ---- churn ----------------------------------------------------------------------------------------

// The churn workload: the dataset's keys preloaded (not timed), then kChurnOps operations that
// alternate inserting a new key and erasing the oldest live one, so the live count stays at the
// dataset's size. The keys come from one cycle: the present keys, then the absent ones (distinct from
// them and of the same shape). The live keys are always a window of n consecutive keys of the cycle;
// each step inserts the key just past the window and erases its first, so every erased key comes
// back once the cycle wraps, as keys do in a cache or a working set. Every answer is checked as it
// comes, and the whole content once at the end (not timed).
constexpr std::size_t kChurnOps = 10'000'000;

class ChurnCycle {
public:
    explicit ChurnCycle(const Dataset& ds) : ds_(ds), n_(ds.keys.size()), length_(n_ + ds.absent.size()) {}
    std::size_t size() const { return length_; }
    std::size_t Next(std::size_t i) const { return i + 1 == length_ ? 0 : i + 1; }
    std::string_view operator[](std::size_t i) const { return i < n_ ? ds_.keys[i] : ds_.absent[i - n_]; }

private:
    const Dataset& ds_;
    std::size_t n_, length_;
};

template <class Table>
void BM_Churn(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const std::size_t n = ds.keys.size();
    if (ds.absent.size() == 0) {
        state.SkipWithError("the dataset has no absent keys to churn with");
        return;
    }
    const ChurnCycle cycle(ds);
    const std::string name = std::string(Table::kName) + " in churn over " + ds.name + ": ";
    const std::int64_t before = zkbench::LiveHeapBytes();
    auto table = std::make_unique<Table>();
    for (std::size_t i = 0; i < n; ++i) {
        if (!table->Insert(cycle[i], i)) zkbench::Fail(name + "preloading " + zkbench::Printable(cycle[i]) + " found it");
    }
    std::size_t head = 0;  // the oldest live key; the window ends just before tail
    std::size_t tail = n % cycle.size();
    for (auto _ : state) {
        for (std::size_t op = 0; op < kChurnOps; op += 2) {
            if (!table->Insert(cycle[tail], tail)) [[unlikely]] {
                zkbench::Fail(name + "inserting " + zkbench::Printable(cycle[tail]) + " found it present");
            }
            if (!table->Erase(cycle[head])) [[unlikely]] {
                zkbench::Fail(name + "erasing " + zkbench::Printable(cycle[head]) + " found it absent");
            }
            tail = cycle.Next(tail);
            head = cycle.Next(head);
        }
    }
    const std::int64_t delta = zkbench::LiveHeapBytes() - before;
    if (table->Size() != n) zkbench::Fail(name + "holds " + std::to_string(table->Size()) + " keys");
    for (std::size_t i = head, k = 0; k < cycle.size(); i = cycle.Next(i), ++k) {
        const std::uint64_t* v = table->Find(cycle[i]);
        if (k < n ? (v == nullptr || *v != i) : v != nullptr) {
            zkbench::Fail(name + (k < n ? "lost or changed " : "still finds ") + zkbench::Printable(cycle[i]));
        }
    }
    zkbench::SetPerKeyCounters(state, kChurnOps);
    state.counters["bytes_per_entry"] = table->Bytes(delta) / static_cast<double>(n);
}

// ---- select_sort ------------------------------------------------------------------------------------

// The end of a table's life: every entry out in key order (bytes compared as unsigned, a prefix
// first), read by position, folding the values into a checksum.
//
// Ours: a copy of the dataset's table (made and freed with the timer paused, since the in-place
// selection freezes it); timed are HashTableSelect in place, HashTableSort with a comparison that
// decodes both keys through HashTableKey, and a read of every entry through HashTableGetIndex.
//
// The peer: the abseil map copied into a vector of (std::string_view, value) pairs, sorted with
// std::sort, then read in order; timed from the reserve on, its release not. Views, not strings: our
// selection and sort move 4-byte offsets and leave every key byte where it is, and the result is only
// good while the table stays unchanged. Views into the map's own strings are the same bargain; copying
// std::string would also pay for a million copies (an allocation each beyond the short-string
// buffer), which ours never makes.
//
// Both orders are checked against each other, key by key, once before anything is timed; each timed
// pass then checks its checksum against that.
std::uint64_t Fold(std::uint64_t sum, std::uint64_t value) { return (sum ^ value) * 0x100000001B3ull; }

int CompareKeys(const void* a, const void* b, void* ptr) {
    const auto* t = static_cast<const HashTable*>(ptr);
    const UByte* ka;
    const UByte* kb;
    const UInt la = HashTableKey(t, a, &ka);
    const UInt lb = HashTableKey(t, b, &kb);
    if (const int c = std::memcmp(ka, kb, std::min(la, lb))) return c;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

using SortedView = std::vector<std::pair<std::string_view, std::uint64_t>>;

// The selected, sorted copy of the dataset's table; the caller frees it.
HashTable* SelectSorted(const HashTable* source) {
    HashTable* t = HashTableCopy(source);
    HashTableSelect(t, 0, nullptr, nullptr, nullptr);
    HashTableSort(t, CompareKeys, t, nullptr);
    return t;
}

SortedView SortedPeer(const AbslTable::Map& m) {
    SortedView v;
    v.reserve(m.size());
    for (const auto& [key, value] : m) v.emplace_back(key, value);
    std::sort(v.begin(), v.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    return v;
}

struct SortCheck {
    std::uint64_t checksum = 0;
};

SortCheck& SortChecked(Dataset& ds) {
    return ds.Fixture<SortCheck>("select_sort", [&] {
        const HashTable* source = Fixture<OurTable>(ds).structure->get();
        const SortedView peer = SortedPeer(Fixture<AbslTable>(ds).structure->get());
        HashTable* ours = SelectSorted(source);
        const std::size_t n = ds.keys.size();
        if (HashTableSize(ours) != n || peer.size() != n) zkbench::Fail("select_sort: an entry went missing");
        auto check = std::make_unique<SortCheck>();
        for (UInt i = 0; i < n; ++i) {
            const void* val = HashTableGetIndex(ours, i, nullptr);
            const UByte* bytes;
            const UInt len = HashTableKey(ours, val, &bytes);
            const std::string_view key(reinterpret_cast<const char*>(bytes), len);
            std::uint64_t value;
            std::memcpy(&value, val, sizeof value);
            if (key != peer[i].first || value != peer[i].second) {
                zkbench::Fail("select_sort: HashTable has " + zkbench::Printable(key) + " at position " +
                              std::to_string(i) + ", the sorted peer " + zkbench::Printable(peer[i].first));
            }
            if (i > 0 && !(peer[i - 1].first < peer[i].first)) zkbench::Fail("select_sort: the peer is not sorted");
            check->checksum = Fold(check->checksum, value);
        }
        HashTableFree(ours);
        return check;
    });
}

void BM_SelectSortOurs(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const std::uint64_t expected = SortChecked(ds).checksum;
    const HashTable* source = Fixture<OurTable>(ds).structure->get();
    for (auto _ : state) {
        state.PauseTiming();
        HashTable* t = HashTableCopy(source);
        state.ResumeTiming();
        HashTableSelect(t, 0, nullptr, nullptr, nullptr);
        HashTableSort(t, CompareKeys, t, nullptr);
        std::uint64_t sum = 0;
        const UInt n = HashTableSize(t);
        for (UInt i = 0; i < n; ++i) {
            std::uint64_t value;
            std::memcpy(&value, HashTableGetIndex(t, i, nullptr), sizeof value);
            sum = Fold(sum, value);
        }
        state.PauseTiming();
        if (sum != expected) zkbench::Fail("select_sort: HashTable's checksum changed between runs");
        HashTableFree(t);
        state.ResumeTiming();
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
}

void BM_SelectSortAbsl(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const std::uint64_t expected = SortChecked(ds).checksum;
    const AbslTable::Map& m = Fixture<AbslTable>(ds).structure->get();
    for (auto _ : state) {
        SortedView v = SortedPeer(m);
        std::uint64_t sum = 0;
        for (const auto& entry : v) sum = Fold(sum, entry.second);
        state.PauseTiming();
        if (sum != expected) zkbench::Fail("select_sort: the peer's checksum changed between runs");
        SortedView().swap(v);
        state.ResumeTiming();
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
}

// ---- save and load ----------------------------------------------------------------------------------

// The peer's file, what a user of the abseil map writes without a serialisation library: integers in
// the machine's byte order (the file never leaves this run), no padding.
//
//   offset   size   field
//   0        8      n, the number of entries
//   8        ...    n records, each: 4-byte key length L, the L key bytes, the 8-byte value
constexpr std::size_t kPeerHeader = sizeof(std::uint64_t);
constexpr std::size_t kPeerRecordFixed = sizeof(std::uint32_t) + sizeof(std::uint64_t);
static_assert(kPeerHeader == 8 && kPeerRecordFixed == 12, "the layout above");

zkbench::FileBytes SerializePeer(const AbslTable::Map& m) {
    std::size_t size = kPeerHeader;
    for (const auto& entry : m) size += kPeerRecordFixed + entry.first.size();
    zkbench::FileBytes out;
    out.data = std::make_unique_for_overwrite<char[]>(size);
    out.size = size;
    char* p = out.data.get();
    const std::uint64_t n = m.size();
    std::memcpy(p, &n, sizeof n);
    p += sizeof n;
    for (const auto& [key, value] : m) {
        const auto len = static_cast<std::uint32_t>(key.size());
        std::memcpy(p, &len, sizeof len);
        std::memcpy(p + sizeof len, key.data(), len);
        std::memcpy(p + sizeof len + len, &value, sizeof value);
        p += kPeerRecordFixed + len;
    }
    return out;
}

// The map rebuilt from the peer's file, reserved for its entry count up front (as a user who wrote the
// count would); false when the bytes are not such a file. Bounds are checked as they are read, since
// our reader checks its whole file too.
bool LoadPeer(const zkbench::FileBytes& file, AbslTable::Map* m) {
    const char* p = file.data.get();
    const char* const end = p + file.size;
    std::uint64_t n;
    if (file.size < kPeerHeader) return false;
    std::memcpy(&n, p, sizeof n);
    p += sizeof n;
    if (n > static_cast<std::size_t>(end - p) / kPeerRecordFixed) return false;
    m->clear();
    m->reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint32_t len;
        if (static_cast<std::size_t>(end - p) < sizeof len) return false;
        std::memcpy(&len, p, sizeof len);
        p += sizeof len;
        if (static_cast<std::size_t>(end - p) < std::size_t{len} + sizeof(std::uint64_t)) return false;
        std::uint64_t value;
        std::memcpy(&value, p + len, sizeof value);
        if (!m->try_emplace(std::string(p, len), value).second) return false;
        p += len + sizeof value;
    }
    return p == end;
}

// The two saved files, written once from the dataset's tables, each loaded back once and checked in
// full before any load is timed. They live in a temporary directory that goes with the dataset.
//
// Every load reads its file hot from the page cache, where writing it has just put it: the rows
// compare the work of turning bytes into a table, not the disk. raw_read shows what the bytes alone
// cost from there.
//
// Every load pass also starts from a trimmed heap (ReleaseFreeHeap, with the timer paused), so each
// gets fresh pages and pays for faulting them in, as a process loading its tables at start-up does.
// Without it the figures hang on what ran before: a block that happens to fit the free top of the
// heap comes already faulted in, one that does not is mapped afresh, and the faults alone are most
// of the cost of reading 48 MB from the page cache.
struct SavedFiles {
    zkbench::TempDir dir;
    std::string ours = dir.File("table.zkh");
    std::string peer = dir.File("peer.bin");
    std::size_t ours_bytes = 0, peer_bytes = 0;
};

SavedFiles& Saved(Dataset& ds) {
    return ds.Fixture<SavedFiles>("saved files", [&] {
        auto files = std::make_unique<SavedFiles>();
        if (!HashTableWrite(Fixture<OurTable>(ds).structure->get(), files->ours.c_str())) {
            zkbench::Fail("HashTableWrite failed on " + files->ours);
        }
        const zkbench::FileBytes bytes = SerializePeer(Fixture<AbslTable>(ds).structure->get());
        zkbench::WriteFileDurably(files->peer, bytes.data.get(), bytes.size);
        files->ours_bytes = zkbench::FileSize(files->ours);
        files->peer_bytes = zkbench::FileSize(files->peer);

        HashTable* loaded = HashTableRead(files->ours.c_str(), nullptr, nullptr, nullptr, FALSE);
        if (loaded == nullptr) zkbench::Fail("HashTableRead refused the file HashTableWrite made");
        zkbench::Verified(ds, std::make_unique<OurTable>(loaded), FoundValue{});
        AbslTable::Map m;
        if (!LoadPeer(zkbench::ReadFile(files->peer), &m)) zkbench::Fail("the peer's file does not load back");
        zkbench::Verified(ds, std::make_unique<AbslTable>(std::move(m)), FoundValue{});
        return files;
    });
}

// One load pass after another, each from a trimmed heap (see SavedFiles): load() is timed, then
// finish() checks and releases what it made, untimed.
template <class Load, class Finish>
void TimeLoads(benchmark::State& state, const Dataset& ds, Load&& load, Finish&& finish) {
    for (auto _ : state) {
        state.PauseTiming();
        zkbench::ReleaseFreeHeap();
        state.ResumeTiming();
        auto made = load();
        state.PauseTiming();
        finish(made);
        state.ResumeTiming();
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
}

// Timed: HashTableRead, which opens, reads and checks the file and hands out a table; freeing it is
// not timed, nor is the peer's release.
void BM_LoadOurs(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const SavedFiles& files = Saved(ds);
    TimeLoads(
        state, ds, [&] { return HashTableRead(files.ours.c_str(), nullptr, nullptr, nullptr, FALSE); },
        [&](HashTable* t) {
            if (t == nullptr || HashTableSize(t) != ds.keys.size()) zkbench::Fail("HashTableRead lost the table");
            HashTableFree(t);
        });
    state.counters["file_bytes_per_entry"] = static_cast<double>(files.ours_bytes) / ds.keys.size();
}

// Timed: reading the whole file into a new buffer, rebuilding the map from it and dropping the
// buffer, which is the loader's own scratch; releasing the map is not timed.
void BM_LoadAbsl(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const SavedFiles& files = Saved(ds);
    TimeLoads(
        state, ds,
        [&] {
            std::optional<AbslTable::Map> m(std::in_place);
            if (!LoadPeer(zkbench::ReadFile(files.peer), &*m)) m.reset();
            return m;
        },
        [&](std::optional<AbslTable::Map>& m) {
            if (!m || m->size() != ds.keys.size()) zkbench::Fail("the peer's file did not load");
            m.reset();
        });
    state.counters["file_bytes_per_entry"] = static_cast<double>(files.peer_bytes) / ds.keys.size();
}

// The floor under our load: our file read into a new buffer of its size, as HashTableRead reads it
// (stdio, hot page cache, fresh memory to fault in), and nothing else. Filed as a peer of the load row
// so that the table shows HashTable / raw_read, the cost of loading over reading.
void BM_RawRead(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const SavedFiles& files = Saved(ds);
    TimeLoads(
        state, ds, [&] { return zkbench::ReadFile(files.ours); },
        [&](zkbench::FileBytes& bytes) {
            benchmark::DoNotOptimize(bytes.data.get());
            if (bytes.size != files.ours_bytes) zkbench::Fail("reading " + files.ours + " came up short");
            bytes = {};
        });
}

// Timed: the whole save, to a file beside the loaded ones. HashTableWrite writes, syncs and renames;
// the peer serialises into one buffer and writes it with the same sync and rename
// (WriteFileDurably), so both pay for the disk the same way.
void BM_SaveOurs(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const HashTable* t = Fixture<OurTable>(ds).structure->get();
    const std::string path = Saved(ds).dir.File("save.zkh");
    for (auto _ : state) {
        if (!HashTableWrite(t, path.c_str())) zkbench::Fail("HashTableWrite failed on " + path);
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
}

void BM_SaveAbsl(benchmark::State& state, const std::string& dataset) {
    Dataset& ds = Datasets::Get(dataset);
    const AbslTable::Map& m = Fixture<AbslTable>(ds).structure->get();
    const std::string path = Saved(ds).dir.File("save.bin");
    for (auto _ : state) {
        const zkbench::FileBytes bytes = SerializePeer(m);
        zkbench::WriteFileDurably(path, bytes.data.get(), bytes.size);
    }
    zkbench::SetPerKeyCounters(state, ds.keys.size());
}

// The workloads above, on one dataset, next to its other rows so that it is built once.
void RegisterLifeCycle(const std::string& dataset) {
    const auto add = [&](const char* op, const char* structure, void (*fn)(benchmark::State&, const std::string&)) {
        return zkbench::AddRow(op, dataset, structure, fn, dataset)->Unit(benchmark::kMillisecond);
    };
    // One churn of 10M operations per run, since a second would start from a table that the first
    // has already churned; three runs from a fresh preload each, since memory latency on a shared
    // machine drifts over seconds, and the tables take their median.
    add("churn", OurDelTable::kName, BM_Churn<OurDelTable>)->Iterations(1)->Repetitions(3);
    add("churn", AbslTable::kName, BM_Churn<AbslTable>)->Iterations(1)->Repetitions(3);
    add("churn", StdTable::kName, BM_Churn<StdTable>)->Iterations(1)->Repetitions(3);
    add("select_sort", OurTable::kName, BM_SelectSortOurs);
    add("select_sort", AbslTable::kName, BM_SelectSortAbsl);
    add("load", OurTable::kName, BM_LoadOurs);
    add("load", AbslTable::kName, BM_LoadAbsl);
    add("load", "raw_read", BM_RawRead);
    // On the wall clock: waiting for the disk to take the synced file is most of a save.
    add("save", OurTable::kName, BM_SaveOurs)->UseRealTime();
    add("save", AbslTable::kName, BM_SaveAbsl)->UseRealTime();
}

// Ours through the batch call, the peers, which have none, one key after another. With present, the
// shuffled present keys, each answer checked; otherwise the absent keys.
template <class Table>
void BM_FindBatch(benchmark::State& state, const std::string& dataset, bool present) {
    constexpr std::size_t kBatch = zkbench::kFindBatch;
    Dataset& ds = Datasets::Get(dataset);
    Built<Table>& b = Fixture<Table>(ds);
    const Table& table = *b.structure;
    const KeySet& keys = present ? ds.probes : ds.absent;
    const void* ptrs[kBatch];
    UInt lens[kBatch];
    void* values[kBatch];
    zkbench::BatchLoop(state, keys.size(), present, b.cursors, [&](std::size_t j) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            const std::string_view key = keys[j + i];
            ptrs[i] = key.data();
            lens[i] = static_cast<UInt>(key.size());
        }
        if constexpr (requires { table.FindMany(UInt(0), ptrs, lens, values); }) {
            table.FindMany(UInt(kBatch), ptrs, lens, values);
        } else {
            for (std::size_t i = 0; i < kBatch; ++i) values[i] = const_cast<std::uint64_t*>(table.Find(keys[j + i]));
        }
        for (std::size_t i = 0; i < kBatch; ++i) {
            const auto* v = static_cast<const std::uint64_t*>(values[i]);
            if (present ? (v == nullptr || *v != ds.probe_index[j + i]) : v != nullptr) [[unlikely]] {
                zkbench::Fail(std::string(Table::kName) + (present ? " misses " : " finds the absent key ") +
                              zkbench::Printable(keys[j + i]) + " in a batch of " + ds.name);
            }
        }
    });
}

template <class Table>
void RegisterAllFinds(const std::string& dataset, bool huge) {
    const auto add = [&](const char* op, void (*fn)(benchmark::State&, const std::string&)) {
        zkbench::AddRow(op, dataset, Table::kName, fn, dataset)->Unit(benchmark::kNanosecond);
    };
    add("find_present", BM_Find<Table, Probe::kPresent>);
    add("find_absent", BM_Find<Table, Probe::kAbsent>);
    if (!huge) {
        add("find_strings", BM_FindStrings<Table>);
        add("find_absent_strings", BM_FindAbsentStrings<Table>);
        zkbench::AddRow("find_present_batch", dataset, Table::kName, BM_FindBatch<Table>, dataset, true);
        zkbench::AddRow("find_absent_batch", dataset, Table::kName, BM_FindBatch<Table>, dataset, false);
    }
}

void RegisterDataset(const std::string& dataset, bool huge) {
    Register<OurTable>(dataset, huge);
    Register<AbslTable>(dataset, huge);
    Register<StdTable>(dataset, huge);
    RegisterAllFinds<OurTable>(dataset, huge);
    // The table with deletion, built by the same growth policy as in the churn below.
    if (!huge) RegisterAllFinds<OurDelTable>(dataset, huge);
    RegisterAllFinds<AbslTable>(dataset, huge);
    RegisterAllFinds<StdTable>(dataset, huge);
}

}  // namespace

zkbench::Comparison zkbench::RegisterBenchmarks() {
    ZKDictInit();
    DefineStringDatasets();
    RegisterDataset("rand1M", false);
    RegisterLifeCycle("rand1M");
    RegisterDataset("bytes1M", false);
    RegisterDataset("rand10M", true);
    if (WordListReadable("hashtable_bench")) RegisterDataset("words", false);
    return Comparison::AgainstEveryPeer({OurTable::kName, OurDelTable::kName});
}
