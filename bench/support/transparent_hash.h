/*
 * transparent_hash.h: hash and equality for the peers keyed by std::string, so that they look keys up
 * by std::string_view without building a temporary std::string, as ours do.
 */
#ifndef ZKDICT_BENCH_SUPPORT_TRANSPARENT_HASH_H
#define ZKDICT_BENCH_SUPPORT_TRANSPARENT_HASH_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zkbench {

// Hashing a std::string through its view gives the same value as std::hash<std::string>.
//
// Deliberately not noexcept: libstdc++ keeps each node's hash code only for hashes that may throw or
// that it does not deem fast, and it treats std::hash<std::string> that way. A noexcept hash here
// would drop the stored codes, so every step along a bucket chain would hash a key again, and the
// peer would be measured slower than the map its users actually get.
struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct ViewEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

#ifdef __GLIBCXX__
static_assert(std::__cache_default<std::string, ViewHash>::value ==
                  std::__cache_default<std::string, std::hash<std::string>>::value,
              "the transparent hash must keep the node layout of std::unordered_map<std::string, ...>");
#endif

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_TRANSPARENT_HASH_H
