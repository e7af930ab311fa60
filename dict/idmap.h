/**
 * @file dict/idmap.h
 * @brief Maps from integer keys to integer values: IdMap with 32-bit keys and values, RefMap with
 * 64-bit ones. The two are one design (one implementation) at two widths.
 *
 * Each map is an open-addressing table with linear probing over a prime number of slots, about one
 * and a half times its capacity, so it is never more than two-thirds full. A key's probe starts at
 * slot key mod m_allocated (for RefMap the whole 64-bit key is divided). Beside the table, m_used
 * lists the slots in use in the order they were filled: clearing costs in proportion to the entries,
 * not to the table, and IdMapGet reaches the n-th entry directly. There is no removal of one key;
 * a map is emptied as a whole and keeps the capacity it reached.
 *
 * @par The sentinel
 * One key value marks an empty slot and is also what IdMapFind returns for "no value":
 * NOID (0xFFFFFFFE) for IdMap, NOREF (all 64 bits set) for RefMap. It can be neither a key nor a
 * value. Note that 0xFFFFFFFF is an ordinary IdMap key and value.
 *
 * @par Order
 * IdMapGet(map, n) yields the entries in insertion order as long as the map has not grown.
 * A growth (when an insertion finds the map at capacity: 10, 20, 40, ... entries) re-files every
 * entry in the order of the old table's slots, and positions follow that order from then on.
 *
 * @par Ownership
 * IdMapNew returns a map that the caller owns and hands to IdMapDelete. The map owns its
 * slot table and m_used. No pointer into the map is handed out.
 *
 * @par Failure
 * Memory exhaustion is a fatal report through zklib (severity 4, the process stops); so is
 * growing beyond IDMAP_MAX_CAPACITY entries. A NULL map, the sentinel as a key, or a position not
 * below the size stops the process on an assertion.
 *
 * @par The calls
 * Each operation comes at both widths, IdMapX beside RefMapX; the two behave alike but for their
 * types and sentinels, and are documented once, at IdMapX.
 *
 * @par Threads
 * No locking inside. IdMapFind with create and update both NOID (RefMapFind with both NOREF), and
 * the size and position getters, write nothing into the map: any number of threads may make them at
 * once on a map that no thread changes. Every other call needs the map alone; the caller serialises
 * it with every call on the map. Different maps are independent.
 */
#ifndef ZKDICT_DICT_IDMAP_H
#define ZKDICT_DICT_IDMAP_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @brief The empty-slot marker of IdMap and its "no value" result. */
#define NOID ((Id)0xFFFFFFFEu)
/** @brief The empty-slot marker of RefMap and its "no value" result. */
#define NOREF ((ULong)0xFFFFFFFFFFFFFFFFull)
/** @brief The most entries either map holds: the slot numbers in m_used are bounded like every zklib array. */
#define IDMAP_MAX_CAPACITY 0x7FFFFFFFu

/** @brief A slot of an IdMap. */
typedef struct {
    Id e_key; /**< the key, or NOID when the slot is empty */
    Id e_val; /**< its value; never NOID */
} IdMapEntry;

/** @brief A slot of a RefMap. */
typedef struct {
    ULong e_key; /**< the key, or NOREF when the slot is empty */
    ULong e_val; /**< its value; never NOREF */
} RefMapEntry;

/** @brief A map from 32-bit keys to 32-bit values; clients go through the functions below. */
typedef struct {
    UInt m_capacity;        /**< most entries before the next growth; at least 10, doubled as needed */
    UInt m_allocated;       /**< slots in m_entries: Prime(m_capacity * 3 / 2), always above m_capacity */
    IdMapEntry* m_entries;  /**< the slot table, owned by the map; the same block goes on with a tag
                               byte per slot (and 16 more) that lookups scan before the slots */
    UIntArray m_used;       /**< slot numbers of the entries, in the order they were filled; its
                               length is the number of entries */
} IdMap;

/** @brief A map from 64-bit keys to 64-bit values; clients go through the functions below. */
typedef struct {
    UInt m_capacity;        /**< as in IdMap */
    UInt m_allocated;       /**< as in IdMap */
    RefMapEntry* m_entries; /**< the slot table and its tag bytes, as in IdMap */
    UIntArray m_used;       /**< as in IdMap */
} RefMap;

/**
 * @brief A new empty map of capacity 10 (Prime(15) = 17 slots).
 * @return the map; release it with IdMapDelete.
 */
ZK_EXPORT IdMap* IdMapNew(void);
/**
 * @brief IdMapNew for 64-bit keys and values.
 * @return the map; release it with RefMapDelete.
 */
