// avl_tree.h: the AVL tree behind AVLDict (32-bit keys and values) and AVLLDict (64-bit).
//
// One implementation for both widths, over the node array of node_array.h. A node's balance (its
// skew) is kept in bit 31 of its link words: the left word's flag marks a left-heavy node, the right
// word's a right-heavy one, neither a balanced one. Insertion and removal descend iteratively,
// recording the path, and retrace it upwards until a step reports that the height of the subtree it
// handled did not change.
//
// Some member names are in capitals because the assertion texts quote them (GET_SKEW(x) == LEFT,
// !(NODE(x).n_right & SKEW_MASK)) and an assertion reports its condition as written.
#ifndef ZKDICT_DICT_AVL_TREE_H
#define ZKDICT_DICT_AVL_TREE_H

#include <algorithm>
#include <cstdlib>

#include "dict/avldict.h"
#include "dict/avlldict.h"
#include "dict/node_array.h"

namespace zk {

template <class Dict, class Traits>
class AvlTree {
public:
    using Array = NodeArray<Dict, Traits>;
    using Node = typename Array::Node;
    using Key = decltype(Node::n_key);
    using Value = decltype(Node::n_value);

    // Entries on the insertion path: the head, one per level, and the empty link where the new key
    // goes. The removal paths need no more.
    static constexpr int kPathLength = kMaxAvlHeight + 2;

    explicit AvlTree(Dict* dict) : dict_(dict) {}

    // The node holding v, or 0.
    NodeIndex Find(Key v) const { return SentinelFind(dict_->d_nodes, v); }

    // Stores d under v and returns the node that holds it. When v was present, its old value goes to
    // *previous and nothing else changes.
    NodeIndex Insert(Key v, Value d, Value* previous) {
        NodeIndex path[kPathLength];
        path[0] = kHeadNode;
        path[1] = Right(kHeadNode);
        int m = 2;
        const Node* n = dict_->d_nodes;
        if (!AppendPath(v, path, &m)) {
            for (NodeIndex x = path[1]; x != ZERO; x = path[m - 1]) {
                Key k = n[x].n_key;
                if (v == k) {
                    Node& found = NODE(x);
                    *previous = found.n_value;
                    found.n_value = d;
                    return x;
                }
                ZK_ASSERT(m < kPathLength);
                path[m++] = ChildToward(n[x], v);
            }
        }

        dict_->d_size++;
        NodeIndex x = Array::Take(dict_);
        Node& node = NODE(x);
        node.n_right = node.n_left = 0;
        node.n_key = v;
        node.n_value = d;
        NodeIndex p = path[m - 2];
        if (v < NODE(p).n_key) {
            SetLeft(p, x);
        } else {
            SetRight(p, x);
        }
        path[m - 1] = x;

        for (; m >= 3; --m) {
            NodeIndex c = path[m - 1], q = path[m - 2], g = path[m - 3];
            SkewStatus status = NODE(c).n_key < NODE(q).n_key ? LeftGrown(g, q) : RightGrown(g, q);
            if (status == OK) break;
        }
        return x;
    }

