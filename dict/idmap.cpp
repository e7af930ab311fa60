// IdMap and RefMap: one linear-probing map over a prime slot count, at two key widths.
#include "dict/idmap.h"

#include <algorithm>
#include <string>
#include <vector>

#include "dict/idmap_internal.h"
#include "dict/table_engine.h"

// The number of entries, as the assertions name it.
#define SIZE(map) ((map)->m_used.length)

namespace zk {
namespace {

constexpr const char* kPath = "dict/idmap";
constexpr UInt kFirstCapacity = 10;

template <class Map, class Entry, class Key, Key kNone>
class IntMap {
public:
    static Map* New() {
        Map* map = static_cast<Map*>(Allocate_(sizeof(Map), nullptr, kPath, __LINE__));
        map->m_capacity = 0;
        map->m_allocated = 0;
        map->m_entries = nullptr;
        ArrayInit_(&map->m_used);
        Grow(map, kFirstCapacity);
        return map;
    }

    static void Delete(Map* map) {
        ZK_ASSERT(map != NULL);
        if (map->m_used.data != nullptr) ArrayFree_(&map->m_used);
        if (map->m_entries != nullptr) UnAllocate_(map->m_entries, kPath, __LINE__);
        UnAllocate_(map, kPath, __LINE__);
    }

    static void Clear(Map* map) {
        ZK_ASSERT(map != NULL);
        Entry* entries = map->m_entries;
        const UInt* used = map->m_used.data;
        const UInt n = SIZE(map);
        // The slots are scattered over a table that may be far larger than the entries: asking for
        // them ahead lets the misses overlap instead of being paid one after another.
        constexpr UInt kAhead = 16;
        for (UInt i = 0; i < n; ++i) {
            if (i + kAhead < n) __builtin_prefetch(&entries[used[i + kAhead]], 1);
            entries[used[i]].e_key = kNone;
        }
        SIZE(map) = 0;
    }

    static void Get(const Map* map, UInt n, Key* key, Key* val) {
        ZK_ASSERT(map != NULL && n < SIZE(map));
        const Entry& e = map->m_entries[map->m_used.data[n]];
        if (key != nullptr) *key = e.e_key;
        if (val != nullptr) *val = e.e_val;
    }

    static Key Find(Map* map, Key key, Key create, Key update, Boolean* added) {
        for (;;) {
            Entry* entries = map->m_entries;
            const UInt slots = map->m_allocated;
            UInt i = static_cast<UInt>(key % slots);
            for (;;) {
                const Key k = entries[i].e_key;
                if (k == key) {
                    if (added != nullptr) *added = FALSE;
                    if (update != kNone) entries[i].e_val = update;
                    return entries[i].e_val;
                }
                if (k == kNone) break;
                if (++i == slots) i = 0;
            }
            if (create == kNone) {
                if (added != nullptr) *added = FALSE;
                return kNone;
            }
            if (SIZE(map) == map->m_capacity) {
                Grow(map, GrowthTarget(SIZE(map)));
                ZK_ASSERT(SIZE(map) < map->m_capacity);
                continue;  // the slot found belongs to the old table
            }
            if (added != nullptr) *added = TRUE;
            entries[i].e_key = key;
            entries[i].e_val = create;
            UIntArray& used = map->m_used;
            if (used.length == used.capacity) ArrayGrow_(&used, sizeof(UInt), kPath, __LINE__);
            used.data[used.length++] = i;
            return create;
        }
    }

    static void Grow(Map* map, UInt capacity) {
        if (map->m_capacity >= capacity) return;
        const UInt slots = IdMapSlotCount(capacity);
        Entry* old = map->m_entries;
        const UInt oldSlots = map->m_allocated;
        auto* entries = static_cast<Entry*>(Allocate_(sizeof(Entry) * size_t(slots), nullptr, kPath, __LINE__));
        AdviseHugePages(entries, sizeof(Entry) * size_t(slots));
        std::fill_n(entries, slots, Entry{kNone, Key()});
        map->m_capacity = capacity;
        map->m_allocated = slots;
        map->m_entries = entries;
        SIZE(map) = 0;
        for (UInt s = 0; s < oldSlots; ++s) {
            const Entry* entry = &old[s];
            if (entry->e_key == kNone) continue;
            Boolean added;
            const Key val = Find(map, entry->e_key, entry->e_val, kNone, &added);
            ZK_ASSERT(val == entry->e_val && added);
        }
        if (old != nullptr) UnAllocate_(old, kPath, __LINE__);
    }

