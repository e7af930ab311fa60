/*
 * hashdeltable.h: a growable hash table of byte-string keys and fixed-size value areas that also
 * removes keys.
 *
 * The sibling of HashTable (dict/hashtable.h), with the same packed entries (layout in
 * dict/hashentry.h) in one data area, always 8-byte aligned, indexed by a prime-sized slot array of
 * 32-bit entry offsets. It probes by double hashing, with a step that depends on the start slot. A
 * removal marks the key's slot HASH_DELETED (a tombstone) and leaves the entry's bytes in the data
 * area; growing compacts the data area first, moving the live entries down over the removed ones,
 * and then re-files them.
 *
 * Capacity: a table accepts t_nkeys_max keys, each tombstone counting twice: a creating lookup of a
 * new key returns NULL once t_nkeys + 2 * t_deleted reaches t_nkeys_max. The caller then grows the
 * table (HashDelTableGrow), which also clears the tombstones, and retries; a factor just above 1.0
 * only compacts. HashDelTableFull counts live keys only. The used data area stays below
 * HASH_DELETED bytes: an entry that would end beyond that is refused the same way, and growing only
 * helps when it reclaims removed entries.
 *
 * Walks: HashDelTableEnumerate, HashDelTableSelect and a new iterator first purge the tombstones
 * of an unselected table (the same compaction as growth, keeping the capacity within a hundred-
 * thousandth), so they see only live entries, and entry offsets taken before a removal may no
 * longer point at an entry afterwards. Selection is only in place: it freezes the table
 * (HashDelTableFind, HashDelTableRemove and HashDelTableGrow then stop on an assertion) until
 * HashDelTableClear.
 *
 * Pointers: a value pointer points into the data area and stays valid until the next insertion that
 * enlarges the data area, the next growth or compaction (growth, and the walks above), and until the
 * table is cleared or freed. An entry offset stays valid until the next growth or compaction, clear
 * or free. The table owns its data area and slot array (heap blocks); HashDelTableNew's record too.
 *
 * Serialised form (HashDelTableMemWrite, HashDelTableMemRead): every UInt four bytes, least
 * significant first; no padding, magic or checksum; 26 + U + 4 * S bytes in all:
 *
 *   offset          size    field
 *   0               4       U = t_data_used
 *   4               U       the used data area as it is (removed entries and padding included)
 *   4 + U           4       S = t_nentries
 *   8 + U           4       t_nkeys_max
 *   12 + U          4       t_nkeys
 *   16 + U          4       t_deleted
 *   20 + U          4 * S   slot array: offsets, HASH_EMPTY (FF FF FF FF), HASH_DELETED (FE FF FF FF)
 *   20 + U + 4 * S  4       t_val_len
 *   24 + U + 4 * S  1       t_key_size
 *   25 + U + 4 * S  1       t_selected: 1 for TRUE; any other byte reads as FALSE
 *
 * Tombstones, removed entries and the selected state travel as they are. The reader treats the
 * bytes as untrusted: it checks the whole form before it changes the table (counts, sizes, every slot
 * naming a whole entry of the data area, each at most once), and a short or corrupt form leaves the
 * table (and the cursor) as they were. It does not rehash, so it cannot tell whether each key sits on
 * its own probe path: a form edited by hand may load with keys that are not found.
 *
 * Failures: heap exhaustion is a fatal report through zklib. Misuse stops on assertions.
 *
 * Threads: none inside. A table is used by one thread at a time; callers lock around every call,
 * walks and lookups included (a walk may compact the table).
 */
#ifndef ZKDICT_DICT_HASHDELTABLE_H
#define ZKDICT_DICT_HASHDELTABLE_H

