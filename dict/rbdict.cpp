// RBDict: a red-black tree over the node array of node_array.h.
//
// Insertion is top-down: on the way to the new key's place, every node with two red children is
// split (colour flip, plus one or two rotations when that makes two reds meet), so no path is kept.
// Removal is bottom-up: it records the path to the node it takes out and repairs the black heights
// along it.
//
// Some member names are in capitals because the assertion texts quote them (GET_COLOR(p) == BLACK,
// x != ZERO) and an assertion reports its condition as written.
#include "dict/rbdict.h"

#include <cstdlib>
#include <utility>

#include "dict/node_array.h"

namespace zk {
namespace {

struct RbTraits {
    static constexpr const char* kPath = "dict/rbdict";
    static constexpr const char* kNewFunction = "ZKRBDictNew";
    // The size goes out in full: as a 32-bit number it would wrap from 256M nodes on.
    [[noreturn]] static void NoMemory(int line, const char* function, size_t bytes, bool growing) {
        ZKSetMessageContext2_(kPath, line, "zkdict", function, 4, 0);
        if (growing) {
            ZKMessage_("memory reallocation failed: size=%lu", static_cast<unsigned long>(bytes));
        } else {
            ZKMessage_("memory allocation failed: size=%lu", static_cast<unsigned long>(bytes));
        }
        std::abort();  // not reached: a severity-4 report stops the process
    }
};

using Array = NodeArray<RBDict, RbTraits>;
static_assert(sizeof(RBDictNode) == 16);

class RbTree {
public:
    using Key = RBDictKey;
    using Value = RBDictValue;

    // Entries on the removal path: the head, one per level, and the empty link that ends the walk to
    // an absent key.
    static constexpr int kPathLength = kMaxRedBlackHeight + 2;

    explicit RbTree(RBDict* dict) : dict_(dict) {}

    NodeIndex Find(Key v) const { return SentinelFind(dict_->d_nodes, v); }

    // Stores d under v; true when v is new. An old value goes to *previous.
    bool Insert(Key v, Value d, Value* previous) {
        return LooksAscending(dict_, v) ? InsertTopDown<true>(v, d, previous) : InsertTopDown<false>(v, d, previous);
    }

    // Removes v; false when it is absent. Its value goes to *removed.
    bool Remove(Key v, Value* removed) {
        NodeIndex path[kPathLength];
        int m = 0;
        RBDictNode* n = dict_->d_nodes;
        n[ZERO].n_key = v;
        path[m++] = kHeadNode;
        NodeIndex p = kHeadNode;
        NodeIndex x = GET_RIGHT(kHeadNode);
        for (;;) {
            ZK_ASSERT(m < kPathLength);
            path[m++] = x;
            Key k = n[x].n_key;
            if (v == k) break;
            p = x;
            x = ChildToward(n[x], v);
        }
        if (x == ZERO) return false;
        *removed = n[x].n_value;

        NodeIndex left = GET_LEFT(x), right = GET_RIGHT(x);
        if (left == ZERO || right == ZERO) {
            // x goes, its only child (or the empty link) takes its place.
            NodeIndex c = left != ZERO ? left : right;
            if (p == kHeadNode) {
                SetRight(kHeadNode, c);
                // Removing the last node needs no repair. A lone child of the root is red, and the
                // repair below only turns it black.
                if (c == ZERO) {
                    Array::Release(dict_, x);
                    return true;
                }
            } else {
                ReplaceChild(p, x, c);
            }
            path[m - 1] = c;
            if (GET_COLOR(x) == BLACK) RemoveCorrect(path, m);
            Array::Release(dict_, x);
            return true;
        }

        // Two children: x stays and takes over its successor's key and value; the successor's node,
        // which has no left child, goes instead.
        NodeIndex c = right;
        ZK_ASSERT(m < kPathLength);
        path[m++] = c;
        for (NodeIndex l = GET_LEFT(c); l != ZERO; l = GET_LEFT(c)) {
            ZK_ASSERT(m < kPathLength);
            path[m++] = c = l;
        }
        NodeIndex cr = GET_RIGHT(c);
        path[m - 1] = cr;
        if (path[m - 2] != x) {
            SetLeft(path[m - 2], cr);
        } else {
            SetRight(x, cr);
        }
        NODE(x).n_key = NODE(c).n_key;
        NODE(x).n_value = NODE(c).n_value;
        if (GET_COLOR(c) == BLACK) RemoveCorrect(path, m);
        Array::Release(dict_, c);
        return true;
    }

