/*
 * io.h: the integers of the serialised hash table with deletion, appended to a growable byte array
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

static inline void UByteMemWrite(UByteArray* to, UByte value) {
    if (to->length == to->capacity) ArrayGrow_(to, 1, __FILE__, __LINE__);
    to->data[to->length++] = value;
}

static inline void UIntMemWrite(UByteArray* to, UInt value) {
    UByteMemWrite(to, (UByte)value);
    UByteMemWrite(to, (UByte)(value >> 8));
    UByteMemWrite(to, (UByte)(value >> 16));
    UByteMemWrite(to, (UByte)(value >> 24));
}

static inline void BooleanMemWrite(UByteArray* to, Boolean value) { UByteMemWrite(to, value ? 1 : 0); }

static inline Boolean UByteMemRead(UByte** from, const UByte* end, UByte* value) {
    if (*from >= end) return FALSE;
    *value = **from;
    ++*from;
    return TRUE;
}

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

/* TRUE exactly when the byte read is 1. */
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
