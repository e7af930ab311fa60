/**
 * @file dict/avldict.h
 * @brief An ordered map from 32-bit unsigned keys to 32-bit unsigned values, kept as an AVL tree.
 *
 * Nodes are 16-byte records in one page-mapped array and refer to one another by 31-bit indexes; a
 * node's balance lives in bit 31 of its two link words. Node 0 is the empty link and the search
 * sentinel, node 1 the head node whose right link names the root; keys live in nodes 2 and up.
 * Removed nodes go on a free list and are reused, the last released first, before the array grows.
 * The array grows by doubling in place and never shrinks, not even on ZKAVLDictClear. AVLLDict
 * (dict/avlldict.h) is the same tree with 64-bit keys and values.
 *
 * @par Ownership
 * ZKAVLDictNew returns a dictionary that the caller owns and hands to ZKAVLDictDelete,
 * which releases the record and its array.
 *
 * @par Pointers
 * A value pointer from ZKAVLDictValueGet, ZKAVLDictValueInsert or ZKAVLDictFindNearest
 * points into the node array. It stays valid until the next insertion of a new key (which may move
 * the array) or the next removal (which may move another key and its value into a different node and
 * recycle the node they came from); replacing the value of a present key keeps it valid. Do not free
 * it. Node indexes seen through the record change in the same way.
 *
 * @par Failure
 * Mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops), so no call here returns a half-made result. A dictionary holds at most 2^31 - 2 keys;
 * growing beyond is the same fatal report. Absent keys are no failure: Find, Insert and Remove
 * return the caller's marker n, ValueGet returns NULL.
 *
 * @par Threads
 * No locking inside. ZKAVLDictLookup, ZKAVLDictFirst, ZKAVLDictLast, ZKAVLDictNext and
 * ZKAVLDictPrevious write nothing, not even the sentinel: any number of threads may call them at
 * once on a dictionary that no thread is changing. Every other call, Find, ValueGet and FindNearest
 * included, writes the sentinel node, so the caller serialises it with all calls on the dictionary.
 * Different dictionaries are independent.
 */
#ifndef ZKDICT_DICT_AVLDICT_H
#define ZKDICT_DICT_AVLDICT_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt AVLDictIndex; /**< a node's position in the array */
/** @brief A key (32 bits). */
typedef UInt AVLDictKey;
/** @brief A value (32 bits). */
typedef UInt AVLDictValue;

/** @brief A node of the array (a public layout, which iterators read). */
typedef struct {
    AVLDictIndex n_right; /**< right child in bits 0-30, bit 31 set when right-heavy; next free node while free */
    AVLDictIndex n_left;  /**< left child in bits 0-30, bit 31 set when left-heavy; never both flags */
    AVLDictKey n_key;     /**< the key; on node 0, the key last searched for */
    AVLDictValue n_value; /**< the value stored under n_key */
} AVLDictNode;

/** @brief An ordered map of 32-bit keys in an AVL tree; clients read it only through the functions and the public node layout. */
typedef struct {
    AVLDictNode* d_nodes;    /**< d_capacity nodes in one page mapping, owned by the dictionary */
    AVLDictIndex d_capacity; /**< nodes in the array: at least 1024, at most 2^31, doubled as needed */
    AVLDictIndex d_size;     /**< keys stored */
    AVLDictIndex d_free;     /**< the lowest index never handed out; 2 when empty */
    AVLDictIndex d_list;     /**< first node of the free list, 0 when it is empty */
} AVLDict;

/**
 * @brief Called for each entry by ZKAVLDictEnumerate. It must not insert or remove keys.
 * @param dict  the dictionary walked
 * @param key   the entry's key
 * @param value the entry's value
 * @param arg   the caller's context
 * @return TRUE to go on, FALSE to stop.
 */
typedef Boolean (*AVLDictEnumerateFun)(AVLDict* dict, AVLDictKey key, AVLDictValue value, void* arg);

/**
 * @brief A new empty dictionary with room for max(capacity, 1024) nodes (2 of them reserved).
 * @param capacity nodes to make room for before the array first grows
 * @return the dictionary; release it with ZKAVLDictDelete.
 */
ZK_EXPORT AVLDict* ZKAVLDictNew(UInt capacity);
/**
 * @brief Removes every key; the array and its capacity stay.
 * @param dict the dictionary
 */