    template <class Visit>
    bool Enumerate(bool reverse, Visit&& visit) const {
        NodeIndex root = GET_RIGHT(kHeadNode);
        if (root == ZERO) return true;
        return reverse ? WalkInOrder<false>(dict_, root, visit) : WalkInOrder<true>(dict_, root, visit);
    }

    void Check() const { CheckRec(GET_RIGHT(kHeadNode), 0); }

private:
    static constexpr UInt BLACK = 0;
    static constexpr UInt RED = kFlagBit;
    static constexpr NodeIndex ZERO = kZeroNode;

    RBDictNode& NODE(NodeIndex x) const { return dict_->d_nodes[x]; }
    NodeIndex GET_LEFT(NodeIndex x) const { return NODE(x).n_left & kLinkMask; }
    NodeIndex GET_RIGHT(NodeIndex x) const { return NODE(x).n_right; }
    UInt GET_COLOR(NodeIndex x) const { return NODE(x).n_left & kFlagBit; }
    void SetLeft(NodeIndex x, NodeIndex y) const {
        UInt& word = NODE(x).n_left;
        word = (word & kFlagBit) | y;
    }
    void SetRight(NodeIndex x, NodeIndex y) const { NODE(x).n_right = y; }
    void SetColor(NodeIndex x, UInt color) const {
        UInt& word = NODE(x).n_left;
        word = (word & kLinkMask) | color;
    }
    // Points p's link to x at y instead; the head node's only link is its right one.
    void ReplaceChild(NodeIndex p, NodeIndex x, NodeIndex y) const {
        if (GET_LEFT(p) == x) {
            SetLeft(p, y);
        } else {
            SetRight(p, y);
        }
    }

    // The insertion itself. With kRightFirst each level branches on the comparison, predicted to go
    // right, instead of selecting the child without a branch: for keys above all others the branch
    // never misses, and the walk costs a load per level instead of a load, a compare and a select.
    template <bool kRightFirst>
    bool InsertTopDown(Key v, Value d, Value* previous) {
        NodeIndex x = kHeadNode, p = kHeadNode, g = kHeadNode, gg = kHeadNode;
        do {
            gg = g;
            g = p;
            p = x;
            // The head takes part in no comparison: from it the walk goes straight to the root.
            if (p == kHeadNode) {
                x = GET_RIGHT(kHeadNode);
            } else {
                RBDictNode& node = NODE(p);
                if (v == node.n_key) {
                    *previous = node.n_value;
                    node.n_value = d;
                    return false;
                }
                if constexpr (kRightFirst) {
                    x = __builtin_expect(node.n_key < v, 1) ? node.n_right : node.n_left & kLinkMask;
                } else {
                    x = ChildToward(node, v);
                }
            }
            // Node 0 is black, so the empty link never splits. The child on v's side is tested first:
            // the walk reads it next anyway, and the far child, often on a line of its own, is read
            // only when the near one is red.
            NodeIndex nearChild = GET_LEFT(x), farChild = GET_RIGHT(x);
            if (!(v < NODE(x).n_key)) std::swap(nearChild, farChild);
            if (GET_COLOR(nearChild) == RED && GET_COLOR(farChild) == RED) x = Split(v, gg, g, p, x);
        } while (x != ZERO);

        dict_->d_size++;
        x = Array::Take(dict_);
        RBDictNode& node = NODE(x);
        node.n_right = node.n_left = 0;
        node.n_key = v;
        node.n_value = d;
        if (v < NODE(p).n_key) {
            SetLeft(p, x);
        } else {
            SetRight(p, x);
        }
        Split(v, gg, g, p, x);
        return true;
    }

    // Makes x red and its children black. When that puts x under a red parent, rotates the pair of
    // reds above the grandparent (twice when x lies on the inner side) and returns the node that
    // took the grandparent's place, now black; otherwise returns x.
    NodeIndex Split(Key v, NodeIndex gg, NodeIndex g, NodeIndex p, NodeIndex x) const {
        SetColor(x, RED);
        SetColor(GET_LEFT(x), BLACK);
        SetColor(GET_RIGHT(x), BLACK);
        if (GET_COLOR(p) == RED) {
            SetColor(g, RED);
            if ((v < NODE(g).n_key) != (v < NODE(p).n_key)) Rotate(v, g);
            x = Rotate(v, gg);
            SetColor(x, BLACK);
        }
        SetColor(GET_RIGHT(kHeadNode), BLACK);
        return x;
    }

