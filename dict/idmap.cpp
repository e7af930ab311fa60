// IdMap and RefMap: one linear-probing map over a prime slot count, at two key widths.
#include "dict/idmap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__) && !defined(ZK_IDMAP_PORTABLE)
#include <emmintrin.h>
#endif

#include "dict/huge_pages.h"
#include "dict/idmap_internal.h"

// The number of entries, as the assertions name it.
#define SIZE(map) ((map)->m_used.length)

namespace zk {
namespace {

constexpr const char* kPath = "dict/idmap";
constexpr UInt kFirstCapacity = 10;

// Beside the slots, in the same block, each slot has a tag byte: 0 when the slot is empty, else
// 0x80 and seven bits of a hash of its key. A probe reads the tags a group at a time and touches a
// slot only when its tag matches, so a lookup of an absent key mostly stays in the tag bytes (an
// eighth of the slots' size for IdMap, a sixteenth for RefMap), and the outcome of a probe, decided
// within the first group nearly always, is one the processor predicts: lookups that do not depend
// on each other overlap their cache misses. The slots themselves stay exactly where linear probing
// from key mod m_allocated puts them. The first kGroup - 1 tags are repeated after the last, so
// that a group read near the end of the table wraps without a second load.
#if defined(__SSE2__) && !defined(ZK_IDMAP_PORTABLE)
constexpr UInt kGroup = 16;
constexpr int kLaneShift = 0;  // one mask bit per tag
using GroupMask = UInt;

// The tags of a group that equal tag, and those of empty slots, as bit masks.
inline void MatchGroup(const UByte* tags, UByte tag, GroupMask* match, GroupMask* free) {
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags));
    *match = UInt(_mm_movemask_epi8(_mm_cmpeq_epi8(g, _mm_set1_epi8(char(tag)))));
    *free = UInt(_mm_movemask_epi8(_mm_cmpeq_epi8(g, _mm_setzero_si128())));
}
#else
constexpr UInt kGroup = 8;
constexpr int kLaneShift = 3;  // bit 7 of each byte
using GroupMask = ULong;

