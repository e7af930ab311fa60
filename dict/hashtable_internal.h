// hashtable_internal.h: what the library's own tests and tools may reach inside a HashTable.
#ifndef ZKDICT_DICT_HASHTABLE_INTERNAL_H
#define ZKDICT_DICT_HASHTABLE_INTERNAL_H

#include <string>

#include "dict/hashtable.h"

namespace zk {

// The largest capacity whose slot count (3 * capacity) >> 1 still fits in 32 bits.
inline constexpr UInt kHashTableMaxCapacity = 0x55555555u;

// Checks every invariant of a table: sizes and counts, slot contents against the entries of the
// data area, and (outside a selection) that every entry is the first match on its key's probe path.
// Returns an empty string when the table is sound, else a description of the first fault. ptr is
// passed to the table's callbacks.
std::string CheckHashTable(const HashTable* table, void* ptr);

}  // namespace zk

#endif  // ZKDICT_DICT_HASHTABLE_INTERNAL_H
