// hashdeltable_internal.h: what the library's own sources and tests reach inside a HashDelTable.
#ifndef ZKDICT_DICT_HASHDELTABLE_INTERNAL_H
#define ZKDICT_DICT_HASHDELTABLE_INTERNAL_H

#include <string>

#include "dict/hashdeltable.h"
#include "dict/table_engine.h"

namespace zk {

// Purges the tombstones and the removed entries' bytes (a compaction and a re-filing at almost the
// same capacity); nothing happens when there are none.
void HashDelTableNormalize(HashDelTable* table, void* ptr);

// How the shared table engine sees a HashDelTable: double hashing, tombstones purged before a walk,
// selections only in place.
struct HashDelTableTraits : TableTraits<HashDelTable, DoubleProbe, true, &HashDelTable::t_nkeys,
                                        &HashDelTable::t_nentries, &HashDelTable::t_nkeys_max> {
    static void Normalize(HashDelTable* t, void* ptr) { HashDelTableNormalize(t, ptr); }
    // The capacity rule, each tombstone counting twice. The creating lookup applies it and
    // HashDelTableRefuses reports it, so that the two cannot drift apart.
    static bool Refuses(const HashDelTable* t) {
        return ULong(t->t_nkeys) + 2 * ULong(t->t_deleted) >= t->t_nkeys_max;
    }
    static void ResizeData(HashDelTable* t, size_t size);
};

// Checks every invariant of a table: sizes and counts, tombstones, slot contents against the entries
// of the data area, and (outside a selection) that every live entry is the first match on its key's
// probe path. Returns an empty string when the table is sound, else a description of the first
// fault. ptr is passed to the table's callbacks.
std::string CheckHashDelTable(const HashDelTable* table, void* ptr);

}  // namespace zk

#endif  // ZKDICT_DICT_HASHDELTABLE_INTERNAL_H
