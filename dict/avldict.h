/**
 * @file dict/avldict.h
 * @brief Ordered maps kept as AVL trees: AVLDict from 32-bit unsigned keys to 32-bit unsigned values,
 * AVLLDict from 64-bit keys to 64-bit values.
 *
 * The two are one tree in two key widths. Each call is documented once below, followed by its
 * declaration for AVLDict (ZKAVLDict..., AVLCheck) and then for AVLLDict (ZKAVLLDict..., AVLLCheck);
 * each record and type stands next to its 64-bit twin. What a call's documentation says holds for
 * both widths unless it names a difference, and so does everything said here.
 *
 * Nodes are records in one page-mapped array, 16 bytes with 32-bit keys and 24 with 64-bit ones,
 * and refer to one another by 31-bit indexes; a node's balance lives in bit 31 of its two link words.
 * Node 0 is the empty link and the search sentinel, node 1 the head node whose right link names the
 * root; keys live in nodes 2 and up. Removed nodes go on a free list and are reused, the last
 * released first, before the array grows. The array grows by doubling in place and never shrinks,
 * not even on Clear. RBDict (dict/rbdict.h) keeps the same array under a red-black discipline; its
 * calls behave as their namesakes here, where they are documented, except where its header says
 * otherwise.
 *
 * dict/avlldict.h, which the memory cache includes, only includes this header. The cache keeps its
 * index in an AVLLDict: it holds its index lock around every change and reads the index through the
 * calls that write nothing.
 *
 * @par Ownership
 * ZKAVLDictNew (ZKAVLLDictNew) returns a dictionary that the caller owns and hands to
 * ZKAVLDictDelete (ZKAVLLDictDelete), which releases the record and its array.
 *
 * @par Pointers
 * A value pointer from ValueGet, ValueInsert or (32-bit keys only) FindNearest points into the node
 * array. It stays valid until the next insertion of a new key (which may move the array) or the next
 * removal (which may move another key and its value into a different node and recycle the node they
 * came from); replacing the value of a present key keeps it valid. Do not free it. Node indexes seen
 * through the record change in the same way.
 *
 * @par Failure
 * Mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops), so no call here returns a half-made result. A dictionary holds at most 2^31 - 2 keys;
 * growing beyond is the same fatal report. Absent keys are no failure: Find, Insert and Remove
 * return the caller's marker n, ValueGet returns NULL.
 *
 * @par Threads
 * No locking inside. Lookup, First, Last, Next and Previous write nothing, not even the sentinel:
 * any number of threads may call them at once on a dictionary that no thread is changing. Every
 * other call, Find, ValueGet and FindNearest included, writes the sentinel node, so the caller
 * serialises it with all calls on the dictionary. Different dictionaries are independent.
 */
#ifndef ZKDICT_DICT_AVLDICT_H
#define ZKDICT_DICT_AVLDICT_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt AVLDictIndex;  /**< a node's position in the array */
typedef UInt AVLLDictIndex; /**< a node's position in the array (64-bit keys) */
/** @brief A key (32 bits). */
typedef UInt AVLDictKey;
/** @brief A key (64 bits). */
typedef ULong AVLLDictKey;
/** @brief A value (32 bits). */
typedef UInt AVLDictValue;
/** @brief A value (64 bits). */
typedef ULong AVLLDictValue;

/** @brief A node of the array (a public layout, which iterators read). */
typedef struct {
    AVLDictIndex n_right; /**< right child in bits 0-30, bit 31 set when right-heavy; next free node while free */
    AVLDictIndex n_left;  /**< left child in bits 0-30, bit 31 set when left-heavy; never both flags */
    AVLDictKey n_key;     /**< the key; on node 0, the key last searched for */
    AVLDictValue n_value; /**< the value stored under n_key */
} AVLDictNode;
/** @brief A node of the array with 64-bit keys; its fields mean what AVLDictNode's do. */
typedef struct {
    AVLLDictIndex n_right; /**< right child in bits 0-30, bit 31 set when right-heavy; next free node while free */
    AVLLDictIndex n_left;  /**< left child in bits 0-30, bit 31 set when left-heavy; never both flags */
    AVLLDictKey n_key;     /**< the key; on node 0, the key last searched for */
    AVLLDictValue n_value; /**< the value stored under n_key */
} AVLLDictNode;

