// cache_stress.h: writers and readers on one cache while its collector copies and drops blocks, with
// every value read checked to be one that was stored under its key and not yet expired. The thread
// test runs it for a fixed amount of data, the soak program (cache_soak.cpp) for a set time.
#ifndef ZKDICT_TESTS_CACHE_STRESS_H
#define ZKDICT_TESTS_CACHE_STRESS_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dict/zkcache.h"
#include "zklib/zklib.h"

namespace zktest {

// A value that names its key, writer, sequence number and expiry and ends with a fingerprint of the
// rest, so that a reader can tell a torn, foreign or stale value from a sound one on its own.
inline std::string MakeValue(const std::string& key, UInt writer, ULong seq, ULong expires, size_t pad) {
    std::string v = key + '|' + std::to_string(writer) + '|' + std::to_string(seq) + '|' + std::to_string(expires) + '|';
    v.append(pad, char('a' + seq % 26));
    const FPrint sum = Fingerprint(v.data(), v.size());
    v.append(reinterpret_cast<const char*>(&sum), sizeof sum);
    return v;
}

// Empty when value is one that MakeValue made for key and still readable at time readStart.
inline std::string Verify(const std::string& key, const std::string& value, ULong readStart) {
    if (value.size() < key.size() + 1 + sizeof(FPrint)) return "value too short";
    FPrint sum;
    std::memcpy(&sum, value.data() + value.size() - sizeof sum, sizeof sum);
    if (Fingerprint(value.data(), value.size() - sizeof sum) != sum) return "checksum mismatch";
    if (value.compare(0, key.size() + 1, key + '|') != 0) return "value of another key";
    size_t p = value.find('|', key.size() + 1);
    p = value.find('|', p + 1);
    const ULong expires = std::strtoull(value.c_str() + p + 1, nullptr, 10);
    if (expires <= readStart) return "expired value returned";
    return "";
}

struct StressSettings {
    int writers = 3;
    int readers = 3;
    int keys = 400;
    size_t maxPad = 600;         // values carry up to this many filler bytes
    ULong bytesPerWriter = 0;    // each writer stops after storing this much, when not 0
    ULong untilMs = 0;           // or at this time (GetCurrentTimeMilliseconds), when not 0
    UInt seed = 1;
};

struct StressCounts {
    std::atomic<ULong> stored{0}, refused{0}, reads{0}, found{0};
};

// Runs the writers and readers to the end set by s and returns the first fault seen, or "".
// A writer whose stores are refused a hundred million times in a row reports that the collector
// never made room. progress, when given, is called about once a second from the calling thread.
inline std::string RunCacheStress(Cache* c, const StressSettings& s, StressCounts& counts,
                                  const std::function<void()>& progress = {}) {
    std::atomic<int> writersLeft{s.writers};
    std::atomic<bool> failed{false};
    std::vector<std::string> faults(size_t(s.writers + s.readers));
    const auto u = [](const std::string& k) { return reinterpret_cast<const UByte*>(k.c_str()); };
    std::vector<std::thread> threads;
    for (int w = 0; w < s.writers; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937_64 rng(ULong(s.seed) * 31 + ULong(w));
            ULong bytes = 0, seq = 0, refusedInARow = 0;
            while (!failed) {
                if (s.bytesPerWriter != 0 && bytes >= s.bytesPerWriter) break;
                if (s.untilMs != 0 && (seq & 63) == 0 && GetCurrentTimeMilliseconds() >= s.untilMs) break;
                const std::string key = "key-" + std::to_string(rng() % ULong(s.keys));
                // One store in eight expires within a few milliseconds.
                const ULong expires =
                    rng() % 8 == 0 ? GetCurrentTimeMilliseconds() + rng() % 5 : ZK_CACHE_NEVER_EXPIRES;
                const std::string value = MakeValue(key, UInt(w), ++seq, expires, rng() % (s.maxPad + 1));
                if (ZKCacheStore(c, u(key), u(value), UInt(value.size()), expires)) {
                    bytes += value.size();
                    refusedInARow = 0;
                    ++counts.stored;
                } else {
                    ++counts.refused;
                    if (++refusedInARow == 100000000u) {
                        faults[size_t(w)] = "the collector never made room";
                        failed = true;
                    }
                }
            }
            --writersLeft;
        });
    }
    for (int r = 0; r < s.readers; ++r) {
        threads.emplace_back([&, r] {
            std::mt19937_64 rng(ULong(s.seed) * 131 + ULong(r));
            UByteArray dyn;
            ArrayInit_(&dyn);
            std::vector<char> buf(4096);
            while (writersLeft > 0 && !failed) {
                const std::string key = "key-" + std::to_string(rng() % ULong(s.keys));
                const ULong start = GetCurrentTimeMilliseconds();
                std::string value;
                bool hit;
                if (rng() % 2) {
                    UInt size = 0;
                    hit = ZKCacheGetStatic(c, u(key), buf.data(), UInt(buf.size()), &size);
                    if (hit) value.assign(buf.data(), size);
                } else {
                    dyn.length = 0;
                    hit = ZKCacheGetDynamic(c, u(key), &dyn);
                    if (hit) value.assign(reinterpret_cast<char*>(dyn.data), dyn.length);
                }
                ++counts.reads;
                if (!hit) continue;
                ++counts.found;
                const std::string fault = Verify(key, value, start);
                if (!fault.empty()) {
                    faults[size_t(s.writers + r)] = fault + " for " + key;
                    failed = true;
                }
            }
            ArrayFree_(&dyn);
        });
    }
    if (progress) {
        while (writersLeft > 0 && !failed) {
            for (int i = 0; i < 20 && writersLeft > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (writersLeft > 0) progress();
        }
    }
    for (auto& t : threads) t.join();
    for (const auto& f : faults) {
        if (!f.empty()) return f;
    }
    return "";
}

}  // namespace zktest

#endif  // ZKDICT_TESTS_CACHE_STRESS_H
