/**
 * @file dict/hashdeltable.h
 * @brief A growable hash table of byte-string keys and fixed-size value areas that also
 * removes keys.
 *
 * The sibling of HashTable (dict/hashtable.h), with the same packed entries (layout in
 * dict/hashentry.h) in one data area, always 8-byte aligned, indexed by a prime-sized slot array of
 * 32-bit entry offsets. It probes by double hashing, with a step that depends on the start slot. A
 * removal marks the key's slot HASH_DELETED (a tombstone) and leaves the entry's bytes in the data
 * area; growing compacts the data area first, moving the live entries down over the removed ones,
 * and then re-files them.
 *
 * A call HashDelTableX with a namesake HashTableX behaves as that one, documented in full in
 * dict/hashtable.h (its callbacks, its preconditions, what it writes), but for what its entry below
 * says: the capacity rule, removal and the compactions, selections only in place, heap memory only,
 * and a serialised form instead of files.
 *
 * @par Capacity
 * A table accepts t_nkeys_max keys, each tombstone counting twice: a creating lookup of a
 * new key returns NULL once t_nkeys + 2 * t_deleted reaches t_nkeys_max. The caller then grows the
 * table (HashDelTableGrow), which also clears the tombstones, and retries; a factor just above 1.0
 * only compacts. HashDelTableFull counts live keys only. The used data area stays below
 * HASH_DELETED bytes: an entry that would end beyond that is refused the same way, and growing only
 * helps when it reclaims removed entries.
 *
 * @par Walks
 * HashDelTableEnumerate, HashDelTableSelect and a new iterator first purge the tombstones
 * of an unselected table (the same compaction as growth, keeping the capacity within a hundred-
 * thousandth), so they see only live entries, and entry offsets taken before a removal may no
 * longer point at an entry afterwards. Selection is only in place: it freezes the table
 * (HashDelTableFind, HashDelTableRemove and HashDelTableGrow then stop on an assertion) until
 * HashDelTableClear.
 *
 * @par Pointers
 * A value pointer points into the data area and stays valid until the next insertion that
 * enlarges the data area, the next growth or compaction (growth, and the walks above), and until the
 * table is cleared or freed. An entry offset stays valid until the next growth or compaction, clear
 * or free. The table owns its data area and slot array (heap blocks); HashDelTableNew's record too.
 *
 * Serialised form (HashDelTableMemWrite, HashDelTableMemRead): every UInt four bytes, least
 * significant first; no padding, magic or checksum; 26 + U + 4 * S bytes in all:
 *
 * @verbatim
    offset          size    field
    0               4       U = t_data_used
    4               U       the used data area as it is (removed entries and padding included)
    4 + U           4       S = t_nentries
    8 + U           4       t_nkeys_max
    12 + U          4       t_nkeys
    16 + U          4       t_deleted
    20 + U          4 * S   slot array: offsets, HASH_EMPTY (FF FF FF FF), HASH_DELETED (FE FF FF FF)
    20 + U + 4 * S  4       t_val_len
    24 + U + 4 * S  1       t_key_size
    25 + U + 4 * S  1       t_selected: 1 for TRUE; any other byte reads as FALSE
   @endverbatim
 *
 * Tombstones, removed entries and the selected state travel as they are. The reader treats the
 * bytes as untrusted: it checks the whole form before it changes the table (counts, sizes, every slot
 * naming a whole entry of the data area, each at most once), and a short or corrupt form leaves the
 * table (and the cursor) as they were. It does not rehash, so it cannot tell whether each key sits on
 * its own probe path: a form edited by hand may load with keys that are not found.
 *
 * @par Failures
 * Heap exhaustion is a fatal report through zklib. Misuse stops on assertions.
 *
 * @par Threads
 * None inside. HashDelTableFind with create FALSE, HashDelTableKey and the getters (size, capacity,
 * full, value size, key size, frozen, refuses, removed) write nothing: any number of threads may make
 * them at once on a table that no thread changes, provided the table's hash and equality callbacks
 * may run so too. Every other call needs the table alone; callers lock around them, walks and new
 * iterators included (they may compact the table).
 */
