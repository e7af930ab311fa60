// AVLDict and AVLLDict: one typed suite for both widths, then what differs between them (the nearest
// search) and the rules of the node array they share with RBDict.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "dict/avl_tree.h"
#include "tests/tree_test_util.h"

namespace {

using treetest::ExpectMatches;
using treetest::Root;
using zk::kFlagBit;
using zk::kLinkMask;
using zk::NodeIndex;

// The stored keys nearest to v below and above it, or null.
template <class Map>
auto Neighbours(const Map& m, typename Map::key_type v) {
    auto below = m.lower_bound(v), above = m.upper_bound(v);
    return std::make_pair(below == m.begin() ? nullptr : &*std::prev(below), above == m.end() ? nullptr : &*above);
}

struct Avl32 {
    using Dict = AVLDict;
    using Key = AVLDictKey;
    using Value = AVLDictValue;
    static constexpr const char* kNewFatal = "ZKAVLDictNew: fatal: :memory reallocation failed: size=2147483648";
    static constexpr const char* kCapFatal = "NodeNew: fatal: :memory reallocation failed: size=68719476736";
    static Dict* New(UInt c) { return ZKAVLDictNew(c); }
    static void Delete(Dict* d) { ZKAVLDictDelete(d); }
    static void Clear(Dict* d) { ZKAVLDictClear(d); }
    static UInt Size(Dict* d) { return ZKAVLDictSize(d); }
    static Value Find(Dict* d, Key k, Value n) { return ZKAVLDictFind(d, k, n); }
    static Value* ValueGet(Dict* d, Key k) { return ZKAVLDictValueGet(d, k); }
    static Value Insert(Dict* d, Key k, Value v, Value n) { return ZKAVLDictInsert(d, k, v, n); }
    static Value ValueInsert(Dict* d, Key k, Value v, Value n, Value** p) { return ZKAVLDictValueInsert(d, k, v, n, p); }
    static Value Remove(Dict* d, Key k, Value n) { return ZKAVLDictRemove(d, k, n); }
    static Boolean Enumerate(Dict* d, Boolean r, AVLDictEnumerateFun f, void* a) { return ZKAVLDictEnumerate(d, r, f, a); }
    static void Check(Dict* d) { AVLCheck(d); }

    // A missing neighbour is no key: the result is v itself, with no value pointer.
    static void ExpectNearest(Dict* d, const std::map<Key, Value>& model, Key v) {
        auto [lo, hi] = Neighbours(model, v);
        auto at = model.find(v);
        for (int mode : {-1, 0, 1}) {
            auto want = at != model.end() ? &*at
                        : mode < 0        ? lo
                        : mode > 0 || !lo ? hi
                        : !hi             ? lo
                        : v - lo->first >= hi->first - v ? hi : lo;
            Value* got;
            ASSERT_EQ(ZKAVLDictFindNearest(d, v, mode, &got), want ? want->first : v) << v << " mode " << mode;
            ASSERT_EQ(got, want ? ZKAVLDictValueGet(d, want->first) : nullptr) << v << " mode " << mode;
        }
    }
};

struct Avl64 {
    using Dict = AVLLDict;
    using Key = AVLLDictKey;
    using Value = AVLLDictValue;
    static constexpr const char* kNewFatal = "ZKAVLLDictNew: fatal: :memory reallocation failed: size=3221225472";
    static constexpr const char* kCapFatal = "NodeNew: fatal: :memory reallocation failed: size=103079215104";
    static Dict* New(UInt c) { return ZKAVLLDictNew(c); }
    static void Delete(Dict* d) { ZKAVLLDictDelete(d); }
    static void Clear(Dict* d) { ZKAVLLDictClear(d); }
    static UInt Size(Dict* d) { return ZKAVLLDictSize(d); }
    static Value Find(Dict* d, Key k, Value n) { return ZKAVLLDictFind(d, k, n); }
    static Value* ValueGet(Dict* d, Key k) { return ZKAVLLDictValueGet(d, k); }
    static Value Insert(Dict* d, Key k, Value v, Value n) { return ZKAVLLDictInsert(d, k, v, n); }
    static Value ValueInsert(Dict* d, Key k, Value v, Value n, Value** p) { return ZKAVLLDictValueInsert(d, k, v, n, p); }
    static Value Remove(Dict* d, Key k, Value n) { return ZKAVLLDictRemove(d, k, n); }
    static Boolean Enumerate(Dict* d, Boolean r, AVLLDictEnumerateFun f, void* a) { return ZKAVLLDictEnumerate(d, r, f, a); }
    static void Check(Dict* d) { AVLLCheck(d); }

