// The ratio tables and the main every benchmark program shares (report.h).
#include "bench/support/report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>

namespace zkbench {

Comparison Comparison::AgainstEveryPeer(std::vector<std::string> ours) {
    Comparison c;
    c.every_peer_ = true;
    c.ours_ = std::move(ours);
    return c;
}

Comparison Comparison::Pairwise(std::vector<std::pair<std::string, std::vector<std::string>>> tables) {
    Comparison c;
    for (auto& [ours, peers] : tables) c.tables_.push_back({{std::move(ours)}, std::move(peers)});
    return c;
}

namespace {

using Row = std::pair<std::string, std::string>;  // (operation, dataset)

struct Samples {
    std::vector<double> ns_per_key;
    std::map<std::string, std::vector<double>> counters;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double NanosecondsPerUnit(benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kNanosecond: return 1;
    case benchmark::kMicrosecond: return 1e3;
    case benchmark::kMillisecond: return 1e6;
    case benchmark::kSecond: return 1e9;
    }
    return 1;
}

// Counters that are only time seen another way; the time table already covers them.
bool IsTimeCounter(const std::string& name) {
    return name == "items_per_second" || name == "bytes_per_second" || name == "time_per_key";
}

template <class T>
void AddOnce(std::vector<T>& v, const T& x) {
    if (std::find(v.begin(), v.end(), x) == v.end()) v.push_back(x);
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
            const Row row{fn.substr(0, first), fn.substr(first + 1, last - first - 1)};
            const std::string structure = fn.substr(last + 1);
            AddOnce(structures, structure);
            AddOnce(rows, row);
            Samples& s = samples[row][structure];
            auto ips = run.counters.find("items_per_second");
            if (ips != run.counters.end() && ips->second.value > 0) {
                s.ns_per_key.push_back(1e9 / ips->second.value);
            } else {
                s.ns_per_key.push_back(run.GetAdjustedCPUTime() * NanosecondsPerUnit(run.time_unit));
            }
            for (const auto& [name, counter] : run.counters) {
                if (IsTimeCounter(name)) continue;
                s.counters[name].push_back(counter.value);
                AddOnce(counter_names, name);
            }
        }
    }

    // The samples of structure on row, or null.
    const Samples* Find(const Row& row, const std::string& structure) const {
        auto byRow = samples.find(row);
        if (byRow == samples.end()) return nullptr;
        auto it = byRow->second.find(structure);
        return it == byRow->second.end() ? nullptr : &it->second;
    }

    std::vector<std::string> structures;    // first seen first
    std::vector<Row> rows;                  // first seen first
    std::vector<std::string> counter_names; // first seen first
    std::map<Row, std::map<std::string, Samples>> samples;
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
        const Row* row;
        std::size_t ours;  // index into ours
        double value;
    };
    std::vector<Line> lines;
    for (const Row& row : r.rows) {
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

// The time table and a table per other counter, of the structures mine against peers.
void PrintTables(const CollectingReporter& r, const std::vector<std::string>& mine,
                 const std::vector<std::string>& peers) {
    const std::string label = mine.size() == 1 ? mine[0] : "ours";
    std::string which;
    if (mine.size() > 1) {
        which = "; ours: whichever of ";
        for (std::size_t i = 0; i < mine.size(); ++i) which += (i ? ", " : "") + mine[i];
        which += " the row measures";
    }
    PrintTable(r, mine, peers,
               "Time per key; ratio = " + label + " / peer (above 1: " + label + " is slower)" + which, " ns",
               [&](const Row& row, const std::string& s) {
                   const Samples* smp = r.Find(row, s);
                   return smp ? Median(smp->ns_per_key) : -1.0;
               });
    for (const std::string& name : r.counter_names) {
        PrintTable(r, mine, peers, name + "; ratio = " + label + " / peer" + which, "",
                   [&](const Row& row, const std::string& s) {
                       const Samples* smp = r.Find(row, s);
                       if (!smp) return -1.0;
                       auto c = smp->counters.find(name);
                       return c == smp->counters.end() ? -1.0 : Median(c->second);
                   });
    }
}

// Comparison::AgainstEveryPeer: only the structures of ours that ran get a column, in the order the
// program named them.
void PrintAgainstEveryPeer(const CollectingReporter& r, const std::vector<std::string>& ours) {
    const auto isOurs = [&](const std::string& s) { return std::find(ours.begin(), ours.end(), s) != ours.end(); };
    std::vector<std::string> seen, peers;
    for (const std::string& s : r.structures) (isOurs(s) ? seen : peers).push_back(s);
    if (seen.empty() || peers.empty()) return;
    std::vector<std::string> mine;
    for (const std::string& s : ours) {
        if (std::find(seen.begin(), seen.end(), s) != seen.end()) mine.push_back(s);
    }
    PrintTables(r, mine, peers);
    std::printf("\n");
}

}  // namespace

int RunAndCompare(int argc, char** argv) {
    const Comparison comparison = RegisterBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const bool color = isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
    CollectingReporter reporter(color ? CollectingReporter::OO_Color : CollectingReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    if (comparison.every_peer_) {
        PrintAgainstEveryPeer(reporter, comparison.ours_);
    } else {
        for (const Comparison::Table& t : comparison.tables_) PrintTables(reporter, t.ours, t.peers);
        std::printf("\n");
    }
    if (comparison.then_) comparison.then_();
    return 0;
}

}  // namespace zkbench

int main(int argc, char** argv) { return zkbench::RunAndCompare(argc, argv); }