/** @brief An ordered map of 32-bit keys in an AVL tree; clients read it only through the functions and the public node layout. */
typedef struct {
    AVLDictNode* d_nodes;    /**< d_capacity nodes in one page mapping, owned by the dictionary */
    AVLDictIndex d_capacity; /**< nodes in the array: at least 1024, at most 2^31, doubled as needed */
    AVLDictIndex d_size;     /**< keys stored */
    AVLDictIndex d_free;     /**< the lowest index never handed out; 2 when empty */
    AVLDictIndex d_list;     /**< first node of the free list, 0 when it is empty */
} AVLDict;
/** @brief An ordered map of 64-bit keys in an AVL tree; its fields mean what AVLDict's do. */
typedef struct {
    AVLLDictNode* d_nodes;    /**< d_capacity nodes in one page mapping, owned by the dictionary */
    AVLLDictIndex d_capacity; /**< nodes in the array: at least 1024, at most 2^31, doubled as needed */
    AVLLDictIndex d_size;     /**< keys stored */
    AVLLDictIndex d_free;     /**< the lowest index never handed out; 2 when empty */
    AVLLDictIndex d_list;     /**< first node of the free list, 0 when it is empty */
} AVLLDict;

/**
 * @brief Called for each entry by an enumeration of the dictionary. It must not insert or remove keys.
 * @param dict  the dictionary walked
 * @param key   the entry's key
 * @param value the entry's value
 * @param arg   the caller's context
 * @return TRUE to go on, FALSE to stop.
 */
typedef Boolean (*AVLDictEnumerateFun)(AVLDict* dict, AVLDictKey key, AVLDictValue value, void* arg);
/** @copydoc AVLDictEnumerateFun */
typedef Boolean (*AVLLDictEnumerateFun)(AVLLDict* dict, AVLLDictKey key, AVLLDictValue value, void* arg);

/**
 * @brief A new empty dictionary with room for max(capacity, 1024) nodes (2 of them reserved).
 * @param capacity nodes to make room for before the array first grows
 * @return the dictionary; release it with ZKAVLDictDelete (an AVLLDict with ZKAVLLDictDelete).
 */
ZK_EXPORT AVLDict* ZKAVLDictNew(UInt capacity);
/** @copydoc ZKAVLDictNew */
ZK_EXPORT AVLLDict* ZKAVLLDictNew(UInt capacity);
/**
 * @brief Releases the array and the record.
 * @param dict the dictionary; must not be NULL
 */
ZK_EXPORT void ZKAVLDictDelete(AVLDict* dict);
/** @copydoc ZKAVLDictDelete */
ZK_EXPORT void ZKAVLLDictDelete(AVLLDict* dict);
/**
 * @brief The number of keys.
 * @param dict the dictionary
 * @return the count.
 */
ZK_EXPORT UInt ZKAVLDictSize(const AVLDict* dict);
/** @copydoc ZKAVLDictSize */
ZK_EXPORT UInt ZKAVLLDictSize(const AVLLDict* dict);
/**
 * @brief Removes every key; the array and its capacity stay.
 * @param dict the dictionary
 */
ZK_EXPORT void ZKAVLDictClear(AVLDict* dict);
/** @copydoc ZKAVLDictClear */
ZK_EXPORT void ZKAVLLDictClear(AVLLDict* dict);
/**
 * @brief The value stored under v.
 * @param dict the dictionary
 * @param v    the key
 * @param n    the caller's marker for absence
 * @return the value, or n when v is absent.
 */
