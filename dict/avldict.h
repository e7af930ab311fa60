/*
 * avldict.h: an ordered map from 32-bit unsigned keys to 32-bit unsigned values, kept as an AVL tree.
 *
 * Nodes are 16-byte records in one page-mapped array and refer to one another by 31-bit indexes; a
 * node's balance lives in bit 31 of its two link words. Node 0 is the empty link and the search
 * sentinel, node 1 the head node whose right link names the root; keys live in nodes 2 and up.
 * Removed nodes go on a free list and are reused, the last released first, before the array grows.
 * The array grows by doubling in place and never shrinks, not even on ZKAVLDictClear. AVLLDict
 * (dict/avlldict.h) is the same tree with 64-bit keys and values.
 *
 * Ownership: ZKAVLDictNew returns a dictionary that the caller owns and hands to ZKAVLDictDelete,
 * which releases the record and its array.
 *
 * Pointers: a value pointer from ZKAVLDictValueGet, ZKAVLDictValueInsert or ZKAVLDictFindNearest
 * points into the node array. It stays valid until the next insertion of a new key (which may move
 * the array) or the next removal (which may move another key and its value into a different node and
 * recycle the node they came from); replacing the value of a present key keeps it valid. Do not free
 * it. Node indexes seen through the record change in the same way.
 *
 * Failure: mapping or growing the array is a fatal report through zklib (severity 4, the process
 * stops), so no call here returns a half-made result. A dictionary holds at most 2^31 - 2 keys;
 * growing beyond is the same fatal report. Absent keys are no failure: Find, Insert and Remove
 * return the caller's marker n, ValueGet returns NULL.
 *
 * Threads: no locking inside. Every call, lookups included, writes the sentinel node, so even
 * lookups need exclusive use: the caller serialises all calls on one dictionary. Different
 * dictionaries are independent.
 */
#ifndef ZKDICT_DICT_AVLDICT_H
#define ZKDICT_DICT_AVLDICT_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt AVLDictIndex; /* a node's position in the array */
typedef UInt AVLDictKey;
typedef UInt AVLDictValue;

typedef struct {
    AVLDictIndex n_right; /* right child in bits 0-30, bit 31 set when right-heavy; next free node while free */
    AVLDictIndex n_left;  /* left child in bits 0-30, bit 31 set when left-heavy; never both flags */
    AVLDictKey n_key;     /* the key; on node 0, the key last searched for */
    AVLDictValue n_value; /* the value stored under n_key */
} AVLDictNode;

typedef struct {
    AVLDictNode* d_nodes;    /* d_capacity nodes in one page mapping, owned by the dictionary */
    AVLDictIndex d_capacity; /* nodes in the array: at least 1024, at most 2^31, doubled as needed */
    AVLDictIndex d_size;     /* keys stored */
    AVLDictIndex d_free;     /* the lowest index never handed out; 2 when empty */
    AVLDictIndex d_list;     /* first node of the free list, 0 when it is empty */
} AVLDict;

/* Called for each entry by ZKAVLDictEnumerate: TRUE to go on, FALSE to stop. It must not insert or
 * remove keys. */
typedef Boolean (*AVLDictEnumerateFun)(AVLDict* dict, AVLDictKey key, AVLDictValue value, void* arg);

/* A new empty dictionary with room for max(capacity, 1024) nodes (2 of them reserved). */
ZK_EXPORT AVLDict* ZKAVLDictNew(UInt capacity);
/* Removes every key; the array and its capacity stay. */
ZK_EXPORT void ZKAVLDictClear(AVLDict* dict);
/* Releases the array and the record. dict must not be NULL. */
ZK_EXPORT void ZKAVLDictDelete(AVLDict* dict);
/* The number of keys. */
ZK_EXPORT UInt ZKAVLDictSize(const AVLDict* dict);
/* The value stored under v, or n when v is absent. */
ZK_EXPORT AVLDictValue ZKAVLDictFind(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/* The address of the value stored under v, or NULL. */
ZK_EXPORT AVLDictValue* ZKAVLDictValueGet(AVLDict* dict, AVLDictKey v);
/* v when it is present. Otherwise the nearest stored key: below v when roundingMode < 0, above v
 * when roundingMode > 0, and the closer of the two when it is 0 (a tie goes to the larger key). When
 * there is no such key, v itself. With valPtr set, *valPtr receives the address of the returned key's
 * value, or NULL when the result is not a stored key. */
ZK_EXPORT AVLDictKey ZKAVLDictFindNearest(AVLDict* dict, AVLDictKey v, int roundingMode, AVLDictValue** valPtr);
/* Stores d under v. When v was present, its previous value is returned (size unchanged); otherwise
 * v is added and n is returned. */
ZK_EXPORT AVLDictValue ZKAVLDictInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n);
/* As ZKAVLDictInsert; with vPtr set, *vPtr receives the address of the value slot that now holds d. */
ZK_EXPORT AVLDictValue ZKAVLDictValueInsert(AVLDict* dict, AVLDictKey v, AVLDictValue d, AVLDictValue n,
                                            AVLDictValue** vPtr);
/* Removes v and returns its value, or returns n when v is absent. When v's node has children it
 * keeps serving the tree: it takes over the key and value of v's in-order predecessor (or, with no
 * left subtree, successor), whose node is released instead. */
ZK_EXPORT AVLDictValue ZKAVLDictRemove(AVLDict* dict, AVLDictKey v, AVLDictValue n);
/* Calls fun(dict, key, value, arg) for every entry, in increasing key order, or decreasing when
 * reverse is TRUE. TRUE when every entry was visited, FALSE as soon as fun returns FALSE. */
ZK_EXPORT Boolean ZKAVLDictEnumerate(AVLDict* dict, Boolean reverse, AVLDictEnumerateFun fun, void* arg);
/* Checks the balance of every node against the heights of its subtrees; a violation stops the
 * process with a failed assertion. Key order, the free list and d_size are not checked. */
ZK_EXPORT void AVLCheck(AVLDict* dict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_AVLDICT_H */
