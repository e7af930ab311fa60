/**
 * @file dict/hashentry.h
 * @brief What the two packed hash tables (HashTable, and the table with deletion) share.
 *
 * Both tables keep every entry in one packed data area and index it with an array of 32-bit entry
 * offsets. An entry, at offset e from the start of the data area:
 *
 * @verbatim
   value area    val_len bytes     the caller's value; zero-filled or set by the value callback
   length prefix key_size bytes, or the 1..5-byte length code of util/io2.h when key_size is 0
   key bytes     len bytes         copied verbatim (any bytes, no terminator)
   padding       0..7 bytes        only in aligned tables: up to the next multiple of 8
   @endverbatim
 *
 * An entry offset points at the value area, so in an aligned table every value area is 8-byte
 * aligned in memory and may hold pointers or 64-bit numbers. A callback that receives an entry gets
 * its value pointer and reaches the key through the table's key routine (HashTableKey).
 *
 * The slot arrays hold entry offsets or one of the two markers below, so no live entry offset, and
 * no used data area, reaches HASH_DELETED.
 */
#ifndef ZKDICT_DICT_HASHENTRY_H
#define ZKDICT_DICT_HASHENTRY_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HASH_EMPTY UINT_MAX_VALUE /**< a slot with no entry */
#define HASH_DELETED 0xFFFFFFFEu  /**< a slot whose entry was removed (table with deletion only) */

/**
 * @brief Hash code of a key.
 * @param bytes the key bytes
 * @param len   the key length
 * @param ptr   the caller's context, passed through unchanged
 * @return the hash code.
 */
typedef UInt (*HashKeyFunction)(const UByte* bytes, UInt len, void* ptr);
/**
 * @brief Initialises a new entry's value area (the key is not yet stored).
 * @param val   the value area, val_len bytes
 * @param bytes the new key's bytes
 * @param len   the new key's length
 * @param ptr   the caller's context
 * @retval TRUE  creates the entry
 * @retval FALSE refuses it
 */
typedef Boolean (*HashValueFunction)(void* val, const UByte* bytes, UInt len, void* ptr);
/**
 * @brief Key equality.
 * @param stored    the stored key's bytes
 * @param storedLen the stored key's length
 * @param bytes     the probe key's bytes
 * @param len       the probe key's length
 * @param ptr       the caller's context
 * @return TRUE when the stored key equals the probe key.
 */
typedef Boolean (*HashEqualFunction)(const UByte* stored, UInt storedLen, const UByte* bytes, UInt len,
                                     void* ptr);
/**
 * @brief Orders two entries by their value pointers.
 * @param val1 the first entry's value pointer
 * @param val2 the second entry's value pointer
 * @param ptr  the caller's context
 * @return below, equal to or above 0.
 */
typedef int (*HashCompareFunction)(const void* val1, const void* val2, void* ptr);
/**
 * @brief Chooses the entries a selection keeps.
 * @param val the entry's value pointer
 * @param ptr the caller's context
 * @return TRUE keeps the entry.
 */
typedef Boolean (*HashSelectFunction)(void* val, void* ptr);
/**
 * @brief Visits one entry of a walk.
 * @param val the entry's value pointer
 * @param ptr the caller's context
 * @return 0 continues the walk; anything else stops it and is returned.
 */
typedef UInt (*HashEnumerateFunction)(void* val, void* ptr);

/** @brief What the sort of a table's entry list hands to its comparison. */
typedef struct {
    HashCompareFunction d_cmp; /**< the caller's comparison */
    UByte* d_data;             /**< the table's data area */
    void* d_ptr;               /**< the caller's context */
} HashSortData;

/**
 * @brief The default key hash: the sum of byte i times 257^i, modulo 2^32 (the first byte has
 * weight 1).
 * @param bytes the key bytes
 * @param len   the key length
 * @return the hash; the empty key hashes to 0.
 */
ZK_EXPORT UInt HashBytes(const UByte* bytes, UInt len);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHENTRY_H */
