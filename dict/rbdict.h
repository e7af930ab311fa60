/**
 * @file dict/rbdict.h
 * @brief An ordered map from 32-bit unsigned keys to 32-bit unsigned values, kept as a red-black
 * tree.
 *
 * Nodes are 16-byte records in one page-mapped array and refer to one another by 31-bit indexes; a
 * node's colour is bit 31 of its left link word. Node 0 is the empty link and the search sentinel,
 * node 1 the head node whose right link names the root; keys live in nodes 2 and up. Insertion
 * rebalances on the way down; removal repairs on the way back up. Removed nodes go on a free list and
 * are reused, the last released first, before the array grows. The array grows by doubling in place
 * and never shrinks, not even on ZKRBDictClear.
 *
 * @par Ownership
 * ZKRBDictNew returns a dictionary that the caller owns and hands to ZKRBDictDelete, which
 * releases the record and its array.
 *
 * @par Nodes
 * Removing a key whose node has two children keeps that node, which takes over the key and
 * value of the in-order successor; the successor's node is released. Node indexes seen through the
 * record change accordingly, and an insertion of a new key may move the array.
 *
 * @par Pointers
 * A value pointer from ZKRBDictValueGet or ZKRBDictFindNearest points into the node array. It stays
 * valid until the next insertion of a new key (which may move the array) or the next removal (which
 * may move another key and its value into a different node and recycle the node they came from);
 * replacing the value of a present key keeps it valid. Do not free it.
 *
 * @par Failure
 * Mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops). A dictionary holds at most 2^31 - 2 keys; growing beyond is the same fatal report. Absent
 * keys are no failure: Find, Insert and Remove return the caller's marker n, ValueGet returns NULL.
 *
 * @par Threads
 * No locking inside. ZKRBDictLookup, ZKRBDictFirst, ZKRBDictLast, ZKRBDictNext and ZKRBDictPrevious
 * write nothing, not even the sentinel: any number of threads may call them at once on a dictionary
 * that no thread is changing. Every other call, Find, ValueGet and FindNearest included, writes the
 * sentinel node, so the caller serialises it with all calls on the dictionary. Different
 * dictionaries are independent.
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

/**
 * @brief Called for each entry by ZKRBDictEnumerate. It must not insert or remove keys.
 * @param dict  the dictionary walked
 * @param key   the entry's key
 * @param value the entry's value
 * @param arg   the caller's context
 * @return TRUE to go on, FALSE to stop.
 */
typedef Boolean (*RBDictEnumerateFun)(RBDict* dict, RBDictKey key, RBDictValue value, void* arg);

/**
 * @brief A new empty dictionary with room for max(capacity, 1024) nodes (2 of them reserved).
 * @param capacity nodes to make room for before the array first grows
 * @return the dictionary; release it with ZKRBDictDelete.
 */
ZK_EXPORT RBDict* ZKRBDictNew(UInt capacity);
/**
 * @brief Removes every key; the array and its capacity stay.
 * @param dict the dictionary
 */
ZK_EXPORT void ZKRBDictClear(RBDict* dict);
/**
 * @brief Releases the array and the record.
 * @param dict the dictionary; must not be NULL
 */
ZK_EXPORT void ZKRBDictDelete(RBDict* dict);
/**
 * @brief The number of keys.
 * @param dict the dictionary
 * @return the count.
 */
ZK_EXPORT UInt ZKRBDictSize(const RBDict* dict);
/**
 * @brief The value stored under v.
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return the value, or n when v is absent.
 */
ZK_EXPORT RBDictValue ZKRBDictFind(RBDict* dict, RBDictKey v, RBDictValue n);
/**
 * @brief The address of the value stored under v (see Pointers above for how long it lasts).
 * @param dict the dictionary
 * @param v    the key
 * @return the address, or NULL when v is absent.
 */
ZK_EXPORT RBDictValue* ZKRBDictValueGet(RBDict* dict, RBDictKey v);
/**
 * @brief The stored key nearest to v.
 * @param dict         the dictionary
 * @param v            the key sought
 * @param roundingMode below 0: the nearest key below v; above 0: above v; 0: the closer of the two
 *                     (a tie goes to the larger key)
 * @param[out] valPtr  when not NULL, receives the address of the returned key's value, or NULL
 *                     when the result is not a stored key
 * @return v when it is present, otherwise the nearest stored key as asked; when there is no such
 *         key, v itself.
 */
ZK_EXPORT RBDictKey ZKRBDictFindNearest(RBDict* dict, RBDictKey v, int roundingMode, RBDictValue** valPtr);
/**
 * @brief Stores d under v.
 * @param dict the dictionary
 * @param v    the key
 * @param d    the value
 * @param n    the caller's marker, returned when v was absent
 * @return when v was present, its previous value (size unchanged); otherwise v is added and n is
 *         returned.
 */
ZK_EXPORT RBDictValue ZKRBDictInsert(RBDict* dict, RBDictKey v, RBDictValue d, RBDictValue n);
/**
 * @brief Removes v (see Nodes above for which node is released).
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return v's value, or n when v is absent.
 */
ZK_EXPORT RBDictValue ZKRBDictRemove(RBDict* dict, RBDictKey v, RBDictValue n);
/**
 * @brief Calls fun(dict, key, value, arg) for every entry, in increasing key order.
 * @param dict    the dictionary
 * @param reverse TRUE: decreasing key order
 * @param fun     the callback; it must not insert or remove keys
 * @param arg     the caller's context, passed to fun
 * @retval TRUE  when every entry was visited
 * @retval FALSE as soon as fun returns FALSE
 */
ZK_EXPORT Boolean ZKRBDictEnumerate(RBDict* dict, Boolean reverse, RBDictEnumerateFun fun, void* arg);
/* ---- readers that write nothing ------------------------------------------------------------------ */

/**
 * @brief Looks key up without writing anything, not even the sentinel (see Threads above).
 * @param dict       the dictionary
 * @param key        the key
 * @param[out] value receives the value stored under key, when not NULL and key is present
 * @retval TRUE  when key is present
 * @retval FALSE when it is absent (*value untouched)
 */
ZK_EXPORT Boolean ZKRBDictLookup(const RBDict* dict, RBDictKey key, RBDictValue* value);
/**
 * @brief The entry of the smallest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKRBDictFirst(const RBDict* dict, RBDictKey* key, RBDictValue* value);
/**
 * @brief The entry of the largest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKRBDictLast(const RBDict* dict, RBDictKey* key, RBDictValue* value);
/**
 * @brief The entry of the smallest key strictly above after, found without writing anything.
 *
 * after need not be stored, so a walk in increasing order can go on from the key it saw last even
 * when that key has been removed since.
 *
 * @param dict       the dictionary
 * @param after      the key to go beyond
 * @param[out] key   receives the key found, when not NULL
 * @param[out] value receives its value, when not NULL
 * @retval TRUE  when there is such a key
 * @retval FALSE when no stored key lies above after (the outputs untouched)
 */
ZK_EXPORT Boolean ZKRBDictNext(const RBDict* dict, RBDictKey after, RBDictKey* key, RBDictValue* value);
/**
 * @brief The entry of the largest key strictly below before, found without writing anything.
 *
 * before need not be stored.
 *
 * @param dict       the dictionary
 * @param before     the key to stay below
 * @param[out] key   receives the key found, when not NULL
 * @param[out] value receives its value, when not NULL
 * @retval TRUE  when there is such a key
 * @retval FALSE when no stored key lies below before (the outputs untouched)
 */
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
