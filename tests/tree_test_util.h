// tree_test_util.h: what the tests of the ordered dictionaries share.
//
// A dictionary is reached through an Ops class: the types Dict, Key and Value and static New, Delete,
// Clear, Size, Find, Insert, Remove, Enumerate and Check over the exported functions. The same checks
// and the same differential run against std::map then serve AVLDict, AVLLDict and RBDict.
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

// The dictionary holds exactly the model, in order both ways, passes its checker, and accounts for
// every node it handed out: each holds a key or is on the free list.
template <class Ops>
void ExpectMatches(typename Ops::Dict* d, const std::map<typename Ops::Key, typename Ops::Value>& model) {
    Ops::Check(d);
    ASSERT_EQ(Ops::Size(d), model.size());
    ASSERT_EQ(Contents<Ops>(d), Entries<Ops>(model.begin(), model.end()));
    ASSERT_EQ(Contents<Ops>(d, true), Entries<Ops>(model.rbegin(), model.rend()));
    ASSERT_LE(d->d_free, d->d_capacity);
    ASSERT_EQ(d->d_free - zk::kFirstRealNode, d->d_size + FreeListLength(d));
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

}  // namespace treetest

#endif  // ZKDICT_TESTS_TREE_TEST_UTIL_H
