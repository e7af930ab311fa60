// The growable hash table of packed byte-string entries.
#include "dict/hashtable.h"

#include <atomic>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "dict/entry_codec.h"
#include "dict/hashtable_internal.h"

namespace {

constexpr const char* kPath = "dict/hashtable";
constexpr const char* kModule = "zkdict";

std::atomic<bool> g_initialised{false};

// Memory of the data area and the slot array: heap blocks, or page mappings that the kernel can
// resize in place. A failed mapping is fatal: the report does not return.
void* HashMalloc(bool vm, size_t elemSize, size_t count, int line) {
    size_t size = elemSize * count;
    if (!vm) return Allocate_(size, nullptr, kPath, line);
    void* block = MemoryMap_(size, kPath, line);
    if (block == nullptr) {
        ZKSetMessageContext2_(kPath, line, kModule, "HashMalloc", 4, 1);
        ZKMessage_(":hashtable: memory allocation failed: size=%lu", (unsigned long)size);
    }
    return block;
}

void* HashRealloc(bool vm, void* block, size_t elemSize, size_t osize, size_t nsize, int line) {
    ZK_ASSERT(osize <= nsize);
    if (!vm) return Allocate_(elemSize * nsize, block, kPath, line);
    void* moved = MemoryRemap_(block, elemSize * osize, elemSize * nsize, kPath, line);
    if (moved == nullptr) {
        ZKSetMessageContext2_(kPath, line, kModule, "HashRealloc", 4, 1);
        ZKMessage_(":hashtable: memory reallocation failed: size=%lu", (unsigned long)(elemSize * nsize));
    }
    return moved;
}

void HashFree(bool vm, void* block, size_t elemSize, size_t count, int line) {
    if (block == nullptr) return;
    if (!vm) {
        UnAllocate_(block, kPath, line);
        return;
    }
    if (!MemoryUnmap_(block, elemSize * count, kPath, line)) {
        ZKSetMessageContext2_(kPath, line, kModule, "HashFree", 4, 1);
        ZKMessage_(":hashtable: memory deallocation failed: size=%lu", (unsigned long)(elemSize * count));
    }
}

// Capacities beyond the largest whose slot count fits in 32 bits would wrap that count below the
// capacity and leave no empty slot to end a probe.
UInt ClampCapacity(UInt capacity) {
    return capacity > zk::kHashTableMaxCapacity ? zk::kHashTableMaxCapacity : capacity;
}

UInt SlotCount(UInt capacity) { return Prime((3u * capacity) >> 1); }

// The slot at which a probe for the key with hash h ends: the key's slot, or the empty slot where it
// would go. *found tells which.
template <class Equal>
inline UInt Probe(const HashTable* table, UInt h, Equal&& equal, bool* found) {
    const UInt* slots = table->t_entries;
    UInt size = table->t_entries_size;
    UInt s = h % size;
    for (;;) {
        UInt e = slots[s];
        if (e == HASH_EMPTY) {
            *found = false;
            return s;
        }
        if (equal(e)) {
            *found = true;
            return s;
        }
        if (++s == size) s = 0;
    }
}

void FillEmpty(HashTable* table) {
    std::memset(table->t_entries, 0xFF, sizeof(UInt) * size_t(table->t_entries_size));
}

}  // namespace

