// RBDict: the red-black dictionary, under the same checks and differential harness as the AVL trees.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "dict/node_array.h"
#include "dict/rbdict.h"
#include "tests/tree_test_util.h"

namespace {

using treetest::ExpectMatches;
using treetest::Rb;
using treetest::Root;
using zk::kFlagBit;
using zk::kLinkMask;
using zk::NodeIndex;

NodeIndex Left(const RBDict* d, NodeIndex x) { return d->d_nodes[x].n_left & kLinkMask; }

TEST(RbDict, CommonContract) { treetest::ExpectCommonContract<Rb>(); }

TEST(RbDict, RemovalsKeepOrReleaseTheRightNodes) {
    RBDict* d = ZKRBDictNew(0);
    // The only key: the root link goes back to 0; the next key's node is a black root.
    ZKRBDictInsert(d, 5, 50, 0);
    NodeIndex first = Root(d);
    EXPECT_EQ(ZKRBDictRemove(d, 5, 0), 50u);
    EXPECT_EQ(Root(d), 0u);
    ZKRBDictInsert(d, 6, 60, 0);
    EXPECT_EQ(Root(d), first);
    EXPECT_FALSE(Rb::Red(d, first));

    // 20 over 10 and 30, with 25 below 30: removing 20 keeps its node, which takes 25's key and
    // value; 25's node is released and is the next one reused.
    ZKRBDictClear(d);
    for (UInt k : {20u, 10u, 30u, 25u}) ZKRBDictInsert(d, k, k * 10, 0);
    NodeIndex root = Root(d), successor = Left(d, d->d_nodes[root].n_right);
    ASSERT_EQ(d->d_nodes[successor].n_key, 25u);
    EXPECT_EQ(ZKRBDictRemove(d, 20, 0), 200u);
    EXPECT_EQ(d->d_nodes[root].n_key, 25u);
    EXPECT_EQ(d->d_list, successor);
    ExpectMatches<Rb>(d, {{10, 100}, {25, 250}, {30, 300}});
    ZKRBDictInsert(d, 40, 400, 0);
    EXPECT_EQ(d->d_nodes[successor].n_key, 40u);
    ZKRBDictDelete(d);
}

TEST(RbDict, SequentialReverseAndZigZagOrders) { treetest::RunOrderedPatterns<Rb>(600); }

TEST(RbDict, RandomisedAgainstStdMap) {
    auto nearest = [](RBDict* d, std::map<RBDictKey, RBDictValue>& model, RBDictKey k, std::mt19937_64& rng) {
        treetest::ExpectNearestWithValue<Rb>(d, model, k + RBDictKey(rng() % 3) - 1);
    };
    treetest::RunDifferential<Rb>(treetest::Seed() ^ 0x5EEDu, 150000, nearest);
}

TEST(RbDict, NearestMissingNeighboursGiveTheSearchedKeyAndNoValue) { treetest::ExpectNearestAtTheEdges<Rb>(); }

// ---- trees taller than a 32-entry removal path -------------------------------------------------------

RBDictKey TakeKey(RBDictKey* next) {
    RBDictKey k = *next;
    *next += 2;
    return k;
}

// A perfect all-black tree of black height bh, keys handed out in order.
NodeIndex BuildPerfect(RBDict* d, int bh, RBDictKey* next) {
    if (bh == 0) return 0;
    NodeIndex x = d->d_free++;
    NodeIndex left = BuildPerfect(d, bh - 1, next);
    RBDictKey k = TakeKey(next);
    d->d_nodes[x] = {BuildPerfect(d, bh - 1, next), left, k, treetest::ValueOf<Rb>(k)};
    return x;
}

// The smallest red-black tree of black height b, which is 2b levels high: a black node whose left
// child is red, the same shape again below that red node's left, and perfect black trees beside the
// chain. Written into the node array directly, as no short insertion sequence is known to build it.
NodeIndex BuildChain(RBDict* d, int b, RBDictKey* next) {
    if (b == 0) return 0;
    NodeIndex top = d->d_free++, red = d->d_free++;
    NodeIndex below = BuildChain(d, b - 1, next);
    RBDictKey redKey = TakeKey(next);
    d->d_nodes[red] = {BuildPerfect(d, b - 1, next), below | kFlagBit, redKey, treetest::ValueOf<Rb>(redKey)};
    RBDictKey topKey = TakeKey(next);
    d->d_nodes[top] = {BuildPerfect(d, b - 1, next), red, topKey, treetest::ValueOf<Rb>(topKey)};
    return top;
}

TEST(RbDict, TreesFortyLevelsHighRemoveAndInsertSoundly) {
    const std::uint64_t n = zk::MinRedBlackNodes(40);  // 2,097,150
    RBDict* d = ZKRBDictNew(UInt(n + 2));
    RBDictKey next = 2;
    d->d_nodes[zk::kHeadNode].n_right = BuildChain(d, 20, &next);
    d->d_size = d->d_free - 2;
    Rb::Check(d);
    ASSERT_EQ(treetest::Height(d, Root(d)), 40);
    // Key 0 misses below the leftmost leaf, 40 levels down: with the head and the empty link, a
    // removal path of 42 entries.
    EXPECT_EQ(ZKRBDictRemove(d, 0, 99), 99u);
    // Present keys go, absent ones come in: the deepest keys, red and black, repaired along the chain;
    // keys at the bottom; last the root's key (0 stands for it), whose node takes its successor's.
    for (RBDictKey k : {2u, 4u, 6u, 8u, 10u, 12u, 1u, 3u, 5u, 3u, 14u, 16u, 0u}) {
        if (k == 0) k = d->d_nodes[Root(d)].n_key;
        RBDictValue stored = ZKRBDictFind(d, k, 0);
        ASSERT_EQ(stored != 0 ? ZKRBDictRemove(d, k, 0) : ZKRBDictInsert(d, k, treetest::ValueOf<Rb>(k), 0),
                  stored);
        Rb::Check(d);
    }
    treetest::ExpectOrderedWithOwnValues<Rb>(d, n - 7);
    ZKRBDictDelete(d);
}

// ---- misuse and fatal failures -----------------------------------------------------------------------

TEST(RbDictDeathTest, NullDeleteCorruptColoursAndCycles) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ZKRBDictDelete(nullptr), "Assertion `dict != NULL' failed");
    RBDict* d = ZKRBDictNew(0);
    for (UInt k : {20u, 10u, 30u}) ZKRBDictInsert(d, k, k, 0);  // a black root over two red leaves
    auto& root = d->d_nodes[Root(d)];
    auto& ten = d->d_nodes[root.n_left & kLinkMask];
    root.n_left |= kFlagBit;
    EXPECT_DEATH(TreeCheck(d), "Assertion `GET_COLOR\\(GET_LEFT\\(x\\)\\) == BLACK' failed");
    ten.n_left &= kLinkMask;
    EXPECT_DEATH(TreeCheck(d), "Assertion `GET_COLOR\\(GET_RIGHT\\(x\\)\\) == BLACK' failed");
    root.n_left &= kLinkMask;  // black over a black and a red child: unequal black heights
    EXPECT_DEATH(TreeCheck(d), "Assertion `FALSE' failed");
    // A cycle: the walks stop at the deepest path a real tree can have instead of running away.
    ten.n_left = Root(d) | kFlagBit;
    EXPECT_DEATH(ZKRBDictRemove(d, 0, 0), "Assertion `m < kPathLength' failed");
    EXPECT_DEATH(TreeCheck(d), "Assertion `depth < kMaxRedBlackHeight");
    ZKRBDictDelete(d);
}

TEST(RbDictDeathTest, GrowthPastTheLastIndexAndFailedMappingsAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RBDict* d = ZKRBDictNew(0);
    // Pretend every index below 2^31 is taken; no node is touched before the growth is refused.
    d->d_capacity = d->d_free = zk::kMaxNodes;
    EXPECT_DEATH(ZKRBDictInsert(d, 1, 1, 0), "NodeNew: fatal: memory reallocation failed: size=68719476736");
    d->d_capacity = 1024;
    ZKRBDictDelete(d);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    auto mapHuge = [] {
        struct rlimit lim = {1u << 30, 1u << 30};  // below what 2^27 nodes need
        setrlimit(RLIMIT_AS, &lim);
        ZKRBDictNew(1u << 27);
    };
    EXPECT_DEATH(mapHuge(), "ZKRBDictNew: fatal: memory allocation failed: size=2147483648");
#endif
}

}  // namespace
