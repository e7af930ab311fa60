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
 * An entry offset stays valid until the table is cleared or freed; walks, selections and sorts move
 * no entry, so neither kind of pointer changes under them. The table owns its memory; the
 * callbacks and the context pointer ptr belong to the caller.
 *
 * Walks: HashTableEnumerate and the iterator visit every entry of the data area in storage (that is,
 * insertion) order. HashTableSelect takes the entries out of the slot array into a dense list, in
 * slot order: in place, which freezes the table (HashTableFind and HashTableGrow then stop on an
 * assertion until HashTableClear), or into a caller's UIntArray of entry offsets, after which the
 * table keeps its entries but finds none of them. HashTableSort orders such a list with a caller's
 * comparison, moving only offsets; HashTableGetIndex reads it by position. The usual end of a
 * table's life: fill it, select, sort, read by position, then clear or free it.
 *
 * Files: HashTableWrite saves the table as its memory image and HashTableRead loads it back with
 * two bulk reads and no rehashing; the callbacks are not stored, the loader supplies them. All
 * integers are little-endian, without padding, magic or checksum:
 *
 *   offset     size   field
 *   0          4      t_selected          0, or 1 for a table frozen by an in-place selection
 *   4          4      t_val_len
 *   8          1      t_key_size          0 to 4
 *   9          4      t_entries_used
 *   13         4      t_entries_capacity
 *   17         4      t_entries_size      S
 *   21         8      t_data_used
 *   29         8      t_data_size         D, below 2^32
 *   37         4 * S  slot array          entry offsets or HASH_EMPTY, in slot order
 *   37 + 4 * S D      data area           the whole allocated area; written as zeros past t_data_used
 *
 * The writer replaces the file atomically: the new content goes to a temporary file in the same
 * directory, is flushed and synced, and is renamed over the target, so readers and crashes see the
 * old file or the new one, never a mixture; after a failure the old file is untouched. The reader
 * treats the file as untrusted and checks it whole before returning a table (sizes and counts, the
 * data area a clean run of entries, every slot naming one of them at most once): a truncated,
 * corrupt or hostile file gives NULL, never a crash or an allocation beyond the bytes the file
 * holds. It does not rehash, so a file edited by hand may load with keys off their probe paths,
 * which are then simply not found. Both
 * report failures through zklib's message service ("error opening %s", "error writing %s", "error
 * closing %s", "error reading %s", each followed by the system's reason) and leave errno set.
 *
 * Threads: none inside. A table is used by one thread at a time; callers that share one lock around
 * every call, lookups and walks included (a creating lookup may move the data area, a selection or a
 * sort rewrites the slot array).
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

/* An iterator over the entries of a table, in storage order. */
typedef struct {
    const HashTable* t_hash; /* the table iterated (not a hash function, despite the name) */
    UInt t_offset;           /* offset of the current entry; t_data_used or beyond at the end */
} HashTableIterator;

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

/* ---- walks, selections and positions ---------------------------------------------------------- */

/* Calls fun on the value pointer of every entry from the entry offset `offset` on (0 for all), in
 * storage order, until fun returns non-zero; that result is returned, or 0 when every entry was
 * visited. A selection does not restrict the walk. On an unselected table fun may insert into the
 * table (the walk re-reads the data area at every step and also visits the new entries), but it
 * must not grow, clear or free it. */
ZK_EXPORT UInt HashTableEnumerate(HashTable* table, UInt offset, HashEnumerateFunction fun, void* ptr);
/* Takes every entry out of the slot array, in slot order, and keeps at most count of them (0: no
 * limit) that select accepts (NULL: all); select is not called once count are kept. Without array
 * the kept offsets fill the first slots and the table is frozen as selected, HashTableSize giving
 * their number; selecting a selected table refines its list. With array, the kept offsets replace
 * the array's content (it grows through zklib as needed); the table's counts stay, but it finds none
 * of its keys any more. Returns the number kept. */
ZK_EXPORT UInt HashTableSelect(HashTable* table, UInt count, HashSelectFunction select, void* ptr,
                               UIntArray* array);
/* Sorts the list made by HashTableSelect (entries, or the table's own when entries is NULL and the
 * table is selected) by cmp applied to the entries' value pointers; entries that compare equal end
 * in an unspecified order. */
ZK_EXPORT void HashTableSort(HashTable* table, HashCompareFunction cmp, void* ptr, UIntArray* entries);
/* The value pointer of the entry at position i of the list (entries, or the selected table's own
 * when entries is NULL). i must be below the list's length; it is not checked. */
ZK_EXPORT void* HashTableGetIndex(const HashTable* table, UInt i, const UIntArray* entries);
/* The value pointer of the entry at the entry offset `offset` (not checked). */
ZK_EXPORT void* HashTableGetOffset(const HashTable* table, UInt offset);

/* A new iterator at the first entry, or NULL when table is NULL. Free it with
 * HashTableIteratorFinalize; it must not outlive the table. It survives insertions. */
ZK_EXPORT HashTableIterator* HashTableIteratorInit(const HashTable* table);
/* TRUE when the iterator has passed the last entry; the other calls are then not to be made. */
ZK_EXPORT Boolean HashTableIteratorEnd(const HashTableIterator* it);
/* Moves to the next entry. */
ZK_EXPORT void HashTableIteratorNext(HashTableIterator* it);
/* The current entry's key length; the key's address is stored through kLen. */
ZK_EXPORT UInt HashTableIteratorGetKey(const HashTableIterator* it, const UByte** kLen);
/* The current entry's value pointer. */
ZK_EXPORT void* HashTableIteratorGetValue(const HashTableIterator* it);
/* Frees the iterator. */
ZK_EXPORT void HashTableIteratorFinalize(HashTableIterator* it);

/* ---- files ------------------------------------------------------------------------------------- */

/* Saves the table to filename (layout above), replacing any file there atomically; the table does
 * not change. TRUE when the file is complete, synced and in place. FALSE after a report, with errno
 * set, and the old file untouched; EFBIG when the table cannot be represented in the format. A data
 * area allocated beyond 2^32 bytes is saved as its used part. */
ZK_EXPORT Boolean HashTableWrite(const HashTable* table, const char* filename);
/* Loads a table saved by HashTableWrite, with the given callbacks (each may be NULL) and memory kind
 * (vm as for HashTableNew), in the state it was saved in (selected or not). A table whose entry
 * offsets are not all multiples of 8 loads unaligned and inserts without padding. NULL after a
 * report ("error opening %s", or "error reading %s" for a short, corrupt or inconsistent file, with
 * errno EINVAL when the bytes themselves are at fault). */
ZK_EXPORT HashTable* HashTableRead(const char* filename, HashKeyFunction hash, HashValueFunction value,
                                   HashEqualFunction equal, Boolean vm);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHTABLE_H */
