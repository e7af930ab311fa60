// The C++ layer: one memory cache shared by four threads, each storing and reading its own keys with
// an expiry, removing some; values come back as copies, so nothing points into the cache.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zkdict/cache.hpp"

int main() {
    zkdict::Cache cache(8u << 20, {.region_pages = 8, .page_size = 256u << 10});
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&cache, &wrong, w] {
            for (int i = 0; i < 1000; ++i) {
                const std::string key = "user:" + std::to_string(w) + ":" + std::to_string(i);
                const std::string value = "profile of " + key;
                if (!cache.store(key, value, zkdict::Cache::now() + 60'000)) continue;  // a cache may refuse
                const auto back = cache.get(key);
                if (back && *back != value) ++wrong;  // it may also have dropped it already
                if (i % 2 == 0) cache.erase(key);
            }
        });
    }
    for (auto& t : workers) t.join();
    const auto stats = cache.stats();
    std::printf("%u blocks, %llu bytes; user:0:1 is %s\n", stats.objects, (unsigned long long)stats.bytes,
                cache.contains("user:0:1") ? "cached" : "gone");
    return wrong == 0 && !cache.contains("user:0:0") ? 0 : 1;
}
