// entry_codec.h: the packed-entry mechanics shared by HashTable and the table with deletion.
//
// Both records name their fields alike (t_data, t_data_used, t_data_size, t_val_len, t_key_size,
// t_aligned, t_hash, t_value, t_equal), so the codec is written once as templates over the record
// and each table keeps only its own probing and bookkeeping.
#ifndef ZKDICT_DICT_ENTRY_CODEC_H
#define ZKDICT_DICT_ENTRY_CODEC_H

#include <cstring>

#include "dict/byte_loads.h"
#include "dict/hashentry.h"
#include "util/io2.h"
#include "zklib/zklib.h"

namespace zk {

// Live entry offsets and the used data area stay at or below this, so that neither can be taken
// for a slot marker.
inline constexpr size_t kMaxDataUsed = HASH_DELETED - 1;

// The largest capacity whose slot count (3 * capacity) >> 1 still fits in 32 bits. Beyond it the
// count would wrap below the capacity and leave no empty slot to end a probe.
inline constexpr UInt kMaxCapacity = 0x55555555u;
// Tables start at this capacity and never go below it: growth truncates, so a smaller one could stay
// where it is however often it grows.
inline constexpr UInt kMinCapacity = 5;

// The slot count of a table that accepts capacity entries: about half again as many, a prime.
inline UInt SlotCount(UInt capacity) { return Prime((3u * capacity) >> 1); }

inline UInt ClampCapacity(UInt capacity) { return capacity > kMaxCapacity ? kMaxCapacity : capacity; }

// The capacity after growing by factor: the single-precision product, truncated. Converting a float
// at or beyond 2^32 to UInt is undefined, and such a product is clamped anyway.
inline UInt GrownCapacity(UInt capacity, float factor) {
    float product = float(capacity) * factor;
    return product >= float(kMaxCapacity) ? kMaxCapacity : UInt(product);
}

// The default key hash, the sum of byte i times 257^i modulo 2^32. Horner's rule runs over eight
// bytes at a time with constant powers of 257, so the multiplications do not chain one per byte;
// the bytes past the last whole word carry the highest powers and start the sum.
inline UInt HashBytesFast(const UByte* bytes, UInt len) {
    constexpr UInt p1 = 257u, p2 = p1 * 257u, p3 = p2 * 257u, p4 = p3 * 257u, p5 = p4 * 257u,
                   p6 = p5 * 257u, p7 = p6 * 257u, p8 = p7 * 257u;
    auto word = [](ULong w) -> UInt {
        return UInt(w & 0xFF) + UInt((w >> 8) & 0xFF) * p1 + UInt((w >> 16) & 0xFF) * p2 +
               UInt((w >> 24) & 0xFF) * p3 + UInt((w >> 32) & 0xFF) * p4 + UInt((w >> 40) & 0xFF) * p5 +
               UInt((w >> 48) & 0xFF) * p6 + UInt(w >> 56) * p7;
    };
    if (len <= 8) return word(len == 8 ? Load64(bytes) : LoadShort(bytes, len));
    UInt full = len & ~7u, rest = len - full;
    // The tail from the last eight bytes, shifted down past the ones that belong to the last word.
    UInt h = rest ? word(Load64(bytes + len - 8) >> (8 * (8 - rest))) : 0;
    for (UInt i = full; i > 0; i -= 8) h = h * p8 + word(Load64(bytes + i - 8));
    return h;
}

// Byte equality of two keys of the same length, without a library call for the short keys that
// dominate most tables.
inline bool SameBytes(const UByte* a, const UByte* b, UInt len) {
    if (len <= 8) return (len == 8 ? Load64(a) == Load64(b) : LoadShort(a, len) == LoadShort(b, len));
    if (len <= 16) return Load64(a) == Load64(b) && Load64(a + len - 8) == Load64(b + len - 8);
    return std::memcmp(a, b, len) == 0;
}

// The key length stored after a value area, and the key's address. key_size 1 to 4 reads that many
// fixed bytes; 0 reads the length code (a malformed code reads as length 0 at the prefix).
inline UInt DecodeKey(const UByte* prefix, UByte keySize, const UByte** bytes) {
    const UByte* p = prefix;
    UInt len = keySize == 0 ? IO2_MemRefReadChecked4(&p) : IO2_MemReadPaddedLE4(&p, keySize);
    *bytes = p;
    return len;
}

// DecodeKey for bytes that may be hostile: FALSE unless the whole length prefix and the key lie
// before limit and the length code is well formed.
inline bool DecodeKeyChecked(const UByte* prefix, const UByte* limit, UByte keySize, const UByte** bytes,
                             UInt* len) {
    if (keySize > 4) return false;
    size_t room = size_t(limit - prefix);
    // Most keys are shorter than 128 bytes: a one-byte length code, taken without the general path.
    if (keySize == 0 && room != 0 && (prefix[0] & 1) == 0) {
        if (UInt(prefix[0] >> 1) > room - 1) return false;
        *bytes = prefix + 1;
        *len = prefix[0] >> 1;
        return true;
    }
    UInt width;
    if (keySize != 0) {
        width = keySize;
    } else {
        width = 0;
        while (width < IO2_MAX_CODE_LEN && width < room && (prefix[width] & 1)) width++;
        // Stopped on a byte without the continuation bit: the code ends there.
        if (width == IO2_MAX_CODE_LEN || width == room) return false;
        width++;
    }
    if (width > room) return false;
    const UByte* p = prefix;
    UInt l = keySize == 0 ? IO2_MemRefReadChecked4(&p) : IO2_MemReadPaddedLE4(&p, keySize);
    if (l > room - width) return false;
    *bytes = p;
    *len = l;
    return true;
}

template <class Table>
inline UInt EntryKey(const Table* t, const void* val, const UByte** bytes) {
    return DecodeKey(static_cast<const UByte*>(val) + t->t_val_len, t->t_key_size, bytes);
}

// The offset just past the entry at offset, rounded up to 8 in aligned tables: where the next entry
// of a walk starts.
template <class Table>
inline size_t NextEntry(const Table* t, size_t offset) {
    const UByte* key;
    UInt len = EntryKey(t, t->t_data + offset, &key);
    size_t end = size_t(key - t->t_data) + len;
    return t->t_aligned ? (end + 7) & ~size_t(7) : end;
}

// Calls fn(offset) for every entry from offset `from` to the end of the used data area, in storage
// order. The area must not change during the walk.
template <class Table, class Fn>
inline void ForEachEntry(const Table* t, size_t from, Fn&& fn) {
    for (size_t off = from; off < t->t_data_used; off = NextEntry(t, off)) fn(UInt(off));
}

template <class Table>
inline UInt KeyHash(const Table* t, const void* bytes, UInt len, void* ptr) {
    const UByte* b = static_cast<const UByte*>(bytes);
    return t->t_hash ? t->t_hash(b, len, ptr) : HashBytesFast(b, len);
}

// Whether the entry at offset holds the probe key, by the table's equality.
template <class Table>
inline bool EntryMatches(const Table* t, UInt offset, const void* bytes, UInt len, void* ptr) {
    // Most keys are shorter than 128 bytes, with a one-byte length code: its length settles most
    // mismatches before any key byte is read or a code is decoded.
    const UByte* prefix = t->t_data + offset + t->t_val_len;
    if (t->t_equal == nullptr && t->t_key_size == 0 && (prefix[0] & 1) == 0)
        return UInt(prefix[0] >> 1) == len && SameBytes(prefix + 1, static_cast<const UByte*>(bytes), len);
    const UByte* key;
    UInt klen = EntryKey(t, t->t_data + offset, &key);
    if (t->t_equal) return t->t_equal(key, klen, static_cast<const UByte*>(bytes), len, ptr) != 0;
    return klen == len && SameBytes(key, static_cast<const UByte*>(bytes), len);
}

// A key must be shorter than 2^(8 * key_size) bytes to be stored with a fixed-width length; widths
// above 4 are caught by the codec itself, so the shift is capped to stay defined.
inline void CheckKeyLength(UByte keySize, UInt len) {
    if (keySize == 0) return;
    ULong l = len, b = 1;
    unsigned k = keySize > 4 ? 4 : keySize;
    ZK_ASSERT(l < (b << (8 * k)));
}

enum class Append { kCreated, kRefused, kNoRoom };

// Appends a new entry for the key at t_data_used: padding, room, value area, length prefix and key
// bytes. resize(newSize) must enlarge the data area to newSize bytes and update t_data and
// t_data_size. The caller files the offset in its slot array and counts the entry. An entry that
// would carry the used area past kMaxDataUsed is not started (kNoRoom, nothing changed); a value
// callback that refuses leaves only the padding consumed (kRefused). Always inlined: it is the
// insertion half of each table's creating lookup.
template <class Table, class Resize>
[[gnu::always_inline]] inline Append AppendEntry(Table* table, const void* bytes, UInt len, void* ptr, Resize&& resize,
                                                 UInt* created) {
    size_t pad = table->t_aligned ? (8 - (table->t_data_used & 7)) & 7 : 0;
    UInt prefixLen = table->t_key_size == 0 ? (len < (1u << 7)    ? 1
                                           : len < (1u << 14) ? 2
                                           : len < (1u << 21) ? 3
                                           : len < (1u << 28) ? 4
                                                              : 5)
                                        : table->t_key_size;
    if (table->t_data_used + pad + table->t_val_len + prefixLen + len > kMaxDataUsed) return Append::kNoRoom;

    size_t delta = pad + table->t_val_len + len + IO2_MAX_CODE_LEN;
    if (table->t_data_used + delta > table->t_data_size) {
        size_t grown = 3 * table->t_data_size / 2;
        resize(grown > table->t_data_used + delta ? grown : table->t_data_used + delta);
        ZK_ASSERT(table->t_data_used + delta <= table->t_data_size);
    }
    // Padding carries no meaning, but it is saved with the data area: zero it, so that files and
    // serialised forms never carry stale heap bytes.
    std::memset(table->t_data + table->t_data_used, 0, pad);
    table->t_data_used += pad;
    size_t off = table->t_data_used;
    size_t entry = off;
    zkassert(!table->t_aligned || (entry % sizeof(void*) == 0));

    UByte* val = table->t_data + off;
    if (table->t_value) {
        if (!table->t_value(val, static_cast<const UByte*>(bytes), len, ptr)) return Append::kRefused;
    } else {
        std::memset(val, 0, table->t_val_len);
    }
    UByte* p = val + table->t_val_len;
    if (table->t_key_size == 0) {
        UInt n;
        IO2_MemRefWrite4(&p, len, &n);
    } else {
        IO2_MemWritePaddedLE4(&p, len, table->t_key_size);
    }
    if (len) std::memcpy(p, bytes, len);
    table->t_data_used = size_t(p - table->t_data) + len;
    *created = UInt(off);
    return Append::kCreated;
}

}  // namespace zk

#endif  // ZKDICT_DICT_ENTRY_CODEC_H