ZK_EXPORT void ZKAVLDictClear(AVLDict* dict);
/**
 * @brief Releases the array and the record.
 * @param dict the dictionary; must not be NULL
 */
ZK_EXPORT void ZKAVLDictDelete(AVLDict* dict);
/**
 * @brief The number of keys.
 * @param dict the dictionary
 * @return the count.
 */
ZK_EXPORT UInt ZKAVLDictSize(const AVLDict* dict);
/**
 * @brief The value stored under v.
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return the value, or n when v is absent.
 */
ZK_EXPORT AVLDictValue ZKAVLDictFind(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/**
 * @brief The address of the value stored under v (see Pointers above for how long it lasts).
 * @param dict the dictionary
 * @param v    the key
 * @return the address, or NULL when v is absent.
 */
ZK_EXPORT AVLDictValue* ZKAVLDictValueGet(AVLDict* dict, AVLDictKey v);
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
ZK_EXPORT AVLDictKey ZKAVLDictFindNearest(AVLDict* dict, AVLDictKey v, int roundingMode, AVLDictValue** valPtr);
/**
 * @brief Stores d under v.
 * @param dict the dictionary
 * @param v    the key
 * @param d    the value
 * @param n    the caller's marker, returned when v was absent
 * @return when v was present, its previous value (size unchanged); otherwise v is added and n is
 *         returned.
 */
ZK_EXPORT AVLDictValue ZKAVLDictInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n);
/**
 * @brief As ZKAVLDictInsert, also giving the address of the value slot.
 * @param dict      the dictionary
 * @param v         the key
 * @param d         the value to store
 * @param n         the caller's marker, returned when v was absent
 * @param[out] vPtr when not NULL, receives the address of the value slot that now holds d
 * @return v's previous value when it was present, otherwise n.
 */
ZK_EXPORT AVLDictValue ZKAVLDictValueInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n,
                                            AVLDictValue** vPtr);
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
ZK_EXPORT AVLDictValue ZKAVLDictRemove(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/**
 * @brief Calls fun(dict, key, value, arg) for every entry, in increasing key order.
 * @param dict    the dictionary
 * @param reverse TRUE: decreasing key order
 * @param fun     the callback; it must not insert or remove keys
 * @param arg     the caller's context, passed to fun
 * @retval TRUE  when every entry was visited
 * @retval FALSE as soon as fun returns FALSE
 */
ZK_EXPORT Boolean ZKAVLDictEnumerate(AVLDict* dict, Boolean reverse, AVLDictEnumerateFun fun, void* arg);
/* ---- readers that write nothing ------------------------------------------------------------------ */

/**
 * @brief Looks v up without writing anything, not even the sentinel (see Threads above).
 * @param dict       the dictionary
 * @param key        the key
 * @param[out] value receives the value stored under key, when not NULL and key is present
 * @retval TRUE  when key is present
 * @retval FALSE when it is absent (*value untouched)
 */
ZK_EXPORT Boolean ZKAVLDictLookup(const AVLDict* dict, AVLDictKey key, AVLDictValue* value);
/**
 * @brief The entry of the smallest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLDictFirst(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value);
/**
 * @brief The entry of the largest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLDictLast(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value);
/**
 * @brief The entry of the smallest key strictly above after, found without writing anything.
 *
 * after need not be stored, so a walk in increasing order goes on from the key it last saw even
 * when that key has since been removed.
 *
 * @param dict       the dictionary
 * @param after      the key to go beyond
 * @param[out] key   receives the key found, when not NULL
 * @param[out] value receives its value, when not NULL
 * @retval TRUE  when there is such a key
 * @retval FALSE when no stored key lies above after (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLDictNext(const AVLDict* dict, AVLDictKey after, AVLDictKey* key, AVLDictValue* value);
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
ZK_EXPORT Boolean ZKAVLDictPrevious(const AVLDict* dict, AVLDictKey before, AVLDictKey* key, AVLDictValue* value);
/**
 * @brief Checks the balance of every node against the heights of its subtrees; a violation stops
 * the process with a failed assertion.
 * @param dict the dictionary
 * @note Key order, the free list and d_size are not checked.
 */
ZK_EXPORT void AVLCheck(AVLDict* dict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_AVLDICT_H */
