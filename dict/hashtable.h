/**
 * @file dict/hashtable.h
 * @brief A growable hash table of byte-string keys and fixed-size value areas.
 *
 * Keys (any bytes, 0 to 2^32-1 of them) and their value areas (val_len bytes each, chosen at
 * creation) are packed one after another in a single data area (layout in dict/hashentry.h); a
 * prime-sized slot array of 32-bit entry offsets indexes it with linear probing at a load of at most
 * about two thirds. Entries are never removed one by one: a table grows, is cleared, or is freed.
 * Its sibling HashDelTable (dict/hashdeltable.h) also removes keys; the calls documented here stand
 * for their namesakes there too, but for what that header says of them.
 *
 * @par Capacity
 * A table accepts t_entries_capacity entries. When it is full, a creating lookup of a new
 * key returns NULL; the caller grows the table (HashTableGrow) and retries. The used data area stays
 * below HASH_DELETED bytes: an entry that would end beyond that is refused the same way, and growing
 * does not help then.
 *
 * @par Memory
 * From the heap, or with vm set from page mappings that grow in place. Heap exhaustion and
 * failed mappings are fatal reports through zklib; nothing here returns a half-made table.
 *
 * @par Pointers
 * A value pointer returned by HashTableFind points into the data area and stays valid
 * until the next insertion that enlarges the data area, and until HashTableClear or HashTableFree.
 * An entry offset stays valid until the table is cleared or freed; walks, selections and sorts move
 * no entry, so neither kind of pointer changes under them. The table owns its memory; the
 * callbacks and the context pointer ptr belong to the caller.
 *
 * @par Walks
 * HashTableEnumerate and the iterator visit every entry of the data area in storage (that is,
 * insertion) order. HashTableSelect takes the entries out of the slot array into a dense list, in
 * slot order: in place, which freezes the table (HashTableFind and HashTableGrow then stop on an
 * assertion until HashTableClear), or into a caller's UIntArray of entry offsets, after which the
 * table keeps its entries but finds none of them. HashTableSort orders such a list with a caller's
 * comparison, moving only offsets; HashTableGetIndex reads it by position. The usual end of a
 * table's life: fill it, select, sort, read by position, then clear or free it.
 *
 * @par Files
 * HashTableWrite saves the table as its memory image and HashTableRead loads it back with
 * two bulk reads and no rehashing; the callbacks are not stored, the loader supplies them. All
 * integers are little-endian, without padding, magic or checksum:
 *
 * @verbatim
   offset     size   field
   0          4      t_selected          0, or 1 for a table frozen by an in-place selection
   4          4      t_val_len
   8          1      t_key_size          0 to 4
   9          4      t_entries_used
   13         4      t_entries_capacity
   17         4      t_entries_size      S
   21         8      t_data_used
   29         8      t_data_size         D, below 2^32
   37         4 * S  slot array          entry offsets or HASH_EMPTY, in slot order
   37 + 4 * S D      data area           the whole allocated area; written as zeros past t_data_used
   @endverbatim
 *
 * The writer replaces the file atomically: the new content goes to a temporary file in the same
 * directory, is flushed and synced, and is renamed over the target, so readers and crashes see the
 * old file or the new one, never a mixture; after a failure the old file is untouched. The reader
 * treats the file as untrusted and checks it whole before returning a table (sizes and counts, the
 * data area a clean run of entries, every slot naming one of them at most once): a truncated,
 * corrupt or hostile file gives NULL, never a crash or an allocation beyond the bytes the file
 * holds. It does not rehash, so a file edited by hand may load with keys off their probe paths,
 * which are then simply not found. Both
 * report failures through zklib's message service (`"error opening %s"`, `"error writing %s"`,
 * `"error closing %s"`, `"error reading %s"`, each followed by the system's reason) and leave errno set.
 *
 * @par Threads
 * None inside. HashTableFind with create FALSE, HashTableKey, HashTableIteratorInit and the
 * iterator's calls, and the getters (size, capacity, value size, key size, frozen) write nothing into
 * the table: any number of threads may make them at once on a table that no thread changes, provided
 * the table's hash and equality callbacks may run so too. Every other call needs the table alone;
 * callers that share one lock around them, lookups and walks included (a creating lookup may move
 * the data area, a selection or a sort rewrites the slot array).
 */
