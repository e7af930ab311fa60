// AVLDict and AVLLDict: one typed suite for both widths, then what differs between them (the nearest
// search), and the node array they share with RBDict: its readers from several threads, its rules.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "dict/avl_tree.h"
#include "tests/tree_test_util.h"

namespace {

using treetest::Avl32;
using treetest::Avl64;
using treetest::ExpectMatches;
using treetest::Root;
using zk::kFlagBit;
using zk::kLinkMask;
using zk::NodeIndex;

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

TEST(AvlDictNearest, MissingNeighboursGiveTheSearchedKeyAndNoValue) { treetest::ExpectNearestAtTheEdges<Avl32>(); }

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

// ---- the readers that write nothing, shared by the three trees ---------------------------------------

// Four threads at once run Lookup, Next and Previous over one tree that nobody changes, each over a
// different stretch of keys, present and absent, and compare with the model; the node array,
// sentinel included, must come out byte for byte as it went in. Under ThreadSanitizer a write by any
// reader is also a race with the others.
template <class Ops>
void ExpectConcurrentReadersWriteNothing() {
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    using Node = std::remove_pointer_t<decltype(Ops::Dict::d_nodes)>;
    auto* d = Ops::New(0);
    std::map<Key, Value> model;
    std::mt19937_64 rng(treetest::Seed());
    for (int i = 0; i < 20000; i++) {
        const Key k = Key(rng()) & ~Key(1);  // odd keys are never stored
        Ops::Insert(d, k, model[k] = Value(rng()), 0);
    }
    for (Key k : {Key(0), std::numeric_limits<Key>::max() - 1}) Ops::Insert(d, k, model[k] = 7, 0);
    const std::vector<Node> before(d->d_nodes, d->d_nodes + d->d_capacity);
    const std::vector<std::pair<Key, Value>> stored(model.begin(), model.end());

    constexpr int kThreads = 4;
    std::atomic<int> wrong{0};
    auto reader = [&](int t) {
        for (size_t i = size_t(t); i < stored.size(); i += kThreads) {
            const auto [k, v] = stored[i];
            Key key;
            Value value;
            bool right = Ops::Lookup(d, k, &value) && value == v && !Ops::Lookup(d, k | 1, nullptr);
            right &= i + 1 < stored.size() ? Ops::Next(d, k, &key, &value) && key == stored[i + 1].first &&
                                                 value == stored[i + 1].second
                                           : !Ops::Next(d, k, &key, &value);
            right &= i > 0 ? Ops::Previous(d, k, &key, &value) && key == stored[i - 1].first
                           : !Ops::Previous(d, k, &key, &value);
            if (!right) wrong.fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) threads.emplace_back(reader, t);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(std::memcmp(before.data(), d->d_nodes, before.size() * sizeof(Node)), 0) << "a reader wrote";
    Ops::Delete(d);
}

TEST(TreeReaders, ConcurrentLookupsWriteNothing) {
    ExpectConcurrentReadersWriteNothing<Avl32>();
    ExpectConcurrentReadersWriteNothing<Avl64>();
    ExpectConcurrentReadersWriteNothing<treetest::Rb>();
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
