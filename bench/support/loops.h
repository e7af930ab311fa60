/*
 * loops.h: the timed loops of the build and lookup benchmarks, and the fixtures they run on.
 *
 * The lookup loops take one key per iteration (or one batch), each structure's call inlined into the
 * loop through the lambda it is handed; the structure, the keys and the checks of the answers stay the
 * program's own. Fixtures live with their dataset (datasets.h), so the framework's repeated runs and
 * the other rows of a dataset reuse them.
 */
#ifndef ZKDICT_BENCH_SUPPORT_LOOPS_H
#define ZKDICT_BENCH_SUPPORT_LOOPS_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/support/alloc_count.h"
#include "bench/support/datasets.h"
#include "bench/support/fail.h"
#include "bench/support/report.h"

namespace zkbench {

// ---- builds -------------------------------------------------------------------------------------

// One build per iteration by build() (a std::unique_ptr), each from the heap the previous one gave
// back, as repeated builds in one process would; releasing is not timed. Returns the last build,
// null when no iteration ran.
template <class Build>
auto TimedBuilds(benchmark::State& state, Build&& build) {
    decltype(build()) made;
    for (auto _ : state) {
        state.PauseTiming();
        made.reset();
        state.ResumeTiming();
        made = build();
        benchmark::DoNotOptimize(made.get());
    }
    return made;
}

// A new T holding every key of ds (key i with the value i, inserted in order through T::Insert), and
// its memory per entry: T::Bytes of the heap bytes taken meanwhile, over the key count. T itself is
// allocated inside the measured span, as its record is part of what ours counts.
template <class T, class D>
std::unique_ptr<T> BuildCounted(const D& ds, double* bytes_per_entry) {
    const auto& keys = ds.keys;
    const std::int64_t before = LiveHeapBytes();
    auto made = std::make_unique<T>();
    for (std::size_t i = 0; i < keys.size(); ++i) made->Insert(keys[i], i);
    const std::int64_t delta = LiveHeapBytes() - before;
    if (made->Size() != keys.size()) {
        Fail(std::string(T::kName) + " holds " + std::to_string(made->Size()) + " entries after " +
             std::to_string(keys.size()) + " distinct keys of " + ds.name);
    }
    *bytes_per_entry = made->Bytes(delta) / static_cast<double>(keys.size());
    return made;
}

// ---- lookup fixtures ----------------------------------------------------------------------------

// Which keys a lookup benchmark asks for: the dataset's present keys, shuffled, or its absent ones.
enum class Probe { kPresent, kAbsent };

// Whether a lookup of one of kProbe's keys answered wrongly, going by whether it found the key.
template <Probe kProbe>
constexpr bool Wrong(bool found) {
    return found != (kProbe == Probe::kPresent);
}

// Stops the run over a lookup of structure on dataset that missed key, one of kProbe's keys, or found
// it though absent.
template <Probe kProbe, class Key>
[[noreturn]] void WrongAnswer(const char* structure, const Key& key, const std::string& dataset) {
    if constexpr (kProbe == Probe::kPresent) {
        Fail(std::string(structure) + " misses " + Printable(key) + " of " + dataset);
    } else {
        Fail(std::string(structure) + " finds the absent key " + Printable(key) + " in " + dataset);
    }
}

// Where the next run of each lookup benchmark of one structure and dataset starts: where the
// previous run stopped, so the framework's repeated runs do not replay warm keys.
struct Cursors {
    std::size_t present = 0;
    std::size_t absent = 0;

