// avl_tree.h: the AVL tree behind AVLDict (32-bit keys and values) and AVLLDict (64-bit).
//
// One implementation for both widths, over the search tree of node_array.h. A node's balance (its
// skew) is kept in bit 31 of its link words: the left word's flag marks a left-heavy node, the right
// word's a right-heavy one, neither a balanced one. Insertion and removal descend iteratively,
// recording the path, and retrace it upwards until a step reports that the height of the subtree it
// handled did not change. Each rebalancing step is written once, for the side that changed height;
// the other side's step is its mirror image.
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
class AvlTree : public ArrayTree<Dict, Traits, true, kMaxAvlHeight> {
    using Base = ArrayTree<Dict, Traits, true, kMaxAvlHeight>;

public:
    using typename Base::Array;
    using typename Base::Key;
    using typename Base::Node;
    using typename Base::Value;
    using Base::Base;
    // The insertion path ends with the empty link where the new key goes; the removal paths need no
    // more entries.
    using Base::kPathLength;

    // Stores d under v and returns the node that holds it. When v was present, its old value goes to
    // *previous and nothing else changes.
    NodeIndex Insert(Key v, Value d, Value* previous) {
        NodeIndex path[kPathLength];
        path[0] = kHeadNode;
        path[1] = Child<kRight>(kHeadNode);
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

        NodeIndex x = Attach(path[m - 2], v, d);
        path[m - 1] = x;
        for (; m >= 3; --m) {
            NodeIndex c = path[m - 1], q = path[m - 2], g = path[m - 3];
            SkewStatus status = NODE(c).n_key < NODE(q).n_key ? Grown<kLeft>(g, q) : Grown<kRight>(g, q);
            if (status == OK) break;
        }
        return x;
    }

    // Removes v; false when it is absent. Its value goes to *removed.
    bool Remove(Key v, Value* removed) {
        Removal r;
        if (!StartRemoval(v, removed, &r)) return false;
        auto& [path, m, p, x] = r;

        // A node with children stays where it is and takes over the key of its in-order predecessor
        // (or successor); the node released is the one that held that key.
        SkewStatus status = BALANCE;
        bool leaf = false;
        if (Child<kLeft>(x) != ZERO) {
            status = TakeOverNeighbour<kLeft>(p, x);
        } else if (Child<kRight>(x) != ZERO) {
            status = TakeOverNeighbour<kRight>(p, x);
        } else {
            SetChild(SideOf(NODE(x).n_key, p), p, ZERO);
            leaf = true;
        }

        // x still carries a key on the same side of every ancestor as v, so it steers the retrace; a
        // leaf is released only afterwards for that reason.
        for (; m > 2 && status == BALANCE; --m) {
            NodeIndex c = path[m - 1], q = path[m - 2], g = path[m - 3];
            status = NODE(c).n_key < NODE(q).n_key ? Shrunk<kLeft>(g, q) : Shrunk<kRight>(g, q);
        }
        if (leaf) Array::Release(dict_, x);
        return true;
    }

    // Stops the process when a node's skew disagrees with the heights of its subtrees.
    void Check() const { CheckRec(Child<kRight>(kHeadNode), 0); }

private:
    using Base::Attach;
    using Base::StartRemoval;
    using typename Base::Removal;
    using Base::dict_;
    using Base::NODE;
    using Base::SetChild;
    using Base::SideOf;
    using Base::TakeEntry;
    using Base::ZERO;
    // The base's members over a side given at compile time, declared here so that their calls parse
    // as template calls.
    template <Side kSide>
    NodeIndex Child(NodeIndex x) const {
        return Base::template Child<kSide>(x);
    }
    template <Side kSide>
    void SetChild(NodeIndex x, NodeIndex y) const {
        Base::template SetChild<kSide>(x, y);
    }
    template <Side kSide>
    void Lift(NodeIndex p, NodeIndex x) const {
        Base::template Lift<kSide>(p, x);
    }

