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
 * @par Failure
 * Mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops). A dictionary holds at most 2^31 - 2 keys; growing beyond is the same fatal report. Absent
 * keys are no failure: Find, Insert and Remove return the caller's marker n.
 *
 * @par Threads
 * No locking inside. Every call, lookups included, writes the sentinel node, so even
 * lookups need exclusive use: the caller serialises all calls on one dictionary. Different
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
