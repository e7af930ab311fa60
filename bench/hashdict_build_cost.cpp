// The library's HashDictBuild alone on the keys of a file, for bench/tool_build_cost.sh: the yardstick
// that `zkdict build` on the same file is held to. The keys are loaded before anything is measured;
// then only the build call is timed, and the memory it adds is the peak resident size during the
// call less the resident size before it.
//
//   hashdict_build_cost KEYS     prints "wall_s=S build_rss_bytes=B keys=N"
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dict/hashdict.h"

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
};

UShort KeyAt(void* context, Id idx, const UByte** bytes) {
    const Keys& keys = *static_cast<const Keys*>(context);
    *bytes = reinterpret_cast<const UByte*>(keys.text.data() + keys.starts[idx]);
    return static_cast<UShort>(keys.starts[idx + 1] - keys.starts[idx] - 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hashdict_build_cost KEYS\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", argv[1]);
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
    const size_t n = keys.starts.size() - 1;

    // Memory the loading freed but kept would let the build grow without showing it.
    malloc_trim(0);
    if (!ResetPeak()) {
        std::fprintf(stderr, "cannot reset the peak resident size (/proc/self/clear_refs)\n");
        return 1;
    }
    const long long before = StatusBytes("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    HashDict* d = HashDictBuild(static_cast<Id>(n), &keys, KeyAt, nullptr, 0, 0, FALSE);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long peak = StatusBytes("VmHWM");
    HashDictFree(d);
    std::printf("wall_s=%.3f build_rss_bytes=%lld keys=%zu\n", seconds, peak - before, n);
    return 0;
}
