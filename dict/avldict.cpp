// AVLDict and AVLLDict: the exported functions over the AVL tree of avl_tree.h, in its two key widths.
#include "dict/avldict.h"

#include "dict/avl_tree.h"

namespace zk {
template class AvlTree<AVLDict, AvlDictTraits>;
template class AvlTree<AVLLDict, AvlLDictTraits>;
}  // namespace zk

namespace {
using AvlCalls = zk::TreeCalls<zk::AvlDictTree>;
using AvlLCalls = zk::TreeCalls<zk::AvlLDictTree>;
}  // namespace

ZK_TREE_EXPORTS(AvlCalls, ZKAVLDict, AVLDict, AVLCheck)
ZK_TREE_EXPORTS(AvlLCalls, ZKAVLLDict, AVLLDict, AVLLCheck)

extern "C" {

ZK_EXPORT AVLDictKey ZKAVLDictFindNearest(AVLDict* dict, AVLDictKey v, int roundingMode, AVLDictValue** valPtr) {
    return AvlCalls::FindNearest(dict, v, roundingMode, valPtr);
}

// Missing neighbours are the head node, whose key 0 stands for "no key"; so does a stored key 0.
ZK_EXPORT AVLLDictKey ZKAVLLDictFindNearest(AVLLDict* dict, AVLLDictKey v, int roundingMode) {
    zk::NodeIndex lo, hi;
    if (zk::SentinelFindInterval(dict->d_nodes, v, zk::kHeadNode, &lo, &hi) != zk::kZeroNode) return v;
    const AVLLDictKey below = dict->d_nodes[lo].n_key;
    const AVLLDictKey above = dict->d_nodes[hi].n_key;
    return zk::NearestIsAbove(roundingMode, below != 0, below, above != 0, above, v) ? above : below;
}

ZK_EXPORT AVLDictValue ZKAVLDictValueInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n,
                                            AVLDictValue** vPtr) {
    return AvlCalls::ValueInsert(dict, v, d, n, vPtr);
}

ZK_EXPORT AVLLDictValue ZKAVLLDictValueInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n,
                                              AVLLDictValue** vPtr) {
    return AvlLCalls::ValueInsert(dict, v, d, n, vPtr);
}

}  // extern "C"