#ifndef ZKDICT_DICT_HASHDELTABLE_H
#define ZKDICT_DICT_HASHDELTABLE_H

#include "dict/hashentry.h"
#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief A growable hash table of byte-string keys and fixed-size value areas that also removes
 * keys.
 *
 * The record is public so that callers can embed it (HashDelTableInit) and debuggers can name its
 * fields; clients change none of them and go through the functions below.
 */
typedef struct {
    HashKeyFunction t_hash;    /**< key hash; NULL means HashBytes */
    HashValueFunction t_value; /**< initialiser of a new value area; NULL means zero-fill */
    HashEqualFunction t_equal; /**< key equality; NULL means equal lengths and equal bytes */
    UByte* t_data;             /**< the data area of packed entries, removed ones included */
    UInt* t_entries;           /**< t_nentries slots: entry offsets, HASH_EMPTY or HASH_DELETED */
    size_t t_data_used;        /**< bytes of the data area in use; new entries go here */
    size_t t_data_size;        /**< bytes of the data area allocated */
    UInt t_nkeys_max;          /**< capacity: t_nkeys + 2 * t_deleted must stay below it to insert */
    UInt t_nkeys;              /**< live keys (after an in-place selection: keys selected) */
    UInt t_nentries;           /**< slots: Prime((3 * t_nkeys_max) >> 1), so one is always empty */
    UInt t_deleted;            /**< HASH_DELETED slots, each a removed entry still in the data area */
    UInt t_val_len;            /**< bytes of every value area */
    Boolean t_selected;        /**< TRUE once an in-place selection froze the table */
    UByte t_key_size;          /**< key-length prefix: 1..4 fixed bytes, or 0 for the length code */
    Boolean t_aligned;         /**< every entry starts at a multiple of 8; always TRUE here */
} HashDelTable;

/** @brief An iterator over the entries of a table, in storage order. */
typedef struct {
    const HashDelTable* t_hash; /**< the table iterated (not a hash function, despite the name) */
    UInt t_offset;              /**< offset of the current entry; t_data_used or beyond at the end */
} HashDelTableIterator;

/* ---- the table ----------------------------------------------------------------------------------- */

/**
 * @brief Makes the caller's record an empty table, allocating its two blocks from zklib's heap.
 *
 * @param[out] table the record to initialise
 * @param capacity   keys accepted; a smaller value than 5 gives 5, and a capacity above 0x55555555
 *                   (whose slot count would not fit 32 bits) is cut to it
 * @param hash       key hash, or NULL for HashBytes
 * @param value      initialiser of new value areas, or NULL for zero-fill
 * @param equal      key equality, or NULL for equal lengths and equal bytes
 * @param val_len    bytes of every value area
 * @param key_size   the width of the stored key length, as for HashTableNew
 * @note HashDelTableFree releases the record too, so for a record whose storage is the caller's,
 *       release only t_data and t_entries, with UnAllocate_.
 */
ZK_EXPORT void HashDelTableInit(HashDelTable* table, UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                HashEqualFunction equal, UInt val_len, UByte key_size);
/**
 * @brief A new empty table: a record from zklib's heap, made with HashDelTableInit.
 * @param capacity keys accepted (at least 5)
 * @param hash     key hash, or NULL for HashBytes
 * @param value    initialiser of new value areas, or NULL for zero-fill
 * @param equal    key equality, or NULL for the default
 * @param val_len  bytes of every value area
 * @param key_size the width of the stored key length, as for HashTableNew
 * @return the table, never NULL (exhaustion is a fatal report); release it with HashDelTableFree.
 */
ZK_EXPORT HashDelTable* HashDelTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                        HashEqualFunction equal, UInt val_len, UByte key_size);
/**
 * @brief Releases the data area, the slot array and the record (which must come from zklib's heap).
 * @param table the table
 */