#ifndef ZKDICT_DICT_HASHTABLE_H
#define ZKDICT_DICT_HASHTABLE_H

#include "dict/hashentry.h"
#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief A growable hash table of byte-string keys and fixed-size value areas.
 *
 * The record is public so that the file format and debuggers can name its fields; clients change
 * none of them and go through the functions below.
 */
typedef struct {
    HashKeyFunction t_hash;    /**< key hash; NULL means HashBytes */
    HashValueFunction t_value; /**< initialiser of a new value area; NULL means zero-fill */
    HashEqualFunction t_equal; /**< key equality; NULL means equal lengths and equal bytes */
    UByte* t_data;             /**< the data area of packed entries */
    UInt* t_entries;           /**< t_entries_size slots: entry offsets or HASH_EMPTY */
    size_t t_data_used;        /**< bytes of the data area in use; new entries go here */
    size_t t_data_size;        /**< bytes of the data area allocated */
    UInt t_entries_capacity;   /**< entries accepted before the table is full */
    UInt t_entries_used;       /**< entries (after an in-place selection: entries selected) */
    UInt t_entries_size;       /**< slots: Prime((3 * t_entries_capacity) >> 1), so one is always empty */
    UInt t_val_len;            /**< bytes of every value area */
    Boolean t_selected;        /**< TRUE once an in-place selection froze the table */
    UByte t_key_size;          /**< key-length prefix: 1..4 fixed bytes, or 0 for the length code */
    UByte t_vm;                /**< TRUE: data area and slots are page mappings; FALSE: heap blocks */
    Boolean t_aligned;         /**< TRUE: every entry starts at a multiple of 8 */
} HashTable;

/** @brief An iterator over the entries of a table, in storage order. */
typedef struct {
    const HashTable* t_hash; /**< the table iterated (not a hash function, despite the name) */
    UInt t_offset;           /**< offset of the current entry; t_data_used or beyond at the end */
} HashTableIterator;

/** @brief Records that the library was initialised. Optional; a second call changes nothing. */
ZK_EXPORT void ZKDictInit(void);

/**
 * @brief A new empty table.
 *
 * @param capacity entries accepted before the table is full; a smaller value than 5 gives 5, and a
 *                 capacity above 0x55555555 (whose slot count would not fit 32 bits) is cut to it
 * @param hash     key hash, or NULL for HashBytes
 * @param value    initialiser of new value areas, or NULL for zero-fill
 * @param equal    key equality, or NULL for equal lengths and equal bytes
 * @param val_len  bytes of every value area
 * @param key_size the width of the stored key length: 1 to 4 bytes (keys must then be shorter than
 *                 2^(8 * key_size) bytes) or 0 for the variable-length code
 * @param vm       TRUE: the data area and the slot array are page mappings; FALSE: heap blocks
 * @return the table, never NULL (exhaustion is a fatal report); release it with HashTableFree.
 */
ZK_EXPORT HashTable* HashTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                  HashEqualFunction equal, UInt val_len, UByte key_size, Boolean vm);
/**
 * @brief Releases the data area, the slot array and the record.
 * @param table the table
 */
ZK_EXPORT void HashTableFree(HashTable* table);
/**
 * @brief The number of entries (after an in-place selection: of entries selected).
 * @param table the table
 * @return the count.
 */
ZK_EXPORT UInt HashTableSize(const HashTable* table);
/**
 * @brief The number of entries accepted before the table is full.
 * @param table the table
 * @return the capacity.
 */
ZK_EXPORT UInt HashTableCapacity(const HashTable* table);
/**
 * @brief Whether the table holds as many entries as its capacity.
 * @param table the table
 * @return TRUE when full.
 */
ZK_EXPORT Boolean HashTableFull(const HashTable* table);
/**
 * @brief The size of every value area, as chosen at creation.
 * @param table the table
 * @return the bytes of each value area.
 */
