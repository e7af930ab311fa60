// table_engine.h: what the two packed hash tables share beyond the entry codec: the walks over all
// their entries (enumeration, selection, sorting, access by position, iteration), the re-filing of
// every entry into a fresh slot array, the checks of a table image read from outside the process,
// and the invariant checker of the tests.
//
// The tables differ in the names of their counts, in their probe schemes, in whether a walk first
// purges removed entries, in their capacity rules and memory, and in whether a selection may go to
// a caller's array. Each table describes itself to the engine with a traits class, most of it
// TableTraits below:
//
//   struct Traits {
//       using Table = ...;                        // the record
//       using Probe = ...;                        // the probe sequence, see LinearProbe
//       static UInt& Count(Table*);               // entries (after an in-place selection: selected)
//       static UInt Count(const Table*);
//       static UInt Slots(const Table*);          // slot count
//       static UInt Capacity(const Table*);       // entries accepted
//       static bool Full(const Table*);           // Count reaches Capacity
//       static constexpr bool kTombstones;        // whether slots may hold HASH_DELETED
//       static void Normalize(Table*, void* ptr); // run before walks of an unselected table
//       static bool Refuses(const Table*);        // whether a new key is refused for capacity now
//       static void ResizeData(Table*, size_t);   // enlarges the data area to that many bytes
//   };
//
// Both tables' exported calls that do the same thing are stamped out once, by ZK_TABLE_SHARED_CALLS
// at the end.
#ifndef ZKDICT_DICT_TABLE_ENGINE_H
#define ZKDICT_DICT_TABLE_ENGINE_H

#include <cerrno>
#include <string>
#include <vector>

#include "dict/entry_codec.h"
#include "dict/hashentry.h"
#include "dict/huge_pages.h"
#include "zklib/zklib.h"