ZK_EXPORT void HashDelTableFree(HashDelTable* table);
/**
 * @brief As HashTableSize, counting live keys only (after an in-place selection: keys selected).
 * @param table the table
 * @return the count.
 */
ZK_EXPORT UInt HashDelTableSize(const HashDelTable* table);
/**
 * @brief As HashTableCapacity: the keys accepted, each tombstone counting twice (see Capacity above).
 * @param table the table
 * @return the capacity.
 */
ZK_EXPORT UInt HashDelTableCapacity(const HashDelTable* table);
/**
 * @brief As HashTableFull: whether the live keys reach the capacity.
 * @param table the table
 * @return TRUE when full.
 * @note Tombstones are not counted, so a table that is not full may still refuse new keys; see
 *       Capacity above.
 */
ZK_EXPORT Boolean HashDelTableFull(const HashDelTable* table);
/**
 * @brief Whether a new key would be refused for capacity now: the live keys plus twice the
 * tombstones reach the capacity (see Capacity above).
 * @param table the table
 * @return TRUE when a creating lookup of an absent key would return NULL until the table grows.
 * @note A key can still be refused when this is FALSE: by the value callback, or for want of room
 *       in the data area.
 */
ZK_EXPORT Boolean HashDelTableRefuses(const HashDelTable* table);
/**
 * @brief The number of removed entries whose bytes still fill the data area: the tombstones, until
 * growth or a walk compacts them away.
 * @param table the table
 * @return the count.
 */
ZK_EXPORT UInt HashDelTableRemoved(const HashDelTable* table);
/**
 * @brief As HashTableValueSize.
 * @param table the table
 * @return the bytes of each value area.
 */
ZK_EXPORT UInt HashDelTableValueSize(const HashDelTable* table);
/**
 * @brief As HashTableKeySize; a table read from a serialised form has the form's.
 * @param table the table
 * @return 1 to 4 for a length of that many fixed bytes, 0 for the variable-length code.
 */
ZK_EXPORT UByte HashDelTableKeySize(const HashDelTable* table);
/**
 * @brief As HashTableFrozen; here only HashDelTableSelect freezes (see Walks above).
 * @param table the table
 * @return TRUE from HashDelTableSelect (or the read of a form saved so) until HashDelTableClear;
 *         HashDelTableFind, HashDelTableRemove and HashDelTableGrow would then stop on an assertion.
 */
ZK_EXPORT Boolean HashDelTableFrozen(const HashDelTable* table);
/**
 * @brief As HashTableGrow, but first compacts the data area when there are tombstones, and re-files
 * only the live entries, which may move and change their offsets.
 *
 * @param table  the table, not selected
 * @param factor above 1.0; just above 1.0 only compacts
 * @param ptr    the caller's context for the hash, the same as for HashDelTableFind
 * @pre factor > 1.0 and the table is not frozen by a selection, or the process stops on an
 *      assertion.
 */
ZK_EXPORT void HashDelTableGrow(HashDelTable* table, float factor, void* ptr);
/**
 * @brief As HashTableFind, among the live entries: looks a key up, creating its entry when asked.
 *
 * A new entry goes at the end of the data area. The capacity rule (see Capacity above) refuses it
 * where HashTableFind's full table would; so do the value callback, and want of room in the data
 * area. With create FALSE it writes nothing.
 *
 * @param table       the table, not frozen by a selection
 * @param bytes       the key bytes
 * @param len         the key length
 * @param create      TRUE: an absent key gets a new entry, unless it is refused as above
 * @param[out] offset receives the entry's offset when it is not NULL and an entry is returned
 * @param ptr         the caller's context, passed to the callbacks
 * @return the value pointer of the live entry whose key equals the len bytes at bytes, or NULL
 *         (and with create no entry is made).
 * @pre As for HashTableFind, or the process stops on an assertion.
 */
ZK_EXPORT void* HashDelTableFind(HashDelTable* table, const void* bytes, UInt len, Boolean create,
                                 UInt* offset, void* ptr);
