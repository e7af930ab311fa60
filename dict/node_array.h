// node_array.h: the node array under the ordered dictionaries (AVLDict, AVLLDict, RBDict).
//
// Every tree keeps its nodes in one page mapping, linked by 31-bit indexes, with the same record
// (d_nodes, d_capacity, d_size, d_free, d_list) and the same reserved nodes: 0 is the empty link and
// the search sentinel, 1 is the head whose right link names the root. Real nodes start at 2. Released
// nodes form a free list threaded through their right links, reused last released, first reused,
// before the high-water mark d_free moves on. The array doubles in place when it runs out and never
// shrinks.
//
// The searches come in two kinds: those that store the key in the sentinel first (the lookups the
// families' own calls make) and those that write nothing (the readers that several threads may run
// at once). Both serve all three trees, since they read only keys and links.
//
// On the array, ArrayTree is the binary search tree both balance disciplines share, with what comes
// in mirror images written once over a side, and TreeCalls the exported calls of every family, to
// which each family's C functions forward; ZK_TREE_EXPORTS defines those of them that are alike.
//
// What differs between the families (source path, function names and texts of the failure reports)
// comes from a Traits class:
//   static constexpr const char* kPath;         // path named in reports, e.g. "dict/avldict"
//   static constexpr const char* kNewFunction;  // the constructor's exported name
//   [[noreturn]] static void NoMemory(int line, const char* function, size_t bytes, bool growing);
#ifndef ZKDICT_DICT_NODE_ARRAY_H
#define ZKDICT_DICT_NODE_ARRAY_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "dict/huge_pages.h"
#include "zklib/zklib.h"

