/*
 * hashtable.h: a growable hash table of byte-string keys and fixed-size value areas.
 *
 * Keys (any bytes, 0 to 2^32-1 of them) and their value areas (val_len bytes each, chosen at
 * creation) are packed one after another in a single data area (layout in dict/hashentry.h); a
 * prime-sized slot array of 32-bit entry offsets indexes it with linear probing at a load of at most
 * about two thirds. Entries are never removed one by one: a table grows, is cleared, or is freed.
 *
 * Capacity: a table accepts t_entries_capacity entries. When it is full, a creating lookup of a new
 * key returns NULL; the caller grows the table (HashTableGrow) and retries. The used data area stays
 * below HASH_DELETED bytes: an entry that would end beyond that is refused the same way, and growing
 * does not help then.
 *
 * Memory: from the heap, or with vm set from page mappings that grow in place. Heap exhaustion and
 * failed mappings are fatal reports through zklib; nothing here returns a half-made table.
 *
 * Pointers: a value pointer returned by HashTableFind points into the data area and stays valid
 * until the next insertion that enlarges the data area, and until HashTableClear or HashTableFree.
 * An entry offset stays valid until the table is cleared or freed. The table owns its memory; the
 * callbacks and the context pointer ptr belong to the caller.
 *
 * Threads: none inside. A table is used by one thread at a time; callers that share one lock around
 * every call, lookups included (a creating lookup may move the data area).
 */
#ifndef ZKDICT_DICT_HASHTABLE_H
#define ZKDICT_DICT_HASHTABLE_H

#include "dict/hashentry.h"
#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    HashKeyFunction t_hash;    /* key hash; NULL means HashBytes */
    HashValueFunction t_value; /* initialiser of a new value area; NULL means zero-fill */
    HashEqualFunction t_equal; /* key equality; NULL means equal lengths and equal bytes */
    UByte* t_data;             /* the data area of packed entries */
    UInt* t_entries;           /* t_entries_size slots: entry offsets or HASH_EMPTY */
    size_t t_data_used;        /* bytes of the data area in use; new entries go here */
    size_t t_data_size;        /* bytes of the data area allocated */
    UInt t_entries_capacity;   /* entries accepted before the table is full */
    UInt t_entries_used;       /* entries (after an in-place selection: entries selected) */
    UInt t_entries_size;       /* slots: Prime((3 * t_entries_capacity) >> 1), so one is always empty */
    UInt t_val_len;            /* bytes of every value area */
    Boolean t_selected;        /* TRUE once an in-place selection froze the table */
    UByte t_key_size;          /* key-length prefix: 1..4 fixed bytes, or 0 for the length code */
    UByte t_vm;                /* TRUE: data area and slots are page mappings; FALSE: heap blocks */
    Boolean t_aligned;         /* TRUE: every entry starts at a multiple of 8 */
} HashTable;

/* Records that the library was initialised. Optional; a second call changes nothing. */
ZK_EXPORT void ZKDictInit(void);

/* A new empty table accepting capacity entries (at least 5). hash, value and equal may each be
 * NULL for the defaults. Every value area is val_len bytes. key_size is the width of the stored
 * key length: 1 to 4 bytes (keys must then be shorter than 2^(8 * key_size) bytes) or 0 for the
 * variable-length code. With vm the data area and the slot array are page mappings. */
ZK_EXPORT HashTable* HashTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                  HashEqualFunction equal, UInt val_len, UByte key_size, Boolean vm);
/* Releases the data area, the slot array and the record. */
ZK_EXPORT void HashTableFree(HashTable* table);
/* The number of entries. */
ZK_EXPORT UInt HashTableSize(const HashTable* table);
/* The number of entries accepted before the table is full. */
ZK_EXPORT UInt HashTableCapacity(const HashTable* table);
/* TRUE when the table holds as many entries as its capacity. */
ZK_EXPORT Boolean HashTableFull(const HashTable* table);
/* Multiplies the capacity by factor (above 1.0, single precision, truncated), resizes the slot array
 * and re-files every entry. Entries keep their offsets; the data area does not move. Pass the same
 * ptr as to HashTableFind, since both hash with it. */
ZK_EXPORT void HashTableGrow(HashTable* table, float factor, void* ptr);
/* The value pointer of the entry whose key equals the len bytes at bytes, or NULL.
 * With create, an absent key gets a new entry (value area zero-filled or set by the value
 * callback), unless the table is full, the value callback refuses it, or the entry would take the
 * data area to HASH_DELETED bytes; NULL then, and no entry is made. The entry's offset is stored
 * through offset when it is not NULL and an entry is returned. */
ZK_EXPORT void* HashTableFind(HashTable* table, const void* bytes, UInt len, Boolean create, UInt* offset,
                              void* ptr);
/* Removes every entry and keeps the memory, capacity and slot count. */
ZK_EXPORT void HashTableClear(HashTable* table);
/* An independent deep copy, sharing only the callbacks. */
ZK_EXPORT HashTable* HashTableCopy(const HashTable* table);
/* Stores through bytes the address of the key of the entry whose value pointer is val, and returns
 * the key length. The address points into the data area. */
ZK_EXPORT UInt HashTableKey(const HashTable* table, const void* val, const UByte** bytes);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHTABLE_H */