    enum SkewType { RIGHT = 0, NONE = 1, LEFT = 2 };
    // BALANCE: the subtree just handled changed height, so its parent needs adjusting too.
    enum SkewStatus { OK = 0, BALANCE = 1 };
    static constexpr UInt SKEW_MASK = kFlagBit;

    // The skew of a node taller on the given side.
    static constexpr SkewType Heavy(Side side) { return side == kLeft ? LEFT : RIGHT; }

    // Keys that arrive in increasing order (identifiers, sequence numbers, times) go right of the
    // largest key, at the end of the tree's right spine. That walk needs no key comparisons: a chain
    // of predictable loads, against a select on every level of the general descent, whose latency is
    // what an insertion of cached keys costs. It is tried only when the last two nodes taken hold
    // increasing keys and v lies above both, which holds for every such key and for one random key
    // in six, and it is used only when v lies above the spine's last key. On success
    // path[0..*length) is the descent's path, ending with the empty link, as the general descent
    // leaves it.
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

    // How a node took a level on one side against the other.
    enum Lean { kEvened, kLeaning, kTooTall };

    // x gains a level on side kSide against the other, from a subtree there that grew or one on the
    // other side that shrank: a node leaning the other way evens out, an even one leans to kSide, and
    // one leaning to kSide already is two levels too tall there, left for a rotation to fix.
    template <Side kSide>
    Lean Gain(NodeIndex x) const {
        constexpr SkewType kNear = Heavy(kSide), kFar = Heavy(!kSide);
        switch (GET_SKEW(x)) {
        case kFar:
            SetSkew(x, NONE);
            return kEvened;
        case NONE:
            SetSkew(x, kNear);
            return kLeaning;
        case kNear:
            break;
        }
        return kTooTall;
    }

    // The subtree of q on side kSide grew by one level; g is q's parent.
    template <Side kSide>
    SkewStatus Grown(NodeIndex g, NodeIndex q) const {
        constexpr SkewType kNear = Heavy(kSide);
        // q grew with it exactly when it leans now.
        const Lean lean = Gain<kSide>(q);
        if (lean != kTooTall) return lean == kLeaning ? BALANCE : OK;
        NodeIndex c = Child<kSide>(q);
        if (GET_SKEW(c) == kNear) {
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            Lift<kSide>(g, q);
            return OK;
        }
        LiftInner<kSide>(g, q, c);
        return OK;
    }

    // The subtree of x on side kSide lost one level; p is x's parent.
    template <Side kSide>
    SkewStatus Shrunk(NodeIndex p, NodeIndex x) const {
        constexpr SkewType kNear = Heavy(kSide), kFar = Heavy(!kSide);
        // x shrank with it exactly when it is even now.
        const Lean lean = Gain<!kSide>(x);
        if (lean != kTooTall) return lean == kEvened ? BALANCE : OK;
        NodeIndex y = Child<!kSide>(x);
        switch (GET_SKEW(y)) {
        case kFar:
            SetSkew(x, NONE);
            SetSkew(y, NONE);
            Lift<!kSide>(p, x);
            return BALANCE;
        case NONE:
            SetSkew(y, kNear);
            Lift<!kSide>(p, x);
            return OK;
        case kNear:
            break;
        }
        LiftInner<!kSide>(p, x, y);
        return BALANCE;
    }

    // The double rotation of q, two levels taller on side kSide than on the other, whose child c on
    // that side is taller on the inner side: c's inner child w rises above both, q and c taking the
    // skews w's subtrees leave them. It serves a grown subtree and a shrunk one alike. g is q's parent.
    template <Side kSide>
    void LiftInner(NodeIndex g, NodeIndex q, NodeIndex c) const {
        constexpr SkewType kNear = Heavy(kSide), kFar = Heavy(!kSide);
        NodeIndex w = Child<!kSide>(c);
        switch (GET_SKEW(w)) {
        case kNear:
            SetSkew(q, kFar);
            SetSkew(c, NONE);
            break;
        case NONE:
            SetSkew(q, NONE);
            SetSkew(c, NONE);
            break;
        case kFar:
            SetSkew(q, NONE);
            SetSkew(c, kNear);
            break;
        }
        SetSkew(w, NONE);
        Lift<!kSide>(q, c);
        Lift<kSide>(g, q);
    }