    // Removes v; false when it is absent. Its value goes to *removed.
    bool Remove(Key v, Value* removed) {
        NodeIndex path[kPathLength];
        int m = 0;
        Node* n = dict_->d_nodes;
        n[ZERO].n_key = v;
        path[m++] = kHeadNode;
        NodeIndex p = kHeadNode;
        NodeIndex x = n[kHeadNode].n_right & kLinkMask;
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

        // A node with children stays where it is and takes over the key of its in-order predecessor
        // (or successor); the node released is the one that held that key, at the end of the walk.
        SkewStatus status = BALANCE;
        bool leaf = false;
        if (Left(x) != ZERO) {
            NodeIndex walk[kPathLength];
            int k = 0;
            NodeIndex h = Left(x);
            walk[k++] = h;
            for (NodeIndex r = Right(h); r != ZERO; r = Right(h)) {
                ZK_ASSERT(k < kPathLength);
                walk[k++] = h = r;
            }
            n[x].n_key = n[h].n_key;
            n[x].n_value = n[h].n_value;
            if (k == 1) {
                SetLeft(x, Left(h));
                Array::Release(dict_, h);
            } else {
                SetRight(walk[k - 2], Left(h));
                Array::Release(dict_, h);
                for (int j = k - 2; j >= 1 && status == BALANCE; --j) status = RightShrunk(walk[j - 1], walk[j]);
                if (status == BALANCE) status = RightShrunk(x, Left(x));
            }
            if (status == BALANCE) status = LeftShrunk(p, x);
        } else if (Right(x) != ZERO) {
            NodeIndex walk[kPathLength];
            int k = 0;
            NodeIndex l = Right(x);
            walk[k++] = l;
            for (NodeIndex r = Left(l); r != ZERO; r = Left(l)) {
                ZK_ASSERT(k < kPathLength);
                walk[k++] = l = r;
            }
            n[x].n_key = n[l].n_key;
            n[x].n_value = n[l].n_value;
            if (k == 1) {
                SetRight(x, Right(l));
                Array::Release(dict_, l);
            } else {
                SetLeft(walk[k - 2], Right(l));
                Array::Release(dict_, l);
                for (int j = k - 2; j >= 1 && status == BALANCE; --j) status = LeftShrunk(walk[j - 1], walk[j]);
                if (status == BALANCE) status = LeftShrunk(x, Right(x));
            }
            if (status == BALANCE) status = RightShrunk(p, x);
        } else {
            if (n[x].n_key < n[p].n_key) {
                SetLeft(p, ZERO);
            } else {
                SetRight(p, ZERO);
            }
            leaf = true;
        }

        // x still carries a key on the same side of every ancestor as v, so it steers the retrace; a
        // leaf is released only afterwards for that reason.
        for (; m > 2 && status == BALANCE; --m) {
            NodeIndex c = path[m - 1], q = path[m - 2], g = path[m - 3];
            status = NODE(c).n_key < NODE(q).n_key ? LeftShrunk(g, q) : RightShrunk(g, q);
        }
        if (leaf) Array::Release(dict_, x);
        return true;
    }

    // Calls visit(key, value) in key order (decreasing with reverse) until it returns false; false
    // then, else true.
    template <class Visit>
    bool Enumerate(bool reverse, Visit&& visit) const {
        NodeIndex root = Right(kHeadNode);
        if (root == ZERO) return true;
        return reverse ? WalkInOrder<false>(dict_, root, visit) : WalkInOrder<true>(dict_, root, visit);
    }

    // Stops the process when a node's skew disagrees with the heights of its subtrees.
    void Check() const { CheckRec(Right(kHeadNode), 0); }

private:
    enum SkewType { RIGHT = 0, NONE = 1, LEFT = 2 };
    // BALANCE: the subtree just handled changed height, so its parent needs adjusting too.
    enum SkewStatus { OK = 0, BALANCE = 1 };
    static constexpr UInt SKEW_MASK = kFlagBit;
    static constexpr NodeIndex ZERO = kZeroNode;

    // Keys that arrive in increasing order (identifiers, sequence numbers, times) go right of the
    // largest key, at the end of the tree's right spine. That walk needs no key comparisons: a chain
    // of predictable loads, against a select on every level of the general descent, whose latency is
    // what an insertion of cached keys costs. It is tried only when the last two nodes taken hold
    // increasing keys and v lies above both, which holds for every such key and for one random key
    // in six, and it is used only when v lies above the spine's last key. On success path[0..*length) is the descent's path,
    // ending with the empty link, as the general descent leaves it.
    bool AppendPath(Key v, NodeIndex* path, int* length) const {
        const Node* n = dict_->d_nodes;
        int m = *length;
        if (path[m - 1] == ZERO) return false;
        if (!LooksAscending(dict_, v)) return false;
        NodeIndex last = ZERO;
        for (NodeIndex x = path[m - 1]; x != ZERO; x = path[m - 1]) {
            ZK_ASSERT(m < kPathLength);
            last = x;
            path[m++] = n[x].n_right & kLinkMask;
        }
        if (!(n[last].n_key < v)) return false;
        *length = m;
        return true;
    }

    Node& NODE(NodeIndex x) const { return dict_->d_nodes[x]; }
    NodeIndex Left(NodeIndex x) const { return NODE(x).n_left & kLinkMask; }
    NodeIndex Right(NodeIndex x) const { return NODE(x).n_right & kLinkMask; }
    void SetLeft(NodeIndex x, NodeIndex y) const {
        UInt& word = NODE(x).n_left;
        word = (word & SKEW_MASK) | y;
    }
    void SetRight(NodeIndex x, NodeIndex y) const {
        UInt& word = NODE(x).n_right;
        word = (word & SKEW_MASK) | y;
    }