ZK_EXPORT UInt HashTableValueSize(const HashTable* table);
/**
 * @brief The width of the key-length prefix, as chosen at creation (or read from the file).
 * @param table the table
 * @return 1 to 4 for a length of that many fixed bytes, 0 for the variable-length code.
 */
ZK_EXPORT UByte HashTableKeySize(const HashTable* table);
/**
 * @brief Whether an in-place selection has frozen the table (see Walks above).
 * @param table the table
 * @return TRUE from an in-place HashTableSelect (or the load of a table saved so) until
 *         HashTableClear; HashTableFind and HashTableGrow would then stop on an assertion. A
 *         selection into a caller's array freezes nothing.
 */
ZK_EXPORT Boolean HashTableFrozen(const HashTable* table);
/**
 * @brief Multiplies the capacity by factor (single precision, truncated), resizes the slot array
 * and re-files every entry.
 *
 * Entries keep their offsets; the data area does not move.
 *
 * @param table  the table, not selected
 * @param factor above 1.0
 * @param ptr    the caller's context for the hash; pass the same ptr as to HashTableFind, since
 *               both hash with it
 * @pre factor > 1.0 and the table is not frozen by a selection, or the process stops on an
 *      assertion.
 */
ZK_EXPORT void HashTableGrow(HashTable* table, float factor, void* ptr);
/**
 * @brief Looks a key up, creating its entry when asked.
 *
 * With create FALSE it writes nothing, so readers may share a table no thread changes (see Threads
 * above).
 *
 * @param table       the table
 * @param bytes       the key bytes
 * @param len         the key length
 * @param create      TRUE: an absent key gets a new entry (value area zero-filled or set by the
 *                    value callback), unless the table is full, the value callback refuses it, or
 *                    the entry would take the data area to HASH_DELETED bytes
 * @param[out] offset receives the entry's offset when it is not NULL and an entry is returned
 * @param ptr         the caller's context, passed to the callbacks
 * @return the value pointer of the entry whose key equals the len bytes at bytes, or NULL (and
 *         with create no entry is made).
 * @pre The table is not frozen by a selection, and with key_size 1 to 3 len is below
 *      2^(8 * key_size); otherwise the process stops on an assertion.
 */
ZK_EXPORT void* HashTableFind(HashTable* table, const void* bytes, UInt len, Boolean create, UInt* offset,
                              void* ptr);
/**
 * @brief Looks n keys up at once, each as HashTableFind with create FALSE would. On a
 * table larger than the processor's caches it is faster than n such calls: the memory misses of a
 * batch of keys overlap instead of coming one after another.
 *
 * It writes nothing to the table, so readers may share a table no thread changes.
 *
 * @param table       the table, not frozen by a selection
 * @param n           the number of keys
 * @param keys        keys[i] is the bytes of key i
 * @param lens        lens[i] is its length; a key too long for the table's fixed-width lengths is
 *                    answered NULL, as it cannot be present
 * @param[out] values values[i] receives the value pointer of key i, or NULL when it is absent
 * @param ptr         the caller's context, passed to the callbacks
 * @retval TRUE  the keys were looked up
 * @retval FALSE with errno EINVAL for a NULL table, a frozen one, or NULL arrays with n above 0;
 *               nothing is written
 */
ZK_EXPORT Boolean HashTableFindMany(const HashTable* table, UInt n, const void* const* keys, const UInt* lens,
                                    void** values, void* ptr);
/**
 * @brief Removes every entry and keeps the memory, capacity and slot count; a selected table is
 * usable again.
 * @param table the table
 */
ZK_EXPORT void HashTableClear(HashTable* table);
/**
 * @brief An independent deep copy, sharing only the callbacks.
 * @param table the table
 * @return the copy; release it with HashTableFree.
 */
ZK_EXPORT HashTable* HashTableCopy(const HashTable* table);
/**
 * @brief The key of an entry.
 *
 * It writes nothing, so readers may share a table no thread changes.
 *
 * @param table      the table
 * @param val        the entry's value pointer
 * @param[out] bytes receives the address of the key, which points into the data area
 * @return the key length.
 */
