// The growable hash table of packed byte-string entries.
#include "dict/hashtable.h"

#include <atomic>
#include <cstring>
#include <string>

#include "dict/entry_codec.h"
#include "dict/hashtable_internal.h"
#include "dict/huge_pages.h"

namespace {

constexpr const char* kPath = "dict/hashtable";
constexpr const char* kModule = "zkdict";

std::atomic<bool> g_initialised{false};

void FillEmpty(HashTable* table) {
    std::memset(table->t_entries, 0xFF, sizeof(UInt) * size_t(table->t_entries_size));
}

using Engine = zk::HashTableTraits;

}  // namespace

namespace zk {

// Lookups land at random in both blocks, so both ask for huge pages.
void* HashMalloc(bool vm, size_t elemSize, size_t count, int line) {
    size_t size = elemSize * count;
    void* block = vm ? MemoryMap_(size, kPath, line) : Allocate_(size, nullptr, kPath, line);
    if (block == nullptr) {
        ZKSetMessageContext2_(kPath, line, kModule, "HashMalloc", 4, 1);
        ZKMessage_(":hashtable: memory allocation failed: size=%lu", (unsigned long)size);
    }
    AdviseHugePages(block, size);
    return block;
}

void* HashRealloc(bool vm, void* block, size_t elemSize, size_t osize, size_t nsize, int line) {
    ZK_ASSERT(osize <= nsize);
    void* moved = vm ? MemoryRemap_(block, elemSize * osize, elemSize * nsize, kPath, line)
                     : Allocate_(elemSize * nsize, block, kPath, line);
    if (moved == nullptr) {
        ZKSetMessageContext2_(kPath, line, kModule, "HashRealloc", 4, 1);
        ZKMessage_(":hashtable: memory reallocation failed: size=%lu", (unsigned long)(elemSize * nsize));
    }
    AdviseHugePages(moved, elemSize * nsize);
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

}  // namespace zk

using zk::HashFree;
using zk::HashMalloc;
using zk::HashRealloc;

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
    table->t_entries_capacity = zk::ClampCapacity(capacity < 5 ? 5 : capacity);
    table->t_entries_size = zk::SlotCount(table->t_entries_capacity);
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

ZK_EXPORT UInt HashTableValueSize(const HashTable* table) { return table->t_val_len; }

ZK_EXPORT UByte HashTableKeySize(const HashTable* table) { return table->t_key_size; }

ZK_EXPORT Boolean HashTableFrozen(const HashTable* table) { return table->t_selected ? TRUE : FALSE; }

ZK_EXPORT void HashTableGrow(HashTable* table, float factor, void* ptr) {
    ZK_ASSERT(!table->t_selected);
    ZK_ASSERT(factor > 1.0);
    UInt capacity = zk::GrownCapacity(table->t_entries_capacity, factor);
    UInt size = zk::SlotCount(capacity);
    table->t_entries = static_cast<UInt*>(
        HashRealloc(table->t_vm, table->t_entries, sizeof(UInt), table->t_entries_size, size, __LINE__));
    table->t_entries_capacity = capacity;
    table->t_entries_size = size;
    FillEmpty(table);
    zk::RefileAll<Engine>(table, table->t_entries, size, ptr);
}

ZK_EXPORT void* HashTableFind(HashTable* table, const void* bytes, UInt len, Boolean create, UInt* offset,
                              void* ptr) {
    UInt h = zk::KeyHash(table, bytes, len, ptr);
    ZK_ASSERT(!table->t_selected);
    zk::CheckKeyLength(table->t_key_size, len);

    const zk::ProbeEnd end = zk::LocateKey<Engine>(table, bytes, len, h, ptr);
    if (end.found) {
        if (offset) *offset = end.entry;
        return table->t_data + end.entry;
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
    table->t_entries[end.slot] = entry;
    if (offset) *offset = entry;
    return table->t_data + entry;
}

ZK_EXPORT Boolean HashTableFindMany(const HashTable* table, UInt n, const void* const* keys, const UInt* lens,
                                    void** values, void* ptr) {
    return zk::FindMany<Engine>(table, n, keys, lens, values, ptr) ? TRUE : FALSE;
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

// ---- walks, selections and positions ----------------------------------------------------------------

ZK_EXPORT UInt HashTableEnumerate(HashTable* table, UInt offset, HashEnumerateFunction fun, void* ptr) {
    return zk::Enumerate<Engine>(table, offset, fun, ptr);
}

ZK_EXPORT UInt HashTableSelect(HashTable* table, UInt count, HashSelectFunction select, void* ptr,
                               UIntArray* array) {
    return zk::Select<Engine>(table, count, select, ptr, array);
}

ZK_EXPORT void HashTableSort(HashTable* table, HashCompareFunction cmp, void* ptr, UIntArray* entries) {
    ZK_ASSERT(cmp != NULL && (entries != NULL || table->t_selected));
    if (entries != nullptr) {
        zk::SortEntries(table, entries->data, entries->length, cmp, ptr);
    } else {
        zk::SortEntries(table, table->t_entries, table->t_entries_used, cmp, ptr);
    }
}

ZK_EXPORT void* HashTableGetIndex(const HashTable* table, UInt i, const UIntArray* entries) {
    if (entries != nullptr) return table->t_data + entries->data[i];
    ZK_ASSERT(table->t_selected);
    return table->t_data + table->t_entries[i];
}

ZK_EXPORT void* HashTableGetOffset(const HashTable* table, UInt offset) { return table->t_data + offset; }

ZK_EXPORT HashTableIterator* HashTableIteratorInit(const HashTable* table) {
    if (table == nullptr) return nullptr;
    auto* it = static_cast<HashTableIterator*>(Allocate_(sizeof(HashTableIterator), nullptr, kPath, __LINE__));
    it->t_hash = table;
    it->t_offset = 0;
    return it;
}

ZK_EXPORT Boolean HashTableIteratorEnd(const HashTableIterator* it) { return zk::IteratorEnd(it) ? TRUE : FALSE; }

ZK_EXPORT void HashTableIteratorNext(HashTableIterator* it) { zk::IteratorNext(it); }

ZK_EXPORT UInt HashTableIteratorGetKey(const HashTableIterator* it, const UByte** kLen) {
    return zk::IteratorKey(it, kLen);
}

ZK_EXPORT void* HashTableIteratorGetValue(const HashTableIterator* it) { return zk::IteratorValue(it); }

ZK_EXPORT HashTableIterator* HashTableIteratorCopy(const HashTableIterator* it) {
    if (it == nullptr) return nullptr;
    auto* copy = static_cast<HashTableIterator*>(Allocate_(sizeof(HashTableIterator), nullptr, kPath, __LINE__));
    *copy = *it;
    return copy;
}

ZK_EXPORT void HashTableIteratorFinalize(HashTableIterator* it) { UnAllocate_(it, kPath, __LINE__); }

}  // extern "C"

namespace zk {

std::string CheckHashTable(const HashTable* t, void* ptr) {
    if (t->t_entries_size != SlotCount(t->t_entries_capacity)) return "slot count is not Prime(3 * capacity / 2)";
    return CheckTable<HashTableTraits>(t, ptr, 0, false);
}

}  // namespace zk