    // Rotates the child of y on v's side and returns the node that took its place. Under the head
    // node, whose key 0 is below every v, that is the root.
    NodeIndex Rotate(Key v, NodeIndex y) const {
        bool viaLeft = v < NODE(y).n_key;
        NodeIndex c = viaLeft ? GET_LEFT(y) : GET_RIGHT(y);
        NodeIndex gc;
        if (v < NODE(c).n_key) {
            gc = GET_LEFT(c);
            SetLeft(c, GET_RIGHT(gc));
            SetRight(gc, c);
        } else {
            gc = GET_RIGHT(c);
            SetRight(c, GET_LEFT(gc));
            SetLeft(gc, c);
        }
        if (viaLeft) {
            SetLeft(y, gc);
        } else {
            SetRight(y, gc);
        }
        return gc;
    }

    void RemoveLeftRotate(NodeIndex p, NodeIndex x) const {
        ZK_ASSERT(x != ZERO);
        ZK_ASSERT(p != ZERO);
        NodeIndex y = GET_RIGHT(x);
        ZK_ASSERT(y != ZERO);
        SetRight(x, GET_LEFT(y));
        ReplaceChild(p, x, y);
        SetLeft(y, x);
    }

    void RemoveRightRotate(NodeIndex p, NodeIndex x) const {
        ZK_ASSERT(x != ZERO);
        ZK_ASSERT(p != ZERO);
        NodeIndex y = GET_LEFT(x);
        ZK_ASSERT(y != ZERO);
        SetLeft(x, GET_RIGHT(y));
        ReplaceChild(p, x, y);
        SetRight(y, x);
    }

    // A black node was taken out above path[m - 1], the node now in its place (perhaps the empty
    // link): that side of its parent is one black short. Repairs upwards along the path.
    void RemoveCorrect(const NodeIndex* path, int m) const {
        int i = m - 1;
        NodeIndex x = path[i];
        NodeIndex p = path[i - 1];
        NodeIndex pp = i >= 2 ? path[i - 2] : ZERO;
        while (x != kHeadNode && GET_COLOR(x) == BLACK) {
            // An empty x is the left child exactly when left(p) is empty too: the sibling of a removed
            // black node is never empty.
            bool leftSide = GET_LEFT(p) == x;
            NodeIndex w = leftSide ? GET_RIGHT(p) : GET_LEFT(p);
            ZK_ASSERT(p != ZERO);
            if (GET_COLOR(w) == RED) {
                // A red sibling: rotate it above p, so that x gets a black sibling under a red p.
                SetColor(w, BLACK);
                SetColor(p, RED);
                if (leftSide) {
                    RemoveLeftRotate(pp, p);
                    pp = w;
                    w = GET_RIGHT(p);
                } else {
                    RemoveRightRotate(pp, p);
                    pp = w;
                    w = GET_LEFT(p);
                }
            }
            if (GET_COLOR(GET_LEFT(w)) == BLACK && GET_COLOR(GET_RIGHT(w)) == BLACK) {
                // Take a black from the sibling's side too; the shortage moves up to p.
                if (w != ZERO) SetColor(w, RED);
                if (GET_COLOR(p) == RED) {
                    SetColor(p, BLACK);
                    break;
                }
                x = p;
                --i;
                if (i == 1) break;
                p = path[i - 1];
                pp = path[i - 2];
                continue;
            }
            if (leftSide) {
                if (GET_COLOR(GET_RIGHT(w)) == BLACK) {
                    ZK_ASSERT(w != ZERO);
                    SetColor(GET_LEFT(w), BLACK);
                    SetColor(w, RED);
                    RemoveRightRotate(p, w);
                    w = GET_RIGHT(p);
                }
                ZK_ASSERT((w != ZERO) || (GET_COLOR(p) == BLACK));
                SetColor(w, GET_COLOR(p));
                SetColor(p, BLACK);
                SetColor(GET_RIGHT(w), BLACK);
                RemoveLeftRotate(pp, p);
            } else {
                if (GET_COLOR(GET_LEFT(w)) == BLACK) {
                    ZK_ASSERT(w != ZERO);
                    SetColor(GET_RIGHT(w), BLACK);
                    SetColor(w, RED);
                    RemoveLeftRotate(p, w);
                    w = GET_LEFT(p);
                }
                ZK_ASSERT((w != ZERO) || (GET_COLOR(p) == BLACK));
                SetColor(w, GET_COLOR(p));
                SetColor(p, BLACK);
                SetColor(GET_LEFT(w), BLACK);
                RemoveRightRotate(pp, p);
            }
            x = kHeadNode;
        }
        SetColor(x, BLACK);
    }