namespace zk {

using NodeIndex = UInt;

inline constexpr NodeIndex kZeroNode = 0;
inline constexpr NodeIndex kHeadNode = 1;
inline constexpr NodeIndex kFirstRealNode = 2;

// Links use bits 0-30 of their word; bit 31 carries a node's balance or colour.
inline constexpr UInt kLinkMask = 0x7FFFFFFFu;
inline constexpr UInt kFlagBit = 0x80000000u;

// Indexes must fit in 31 bits, so this many nodes and no more; two of them are reserved.
inline constexpr UInt kMaxNodes = 0x80000000u;
inline constexpr UInt kMaxKeys = kMaxNodes - 2;
inline constexpr UInt kMinNodes = 1024;

// The capacity a new dictionary asking for requested nodes gets. A request beyond kMaxNodes would map
// memory that no index can reach.
constexpr UInt InitialCapacity(UInt requested) {
    return requested < kMinNodes ? kMinNodes : requested > kMaxNodes ? kMaxNodes : requested;
}

// The capacity after one growth step: double, but never past the last index a link can hold; 0 when
// the array already holds kMaxNodes. Doubling a capacity that is not a power of two may overshoot the
// limit, and the limit itself is then the last step, so the whole index range stays usable.
constexpr UInt GrownCapacity(UInt capacity) {
    if (capacity >= kMaxNodes) return 0;
    return capacity > kMaxNodes / 2 ? kMaxNodes : 2 * capacity;
}

// ---- heights: what the fixed paths must hold -----------------------------------------------------

// Nodes in the smallest AVL tree of the given height: N(h) = N(h-1) + N(h-2) + 1.
constexpr std::uint64_t MinAvlNodes(int height) {
    std::uint64_t below = 0, at = 1;  // N(0), N(1)
    if (height == 0) return 0;
    for (int h = 2; h <= height; ++h) {
        std::uint64_t next = at + below + 1;
        below = at;
        at = next;
    }
    return at;
}

// Nodes in the smallest red-black tree of the given height: a black root over a red node on the tall
// side, recursively, with perfect black subtrees beside the chain.
constexpr std::uint64_t MinRedBlackNodes(int height) {
    if (height == 0) return 0;
    int half = height / 2;
    return height % 2 == 0 ? (std::uint64_t{2} << half) - 2
                           : (std::uint64_t{1} << (half + 1)) + (std::uint64_t{1} << half) - 2;
}

template <class MinNodes>
constexpr int MaxHeight(MinNodes minNodes, std::uint64_t nodes) {
    int h = 0;
    while (minNodes(h + 1) <= nodes) ++h;
    return h;
}

// The tallest trees that kMaxKeys keys can form. The search paths of insertion and removal are sized
// from these, so no tree the array can hold overflows one.
inline constexpr int kMaxAvlHeight = MaxHeight(MinAvlNodes, kMaxKeys);
inline constexpr int kMaxRedBlackHeight = MaxHeight(MinRedBlackNodes, kMaxKeys);
static_assert(MinAvlNodes(31) == 3524577 && MinAvlNodes(33) == 9227464);
static_assert(MinRedBlackNodes(31) == 98302);

// ---- the search ----------------------------------------------------------------------------------

// a when take holds, else b, without a branch. Which way a descent turns is a coin flip on random
// keys, and a mispredicted branch at every level costs more than computing the choice: the
// branch-free descent runs about twice as fast on a tree that does not fit in the cache.
inline UInt Select(bool take, UInt a, UInt b) {
    UInt mask = 0u - UInt(take);
    return (a & mask) | (b & ~mask);
}

// The child of node n on key v's side, the link's bit 31 masked off whatever it means in the family
// at hand. v must differ from the node's key.
template <class Node, class Key>
inline NodeIndex ChildToward(const Node& n, Key v) {
    return Select(v < n.n_key, n.n_left, n.n_right) & kLinkMask;
}

// True when the last two nodes taken from the high-water mark hold increasing keys and v lies above
// both: keys arriving in increasing order (identifiers, sequence numbers, times), which go right at
// every level. It also holds for about one random key in six, so it may only pick how a descent is
// run, never where it goes.
template <class Dict, class Key>
inline bool LooksAscending(const Dict* dict, Key v) {
    const NodeIndex recent = dict->d_free - 1;
    if (dict->d_size < 2 || recent <= kFirstRealNode || recent >= dict->d_capacity) return false;
    const auto* n = dict->d_nodes;
    return n[recent - 1].n_key < n[recent].n_key && n[recent].n_key < v;
}

// The node holding key v, or 0. The key is first stored in the sentinel, so the descent needs no
// end-of-tree test: reaching node 0 ends it on a match.
template <class Node, class Key>
inline NodeIndex SentinelFind(Node* nodes, Key v) {
    nodes[kZeroNode].n_key = v;
    NodeIndex x = nodes[kHeadNode].n_right & kLinkMask;
    while (nodes[x].n_key != v) x = ChildToward(nodes[x], v);
    return x;
}

// The same search writing nothing, not even the sentinel, so that any number of threads may run it
// at once on a dictionary that no thread is changing.
template <class Node, class Key>
inline NodeIndex ReadOnlyFind(const Node* nodes, Key v) {
    NodeIndex x = nodes[kHeadNode].n_right & kLinkMask;
    while (x != kZeroNode && nodes[x].n_key != v) x = ChildToward(nodes[x], v);
    return x;
}

// The node of the smallest key (the largest with last), or 0 in an empty tree; writes nothing.
template <class Node>
inline NodeIndex ReadOnlyEdge(const Node* nodes, bool last) {
    NodeIndex x = nodes[kHeadNode].n_right & kLinkMask;
    if (x == kZeroNode) return x;
    for (NodeIndex c; (c = (last ? nodes[x].n_right : nodes[x].n_left) & kLinkMask) != kZeroNode;) x = c;
    return x;
}

// The node of the smallest key above v (with above) or of the largest below it, or 0 when there is
// none; v itself need not be stored, and the search writes nothing. One descent serves both
// directions: a key on the wanted side of v is the best so far, and only keys between it and v can
// beat it, so the walk turns back toward v; from any other key it turns away from v.
template <class Node, class Key>
inline NodeIndex ReadOnlyNeighbour(const Node* nodes, Key v, bool above) {
    NodeIndex best = kZeroNode;
    NodeIndex x = nodes[kHeadNode].n_right & kLinkMask;
    while (x != kZeroNode) {
        const Key k = nodes[x].n_key;
        const bool beyond = above ? v < k : k < v;
        best = Select(beyond, x, best);
        x = Select(beyond == above, nodes[x].n_left, nodes[x].n_right) & kLinkMask;
    }
    return best;
}

// ---- nearest keys --------------------------------------------------------------------------------

// The sentinel search that also notes v's neighbours on the way down: *lo receives the last node
// passed on its right (the greatest key below v) and *hi the last passed on its left (the smallest
// key above v), each left at none when there is no such node. Returns the node holding v, or 0.
template <class Node, class Key>
inline NodeIndex SentinelFindInterval(Node* nodes, Key v, NodeIndex none, NodeIndex* lo, NodeIndex* hi) {
    nodes[kZeroNode].n_key = v;
    NodeIndex below = none, above = none;
    NodeIndex x = nodes[kHeadNode].n_right & kLinkMask;
    while (nodes[x].n_key != v) {
        const bool left = v < nodes[x].n_key;
        above = Select(left, x, above);
        below = Select(left, below, x);
        x = ChildToward(nodes[x], v);
    }
    *lo = below;
    *hi = above;
    return x;
}

// The rounding of every nearest search, for an absent v between the keys below and above it (either
// may be missing): a negative mode takes the one below, a positive one the one above, 0 the closer
// of the two, a tie going up and a missing neighbour giving way to the other. True for above. The
// distances are taken from v outwards, so they cannot wrap.
template <class Key>
inline bool NearestIsAbove(int roundingMode, bool haveBelow, Key below, bool haveAbove, Key above, Key v) {
    if (roundingMode < 0) return false;
    if (roundingMode > 0 || !haveBelow) return true;
    if (!haveAbove) return false;
    return v - below >= above - v;
}

// ---- walks ---------------------------------------------------------------------------------------

// In-order walk for the enumerations: visit(key, value) in increasing key order (decreasing when
// kIncreasing is false) until it returns false; false then, else true. The loop follows the far
// side, so only the near side recurses, and the far child is fetched before the near subtree is
// walked so that its cache miss overlaps that walk. Nodes are read through the record at every step,
// so a visitor that breaks the rule and inserts cannot make the walk read an array that has moved.
template <bool kIncreasing, class Dict, class Visit>
bool WalkInOrder(const Dict* dict, NodeIndex x, Visit& visit) {
    auto nearSide = [dict](NodeIndex n) {
        return (kIncreasing ? dict->d_nodes[n].n_left : dict->d_nodes[n].n_right) & kLinkMask;
    };
    auto farSide = [dict](NodeIndex n) {
        return (kIncreasing ? dict->d_nodes[n].n_right : dict->d_nodes[n].n_left) & kLinkMask;
    };
    for (; x != kZeroNode; x = farSide(x)) {
        NodeIndex n = nearSide(x);
        __builtin_prefetch(&dict->d_nodes[farSide(x)]);
        if (n != kZeroNode && !WalkInOrder<kIncreasing>(dict, n, visit)) return false;
        if (!visit(dict->d_nodes[x].n_key, dict->d_nodes[x].n_value)) return false;
    }
    return true;
}

// ---- the array -----------------------------------------------------------------------------------

template <class Dict, class Traits>
struct NodeArray {
    using Node = std::remove_pointer_t<decltype(Dict::d_nodes)>;
    static_assert(std::is_same_v<decltype(Node::n_right), UInt> && std::is_same_v<decltype(Node::n_left), UInt>);