#include "dict/hashentry.h"
#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    HashKeyFunction t_hash;    /* key hash; NULL means HashBytes */
    HashValueFunction t_value; /* initialiser of a new value area; NULL means zero-fill */
    HashEqualFunction t_equal; /* key equality; NULL means equal lengths and equal bytes */
    UByte* t_data;             /* the data area of packed entries, removed ones included */
    UInt* t_entries;           /* t_nentries slots: entry offsets, HASH_EMPTY or HASH_DELETED */
    size_t t_data_used;        /* bytes of the data area in use; new entries go here */
    size_t t_data_size;        /* bytes of the data area allocated */
    UInt t_nkeys_max;          /* capacity: t_nkeys + 2 * t_deleted must stay below it to insert */
    UInt t_nkeys;              /* live keys (after an in-place selection: keys selected) */
    UInt t_nentries;           /* slots: Prime((3 * t_nkeys_max) >> 1), so one is always empty */
    UInt t_deleted;            /* HASH_DELETED slots, each a removed entry still in the data area */
    UInt t_val_len;            /* bytes of every value area */
    Boolean t_selected;        /* TRUE once an in-place selection froze the table */
    UByte t_key_size;          /* key-length prefix: 1..4 fixed bytes, or 0 for the length code */
    Boolean t_aligned;         /* every entry starts at a multiple of 8; always TRUE here */
} HashDelTable;

/* An iterator over the entries of a table, in storage order. */
typedef struct {
    const HashDelTable* t_hash; /* the table iterated (not a hash function, despite the name) */
    UInt t_offset;              /* offset of the current entry; t_data_used or beyond at the end */
} HashDelTableIterator;

/* ---- the table ----------------------------------------------------------------------------------- */

/* Makes the caller's record an empty table accepting capacity keys (at least 5), allocating its two
 * blocks from zklib's heap. hash, value and equal may each be NULL for the defaults; every value
 * area is val_len bytes; key_size as for HashTableNew. HashDelTableFree releases the record too, so
 * for a record whose storage is the caller's, release only t_data and t_entries, with UnAllocate_. */
ZK_EXPORT void HashDelTableInit(HashDelTable* table, UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                HashEqualFunction equal, UInt val_len, UByte key_size);
/* A new empty table: a record from zklib's heap, made with HashDelTableInit. */
ZK_EXPORT HashDelTable* HashDelTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                        HashEqualFunction equal, UInt val_len, UByte key_size);
/* Releases the data area, the slot array and the record (which must come from zklib's heap). */
ZK_EXPORT void HashDelTableFree(HashDelTable* table);
/* The number of live keys (after an in-place selection: of keys selected). */
ZK_EXPORT UInt HashDelTableSize(const HashDelTable* table);
/* The number of keys accepted. */
ZK_EXPORT UInt HashDelTableCapacity(const HashDelTable* table);
/* TRUE when the live keys reach the capacity. Tombstones are not counted, so a table that is not
 * full may still refuse new keys; see Capacity above. */
ZK_EXPORT Boolean HashDelTableFull(const HashDelTable* table);
/* Compacts the data area when there are tombstones, multiplies the capacity by factor (above 1.0,
 * single precision, truncated), resizes the slot array and re-files every live entry. Entries may
 * move and change their offsets. Pass the same ptr as to HashDelTableFind, since both hash with it. */
ZK_EXPORT void HashDelTableGrow(HashDelTable* table, float factor, void* ptr);
/* The value pointer of the live entry whose key equals the len bytes at bytes, or NULL.
 * With create, an absent key gets a new entry at the end of the data area (value area zero-filled or
 * set by the value callback), unless the capacity rule refuses it, the value callback refuses it, or
 * the entry would take the data area to HASH_DELETED bytes; NULL then, and no entry is made. The
 * entry's offset is stored through offset when it is not NULL and an entry is returned. */
ZK_EXPORT void* HashDelTableFind(HashDelTable* table, const void* bytes, UInt len, Boolean create,
                                 UInt* offset, void* ptr);
/* Removes the key: TRUE when it was present, FALSE when it was absent (nothing changes then). Its
 * slot becomes a tombstone; its bytes stay in the data area until the next compaction. */
ZK_EXPORT Boolean HashDelTableRemove(HashDelTable* table, const void* bytes, UInt len, void* ptr);
/* Stores through bytes the address of the key of the entry whose value pointer is val, and returns
 * the key length. The address points into the data area. */
ZK_EXPORT UInt HashDelTableKey(const HashDelTable* table, const void* val, const UByte** bytes);