    // The black height of the subtree under x. The depth bound turns a corrupt array (a cycle, an
    // index past the end) into a failed assertion instead of an endless recursion or a stray read.
    int CheckRec(NodeIndex x, int depth) const {
        if (x == ZERO) return 0;
        ZK_ASSERT(depth < kMaxRedBlackHeight && x < dict_->d_capacity);
        int a = CheckRec(GET_LEFT(x), depth + 1);
        int b = CheckRec(GET_RIGHT(x), depth + 1);
        if (GET_COLOR(x) == RED) {
            ZK_ASSERT(GET_COLOR(GET_LEFT(x)) == BLACK);
            ZK_ASSERT(GET_COLOR(GET_RIGHT(x)) == BLACK);
        }
        if (a != b) ZK_ASSERT(FALSE);
        return a + (GET_COLOR(x) == BLACK ? 1 : 0);
    }

    RBDict* dict_;
};

}  // namespace
}  // namespace zk

using zk::NodeIndex;
using zk::RbTree;
using Readers = zk::TreeReaders<RBDict>;

extern "C" {

ZK_EXPORT RBDict* ZKRBDictNew(UInt capacity) { return zk::Array::New(capacity); }

ZK_EXPORT void ZKRBDictClear(RBDict* dict) { zk::Array::Clear(dict); }

ZK_EXPORT void ZKRBDictDelete(RBDict* dict) { zk::Array::Delete(dict); }

ZK_EXPORT UInt ZKRBDictSize(const RBDict* dict) { return dict->d_size; }

ZK_EXPORT RBDictValue ZKRBDictFind(RBDict* dict, RBDictKey v, RBDictValue n) {
    NodeIndex x = RbTree(dict).Find(v);
    return x != zk::kZeroNode ? dict->d_nodes[x].n_value : n;
}

ZK_EXPORT RBDictValue* ZKRBDictValueGet(RBDict* dict, RBDictKey v) {
    NodeIndex x = RbTree(dict).Find(v);
    return x != zk::kZeroNode ? &dict->d_nodes[x].n_value : nullptr;
}

ZK_EXPORT RBDictKey ZKRBDictFindNearest(RBDict* dict, RBDictKey v, int roundingMode, RBDictValue** valPtr) {
    return zk::FindNearest(dict, v, roundingMode, valPtr);
}

ZK_EXPORT RBDictValue ZKRBDictInsert(RBDict* dict, RBDictKey v, RBDictValue d, RBDictValue n) {
    RBDictValue previous = n;
    RbTree(dict).Insert(v, d, &previous);
    return previous;
}

ZK_EXPORT RBDictValue ZKRBDictRemove(RBDict* dict, RBDictKey v, RBDictValue n) {
    RBDictValue removed = n;
    RbTree(dict).Remove(v, &removed);
    return removed;
}

ZK_EXPORT Boolean ZKRBDictEnumerate(RBDict* dict, Boolean reverse, RBDictEnumerateFun fun, void* arg) {
    return RbTree(dict).Enumerate(reverse != FALSE, [&](RBDictKey key, RBDictValue value) {
        return fun(dict, key, value, arg) != FALSE;
    }) ? TRUE : FALSE;
}

ZK_EXPORT void TreeCheck(RBDict* dict) { RbTree(dict).Check(); }

ZK_EXPORT Boolean ZKRBDictLookup(const RBDict* dict, RBDictKey key, RBDictValue* value) {
    return Readers::Lookup(dict, key, value);
}

ZK_EXPORT Boolean ZKRBDictFirst(const RBDict* dict, RBDictKey* key, RBDictValue* value) {
    return Readers::Edge(dict, false, key, value);
}

ZK_EXPORT Boolean ZKRBDictLast(const RBDict* dict, RBDictKey* key, RBDictValue* value) {
    return Readers::Edge(dict, true, key, value);
}

ZK_EXPORT Boolean ZKRBDictNext(const RBDict* dict, RBDictKey after, RBDictKey* key, RBDictValue* value) {
    return Readers::Neighbour(dict, after, true, key, value);
}

ZK_EXPORT Boolean ZKRBDictPrevious(const RBDict* dict, RBDictKey before, RBDictKey* key, RBDictValue* value) {
    return Readers::Neighbour(dict, before, false, key, value);
}

}  // extern "C"