namespace zk {

// Linear probing: the start slot, then each next one, wrapping. It never gives up by itself; the
// table's load keeps an empty slot on every path.
//
// Both probes start from a hash, or from a start slot already reduced modulo the slot count.
struct AtSlot {
    UInt slot;
};

class LinearProbe {
public:
    static constexpr bool kScattered = false;  // the next slots share the current one's line
    static constexpr bool kComesRound = false; // Next never ends the path
    LinearProbe() = default;                   // unset, to be assigned
    LinearProbe(UInt slots, UInt hash) : LinearProbe(slots, AtSlot{hash % slots}) {}
    LinearProbe(UInt slots, AtSlot start) : size_(slots), slot_(start.slot) {}
    UInt slot() const { return slot_; }
    bool Next() {
        if (++slot_ == size_) slot_ = 0;
        return true;
    }

private:
    UInt size_, slot_;
};

// Double hashing with a step that depends only on the start slot. With a prime slot count the
// sequence visits every slot once; Next is FALSE when it would come back to the start.
class DoubleProbe {
public:
    static constexpr bool kScattered = true;
    static constexpr bool kComesRound = true;
    DoubleProbe() = default;  // unset, to be assigned
    DoubleProbe(UInt slots, UInt hash) : DoubleProbe(slots, AtSlot{hash % slots}) {}
    DoubleProbe(UInt slots, AtSlot start)
        : size_(slots), start_(start.slot), slot_(start_), step_((slots - 2) - (start_ % (slots - 2))) {}
    UInt slot() const { return slot_; }
    bool Next() {
        slot_ = slot_ >= size_ - step_ ? slot_ - (size_ - step_) : slot_ + step_;
        return slot_ != start_;
    }

private:
    UInt size_, start_, slot_, step_;
};

// What the traits of both tables read alike: the record's counts, named through pointers to its
// members, which compile to the plain field accesses.
template <class T, class P, bool kTomb, UInt T::*kCount, UInt T::*kSlots, UInt T::*kCapacity>
struct TableTraits {
    using Table = T;
    using Probe = P;
    static constexpr bool kTombstones = kTomb;
    static UInt& Count(T* t) { return t->*kCount; }
    static UInt Count(const T* t) { return t->*kCount; }
    static UInt Slots(const T* t) { return t->*kSlots; }
    static UInt Capacity(const T* t) { return t->*kCapacity; }
    static bool Full(const T* t) { return t->*kCount == t->*kCapacity; }
};

// ---- lookups -----------------------------------------------------------------------------------

// Where a probe for a key ended: on the slot that holds it (found, with its entry's offset), or else
// on the empty slot that ends its path (open), or, neither, after coming round to its start.
struct ProbeEnd {
    UInt slot;
    UInt entry;
    bool found;
    bool open;
};

// A slot holds only an offset, so every filled slot of a probe path costs a miss on its entry, and
// with double hashing another on the slot itself. Neighbouring slots share a line: while one entry
// is compared, the next one is asked for, and a key found in its first slot, the usual case, pays
// for nothing behind it. Far slots do not share lines: the next few are asked for together from the
// hash alone, and when the first entry is not the key, the entries of all the filled ones are asked
// for before any of them is compared. A batch of lookups (FindMany) goes further and asks for the
// slots and entries of many paths before comparing any.
//
// kProbeAhead steps cover the path of most absent keys at the highest load.
template <class Probe>
inline constexpr UInt kProbeAhead = Probe::kScattered ? 4 : 8;

// Asks for the slots of the next kProbeAhead steps of probe.
template <class Probe>
inline void PrefetchSlots(const UInt* slots, Probe probe) {
    __builtin_prefetch(slots + probe.slot());
    if constexpr (Probe::kScattered) {
        for (UInt i = 1; i < kProbeAhead<Probe> && probe.Next(); ++i) __builtin_prefetch(slots + probe.slot());
    }
}

// The filled slots of a path from probe on, at most kProbeAhead of them, passing over removed ones:
// their positions into at and their offsets into e, each entry asked for. Stops early on an empty
// slot (*open) or when the path comes round to its start (*more false); probe is left on the slot
// after the last one read, or on the empty one. Returns how many it found.
template <class Probe>
[[gnu::always_inline]] inline UInt GatherPath(const UByte* prefixes, const UInt* slots, Probe& probe, bool* more,
                                              bool* open, UInt* at, UInt* e) {
    UInt n = 0;
    while (n < kProbeAhead<Probe> && *more) {
        const UInt x = slots[probe.slot()];
        if (x == HASH_EMPTY) {
            *open = true;
            break;
        }
        if (x != HASH_DELETED) {
            __builtin_prefetch(prefixes + x);
            at[n] = probe.slot();
            e[n++] = x;
        }
        *more = probe.Next();
    }
    return n;
}

// Walks the probe path of a key, in probe order, to the first slot whose entry matches(offset) or
// the first empty slot, passing over removed ones when the table has them (kTombstones), asking for
// what comes next as described above; the comparisons run in probe order either way, so the answer
// is that of a plain walk. Always inlined: out of line, every comparison would fetch the key and the
// table's fields back through the closure.
template <class Probe, bool kTombstones, class Matches>
[[gnu::always_inline]] inline ProbeEnd ProbeFor(const UByte* prefixes, const UInt* slots, Probe probe,
                                                Matches&& matches) {
    if constexpr (Probe::kScattered) {
        PrefetchSlots(slots, probe);
        // The usual key sits in its first slot: compare it before gathering what lies behind.
        const UInt x = slots[probe.slot()];
        if (x == HASH_EMPTY) return {probe.slot(), 0, false, true};
        if (x != HASH_DELETED && matches(x)) return {probe.slot(), x, true, false};
        for (bool more = probe.Next(), open = false; more;) {
            PrefetchSlots(slots, probe);
            UInt at[kProbeAhead<Probe>], e[kProbeAhead<Probe>];
            const UInt n = GatherPath(prefixes, slots, probe, &more, &open, at, e);
            for (UInt i = 0; i < n; ++i)
                if (matches(e[i])) return {at[i], e[i], true, false};
            if (open) return {probe.slot(), 0, false, true};
        }
        return {0, 0, false, false};
    } else {
        UInt x = slots[probe.slot()];
        while (x != HASH_EMPTY) {
            Probe next = probe;
            const bool more = next.Next();
            const UInt y = more ? slots[next.slot()] : HASH_EMPTY;
            // A marker asks for the current entry again, which costs nothing.
            __builtin_prefetch(prefixes + (y < HASH_DELETED ? y : x));
            if ((!kTombstones || x != HASH_DELETED) && matches(x)) return {probe.slot(), x, true, false};
            if (!more) return {0, 0, false, false};
            probe = next;
            x = y;
        }
        return {probe.slot(), 0, false, true};
    }
}

// The probe for a key by the table's own equality, from the start of its path; hash is the key's hash.
template <class Traits>
[[gnu::always_inline]] inline ProbeEnd LocateKey(const typename Traits::Table* t, const void* bytes, UInt len,
                                                 typename Traits::Probe start, void* ptr) {
    return ProbeFor<typename Traits::Probe, Traits::kTombstones>(
        t->t_data + t->t_val_len, t->t_entries, start, [&](UInt e) { return EntryMatches(t, e, bytes, len, ptr); });
}

template <class Traits>
[[gnu::always_inline]] inline ProbeEnd LocateKey(const typename Traits::Table* t, const void* bytes, UInt len,
                                                 UInt hash, void* ptr) {
    return LocateKey<Traits>(t, bytes, len, typename Traits::Probe(Traits::Slots(t), hash), ptr);
}

// The lookup of both tables' Find, after the caller has hashed the key (with hash) and checked the
// call's preconditions: the value pointer of the entry whose key matches, else, with create, that
// of a new entry appended to the data area and filed in the empty slot that ended the probe, unless
// the table refuses the key. *offset, when offset is not NULL, receives the entry's offset. Always
// inlined, so that each table's Find is the one function it was written as.
template <class Traits>
[[gnu::always_inline]] inline void* FindOrAppend(typename Traits::Table* t, const void* bytes, UInt len, UInt hash,
                                                 Boolean create, UInt* offset, void* ptr) {
    const ProbeEnd end = LocateKey<Traits>(t, bytes, len, hash, ptr);
    if (end.found) {
        if (offset) *offset = end.entry;
        return t->t_data + end.entry;
    }
    // A probe that came round without meeting an empty slot has nowhere to file a key; the capacity
    // rules rule that out for every table this library makes.
    if (!create || (Traits::Probe::kComesRound && !end.open) || Traits::Refuses(t)) return nullptr;
    UInt entry;
    auto resize = [t](size_t size) { Traits::ResizeData(t, size); };
    if (AppendEntry(t, bytes, len, ptr, resize, &entry) != Append::kCreated) return nullptr;
    Traits::Count(t)++;
    t->t_entries[end.slot] = entry;
    if (offset) *offset = entry;
    return t->t_data + entry;
}

// Looks up n keys as n lookups without creation would, but a batch at a time, so that the misses of
// different keys overlap too: every key of a batch is hashed and its first slots asked for, then the
// start of every path read and its entries asked for, and only then is any key compared. Key i is
// keys[i], lens[i] bytes; values[i] gets its value area or NULL. A key longer than the table's
// fixed-width lengths allow cannot be present, and is answered NULL. FALSE, with errno EINVAL and
// nothing written, for a NULL or frozen table or NULL arrays.
template <class Traits>
bool FindMany(const typename Traits::Table* t, UInt n, const void* const* keys, const UInt* lens, void** values,
              void* ptr) {
    if (t == nullptr || t->t_selected || (n != 0 && (keys == nullptr || lens == nullptr || values == nullptr))) {
        errno = EINVAL;
        return false;
    }
    using Probe = typename Traits::Probe;
    constexpr UInt kBatch = 16;
    const UByte* prefixes = t->t_data + t->t_val_len;
    const UInt* slots = t->t_entries;
    const UInt nslots = Traits::Slots(t);
    const ULong widest = t->t_key_size == 0 || t->t_key_size >= 4 ? ~ULong(0) : (ULong(1) << (8 * t->t_key_size)) - 1;
    for (UInt base = 0; base < n; base += kBatch) {
        const UInt m = n - base < kBatch ? n - base : kBatch;
        Probe starts[kBatch];
        for (UInt i = 0; i < m; ++i) {
            starts[i] = Probe(nslots, KeyHash(t, keys[base + i], lens[base + i], ptr));
            PrefetchSlots(slots, starts[i]);
        }
        for (UInt i = 0; i < m; ++i) {
            Probe probe = starts[i];
            bool more = true, open = false;
            UInt at[kProbeAhead<Probe>], e[kProbeAhead<Probe>];
            GatherPath(prefixes, slots, probe, &more, &open, at, e);
        }
        for (UInt i = 0; i < m; ++i) {
            values[base + i] = nullptr;
            if (lens[base + i] > widest) continue;
            const ProbeEnd end = LocateKey<Traits>(t, keys[base + i], lens[base + i], starts[i], ptr);
            if (end.found) values[base + i] = t->t_data + end.entry;
        }
    }
    return true;
}

// ---- walks -------------------------------------------------------------------------------------

// Calls fun on every entry of the data area from offset on, in storage order, until it returns
// non-zero. On an unselected table the walk re-reads the data area before every step, so fun may
// insert: the area may move and entries appended meanwhile are visited too. A selected table
// cannot change, and its walk ends where the data area ended when it started.
template <class Traits>
UInt Enumerate(typename Traits::Table* t, UInt offset, HashEnumerateFunction fun, void* ptr) {
    const bool frozen = t->t_selected;
    if (!frozen) Traits::Normalize(t, ptr);
    const size_t end = t->t_data_used;
    for (size_t off = offset; off < (frozen ? end : t->t_data_used); off = NextEntry(t, off))
        if (UInt r = fun(t->t_data + off, ptr)) return r;
    return 0;
}

// Takes every filed entry out of the slot array, in slot order, and keeps at most count of those
// that select accepts (all of them when select is NULL; count 0 means no limit): into array, or
// without one densely into the first slots, which freezes the table. A selected table selects
// again from its current list. Returns the number kept.
template <class Traits>
UInt Select(typename Traits::Table* t, UInt count, HashSelectFunction select, void* ptr, UIntArray* array) {
    Traits::Normalize(t, ptr);
    const UInt scan = t->t_selected ? Traits::Count(t) : Traits::Slots(t);
    if (array == nullptr) {
        t->t_selected = TRUE;
    } else {
        array->length = 0;
    }
    if (count == 0) count = scan;
    UInt* slots = t->t_entries;
    UInt n = 0;
    for (UInt s = 0; s < scan; s++) {
        const UInt e = slots[s];
        if (e == HASH_EMPTY) continue;
        slots[s] = HASH_EMPTY;
        if (n < count && (select == nullptr || select(t->t_data + e, ptr))) {
            if (array == nullptr) {
                slots[n] = e;
            } else {
                if (array->length == array->capacity) ArrayGrow_(array, sizeof(UInt), __FILE__, __LINE__);
                array->data[array->length++] = e;
            }
            n++;
        }
    }
    if (array == nullptr) Traits::Count(t) = n;
    return n;
}

// The comparison QSort hands two entry offsets to: the caller's comparison of their value pointers.
inline int CompareEntries(const void* a, const void* b, void* arg) {
    const auto* d = static_cast<const HashSortData*>(arg);
    UInt x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return d->d_cmp(d->d_data + x, d->d_data + y, d->d_ptr);
}

// Sorts a list of n entry offsets by the caller's comparison; only offsets move.
template <class Table>
void SortEntries(const Table* t, UInt* list, UInt n, HashCompareFunction cmp, void* ptr) {
    HashSortData data{cmp, t->t_data, ptr};
    QSort(list, n, sizeof(UInt), CompareEntries, &data);
}

// The iterator of either table: the table and the offset of the current entry. Every call reads the
// table's current data area, so an iterator survives insertions and reaches appended entries last.
template <class Iterator, class Table>
Iterator* NewIterator(const Table* t, const char* path, int line) {
    auto* it = static_cast<Iterator*>(Allocate_(sizeof(Iterator), nullptr, path, line));
    it->t_hash = t;
    it->t_offset = 0;
    return it;
}

template <class Iterator>
bool IteratorEnd(const Iterator* it) {
    return it->t_offset >= it->t_hash->t_data_used;
}

template <class Iterator>
void IteratorNext(Iterator* it) {
    it->t_offset = UInt(NextEntry(it->t_hash, it->t_offset));
}

template <class Iterator>
UInt IteratorKey(const Iterator* it, const UByte** bytes) {
    return EntryKey(it->t_hash, it->t_hash->t_data + it->t_offset, bytes);
}

template <class Iterator>
void* IteratorValue(const Iterator* it) {
    return it->t_hash->t_data + it->t_offset;
}

// ---- re-filing ---------------------------------------------------------------------------------

// Files every entry of the data area, in storage order, into the first empty slot of its probe
// path in slots (size slots, all empty on entry, more than there are entries). A batch of entries is
// hashed before any is filed, so that the slot misses of the batch overlap instead of queueing.
template <class Traits>
void RefileAll(const typename Traits::Table* t, UInt* slots, UInt size, void* ptr) {
    using Probe = typename Traits::Probe;
    constexpr int kBatch = 16;
    UInt offsets[kBatch], firsts[kBatch];
    auto file = [&](int n) {
        for (int i = 0; i < n; i++) {
            Probe probe(size, AtSlot{firsts[i]});
            while (slots[probe.slot()] != HASH_EMPTY) probe.Next();
            slots[probe.slot()] = offsets[i];
        }
    };
    int n = 0;
    for (size_t off = 0; off < t->t_data_used; off = NextEntry(t, off)) {
        const UByte* key;
        const UInt len = EntryKey(t, t->t_data + off, &key);
        offsets[n] = UInt(off);
        firsts[n] = KeyHash(t, key, len, ptr) % size;
        __builtin_prefetch(slots + firsts[n], 1);
        if (++n == kBatch) {
            file(n);
            n = 0;
        }
    }
    file(n);
}

// ---- images from outside the process -------------------------------------------------------------

// A table image as read: its data area, its slot array and what the entries' layout depends on.
struct TableImage {
    const UByte* data;
    size_t used;     // bytes of the data area in use, already checked against what was read
    UInt val_len;
    UByte key_size;  // already checked to be at most 4
    bool aligned;
    const UInt* slots;
    UInt nslots;
    bool tombstones; // whether HASH_DELETED may appear in the slots
};

struct ImageCounts {
    UInt entries = 0;  // entries in the data area
    UInt live = 0;     // slots holding an entry offset
    UInt deleted = 0;  // slots holding HASH_DELETED
    UInt dense = 0;    // how many slots from slot 0 on hold entry offsets without a gap
};

// Checks an image before a table is made of it: the used data area must be a clean sequence of
// whole entries (each on its alignment, with a well-formed length prefix, ending inside the used
// area), and every slot must hold a marker or the offset of one of those entries, no entry twice.
// Counts what it saw into *counts. One pass over the data area and one over the slots; the marks
// cost a bit per possible entry start, at most an eighth of the bytes read.
bool CheckImage(const TableImage& image, ImageCounts* counts);

// ---- invariants (for the tests) ----------------------------------------------------------------

// The faults of a table that its own operations must never produce, as the description of the
// first one found, or an empty string: counts against the slots and the data area, every slot
// holding a marker or the offset of an entry (each once), the selected list dense, and (outside a
// selection) every live entry the first match on its own key's probe path.
template <class Traits>
std::string CheckTable(const typename Traits::Table* t, void* ptr, UInt deletedSlots, bool tombstones) {
    using Probe = typename Traits::Probe;
    if (t->t_key_size > 4) return "key size above 4";
    if (Traits::Slots(t) <= Traits::Capacity(t)) return "no more slots than the capacity";
    if (Traits::Count(t) > Traits::Capacity(t)) return "more entries than the capacity";
    if (t->t_data_used > t->t_data_size) return "used data area exceeds its size";
    if (t->t_data_used > kMaxDataUsed) return "used data area reaches the slot markers";
    TableImage image{t->t_data, t->t_data_used, t->t_val_len, t->t_key_size, t->t_aligned != 0,
                     t->t_entries,  Traits::Slots(t), tombstones};
    ImageCounts c;
    if (!CheckImage(image, &c)) return "data area or slots do not hold whole entries";
    if (c.deleted != deletedSlots) return "tombstones differ from their count";
    if (c.live != Traits::Count(t)) return "filled slots differ from the entry count";
    if (t->t_selected) {
        if (c.dense != c.live || c.deleted != 0) return "selected list is not dense";
        return {};
    }
    // Outside a selection every entry of the data area is either filed or stands for a tombstone.
    if (c.entries != c.live + c.deleted) return "entries in the data area differ from the slots";
    for (UInt s = 0; s < Traits::Slots(t); s++) {
        const UInt e = t->t_entries[s];
        if (e >= HASH_DELETED) continue;
        const UByte* key;
        const UInt len = EntryKey(t, t->t_data + e, &key);
        Probe probe(Traits::Slots(t), KeyHash(t, key, len, ptr));
        for (;;) {
            const UInt f = t->t_entries[probe.slot()];
            if (f == HASH_EMPTY) return "entry at " + std::to_string(e) + " is not on its probe path";
            if (f != HASH_DELETED && EntryMatches(t, f, key, len, ptr)) break;
            if (!probe.Next()) return "entry at " + std::to_string(e) + " is not on its probe path";
        }
        if (t->t_entries[probe.slot()] != e)
            return "entry at " + std::to_string(e) + " is shadowed by an equal key";
    }
    return {};
}

}  // namespace zk