    static size_t Bytes(std::uint64_t nodes) { return size_t(nodes * sizeof(Node)); }

    static Dict* New(UInt capacity) {
        auto* dict = static_cast<Dict*>(Allocate_(sizeof(Dict), nullptr, Traits::kPath, __LINE__));
        dict->d_capacity = InitialCapacity(capacity);
        dict->d_nodes = static_cast<Node*>(MemoryMap_(Bytes(dict->d_capacity), Traits::kPath, __LINE__));
        if (dict->d_nodes == nullptr) Traits::NoMemory(__LINE__, Traits::kNewFunction, Bytes(dict->d_capacity), false);
        AdviseHugePages(dict->d_nodes, Bytes(dict->d_capacity));
        Clear(dict);
        return dict;
    }

    static void Clear(Dict* dict) {
        dict->d_free = kFirstRealNode;
        dict->d_size = 0;
        dict->d_list = kZeroNode;
        Node* nodes = dict->d_nodes;
        nodes[kZeroNode].n_left = nodes[kZeroNode].n_right = 0;
        nodes[kHeadNode].n_left = nodes[kHeadNode].n_right = 0;
        nodes[kHeadNode].n_key = 0;
    }

    static void Delete(Dict* dict) {
        ZK_ASSERT(dict != NULL);
        if (dict->d_nodes != nullptr) MemoryUnmap_(dict->d_nodes, Bytes(dict->d_capacity), Traits::kPath, __LINE__);
        UnAllocate_(dict, Traits::kPath, __LINE__);
    }

