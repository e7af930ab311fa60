/*
 * attrdict_bench: AttrDict against the plainest code that does the same job by hand.
 *
 * Dataset: rand1M, 1M strings of uniform random length 0 to 40 bytes, random bytes.
 * Operations, each per string:
 *   add  a whole dictionary built into a temporary directory: AttrDictBuild, every string added,
 *        AttrDictCommit; on the wall clock, since waiting for the disk is part of it. The peer,
 *        fwrite, writes the same two files byte for byte (length byte and bytes into one, the offset
 *        of every fourth string and the count into the other) with fputc and fwrite on two fopen'ed
 *        streams, then fflush, fsync and fclose each. Ours also renames both files into place and
 *        syncs the directory, which the peer skips: the peer is a floor, not a rival design.
 *   get  strings by random identifier from the committed pair, every byte of each string read.
 *        Ours: AttrDictGet on an opened dictionary (sparse index, up to three strings stepped over,
 *        bounds checked). The peer, dense_offsets: a std::vector<uint32_t> holding every string's
 *        offset, over its own read-only mapping of the same data file, no checks.
 * Counters: index_bytes_per_entry on the get rows, the index file against the dense array.
 *
 * Before anything is timed, the peer's files are checked equal to ours and every string is read
 * back through both ways of getting it.
 */
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/files.h"
#include "bench/support/report.h"
#include "dict/attrdict.h"

namespace {

using zkbench::KeySet;

constexpr std::size_t kStrings = 1'000'000;
constexpr std::size_t kMaxLength = 40;
constexpr const char* kDataset = "rand1M";
constexpr const char* kName = "strings";

// What every get does with the string it is handed; the same code for ours and the peer.
inline unsigned SumBytes(const UByte* bytes, unsigned len) {
    unsigned sum = 0;
    for (unsigned k = 0; k < len; ++k) sum += bytes[k];
    return sum;
}

KeySet MakeStrings(std::size_t n, std::uint64_t seed) {
    KeySet out;
    out.Reserve(n, n * (kMaxLength / 2 + 1));
    zkbench::Rng rng(seed);
    char buf[kMaxLength];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = rng.Below(kMaxLength + 1);
        for (std::size_t k = 0; k < len; ++k) buf[k] = static_cast<char>(rng.Next());
        out.Add(std::string_view(buf, len));
    }
    return out;
}

// The strings, the identifiers the gets ask for, and a directory for the files. Made on first use
// and kept for the whole run: one dataset only.
struct Corpus {
    KeySet strings = MakeStrings(kStrings, 0xA77D0001);
    std::vector<Id> ids;  // random, with repeats, as lookups by identifier come
    zkbench::TempDir dir;

    std::string Dir() const {
        std::string path = dir.File("");
        path.pop_back();
        return path;
    }

    Corpus() {
        zkbench::Rng rng(0xA77D0002);
        ids.resize(strings.size());
        for (Id& id : ids) id = static_cast<Id>(rng.Below(strings.size()));
    }
};

Corpus& TheCorpus() {
    // Static, so that the directory goes at exit; the readers, made after it, go before it.
    static const std::unique_ptr<Corpus> corpus = [] {
        std::fprintf(stderr, "zkbench: building dataset %s ...", kDataset);
        std::fflush(stderr);
        auto c = std::make_unique<Corpus>();
        std::fprintf(stderr, " %zu strings, %zu bytes\n", c->strings.size(), c->strings.ByteCount());
        return c;
    }();
    return *corpus;
}

// ---- writing ----------------------------------------------------------------------------------------

void BuildOurs(const KeySet& strings, const std::string& dir, const char* name) {
    AttrDict* d = AttrDictBuild(dir.c_str(), name, FALSE);
    if (d == nullptr) zkbench::Fail("AttrDictBuild in " + dir + ": " + std::strerror(errno));
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const std::string_view s = strings[i];
        AttrDictAdd(d, reinterpret_cast<const UByte*>(s.data()), static_cast<UByte>(s.size()));
    }
    if (!AttrDictCommit(d)) zkbench::Fail(std::string("AttrDictCommit: ") + std::strerror(errno));
}