// The exported calls in which the two tables do not differ, defined once for both: Prefix is the
// record's name (HashTable, HashDelTable), Traits the table's traits and path the name its source
// gives zklib's allocation reports. Each table's source stamps them out inside its extern "C" block:
// PrefixKey, PrefixSize, PrefixCapacity, PrefixFull, PrefixValueSize, PrefixKeySize, PrefixFrozen,
// PrefixFindMany, PrefixEnumerate, PrefixGetOffset and the iterator's End, Next, GetKey, GetValue,
// Copy and Finalize.
#define ZK_TABLE_SHARED_CALLS(Prefix, Traits, path)                                                                    \
    ZK_EXPORT UInt Prefix##Key(const Prefix* table, const void* val, const UByte** bytes) {                            \
        return zk::EntryKey(table, val, bytes);                                                                        \
    }                                                                                                                  \
    ZK_EXPORT UInt Prefix##Size(const Prefix* table) { return Traits::Count(table); }                                  \
    ZK_EXPORT UInt Prefix##Capacity(const Prefix* table) { return Traits::Capacity(table); }                           \
    ZK_EXPORT Boolean Prefix##Full(const Prefix* table) { return Traits::Full(table) ? TRUE : FALSE; }                 \
    ZK_EXPORT UInt Prefix##ValueSize(const Prefix* table) { return table->t_val_len; }                                 \
    ZK_EXPORT UByte Prefix##KeySize(const Prefix* table) { return table->t_key_size; }                                 \
    ZK_EXPORT Boolean Prefix##Frozen(const Prefix* table) { return table->t_selected ? TRUE : FALSE; }                 \
    ZK_EXPORT Boolean Prefix##FindMany(const Prefix* table, UInt n, const void* const* keys, const UInt* lens,        \
                                       void** values, void* ptr) {                                                     \
        return zk::FindMany<Traits>(table, n, keys, lens, values, ptr) ? TRUE : FALSE;                                 \
    }                                                                                                                  \
    ZK_EXPORT UInt Prefix##Enumerate(Prefix* table, UInt offset, HashEnumerateFunction fun, void* ptr) {               \
        return zk::Enumerate<Traits>(table, offset, fun, ptr);                                                         \
    }                                                                                                                  \
    ZK_EXPORT void* Prefix##GetOffset(const Prefix* table, UInt offset) { return table->t_data + offset; }             \
    ZK_EXPORT Boolean Prefix##IteratorEnd(const Prefix##Iterator* it) { return zk::IteratorEnd(it) ? TRUE : FALSE; }   \
    ZK_EXPORT void Prefix##IteratorNext(Prefix##Iterator* it) { zk::IteratorNext(it); }                                \
    ZK_EXPORT UInt Prefix##IteratorGetKey(const Prefix##Iterator* it, const UByte** kLen) {                            \
        return zk::IteratorKey(it, kLen);                                                                              \
    }                                                                                                                  \
    ZK_EXPORT void* Prefix##IteratorGetValue(const Prefix##Iterator* it) { return zk::IteratorValue(it); }             \
    ZK_EXPORT Prefix##Iterator* Prefix##IteratorCopy(const Prefix##Iterator* it) {                                     \
        if (it == nullptr) return nullptr;                                                                             \
        auto* copy = static_cast<Prefix##Iterator*>(Allocate_(sizeof(Prefix##Iterator), nullptr, path, __LINE__));     \
        *copy = *it;                                                                                                   \
        return copy;                                                                                                   \
    }                                                                                                                  \
    ZK_EXPORT void Prefix##IteratorFinalize(Prefix##Iterator* it) { UnAllocate_(it, path, __LINE__); }

#endif  // ZKDICT_DICT_TABLE_ENGINE_H
