// The hash table with deletion: double hashing, tombstones, compaction, and its serialised form.
#include "dict/hashdeltable.h"

#include <bit>
#include <cstring>
#include <vector>

#include "dict/entry_codec.h"
#include "dict/hashdeltable_internal.h"
#include "dict/table_engine.h"
#include "util/io.h"

namespace {

constexpr const char* kPath = "dict/hashdeltable";

// The factor by which a walk's compaction "grows" the table: the single-precision number just above
// 1.0 that leaves capacities up to 10,000 as they are and adds one key in a hundred thousand above.
const float kNormalizeFactor = std::bit_cast<float>(0x3F800054u);

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the serialised slots are copied from memory as little-endian numbers");

void FillEmpty(HashDelTable* table) {
    std::memset(table->t_entries, 0xFF, sizeof(UInt) * size_t(table->t_nentries));
}

// Moves the live entries down over the removed ones, in storage order, each to the next multiple of
// 8, and clears the tombstones. The slot array is then stale; the caller re-files it at once.
//
// The live offsets, taken in increasing order, are exactly the live entries in storage order; a bit
// per 8-byte position gives that order in one pass over the slots, with no sort.
void Rewrite(HashDelTable* t) {
    std::vector<ULong> live(t->t_data_used / 8 / 64 + 1);
    for (UInt s = 0; s < t->t_nentries; s++) {
        const UInt e = t->t_entries[s];
        if (e < HASH_DELETED) live[e / 8 / 64] |= ULong(1) << (e / 8 % 64);
    }
    size_t write = 0;
    for (size_t w = 0; w < live.size(); w++) {
        for (ULong bits = live[w]; bits != 0; bits &= bits - 1) {
            const size_t off = (w * 64 + size_t(std::countr_zero(bits))) * 8;
            const UByte* key;
            const UInt len = zk::EntryKey(t, t->t_data + off, &key);
            const size_t length = size_t(key - (t->t_data + off)) + len;
            if (write != off) std::memmove(t->t_data + write, t->t_data + off, length);
            // The padding would otherwise keep bytes of whatever lay there before.
            const size_t padded = (length + 7) & ~size_t(7);
            std::memset(t->t_data + write + length, 0, padded - length);
            write += padded;
        }
    }
    t->t_data_used = write;
    t->t_deleted = 0;
}

}  // namespace

namespace zk {

void HashDelTableNormalize(HashDelTable* table, void* ptr) {
    if (table->t_deleted != 0) HashDelTableGrow(table, kNormalizeFactor, ptr);
}

void HashDelTableTraits::ResizeData(HashDelTable* t, size_t size) {
    t->t_data = static_cast<UByte*>(Allocate_(size, t->t_data, kPath, __LINE__));
    t->t_data_size = size;
    AdviseHugePages(t->t_data, size);
}

std::string CheckHashDelTable(const HashDelTable* t, void* ptr) {
    if (!t->t_aligned) return "table is not aligned";
    if (t->t_nentries != SlotCount(t->t_nkeys_max)) return "slot count is not Prime(3 * capacity / 2)";
    if (ULong(t->t_nkeys) + t->t_deleted > t->t_nkeys_max) return "keys and tombstones exceed the capacity";
    return CheckTable<HashDelTableTraits>(t, ptr, t->t_deleted, true);
}

}  // namespace zk

using Engine = zk::HashDelTableTraits;

extern "C" {

// HashDelTableKey, Size, Capacity, Full, ValueSize, KeySize, Frozen, FindMany, Enumerate, GetOffset and the
// iterator's calls but Init, made as HashTable's are (dict/table_engine.h).
ZK_TABLE_SHARED_CALLS(HashDelTable, Engine, kPath)

ZK_EXPORT void HashDelTableInit(HashDelTable* table, UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                HashEqualFunction equal, UInt val_len, UByte key_size) {
    table->t_hash = hash;
    table->t_value = value;
    table->t_equal = equal;
    table->t_val_len = val_len;
    table->t_key_size = key_size;
    table->t_selected = FALSE;
    table->t_nkeys = 0;
    table->t_deleted = 0;
    table->t_nkeys_max = zk::ClampCapacity(capacity < 5 ? 5 : capacity);
    table->t_nentries = zk::SlotCount(table->t_nkeys_max);
    table->t_entries = static_cast<UInt*>(Allocate_(sizeof(UInt) * size_t(table->t_nentries), nullptr, kPath, __LINE__));
    FillEmpty(table);
    table->t_data_used = 0;
    table->t_data_size = 5 * size_t(table->t_nentries);
    table->t_data = static_cast<UByte*>(Allocate_(table->t_data_size, nullptr, kPath, __LINE__));
    table->t_aligned = TRUE;
}

ZK_EXPORT HashDelTable* HashDelTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                        HashEqualFunction equal, UInt val_len, UByte key_size) {
    auto* table = static_cast<HashDelTable*>(Allocate_(sizeof(HashDelTable), nullptr, kPath, __LINE__));
    HashDelTableInit(table, capacity, hash, value, equal, val_len, key_size);
    return table;
}