extern "C" {

ZK_EXPORT void ZKDictInit(void) { g_initialised.store(true, std::memory_order_relaxed); }

ZK_EXPORT UInt HashBytes(const UByte* bytes, UInt len) { return zk::HashBytesFast(bytes, len); }

ZK_EXPORT UInt HashTableKey(const HashTable* table, const void* val, const UByte** bytes) {
    return zk::EntryKey(table, val, bytes);
}

ZK_EXPORT HashTable* HashTableNew(UInt capacity, HashKeyFunction hash, HashValueFunction value,
                                  HashEqualFunction equal, UInt val_len, UByte key_size, Boolean vm) {
    auto* table = static_cast<HashTable*>(Allocate_(sizeof(HashTable), nullptr, kPath, __LINE__));
    table->t_hash = hash;
    table->t_value = value;
    table->t_equal = equal;
    table->t_val_len = val_len;
    table->t_key_size = key_size;
    table->t_vm = vm ? TRUE : FALSE;
    table->t_selected = FALSE;
    table->t_entries_used = 0;
    table->t_entries_capacity = ClampCapacity(capacity < 5 ? 5 : capacity);
    table->t_entries_size = SlotCount(table->t_entries_capacity);
    table->t_entries = static_cast<UInt*>(HashMalloc(table->t_vm, sizeof(UInt), table->t_entries_size, __LINE__));
    FillEmpty(table);
    table->t_data_used = 0;
    table->t_data_size = 5 * size_t(table->t_entries_size);
    table->t_data = static_cast<UByte*>(HashMalloc(table->t_vm, 1, table->t_data_size, __LINE__));
    table->t_aligned = TRUE;
    return table;
}

ZK_EXPORT void HashTableFree(HashTable* table) {
    if (table == nullptr) return;
    HashFree(table->t_vm, table->t_data, 1, table->t_data_size, __LINE__);
    HashFree(table->t_vm, table->t_entries, sizeof(UInt), table->t_entries_size, __LINE__);
    UnAllocate_(table, kPath, __LINE__);
}

ZK_EXPORT UInt HashTableSize(const HashTable* table) { return table->t_entries_used; }

ZK_EXPORT UInt HashTableCapacity(const HashTable* table) { return table->t_entries_capacity; }

ZK_EXPORT Boolean HashTableFull(const HashTable* table) {
    return table->t_entries_used == table->t_entries_capacity;
}

ZK_EXPORT void HashTableGrow(HashTable* table, float factor, void* ptr) {
    ZK_ASSERT(!table->t_selected);
    ZK_ASSERT(factor > 1.0);
    float product = float(table->t_entries_capacity) * factor;
    // Converting a float at or beyond 2^32 to UInt is undefined; such a product is clamped anyway.
    UInt capacity = product >= float(zk::kHashTableMaxCapacity) ? zk::kHashTableMaxCapacity : UInt(product);
    UInt size = SlotCount(capacity);
    table->t_entries = static_cast<UInt*>(
        HashRealloc(table->t_vm, table->t_entries, sizeof(UInt), table->t_entries_size, size, __LINE__));
    table->t_entries_capacity = capacity;
    table->t_entries_size = size;
    FillEmpty(table);
    UInt* slots = table->t_entries;
    zk::ForEachEntry(table, 0, [&](UInt off) {
        const UByte* key;
        UInt len = zk::EntryKey(table, table->t_data + off, &key);
        UInt s = zk::KeyHash(table, key, len, ptr) % size;
        while (slots[s] != HASH_EMPTY)
            if (++s == size) s = 0;
        slots[s] = off;
    });
}

ZK_EXPORT void* HashTableFind(HashTable* table, const void* bytes, UInt len, Boolean create, UInt* offset,
                              void* ptr) {
    UInt h = zk::KeyHash(table, bytes, len, ptr);
    ZK_ASSERT(!table->t_selected);
    zk::CheckKeyLength(table->t_key_size, len);

    // Every occupied slot on the probe path costs a cache miss on its entry, since a slot holds only
    // an offset. Prefetching the next slot's entry while comparing this one overlaps those misses;
    // when the next slot is empty the prefetch harmlessly repeats the current entry.
    const UInt* slots = table->t_entries;
    const UInt size = table->t_entries_size;
    const UByte* prefixes = table->t_data + table->t_val_len;
    UInt s = h % size;
    UInt e = slots[s];
    while (e != HASH_EMPTY) {
        UInt next = s + 1 == size ? 0 : s + 1;
        UInt f = slots[next];
        __builtin_prefetch(prefixes + (f == HASH_EMPTY ? e : f));
        if (zk::EntryMatches(table, e, bytes, len, ptr)) {
            if (offset) *offset = e;
            return table->t_data + e;
        }
        s = next;
        e = f;
    }
    if (!create || table->t_entries_used == table->t_entries_capacity) return nullptr;

    auto resize = [table](size_t size) {
        table->t_data = static_cast<UByte*>(
            HashRealloc(table->t_vm, table->t_data, 1, table->t_data_size, size, __LINE__));
        table->t_data_size = size;
    };
    UInt entry;
    if (zk::AppendEntry(table, bytes, len, ptr, resize, &entry) != zk::Append::kCreated) return nullptr;
    table->t_entries_used++;
    table->t_entries[s] = entry;
    if (offset) *offset = entry;
    return table->t_data + entry;
}

ZK_EXPORT void HashTableClear(HashTable* table) {
    table->t_entries_used = 0;
    table->t_data_used = 0;
    table->t_selected = FALSE;
    FillEmpty(table);
}

ZK_EXPORT HashTable* HashTableCopy(const HashTable* table) {
    auto* copy = static_cast<HashTable*>(Allocate_(sizeof(HashTable), nullptr, kPath, __LINE__));
    *copy = *table;
    copy->t_data = static_cast<UByte*>(HashMalloc(copy->t_vm, 1, copy->t_data_size, __LINE__));
    copy->t_entries = static_cast<UInt*>(HashMalloc(copy->t_vm, sizeof(UInt), copy->t_entries_size, __LINE__));
    std::memcpy(copy->t_data, table->t_data, table->t_data_size);
    std::memcpy(copy->t_entries, table->t_entries, sizeof(UInt) * size_t(table->t_entries_size));
    return copy;
}

}  // extern "C"

