// tree_test_util.h: what the tests of the ordered dictionaries share.
//
// A dictionary is reached through an Ops class (Avl32, Avl64 and Rb at the end): the calls of
// adapters/trees.h, the same for the three families, and what the tests add per family. The same
// checks and the same differential run against std::map then serve AVLDict, AVLLDict and RBDict.
#ifndef ZKDICT_TESTS_TREE_TEST_UTIL_H
#define ZKDICT_TESTS_TREE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "adapters/trees.h"
#include "dict/node_array.h"
#include "tests/test_seed.h"

namespace treetest {

using zktest::Seed;

template <class Ops>
using Entries = std::vector<std::pair<typename Ops::Key, typename Ops::Value>>;

// The entries in the walk's order, up to and including the one where the walk was told to stop.
template <class Ops>
Entries<Ops> Contents(typename Ops::Dict* d, bool reverse = false, size_t stopAt = 0, Boolean* result = nullptr) {
    struct Walk {
        Entries<Ops> seen;
        size_t stopAt;
    } walk{{}, stopAt};
    auto visit = [](typename Ops::Dict*, typename Ops::Key k, typename Ops::Value v, void* arg) -> Boolean {
        auto* w = static_cast<Walk*>(arg);
        w->seen.emplace_back(k, v);
        return w->seen.size() == w->stopAt ? FALSE : TRUE;
    };
    Boolean done = Ops::Enumerate(d, reverse ? TRUE : FALSE, visit, &walk);
    if (result) *result = done;
    return walk.seen;
}

template <class Dict>
UInt Root(const Dict* d) {
    return d->d_nodes[zk::kHeadNode].n_right & zk::kLinkMask;
}

// Nodes on the free list, walked with a bound so that a cycle shows as a failure, not a hang.
template <class Dict>
UInt FreeListLength(const Dict* d) {
    UInt count = 0;
    for (UInt x = d->d_list; x != 0 && count <= d->d_free; x = d->d_nodes[x].n_right & zk::kLinkMask) count++;
    return count;
}

// The readers that write nothing, against the model around k: Lookup of k, Next after it (the map's
// upper bound), Previous before it (the key before its lower bound), First and Last. A reader that
// finds nothing leaves its outputs alone, and one given no outputs answers the same.
template <class Ops>
void ExpectReaders(const typename Ops::Dict* d, const std::map<typename Ops::Key, typename Ops::Value>& model,
                   typename Ops::Key k) {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    using It = typename std::map<Key, Value>::const_iterator;
    const Key kUntouchedKey = Key(0x5A5A5A5A5A5A5A5Aull);
    const Value kUntouchedValue = Value(0xC3C3C3C3C3C3C3C3ull);
    auto expect = [&](const char* what, Boolean found, Boolean foundBare, Key key, Value value, It want) {
        ASSERT_EQ(found, foundBare) << what << " " << k << " without outputs";
        if (want == model.end()) {
            ASSERT_FALSE(found) << what << " " << k << " found " << key;
            ASSERT_EQ(key, kUntouchedKey) << what << " " << k;
            ASSERT_EQ(value, kUntouchedValue) << what << " " << k;
        } else {
            ASSERT_TRUE(found) << what << " " << k << " wants " << want->first;
            ASSERT_EQ(key, want->first) << what << " " << k;
            ASSERT_EQ(value, want->second) << what << " " << k;
        }
    };
    Key key = kUntouchedKey;
    Value value = kUntouchedValue;
    auto at = model.find(k);
    Boolean found = Ops::Lookup(d, k, &value);
    if (found) key = k;
    expect("lookup", found, Ops::Lookup(d, k, nullptr), key, value, at);

    key = kUntouchedKey, value = kUntouchedValue;
    found = Ops::Next(d, k, &key, &value);
    expect("next", found, Ops::Next(d, k, nullptr, nullptr), key, value, model.upper_bound(k));

    auto below = model.lower_bound(k);
    key = kUntouchedKey, value = kUntouchedValue;
    found = Ops::Previous(d, k, &key, &value);
    expect("previous", found, Ops::Previous(d, k, nullptr, nullptr), key, value,
           below == model.begin() ? model.end() : std::prev(below));

    key = kUntouchedKey, value = kUntouchedValue;
    found = Ops::First(d, &key, &value);
    expect("first", found, Ops::First(d, nullptr, nullptr), key, value, model.begin());

    key = kUntouchedKey, value = kUntouchedValue;
    found = Ops::Last(d, &key, &value);
    expect("last", found, Ops::Last(d, nullptr, nullptr), key, value,
           model.empty() ? model.end() : std::prev(model.end()));
}

// The dictionary holds exactly the model, in order both ways, passes its checker, and accounts for
// every node it handed out: each holds a key or is on the free list. The readers agree with the
// model at both ends of the key range and on every stored key and its neighbours.
template <class Ops>
void ExpectMatches(typename Ops::Dict* d, const std::map<typename Ops::Key, typename Ops::Value>& model) {
    Ops::Check(d);
    ASSERT_EQ(Ops::Size(d), model.size());
    ASSERT_EQ(Contents<Ops>(d), Entries<Ops>(model.begin(), model.end()));
    ASSERT_EQ(Contents<Ops>(d, true), Entries<Ops>(model.rbegin(), model.rend()));
    ASSERT_LE(d->d_free, d->d_capacity);
    ASSERT_EQ(d->d_free - zk::kFirstRealNode, d->d_size + FreeListLength(d));
    using Key = typename Ops::Key;
    for (Key k : {Key(0), std::numeric_limits<Key>::max()}) ASSERT_NO_FATAL_FAILURE(ExpectReaders<Ops>(d, model, k));
    for (auto [k, v] : model) {
        for (Key near : {Key(k - 1), k, Key(k + 1)}) ASSERT_NO_FATAL_FAILURE(ExpectReaders<Ops>(d, model, near));
    }
}

// What every family promises alike: the capacity rule, replacement, absent keys, the extreme keys,
// Clear keeping the array, enumeration stopping early both ways, and last-released-first reuse.
template <class Ops>
void ExpectCommonContract() {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    auto* d = Ops::New(1000);
    EXPECT_EQ(d->d_capacity, 1024u);
    EXPECT_EQ(Ops::Find(d, 5, 77), 77u);
    EXPECT_EQ(Ops::Remove(d, 5, 78), 78u);
    EXPECT_TRUE(Contents<Ops>(d).empty());
    std::map<Key, Value> model;
    for (Key k = 0; k < 1021; k++) model[k] = Value(k) + 1;
    model[std::numeric_limits<Key>::max()] = 9;
    for (auto [k, v] : model) EXPECT_EQ(Ops::Insert(d, k, v, 99), 99u);
    EXPECT_EQ(d->d_capacity, 1024u);  // 1022 keys fill the 1024 nodes
    EXPECT_EQ(Ops::Insert(d, 0, 50, 99), 1u);
    EXPECT_EQ(Ops::Size(d), 1022u);
    model[0] = 50;
    EXPECT_EQ(Ops::Insert(d, 2000, 3, 99), 99u);
    EXPECT_EQ(d->d_capacity, 2048u);
    model[2000] = 3;
    ExpectMatches<Ops>(d, model);

    Boolean done;
    auto firstThree = Contents<Ops>(d, false, 3, &done);
    EXPECT_FALSE(done);
    EXPECT_EQ(firstThree, Entries<Ops>(model.begin(), std::next(model.begin(), 3)));
    auto lastThree = Contents<Ops>(d, true, 3, &done);
    EXPECT_FALSE(done);
    EXPECT_EQ(lastThree, Entries<Ops>(model.rbegin(), std::next(model.rbegin(), 3)));

    // Released nodes come back last released first, before the high-water mark moves.
    const UInt highWater = d->d_free;
    std::vector<UInt> released;
    for (Key k : {10, 500, 1000}) {
        EXPECT_EQ(Ops::Remove(d, k, 0), Value(k) + 1);
        released.push_back(d->d_list);
    }
    for (Key k : {3000, 3001, 3002}) {
        UInt expected = released.back();
        released.pop_back();
        Ops::Insert(d, k, 1, 0);
        EXPECT_EQ(d->d_nodes[expected].n_key, k);
    }
    EXPECT_EQ(d->d_free, highWater);

    Ops::Clear(d);
    EXPECT_EQ(Ops::Size(d), 0u);
    EXPECT_TRUE(Contents<Ops>(d).empty());
    for (Key k = 0; k < 2046; k++) Ops::Insert(d, Key(k * 2654435761u), 1, 0);
    EXPECT_EQ(d->d_capacity, 2048u);
    Ops::Check(d);
    Ops::Delete(d);
}

// Random inserts (new keys and replacements), removals (present and absent), lookups and, through
// extra(d, model, key, rng), whatever else a family offers, against std::map. Keys spread over the
// whole width, extremes included; the key range swings between small and large so that the tree
// fills and drains again, reusing its free list on the way.
template <class Ops, class Extra>
void RunDifferential(unsigned seed, int steps, Extra extra) {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    std::mt19937_64 rng(seed);
    typename Ops::Dict* d = Ops::New(0);
    std::map<Key, Value> model;
    const Value absent = Value(0xA5A5A5A5A5A5A5A4ull);  // even: stored values are odd
    std::uint64_t range = 64;
    for (int step = 0; step < steps; step++) {
        if (step % 4000 == 0) range = std::uint64_t(1) << (4 + rng() % 10);
        std::uint64_t slot = rng() % range;
        Key k = slot == range - 1 ? std::numeric_limits<Key>::max() : Key(slot * 0x9E3779B97F4A7C15ull);
        auto it = model.find(k);
        Value stored = it == model.end() ? absent : it->second;
        unsigned op = rng() % 100;
        if (op < 45) {
            Value v = Value(rng()) | 1;  // never the marker
            ASSERT_EQ(Ops::Insert(d, k, v, absent), stored) << "insert " << k << " at step " << step;
            model[k] = v;
        } else if (op < 80) {
            ASSERT_EQ(Ops::Remove(d, k, absent), stored) << "remove " << k << " at step " << step;
            if (it != model.end()) model.erase(it);
        } else if (op < 92) {
            ASSERT_EQ(Ops::Find(d, k, absent), stored) << "find " << k << " at step " << step;
            ExpectReaders<Ops>(d, model, Key(k + Key(rng() % 3) - 1));
        } else {
            extra(d, model, k, rng);
        }
        if (step % 7 == 0) Ops::Check(d);
        if (step % 997 == 0) ExpectMatches<Ops>(d, model);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // Drain: every removal leaves a sound tree, and the free list takes back every node.
    while (!model.empty()) {
        auto it = std::next(model.begin(), rng() % model.size());
        ASSERT_EQ(Ops::Remove(d, it->first, absent), it->second);
        model.erase(it);
        Ops::Check(d);
    }
    ExpectMatches<Ops>(d, model);
    EXPECT_EQ(Root(d), 0u);
    Ops::Delete(d);
}

// The stored keys nearest to v below and above it, or null.
template <class Map>
auto Neighbours(const Map& m, typename Map::key_type v) {
    auto below = m.lower_bound(v), above = m.upper_bound(v);
    return std::make_pair(below == m.begin() ? nullptr : &*std::prev(below), above == m.end() ? nullptr : &*above);
}

// FindNearest and ValueGet of the trees that hand out value pointers, against the model at v. A
// missing neighbour is no key: the result is v itself, with no value pointer.
template <class Ops>
void ExpectNearestWithValue(typename Ops::Dict* d, const std::map<typename Ops::Key, typename Ops::Value>& model,
                            typename Ops::Key v) {
    using Value = typename Ops::Value;
    auto [lo, hi] = Neighbours(model, v);
    auto at = model.find(v);
    Value* p = Ops::ValueGet(d, v);
    ASSERT_EQ(p != nullptr, at != model.end()) << v;
    if (p != nullptr) {
        ASSERT_EQ(*p, at->second) << v;
    }
    for (int mode : {-1, 0, 1}) {
        auto want = at != model.end() ? &*at
                    : mode < 0        ? lo
                    : mode > 0 || !lo ? hi
                    : !hi             ? lo
                    : v - lo->first >= hi->first - v ? hi : lo;
        Value* got;
        ASSERT_EQ(Ops::FindNearest(d, v, mode, &got), want ? want->first : v) << v << " mode " << mode;
        ASSERT_EQ(got, want ? Ops::ValueGet(d, want->first) : nullptr) << v << " mode " << mode;
    }
}

// The nearest search with value pointers where its neighbours run out: an empty tree, keys below and
// above all others, ties, and keys at both ends of the range, whose distances must not wrap.
template <class Ops>
void ExpectNearestAtTheEdges() {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    auto* d = Ops::New(0);
    std::map<Key, Value> model;
    ExpectNearestWithValue<Ops>(d, model, 15);
    for (auto [k, v] : {std::pair<Key, Value>{10, 100}, {20, 200}}) Ops::Insert(d, k, model[k] = v, 0);
    Value* p;
    EXPECT_EQ(Ops::FindNearest(d, 15, 0, &p), 20u);  // a tie goes up
    EXPECT_EQ(Ops::FindNearest(d, 14, 0, &p), 10u);
    EXPECT_EQ(Ops::FindNearest(d, 5, -1, &p), 5u);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Ops::FindNearest(d, 25, 1, nullptr), 25u);
    for (Key v : {5u, 10u, 14u, 15u, 16u, 20u, 25u}) ExpectNearestWithValue<Ops>(d, model, v);
    for (Key k : {0u, 0xFFFFFFFFu}) Ops::Insert(d, k, model[k] = 1, 0);
    for (Key v : {0x40000000u, 0xC0000000u, 0xFFFFFFFEu}) ExpectNearestWithValue<Ops>(d, model, v);
    EXPECT_EQ(Ops::FindNearest(d, 0xC0000000u, 0, nullptr), 0xFFFFFFFFu);
    Ops::Delete(d);
}

// Increasing, decreasing and zig-zag (lowest, highest, next lowest, ...) key orders stress the
// rebalancing. Each is inserted one by one and removed in each of the orders, checked at every step.
template <class Ops>
void RunOrderedPatterns(int n) {
    using Key = typename Ops::Key;
    std::vector<Key> up, down, zigzag;
    for (int i = 1; i <= n; i++) up.push_back(Key(i));
    down.assign(up.rbegin(), up.rend());
    for (int lo = 1, hi = n; lo <= hi; lo++, hi--) {
        zigzag.push_back(Key(lo));
        if (lo != hi) zigzag.push_back(Key(hi));
    }
    for (const auto* in : {&up, &down, &zigzag}) {
        for (const auto* out : {&up, &down, &zigzag}) {
            auto* d = Ops::New(0);
            std::map<Key, typename Ops::Value> model;
            for (Key k : *in) {
                Ops::Insert(d, k, k * 3, 0);
                model[k] = k * 3;
                Ops::Check(d);
            }
            ExpectMatches<Ops>(d, model);
            for (Key k : *out) {
                ASSERT_EQ(Ops::Remove(d, k, 0), k * 3);
                model.erase(k);
                Ops::Check(d);
            }
            ExpectMatches<Ops>(d, model);
            Ops::Delete(d);
        }
    }
}

// The value the tall-tree tests give each key, so that a walk can tell whether every key still sits
// with its own value.
template <class Ops>
typename Ops::Value ValueOf(typename Ops::Key k) {
    return typename Ops::Value(k) * 7 + 1;
}

// For trees too large for a std::map model: the walk sees count keys, in increasing order, each with
// ValueOf(key).
template <class Ops>
void ExpectOrderedWithOwnValues(typename Ops::Dict* d, std::uint64_t count) {
    struct Walk {
        typename Ops::Key last = 0;
        std::uint64_t seen = 0;
    } walk;
    auto visit = [](typename Ops::Dict*, typename Ops::Key k, typename Ops::Value v, void* arg) -> Boolean {
        auto* w = static_cast<Walk*>(arg);
        bool ordered = w->seen++ == 0 || k > w->last;
        w->last = k;
        return ordered && v == ValueOf<Ops>(k) ? TRUE : FALSE;
    };
    EXPECT_TRUE(Ops::Enumerate(d, FALSE, visit, &walk)) << "wrong order or value at " << walk.last;
    EXPECT_EQ(walk.seen, count);
    EXPECT_EQ(Ops::Size(d), count);
}

// The height of the subtree under x, measured rather than read from balance or colour bits.
template <class Dict>
int Height(const Dict* d, UInt x) {
    if (x == 0) return 0;
    int l = Height(d, d->d_nodes[x].n_left & zk::kLinkMask);
    int r = Height(d, d->d_nodes[x].n_right & zk::kLinkMask);
    return 1 + (l > r ? l : r);
}

// ---- the three families ----------------------------------------------------------------------------

// The adapter's calls, and what the tests add per family.
struct Avl32 : zkadapt::AvlDictOps {
    static constexpr const char* kNewFatal = "ZKAVLDictNew: fatal: :memory reallocation failed: size=2147483648";
    static constexpr const char* kCapFatal = "NodeNew: fatal: :memory reallocation failed: size=68719476736";
    static void ExpectNearest(Dict* d, const std::map<Key, Value>& model, Key v) {
        ExpectNearestWithValue<Avl32>(d, model, v);
    }
};

struct Avl64 : zkadapt::AvlLDictOps {
    static constexpr const char* kNewFatal = "ZKAVLLDictNew: fatal: :memory reallocation failed: size=3221225472";
    static constexpr const char* kCapFatal = "NodeNew: fatal: :memory reallocation failed: size=103079215104";
    // A missing neighbour reads as key 0, and so does a stored 0.
    static void ExpectNearest(Dict* d, const std::map<Key, Value>& model, Key v) {
        auto [lo, hi] = Neighbours(model, v);
        Key a = lo ? lo->first : 0, b = hi ? hi->first : 0;
        for (int mode : {-1, 0, 1}) {
            Key want = model.count(v) ? v : mode < 0 ? a : mode > 0 || a == 0 ? b : b == 0 ? a : v - a >= b - v ? b : a;
            ASSERT_EQ(FindNearest(d, v, mode), want) << v << " mode " << mode;
        }
    }
};

struct Rb : zkadapt::RbDictOps {
    // The checker leaves the root's colour to its callers; the tests hold it to black as well.
    static void Check(Dict* d) {
        zkadapt::RbDictOps::Check(d);
        ASSERT_FALSE(Red(d, Root(d))) << "red root";
    }
    static bool Red(const Dict* d, UInt x) { return (d->d_nodes[x].n_left & zk::kFlagBit) != 0; }
};

}  // namespace treetest

#endif  // ZKDICT_TESTS_TREE_TEST_UTIL_H
