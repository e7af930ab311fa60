// hashtable_internal.h: what the library's own sources and tests reach inside a HashTable.
#ifndef ZKDICT_DICT_HASHTABLE_INTERNAL_H
#define ZKDICT_DICT_HASHTABLE_INTERNAL_H

#include <cstdio>
#include <string>

#include "dict/hashtable.h"
#include "dict/table_engine.h"

namespace zk {

// How the shared table engine sees a HashTable: linear probing, nothing to purge before a walk, a
// new key refused only by a full table, selections in place or into a caller's array.
struct HashTableTraits : TableTraits<HashTable, LinearProbe, false, &HashTable::t_entries_used,
                                     &HashTable::t_entries_size, &HashTable::t_entries_capacity> {
    static void Normalize(HashTable*, void*) {}
    static bool Refuses(const HashTable* t) { return Full(t); }
    static void ResizeData(HashTable* t, size_t size);
};

// The memory of the data area and the slot array, by the table's kind: heap blocks, or page
// mappings that the kernel resizes in place. Counts are in elements of elemSize bytes. A failed
// mapping is fatal: its report does not return. line is the caller's, for the reports.
void* HashMalloc(bool vm, size_t elemSize, size_t count, int line);
void* HashRealloc(bool vm, void* block, size_t elemSize, size_t osize, size_t nsize, int line);
void HashFree(bool vm, void* block, size_t elemSize, size_t count, int line);

// HashTableRead on an open stream; name is what the reports call it. The stream stays open.
HashTable* HashTableReadStream(std::FILE* f, const char* name, HashKeyFunction hash, HashValueFunction value,
                               HashEqualFunction equal, Boolean vm);

// What HashTableWrite puts in the header's two data-area fields: t_data_used, and the data-area
// bytes that follow the slots (the allocated size, or only the used part when the allocation has
// outgrown the format's 32 bits). FALSE when the table cannot be represented at all.
bool HashTableFileDataSize(const HashTable* table, size_t* dataBytes);

// Whether a table loaded from a file holds whole entries and matches its header's counts, its data
// area walked with padding (aligned) or without: outside a selection every entry is counted (though
// a selection into an array may have emptied its slots); a selected table holds its list densely in
// the first slots.
bool LoadedImageSound(const HashTable& t, bool aligned);

// Checks every invariant of a table: sizes and counts, slot contents against the entries of the
// data area, and (outside a selection) that every entry is the first match on its key's probe path.
// Returns an empty string when the table is sound, else a description of the first fault. ptr is
// passed to the table's callbacks.
std::string CheckHashTable(const HashTable* table, void* ptr);

}  // namespace zk

#endif  // ZKDICT_DICT_HASHTABLE_INTERNAL_H