namespace zk {

std::string CheckHashTable(const HashTable* t, void* ptr) {
    auto fail = [](const std::string& what) { return what; };
    if (t->t_key_size > 4) return fail("key size above 4");
    if (t->t_entries_size != SlotCount(t->t_entries_capacity)) return fail("slot count is not Prime(3 * capacity / 2)");
    if (t->t_entries_used > t->t_entries_capacity) return fail("more entries than the capacity");
    if (t->t_data_used > t->t_data_size) return fail("used data area exceeds its size");
    if (t->t_data_used > kMaxDataUsed) return fail("used data area reaches the slot markers");

    std::unordered_set<UInt> entries;
    for (size_t off = 0; off < t->t_data_used;) {
        if (t->t_aligned && off % 8 != 0) return fail("unaligned entry at " + std::to_string(off));
        size_t next = NextEntry(t, off);
        if (next > (t->t_aligned ? (t->t_data_used + 7) & ~size_t(7) : t->t_data_used))
            return fail("entry at " + std::to_string(off) + " runs past the used area");
        entries.insert(UInt(off));
        off = next;
    }

    UInt filled = 0;
    std::unordered_set<UInt> seen;
    for (UInt s = 0; s < t->t_entries_size; s++) {
        UInt e = t->t_entries[s];
        if (e == HASH_EMPTY) continue;
        filled++;
        if (!entries.count(e)) return fail("slot " + std::to_string(s) + " holds no entry's offset");
        if (!seen.insert(e).second) return fail("offset " + std::to_string(e) + " filed twice");
    }
    if (filled != t->t_entries_used) return fail("filled slots differ from the entry count");
    if (t->t_selected) {
        for (UInt s = t->t_entries_used; s < t->t_entries_size; s++)
            if (t->t_entries[s] != HASH_EMPTY) return fail("selected list is not dense");
        return {};
    }
    if (entries.size() != t->t_entries_used) return fail("entries in the data area differ from the count");
    for (UInt off : entries) {
        const UByte* key;
        UInt len = EntryKey(t, t->t_data + off, &key);
        bool found;
        UInt s = Probe(t, KeyHash(t, key, len, ptr), [&](UInt e) { return EntryMatches(t, e, key, len, ptr); },
                       &found);
        if (!found || t->t_entries[s] != off)
            return fail("entry at " + std::to_string(off) + " is not the first match on its probe path");
    }
    return {};
}

}  // namespace zk
