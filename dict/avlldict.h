/**
 * @file dict/avlldict.h
 * @brief An ordered map from 64-bit unsigned keys to 64-bit unsigned values, kept as an AVL tree.
 *
 * The tree of dict/avldict.h with 64-bit keys and values: 24-byte nodes in one page-mapped array,
 * linked by 31-bit indexes, the balance in bit 31 of the two link words, node 0 as empty link and
 * search sentinel, node 1 as head node whose right link names the root, keys in nodes 2 and up, a
 * free list reused last released first, growth by doubling in place, no shrinking.
 *
 * One difference: ZKAVLLDictFindNearest returns no value pointer, and reports a missing neighbour as
 * key 0. A stored key 0 therefore reads as "no key" there.
 *
 * @par Ownership
 * ZKAVLLDictNew returns a dictionary that the caller owns and hands to ZKAVLLDictDelete.
 *
 * @par Pointers
 * A value pointer from ZKAVLLDictValueGet or ZKAVLLDictValueInsert points into the node
 * array. It stays valid until the next insertion of a new key (which may move the array) or the next
 * removal (which may move another key and its value into a different node and recycle the node they
 * came from); replacing the value of a present key keeps it valid. Do not free it.
 *
 * @par Failure
 * Mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops). A dictionary holds at most 2^31 - 2 keys; growing beyond is the same fatal report. Absent
 * keys are no failure: Find, Insert and Remove return the caller's marker n, ValueGet returns NULL.
 *
 * @par Threads
 * No locking inside. ZKAVLLDictLookup, ZKAVLLDictFirst, ZKAVLLDictLast, ZKAVLLDictNext and
 * ZKAVLLDictPrevious write nothing, not even the sentinel: any number of threads may call them at
 * once on a dictionary that no thread is changing. Every other call, Find, ValueGet and FindNearest
 * included, writes the sentinel node, so the caller serialises it with all calls on the dictionary
 * (the memory cache holds its index lock around every change and reads the index without writing).
 * Different dictionaries are independent.
 */
#ifndef ZKDICT_DICT_AVLLDICT_H
#define ZKDICT_DICT_AVLLDICT_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt AVLLDictIndex; /**< a node's position in the array */
/** @brief A key (64 bits). */
typedef ULong AVLLDictKey;
/** @brief A value (64 bits). */
typedef ULong AVLLDictValue;

/** @brief A node of the array (a public layout, which iterators read). */
typedef struct {
    AVLLDictIndex n_right; /**< right child in bits 0-30, bit 31 set when right-heavy; next free node while free */
    AVLLDictIndex n_left;  /**< left child in bits 0-30, bit 31 set when left-heavy; never both flags */
    AVLLDictKey n_key;     /**< the key; on node 0, the key last searched for */
    AVLLDictValue n_value; /**< the value stored under n_key */
} AVLLDictNode;

/** @brief An ordered map of 64-bit keys in an AVL tree; clients read it only through the functions and the public node layout. */
typedef struct {
    AVLLDictNode* d_nodes;    /**< d_capacity nodes in one page mapping, owned by the dictionary */
    AVLLDictIndex d_capacity; /**< nodes in the array: at least 1024, at most 2^31, doubled as needed */
    AVLLDictIndex d_size;     /**< keys stored */
    AVLLDictIndex d_free;     /**< the lowest index never handed out; 2 when empty */
    AVLLDictIndex d_list;     /**< first node of the free list, 0 when it is empty */
} AVLLDict;

/**
 * @brief Called for each entry by ZKAVLLDictEnumerate. It must not insert or remove keys.
 * @param dict  the dictionary walked
 * @param key   the entry's key
 * @param value the entry's value
 * @param arg   the caller's context
 * @return TRUE to go on, FALSE to stop.
 */
typedef Boolean (*AVLLDictEnumerateFun)(AVLLDict* dict, AVLLDictKey key, AVLLDictValue value, void* arg);

/**
 * @brief A new empty dictionary with room for max(capacity, 1024) nodes (2 of them reserved).
 * @param capacity nodes to make room for before the array first grows
 * @return the dictionary; release it with ZKAVLLDictDelete.
 */
ZK_EXPORT AVLLDict* ZKAVLLDictNew(UInt capacity);
/**
 * @brief Removes every key; the array and its capacity stay.
 * @param dict the dictionary
 */
ZK_EXPORT void ZKAVLLDictClear(AVLLDict* dict);
/**
 * @brief Releases the array and the record.
 * @param dict the dictionary; must not be NULL
 */
