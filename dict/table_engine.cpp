// Checks of table images read from outside the process.
#include "dict/table_engine.h"

#include <vector>

namespace zk {

bool CheckImage(const TableImage& image, ImageCounts* counts) {
    ImageCounts c;
    // A bit per position where an entry may start: every eighth byte in an aligned table, every
    // byte otherwise. The walk sets the bits of the entry starts; a slot that files an entry clears
    // its bit, so a second slot with the same offset finds it clear like any offset that is no start.
    const unsigned shift = image.aligned ? 3 : 0;
    const size_t positions = (image.used >> shift) + 1;
    std::vector<ULong> starts((positions + 63) / 64);

    const UByte* data = image.data;
    const UByte* limit = data + image.used;
    for (size_t off = 0; off < image.used;) {
        if (image.val_len > image.used - off) return false;
        const UByte* key;
        UInt len;
        if (!DecodeKeyChecked(data + off + image.val_len, limit, image.key_size, &key, &len)) return false;
        starts[(off >> shift) / 64] |= ULong(1) << ((off >> shift) % 64);
        c.entries++;
        const size_t end = size_t(key - data) + len;
        off = image.aligned ? (end + 7) & ~size_t(7) : end;
    }

    for (UInt s = 0; s < image.nslots; s++) {
        const UInt e = image.slots[s];
        if (e == HASH_EMPTY) continue;
        if (e == HASH_DELETED && image.tombstones) {
            c.deleted++;
            continue;
        }
        if (e >= image.used || (image.aligned && e % 8 != 0)) return false;
        const size_t i = e >> shift;
        const ULong mask = ULong(1) << (i % 64);
        if (!(starts[i / 64] & mask)) return false;
        starts[i / 64] &= ~mask;
        if (c.live++ == s) c.dense = c.live;
    }
    *counts = c;
    return true;
}

}  // namespace zk