    // A missing neighbour reads as key 0, and so does a stored 0.
    static void ExpectNearest(Dict* d, const std::map<Key, Value>& model, Key v) {
        auto [lo, hi] = Neighbours(model, v);
        Key a = lo ? lo->first : 0, b = hi ? hi->first : 0;
        for (int mode : {-1, 0, 1}) {
            Key want = model.count(v) ? v : mode < 0 ? a : mode > 0 || a == 0 ? b : b == 0 ? a : v - a >= b - v ? b : a;
            ASSERT_EQ(ZKAVLLDictFindNearest(d, v, mode), want) << v << " mode " << mode;
        }
    }
};

template <class T>
class AvlDictTest : public ::testing::Test {};
using Widths = ::testing::Types<Avl32, Avl64>;
TYPED_TEST_SUITE(AvlDictTest, Widths);

TYPED_TEST(AvlDictTest, CommonContract) {
    treetest::ExpectCommonContract<TypeParam>();
    // The memory cache's size: 99998 keys fit, the 99999th doubles.
    auto* d = TypeParam::New(100000);
    for (UInt k = 1; k <= 99999; k++) TypeParam::Insert(d, k, k, 0);
    EXPECT_EQ(d->d_capacity, 200000u);
    TypeParam::Delete(d);
}

TYPED_TEST(AvlDictTest, RemovalKeepsTheNodeAndValuePointersFollowTheRules) {
    using Ops = TypeParam;
    auto* d = Ops::New(0);
    // 20 at the root, 10 on its left with 15 below that on the right: 15 is 20's predecessor.
    for (auto k : {20, 10, 30, 15}) Ops::Insert(d, k, k * 10, 0);
    NodeIndex root = Root(d);
    typename Ops::Value *fifteen = Ops::ValueGet(d, 15), *slot;
    EXPECT_EQ(Ops::ValueInsert(d, 15, 151, 0, &slot), 150u);  // replacing keeps the pointer
    EXPECT_EQ(slot, fifteen);
    EXPECT_EQ(Ops::Remove(d, 20, 0), 200u);
    EXPECT_EQ(d->d_nodes[root].n_key, 15u);
    EXPECT_EQ(Ops::ValueGet(d, 15), &d->d_nodes[root].n_value);
    EXPECT_EQ(&d->d_nodes[d->d_list].n_value, fifteen);  // the predecessor's node went
    ExpectMatches<Ops>(d, {{10, 100}, {15, 151}, {30, 300}});

    // Without a left subtree the successor moves up; the only key's removal empties the head's link.
    Ops::Clear(d);
    Ops::Insert(d, 20, 200, 0);
    EXPECT_EQ(Ops::ValueInsert(d, 30, 300, 0, &slot), 0u);
    root = Root(d);
    EXPECT_EQ(Ops::Remove(d, 20, 0), 200u);
    EXPECT_EQ(Root(d), root);
    EXPECT_EQ(&d->d_nodes[d->d_list].n_value, slot);
    EXPECT_EQ(Ops::Remove(d, 30, 0), 300u);
    EXPECT_EQ(Root(d), 0u);
    EXPECT_EQ(Ops::ValueGet(d, 30), nullptr);
    Ops::Insert(d, 40, 1, 0);
    EXPECT_EQ(Root(d), root);
    Ops::Delete(d);
}

TYPED_TEST(AvlDictTest, SequentialReverseAndZigZagOrders) { treetest::RunOrderedPatterns<TypeParam>(600); }

TYPED_TEST(AvlDictTest, RandomisedAgainstStdMap) {
    using Ops = TypeParam;
    using Key = typename Ops::Key;
    auto extra = [](typename Ops::Dict* d, std::map<Key, typename Ops::Value>& model, Key k, std::mt19937_64& rng) {
        Ops::ExpectNearest(d, model, k + Key(rng() % 3) - 1);
        auto it = model.find(k);
        auto* p = Ops::ValueGet(d, k);
        ASSERT_EQ(p ? *p : 0, it == model.end() ? 0 : it->second);
        ASSERT_EQ(p != nullptr, it != model.end());
    };
    treetest::RunDifferential<Ops>(treetest::Seed(), 120000, extra);
}

// The smallest AVL tree of height h, every inner node left-heavy, written into the node array
// directly: reaching such a shape by insertions takes millions of them.
template <class Ops>
NodeIndex BuildFibonacci(typename Ops::Dict* d, int h, typename Ops::Key* next) {
    if (h <= 0) return 0;
    NodeIndex x = d->d_free++;
    NodeIndex left = BuildFibonacci<Ops>(d, h - 1, next);
    auto k = *next;
    *next += 2;
    d->d_nodes[x] = {BuildFibonacci<Ops>(d, h - 2, next), left | (h >= 2 ? kFlagBit : 0), k,
                     treetest::ValueOf<Ops>(k)};
    return x;
}

TYPED_TEST(AvlDictTest, TreesOfThirtyThreeLevelsInsertAndRemoveSoundly) {
    using Ops = TypeParam;
    using Key = typename Ops::Key;
    const std::uint64_t n = zk::MinAvlNodes(33);  // 9,227,464
    auto* d = Ops::New(UInt(n + 2));
    Key next = 2;
    d->d_nodes[zk::kHeadNode].n_right = BuildFibonacci<Ops>(d, 33, &next);
    d->d_size = d->d_free - 2;
    Ops::Check(d);
    ASSERT_EQ(treetest::Height(d, Root(d)), 33);
    // Key 0 misses below the leftmost leaf, 33 levels down: with the head and the empty link, a path
    // of 35 entries. Key 1 goes in at that spot.
    EXPECT_EQ(Ops::Remove(d, 0, 99), 99u);
    EXPECT_EQ(Ops::Insert(d, 1, treetest::ValueOf<Ops>(1), 99), 99u);
    Ops::Check(d);
    // The deepest keys; the largest, on the short right spine, where a removal rotates at nearly every
    // level on the way up; last the root's key (0 stands for it), whose node takes its predecessor's.
    for (Key k : {Key(1), Key(2), Key(4), Key(6), Key(2 * n), Key(0)}) {
        if (k == 0) k = d->d_nodes[Root(d)].n_key;
        ASSERT_EQ(Ops::Remove(d, k, 0), treetest::ValueOf<Ops>(k));
        EXPECT_EQ(Ops::Find(d, k, 99), 99u);
        Ops::Check(d);
    }
    treetest::ExpectOrderedWithOwnValues<Ops>(d, n - 5);
    Ops::Delete(d);
}

TYPED_TEST(AvlDictTest, DeathOnNullDeleteCorruptSkewsAndCycles) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Ops = TypeParam;
    EXPECT_DEATH(Ops::Delete(nullptr), "Assertion `dict != NULL' failed");
    auto* d = Ops::New(0);
    for (auto k : {20, 10, 30}) Ops::Insert(d, k, k, 0);
    auto& root = d->d_nodes[Root(d)];
    root.n_left |= kFlagBit;
    root.n_right |= kFlagBit;
    EXPECT_DEATH(Ops::Check(d), "Assertion `!\\(NODE\\(x\\)\\.n_right & SKEW_MASK\\)' failed");
    root.n_right &= kLinkMask;
    EXPECT_DEATH(Ops::Check(d), "Assertion `GET_SKEW\\(x\\) == NONE' failed");
    root.n_left &= kLinkMask;
    Ops::Remove(d, 30, 0);  // leaves 20 over 10, left-heavy
    root.n_left &= kLinkMask;
    EXPECT_DEATH(Ops::Check(d), "Assertion `GET_SKEW\\(x\\) == LEFT' failed");
    NodeIndex ten = root.n_left;  // moved to the right, still without a flag
    root.n_right = ten;
    root.n_left = 0;
    EXPECT_DEATH(Ops::Check(d), "Assertion `GET_SKEW\\(x\\) == RIGHT' failed");
    // Two levels on one side, none on the other.
    NodeIndex extra = d->d_free++;
    d->d_nodes[extra] = {0, 0, 15, 1};
    d->d_nodes[ten].n_right = extra | kFlagBit;
    root.n_right = ten | kFlagBit;
    EXPECT_DEATH(Ops::Check(d), "Assertion `FALSE' failed");
    // A cycle: the walks stop at the deepest path a real tree can have instead of running away.
    d->d_nodes[extra].n_right = Root(d);
    EXPECT_DEATH(Ops::Insert(d, 100, 1, 0), "Assertion `m < kPathLength' failed");
    EXPECT_DEATH(Ops::Remove(d, 100, 1), "Assertion `m < kPathLength' failed");
    EXPECT_DEATH(Ops::Check(d), "Assertion `depth < kMaxAvlHeight");
    Ops::Delete(d);
}