/**
 * @brief As HashTableFindMany: n lookups at once, each as HashDelTableFind with create FALSE, and
 * nothing written to the table.
 *
 * @param table       the table, not frozen by a selection
 * @param n           the number of keys
 * @param keys        keys[i] is the bytes of key i
 * @param lens        lens[i] is its length
 * @param[out] values values[i] receives the value pointer of key i, or NULL when it is absent
 * @param ptr         the caller's context, passed to the callbacks
 * @retval TRUE  the keys were looked up
 * @retval FALSE with errno EINVAL, for the arguments HashTableFindMany refuses; nothing is written
 */
ZK_EXPORT Boolean HashDelTableFindMany(const HashDelTable* table, UInt n, const void* const* keys,
                                       const UInt* lens, void** values, void* ptr);
/**
 * @brief Removes the key.
 *
 * Its slot becomes a tombstone; its bytes stay in the data area until the next compaction.
 *
 * @param table the table, not selected
 * @param bytes the key bytes
 * @param len   the key length
 * @param ptr   the caller's context, passed to the callbacks
 * @retval TRUE  when it was present
 * @retval FALSE when it was absent (nothing changes then)
 * @pre The table is not frozen by a selection, or the process stops on an assertion.
 */
ZK_EXPORT Boolean HashDelTableRemove(HashDelTable* table, const void* bytes, UInt len, void* ptr);
/**
 * @brief As HashTableKey: the key of an entry, writing nothing.
 * @param table      the table
 * @param val        the entry's value pointer
 * @param[out] bytes receives the address of the key, in the data area
 * @return the key length.
 */
ZK_EXPORT UInt HashDelTableKey(const HashDelTable* table, const void* val, const UByte** bytes);

/* ---- walks, selections and positions --------------------------------------------------------- */

/**
 * @brief As HashTableEnumerate, after compacting an unselected table (with ptr).
 *
 * Only live entries are visited then, and offsets taken earlier may be stale; fun may insert (new
 * entries are visited too) but must not remove, grow, clear or free. A selected table is walked as
 * it is, removed entries included.
 *
 * @param table  the table
 * @param offset the entry offset to start at (0 for all)
 * @param fun    called with each value pointer and ptr, until it returns non-zero
 * @param ptr    the caller's context, also for the hash of the compaction
 * @return the first non-zero result of fun, or 0 at the end.
 */
ZK_EXPORT UInt HashDelTableEnumerate(HashDelTable* table, UInt offset, HashEnumerateFunction fun, void* ptr);
/**
 * @brief Compacts the table, then selects in place as HashTableSelect without an array: every entry
 * taken out of the slot array in slot order, those select accepts kept densely in the first slots.
 *
 * The table is then frozen as selected, HashDelTableSize giving their number. Selecting a selected
 * table refines its list.
 *
 * @param table  the table
 * @param count  the most entries kept (0: no limit)
 * @param select called with each value pointer and ptr; NULL keeps all
 * @param ptr    the caller's context
 * @return the number kept.
 */
ZK_EXPORT UInt HashDelTableSelect(HashDelTable* table, UInt count, HashSelectFunction select, void* ptr);
/**
 * @brief As HashTableSort on the table's own selected list.
 * @param table the table, selected
 * @param cmp   the comparison, not NULL
 * @param ptr   the caller's context, passed to cmp
 * @pre cmp is not NULL and the table is selected, or the process stops on an assertion.
 */
ZK_EXPORT void HashDelTableSort(HashDelTable* table, HashCompareFunction cmp, void* ptr);
/**
 * @brief As HashTableGetIndex on the table's own selected list.
 * @param table the table, selected
 * @param i     the position, below HashDelTableSize (not checked)
 * @return the entry's value pointer.
 * @pre The table is selected, or the process stops on an assertion.
 */
ZK_EXPORT void* HashDelTableGetIndex(const HashDelTable* table, UInt i);
/**
 * @brief As HashTableGetOffset; an offset taken before a compaction may no longer name an entry.
 * @param table  the table
 * @param offset the entry offset (not checked)
 * @return the entry's value pointer.
 */