void SyncAndClose(std::FILE* f, const std::string& path) {
    if (std::fflush(f) != 0 || fsync(fileno(f)) != 0 || std::fclose(f) != 0) {
        zkbench::Fail("cannot write " + path + ": " + std::strerror(errno));
    }
}

// The same two files, written as a user of stdio would.
void WritePeer(const KeySet& strings, const std::string& dat_path, const std::string& idx_path) {
    std::FILE* dat = std::fopen(dat_path.c_str(), "wb");
    std::FILE* idx = std::fopen(idx_path.c_str(), "wb");
    if (dat == nullptr || idx == nullptr) zkbench::Fail("cannot create " + dat_path + " and " + idx_path);
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (i % 4 == 0) std::fwrite(&offset, sizeof offset, 1, idx);
        const std::string_view s = strings[i];
        std::fputc(static_cast<unsigned char>(s.size()), dat);
        std::fwrite(s.data(), 1, s.size(), dat);
        offset += static_cast<std::uint32_t>(1 + s.size());
    }
    const auto count = static_cast<std::uint32_t>(strings.size());
    std::fwrite(&count, sizeof count, 1, idx);
    SyncAndClose(dat, dat_path);
    SyncAndClose(idx, idx_path);
}

bool SameBytes(const std::string& a, const std::string& b) {
    const zkbench::FileBytes x = zkbench::ReadFile(a);
    const zkbench::FileBytes y = zkbench::ReadFile(b);
    return x.size == y.size && std::memcmp(x.data.get(), y.data.get(), x.size) == 0;
}

// Once: the peer writes what our format says, or its row measures some other job.
void CheckWriters(Corpus& c) {
    static bool checked = false;
    if (checked) return;
    BuildOurs(c.strings, c.Dir(), "check");
    WritePeer(c.strings, c.dir.File("check_peer.dat"), c.dir.File("check_peer.idx"));
    if (!SameBytes(c.dir.File("check.dat"), c.dir.File("check_peer.dat")) ||
        !SameBytes(c.dir.File("check.idx"), c.dir.File("check_peer.idx"))) {
        zkbench::Fail("the fwrite peer's files differ from AttrDict's");
    }
    for (const char* f : {"check.dat", "check.idx", "check_peer.dat", "check_peer.idx"}) std::remove(c.dir.File(f).c_str());
    checked = true;
}

void BM_AddOurs(benchmark::State& state) {
    Corpus& c = TheCorpus();
    CheckWriters(c);
    const std::string dir = c.Dir();
    for (auto _ : state) BuildOurs(c.strings, dir, "add");
    zkbench::SetPerKeyCounters(state, c.strings.size());
}

void BM_AddPeer(benchmark::State& state) {
    Corpus& c = TheCorpus();
    CheckWriters(c);
    const std::string dat = c.dir.File("add_peer.dat"), idx = c.dir.File("add_peer.idx");
    for (auto _ : state) WritePeer(c.strings, dat, idx);
    zkbench::SetPerKeyCounters(state, c.strings.size());
}

// ---- reading ----------------------------------------------------------------------------------------

// The committed pair, opened both ways, every string checked through both.
struct Readers {
    AttrDict* ours = nullptr;
    const UByte* data = nullptr;  // the peer's own mapping of the data file
    std::size_t data_size = 0;
    std::vector<std::uint32_t> offsets;
    double ours_index_bytes = 0;
    std::size_t ours_cursor = 0, peer_cursor = 0;

    ~Readers() {
        if (ours != nullptr) AttrDictClose(ours);
        if (data != nullptr) FileUnmap(const_cast<UByte*>(data), data_size);
    }
};

