// Arbitrary bytes as a HashTable file, read through an in-memory stream (the stream's size is not
// known to the reader, so its growing reads are exercised too), into heap or mapped memory by the
// low bit of the input's length. A rejected input must be reported as a read error with EINVAL. An
// accepted one must be the image byte for byte, pass the invariant checker (placement aside, see
// table_fuzz.h), and then survive everything a caller does with a loaded table: walks, lookups,
// insertion and growth, selection and sorting; bytes past the image drive the insertions.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dict/hashtable.h"
#include "dict/hashtable_internal.h"
#include "fuzz/table_fuzz.h"

namespace {

using zkfuzz::Touch;
using zkfuzz::View;

constexpr const char* kName = "fuzz-input";
constexpr size_t kHeaderSize = 37;
// Insertions are skipped for larger value areas: a loaded table may legitimately ask for any size
// of value area, and a few entries of gigabytes each would only test the fuzzer's memory limit.
constexpr UInt kMaxValLen = 1u << 12;

template <class T>
T Field(const UByte* bytes, size_t at) {
    T value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
}

struct Entry {
    UInt offset;
    std::string key;
};

std::string_view KeyAt(const HashTable* t, UInt offset) {
    const UByte* key;
    const UInt len = HashTableKey(t, t->t_data + offset, &key);
    return View(key, len);
}

// Every entry in storage order, by enumeration, each checked to lie inside the used data area and
// touched whole.
std::vector<Entry> Entries(HashTable* t) {
    struct Walk {
        HashTable* t;
        std::vector<Entry> out;
    } walk{t, {}};
    const UInt r = HashTableEnumerate(
        t, 0,
        [](void* val, void* ptr) -> UInt {
            auto* w = static_cast<Walk*>(ptr);
            const UByte* v = static_cast<const UByte*>(val);
            const UByte* key;
            const UInt len = HashTableKey(w->t, val, &key);
            ZKFUZZ_REQUIRE(v >= w->t->t_data && key >= v + w->t->t_val_len);
            ZKFUZZ_REQUIRE(size_t(key - w->t->t_data) + len <= w->t->t_data_used);
            Touch(v, w->t->t_val_len);
            Touch(key, len);
            w->out.push_back({UInt(v - w->t->t_data), std::string(View(key, len))});
            return 0;
        },
        &walk);
    ZKFUZZ_REQUIRE(r == 0);
    return std::move(walk.out);
}

// The iterator sees what the enumeration saw, in the same order; a walk from an entry's offset
// starts there and stops where its function says.
void CheckWalks(HashTable* t, const std::vector<Entry>& entries) {
    HashTableIterator* it = HashTableIteratorInit(t);
    ZKFUZZ_REQUIRE(it != nullptr);
    size_t i = 0;
    for (; !HashTableIteratorEnd(it); HashTableIteratorNext(it), i++) {
        ZKFUZZ_REQUIRE(i < entries.size());
        ZKFUZZ_REQUIRE(HashTableIteratorGetValue(it) == t->t_data + entries[i].offset);
        const UByte* key;
        const UInt len = HashTableIteratorGetKey(it, &key);
        Touch(key, len);
        ZKFUZZ_REQUIRE(View(key, len) == entries[i].key);
    }
    ZKFUZZ_REQUIRE(i == entries.size());
    HashTableIteratorFinalize(it);

    if (entries.empty()) return;
    const size_t from = entries.size() / 2;
    struct Stop {
        UByte* data;
        UInt seen;
        UInt first;
    } stop{t->t_data, 0, HASH_EMPTY};
    const UInt r = HashTableEnumerate(
        t, entries[from].offset,
        [](void* val, void* ptr) -> UInt {
            auto* s = static_cast<Stop*>(ptr);
            if (s->seen++ == 0) s->first = UInt(static_cast<UByte*>(val) - s->data);
            return s->seen == 2 ? 7 : 0;
        },
        &stop);
    const bool two = entries.size() - from >= 2;
    ZKFUZZ_REQUIRE(stop.first == entries[from].offset);
    ZKFUZZ_REQUIRE(r == (two ? 7u : 0u) && stop.seen == (two ? 2u : 1u));
}

bool IsEntry(const std::vector<Entry>& entries, UInt offset) {
    auto at = std::lower_bound(entries.begin(), entries.end(), offset,
                               [](const Entry& e, UInt o) { return e.offset < o; });
    return at != entries.end() && at->offset == offset;
}

UInt FilledSlots(const HashTable* t) {
    UInt n = 0;
    for (UInt s = 0; s < t->t_entries_size; s++) n += t->t_entries[s] != HASH_EMPTY;
    return n;
}

// Runs the checker where it applies: after a selection into an array was saved, a table holds more
// entries than it files, which the reader accepts and the checker (rightly, for a live table) does
// not. Tells whether the table was checked and found sound.
bool Sound(const HashTable* t) {
    if (FilledSlots(t) != HashTableSize(t)) return false;
    return ZKFUZZ_SHAPE(zk::CheckHashTable(t, nullptr));
}

// A lookup may miss on a table with misplaced entries, but a hit is always an entry with that key.
void LookUp(HashTable* t, const std::vector<Entry>& entries, std::string_view key) {
    UInt off = HASH_EMPTY;
    void* v = HashTableFind(t, key.data(), UInt(key.size()), FALSE, &off, nullptr);
    if (v == nullptr) return;
    ZKFUZZ_REQUIRE(v == t->t_data + off && IsEntry(entries, off));
    ZKFUZZ_REQUIRE(KeyAt(t, off) == key);
}

void RequireSorted(const HashTable* t, UInt n, const UIntArray* list) {
    zkfuzz::KeyOrder<HashTable> order{t, HashTableKey};
    for (UInt i = 0; i + 1 < n; i++)
        ZKFUZZ_REQUIRE(order.Compare(HashTableGetIndex(t, i, list), HashTableGetIndex(t, i + 1, list), &order) <= 0);
}

// The frozen table's life: read by position, sort, and refine to a prefix of the sorted list.
void ExerciseSelected(HashTable* t, const std::vector<Entry>& entries) {
    const UInt n = HashTableSize(t);
    std::vector<UInt> before;
    for (UInt i = 0; i < n; i++) {
        const UByte* v = static_cast<const UByte*>(HashTableGetIndex(t, i, nullptr));
        ZKFUZZ_REQUIRE(v == t->t_data + t->t_entries[i] && IsEntry(entries, t->t_entries[i]));
        Touch(v, t->t_val_len);
        Touch(KeyAt(t, t->t_entries[i]).data(), KeyAt(t, t->t_entries[i]).size());
        before.push_back(t->t_entries[i]);
    }
    zkfuzz::KeyOrder<HashTable> order{t, HashTableKey};
    HashTableSort(t, zkfuzz::KeyOrder<HashTable>::Compare, &order, nullptr);
    RequireSorted(t, n, nullptr);
    std::vector<UInt> sorted(t->t_entries, t->t_entries + n);
    std::vector<UInt> a = before, b = sorted;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    ZKFUZZ_REQUIRE(a == b);

    if (n < 2) return;
    const UInt keep = n / 2;
    ZKFUZZ_REQUIRE(HashTableSelect(t, keep, nullptr, nullptr, nullptr) == keep);
    ZKFUZZ_REQUIRE(HashTableSize(t) == keep && t->t_selected);
    ZKFUZZ_REQUIRE(std::equal(sorted.begin(), sorted.begin() + keep, t->t_entries));
    const std::string fault = zk::CheckHashTable(t, nullptr);
    if (!fault.empty()) zkfuzz::Fault("refined selection", fault.c_str(), __FILE__, __LINE__);
}

// New keys from the bytes past the image, plus a few fixed ones (the empty key, and one long enough
// for a two-byte length code where the key width allows). Growing when full; a new entry's value
// area starts zeroed and keeps what is written into it.
void Insert(HashTable* t, zkfuzz::Cursor extra) {
    std::vector<std::string> keys = {"", "a", "zk", std::string(200, 'k')};
    for (int i = 0; i < 12 && !extra.empty(); i++) keys.emplace_back(extra.Take(extra.Byte() % 24));
    std::vector<std::pair<UInt, UByte>> written;  // new entries and the byte their value area holds
    for (const std::string& key : keys) {
        const size_t before = HashTableSize(t);
        const size_t used = t->t_data_used;
        UInt off = HASH_EMPTY;
        void* v = HashTableFind(t, key.data(), UInt(key.size()), TRUE, &off, nullptr);
        if (v == nullptr) {
            // Without a value callback, and with the data area far from its limit, fullness is the
            // only reason to refuse.
            ZKFUZZ_REQUIRE(HashTableFull(t));
            const UInt capacity = HashTableCapacity(t);
            HashTableGrow(t, 2.0f, nullptr);
            // A table of capacity 0 cannot grow by a factor: stop, rather than retry forever.
            if (HashTableCapacity(t) == capacity) break;
            ZKFUZZ_REQUIRE(!HashTableFull(t));
            v = HashTableFind(t, key.data(), UInt(key.size()), TRUE, &off, nullptr);
            ZKFUZZ_REQUIRE(v != nullptr);
        }
        ZKFUZZ_REQUIRE(v == t->t_data + off && KeyAt(t, off) == key);
        if (HashTableSize(t) == before) {
            ZKFUZZ_REQUIRE(off < used);
            continue;
        }
        ZKFUZZ_REQUIRE(HashTableSize(t) == before + 1 && off >= used);
        ZKFUZZ_REQUIRE(!t->t_aligned || off % 8 == 0);
        auto* val = static_cast<UByte*>(v);
        for (UInt i = 0; i < t->t_val_len; i++) ZKFUZZ_REQUIRE(val[i] == 0);
        const UByte mark = UByte(key.size() + 1);
        std::memset(val, mark, t->t_val_len);
        written.emplace_back(off, mark);
    }
    for (const auto& [off, mark] : written)
        for (UInt i = 0; i < t->t_val_len; i++) ZKFUZZ_REQUIRE(t->t_data[off + i] == mark);
}

// Selections of a copy (in place, with a limit and a filter) and of the table itself (into an
// array), each sorted; afterwards the table finds none of its keys.
void SelectAndSort(HashTable* t, const std::vector<Entry>& entries, UInt limit) {
    HashTable* copy = HashTableCopy(t);
    struct Filter {
        HashTable* t;
        UInt calls;
    } filter{copy, 0};
    UInt even = 0;
    for (UInt s = 0; s < t->t_entries_size; s++)
        if (t->t_entries[s] != HASH_EMPTY) even += KeyAt(t, t->t_entries[s]).size() % 2 == 0;
    const UInt kept = HashTableSelect(
        copy, limit,
        [](void* val, void* ptr) -> Boolean {
            auto* f = static_cast<Filter*>(ptr);
            f->calls++;
            const UByte* key;
            return HashTableKey(f->t, val, &key) % 2 == 0 ? TRUE : FALSE;
        },
        &filter, nullptr);
    ZKFUZZ_REQUIRE(kept == (limit == 0 ? even : std::min(limit, even)));
    ZKFUZZ_REQUIRE(copy->t_selected && HashTableSize(copy) == kept);
    ExerciseSelected(copy, entries);
    HashTableClear(copy);
    ZKFUZZ_REQUIRE(!copy->t_selected && HashTableSize(copy) == 0 && FilledSlots(copy) == 0);
    if (HashTableCapacity(copy) != 0) {
        ZKFUZZ_REQUIRE(HashTableFind(copy, "x", 1, TRUE, nullptr, nullptr) != nullptr);
        ZKFUZZ_REQUIRE(HashTableSize(copy) == 1);
        const std::string fault = zk::CheckHashTable(copy, nullptr);
        if (!fault.empty()) zkfuzz::Fault("cleared copy", fault.c_str(), __FILE__, __LINE__);
    }
    HashTableFree(copy);

    const UInt filed = FilledSlots(t);
    const UInt size = HashTableSize(t);
    UIntArray list;
    ArrayInit_(&list);
    ZKFUZZ_REQUIRE(HashTableSelect(t, 0, nullptr, nullptr, &list) == filed && list.length == filed);
    ZKFUZZ_REQUIRE(!t->t_selected && HashTableSize(t) == size && FilledSlots(t) == 0);
    std::vector<UInt> before(list.data, list.data + list.length);
    zkfuzz::KeyOrder<HashTable> order{t, HashTableKey};
    HashTableSort(t, zkfuzz::KeyOrder<HashTable>::Compare, &order, &list);
    RequireSorted(t, list.length, &list);
    std::vector<UInt> after(list.data, list.data + list.length);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    ZKFUZZ_REQUIRE(before == after && std::adjacent_find(after.begin(), after.end()) == after.end());
    for (UInt off : after) {
        ZKFUZZ_REQUIRE(IsEntry(entries, off));
        const std::string_view key = KeyAt(t, off);
        ZKFUZZ_REQUIRE(HashTableFind(t, key.data(), UInt(key.size()), FALSE, nullptr, nullptr) == nullptr);
    }
    ArrayFree_(&list);
}

void Exercise(HashTable* t, const UByte* bytes, size_t size, size_t image) {
    std::vector<Entry> entries = Entries(t);
    for (size_t i = 1; i < entries.size(); i++) ZKFUZZ_REQUIRE(entries[i - 1].offset < entries[i].offset);
    // Outside a selection the reader counts every entry of the data area; a selection's list is
    // drawn from them.
    if (t->t_selected) {
        ZKFUZZ_REQUIRE(entries.size() >= HashTableSize(t));
    } else {
        ZKFUZZ_REQUIRE(entries.size() == HashTableSize(t));
    }
    for (UInt s = 0; s < t->t_entries_size; s++)
        ZKFUZZ_REQUIRE(t->t_entries[s] == HASH_EMPTY || IsEntry(entries, t->t_entries[s]));
    CheckWalks(t, entries);
    const bool sound = Sound(t);

    if (t->t_selected) {
        ExerciseSelected(t, entries);
        return;
    }
    for (size_t start = 0; start < size && start < 128; start += 5)
        LookUp(t, entries, View(bytes + start, UInt(std::min<size_t>(size - start, start % 13))));
    for (const Entry& e : entries) {
        LookUp(t, entries, e.key);
        if (!sound) continue;
        UInt off = HASH_EMPTY;
        ZKFUZZ_REQUIRE(HashTableFind(t, e.key.data(), UInt(e.key.size()), FALSE, &off, nullptr) ==
                       t->t_data + e.offset);
        ZKFUZZ_REQUIRE(off == e.offset);
    }
    if (t->t_val_len > kMaxValLen) return;

    const size_t used = t->t_data_used;
    const std::string original(reinterpret_cast<const char*>(t->t_data), used);
    Insert(t, zkfuzz::Cursor(bytes + image, size - image));
    // Entries never move: the loaded ones keep their bytes where they were.
    ZKFUZZ_REQUIRE(std::string_view(reinterpret_cast<const char*>(t->t_data), used) == original);
    entries = Entries(t);
    ZKFUZZ_REQUIRE(entries.size() == HashTableSize(t));
    if (Sound(t)) {
        for (const Entry& e : entries) {
            UInt off = HASH_EMPTY;
            ZKFUZZ_REQUIRE(HashTableFind(t, e.key.data(), UInt(e.key.size()), FALSE, &off, nullptr) ==
                           t->t_data + e.offset);
            ZKFUZZ_REQUIRE(off == e.offset);
        }
    }
    SelectAndSort(t, entries, UInt(size % 5));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    // A block of exactly the input's size, so that a read past the end is caught.
    std::unique_ptr<UByte[]> bytes(new UByte[size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);
    const Boolean vm = (size & 1) != 0 ? TRUE : FALSE;
    std::FILE* f = fmemopen(bytes.get(), size, "r");
    ZKFUZZ_REQUIRE(f != nullptr);

    errno = 0;
    HashTable* t = zk::HashTableReadStream(f, kName, nullptr, nullptr, nullptr, vm);
    if (t == nullptr) {
        ZKFUZZ_REQUIRE(errno == EINVAL);
        ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 1 && zkfuzz::Seen().severity == 4);
        ZKFUZZ_REQUIRE(std::strncmp(zkfuzz::Seen().last, "error reading fuzz-input: ", 26) == 0);
        std::fclose(f);
        return 0;
    }
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);