// Bit 7 of each byte of the result is set where that byte of x is 0, and no other bit: exact,
// since no byte's sum carries into the next.
inline ULong ZeroBytes(ULong x) {
    constexpr ULong kLow7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

inline void MatchGroup(const UByte* tags, UByte tag, GroupMask* match, GroupMask* free) {
    ULong g;
    std::memcpy(&g, tags, sizeof g);  // lane j is the byte at tags + j on this little-endian host
    *match = ZeroBytes(g ^ (0x0101010101010101ull * tag));
    *free = ZeroBytes(g);
}
#endif

// The top bits of a multiplicative hash depend on every bit of the key, and are nearly independent
// of the key's remainder by the slot count, which the neighbours in a probe share.
template <class Key>
inline UByte TagOf(Key key) {
    return UByte(0x80 | ((ULong(key) * 0x9E3779B97F4A7C15ull) >> 57));
}

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
        UByte* tags = Tags(map);
        const UInt slots = map->m_allocated;
        const UInt* used = map->m_used.data;
        const UInt n = SIZE(map);
        // The slots are scattered over a table that may be far larger than the entries: asking for
        // them ahead lets the misses overlap instead of being paid one after another.
        constexpr UInt kAhead = 16;
        for (UInt i = 0; i < n; ++i) {
            if (i + kAhead < n) {
                __builtin_prefetch(&entries[used[i + kAhead]], 1);
                __builtin_prefetch(&tags[used[i + kAhead]], 1);
            }
            const UInt s = used[i];
            entries[s].e_key = kNone;
            SetTag(tags, slots, s, 0);
        }
        SIZE(map) = 0;
    }

    static UInt Size(const Map* map) {
        ZK_ASSERT(map != NULL);
        return SIZE(map);
    }

    static void Get(const Map* map, UInt n, Key* key, Key* val) {
        ZK_ASSERT(map != NULL && n < SIZE(map));
        const Entry& e = map->m_entries[map->m_used.data[n]];
        if (key != nullptr) *key = e.e_key;
        if (val != nullptr) *val = e.e_val;
    }

    // The common outcomes, decided on the first group of tags: the first candidate is the key, or
    // an empty slot comes before any candidate, so the key is absent and, when created, goes there.
    // Everything else (a tag shared by another key, a group without an empty slot) goes the long
    // way. Kept small, so that many independent lookups fit in flight at once.
    static Key Find(Map* map, Key key, Key create, Key update, Boolean* added) {
        return FindFrom(map, key, static_cast<UInt>(key % map->m_allocated), create, update, added);
    }

    // Looks up n keys a batch at a time: the tag group and start line of every key of a batch are
    // asked for before any key is looked up, so that the misses of different keys overlap.
    static Boolean FindMany(const Map* map, UInt n, const Key* keys, Key* values) {
        if (map == nullptr || (n != 0 && (keys == nullptr || values == nullptr))) {
            errno = EINVAL;
            return FALSE;
        }
        constexpr UInt kBatch = 16;
        // Asked to neither add nor update, a lookup writes nothing.
        Map* m = const_cast<Map*>(map);
        const UInt slots = map->m_allocated;
        const UByte* tags = Tags(map);
        UInt starts[kBatch];
        for (UInt base = 0; base < n; base += kBatch) {
            const UInt count = n - base < kBatch ? n - base : kBatch;
            for (UInt j = 0; j < count; ++j) {
                starts[j] = static_cast<UInt>(keys[base + j] % slots);
                __builtin_prefetch(tags + starts[j]);
                __builtin_prefetch(&map->m_entries[starts[j]]);
            }
            for (UInt j = 0; j < count; ++j) {
                const Key key = keys[base + j];
                values[base + j] = key == kNone ? kNone : FindFrom(m, key, starts[j], kNone, kNone, nullptr);
            }
        }
        return TRUE;
    }

    // Find, for the key's start slot i.
    static Key FindFrom(Map* map, Key key, UInt i, Key create, Key update, Boolean* added) {
        Entry* entries = map->m_entries;
        const UInt slots = map->m_allocated;
        // A key that is present nearly always sits in its start slot or the next one: asking for
        // their lines now overlaps those misses with the one on the tags, instead of paying them in
        // turn. The second is usually the first line again, and then costs nothing.
        __builtin_prefetch(&entries[i]);
        __builtin_prefetch(&entries[i] + 1);
        GroupMask match, free;
        MatchGroup(reinterpret_cast<const UByte*>(entries + slots) + i, TagOf(key), &match, &free);
        match &= (free & (0 - free)) - 1;  // only the slots before the first empty one; all without one
        if (match != 0) [[likely]] {
            Entry* e = &entries[SlotOf(i, match, slots)];
            if (e->e_key == key) [[likely]] return Found(e, update, added);
        } else if (free != 0) {
            return Absent(map, key, create, added, SlotOf(i, free, slots));
        }
        return FindSlow(map, key, create, update, added, i);
    }

    static void Grow(Map* map, UInt capacity) {
        if (map->m_capacity >= capacity) return;
        const UInt slots = IdMapSlotCount(capacity);
        Entry* old = map->m_entries;
        const UInt oldSlots = map->m_allocated;
        const size_t bytes = BlockBytes(slots);
        auto* entries = static_cast<Entry*>(Allocate_(bytes, nullptr, kPath, __LINE__));
        AdviseHugePages(entries, bytes);
        std::fill_n(entries, slots, Entry{kNone, Key()});
        std::memset(entries + slots, 0, size_t(slots) + kGroup);
        map->m_capacity = capacity;
        map->m_allocated = slots;
        map->m_entries = entries;
        SIZE(map) = 0;
        // The keys land all over the new table; a second cursor runs ahead over the old one and
        // asks for the lines of the keys to come, so that their misses overlap.
        constexpr UInt kAhead = 8;
        UInt ahead = 0;
        auto fetch = [&] {
            while (ahead < oldSlots && old[ahead].e_key == kNone) ++ahead;
            if (ahead == oldSlots) return;
            const UInt start = static_cast<UInt>(old[ahead++].e_key % slots);
            __builtin_prefetch(Tags(map) + start, 1);
            __builtin_prefetch(&entries[start], 1);
        };
        for (UInt k = 0; k < kAhead; ++k) fetch();
        for (UInt s = 0; s < oldSlots; ++s) {
            const Entry* entry = &old[s];
            if (entry->e_key == kNone) continue;
            fetch();
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
        const UInt slots = map->m_allocated;
        const UByte* tags = Tags(map);
        std::vector<bool> listed(slots);
        for (UInt n = 0; n < SIZE(map); ++n) {
            const UInt s = map->m_used.data[n];
            if (s >= slots) return "m_used names a slot beyond the table";
            if (listed[s]) return "a slot listed twice in m_used";
            listed[s] = true;
            const Entry& e = map->m_entries[s];
            if (e.e_key == kNone) return "m_used names an empty slot";
            if (e.e_val == kNone) return "a value equals the sentinel";
            // Every slot from the key's start up to its own must be full, or the probe stops short.
            for (UInt i = static_cast<UInt>(e.e_key % slots); i != s; i = (i + 1) % slots) {
                const Key k = map->m_entries[i].e_key;
                if (k == kNone) return "a key beyond an empty slot of its probe path";
                if (k == e.e_key) return "a key stored twice";
            }
        }
        for (UInt s = 0; s < slots; ++s) {
            const Key k = map->m_entries[s].e_key;
            if (!listed[s] && k != kNone) return "a full slot missing from m_used";
            if (tags[s] != (k == kNone ? 0 : TagOf(k))) return "a tag that does not match its slot";
        }
        for (UInt j = 0; j < kGroup; ++j) {
            if (tags[slots + j] != (j < kGroup - 1 ? tags[j] : 0)) return "the repeated tags differ from the first ones";
        }
        return {};
    }

private:
    static Key Found(Entry* e, Key update, Boolean* added) {
        if (added != nullptr) *added = FALSE;
        if (update != kNone) e->e_val = update;
        return e->e_val;
    }

    // key is absent, and empty is where its probe ends: a plain lookup answers the sentinel, a
    // creating one stores key there (after growing, when the map is at capacity).
    static Key Absent(Map* map, Key key, Key create, Boolean* added, UInt empty) {
        if (create == kNone) {
            if (added != nullptr) *added = FALSE;
            return kNone;
        }
        return Insert(map, key, create, added, empty);
    }

    [[gnu::noinline]] static Key FindSlow(Map* map, Key key, Key create, Key update, Boolean* added, UInt start) {
        UInt empty;
        if (Entry* e = Probe(map, key, start, &empty)) return Found(e, update, added);
        return Absent(map, key, create, added, empty);
    }

    [[gnu::noinline]] static Key Insert(Map* map, Key key, Key create, Boolean* added, UInt empty) {
        if (SIZE(map) == map->m_capacity) {
            Grow(map, GrowthTarget(SIZE(map)));
            ZK_ASSERT(SIZE(map) < map->m_capacity);
            // The slot found before belongs to the old table.
            Probe(map, key, static_cast<UInt>(key % map->m_allocated), &empty);
        }
        if (added != nullptr) *added = TRUE;
        map->m_entries[empty].e_key = key;
        map->m_entries[empty].e_val = create;
        SetTag(Tags(map), map->m_allocated, empty, TagOf(key));
        UIntArray& used = map->m_used;
        if (used.length == used.capacity) ArrayGrow_(&used, sizeof(UInt), kPath, __LINE__);
        used.data[used.length++] = empty;
        return create;
    }

    // The slot of the lowest lane set in mask, for the group read at slot i.
    static UInt SlotOf(UInt i, GroupMask mask, UInt slots) {
        const UInt s = i + UInt(__builtin_ctzll(mask) >> kLaneShift);
        return s >= slots ? s - slots : s;
    }

    // The slot holding key, probing from slot start, or NULL with *empty the first empty slot of
    // the probe: where key goes.
    static Entry* Probe(const Map* map, Key key, UInt start, UInt* empty) {
        Entry* entries = map->m_entries;
        const UByte* tags = Tags(map);
        const UInt slots = map->m_allocated;
        const UByte tag = TagOf(key);
        UInt i = start;
        for (;;) {
            GroupMask match, free;
            MatchGroup(tags + i, tag, &match, &free);
            // Only the slots before the first empty one belong to the probe.
            match &= (free & (0 - free)) - 1;
            for (; match != 0; match &= match - 1) {
                Entry* e = &entries[SlotOf(i, match, slots)];
                if (e->e_key == key) [[likely]] return e;
            }
            if (free != 0) [[likely]] {
                *empty = SlotOf(i, free, slots);
                return nullptr;
            }
            i += kGroup;
            if (i >= slots) i -= slots;
        }
    }

    static size_t BlockBytes(UInt slots) { return sizeof(Entry) * size_t(slots) + size_t(slots) + kGroup; }

    static UByte* Tags(const Map* map) { return reinterpret_cast<UByte*>(map->m_entries + map->m_allocated); }

    static void SetTag(UByte* tags, UInt slots, UInt s, UByte tag) {
        tags[s] = tag;
        if (s < kGroup - 1) tags[slots + s] = tag;
    }

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

// The exported calls in which the two widths do not differ, defined once for both: Prefix is the
// map's name (IdMap, RefMap), Key its key and value type, Impl its IntMap. Find stays with each
// width, since its assertion names the width's own sentinel.
#define ZK_INT_MAP_CALLS(Prefix, Key, Impl)                                                                           \
    ZK_EXPORT Prefix* Prefix##New(void) { return Impl::New(); }                                                        \
    ZK_EXPORT void Prefix##Delete(Prefix* map) { Impl::Delete(map); }                                                  \
    ZK_EXPORT void Prefix##Clear(Prefix* map) { Impl::Clear(map); }                                                    \
    ZK_EXPORT UInt Prefix##Size(const Prefix* map) { return Impl::Size(map); }                                         \
    ZK_EXPORT void Prefix##Get(const Prefix* map, UInt n, Key* key, Key* val) { Impl::Get(map, n, key, val); }         \
    ZK_EXPORT Boolean Prefix##FindMany(const Prefix* map, UInt n, const Key* keys, Key* values) {                      \
        return Impl::FindMany(map, n, keys, values);                                                                   \
    }

extern "C" {

ZK_INT_MAP_CALLS(IdMap, Id, zk::IdMapImpl)
ZK_INT_MAP_CALLS(RefMap, ULong, zk::RefMapImpl)

ZK_EXPORT Id IdMapFind(IdMap* map, Id key, Id create, Id update, Boolean* added) {
    ZK_ASSERT(map != NULL && key != NOID);
    return zk::IdMapImpl::Find(map, key, create, update, added);
}

ZK_EXPORT ULong RefMapFind(RefMap* map, ULong key, ULong create, ULong update, Boolean* added) {
    ZK_ASSERT(map != NULL && key != NOREF);
    return zk::RefMapImpl::Find(map, key, create, update, added);
}

}  // extern "C"