/* ---- walks, selections and positions --------------------------------------------------------- */

/* Calls fun on the value pointer of every entry from the entry offset `offset` on (0 for all), in
 * storage order, until fun returns non-zero; that result is returned, or 0 at the end. An unselected
 * table is first compacted (with ptr), so only live entries are visited and offsets taken earlier
 * may be stale; fun may then insert (new entries are visited too) but must not remove, grow, clear
 * or free. A selected table is walked as it is, removed entries included. */
ZK_EXPORT UInt HashDelTableEnumerate(HashDelTable* table, UInt offset, HashEnumerateFunction fun, void* ptr);
/* Compacts the table, then takes every entry out of the slot array, in slot order, keeping at most
 * count of them (0: no limit) that select accepts (NULL: all) densely in the first slots; the table
 * is then frozen as selected, HashDelTableSize giving their number. Selecting a selected table
 * refines its list. Returns the number kept. */
ZK_EXPORT UInt HashDelTableSelect(HashDelTable* table, UInt count, HashSelectFunction select, void* ptr);
/* Sorts the selected list by cmp applied to the entries' value pointers; entries that compare equal
 * end in an unspecified order. */
ZK_EXPORT void HashDelTableSort(HashDelTable* table, HashCompareFunction cmp, void* ptr);
/* The value pointer of the entry at position i of the selected list (i below HashDelTableSize; not
 * checked). */
ZK_EXPORT void* HashDelTableGetIndex(const HashDelTable* table, UInt i);
/* The value pointer of the entry at the entry offset `offset` (not checked). */
ZK_EXPORT void* HashDelTableGetOffset(const HashDelTable* table, UInt offset);

/* A new iterator at the first entry, or NULL when table is NULL; an unselected table is first
 * compacted (with ptr). Entries removed afterwards are still visited, since their bytes stay. Free
 * it with HashDelTableIteratorFinalize; it must not outlive the table or a compaction of it. */
ZK_EXPORT HashDelTableIterator* HashDelTableIteratorInit(HashDelTable* table, void* ptr);
/* TRUE when the iterator has passed the last entry; the other calls are then not to be made. */
ZK_EXPORT Boolean HashDelTableIteratorEnd(const HashDelTableIterator* it);
/* Moves to the next entry. */
ZK_EXPORT void HashDelTableIteratorNext(HashDelTableIterator* it);
/* The current entry's key length; the key's address is stored through kLen. */
ZK_EXPORT UInt HashDelTableIteratorGetKey(const HashDelTableIterator* it, const UByte** kLen);
/* The current entry's value pointer. */
ZK_EXPORT void* HashDelTableIteratorGetValue(const HashDelTableIterator* it);
/* Frees the iterator. */
ZK_EXPORT void HashDelTableIteratorFinalize(HashDelTableIterator* it);

/* ---- clearing, copying, bytes ----------------------------------------------------------------- */

/* Empties the table and opens it again. A table of more than 10,000 slots gives its memory back and
 * starts over at capacity 5; a smaller one keeps its memory and capacity. */
ZK_EXPORT void HashDelTableClear(HashDelTable* table);
/* An independent deep copy, tombstones and removed entries included, sharing only the callbacks. */
ZK_EXPORT HashDelTable* HashDelTableCopy(const HashDelTable* table);
/* Appends the serialised form (above) to `to`, keeping what it holds. The form must fit a
 * UByteArray (below 2^31 bytes with what is there already); beyond that zklib's array growth makes a
 * fatal report. */
ZK_EXPORT void HashDelTableMemWrite(const HashDelTable* table, UByteArray* to);
/* Replaces the content of a table made by HashDelTableNew or HashDelTableInit (its callbacks stay)
 * with the serialised form at *from, reading no byte at or past end. TRUE with *from just past the
 * form; FALSE when the bytes end early or are inconsistent (see above), and then the table and *from
 * are unchanged. */
ZK_EXPORT Boolean HashDelTableMemRead(HashDelTable* table, UByte** from, UByte* end);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHDELTABLE_H */