    // The table is the image as it stands: the header's fields, then the slots and the data area
    // as they were written, and not a byte more read.
    const UByte* b = bytes.get();
    ZKFUZZ_REQUIRE(size >= kHeaderSize);
    const UInt slots = Field<UInt>(b, 17);
    const ULong dataSize = Field<ULong>(b, 29);
    const size_t image = kHeaderSize + 4 * size_t(slots) + dataSize;
    ZKFUZZ_REQUIRE(image <= size && std::ftell(f) == long(image));
    std::fclose(f);
    ZKFUZZ_REQUIRE(UInt(t->t_selected) == Field<UInt>(b, 0) && t->t_val_len == Field<UInt>(b, 4));
    ZKFUZZ_REQUIRE(t->t_key_size == b[8] && t->t_entries_used == Field<UInt>(b, 9));
    ZKFUZZ_REQUIRE(t->t_entries_capacity == Field<UInt>(b, 13) && t->t_entries_size == slots);
    ZKFUZZ_REQUIRE(t->t_data_used == Field<ULong>(b, 21) && t->t_data_size == dataSize);
    ZKFUZZ_REQUIRE(t->t_vm == vm && !t->t_hash && !t->t_value && !t->t_equal);
    ZKFUZZ_REQUIRE(std::memcmp(t->t_entries, b + kHeaderSize, 4 * size_t(slots)) == 0);
    ZKFUZZ_REQUIRE(dataSize == 0 || std::memcmp(t->t_data, b + kHeaderSize + 4 * size_t(slots), dataSize) == 0);
    bool grid = true;
    for (UInt s = 0; s < slots; s++) grid = grid && (t->t_entries[s] == HASH_EMPTY || t->t_entries[s] % 8 == 0);
    // Offsets all on the grid load aligned, unless the padded walk does not fit the data area and the
    // counts; the reader then takes the walk without padding (files of an earlier writer).
    if (!grid) ZKFUZZ_REQUIRE(!t->t_aligned);
    if (grid && !t->t_aligned) ZKFUZZ_REQUIRE(!zk::LoadedImageSound(*t, true));

    Exercise(t, b, size, image);
    HashTableFree(t);
    return 0;
}
