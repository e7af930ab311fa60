// adapters/idmap.h: IdMap and RefMap behind one set of names, for the code that drives both widths
// alike: the typed tests, the operation fuzzer and the benchmark.
//
// Each name is the C call itself, with its arguments and its result as they are (FindMany's
// Boolean included), so that a test through the adapter still sees the exact behaviour of the C
// API, failures and assertions alike. The calls are inline and static, with no object in between:
// a benchmark through the adapter measures the map.
//
// Not the C++ layer (zkdict/idmap.hpp): that one refuses the sentinel and hides the C results, and
// these callers need the C API bare, the record's fields and the invariant checker too.
#ifndef ZKDICT_ADAPTERS_IDMAP_H
#define ZKDICT_ADAPTERS_IDMAP_H

#include <string>

#include "dict/idmap.h"
#include "dict/idmap_internal.h"

namespace zkadapt {

template <class M>
struct IntMapOps;

// The two widths differ only in the prefix of their calls and in their types.
#define ZKADAPT_INTMAP_OPS(Map_, Key_, None)                                                                   \
    template <>                                                                                                \
    struct IntMapOps<::Map_> {                                                                                 \
        using Map = ::Map_;                                                                                    \
        using Key = Key_;                                                                                      \
        using Entry = ::Map_##Entry;                                                                           \
        static constexpr const char* kName = #Map_;                                                            \
        /* the sentinel, and its name as the header's assertions spell it */                                   \
        static constexpr Key kNone = None;                                                                     \
        static constexpr const char* kNoneName = #None;                                                        \
        static Map* New() { return Map_##New(); }                                                              \
        static void Delete(Map* m) { Map_##Delete(m); }                                                        \
        static void Clear(Map* m) { Map_##Clear(m); }                                                          \
        static UInt Size(const Map* m) { return Map_##Size(m); }                                               \
        static void Get(const Map* m, UInt n, Key* k, Key* v) { Map_##Get(m, n, k, v); }                       \
        static Key Find(Map* m, Key k, Key create, Key update, Boolean* added) {                               \
            return Map_##Find(m, k, create, update, added);                                                    \
        }                                                                                                      \
        static Boolean FindMany(const Map* m, UInt n, const Key* k, Key* v) {                                  \
            return Map_##FindMany(m, n, k, v);                                                                 \
        }                                                                                                      \
        static std::string Check(const Map* m) { return zk::Map_##Check(m); }                                  \
    };

ZKADAPT_INTMAP_OPS(IdMap, Id, NOID)
ZKADAPT_INTMAP_OPS(RefMap, ULong, NOREF)
#undef ZKADAPT_INTMAP_OPS

using IdMapOps = IntMapOps<::IdMap>;
using RefMapOps = IntMapOps<::RefMap>;

}  // namespace zkadapt

#endif  // ZKDICT_ADAPTERS_IDMAP_H
