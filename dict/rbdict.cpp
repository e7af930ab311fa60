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

static_assert(sizeof(RBDictNode) == 16);

class RbTree : public ArrayTree<RBDict, RbTraits, false, kMaxRedBlackHeight> {
    using Base = ArrayTree<RBDict, RbTraits, false, kMaxRedBlackHeight>;

public:
    using Base::Base;

    // Stores d under v and returns the node that holds it. When v was present, its old value goes to
    // *previous and nothing else changes.
    NodeIndex Insert(Key v, Value d, Value* previous) {
        return LooksAscending(dict_, v) ? InsertTopDown<true>(v, d, previous) : InsertTopDown<false>(v, d, previous);
    }

    // Removes v; false when it is absent. Its value goes to *removed.
    bool Remove(Key v, Value* removed) {
        Removal r;
        if (!StartRemoval(v, removed, &r)) return false;
        auto& [path, m, p, x] = r;

        NodeIndex left = GET_LEFT(x), right = GET_RIGHT(x);
        if (left == ZERO || right == ZERO) {
            // x goes, its only child (or the empty link) takes its place.
            NodeIndex c = left != ZERO ? left : right;
            if (p == kHeadNode) {
                SetChild<kRight>(kHeadNode, c);
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
            SetChild<kLeft>(path[m - 2], cr);
        } else {
            SetChild<kRight>(x, cr);
        }
        TakeEntry(x, c);
        if (GET_COLOR(c) == BLACK) RemoveCorrect(path, m);
        Array::Release(dict_, c);
        return true;
    }

    void Check() const { CheckRec(GET_RIGHT(kHeadNode), 0); }

private:
    static constexpr UInt BLACK = 0;
    static constexpr UInt RED = kFlagBit;

    NodeIndex GET_LEFT(NodeIndex x) const { return Child<kLeft>(x); }
    NodeIndex GET_RIGHT(NodeIndex x) const { return Child<kRight>(x); }
    UInt GET_COLOR(NodeIndex x) const { return NODE(x).n_left & kFlagBit; }
    void SetColor(NodeIndex x, UInt color) const {
        UInt& word = NODE(x).n_left;
        word = (word & kLinkMask) | color;
    }

    // The insertion itself. With kRightFirst each level branches on the comparison, predicted to go
    // right, instead of selecting the child without a branch: for keys above all others the branch
    // never misses, and the walk costs a load per level instead of a load, a compare and a select.
    template <bool kRightFirst>
    NodeIndex InsertTopDown(Key v, Value d, Value* previous) {
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
                    return p;
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

        x = Attach(p, v, d);
        Split(v, gg, g, p, x);
        return x;
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
        const Side side = SideOf(v, y);
        NodeIndex c = Child(side, y);
        NodeIndex gc = SideOf(v, c) == kLeft ? Turn<kLeft>(c) : Turn<kRight>(c);
        SetChild(side, y, gc);
        return gc;
    }

    // The rotations of the removal repair: x's child on side kSide takes x's place under p. The
    // checks hold in every consistent tree.
    template <Side kSide>
    void RemoveRotate(NodeIndex p, NodeIndex x) const {
        ZK_ASSERT(x != ZERO);
        ZK_ASSERT(p != ZERO);
        NodeIndex y = Child<kSide>(x);
        ZK_ASSERT(y != ZERO);
        Lift<kSide>(p, x);
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
            const bool up = GET_LEFT(p) == x ? RepairStep<kLeft>(p, &pp) : RepairStep<kRight>(p, &pp);
            if (!up) break;
            x = p;
            --i;
            if (i == 1) break;
            p = path[i - 1];
            pp = path[i - 2];
        }
        SetColor(x, BLACK);
    }

    // One step of the repair, for a black x one black short on side kSide of p, whose parent is *pp:
    // true when the shortage moved up to p, false when the tree is whole again. *pp follows p when a
    // rotation moves it down.
    template <Side kSide>
    bool RepairStep(NodeIndex p, NodeIndex* pp) const {
        NodeIndex w = Child<!kSide>(p);
        ZK_ASSERT(p != ZERO);
        if (GET_COLOR(w) == RED) {
            // A red sibling: rotate it above p, so that x gets a black sibling under a red p.
            SetColor(w, BLACK);
            SetColor(p, RED);
            RemoveRotate<!kSide>(*pp, p);
            *pp = w;
            w = Child<!kSide>(p);
        }
        if (GET_COLOR(GET_LEFT(w)) == BLACK && GET_COLOR(GET_RIGHT(w)) == BLACK) {
            // Take a black from the sibling's side too; the shortage moves up to p, unless p is red
            // and can take it.
            if (w != ZERO) SetColor(w, RED);
            if (GET_COLOR(p) == RED) {
                SetColor(p, BLACK);
                return false;
            }
            return true;
        }
        // The sibling's far child must be red: when only its near one is, rotate that one up first.
        if (GET_COLOR(Child<!kSide>(w)) == BLACK) {
            ZK_ASSERT(w != ZERO);
            SetColor(Child<kSide>(w), BLACK);
            SetColor(w, RED);
            RemoveRotate<kSide>(p, w);
            w = Child<!kSide>(p);
        }
        ZK_ASSERT((w != ZERO) || (GET_COLOR(p) == BLACK));
        SetColor(w, GET_COLOR(p));
        SetColor(p, BLACK);
        SetColor(Child<!kSide>(w), BLACK);
        RemoveRotate<!kSide>(*pp, p);
        return false;
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
};

}  // namespace
}  // namespace zk

namespace {
using Calls = zk::TreeCalls<zk::RbTree>;
}  // namespace

ZK_TREE_EXPORTS(Calls, ZKRBDict, RBDict, TreeCheck)

extern "C" {

ZK_EXPORT RBDictKey ZKRBDictFindNearest(RBDict* dict, RBDictKey v, int roundingMode, RBDictValue** valPtr) {
    return Calls::FindNearest(dict, v, roundingMode, valPtr);
}

}  // extern "C"
