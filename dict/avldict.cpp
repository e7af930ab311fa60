// AVLDict: the exported functions over the AVL tree of avl_tree.h, 32-bit keys and values.
#include "dict/avldict.h"

#include "dict/avl_tree.h"

namespace zk {
template class AvlTree<AVLDict, AvlDictTraits>;
}  // namespace zk

namespace {

using Tree = zk::AvlDictTree;
using Array = Tree::Array;
using Readers = zk::TreeReaders<AVLDict>;
using zk::NodeIndex;

}  // namespace

extern "C" {

ZK_EXPORT AVLDict* ZKAVLDictNew(UInt capacity) { return Array::New(capacity); }

ZK_EXPORT void ZKAVLDictClear(AVLDict* dict) { Array::Clear(dict); }

ZK_EXPORT void ZKAVLDictDelete(AVLDict* dict) { Array::Delete(dict); }

ZK_EXPORT UInt ZKAVLDictSize(const AVLDict* dict) { return dict->d_size; }

ZK_EXPORT AVLDictValue ZKAVLDictFind(AVLDict* dict, AVLDictKey v, AVLDictValue n) {
    NodeIndex x = Tree(dict).Find(v);
    return x != zk::kZeroNode ? dict->d_nodes[x].n_value : n;
}

ZK_EXPORT AVLDictValue* ZKAVLDictValueGet(AVLDict* dict, AVLDictKey v) {
    NodeIndex x = Tree(dict).Find(v);
    return x != zk::kZeroNode ? &dict->d_nodes[x].n_value : nullptr;
}

ZK_EXPORT AVLDictKey ZKAVLDictFindNearest(AVLDict* dict, AVLDictKey v, int roundingMode, AVLDictValue** valPtr) {
    return zk::FindNearest(dict, v, roundingMode, valPtr);
}

ZK_EXPORT AVLDictValue ZKAVLDictInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n) {
    AVLDictValue previous = n;
    Tree(dict).Insert(v, d, &previous);
    return previous;
}

ZK_EXPORT AVLDictValue ZKAVLDictValueInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n,
                                            AVLDictValue** vPtr) {
    AVLDictValue previous = n;
    NodeIndex x = Tree(dict).Insert(v, d, &previous);
    if (vPtr != nullptr) *vPtr = &dict->d_nodes[x].n_value;
    return previous;
}

ZK_EXPORT AVLDictValue ZKAVLDictRemove(AVLDict* dict, AVLDictKey v, AVLDictValue n) {
    AVLDictValue removed = n;
    Tree(dict).Remove(v, &removed);
    return removed;
}

ZK_EXPORT Boolean ZKAVLDictEnumerate(AVLDict* dict, Boolean reverse, AVLDictEnumerateFun fun, void* arg) {
    return Tree(dict).Enumerate(reverse != FALSE, [&](AVLDictKey key, AVLDictValue value) {
        return fun(dict, key, value, arg) != FALSE;
    }) ? TRUE : FALSE;
}

ZK_EXPORT void AVLCheck(AVLDict* dict) { Tree(dict).Check(); }

ZK_EXPORT Boolean ZKAVLDictLookup(const AVLDict* dict, AVLDictKey key, AVLDictValue* value) {
    return Readers::Lookup(dict, key, value);
}

ZK_EXPORT Boolean ZKAVLDictFirst(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value) {
    return Readers::Edge(dict, false, key, value);
}

ZK_EXPORT Boolean ZKAVLDictLast(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value) {
    return Readers::Edge(dict, true, key, value);
}

ZK_EXPORT Boolean ZKAVLDictNext(const AVLDict* dict, AVLDictKey after, AVLDictKey* key, AVLDictValue* value) {
    return Readers::Neighbour(dict, after, true, key, value);
}

ZK_EXPORT Boolean ZKAVLDictPrevious(const AVLDict* dict, AVLDictKey before, AVLDictKey* key, AVLDictValue* value) {
    return Readers::Neighbour(dict, before, false, key, value);
}

}  // extern "C"
