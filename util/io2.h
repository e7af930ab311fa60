/**
 * @file util/io2.h
 * @brief The byte encodings of the packed hash-table entries.
 *
 * Fixed-width little-endian integers of 1 to 4 bytes, and the key-length code: a little-endian
 * base-128 code whose continuation flag is bit 0 of each byte. Byte i carries bits 7i to 7i+6 of the
 * value in its bits 1 to 7; bit 0 is 1 when another byte follows. Five bytes at most; the fifth
 * carries bits 28 to 31 in its bits 1 to 4 and 0 in bits 5 to 7.
 *
 * @verbatim
   value               bytes   example
   0 .. 127            1       0 -> 00, 127 -> FE
   128 .. 16383        2       128 -> 01 02, 300 -> 59 04
   16384 .. 2^21-1     3       16384 -> 01 01 02
   2^21 .. 2^28-1      4       2^21 -> 01 01 01 02
   2^28 .. 2^32-1      5       2^28 -> 01 01 01 01 02, 2^32-1 -> FF FF FF FF 1E
   @endverbatim
 *
 * Every routine advances the cursor it is given past what it reads or writes. Nothing here checks
 * the buffer's end: the caller has already made room (writers) or knows the bytes are there
 * (readers). A width above 4 is a programming error and stops on "size <= 4".
 */
#ifndef ZKDICT_UTIL_IO2_H
#define ZKDICT_UTIL_IO2_H

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @brief The widest key-length code, in bytes. */
#define IO2_MAX_CODE_LEN 5

/**
 * @brief Reads a 1-byte little-endian integer.
 * @param[in,out] p the cursor, advanced by 1
 * @return the value.
 */
static inline UInt IO2_MemReadLE1(const UByte** p) {
    UInt v = (*p)[0];
    *p += 1;
    return v;
}

/**
 * @brief Reads a 2-byte little-endian integer.
 * @param[in,out] p the cursor, advanced by 2
 * @return the value.
 */
static inline UInt IO2_MemReadLE2(const UByte** p) {
    const UByte* b = *p;
    *p += 2;
    return (UInt)b[0] | ((UInt)b[1] << 8);
}

/**
 * @brief Reads a 3-byte little-endian integer.
 * @param[in,out] p the cursor, advanced by 3
 * @return the value.
 */
static inline UInt IO2_MemReadLE3(const UByte** p) {
    const UByte* b = *p;
    *p += 3;
    return (UInt)b[0] | ((UInt)b[1] << 8) | ((UInt)b[2] << 16);
}

/**
 * @brief Reads a 4-byte little-endian integer.
 * @param[in,out] p the cursor, advanced by 4
 * @return the value.
 */
static inline UInt IO2_MemReadLE4(const UByte** p) {
    const UByte* b = *p;
    *p += 4;
    return (UInt)b[0] | ((UInt)b[1] << 8) | ((UInt)b[2] << 16) | ((UInt)b[3] << 24);
}

/**
 * @brief Writes the low 1 byte of v, least significant first.
 * @param[in,out] p the cursor, advanced by 1
 * @param v         the value
 */
static inline void IO2_MemWriteLE1(UByte** p, UInt v) {
    (*p)[0] = (UByte)v;
    *p += 1;
}

/**
 * @brief Writes the low 2 bytes of v, least significant first.
 * @param[in,out] p the cursor, advanced by 2
 * @param v         the value
 */
static inline void IO2_MemWriteLE2(UByte** p, UInt v) {
    UByte* b = *p;
    b[0] = (UByte)v;
    b[1] = (UByte)(v >> 8);
    *p += 2;
}

/**
 * @brief Writes the low 3 bytes of v, least significant first.
 * @param[in,out] p the cursor, advanced by 3
 * @param v         the value
 */
static inline void IO2_MemWriteLE3(UByte** p, UInt v) {
    UByte* b = *p;
    b[0] = (UByte)v;
    b[1] = (UByte)(v >> 8);
    b[2] = (UByte)(v >> 16);
    *p += 3;
}

/**
 * @brief Writes the low 4 bytes of v, least significant first.
 * @param[in,out] p the cursor, advanced by 4
 * @param v         the value
 */
static inline void IO2_MemWriteLE4(UByte** p, UInt v) {
    UByte* b = *p;
    b[0] = (UByte)v;
    b[1] = (UByte)(v >> 8);
    b[2] = (UByte)(v >> 16);
    b[3] = (UByte)(v >> 24);
    *p += 4;
}

/**
 * @brief Reads a size-byte little-endian integer; size 0 reads 0 and moves nothing.
 * @param[in,out] p the cursor, advanced by size
 * @param size      bytes to read, 0 to 4
 * @return the value.
 * @pre size <= 4, or the process stops on that assertion.
 */
static inline UInt IO2_MemReadPaddedLE4(const UByte** p, UInt size) {
    ZK_ASSERT(size <= 4);
    switch (size) {
    case 1: return IO2_MemReadLE1(p);
    case 2: return IO2_MemReadLE2(p);
    case 3: return IO2_MemReadLE3(p);
    case 4: return IO2_MemReadLE4(p);
    default: return 0;
    }
}

/**
 * @brief Writes v in size bytes, least significant first; size 0 writes nothing.
 * @param[in,out] p the cursor, advanced by size
 * @param v         the value (its bytes above size are dropped)
 * @param size      bytes to write, 0 to 4
 * @pre size <= 4, or the process stops on that assertion.
 */
static inline void IO2_MemWritePaddedLE4(UByte** p, UInt v, UInt size) {
    ZK_ASSERT(size <= 4);
    switch (size) {
    case 1: IO2_MemWriteLE1(p, v); break;
    case 2: IO2_MemWriteLE2(p, v); break;
    case 3: IO2_MemWriteLE3(p, v); break;
    case 4: IO2_MemWriteLE4(p, v); break;
    default: break;
    }
}

/**
 * @brief Writes the length code of v and stores its width (1 to 5) through count.
 * @param[in,out] p  the cursor, advanced past the code; room for IO2_MAX_CODE_LEN bytes is needed
 * @param v          the value
 * @param[out] count receives the code's width in bytes
 */
static inline void IO2_MemRefWrite4(UByte** p, UInt v, UInt* count) {
    UByte* b = *p;
    UInt n = 0;
    while (v >= 0x80) {
        b[n++] = (UByte)(((v & 0x7F) << 1) | 1);
        v >>= 7;
    }
    b[n++] = (UByte)(v << 1);
    *p += n;
    *count = n;
}

/**
 * @brief Reads one length code.
 * @param[in,out] p the cursor, advanced past the code; it reads at most IO2_MAX_CODE_LEN bytes
 * @return the value. A code whose fifth byte still carries the continuation bit is malformed:
 *         it reads as 0 and the cursor stays where it was.
 */
static inline UInt IO2_MemRefReadChecked4(const UByte** p) {
    const UByte* b = *p;
    UInt v = 0;
    for (UInt i = 0; i < IO2_MAX_CODE_LEN; i++) {
        v |= (UInt)(b[i] >> 1) << (7 * i);
        if ((b[i] & 1) == 0) {
            *p += i + 1;
            return v;
        }
    }
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_UTIL_IO2_H */
