/**
 * @file util/io.h
 * @brief The integers of the serialised hash table with deletion, appended to a growable byte array
 * and read back from a buffer.
 *
 * Writers append to a UByteArray, growing it through zklib (ArrayGrow_, element size 1) when its
 * length has reached its capacity. A UInt is four bytes, least significant first, whatever the
 * platform; a Boolean is one byte, 1 for TRUE and 0 for FALSE.
 *
 * Readers take a cursor and the end of the readable bytes (one past the last). Each one advances the
 * cursor past every byte it consumed and gives FALSE as soon as the cursor has reached the end; a
 * value is stored only when it was read whole. They never read at or past the end.
 */
#ifndef ZKDICT_UTIL_IO_H
#define ZKDICT_UTIL_IO_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief Appends one byte.
 * @param to    the array, grown when full (past ZK_ARRAY_MAX_CAPACITY a severity-4 report)
 * @param value the byte
 */
static inline void UByteMemWrite(UByteArray* to, UByte value) {
    if (to->length == to->capacity) ArrayGrow_(to, 1, __FILE__, __LINE__);
    to->data[to->length++] = value;
}

/**
 * @brief Appends a UInt as four bytes, least significant first.
 * @param to    the array, grown as needed
 * @param value the number
 */
static inline void UIntMemWrite(UByteArray* to, UInt value) {
    UByteMemWrite(to, (UByte)value);
    UByteMemWrite(to, (UByte)(value >> 8));
    UByteMemWrite(to, (UByte)(value >> 16));
    UByteMemWrite(to, (UByte)(value >> 24));
}

/**
 * @brief Appends a Boolean as one byte: 1 for any non-zero value, 0 for FALSE.
 * @param to    the array, grown as needed
 * @param value the truth value
 */
static inline void BooleanMemWrite(UByteArray* to, Boolean value) { UByteMemWrite(to, value ? 1 : 0); }

/**
 * @brief Reads one byte.
 * @param[in,out] from the cursor, advanced past the byte
 * @param end          one past the last readable byte
 * @param[out] value   receives the byte
 * @retval TRUE  when the byte was read
 * @retval FALSE when the cursor was already at the end (nothing stored)
 */
static inline Boolean UByteMemRead(UByte** from, const UByte* end, UByte* value) {
    if (*from >= end) return FALSE;
    *value = **from;
    ++*from;
    return TRUE;
}

/**
 * @brief Reads a UInt of four bytes, least significant first.
 * @param[in,out] from the cursor, advanced past every byte consumed (also on failure)
 * @param end          one past the last readable byte
 * @param[out] value   receives the number, only when all four bytes were there
 * @retval TRUE  when the number was read whole
 * @retval FALSE when the bytes ended first
 */
static inline Boolean UIntMemRead(UByte** from, const UByte* end, UInt* value) {
    UInt v = 0;
    int i;
    for (i = 0; i < 4; i++) {
        if (*from >= end) return FALSE;
        v |= (UInt)**from << (8 * i);
        ++*from;
    }
    *value = v;
    return TRUE;
}

/**
 * @brief Reads a Boolean of one byte: TRUE exactly when the byte read is 1.
 * @param[in,out] from the cursor, advanced past the byte
 * @param end          one past the last readable byte
 * @param[out] value   receives the truth value
 * @retval TRUE  when the byte was read
 * @retval FALSE when the cursor was already at the end (nothing stored)
 */
static inline Boolean BooleanMemRead(UByte** from, const UByte* end, Boolean* value) {
    UByte b;
    if (!UByteMemRead(from, end, &b)) return FALSE;
    *value = b == 1 ? TRUE : FALSE;
    return TRUE;
}

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_UTIL_IO_H */