ZK_EXPORT AVLDictValue ZKAVLDictFind(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/** @copydoc ZKAVLDictFind */
ZK_EXPORT AVLLDictValue ZKAVLLDictFind(AVLLDict* dict, AVLLDictKey v, AVLLDictValue n);
/**
 * @brief The address of the value stored under v (see Pointers above for how long it lasts).
 * @param dict the dictionary
 * @param v    the key
 * @return the address, or NULL when v is absent.
 */
ZK_EXPORT AVLDictValue* ZKAVLDictValueGet(AVLDict* dict, AVLDictKey v);
/** @copydoc ZKAVLDictValueGet */
ZK_EXPORT AVLLDictValue* ZKAVLLDictValueGet(AVLLDict* dict, AVLLDictKey v);
/**
 * @brief The stored key nearest to v.
 *
 * The two widths differ here: with 64-bit keys there is no value pointer, and a missing neighbour
 * is reported as key 0, so a stored key 0 reads as "no key" (see ZKAVLLDictFindNearest).
 *
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
 * @brief The stored key nearest to v, as ZKAVLDictFindNearest but without a value pointer, and with
 * key 0 for "no key".
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
ZK_EXPORT AVLDictValue ZKAVLDictInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n);
/** @copydoc ZKAVLDictInsert */
ZK_EXPORT AVLLDictValue ZKAVLLDictInsert(AVLLDict* dict, AVLLDictKey v, AVLLDictValue d, AVLLDictValue n);
/**
 * @brief As Insert, also giving the address of the value slot.
 * @param dict      the dictionary
 * @param v         the key
 * @param d         the value to store
 * @param n         the caller's marker, returned when v was absent
 * @param[out] vPtr when not NULL, receives the address of the value slot that now holds d
 * @return v's previous value when it was present, otherwise n.
 */
ZK_EXPORT AVLDictValue ZKAVLDictValueInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n,
                                            AVLDictValue** vPtr);
/** @copydoc ZKAVLDictValueInsert */
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
ZK_EXPORT AVLDictValue ZKAVLDictRemove(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/** @copydoc ZKAVLDictRemove */
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
ZK_EXPORT Boolean ZKAVLDictEnumerate(AVLDict* dict, Boolean reverse, AVLDictEnumerateFun fun, void* arg);
/** @copydoc ZKAVLDictEnumerate */
ZK_EXPORT Boolean ZKAVLLDictEnumerate(AVLLDict* dict, Boolean reverse, AVLLDictEnumerateFun fun, void* arg);
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
/** @copydoc ZKAVLDictLookup */
ZK_EXPORT Boolean ZKAVLLDictLookup(const AVLLDict* dict, AVLLDictKey key, AVLLDictValue* value);
/**
 * @brief The entry of the smallest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLDictFirst(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value);
/** @copydoc ZKAVLDictFirst */
ZK_EXPORT Boolean ZKAVLLDictFirst(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value);
/**
 * @brief The entry of the largest key, found without writing anything.
 * @param dict       the dictionary
 * @param[out] key   receives the key, when not NULL and the dictionary is not empty
 * @param[out] value receives its value, when not NULL and the dictionary is not empty
 * @retval TRUE  when there is an entry
 * @retval FALSE when the dictionary is empty (the outputs untouched)
 */
ZK_EXPORT Boolean ZKAVLDictLast(const AVLDict* dict, AVLDictKey* key, AVLDictValue* value);
/** @copydoc ZKAVLDictLast */
ZK_EXPORT Boolean ZKAVLLDictLast(const AVLLDict* dict, AVLLDictKey* key, AVLLDictValue* value);
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
/** @copydoc ZKAVLDictNext */
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
ZK_EXPORT Boolean ZKAVLDictPrevious(const AVLDict* dict, AVLDictKey before, AVLDictKey* key, AVLDictValue* value);
/** @copydoc ZKAVLDictPrevious */
ZK_EXPORT Boolean ZKAVLLDictPrevious(const AVLLDict* dict, AVLLDictKey before, AVLLDictKey* key, AVLLDictValue* value);
/**
 * @brief Checks the balance of every node against the heights of its subtrees; a violation stops
 * the process with a failed assertion.
 * @param dict the dictionary
 * @note Key order, the free list and d_size are not checked.
 */
ZK_EXPORT void AVLCheck(AVLDict* dict);
/** @copydoc AVLCheck */
ZK_EXPORT void AVLLCheck(AVLLDict* dict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_AVLDICT_H */
