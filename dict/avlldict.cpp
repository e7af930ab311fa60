// AVLLDict: the exported functions over the AVL tree of avl_tree.h, 64-bit keys and values.
#include "dict/avlldict.h"

#include "dict/avl_tree.h"

namespace zk {
template class AvlTree<AVLLDict, AvlLDictTraits>;
}  // namespace zk

namespace {

using Tree = zk::AvlLDictTree;
using Array = Tree::Array;
using Readers = zk::TreeReaders<AVLLDict>;
using zk::NodeIndex;

}  // namespace

extern "C" {

ZK_EXPORT AVLLDict* ZKAVLLDictNew(UInt capacity) { return Array::New(capacity); }

ZK_EXPORT void ZKAVLLDictClear(AVLLDict* dict) { Array::Clear(dict); }

ZK_EXPORT void ZKAVLLDictDelete(AVLLDict* dict) { Array::Delete(dict); }

ZK_EXPORT UInt ZKAVLLDictSize(const AVLLDict* dict) { return dict->d_size; }

ZK_EXPORT AVLLDictValue ZKAVLLDictFind(AVLLDict* dict, AVLLDictKey v, AVLLDictValue n) {
    NodeIndex x = Tree(dict).Find(v);
    return x != zk::kZeroNode ? dict->d_nodes[x].n_value : n;
}

ZK_EXPORT AVLLDictValue* ZKAVLLDictValueGet(AVLLDict* dict, AVLLDictKey v) {
    NodeIndex x = Tree(dict).Find(v);
    return x != zk::kZeroNode ? &dict->d_nodes[x].n_value : nullptr;
}

// Missing neighbours are the head node, whose key 0 stands for "no key"; so does a stored key 0.
ZK_EXPORT AVLLDictKey ZKAVLLDictFindNearest(AVLLDict* dict, AVLLDictKey v, int roundingMode) {
    NodeIndex lo, hi;
    if (zk::SentinelFindInterval(dict->d_nodes, v, zk::kHeadNode, &lo, &hi) != zk::kZeroNode) return v;
    const AVLLDictKey below = dict->d_nodes[lo].n_key;
    const AVLLDictKey above = dict->d_nodes[hi].n_key;
    return zk::NearestIsAbove(roundingMode, below != 0, below, above != 0, above, v) ? above : below;
}

ZK_EXPORT AVLLDictValue ZKAVLLDictInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n) {
    AVLLDictValue previous = n;
    Tree(dict).Insert(v, d, &previous);
    return previous;
}

ZK_EXPORT AVLLDictValue ZKAVLLDictValueInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n,
                                              AVLLDictValue** vPtr) {
    AVLLDictValue previous = n;
    NodeIndex x = Tree(dict).Insert(v, d, &previous);
    if (vPtr != nullptr) *vPtr = &dict->d_nodes[x].n_value;
    return previous;
}

ZK_EXPORT AVLLDictValue ZKAVLLDictRemove(AVLLDict* dict, AVLLDictKey v, AVLLDictValue n) {
    AVLLDictValue removed = n;
    Tree(dict).Remove(v, &removed);
    return removed;
}

ZK_EXPORT Boolean ZKAVLLDictEnumerate(AVLLDict* dict, Boolean reverse, AVLLDictEnumerateFun fun, void* arg) {
    return Tree(dict).Enumerate(reverse != FALSE, [&](AVLLDictKey key, AVLLDictValue value) {
        return fun(dict, key, value, arg) != FALSE;
    }) ? TRUE : FALSE;
}

ZK_EXPORT void AVLLCheck(AVLLDict* dict) { Tree(dict).Check(); }

ZK_EXPORT Boolean ZKAVLLDictLookup(const AVLLDict* dict, AVLLDictKey key, AVLLDictValue* value) {
    return Readers::Lookup(dict, key, value);
}

ZK_EXPORT Boolean ZKAVLLDictFirst(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value) {
    return Readers::Edge(dict, false, key, value);
}

ZK_EXPORT Boolean ZKAVLLDictLast(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value) {
    return Readers::Edge(dict, true, key, value);
}

ZK_EXPORT Boolean ZKAVLLDictNext(const AVLLDict* dict, AVLLDictKey after, AVLLDictKey* key, AVLLDictValue* value) {
    return Readers::Neighbour(dict, after, true, key, value);
}

ZK_EXPORT Boolean ZKAVLLDictPrevious(const AVLLDict* dict, AVLLDictKey before, AVLLDictKey* key,
                                     AVLLDictValue* value) {
    return Readers::Neighbour(dict, before, false, key, value);
}

}  // extern "C"