ZK_EXPORT void HashDelTableFree(HashDelTable* table) {
    if (table == nullptr) return;
    UnAllocate_(table->t_data, kPath, __LINE__);
    UnAllocate_(table->t_entries, kPath, __LINE__);
    UnAllocate_(table, kPath, __LINE__);
}

ZK_EXPORT Boolean HashDelTableRefuses(const HashDelTable* table) { return Engine::Refuses(table) ? TRUE : FALSE; }

ZK_EXPORT UInt HashDelTableRemoved(const HashDelTable* table) { return table->t_deleted; }

ZK_EXPORT void HashDelTableGrow(HashDelTable* table, float factor, void* ptr) {
    if (table->t_deleted != 0) Rewrite(table);
    ZK_ASSERT(!table->t_selected);
    ZK_ASSERT(factor > 1.0);
    table->t_nkeys_max = zk::GrownCapacity(table->t_nkeys_max, factor);
    table->t_nentries = zk::SlotCount(table->t_nkeys_max);
    table->t_entries = static_cast<UInt*>(
        Allocate_(sizeof(UInt) * size_t(table->t_nentries), table->t_entries, kPath, __LINE__));
    zk::AdviseHugePages(table->t_entries, sizeof(UInt) * size_t(table->t_nentries));
    FillEmpty(table);
    zk::RefileAll<Engine>(table, table->t_entries, table->t_nentries, ptr);
}

ZK_EXPORT void* HashDelTableFind(HashDelTable* table, const void* bytes, UInt len, Boolean create,
                                 UInt* offset, void* ptr) {
    const UInt h = zk::KeyHash(table, bytes, len, ptr);
    ZK_ASSERT(!table->t_selected);
    zk::CheckKeyLength(table->t_key_size, len);
    return zk::FindOrAppend<Engine>(table, bytes, len, h, create, offset, ptr);
}

ZK_EXPORT Boolean HashDelTableRemove(HashDelTable* table, const void* bytes, UInt len, void* ptr) {
    const UInt h = zk::KeyHash(table, bytes, len, ptr);
    ZK_ASSERT(!table->t_selected);
    const zk::ProbeEnd end = zk::LocateKey<Engine>(table, bytes, len, h, ptr);
    if (!end.found) return FALSE;
    table->t_entries[end.slot] = HASH_DELETED;
    table->t_deleted++;
    table->t_nkeys--;
    return TRUE;
}

// ---- walks, selections and positions ----------------------------------------------------------------

ZK_EXPORT UInt HashDelTableSelect(HashDelTable* table, UInt count, HashSelectFunction select, void* ptr) {
    return zk::Select<Engine>(table, count, select, ptr, nullptr);
}

ZK_EXPORT void HashDelTableSort(HashDelTable* table, HashCompareFunction cmp, void* ptr) {
    ZK_ASSERT(cmp != NULL && table->t_selected);
    zk::SortEntries(table, table->t_entries, table->t_nkeys, cmp, ptr);
}

ZK_EXPORT void* HashDelTableGetIndex(const HashDelTable* table, UInt i) {
    ZK_ASSERT(table->t_selected);
    return table->t_data + table->t_entries[i];
}

ZK_EXPORT HashDelTableIterator* HashDelTableIteratorInit(HashDelTable* table, void* ptr) {
    if (table == nullptr) return nullptr;
    auto* it = zk::NewIterator<HashDelTableIterator>(table, kPath, __LINE__);
    if (!table->t_selected) zk::HashDelTableNormalize(table, ptr);
    return it;
}

// ---- clearing, copying, bytes -------------------------------------------------------------------------

ZK_EXPORT void HashDelTableClear(HashDelTable* table) {
    table->t_nkeys = 0;
    table->t_deleted = 0;
    table->t_data_used = 0;
    table->t_selected = FALSE;
    if (table->t_nentries > 10000) {
        // A large table that is emptied gives its memory back rather than sitting on it.
        UnAllocate_(table->t_entries, kPath, __LINE__);
        UnAllocate_(table->t_data, kPath, __LINE__);
        HashDelTableInit(table, 5, table->t_hash, table->t_value, table->t_equal, table->t_val_len,
                         table->t_key_size);
        return;
    }
    FillEmpty(table);
}

ZK_EXPORT HashDelTable* HashDelTableCopy(const HashDelTable* table) {
    auto* copy = static_cast<HashDelTable*>(Allocate_(sizeof(HashDelTable), nullptr, kPath, __LINE__));
    *copy = *table;
    copy->t_data = static_cast<UByte*>(Allocate_(table->t_data_size, nullptr, kPath, __LINE__));
    copy->t_entries = static_cast<UInt*>(Allocate_(sizeof(UInt) * size_t(table->t_nentries), nullptr, kPath, __LINE__));
    if (table->t_data_size != 0) std::memcpy(copy->t_data, table->t_data, table->t_data_size);
    std::memcpy(copy->t_entries, table->t_entries, sizeof(UInt) * size_t(table->t_nentries));
    return copy;
}

