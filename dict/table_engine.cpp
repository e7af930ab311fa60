// Checks of table images read from outside the process.
#include "dict/table_engine.h"

#include <cstdint>
#include <vector>

namespace zk {
namespace {

// Marks in starts the position of every entry of the used data area and counts them; FALSE unless
// the area is a clean run of whole entries. Positions are offsets divided by 8 in an aligned table.
template <bool kAligned>
bool MarkEntries(const TableImage& image, std::vector<ULong>& starts, UInt* entries) {
    constexpr unsigned kShift = kAligned ? 3 : 0;
    const UByte* data = image.data;
    const UByte* limit = data + image.used;
    UInt n = 0;
    for (size_t off = 0; off < image.used;) {
        if (image.val_len > image.used - off) return false;
        const UByte* prefix = data + off + image.val_len;
        const UByte* key;
        UInt len;
        if (!DecodeKeyChecked(prefix, limit, image.key_size, &key, &len)) return false;
        starts[(off >> kShift) / 64] |= ULong(1) << ((off >> kShift) % 64);
        n++;
        const size_t end = size_t(key - data) + len;
        off = kAligned ? (end + 7) & ~size_t(7) : end;
    }
    *entries = n;
    return true;
}

// Files every slot's offset against the marks, clearing each mark it uses, so that an offset that is
// no entry start, or one filed twice, finds its mark clear. Written without branches on the slot's
// content, which is as unpredictable as the hash: a fault is gathered into one flag, and a slot that
// holds a marker tests a spare mark past the end that is always set and never cleared.
template <bool kAligned>
bool FileSlots(const TableImage& image, std::vector<ULong>& starts, size_t spare, ImageCounts* c) {
    constexpr unsigned kShift = kAligned ? 3 : 0;
    const UInt used = UInt(image.used);  // at most kMaxDataUsed, so below both markers
    ULong bad = 0;
    UInt live = 0, deleted = 0, dense = 0;
    for (UInt s = 0; s < image.nslots; s++) {
        const UInt e = image.slots[s];
        const bool offset = e < HASH_DELETED;
        const bool entry = e < used && (!kAligned || (e & 7) == 0);
        deleted += e == HASH_DELETED;
        bad |= ULong(offset && !entry);
        const size_t i = entry ? size_t(e) >> kShift : spare;
        const ULong mask = ULong(1) << (i % 64);
        const ULong word = starts[i / 64];
        bad |= ULong(entry) & ~(word >> (i % 64));
        starts[i / 64] = word & ~(mask & (ULong(0) - ULong(entry)));
        live += entry;
        dense = live == s + 1 ? live : dense;
    }
    if ((bad & 1) || (deleted != 0 && !image.tombstones)) return false;
    c->live = live;
    c->deleted = deleted;
    c->dense = dense;
    return true;
}

template <bool kAligned>
bool Check(const TableImage& image, ImageCounts* counts) {
    // One bit per possible entry start, and a spare one past them for the slots that hold markers.
    const size_t spare = (image.used >> (kAligned ? 3 : 0)) + 1;
    std::vector<ULong> starts(spare / 64 + 1);
    starts[spare / 64] |= ULong(1) << (spare % 64);
    ImageCounts c;
    if (!MarkEntries<kAligned>(image, starts, &c.entries) || !FileSlots<kAligned>(image, starts, spare, &c))
        return false;
    *counts = c;
    return true;
}

}  // namespace

bool CheckImage(const TableImage& image, ImageCounts* counts) {
    return image.aligned ? Check<true>(image, counts) : Check<false>(image, counts);
}

}  // namespace zk
