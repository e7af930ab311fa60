// Soak run of the memory cache: the thread test's writers and readers on a cache that holds well
// under half of what is live, for a set time, so that the collector copies and discards without
// pause. Prints its counters every ten seconds and at the end; exits 1 on any value that was not
// stored under its key or had expired, or when the collector stops making room.
//
//   cache_soak [seconds] [seed]        (make soak SOAK_SECONDS=3600)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"
#include "tests/cache_stress.h"

namespace {

unsigned long long ULL(ULong v) { return v; }

void Print(const char* what, ULong elapsedMs, const zktest::StressCounts& n, Cache* c) {
    const zk::CacheCounters& k = zk::Impl(c)->counters;
    std::printf("%s %llus: stored %llu (refused %llu), read %llu (hit %llu); copied %llu, dropped %llu, "
                "replaced %llu; pages emptied %llu, emergency %llu; read retries %llu\n",
                what, ULL(elapsedMs / 1000), ULL(n.stored), ULL(n.refused), ULL(n.reads), ULL(n.found),
                ULL(k.blocks_copied), ULL(k.blocks_dropped), ULL(k.blocks_replaced), ULL(k.pages_emptied),
                ULL(k.pages_emergency), ULL(k.read_retries));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const ULong seconds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    zktest::StressSettings s;
    s.seed = argc > 2 ? UInt(std::strtoul(argv[2], nullptr, 10)) : 1;
    // 32 pages of 4 KiB, 400 keys of up to 600 bytes, generations of 2 ms: as in the thread test.
    Cache* c = ZKCacheNewWithParams(4, 4096, 1, 25, 50, 2, 32 * 4096);
    if (c == nullptr) {
        std::fprintf(stderr, "cache_soak: cannot create the cache\n");
        return 1;
    }
    const ULong start = GetCurrentTimeMilliseconds();
    s.untilMs = start + seconds * 1000;
    std::printf("cache_soak: %llu s, seed %u, %d writers, %d readers\n", ULL(seconds), s.seed, s.writers, s.readers);
    zktest::StressCounts n;
    int ticks = 0;
    const std::string fault = zktest::RunCacheStress(c, s, n, [&] {
        if (++ticks % 10 == 0) Print("after", GetCurrentTimeMilliseconds() - start, n, c);
    });
    Print("end", GetCurrentTimeMilliseconds() - start, n, c);
    ZKCacheDelete(c);
    if (!fault.empty()) {
        std::printf("cache_soak: FAILED: %s\n", fault.c_str());
        return 1;
    }
    std::printf("cache_soak: no mismatch\n");
    return 0;
}