ZK_EXPORT void ZKAVLLDictDelete(AVLLDict* dict);
/**
 * @brief The number of keys.
 * @param dict the dictionary
 * @return the count.
 */
ZK_EXPORT UInt ZKAVLLDictSize(const AVLLDict* dict);
/**
 * @brief The value stored under v.
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return the value, or n when v is absent.
 */
ZK_EXPORT AVLLDictValue ZKAVLLDictFind(AVLLDict* dict, AVLLDictKey v, AVLLDictValue n);
/**
 * @brief The address of the value stored under v (see Pointers above for how long it lasts).
 * @param dict the dictionary
 * @param v    the key
 * @return the address, or NULL when v is absent.
 */
ZK_EXPORT AVLLDictValue* ZKAVLLDictValueGet(AVLLDict* dict, AVLLDictKey v);
/**
 * @brief The stored key nearest to v.
 * @param dict         the dictionary
 * @param v            the key sought
 * @param roundingMode below 0: the nearest key below v; above 0: above v; 0: the closer of the two
 *                     (a tie goes to the larger key, and a missing neighbour leaves the other)
 * @return v when it is present, otherwise the nearest stored key as asked; 0 when there is no such
 *         key (a stored key 0 counts as none).
 */
ZK_EXPORT AVLLDictKey ZKAVLLDictFindNearest(AVLLDict* dict, AVLLDictKey v, int roundingMode);
/**
 * @brief Stores d under v.
 * @param dict the dictionary
 * @param v    the key
 * @param d    the value
 * @param n    the caller's marker, returned when v was absent
 * @return when v was present, its previous value (size unchanged); otherwise v is added and n is
 *         returned.
 */
ZK_EXPORT AVLLDictValue ZKAVLLDictInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n);
/**
 * @brief As ZKAVLLDictInsert, also giving the address of the value slot.
 * @param dict      the dictionary
 * @param v         the key
 * @param d         the value to store
 * @param n         the caller's marker, returned when v was absent
 * @param[out] vPtr when not NULL, receives the address of the value slot that now holds d
 * @return v's previous value when it was present, otherwise n.
 */
ZK_EXPORT AVLLDictValue ZKAVLLDictValueInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n,
                                              AVLLDictValue** vPtr);
/**
 * @brief Removes v.
 *
 * When v's node has children it keeps serving the tree: it takes over the key and value of v's
 * in-order predecessor (or, with no left subtree, successor), whose node is released instead.
 *
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return v's value, or n when v is absent.
 */
ZK_EXPORT AVLLDictValue ZKAVLLDictRemove(AVLLDict* dict, AVLLDictKey v, AVLLDictValue n);
/**
 * @brief Calls fun(dict, key, value, arg) for every entry, in increasing key order.
 * @param dict    the dictionary
 * @param reverse TRUE: decreasing key order
 * @param fun     the callback; it must not insert or remove keys
 * @param arg     the caller's context, passed to fun
 * @retval TRUE  when every entry was visited
 * @retval FALSE as soon as fun returns FALSE
 */
ZK_EXPORT Boolean ZKAVLLDictEnumerate(AVLLDict* dict, Boolean reverse, AVLLDictEnumerateFun fun, void* arg);
/* ---- readers that write nothing ------------------------------------------------------------------ */

/**
 * @brief Looks key up without writing anything, not even the sentinel (see Threads above).
 * @param dict       the dictionary
 * @param key        the key
 * @param[out] value receives the value stored under key, when not NULL and key is present
 * @retval TRUE  when key is present
 * @retval FALSE when it is absent (*value untouched)
 */
ZK_EXPORT Boolean ZKAVLLDictLookup(const AVLLDict* dict, AVLLDictKey key, AVLLDictValue* value);
/**
 * @brief The entry of the smallest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLLDictFirst(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value);
/**
 * @brief The entry of the largest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLLDictLast(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value);
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
ZK_EXPORT Boolean ZKAVLLDictNext(const AVLLDict* dict, AVLLDictKey after, AVLLDictKey* key, AVLLDictValue* value);
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
ZK_EXPORT Boolean ZKAVLLDictPrevious(const AVLLDict* dict, AVLLDictKey before, AVLLDictKey* key, AVLLDictValue* value);
/**
 * @brief Checks the balance of every node against the heights of its subtrees; a violation stops
 * the process with a failed assertion.
 * @param dict the dictionary
 * @note Key order, the free list and d_size are not checked.
 */
ZK_EXPORT void AVLLCheck(AVLLDict* dict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_AVLLDICT_H */