TYPED_TEST(AvlDictTest, GrowthPastTheLastIndexAndFailedMappingsAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Ops = TypeParam;
    auto* d = Ops::New(0);
    // Pretend every index below 2^31 is taken; no node is touched before the growth is refused.
    d->d_capacity = d->d_free = zk::kMaxNodes;
    EXPECT_DEATH(Ops::Insert(d, 1, 1, 0), Ops::kCapFatal);
    d->d_capacity = 1024;
    Ops::Delete(d);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    auto mapHuge = [] {
        struct rlimit lim = {1u << 30, 1u << 30};  // below what 2^27 nodes need
        setrlimit(RLIMIT_AS, &lim);
        Ops::New(1u << 27);
    };
    EXPECT_DEATH(mapHuge(), Ops::kNewFatal);
#endif
}

// ---- what differs between the widths: the nearest search ---------------------------------------------

TEST(AvlDictNearest, MissingNeighboursGiveTheSearchedKeyAndNoValue) {
    AVLDict* d = ZKAVLDictNew(0);
    std::map<AVLDictKey, AVLDictValue> model;
    Avl32::ExpectNearest(d, model, 15);  // empty
    for (auto [k, v] : {std::pair<UInt, UInt>{10, 100}, {20, 200}}) ZKAVLDictInsert(d, k, model[k] = v, 0);
    AVLDictValue* p;
    EXPECT_EQ(ZKAVLDictFindNearest(d, 15, 0, &p), 20u);  // a tie goes up
    EXPECT_EQ(ZKAVLDictFindNearest(d, 14, 0, &p), 10u);
    EXPECT_EQ(ZKAVLDictFindNearest(d, 5, -1, &p), 5u);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ZKAVLDictFindNearest(d, 25, 1, nullptr), 25u);
    for (AVLDictKey v : {5u, 10u, 14u, 15u, 16u, 20u, 25u}) Avl32::ExpectNearest(d, model, v);
    // Keys at both ends of the range: no wrap-around in the distances.
    for (auto k : {0u, 0xFFFFFFFFu}) ZKAVLDictInsert(d, k, model[k] = 1, 0);
    for (AVLDictKey v : {0x40000000u, 0xC0000000u, 0xFFFFFFFEu}) Avl32::ExpectNearest(d, model, v);
    EXPECT_EQ(ZKAVLDictFindNearest(d, 0xC0000000u, 0, nullptr), 0xFFFFFFFFu);
    ZKAVLDictDelete(d);
}

