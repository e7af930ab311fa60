// adapters/trees.h: AVLDict, AVLLDict and RBDict behind one set of names, for the code that drives
// the three ordered dictionaries alike: the typed tests, the operation fuzzer and the benchmark.
//
// Each name is the C call itself, with its arguments and its result as they are (Boolean included),
// so that a test through the adapter still sees the exact behaviour of the C API, failures and
// assertions alike. Where the families differ, the adapter keeps the difference: RBDict has no
// ValueInsert, and AVLLDict's FindNearest gives no value pointer and reads key 0 as "no key"
// (kNearestZeroIsNone). The calls are inline and static, with no object in between: a benchmark
// through the adapter measures the tree.
//
// Not the C++ layer (zkdict/trees.hpp): that one turns the results into bool and reaches neither the
// checkers nor Find, FindNearest and ValueInsert, and these callers need the C API bare and the
// record's fields too.
#ifndef ZKDICT_ADAPTERS_TREES_H
#define ZKDICT_ADAPTERS_TREES_H

#include "dict/avldict.h"
#include "dict/avlldict.h"
#include "dict/rbdict.h"

namespace zkadapt {

template <class D>
struct TreeOps;

// The calls the three trees share under one name after their prefix, and the checker, whose name
// follows no rule.
#define ZKADAPT_TREE_OPS_COMMON(Dict_, Check_)                                                                 \
    using Dict = ::Dict_;                                                                                      \
    using Node = ::Dict_##Node;                                                                                \
    using Key = ::Dict_##Key;                                                                                  \
    using Value = ::Dict_##Value;                                                                              \
    using EnumerateFun = ::Dict_##EnumerateFun;                                                                \
    static constexpr const char* kName = #Dict_;                                                               \
    static Dict* New(UInt capacity) { return ZK##Dict_##New(capacity); }                                       \
    static void Delete(Dict* d) { ZK##Dict_##Delete(d); }                                                      \
    static void Clear(Dict* d) { ZK##Dict_##Clear(d); }                                                        \
    static UInt Size(const Dict* d) { return ZK##Dict_##Size(d); }                                             \
    static Value Find(Dict* d, Key k, Value n) { return ZK##Dict_##Find(d, k, n); }                            \
    static Value* ValueGet(Dict* d, Key k) { return ZK##Dict_##ValueGet(d, k); }                               \
    static Value Insert(Dict* d, Key k, Value v, Value n) { return ZK##Dict_##Insert(d, k, v, n); }            \
    static Value Remove(Dict* d, Key k, Value n) { return ZK##Dict_##Remove(d, k, n); }                        \
    static Boolean Enumerate(Dict* d, Boolean reverse, EnumerateFun f, void* arg) {                            \
        return ZK##Dict_##Enumerate(d, reverse, f, arg);                                                       \
    }                                                                                                          \
    static void Check(Dict* d) { Check_(d); }                                                                  \
    static Boolean Lookup(const Dict* d, Key k, Value* v) { return ZK##Dict_##Lookup(d, k, v); }               \
    static Boolean First(const Dict* d, Key* k, Value* v) { return ZK##Dict_##First(d, k, v); }                \
    static Boolean Last(const Dict* d, Key* k, Value* v) { return ZK##Dict_##Last(d, k, v); }                  \
    static Boolean Next(const Dict* d, Key after, Key* k, Value* v) {                                          \
        return ZK##Dict_##Next(d, after, k, v);                                                                \
    }                                                                                                          \
    static Boolean Previous(const Dict* d, Key before, Key* k, Value* v) {                                     \
        return ZK##Dict_##Previous(d, before, k, v);                                                           \
    }

// The AVL trees' insertion that also gives the value slot.
#define ZKADAPT_TREE_OPS_VALUE_INSERT(Dict_)                                                                   \
    static Value ValueInsert(Dict* d, Key k, Value v, Value n, Value** p) {                                    \
        return ZK##Dict_##ValueInsert(d, k, v, n, p);                                                          \
    }

template <>
struct TreeOps<::AVLDict> {
    ZKADAPT_TREE_OPS_COMMON(AVLDict, AVLCheck)
    ZKADAPT_TREE_OPS_VALUE_INSERT(AVLDict)
    static constexpr bool kNearestZeroIsNone = false;
    static Key FindNearest(Dict* d, Key k, int mode, Value** p) { return ZKAVLDictFindNearest(d, k, mode, p); }
};

template <>
struct TreeOps<::AVLLDict> {
    ZKADAPT_TREE_OPS_COMMON(AVLLDict, AVLLCheck)
    ZKADAPT_TREE_OPS_VALUE_INSERT(AVLLDict)
    // No value pointer; a missing neighbour, and a stored key 0, read as key 0.
    static constexpr bool kNearestZeroIsNone = true;
    static Key FindNearest(Dict* d, Key k, int mode) { return ZKAVLLDictFindNearest(d, k, mode); }
};

template <>
struct TreeOps<::RBDict> {
    ZKADAPT_TREE_OPS_COMMON(RBDict, TreeCheck)
    static constexpr bool kNearestZeroIsNone = false;
    static Key FindNearest(Dict* d, Key k, int mode, Value** p) { return ZKRBDictFindNearest(d, k, mode, p); }
};

#undef ZKADAPT_TREE_OPS_COMMON
#undef ZKADAPT_TREE_OPS_VALUE_INSERT

using AvlDictOps = TreeOps<::AVLDict>;
using AvlLDictOps = TreeOps<::AVLLDict>;
using RbDictOps = TreeOps<::RBDict>;

}  // namespace zkadapt

#endif  // ZKDICT_ADAPTERS_TREES_H