Readers& TheReaders() {
    static const std::unique_ptr<Readers> readers = [] {
        Corpus& c = TheCorpus();
        const std::string dir = c.Dir();
        BuildOurs(c.strings, dir, kName);
        auto r = std::make_unique<Readers>();
        r->ours = AttrDictOpen(dir.c_str(), kName);
        if (r->ours == nullptr) zkbench::Fail(std::string("AttrDictOpen: ") + std::strerror(errno));
        if (AttrDictSize(r->ours) != c.strings.size()) zkbench::Fail("AttrDict lost strings");
        r->ours_index_bytes = static_cast<double>(zkbench::FileSize(c.dir.File(std::string(kName) + ".idx")));

        Boolean empty = FALSE;
        r->data = static_cast<const UByte*>(FileMapRead(dir.c_str(), (std::string(kName) + ".dat").c_str(),
                                                        &r->data_size, &empty));
        if (r->data == nullptr) zkbench::Fail(std::string("cannot map the data file: ") + std::strerror(errno));
        r->offsets.reserve(c.strings.size());
        for (std::size_t at = 0; at < r->data_size; at += 1 + std::size_t{r->data[at]}) {
            r->offsets.push_back(static_cast<std::uint32_t>(at));
        }
        if (r->offsets.size() != c.strings.size()) zkbench::Fail("the data file holds another count of strings");

        for (std::size_t i = 0; i < c.strings.size(); ++i) {
            const std::string_view want = c.strings[i];
            const UByte* bytes = nullptr;
            const UByte len = AttrDictGet(r->ours, static_cast<Id>(i), &bytes);
            if (bytes == nullptr || std::string_view(reinterpret_cast<const char*>(bytes), len) != want) {
                zkbench::Fail("AttrDictGet returns a wrong string for " + std::to_string(i));
            }
            const UByte* p = r->data + r->offsets[i];
            if (std::string_view(reinterpret_cast<const char*>(p + 1), *p) != want) {
                zkbench::Fail("the dense offsets give a wrong string for " + std::to_string(i));
            }
        }
        return r;
    }();
    return *readers;
}

void BM_GetOurs(benchmark::State& state) {
    Corpus& c = TheCorpus();
    Readers& r = TheReaders();
    const AttrDict* d = r.ours;
    const Id* ids = c.ids.data();
    const std::size_t n = c.ids.size();
    std::size_t j = r.ours_cursor;
    for (auto _ : state) {
        const UByte* bytes = nullptr;
        const UByte len = AttrDictGet(d, ids[j], &bytes);
        benchmark::DoNotOptimize(SumBytes(bytes, len));
        if (++j == n) j = 0;
    }
    r.ours_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
    state.counters["index_bytes_per_entry"] = r.ours_index_bytes / static_cast<double>(c.strings.size());
}

void BM_GetPeer(benchmark::State& state) {
    Corpus& c = TheCorpus();
    Readers& r = TheReaders();
    const UByte* data = r.data;
    const std::uint32_t* offsets = r.offsets.data();
    const Id* ids = c.ids.data();
    const std::size_t n = c.ids.size();
    std::size_t j = r.peer_cursor;
    for (auto _ : state) {
        const UByte* p = data + offsets[ids[j]];
        benchmark::DoNotOptimize(SumBytes(p + 1, *p));
        if (++j == n) j = 0;
    }
    r.peer_cursor = j;
    zkbench::SetPerKeyCounters(state, 1);
    state.counters["index_bytes_per_entry"] =
        4.0 * static_cast<double>(r.offsets.capacity()) / static_cast<double>(c.strings.size());
}

}  // namespace

zkbench::Comparison zkbench::RegisterBenchmarks() {
    // A build is a fraction of a second, mostly the two syncs, whose time swings with the disk:
    // several builds per run and the median of three runs.
    const std::pair<const char*, void (*)(benchmark::State&)> adds[] = {{"AttrDict", BM_AddOurs},
                                                                         {"fwrite", BM_AddPeer}};
    for (const auto& [structure, fn] : adds) {
        AddRow("add", kDataset, structure, fn)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0)
            ->Repetitions(3);
    }
    AddRow("get", kDataset, "AttrDict", BM_GetOurs)->MinTime(0.3)->Repetitions(3);
    AddRow("get", kDataset, "dense_offsets", BM_GetPeer)->MinTime(0.3)->Repetitions(3);
    return Comparison::AgainstEveryPeer({"AttrDict"});
}