TEST(AvlLDictNearest, MissingNeighboursReadAsKeyZeroAndWideKeysOrder) {
    AVLLDict* d = ZKAVLLDictNew(0);
    for (int mode : {-1, 0, 1}) EXPECT_EQ(ZKAVLLDictFindNearest(d, 15, mode), 0u);
    ZKAVLLDictInsert(d, 10, 100, 0);
    ZKAVLLDictInsert(d, 20, 200, 0);
    const struct {
        AVLLDictKey v;
        int mode;
        AVLLDictKey want;
    } cases[] = {{15, -1, 10}, {15, 1, 20}, {15, 0, 20}, {14, 0, 10}, {5, -1, 0},
                 {5, 0, 10},   {25, 1, 0},  {25, 0, 20}, {20, 1, 20}};
    for (auto& c : cases) EXPECT_EQ(ZKAVLLDictFindNearest(d, c.v, c.mode), c.want) << c.v << " mode " << c.mode;
    ZKAVLLDictClear(d);
    // A stored 0 is passed over as a lower neighbour, and as a result reads as "no key".
    ZKAVLLDictInsert(d, 0, 1, 0);
    ZKAVLLDictInsert(d, 100, 2, 0);
    EXPECT_EQ(ZKAVLLDictFindNearest(d, 1, 0), 100u);

    // Keys above 2^32 order as 64-bit numbers, and full 64-bit values survive every road.
    const AVLLDictKey big = AVLLDictKey(1) << 40, high = 0x8000000000000001ull;
    for (AVLLDictKey k : {AVLLDictKey(5), big, (AVLLDictKey(1) << 32) + 5, AVLLDictKey(0xFFFFFFFF)}) {
        ZKAVLLDictInsert(d, k, high ^ k, 0);
    }
    std::map<AVLLDictKey, AVLLDictValue> model{{0, 1}, {5, high ^ 5}, {100, 2}, {0xFFFFFFFF, high ^ 0xFFFFFFFF},
                                               {(AVLLDictKey(1) << 32) + 5, high ^ ((AVLLDictKey(1) << 32) + 5)},
                                               {big, high ^ big}};
    ExpectMatches<Avl64>(d, model);
    EXPECT_EQ(ZKAVLLDictFindNearest(d, big - 1, 1), big);
    EXPECT_EQ(ZKAVLLDictFindNearest(d, AVLLDictKey(3) << 62, 0), big);
    EXPECT_EQ(ZKAVLLDictRemove(d, big, 0), high ^ big);
    ZKAVLLDictDelete(d);
}

TEST(NodeArray, CapacityAndPathsCoverTheWholeIndexRange) {
    EXPECT_EQ(zk::InitialCapacity(0xFFFFFFFFu), zk::kMaxNodes);
    EXPECT_EQ(zk::GrownCapacity(0x40000000u), zk::kMaxNodes);
    // Doubling 100000 x 2^14 would pass 2^31: that step stops at the limit, and there is no next one.
    EXPECT_EQ(zk::GrownCapacity(100000u << 14), zk::kMaxNodes);
    EXPECT_EQ(zk::GrownCapacity(zk::kMaxNodes), 0u);
    EXPECT_EQ(zk::kMaxAvlHeight, 44);
    EXPECT_GT(zk::MinAvlNodes(zk::kMaxAvlHeight + 1), zk::kMaxKeys);
    EXPECT_GT(zk::MinRedBlackNodes(zk::kMaxRedBlackHeight + 1), zk::kMaxKeys);
}

}  // namespace