    // The removal of the key in x, whose child on side kSide is not empty, p being x's parent: x takes
    // over the key and value of its nearest neighbour h in that subtree (the predecessor on the left),
    // h's node is released, and the heights are retraced from h's place up to x and then into p.
    // Returns the status of the last step.
    template <Side kSide>
    SkewStatus TakeOverNeighbour(NodeIndex p, NodeIndex x) const {
        NodeIndex walk[kPathLength];
        int k = 0;
        NodeIndex h = Child<kSide>(x);
        walk[k++] = h;
        for (NodeIndex r = Child<!kSide>(h); r != ZERO; r = Child<!kSide>(h)) {
            ZK_ASSERT(k < kPathLength);
            walk[k++] = h = r;
        }
        TakeEntry(x, h);
        SkewStatus status = BALANCE;
        if (k == 1) {
            SetChild<kSide>(x, Child<kSide>(h));
            Array::Release(dict_, h);
        } else {
            SetChild<!kSide>(walk[k - 2], Child<kSide>(h));
            Array::Release(dict_, h);
            for (int j = k - 2; j >= 1 && status == BALANCE; --j) status = Shrunk<!kSide>(walk[j - 1], walk[j]);
            if (status == BALANCE) status = Shrunk<!kSide>(x, Child<kSide>(x));
        }
        if (status == BALANCE) status = Shrunk<kSide>(p, x);
        return status;
    }

    // The height of the subtree under x. The depth bound turns a corrupt array (a cycle, an index
    // past the end) into a failed assertion instead of an endless recursion or a stray read.
    int CheckRec(NodeIndex x, int depth) const {
        if (x == ZERO) return 0;
        ZK_ASSERT(depth < kMaxAvlHeight && x < dict_->d_capacity);
        int a = CheckRec(Child<kLeft>(x), depth + 1);
        int b = CheckRec(Child<kRight>(x), depth + 1);
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
};

// Failure of the array's first mapping or of its growth, the same report in both widths; it does not
// return. Names gives the family's path and the constructor's name.
template <class Names>
struct AvlTraits : Names {
    [[noreturn]] static void NoMemory(int line, const char* function, size_t bytes, bool /*growing*/) {
        ZKSetMessageContext2_(Names::kPath, line, "zkdict", function, 4, 0);
        ZKMessage_(":memory reallocation failed: size=%lu", static_cast<unsigned long>(bytes));
        std::abort();  // not reached: a severity-4 report stops the process
    }
};

struct AvlDictNames {
    static constexpr const char* kPath = "dict/avldict";
    static constexpr const char* kNewFunction = "ZKAVLDictNew";
};
struct AvlLDictNames {
    static constexpr const char* kPath = "dict/avlldict";
    static constexpr const char* kNewFunction = "ZKAVLLDictNew";
};
using AvlDictTraits = AvlTraits<AvlDictNames>;
using AvlLDictTraits = AvlTraits<AvlLDictNames>;

using AvlDictTree = AvlTree<AVLDict, AvlDictTraits>;
using AvlLDictTree = AvlTree<AVLLDict, AvlLDictTraits>;
static_assert(sizeof(AVLDictNode) == 16 && sizeof(AVLLDictNode) == 24);
static_assert(offsetof(AVLLDictNode, n_key) == 8 && offsetof(AVLLDictNode, n_value) == 16);

// Instantiated once each, in avldict.cpp.
extern template class AvlTree<AVLDict, AvlDictTraits>;
extern template class AvlTree<AVLLDict, AvlLDictTraits>;

}  // namespace zk

#endif  // ZKDICT_DICT_AVL_TREE_H