ZK_EXPORT UInt HashTableKey(const HashTable* table, const void* val, const UByte** bytes);

/* ---- walks, selections and positions ---------------------------------------------------------- */

/**
 * @brief Calls fun on the value pointer of every entry from the entry offset `offset` on, in
 * storage order, until fun returns non-zero.
 *
 * A selection does not restrict the walk. On an unselected table fun may insert into the
 * table (the walk re-reads the data area at every step and also visits the new entries), but it
 * must not grow, clear or free it.
 *
 * @param table  the table
 * @param offset the entry offset to start at (0 for all)
 * @param fun    called with each value pointer and ptr
 * @param ptr    the caller's context
 * @return the first non-zero result of fun, or 0 when every entry was visited.
 */
ZK_EXPORT UInt HashTableEnumerate(HashTable* table, UInt offset, HashEnumerateFunction fun, void* ptr);
/**
 * @brief Takes every entry out of the slot array, in slot order, keeping those select accepts.
 *
 * Without array the kept offsets fill the first slots and the table is frozen as selected,
 * HashTableSize giving their number; selecting a selected table refines its list. With array, the
 * kept offsets replace the array's content (it grows through zklib as needed); the table's counts
 * stay, but it finds none of its keys any more.
 *
 * @param table  the table
 * @param count  the most entries kept (0: no limit); select is not called once count are kept
 * @param select called with each value pointer and ptr; NULL keeps all
 * @param ptr    the caller's context
 * @param[out] array receives the kept entry offsets, or NULL to select in place
 * @return the number kept.
 */
ZK_EXPORT UInt HashTableSelect(HashTable* table, UInt count, HashSelectFunction select, void* ptr,
                               UIntArray* array);
/**
 * @brief Sorts the list made by HashTableSelect by cmp applied to the entries' value pointers;
 * entries that compare equal end in an unspecified order.
 * @param table   the table
 * @param cmp     the comparison, not NULL
 * @param ptr     the caller's context, passed to cmp
 * @param entries the list of entry offsets, or NULL for the selected table's own
 * @pre cmp is not NULL, and entries is not NULL or the table is selected; otherwise the process
 *      stops on an assertion.
 */
ZK_EXPORT void HashTableSort(HashTable* table, HashCompareFunction cmp, void* ptr, UIntArray* entries);
/**
 * @brief The entry at position i of a list made by HashTableSelect.
 * @param table   the table
 * @param i       the position; it must be below the list's length, and it is not checked
 * @param entries the list of entry offsets, or NULL for the selected table's own
 * @return the entry's value pointer.
 * @pre With entries NULL the table is selected, or the process stops on an assertion.
 */
ZK_EXPORT void* HashTableGetIndex(const HashTable* table, UInt i, const UIntArray* entries);
/**
 * @brief The entry at an entry offset.
 * @param table  the table
 * @param offset the entry offset (not checked)
 * @return the entry's value pointer.
 */
ZK_EXPORT void* HashTableGetOffset(const HashTable* table, UInt offset);

/**
 * @brief A new iterator at the first entry.
 *
 * It survives insertions. It writes nothing into the table, nor do the iterator's other calls, so
 * readers may share a table no thread changes, each walking with an iterator of its own.
 *
 * @param table the table, or NULL
 * @return the iterator, or NULL when table is NULL. Free it with HashTableIteratorFinalize; it must
 *         not outlive the table.
 */
ZK_EXPORT HashTableIterator* HashTableIteratorInit(const HashTable* table);
/**
 * @brief A new iterator at the entry it stands on (or at the end with it), which then walks on by
 * itself: a walk can be resumed from any point it passed.
 *
 * It copies the position only, so it writes nothing into the table.
 *
 * @param it the iterator, or NULL
 * @return the copy, or NULL when it is NULL. Free it with HashTableIteratorFinalize; the same rules as
 *         it's hold for it.
 */