    // A node for a new key, from the free list or else from the high-water mark; the caller sets every
    // field. The array may move.
    static NodeIndex Take(Dict* dict) {
        NodeIndex x = dict->d_list;
        if (x != kZeroNode) {
            dict->d_list = dict->d_nodes[x].n_right & kLinkMask;
            return x;
        }
        x = dict->d_free;
        if (x >= dict->d_capacity) Grow(dict);
        dict->d_free = x + 1;
        return x;
    }

    // Puts x on the free list. Bit 31 of its right word is left alone: on a free node it means nothing.
    static void Release(Dict* dict, NodeIndex x) {
        dict->d_size--;
        Node& node = dict->d_nodes[x];
        node.n_right = (node.n_right & kFlagBit) | dict->d_list;
        dict->d_list = x;
    }

private:
    static void Grow(Dict* dict) {
        UInt capacity = GrownCapacity(dict->d_capacity);
        if (capacity == 0) {
            // Every index is taken; report what the doubling would have asked for.
            Traits::NoMemory(__LINE__, "NodeNew", Bytes(2 * std::uint64_t(dict->d_capacity)), true);
        }
        void* moved = MemoryRemap_(dict->d_nodes, Bytes(dict->d_capacity), Bytes(capacity), Traits::kPath, __LINE__);
        if (moved == nullptr) Traits::NoMemory(__LINE__, "NodeNew", Bytes(capacity), true);
        dict->d_nodes = static_cast<Node*>(moved);
        dict->d_capacity = capacity;
        AdviseHugePages(moved, Bytes(capacity));
    }
};

// ---- the search tree both families keep in the array ---------------------------------------------

// A side of a node. The balancing steps of both trees come in mirror images; each is written once for
// a side fixed at compile time, so that either instantiation compiles to what a copy written out for
// that side would. A side known only at run time costs a branch per use, which the hot paths avoid.
enum Side : bool { kLeft = false, kRight = true };
constexpr Side operator!(Side side) { return side == kLeft ? kRight : kLeft; }

// What the AVL and the red-black tree do alike: reach a node's links by side, rotate, search, hang a
// new node under the last one passed, record the descent of a removal, walk in order. The balance
// disciplines build on it.
//
// Bit 31 of the left word carries a flag in both trees (a left-heavy node, a red one); the right
// word carries one only with kFlaggedRight (a right-heavy node). Without it the right word is a bare
// index, read and written whole. Link writes keep the flag of the word written, so balances and
// colours set before a rotation survive it.
template <class TreeDict, class Traits, bool kFlaggedRight, int kMaxHeight>
class ArrayTree {
public:
    using Dict = TreeDict;
    using Array = NodeArray<Dict, Traits>;
    using Node = typename Array::Node;
    using Key = decltype(Node::n_key);
    using Value = decltype(Node::n_value);

    // Entries on a descent's path: the head, one per level of the tallest tree the array can hold,
    // and the empty link that ends a descent to an absent key.
    static constexpr int kPathLength = kMaxHeight + 2;

    explicit ArrayTree(Dict* dict) : dict_(dict) {}

    // The node holding v, or 0.
    NodeIndex Find(Key v) const { return SentinelFind(dict_->d_nodes, v); }

