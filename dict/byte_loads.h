// byte_loads.h: unaligned little-endian loads of key bytes, for hashing and comparing keys a word at
// a time. The words are taken in host order, which must be little-endian for byte 0 to be lowest.
#ifndef ZKDICT_DICT_BYTE_LOADS_H
#define ZKDICT_DICT_BYTE_LOADS_H

#include <cstring>

#include "zklib/zklib.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "key words are read low byte first");

namespace zk {

inline ULong Load64(const UByte* p) {
    ULong w;
    std::memcpy(&w, p, 8);
    return w;
}

inline UInt Load32(const UByte* p) {
    UInt w;
    std::memcpy(&w, p, 4);
    return w;
}

// Up to 8 bytes as one little-endian word, zero above them. The overlapping loads read every byte
// at least once and OR equal values together, so there is no per-byte loop.
inline ULong LoadShort(const UByte* p, UInt len) {
    if (len >= 4) return Load32(p) | (ULong(Load32(p + len - 4)) << (8 * (len - 4)));
    if (len == 0) return 0;
    return ULong(p[0]) | (ULong(p[len / 2]) << (8 * (len / 2))) | (ULong(p[len - 1]) << (8 * (len - 1)));
}

}  // namespace zk

#endif  // ZKDICT_DICT_BYTE_LOADS_H