ZK_EXPORT void* HashDelTableGetOffset(const HashDelTable* table, UInt offset);

/**
 * @brief A new iterator at the first entry; an unselected table is first compacted (with ptr).
 *
 * Entries removed afterwards are still visited, since their bytes stay. The iterator's other calls
 * behave as HashTable's.
 *
 * @param table the table, or NULL
 * @param ptr   the caller's context for the hash of the compaction
 * @return the iterator, or NULL when table is NULL. Free it with HashDelTableIteratorFinalize; it
 *         must not outlive the table or a compaction of it.
 */
ZK_EXPORT HashDelTableIterator* HashDelTableIteratorInit(HashDelTable* table, void* ptr);
/**
 * @brief As HashTableIteratorCopy: a new iterator at the same entry, walking on by itself.
 * @param it the iterator, or NULL
 * @return the copy, or NULL when it is NULL; free it with HashDelTableIteratorFinalize.
 */
ZK_EXPORT HashDelTableIterator* HashDelTableIteratorCopy(const HashDelTableIterator* it);
/**
 * @brief As HashTableIteratorEnd.
 * @param it the iterator
 * @return TRUE past the last entry.
 */
ZK_EXPORT Boolean HashDelTableIteratorEnd(const HashDelTableIterator* it);
/**
 * @brief As HashTableIteratorNext.
 * @param it the iterator, not at the end
 */
ZK_EXPORT void HashDelTableIteratorNext(HashDelTableIterator* it);
/**
 * @brief As HashTableIteratorGetKey.
 * @param it        the iterator, not at the end
 * @param[out] kLen receives the key's address
 * @return the key length.
 */
ZK_EXPORT UInt HashDelTableIteratorGetKey(const HashDelTableIterator* it, const UByte** kLen);
/**
 * @brief As HashTableIteratorGetValue.
 * @param it the iterator, not at the end
 * @return the current entry's value pointer.
 */
ZK_EXPORT void* HashDelTableIteratorGetValue(const HashDelTableIterator* it);
/**
 * @brief As HashTableIteratorFinalize.
 * @param it the iterator
 */
ZK_EXPORT void HashDelTableIteratorFinalize(HashDelTableIterator* it);

/* ---- clearing, copying, bytes ----------------------------------------------------------------- */

/**
 * @brief Empties the table and opens it again (a selected table is usable again).
 *
 * A table of more than 10,000 slots gives its memory back and starts over at capacity 5; a smaller
 * one keeps its memory and capacity.
 *
 * @param table the table
 */
ZK_EXPORT void HashDelTableClear(HashDelTable* table);
/**
 * @brief As HashTableCopy, tombstones and removed entries included.
 * @param table the table
 * @return the copy, a record from zklib's heap; release it with HashDelTableFree.
 */
ZK_EXPORT HashDelTable* HashDelTableCopy(const HashDelTable* table);
/**
 * @brief Appends the serialised form (above) to `to`, keeping what it holds.
 * @param table the table; it does not change
 * @param to    the array, grown through zklib as needed
 * @note The form must fit a UByteArray (below 2^31 bytes with what is there already); beyond that
 *       zklib's array growth makes a fatal report.
 */
ZK_EXPORT void HashDelTableMemWrite(const HashDelTable* table, UByteArray* to);
/**
 * @brief Replaces the content of a table with the serialised form at *from, reading no byte at or
 * past end.
 * @param table        a table made by HashDelTableNew or HashDelTableInit; its callbacks stay
 * @param[in,out] from the cursor
 * @param end          one past the last readable byte
 * @retval TRUE  with *from just past the form
 * @retval FALSE when the bytes end early or are inconsistent (see above); the table and *from are
 *               then unchanged
 */
ZK_EXPORT Boolean HashDelTableMemRead(HashDelTable* table, UByte** from, UByte* end);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHDELTABLE_H */
