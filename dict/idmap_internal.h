// idmap_internal.h: what the tests reach of the integer maps beyond the exported functions.
#ifndef ZKDICT_DICT_IDMAP_INTERNAL_H
#define ZKDICT_DICT_IDMAP_INTERNAL_H

#include <string>

#include "dict/idmap.h"

namespace zk {

// The capacity a map of size entries grows to when it is full: twice the size, at most
// IDMAP_MAX_CAPACITY; 0 when a map of that size cannot grow at all.
UInt IdMapGrownCapacity(UInt size);

// The slot count for a capacity, computed without wrapping: Prime(capacity * 3 / 2).
UInt IdMapSlotCount(UInt capacity);

// The map's invariants: sizes, every used slot listed exactly once in m_used and no other slot
// holding a key, no sentinel value, every key found first on its own probe path. Empty when they
// hold, else what is wrong.
std::string IdMapCheck(const IdMap* map);
std::string RefMapCheck(const RefMap* map);

}  // namespace zk

#endif  // ZKDICT_DICT_IDMAP_INTERNAL_H
