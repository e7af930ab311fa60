/**
 * @file dict/rbdict.h
 * @brief An ordered map from 32-bit unsigned keys to 32-bit unsigned values, kept as a red-black
 * tree.
 *
 * The array of the AVL tree of dict/avldict.h under a red-black discipline: 16-byte nodes linked by
 * 31-bit indexes, node 0 as empty link and search sentinel, node 1 as head node whose right link
 * names the root, keys in nodes 2 and up, a free list reused last released first, growth by doubling
 * in place, no shrinking. A node's colour is bit 31 of its left link word; the right link word is a
 * plain index. Insertion rebalances on the way down; removal repairs on the way back up.
 *
 * Each call here behaves as its AVLDict namesake (ZKRBDictFind as ZKAVLDictFind), which documents
 * it, except where it says otherwise below: the removal and the check. What dict/avldict.h says about
 * ownership, value pointers, failure and threads holds here as well. There is no ZKRBDictValueInsert.
 *
 * @par Nodes
 * Removing a key whose node has two children keeps that node, which takes over the key and
 * value of the in-order successor; the successor's node is released. Node indexes seen through the
 * record change accordingly, and an insertion of a new key may move the array.
 */
#ifndef ZKDICT_DICT_RBDICT_H
#define ZKDICT_DICT_RBDICT_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt RBDictIndex; /**< a node's position in the array */
/** @brief A key (32 bits). */
typedef UInt RBDictKey;
/** @brief A value (32 bits). */
typedef UInt RBDictValue;

/** @brief A node of the array (a public layout, which iterators read). */
typedef struct {
    RBDictIndex n_right; /**< right child (0 for none); next free node while the node is free */
    RBDictIndex n_left;  /**< left child in bits 0-30; bit 31 set when the node is red */
    RBDictKey n_key;     /**< the key; on node 0, the key last searched for */
    RBDictValue n_value; /**< the value stored under n_key */
} RBDictNode;

/** @brief An ordered map in a red-black tree; clients read it only through the functions and the public node layout. */
typedef struct {
    RBDictNode* d_nodes;    /**< d_capacity nodes in one page mapping, owned by the dictionary */
    RBDictIndex d_capacity; /**< nodes in the array: at least 1024, at most 2^31, doubled as needed */
    RBDictIndex d_size;     /**< keys stored */
    RBDictIndex d_free;     /**< the lowest index never handed out; 2 when empty */
    RBDictIndex d_list;     /**< first node of the free list, 0 when it is empty */
} RBDict;

/** @copydoc AVLDictEnumerateFun */
typedef Boolean (*RBDictEnumerateFun)(RBDict* dict, RBDictKey key, RBDictValue value, void* arg);

/* Documented at their ZKAVLDict namesakes in dict/avldict.h, but for the removal and the check. */

/**
 * @brief As ZKAVLDictNew: a new empty dictionary with room for max(capacity, 1024) nodes.
 * @param capacity nodes to make room for before the array first grows
 * @return the dictionary; release it with ZKRBDictDelete.
 */
ZK_EXPORT RBDict* ZKRBDictNew(UInt capacity);
/** @copydoc ZKAVLDictClear */
ZK_EXPORT void ZKRBDictClear(RBDict* dict);
/** @copydoc ZKAVLDictDelete */
ZK_EXPORT void ZKRBDictDelete(RBDict* dict);
/** @copydoc ZKAVLDictSize */
ZK_EXPORT UInt ZKRBDictSize(const RBDict* dict);
/** @copydoc ZKAVLDictFind */
ZK_EXPORT RBDictValue ZKRBDictFind(RBDict* dict, RBDictKey v, RBDictValue n);
/** @copydoc ZKAVLDictValueGet */
ZK_EXPORT RBDictValue* ZKRBDictValueGet(RBDict* dict, RBDictKey v);
/** @copydoc ZKAVLDictFindNearest */
ZK_EXPORT RBDictKey ZKRBDictFindNearest(RBDict* dict, RBDictKey v, int roundingMode, RBDictValue** valPtr);
/** @copydoc ZKAVLDictInsert */
ZK_EXPORT RBDictValue ZKRBDictInsert(RBDict* dict, RBDictKey v, RBDictValue d, RBDictValue n);
/**
 * @brief Removes v (see Nodes above for which node is released).
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return v's value, or n when v is absent.
 */
ZK_EXPORT RBDictValue ZKRBDictRemove(RBDict* dict, RBDictKey v, RBDictValue n);
/** @copydoc ZKAVLDictEnumerate */
ZK_EXPORT Boolean ZKRBDictEnumerate(RBDict* dict, Boolean reverse, RBDictEnumerateFun fun, void* arg);
/* ---- readers that write nothing ------------------------------------------------------------------ */

/** @copydoc ZKAVLDictLookup */
ZK_EXPORT Boolean ZKRBDictLookup(const RBDict* dict, RBDictKey key, RBDictValue* value);
/** @copydoc ZKAVLDictFirst */
ZK_EXPORT Boolean ZKRBDictFirst(const RBDict* dict, RBDictKey* key, RBDictValue* value);
/** @copydoc ZKAVLDictLast */
ZK_EXPORT Boolean ZKRBDictLast(const RBDict* dict, RBDictKey* key, RBDictValue* value);
/** @copydoc ZKAVLDictNext */
ZK_EXPORT Boolean ZKRBDictNext(const RBDict* dict, RBDictKey after, RBDictKey* key, RBDictValue* value);
/** @copydoc ZKAVLDictPrevious */
ZK_EXPORT Boolean ZKRBDictPrevious(const RBDict* dict, RBDictKey before, RBDictKey* key, RBDictValue* value);
/**
 * @brief Checks that no red node has a red child and that every path has the same number of black
 * nodes; a violation stops the process with a failed assertion.
 * @param dict the dictionary
 * @note The root's colour and key order are not checked.
 */
ZK_EXPORT void TreeCheck(RBDict* dict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_RBDICT_H */