    // Calls visit(key, value) in key order (decreasing with reverse) until it returns false; false
    // then, else true.
    template <class Visit>
    bool Enumerate(bool reverse, Visit&& visit) const {
        NodeIndex root = Child<kRight>(kHeadNode);
        if (root == ZERO) return true;
        return reverse ? WalkInOrder<false>(dict_, root, visit) : WalkInOrder<true>(dict_, root, visit);
    }

protected:
    static constexpr NodeIndex ZERO = kZeroNode;

    Node& NODE(NodeIndex x) const { return dict_->d_nodes[x]; }

    template <Side kSide>
    NodeIndex Child(NodeIndex x) const {
        if constexpr (kSide == kLeft || kFlaggedRight) {
            return (kSide == kLeft ? NODE(x).n_left : NODE(x).n_right) & kLinkMask;
        } else {
            return NODE(x).n_right;
        }
    }
    template <Side kSide>
    void SetChild(NodeIndex x, NodeIndex y) const {
        if constexpr (kSide == kLeft || kFlaggedRight) {
            UInt& word = kSide == kLeft ? NODE(x).n_left : NODE(x).n_right;
            word = (word & kFlagBit) | y;
        } else {
            NODE(x).n_right = y;
        }
    }
    NodeIndex Child(Side side, NodeIndex x) const { return side == kLeft ? Child<kLeft>(x) : Child<kRight>(x); }
    void SetChild(Side side, NodeIndex x, NodeIndex y) const {
        if (side == kLeft) {
            SetChild<kLeft>(x, y);
        } else {
            SetChild<kRight>(x, y);
        }
    }
    // The side of p on which v belongs. No key is below the head node's key 0, so from the head that
    // is the right side, the only one it uses.
    Side SideOf(Key v, NodeIndex p) const { return v < NODE(p).n_key ? kLeft : kRight; }

    // Points p's link to x at y instead.
    void ReplaceChild(NodeIndex p, NodeIndex x, NodeIndex y) const {
        SetChild(Child<kLeft>(p) == x ? kLeft : kRight, p, y);
    }

    // The rotation lifting x's child on side kSide into x's place, x becoming its child on the other
    // side; returns the lifted node, to which the caller points x's parent.
    template <Side kSide>
    NodeIndex Turn(NodeIndex x) const {
        NodeIndex y = Child<kSide>(x);
        SetChild<kSide>(x, Child<!kSide>(y));
        SetChild<!kSide>(y, x);
        return y;
    }
    // The same rotation with x's parent p given.
    template <Side kSide>
    void Lift(NodeIndex p, NodeIndex x) const {
        ReplaceChild(p, x, Turn<kSide>(x));
    }

    // A new node holding v and d, without children, hung under p on v's side. The array may move.
    NodeIndex Attach(NodeIndex p, Key v, Value d) const {
        dict_->d_size++;
        NodeIndex x = Array::Take(dict_);
        Node& node = NODE(x);
        node.n_right = node.n_left = 0;
        node.n_key = v;
        node.n_value = d;
        SetChild(SideOf(v, p), p, x);
        return x;
    }

    // The descent of a removal, the key stored in the sentinel first: path[0..*length) runs from the
    // head node to the node holding v, or to the empty link when v is absent. Returns that last entry,
    // puts the one before it in *parent and, when v is present, its value in *removed.
    NodeIndex DescendToRemove(Key v, Value* removed, NodeIndex* path, int* length, NodeIndex* parent) const {
        Node* n = dict_->d_nodes;
        n[ZERO].n_key = v;
        int m = 0;
        path[m++] = kHeadNode;
        NodeIndex p = kHeadNode;
        NodeIndex x = Child<kRight>(kHeadNode);
        for (;;) {
            ZK_ASSERT(m < kPathLength);
            path[m++] = x;
            Key k = n[x].n_key;
            if (v == k) break;
            p = x;
            x = ChildToward(n[x], v);
        }
        *length = m;
        *parent = p;
        if (x != ZERO) *removed = n[x].n_value;
        return x;
    }