    SkewType GET_SKEW(NodeIndex x) const {
        if (NODE(x).n_left & SKEW_MASK) {
            ZK_ASSERT(!(NODE(x).n_right & SKEW_MASK));
            return LEFT;
        }
        return (NODE(x).n_right & SKEW_MASK) ? RIGHT : NONE;
    }
    void SetSkew(NodeIndex x, SkewType s) const {
        Node& node = NODE(x);
        node.n_left = (node.n_left & kLinkMask) | (s == LEFT ? SKEW_MASK : 0);
        node.n_right = (node.n_right & kLinkMask) | (s == RIGHT ? SKEW_MASK : 0);
    }

    // Rotations about x, whose parent is p. The link writes keep the flag bits, so skews set before a
    // rotation survive it. The head node has no left child, so its right link is the one rewritten.
    void RotLeft(NodeIndex p, NodeIndex x) const {
        NodeIndex y = Right(x);
        if (Left(p) == x) {
            SetLeft(p, y);
        } else {
            SetRight(p, y);
        }
        SetRight(x, Left(y));
        SetLeft(y, x);
    }
    void RotRight(NodeIndex p, NodeIndex x) const {
        NodeIndex y = Left(x);
        if (Left(p) == x) {
            SetLeft(p, y);
        } else {
            SetRight(p, y);
        }
        SetLeft(x, Right(y));
        SetRight(y, x);
    }

    // The left subtree of q grew by one level; g is q's parent.
    SkewStatus LeftGrown(NodeIndex g, NodeIndex q) const {
        switch (GET_SKEW(q)) {
        case RIGHT:
            SetSkew(q, NONE);
            return OK;
        case NONE:
            SetSkew(q, LEFT);
            return BALANCE;
        case LEFT:
            break;
        }
        NodeIndex c = Left(q);
        if (GET_SKEW(c) == LEFT) {
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            RotRight(g, q);
            return OK;
        }
        NodeIndex w = Right(c);
        switch (GET_SKEW(w)) {
        case LEFT:
            SetSkew(q, RIGHT);
            SetSkew(c, NONE);
            break;
        case NONE:
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            break;
        case RIGHT:
            SetSkew(q, NONE);
            SetSkew(c, LEFT);
            break;
        }
        SetSkew(w, NONE);
        RotLeft(q, c);
        RotRight(g, q);
        return OK;
    }

    SkewStatus RightGrown(NodeIndex g, NodeIndex q) const {
        switch (GET_SKEW(q)) {
        case LEFT:
            SetSkew(q, NONE);
            return OK;
        case NONE:
            SetSkew(q, RIGHT);
            return BALANCE;
        case RIGHT:
            break;
        }
        NodeIndex c = Right(q);
        if (GET_SKEW(c) == RIGHT) {
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            RotLeft(g, q);
            return OK;
        }
        NodeIndex w = Left(c);
        switch (GET_SKEW(w)) {
        case RIGHT:
            SetSkew(q, LEFT);
            SetSkew(c, NONE);
            break;
        case NONE:
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            break;
        case LEFT:
            SetSkew(q, NONE);
            SetSkew(c, RIGHT);
            break;
        }
        SetSkew(w, NONE);
        RotRight(q, c);
        RotLeft(g, q);
        return OK;
    }

    // The left subtree of x lost one level; p is x's parent.
    SkewStatus LeftShrunk(NodeIndex p, NodeIndex x) const {
        switch (GET_SKEW(x)) {
        case LEFT:
            SetSkew(x, NONE);
            return BALANCE;
        case NONE:
            SetSkew(x, RIGHT);
            return OK;
        case RIGHT:
            break;
        }
        NodeIndex y = Right(x);
        switch (GET_SKEW(y)) {
        case RIGHT:
            SetSkew(x, NONE);
            SetSkew(y, NONE);
            RotLeft(p, x);
            return BALANCE;
        case NONE:
            SetSkew(y, LEFT);
            RotLeft(p, x);
            return OK;
        case LEFT:
            break;
        }
        NodeIndex w = Left(y);
        switch (GET_SKEW(w)) {
        case LEFT:
            SetSkew(x, NONE);
            SetSkew(y, RIGHT);
            break;
        case NONE:
            SetSkew(x, NONE);
            SetSkew(y, NONE);
            break;
        case RIGHT:
            SetSkew(x, LEFT);
            SetSkew(y, NONE);
            break;
        }
        SetSkew(w, NONE);
        RotRight(x, y);
        RotLeft(p, x);
        return BALANCE;
    }