ZK_EXPORT HashTableIterator* HashTableIteratorCopy(const HashTableIterator* it);
/**
 * @brief Whether the iterator has passed the last entry; the other calls are then not to be made.
 * @param it the iterator
 * @return TRUE at the end.
 */
ZK_EXPORT Boolean HashTableIteratorEnd(const HashTableIterator* it);
/**
 * @brief Moves to the next entry.
 * @param it the iterator, not at the end
 */
ZK_EXPORT void HashTableIteratorNext(HashTableIterator* it);
/**
 * @brief The current entry's key.
 * @param it        the iterator, not at the end
 * @param[out] kLen receives the key's address (despite its name, not the length)
 * @return the key length.
 */
ZK_EXPORT UInt HashTableIteratorGetKey(const HashTableIterator* it, const UByte** kLen);
/**
 * @brief The current entry's value pointer.
 * @param it the iterator, not at the end
 * @return the value pointer.
 */
ZK_EXPORT void* HashTableIteratorGetValue(const HashTableIterator* it);
/**
 * @brief Frees the iterator.
 * @param it the iterator
 */
ZK_EXPORT void HashTableIteratorFinalize(HashTableIterator* it);

/* ---- files ------------------------------------------------------------------------------------- */

/**
 * @brief Saves the table to filename (layout above), replacing any file there atomically; the table
 * does not change.
 *
 * A data area allocated beyond 2^32 bytes is saved as its used part. The file keeps no alignment
 * flag; readers tell an unaligned table by an offset off the 8-byte grid. An unaligned table (one
 * loaded from such a file) that files only offsets on the grid, as a selection can leave it, is
 * therefore saved in aligned form: each entry moved up to the next multiple of 8 and the slots
 * following it, so that it reads back with the same entries, selection and values.
 *
 * @param table    the table
 * @param filename the target file
 * @retval TRUE  when the file is complete, synced and in place
 * @retval FALSE after a report, with errno set, and the old file untouched; EFBIG when the table
 *               cannot be represented in the format
 */
ZK_EXPORT Boolean HashTableWrite(const HashTable* table, const char* filename);
/**
 * @brief Loads a table saved by HashTableWrite, in the state it was saved in (selected or not).
 *
 * A table whose entry offsets are not all multiples of 8 loads unaligned and inserts without
 * padding; so does one whose offsets all are but whose data area only holds up walked without
 * padding (a file saved by an earlier writer from an unaligned selection).
 *
 * @param filename the file
 * @param hash     key hash, or NULL for HashBytes
 * @param value    initialiser of new value areas, or NULL for zero-fill
 * @param equal    key equality, or NULL for the default
 * @param vm       memory kind, as for HashTableNew
 * @return the table, or NULL after a report (`"error opening %s"`, or `"error reading %s"` for a
 *         short, corrupt or inconsistent file, with errno EINVAL when the bytes themselves are at
 *         fault). Only a regular file is opened, and never in a way that blocks: a device gives
 *         "error opening %s" with ENODEV, a directory, FIFO or socket with EINVAL.
 */
ZK_EXPORT HashTable* HashTableRead(const char* filename, HashKeyFunction hash, HashValueFunction value,
                                   HashEqualFunction equal, Boolean vm);
/**
 * @brief HashTableRead that reports nothing: a failure is NULL with errno set, and nothing goes
 * through the message service, for callers that report failures their own way.
 * @param filename the file
 * @param hash     as for HashTableRead
 * @param value    as for HashTableRead
 * @param equal    as for HashTableRead
 * @param vm       as for HashTableRead
 * @return the table, or NULL with errno set.
 */
ZK_EXPORT HashTable* HashTableTryRead(const char* filename, HashKeyFunction hash, HashValueFunction value,
                                      HashEqualFunction equal, Boolean vm);
/**
 * @brief HashTableWrite that reports nothing: a failure is FALSE with errno set, the old file then
 * untouched, and nothing goes through the message service.
 * @param table    the table
 * @param filename the file
 * @return TRUE when saved.
 */
ZK_EXPORT Boolean HashTableTryWrite(const HashTable* table, const char* filename);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHTABLE_H */