    // Where a removal's descent ends (see DescendToRemove), for the balance disciplines to unlink node
    // and repair the tree along path.
    struct Removal {
        NodeIndex path[kPathLength];
        int length;
        NodeIndex parent;
        NodeIndex node;
    };
    // The descent of a removal into *r; false when v is absent, else v's value goes to *removed.
    bool StartRemoval(Key v, Value* removed, Removal* r) const {
        r->node = DescendToRemove(v, removed, r->path, &r->length, &r->parent);
        return r->node != ZERO;
    }

    // x takes over the key and value of node from, which a removal releases next.
    void TakeEntry(NodeIndex x, NodeIndex from) const {
        NODE(x).n_key = NODE(from).n_key;
        NODE(x).n_value = NODE(from).n_value;
    }

    Dict* dict_;
};

// The exported calls of a tree family over its tree class, which offers Find, Insert (returning the
// node that holds the key and storing the previous value through its pointer), Remove, Enumerate and
// Check. Each family's C functions forward here.
template <class Tree>
struct TreeCalls {
    using Array = typename Tree::Array;
    using Node = typename Tree::Node;
    using Key = typename Tree::Key;
    using Value = typename Tree::Value;
    using Dict = typename Tree::Dict;

    static Dict* New(UInt capacity) { return Array::New(capacity); }
    static void Clear(Dict* dict) { Array::Clear(dict); }
    static void Delete(Dict* dict) { Array::Delete(dict); }
    static UInt Size(const Dict* dict) { return dict->d_size; }

    static Value Find(Dict* dict, Key v, Value n) {
        NodeIndex x = Tree(dict).Find(v);
        return x != kZeroNode ? dict->d_nodes[x].n_value : n;
    }
    static Value* ValueGet(Dict* dict, Key v) {
        NodeIndex x = Tree(dict).Find(v);
        return x != kZeroNode ? &dict->d_nodes[x].n_value : nullptr;
    }

    // The key v when stored, else its neighbour as roundingMode asks, else v itself. A missing
    // neighbour is node 0, whose key is v after the search and which has no value.
    static Key FindNearest(Dict* dict, Key v, int roundingMode, Value** valPtr) {
        Node* n = dict->d_nodes;
        NodeIndex lo, hi;
        NodeIndex c = SentinelFindInterval(n, v, kZeroNode, &lo, &hi);
        if (c == kZeroNode) {
            c = NearestIsAbove(roundingMode, lo != kZeroNode, n[lo].n_key, hi != kZeroNode, n[hi].n_key, v) ? hi : lo;
        }
        if (valPtr != nullptr) *valPtr = c != kZeroNode ? &n[c].n_value : nullptr;
        return n[c].n_key;
    }

    static Value Insert(Dict* dict, Key v, Value d, Value n) {
        Value previous = n;
        Tree(dict).Insert(v, d, &previous);
        return previous;
    }
    static Value ValueInsert(Dict* dict, Key v, Value d, Value n, Value** vPtr) {
        Value previous = n;
        NodeIndex x = Tree(dict).Insert(v, d, &previous);
        if (vPtr != nullptr) *vPtr = &dict->d_nodes[x].n_value;
        return previous;
    }
    static Value Remove(Dict* dict, Key v, Value n) {
        Value removed = n;
        Tree(dict).Remove(v, &removed);
        return removed;
    }

    template <class Fun>
    static Boolean Enumerate(Dict* dict, Boolean reverse, Fun fun, void* arg) {
        return Tree(dict).Enumerate(reverse != FALSE, [&](Key key, Value value) {
            return fun(dict, key, value, arg) != FALSE;
        }) ? TRUE : FALSE;
    }

    static void Check(Dict* dict) { Tree(dict).Check(); }