    std::size_t& operator[](Probe probe) { return probe == Probe::kPresent ? present : absent; }
};

// A structure built for the lookup benchmarks, with their cursors.
template <class T>
struct Built {
    std::unique_ptr<T> structure;
    Cursors cursors;
};

// Checks every lookup once, in full, before any is timed: a fast wrong answer is no result.
// answer(t, key) is what t answers for key: the value found, or std::nullopt.
template <class T, class D, class Answer>
std::unique_ptr<Built<T>> Verified(const D& ds, std::unique_ptr<T> t, const Answer& answer) {
    for (std::size_t j = 0; j < ds.probes.size(); ++j) {
        const std::optional<std::uint64_t> v = answer(*t, ds.probes[j]);
        if (!v) WrongAnswer<Probe::kPresent>(T::kName, ds.probes[j], ds.name);
        if (*v != ds.probe_index[j]) {
            Fail(std::string(T::kName) + " returns a wrong value for " + Printable(ds.probes[j]) + " of " + ds.name);
        }
    }
    for (std::size_t j = 0; j < ds.absent.size(); ++j) {
        if (answer(*t, ds.absent[j])) WrongAnswer<Probe::kAbsent>(T::kName, ds.absent[j], ds.name);
    }
    auto b = std::make_unique<Built<T>>();
    b->structure = std::move(t);
    return b;
}

// The lookup benchmarks' T on ds: BuildCounted and Verified on first use, kept under T::kName.
template <class T, class D, class Answer>
Built<T>& LookupFixture(D& ds, const Answer& answer) {
    return ds.template Fixture<Built<T>>(T::kName, [&] {
        double bytes_per_entry = 0;
        return Verified(ds, BuildCounted<T>(ds, &bytes_per_entry), answer);
    });
}

// The insert row of T on ds: TimedBuilds of BuildCounted, per key, with bytes_per_entry.
//
// With adopt, the last structure built becomes the lookup benchmarks' fixture, when they have none
// yet: a 10M-key build is too costly to make twice. Only for rows of a fixed iteration count, since a
// structure kept from the framework's trial run would sit in the heap through the measured one.
template <class T, class D, class Answer>
void InsertRow(benchmark::State& state, D& ds, bool adopt, const Answer& answer) {
    double bytes_per_entry = 0;
    std::unique_ptr<T> made = TimedBuilds(state, [&] { return BuildCounted<T>(ds, &bytes_per_entry); });
    SetPerKeyCounters(state, ds.keys.size());
    state.counters["bytes_per_entry"] = bytes_per_entry;
    if (adopt && made) {
        ds.template Fixture<Built<T>>(T::kName, [&] { return Verified(ds, std::move(made), answer); });
    }
}

// ---- lookup loops -------------------------------------------------------------------------------

// One lookup per iteration: lookup(j) asks for the j-th of n keys, j going from the cursor of
// kProbe's keys round the n. A dataset without absent keys skips the absent rows.
template <Probe kProbe, class Lookup>
void FindLoop(benchmark::State& state, std::size_t n, Cursors& cursors, Lookup&& lookup) {
    if (kProbe == Probe::kAbsent && n == 0) {
        state.SkipWithError("the dataset has no absent keys");
        return;
    }
    std::size_t j = cursors[kProbe];
    for (auto _ : state) {
        lookup(j);
        if (++j == n) j = 0;
    }
    cursors[kProbe] = j;
    SetPerKeyCounters(state, 1);
}

// A find row of b's structure t over the dataset's contiguous key set of kProbe (the shuffled present
// keys or the absent ones): lookup(t, keys, j) asks t for keys[j]. It gets the set and the position
// rather than the key, so that only the failure path makes the key again, and the loop does not hold
// it across the lookup call as a key passed in would be.
template <Probe kProbe, class T, class D, class Lookup>
void FindRow(benchmark::State& state, const D& ds, Built<T>& b, Lookup&& lookup) {
    T& t = *b.structure;
    const auto& keys = kProbe == Probe::kPresent ? ds.probes : ds.absent;
    FindLoop<kProbe>(state, keys.size(), b.cursors, [&](std::size_t j) { lookup(t, keys, j); });
}

// A find_strings row: every present key from its own std::string (KeyStrings), in the shuffled probe
// order; lookup(t, key, i) asks t for key i.
template <class T, class Lookup>
void FindStringsRow(benchmark::State& state, Dataset& ds, Built<T>& b, Lookup&& lookup) {
    T& t = *b.structure;
    const std::vector<std::string>& strings = KeyStrings(ds);
    FindLoop<Probe::kPresent>(state, ds.probe_index.size(), b.cursors, [&](std::size_t j) {
        const std::uint32_t i = ds.probe_index[j];
        lookup(t, strings[i], i);
    });
}

// Lookups by batches of kFindBatch keys, as a caller holding many keys at once makes them: batch(j)
// asks for keys j to j + kFindBatch - 1 of the n and checks the answers. present picks the cursor,
// that of the present keys or of the absent ones; a batch starts on a multiple of kFindBatch.
inline constexpr std::size_t kFindBatch = 64;

template <class Batch>
void BatchLoop(benchmark::State& state, std::size_t keys, bool present, Cursors& cursors, Batch&& batch) {
    const std::size_t n = keys / kFindBatch * kFindBatch;
    if (n == 0) {
        state.SkipWithError("the dataset has too few keys");
        return;
    }
    std::size_t& cursor = cursors[present ? Probe::kPresent : Probe::kAbsent];
    std::size_t j = cursor / kFindBatch * kFindBatch % n;
    for (auto _ : state) {
        batch(j);
        j += kFindBatch;
        if (j == n) j = 0;
    }
    cursor = j;
    SetPerKeyCounters(state, kFindBatch);
}

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_LOOPS_H