ZK_EXPORT RefMap* RefMapNew(void);
/**
 * @brief Releases the map with its table.
 * @param map the map, not NULL
 */
ZK_EXPORT void IdMapDelete(IdMap* map);
/**
 * @brief IdMapDelete for RefMap.
 * @param map the map, not NULL
 */
ZK_EXPORT void RefMapDelete(RefMap* map);
/**
 * @brief Removes every entry, touching only the slots in use; the capacity and the table stay.
 * @param map the map, not NULL
 */
ZK_EXPORT void IdMapClear(IdMap* map);
/**
 * @brief IdMapClear for RefMap.
 * @param map the map, not NULL
 */
ZK_EXPORT void RefMapClear(RefMap* map);
/**
 * @brief The number of entries.
 * @param map the map, not NULL
 * @return the count.
 */
ZK_EXPORT UInt IdMapSize(const IdMap* map);
/**
 * @brief IdMapSize for RefMap.
 * @param map the map, not NULL
 * @return the count.
 */
ZK_EXPORT UInt RefMapSize(const RefMap* map);
/**
 * @brief The entry at position n (order as described above).
 * @param map      the map, not NULL
 * @param n        the position, below the size
 * @param[out] key receives the key; may be NULL
 * @param[out] val receives the value; may be NULL
 * @pre map is not NULL and n is below the size, or the process stops on an assertion.
 */
ZK_EXPORT void IdMapGet(const IdMap* map, UInt n, Id* key, Id* val);
/**
 * @brief IdMapGet for RefMap.
 * @param map      the map, not NULL
 * @param n        the position, below the size
 * @param[out] key receives the key; may be NULL
 * @param[out] val receives the value; may be NULL
 * @pre As for IdMapGet, or the process stops on an assertion.
 */
ZK_EXPORT void RefMapGet(const RefMap* map, UInt n, ULong* key, ULong* val);
/**
 * @brief Looks key up, adding or updating it as asked.
 *
 * With create and update both NOID it writes nothing, so readers may share a map no thread changes.
 *
 * @param map         the map, not NULL
 * @param key         the key, not NOID
 * @param create      for an absent key: NOID for a plain lookup (nothing changes), otherwise the
 *                    value it is added with (the map grows first when it is at capacity)
 * @param update      for a present key: NOID keeps its value, otherwise the value that replaces it
 * @param[out] added  receives whether key was added, when not NULL
 * @return the value now stored under key; NOID when key is absent and create is NOID.
 * @pre map is not NULL and key is not NOID, or the process stops on an assertion.
 */
ZK_EXPORT Id IdMapFind(IdMap* map, Id key, Id create, Id update, Boolean* added);
/**
 * @brief IdMapFind for RefMap, with NOREF as the sentinel wherever IdMapFind has NOID.
 * @param map         the map, not NULL
 * @param key         the key, not NOREF
 * @param create      for an absent key: NOREF for a plain lookup, otherwise the value it is added with
 * @param update      for a present key: NOREF keeps its value, otherwise the value that replaces it
 * @param[out] added  receives whether key was added, when not NULL
 * @return the value now stored under key; NOREF when key is absent and create is NOREF.
 * @pre map is not NULL and key is not NOREF, or the process stops on an assertion.
 */
ZK_EXPORT ULong RefMapFind(RefMap* map, ULong key, ULong create, ULong update, Boolean* added);
/**
 * @brief Looks n keys up at once, each as IdMapFind with create and update NOID would. On a
 * map larger than the processor's caches it is faster than n such calls: the memory misses of
 * a batch of keys overlap instead of coming one after another.
 *
 * It writes nothing to the map, so readers may share a map no thread changes.
 *
 * @param map         the map
 * @param n           the number of keys
 * @param keys        the keys; NOID is never present
 * @param[out] values values[i] receives the value of keys[i], or NOID when it is absent
 * @retval TRUE  the keys were looked up
 * @retval FALSE with errno EINVAL for a NULL map, or NULL arrays with n above 0; nothing is written
 */
ZK_EXPORT Boolean IdMapFindMany(const IdMap* map, UInt n, const Id* keys, Id* values);
/**
 * @brief IdMapFindMany for RefMap.
 * @param map         the map
 * @param n           the number of keys
 * @param keys        the keys
 * @param[out] values values[i] receives the value of keys[i], or NOREF when it is absent
 * @return as IdMapFindMany.
 */
ZK_EXPORT Boolean RefMapFindMany(const RefMap* map, UInt n, const ULong* keys, ULong* values);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_IDMAP_H */