    // The readers that write nothing: TRUE with the node's key and value copied out (to the outputs
    // that are not NULL), FALSE when there is no such node.
    static Boolean Lookup(const Dict* dict, Key v, Value* value) {
        return Report(dict, ReadOnlyFind(dict->d_nodes, v), nullptr, value);
    }
    static Boolean Edge(const Dict* dict, bool last, Key* key, Value* value) {
        return Report(dict, ReadOnlyEdge(dict->d_nodes, last), key, value);
    }
    static Boolean Neighbour(const Dict* dict, Key v, bool above, Key* key, Value* value) {
        return Report(dict, ReadOnlyNeighbour(dict->d_nodes, v, above), key, value);
    }

private:
    static Boolean Report(const Dict* dict, NodeIndex x, Key* key, Value* value) {
        if (x == kZeroNode) return FALSE;
        if (key != nullptr) *key = dict->d_nodes[x].n_key;
        if (value != nullptr) *value = dict->d_nodes[x].n_value;
        return TRUE;
    }
};

}  // namespace zk

// The exported calls that are the same for every tree family, as extern "C" definitions forwarding
// to Calls (a TreeCalls): for the family whose record is Dict, with its typedefs Dict##Key,
// Dict##Value and Dict##EnumerateFun, whose calls are named prefix##New and so on, and whose check is
// named check. FindNearest and ValueInsert, which differ between the families, each family writes
// out beside it.
#define ZK_TREE_EXPORTS(Calls, prefix, Dict, check)                                                         \
    extern "C" {                                                                                            \
    ZK_EXPORT Dict* prefix##New(UInt capacity) { return Calls::New(capacity); }                             \
    ZK_EXPORT void prefix##Clear(Dict* dict) { Calls::Clear(dict); }                                        \
    ZK_EXPORT void prefix##Delete(Dict* dict) { Calls::Delete(dict); }                                      \
    ZK_EXPORT UInt prefix##Size(const Dict* dict) { return Calls::Size(dict); }                             \
    ZK_EXPORT Dict##Value prefix##Find(Dict* dict, Dict##Key v, Dict##Value n) {                            \
        return Calls::Find(dict, v, n);                                                                     \
    }                                                                                                       \
    ZK_EXPORT Dict##Value* prefix##ValueGet(Dict* dict, Dict##Key v) { return Calls::ValueGet(dict, v); }   \
    ZK_EXPORT Dict##Value prefix##Insert(Dict* dict, Dict##Key v, Dict##Value d, Dict##Value n) {           \
        return Calls::Insert(dict, v, d, n);                                                                \
    }                                                                                                       \
    ZK_EXPORT Dict##Value prefix##Remove(Dict* dict, Dict##Key v, Dict##Value n) {                          \
        return Calls::Remove(dict, v, n);                                                                   \
    }                                                                                                       \
    ZK_EXPORT Boolean prefix##Enumerate(Dict* dict, Boolean reverse, Dict##EnumerateFun fun, void* arg) {   \
        return Calls::Enumerate(dict, reverse, fun, arg);                                                   \
    }                                                                                                       \
    ZK_EXPORT void check(Dict* dict) { Calls::Check(dict); }                                                \
    ZK_EXPORT Boolean prefix##Lookup(const Dict* dict, Dict##Key key, Dict##Value* value) {                 \
        return Calls::Lookup(dict, key, value);                                                             \
    }                                                                                                       \
    ZK_EXPORT Boolean prefix##First(const Dict* dict, Dict##Key* key, Dict##Value* value) {                 \
        return Calls::Edge(dict, false, key, value);                                                        \
    }                                                                                                       \
    ZK_EXPORT Boolean prefix##Last(const Dict* dict, Dict##Key* key, Dict##Value* value) {                  \
        return Calls::Edge(dict, true, key, value);                                                         \
    }                                                                                                       \
    ZK_EXPORT Boolean prefix##Next(const Dict* dict, Dict##Key after, Dict##Key* key, Dict##Value* value) { \
        return Calls::Neighbour(dict, after, true, key, value);                                             \
    }                                                                                                       \
    ZK_EXPORT Boolean prefix##Previous(const Dict* dict, Dict##Key before, Dict##Key* key,                  \
                                       Dict##Value* value) {                                                \
        return Calls::Neighbour(dict, before, false, key, value);                                           \
    }                                                                                                       \
    }

#endif  // ZKDICT_DICT_NODE_ARRAY_H
