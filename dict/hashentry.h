/*
 * hashentry.h: what the two packed hash tables (HashTable, and the table with deletion) share.
 *
 * Both tables keep every entry in one packed data area and index it with an array of 32-bit entry
 * offsets. An entry, at offset e from the start of the data area:
 *
 *   value area    val_len bytes     the caller's value; zero-filled or set by the value callback
 *   length prefix key_size bytes, or the 1..5-byte length code of util/io2.h when key_size is 0
 *   key bytes     len bytes         copied verbatim (any bytes, no terminator)
 *   padding       0..7 bytes        only in aligned tables: up to the next multiple of 8
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

#define HASH_EMPTY UINT_MAX_VALUE /* a slot with no entry */
#define HASH_DELETED 0xFFFFFFFEu  /* a slot whose entry was removed (table with deletion only) */

/* Hash code of a key. ptr is the caller's context, passed through unchanged. */
typedef UInt (*HashKeyFunction)(const UByte* bytes, UInt len, void* ptr);
/* Initialises a new entry's value area (the key is not yet stored): TRUE creates the entry, FALSE
 * refuses it. */
typedef Boolean (*HashValueFunction)(void* val, const UByte* bytes, UInt len, void* ptr);
/* TRUE when the stored key equals the probe key. */
typedef Boolean (*HashEqualFunction)(const UByte* stored, UInt storedLen, const UByte* bytes, UInt len,
                                     void* ptr);
/* Orders two entries by their value pointers: below, equal to or above 0. */
typedef int (*HashCompareFunction)(const void* val1, const void* val2, void* ptr);
/* TRUE keeps the entry. */
typedef Boolean (*HashSelectFunction)(void* val, void* ptr);
/* 0 continues a walk; anything else stops it and is returned. */
typedef UInt (*HashEnumerateFunction)(void* val, void* ptr);

/* What the sort of a table's entry list hands to its comparison. */
typedef struct {
    HashCompareFunction d_cmp; /* the caller's comparison */
    UByte* d_data;             /* the table's data area */
    void* d_ptr;               /* the caller's context */
} HashSortData;

/* The default key hash: the sum of byte i times 257^i, modulo 2^32 (the first byte has weight 1).
 * The empty key hashes to 0. */
ZK_EXPORT UInt HashBytes(const UByte* bytes, UInt len);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHENTRY_H */