    static std::string Check(const Map* map) {
        if (map == nullptr) return "no map";
        if (SIZE(map) > map->m_capacity) return "more entries than the capacity";
        if (map->m_capacity >= map->m_allocated) return "no more slots than the capacity";
        if (map->m_allocated != IdMapSlotCount(map->m_capacity)) return "slot count does not follow the capacity";
        if (map->m_used.length > map->m_used.capacity) return "m_used longer than its storage";
        std::vector<bool> listed(map->m_allocated);
        for (UInt n = 0; n < SIZE(map); ++n) {
            const UInt s = map->m_used.data[n];
            if (s >= map->m_allocated) return "m_used names a slot beyond the table";
            if (listed[s]) return "a slot listed twice in m_used";
            listed[s] = true;
            const Entry& e = map->m_entries[s];
            if (e.e_key == kNone) return "m_used names an empty slot";
            if (e.e_val == kNone) return "a value equals the sentinel";
            // Every slot from the key's start up to its own must be full, or the probe stops short.
            for (UInt i = static_cast<UInt>(e.e_key % map->m_allocated); i != s; i = (i + 1) % map->m_allocated) {
                const Key k = map->m_entries[i].e_key;
                if (k == kNone) return "a key beyond an empty slot of its probe path";
                if (k == e.e_key) return "a key stored twice";
            }
        }
        for (UInt s = 0; s < map->m_allocated; ++s) {
            if (!listed[s] && map->m_entries[s].e_key != kNone) return "a full slot missing from m_used";
        }
        return {};
    }

private:
    static UInt GrowthTarget(UInt size) {
        const UInt capacity = IdMapGrownCapacity(size);
        if (capacity == 0) {
            ZKSetMessageContext2_(kPath, __LINE__, "zkdict", "IdMapGrow", 4, 0);
            ZKMessage_("memory allocation failed: a map holds at most %u entries", IDMAP_MAX_CAPACITY);
        }
        return capacity;
    }
};

using IdMapImpl = IntMap<IdMap, IdMapEntry, Id, NOID>;
using RefMapImpl = IntMap<RefMap, RefMapEntry, ULong, NOREF>;

}  // namespace

UInt IdMapGrownCapacity(UInt size) {
    if (size >= IDMAP_MAX_CAPACITY) return 0;
    return static_cast<UInt>(std::min<ULong>(2 * ULong(size), IDMAP_MAX_CAPACITY));
}

UInt IdMapSlotCount(UInt capacity) { return Prime(static_cast<UInt>(ULong(capacity) * 3 / 2)); }

std::string IdMapCheck(const IdMap* map) { return IdMapImpl::Check(map); }
std::string RefMapCheck(const RefMap* map) { return RefMapImpl::Check(map); }

}  // namespace zk

extern "C" {

ZK_EXPORT IdMap* IdMapNew(void) { return zk::IdMapImpl::New(); }

ZK_EXPORT void IdMapDelete(IdMap* map) { zk::IdMapImpl::Delete(map); }

ZK_EXPORT void IdMapClear(IdMap* map) { zk::IdMapImpl::Clear(map); }

ZK_EXPORT UInt IdMapSize(const IdMap* map) {
    ZK_ASSERT(map != NULL);
    return SIZE(map);
}

ZK_EXPORT void IdMapGet(const IdMap* map, UInt n, Id* key, Id* val) { zk::IdMapImpl::Get(map, n, key, val); }

ZK_EXPORT Id IdMapFind(IdMap* map, Id key, Id create, Id update, Boolean* added) {
    ZK_ASSERT(map != NULL && key != NOID);
    return zk::IdMapImpl::Find(map, key, create, update, added);
}

ZK_EXPORT RefMap* RefMapNew(void) { return zk::RefMapImpl::New(); }

ZK_EXPORT void RefMapDelete(RefMap* map) { zk::RefMapImpl::Delete(map); }

ZK_EXPORT void RefMapClear(RefMap* map) { zk::RefMapImpl::Clear(map); }

ZK_EXPORT UInt RefMapSize(const RefMap* map) {
    ZK_ASSERT(map != NULL);
    return SIZE(map);
}

ZK_EXPORT void RefMapGet(const RefMap* map, UInt n, ULong* key, ULong* val) {
    zk::RefMapImpl::Get(map, n, key, val);
}

ZK_EXPORT ULong RefMapFind(RefMap* map, ULong key, ULong create, ULong update, Boolean* added) {
    ZK_ASSERT(map != NULL && key != NOREF);
    return zk::RefMapImpl::Find(map, key, create, update, added);
}

}  // extern "C"
