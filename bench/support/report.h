/*
 * report.h: the rows a benchmark program registers and the ratio tables printed at the end of its run.
 *
 * Every program measures one family of ours against its peers on the same keys, in one run. The
 * support library's main calls the program's RegisterBenchmarks, runs what the command line selects
 * (the usual --benchmark_* flags) with the console reporter, and then prints, for each (operation,
 * dataset), time per key of ours and of each peer with the ratio ours / peer, and the same for every
 * other counter the benchmarks register (bytes_per_entry in particular).
 *
 * Naming: a benchmark is registered as "operation/dataset/structure" (for example
 * "find_absent/rand1M/HashTable"); the ratio tables rely on it, and AddRow makes such names.
 */
#ifndef ZKDICT_BENCH_SUPPORT_REPORT_H
#define ZKDICT_BENCH_SUPPORT_REPORT_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zkbench {

// items_per_second, and time_per_key as its inverse (shown in seconds with an SI prefix, so 45.2n is
// 45.2 ns), for a benchmark that handles keys_per_iteration keys in each iteration.
inline void SetPerKeyCounters(benchmark::State& state, std::size_t keys_per_iteration) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * keys_per_iteration));
    state.counters["time_per_key"] = benchmark::Counter(
        static_cast<double>(keys_per_iteration),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Registers fn(state, args...) as the row of operation op on dataset for structure.
template <class Fn, class... Args>
benchmark::internal::Benchmark* AddRow(const std::string& op, const std::string& dataset, const std::string& structure,
                                       Fn fn, Args... args) {
    return benchmark::RegisterBenchmark((op + "/" + dataset + "/" + structure).c_str(), fn, args...);
}

// A build row: in milliseconds; a single build on a huge dataset (one of 10M keys takes seconds and
// gigabytes, and one is a steady enough figure), otherwise as many as fit in min_seconds (a build in a
// fresh heap spends much of its time faulting pages in, and several settle the figure).
inline benchmark::internal::Benchmark* BuildRow(benchmark::internal::Benchmark* row, bool huge, double min_seconds) {
    row->Unit(benchmark::kMillisecond);
    return huge ? row->Iterations(1) : row->MinTime(min_seconds);
}

// What the tables after the run compare.
class Comparison {
public:
    // Our structures (one name or several) against every other structure that ran, in the order first
    // seen. Each row is compared with whichever of ours measured it (and a row that two of them
    // measured gets a line for each); with a single name the tables are the plain "ours against the
    // peers" ones. No tables when none of ours, or no peer, ran.
    static Comparison AgainstEveryPeer(std::vector<std::string> ours);

    // A set of tables for each (ours, peers): that structure against exactly the peers named, each a
    // column whether it ran or not. For a program whose structures of ours each have peers of their own.
    static Comparison Pairwise(std::vector<std::pair<std::string, std::vector<std::string>>> tables);

    // Something of the program's own to print after the tables.
    Comparison& Then(std::function<void()> print) {
        then_ = std::move(print);
        return *this;
    }

private:
    friend int RunAndCompare(int argc, char** argv);

    struct Table {
        std::vector<std::string> ours, peers;
    };
    bool every_peer_ = false;    // ours_ against every other structure seen, or else tables_
    std::vector<std::string> ours_;
    std::vector<Table> tables_;
    std::function<void()> then_;
};

// Defined by each benchmark program: defines its datasets, registers its rows and says what its tables
// compare. The support library's main calls it first, before it reads the command line.
Comparison RegisterBenchmarks();

// The support library's main: RegisterBenchmarks, the run, the tables.
int RunAndCompare(int argc, char** argv);

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_REPORT_H
