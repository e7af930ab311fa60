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

void HashTableTraits::ResizeData(HashTable* t, size_t size) {
    t->t_data = static_cast<UByte*>(HashRealloc(t->t_vm, t->t_data, 1, t->t_data_size, size, __LINE__));
    t->t_data_size = size;
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

// HashTableKey, Size, Capacity, Full, ValueSize, KeySize, Frozen, FindMany, Enumerate, GetOffset and the
// iterator's calls but Init, made as HashDelTable's are (dict/table_engine.h).
ZK_TABLE_SHARED_CALLS(HashTable, Engine, kPath)

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
    return zk::FindOrAppend<Engine>(table, bytes, len, h, create, offset, ptr);
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

ZK_EXPORT HashTableIterator* HashTableIteratorInit(const HashTable* table) {
    if (table == nullptr) return nullptr;
    return zk::NewIterator<HashTableIterator>(table, kPath, __LINE__);
}

}  // extern "C"

namespace zk {

std::string CheckHashTable(const HashTable* t, void* ptr) {
    if (t->t_entries_size != SlotCount(t->t_entries_capacity)) return "slot count is not Prime(3 * capacity / 2)";
    return CheckTable<HashTableTraits>(t, ptr, 0, false);
}

}  // namespace zk
