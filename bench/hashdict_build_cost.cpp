// One build of the static dictionary on the keys of a file, timed alone, for the build cost scripts:
// bench/tool_build_cost.sh holds `zkdict build` to the C build, bench/cpp_build_cost.sh holds the C++
// layer to it. The keys are loaded, and held the way the client in question holds them, before
// anything is measured; then only the build call is timed, and the memory it adds is the peak
// resident size during the call less the resident size before it.
//
//   hashdict_build_cost [--strings|--views] KEYS
//       (no option)  HashDictBuild through a callback over one text and its line starts: the C client
//                    that holds its keys as compactly as it can
//       --strings    zkdict::HashDict::build over a std::vector<std::string>, as a C++ client that read
//                    the lines one by one holds them
//       --views      zkdict::HashDict::build over a std::vector<std::string_view> into one text: what
//                    the C++ layer itself costs, the keys' layout being the C client's
//   prints "wall_s=S build_rss_bytes=B held_rss_bytes=H keys=N", H being the resident size before the
//   build (the keys as held, plus the program)
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "dict/hashdict.h"
#include "zkdict/zkdict.hpp"

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1.
long long StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
            return std::atoll(line.c_str() + n + 1) * 1024;
        }
    }
    return -1;
}

// Starts the peak resident size afresh from the current one, so that the peak read after the build
// is the build's own and not the loading's.
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5" << std::flush;
    return static_cast<bool>(clear);
}

// The keys as compactly as a client can hold them, so that the callback costs the build as little as
// it can: one text, and where each line starts (plus one entry past the last line's newline).
struct Keys {
    std::string text;
    std::vector<uint64_t> starts;

    size_t size() const { return starts.size() - 1; }
    std::string_view operator[](size_t i) const {
        return std::string_view(text).substr(starts[i], starts[i + 1] - starts[i] - 1);
    }
};

UShort KeyAt(void* context, Id idx, const UByte** bytes) {
    const Keys& keys = *static_cast<const Keys*>(context);
    *bytes = reinterpret_cast<const UByte*>(keys.text.data() + keys.starts[idx]);
    return static_cast<UShort>(keys.starts[idx + 1] - keys.starts[idx] - 1);
}

enum class Client { c, strings, views };

}  // namespace

int main(int argc, char** argv) {
    Client client = Client::c;
    if (argc == 3 && std::strcmp(argv[1], "--strings") == 0) {
        client = Client::strings;
    } else if (argc == 3 && std::strcmp(argv[1], "--views") == 0) {
        client = Client::views;
    } else if (argc != 2) {
        std::fprintf(stderr, "usage: hashdict_build_cost [--strings|--views] KEYS\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", path);
        return 1;
    }
    Keys keys;
    keys.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!keys.text.empty() && keys.text.back() != '\n') keys.text += '\n';
    keys.starts.reserve(static_cast<size_t>(std::count(keys.text.begin(), keys.text.end(), '\n')) + 1);
    keys.starts.push_back(0);
    for (size_t i = 0; i < keys.text.size(); ++i) {
        if (keys.text[i] == '\n') keys.starts.push_back(i + 1);
    }
    const size_t n = keys.size();

    // The C++ clients keep only their own form of the keys, so that the resident size before the
    // build is what each of them really holds.
    std::vector<std::string> strings;
    std::vector<std::string_view> views;
    if (client == Client::strings) {
        strings.reserve(n);
        for (size_t i = 0; i < n; ++i) strings.emplace_back(keys[i]);
        keys = Keys{};
    } else if (client == Client::views) {
        views.reserve(n);
        for (size_t i = 0; i < n; ++i) views.push_back(keys[i]);
        std::vector<uint64_t>().swap(keys.starts);
    }

    // Memory the loading freed but kept would let the build grow without showing it.
    malloc_trim(0);
    if (!ResetPeak()) {
        std::fprintf(stderr, "cannot reset the peak resident size (/proc/self/clear_refs)\n");
        return 1;
    }
    const long long before = StatusBytes("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    long long peak = 0;
    if (client == Client::c) {
        HashDict* d = HashDictBuild(static_cast<Id>(n), &keys, KeyAt, nullptr, 0, 0, FALSE);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        peak = StatusBytes("VmHWM");
        HashDictFree(d);
    } else {
        try {
            zkdict::HashDict d = client == Client::strings ? zkdict::HashDict::build(strings, {})
                                                           : zkdict::HashDict::build(views, {});
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            peak = StatusBytes("VmHWM");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", path, e.what());
            return 1;
        }
    }
    std::printf("wall_s=%.3f build_rss_bytes=%lld held_rss_bytes=%lld keys=%zu\n", seconds, peak - before, before, n);
    return 0;
}
