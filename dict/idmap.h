/*
 * idmap.h: maps from integer keys to integer values: IdMap with 32-bit keys and values, RefMap with
 * 64-bit ones. The two are one design (one implementation) at two widths.
 *
 * Each map is an open-addressing table with linear probing over a prime number of slots, about one
 * and a half times its capacity, so it is never more than two-thirds full. A key's probe starts at
 * slot key mod m_allocated (for RefMap the whole 64-bit key is divided). Beside the table, m_used
 * lists the slots in use in the order they were filled: clearing costs in proportion to the entries,
 * not to the table, and IdMapGet reaches the n-th entry directly. There is no removal of one key;
 * a map is emptied as a whole and keeps the capacity it reached.
 *
 * The sentinel: one key value marks an empty slot and is also what IdMapFind returns for "no value":
 * NOID (0xFFFFFFFE) for IdMap, NOREF (all 64 bits set) for RefMap. It can be neither a key nor a
 * value. Note that 0xFFFFFFFF is an ordinary IdMap key and value.
 *
 * Order: IdMapGet(map, n) yields the entries in insertion order as long as the map has not grown.
 * A growth (when an insertion finds the map at capacity: 10, 20, 40, ... entries) re-files every
 * entry in the order of the old table's slots, and positions follow that order from then on.
 *
 * Ownership: IdMapNew returns a map that the caller owns and hands to IdMapDelete. The map owns its
 * slot table and m_used. No pointer into the map is handed out.
 *
 * Failure: memory exhaustion is a fatal report through zklib (severity 4, the process stops); so is
 * growing beyond IDMAP_MAX_CAPACITY entries. A NULL map, the sentinel as a key, or a position not
 * below the size stops the process on an assertion.
 *
 * Threads: no locking inside. A map is used by one thread at a time; the caller serialises every
 * call on it, lookups included. Different maps are independent.
 */
#ifndef ZKDICT_DICT_IDMAP_H
#define ZKDICT_DICT_IDMAP_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The empty-slot marker of IdMap and its "no value" result. */
#define NOID ((Id)0xFFFFFFFEu)
/* The empty-slot marker of RefMap and its "no value" result. */
#define NOREF ((ULong)0xFFFFFFFFFFFFFFFFull)
/* The most entries either map holds: the slot numbers in m_used are bounded like every zklib array. */
#define IDMAP_MAX_CAPACITY 0x7FFFFFFFu

typedef struct {
    Id e_key; /* the key, or NOID when the slot is empty */
    Id e_val; /* its value; never NOID */
} IdMapEntry;

typedef struct {
    ULong e_key; /* the key, or NOREF when the slot is empty */
    ULong e_val; /* its value; never NOREF */
} RefMapEntry;

typedef struct {
    UInt m_capacity;        /* most entries before the next growth; at least 10, doubled as needed */
    UInt m_allocated;       /* slots in m_entries: Prime(m_capacity * 3 / 2), always above m_capacity */
    IdMapEntry* m_entries;  /* the slot table, owned by the map; the same block goes on with a tag
                               byte per slot (and 16 more) that lookups scan before the slots */
    UIntArray m_used;       /* slot numbers of the entries, in the order they were filled; its
                               length is the number of entries */
} IdMap;

typedef struct {
    UInt m_capacity;        /* as in IdMap */
    UInt m_allocated;       /* as in IdMap */
    RefMapEntry* m_entries; /* the slot table and its tag bytes, as in IdMap */
    UIntArray m_used;       /* as in IdMap */
} RefMap;

/* A new empty map of capacity 10 (Prime(15) = 17 slots). */
ZK_EXPORT IdMap* IdMapNew(void);
/* Releases the map with its table. */
ZK_EXPORT void IdMapDelete(IdMap* map);
/* Removes every entry, touching only the slots in use; the capacity and the table stay. */
ZK_EXPORT void IdMapClear(IdMap* map);
/* The number of entries. */
ZK_EXPORT UInt IdMapSize(const IdMap* map);
/* The entry at position n (n below the size, order as described above) into *key and *val; either
 * pointer may be NULL. */
ZK_EXPORT void IdMapGet(const IdMap* map, UInt n, Id* key, Id* val);
/* Looks key up. Present: when update is not NOID it replaces the value; the value now stored is
 * returned. Absent: when create is NOID nothing changes and NOID is returned (a plain lookup);
 * otherwise key is added with value create (the map grows first when it is at capacity) and create
 * is returned. *added (when added is not NULL) tells whether key was added. */
ZK_EXPORT Id IdMapFind(IdMap* map, Id key, Id create, Id update, Boolean* added);

/* The same operations on 64-bit keys and values, with NOREF as the sentinel. */
ZK_EXPORT RefMap* RefMapNew(void);
ZK_EXPORT void RefMapDelete(RefMap* map);
ZK_EXPORT void RefMapClear(RefMap* map);
ZK_EXPORT UInt RefMapSize(const RefMap* map);
ZK_EXPORT void RefMapGet(const RefMap* map, UInt n, ULong* key, ULong* val);
ZK_EXPORT ULong RefMapFind(RefMap* map, ULong key, ULong create, ULong update, Boolean* added);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_IDMAP_H */