    SkewStatus RightShrunk(NodeIndex p, NodeIndex x) const {
        switch (GET_SKEW(x)) {
        case RIGHT:
            SetSkew(x, NONE);
            return BALANCE;
        case NONE:
            SetSkew(x, LEFT);
            return OK;
        case LEFT:
            break;
        }
        NodeIndex y = Left(x);
        switch (GET_SKEW(y)) {
        case LEFT:
            SetSkew(x, NONE);
            SetSkew(y, NONE);
            RotRight(p, x);
            return BALANCE;
        case NONE:
            SetSkew(y, RIGHT);
            RotRight(p, x);
            return OK;
        case RIGHT:
            break;
        }
        NodeIndex w = Right(y);
        switch (GET_SKEW(w)) {
        case RIGHT:
            SetSkew(x, NONE);
            SetSkew(y, LEFT);
            break;
        case NONE:
            SetSkew(x, NONE);
            SetSkew(y, NONE);
            break;
        case LEFT:
            SetSkew(x, RIGHT);
            SetSkew(y, NONE);
            break;
        }
        SetSkew(w, NONE);
        RotLeft(x, y);
        RotRight(p, x);
        return BALANCE;
    }

    // The height of the subtree under x. The depth bound turns a corrupt array (a cycle, an index
    // past the end) into a failed assertion instead of an endless recursion or a stray read.
    int CheckRec(NodeIndex x, int depth) const {
        if (x == ZERO) return 0;
        ZK_ASSERT(depth < kMaxAvlHeight && x < dict_->d_capacity);
        int a = CheckRec(Left(x), depth + 1);
        int b = CheckRec(Right(x), depth + 1);
        if (a - b > 1 || b - a > 1) ZK_ASSERT(FALSE);
        if (a > b) {
            ZK_ASSERT(GET_SKEW(x) == LEFT);
        } else if (b > a) {
            ZK_ASSERT(GET_SKEW(x) == RIGHT);
        } else {
            ZK_ASSERT(GET_SKEW(x) == NONE);
        }
        return std::max(a, b) + 1;
    }

    Dict* dict_;
};

// Failure of the array's first mapping or of its growth; the report does not return.
[[noreturn]] inline void AvlNoMemory(const char* path, int line, const char* function, size_t bytes) {
    ZKSetMessageContext2_(path, line, "zkdict", function, 4, 0);
    ZKMessage_(":memory reallocation failed: size=%lu", static_cast<unsigned long>(bytes));
    std::abort();  // not reached: a severity-4 report stops the process
}

struct AvlDictTraits {
    static constexpr const char* kPath = "dict/avldict";
    static constexpr const char* kNewFunction = "ZKAVLDictNew";
    [[noreturn]] static void NoMemory(int line, const char* function, size_t bytes, bool /*growing*/) {
        AvlNoMemory(kPath, line, function, bytes);
    }
};

struct AvlLDictTraits {
    static constexpr const char* kPath = "dict/avlldict";
    static constexpr const char* kNewFunction = "ZKAVLLDictNew";
    [[noreturn]] static void NoMemory(int line, const char* function, size_t bytes, bool /*growing*/) {
        AvlNoMemory(kPath, line, function, bytes);
    }
};

using AvlDictTree = AvlTree<AVLDict, AvlDictTraits>;
using AvlLDictTree = AvlTree<AVLLDict, AvlLDictTraits>;
static_assert(sizeof(AVLDictNode) == 16 && sizeof(AVLLDictNode) == 24);
static_assert(offsetof(AVLLDictNode, n_key) == 8 && offsetof(AVLLDictNode, n_value) == 16);

// Instantiated once each, in avldict.cpp and avlldict.cpp.
extern template class AvlTree<AVLDict, AvlDictTraits>;
extern template class AvlTree<AVLLDict, AvlLDictTraits>;

}  // namespace zk

#endif  // ZKDICT_DICT_AVL_TREE_H