ZK_EXPORT void HashDelTableMemWrite(const HashDelTable* table, UByteArray* to) {
    ZK_ASSERT(table->t_data_used < UINT_MAX_VALUE);
    const UInt used = UInt(table->t_data_used);
    UIntMemWrite(to, used);
    // One capacity raise for the data area, then one copy. The need is worked out in 64 bits: a sum
    // that wrapped would pass for a small one and the copy would overrun the array.
    const ULong need = ULong(to->length) + used;
    if (need > to->capacity) {
        const UInt bounded = need > UINT_MAX_VALUE ? UINT_MAX_VALUE : UInt(need);
        ArrayGrowExact_(to, ArrayNextSize(to->capacity, bounded, ZK_ARRAY_MAX_CAPACITY), 1, __FILE__, __LINE__);
    }
    if (used != 0) std::memcpy(to->data + to->length, table->t_data, used);
    to->length += used;
    UIntMemWrite(to, table->t_nentries);
    UIntMemWrite(to, table->t_nkeys_max);
    UIntMemWrite(to, table->t_nkeys);
    UIntMemWrite(to, table->t_deleted);
    // The slots in bulk, growing the array exactly where appending them one UInt at a time would.
    const auto* slots = reinterpret_cast<const UByte*>(table->t_entries);
    for (size_t done = 0, total = sizeof(UInt) * size_t(table->t_nentries); done < total;) {
        if (to->length == to->capacity) ArrayGrow_(to, 1, __FILE__, __LINE__);
        const size_t room = to->capacity - to->length;
        const size_t chunk = total - done < room ? total - done : room;
        std::memcpy(to->data + to->length, slots + done, chunk);
        to->length += UInt(chunk);
        done += chunk;
    }
    UIntMemWrite(to, table->t_val_len);
    UByteMemWrite(to, table->t_key_size);
    BooleanMemWrite(to, table->t_selected);
}

ZK_EXPORT Boolean HashDelTableMemRead(HashDelTable* table, UByte** from, UByte* end) {
    UByte* p = *from;
    UInt used, nslots, nkeysMax, nkeys, deleted, valLen;
    UByte keySize;
    Boolean selected;
    if (!UIntMemRead(&p, end, &used) || size_t(end - p) < used) return FALSE;
    const UByte* data = p;
    p += used;
    if (!UIntMemRead(&p, end, &nslots) || !UIntMemRead(&p, end, &nkeysMax) || !UIntMemRead(&p, end, &nkeys) ||
        !UIntMemRead(&p, end, &deleted) || size_t(end - p) / sizeof(UInt) < nslots)
        return FALSE;
    const UByte* slotBytes = p;
    p += sizeof(UInt) * size_t(nslots);
    if (!UIntMemRead(&p, end, &valLen) || !UByteMemRead(&p, end, &keySize) || !BooleanMemRead(&p, end, &selected))
        return FALSE;

    // The form must describe a table this library could have made: a capacity that growth can
    // enlarge, the slot count it implies, keys and tombstones within it, a used area below the slot
    // markers. Where each key is filed is not checked (that would mean rehashing): a misplaced one is
    // simply not found.
    if (keySize > 4 || nkeysMax < zk::kMinCapacity || nkeysMax > zk::kMaxCapacity || nslots != zk::SlotCount(nkeysMax) ||
        ULong(nkeys) + deleted > nkeysMax || used > zk::kMaxDataUsed)
        return FALSE;
    // The slots are checked in their final block, since the form need not keep them 4-byte aligned.
    auto* slots = static_cast<UInt*>(Allocate_(sizeof(UInt) * size_t(nslots), nullptr, kPath, __LINE__));
    std::memcpy(slots, slotBytes, sizeof(UInt) * size_t(nslots));
    zk::TableImage image{data, used, valLen, keySize, true, slots, nslots, true};
    zk::ImageCounts c;
    const bool sound = zk::CheckImage(image, &c) && c.live == nkeys &&
                       (selected ? c.dense == nkeys && c.deleted == 0 && deleted == 0
                                 : c.deleted == deleted && c.entries == ULong(nkeys) + deleted);
    if (!sound) {
        UnAllocate_(slots, kPath, __LINE__);
        return FALSE;
    }

    table->t_data = static_cast<UByte*>(Allocate_(used, table->t_data, kPath, __LINE__));
    if (used != 0) std::memcpy(table->t_data, data, used);
    UnAllocate_(table->t_entries, kPath, __LINE__);
    table->t_entries = slots;
    table->t_aligned = TRUE;
    table->t_data_used = used;
    table->t_data_size = used;
    table->t_nentries = nslots;
    table->t_nkeys_max = nkeysMax;
    table->t_nkeys = nkeys;
    table->t_deleted = deleted;
    table->t_val_len = valLen;
    table->t_key_size = keySize;
    table->t_selected = selected;
    *from = p;
    return TRUE;
}

}  // extern "C"
