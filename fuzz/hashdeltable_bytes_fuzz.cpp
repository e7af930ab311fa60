// Arbitrary bytes as the serialised form of a hash table with deletion, read into a fresh table.
// A refused form must leave the table and the cursor exactly as they were. An accepted one must
// end the cursor just past the form, be the form field by field, pass the invariant checker
// (placement aside, see table_fuzz.h) and write back to the same bytes; then the bytes past the
// form drive finds, insertions, removals, growth and walks, checked against a std::unordered_map
// seeded from the table's own entries, and a final selection and sort.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dict/hashdeltable.h"
#include "dict/hashdeltable_internal.h"
#include "fuzz/table_fuzz.h"

namespace {

using zkfuzz::Touch;
using zkfuzz::View;
using Model = std::unordered_map<std::string, std::string>;

// Operations are skipped for larger value areas: a form may legitimately ask for any size of value
// area, and a few entries of gigabytes each would only test the fuzzer's memory limit.
constexpr UInt kMaxValLen = 1u << 12;
constexpr int kMaxOps = 64;
constexpr UInt kMaxGrownCapacity = 1u << 10;

UInt Le32(const UByte* p) {
    UInt v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool SameRecord(const HashDelTable& a, const HashDelTable& b) {
    return a.t_hash == b.t_hash && a.t_value == b.t_value && a.t_equal == b.t_equal && a.t_data == b.t_data &&
           a.t_entries == b.t_entries && a.t_data_used == b.t_data_used && a.t_data_size == b.t_data_size &&
           a.t_nkeys_max == b.t_nkeys_max && a.t_nkeys == b.t_nkeys && a.t_nentries == b.t_nentries &&
           a.t_deleted == b.t_deleted && a.t_val_len == b.t_val_len && a.t_selected == b.t_selected &&
           a.t_key_size == b.t_key_size && a.t_aligned == b.t_aligned;
}

std::string_view KeyOf(const HashDelTable* t, const void* val) {
    const UByte* key;
    const UInt len = HashDelTableKey(t, val, &key);
    return View(key, len);
}

std::string ValueOf(const HashDelTable* t, const void* val) {
    return std::string(static_cast<const char*>(val), t->t_val_len);
}

// Every entry the enumeration visits, as key and value, each checked to lie in the used area.
std::vector<std::pair<std::string, std::string>> Enumerated(HashDelTable* t) {
    struct Walk {
        HashDelTable* t;
        std::vector<std::pair<std::string, std::string>> out;
    } walk{t, {}};
    const UInt r = HashDelTableEnumerate(
        t, 0,
        [](void* val, void* ptr) -> UInt {
            auto* w = static_cast<Walk*>(ptr);
            const std::string_view key = KeyOf(w->t, val);
            const auto* v = static_cast<const UByte*>(val);
            ZKFUZZ_REQUIRE(v >= w->t->t_data && reinterpret_cast<const UByte*>(key.data()) >= v + w->t->t_val_len);
            ZKFUZZ_REQUIRE(size_t(reinterpret_cast<const UByte*>(key.data()) - w->t->t_data) + key.size() <=
                           w->t->t_data_used);
            Touch(v, w->t->t_val_len);
            Touch(key.data(), key.size());
            w->out.emplace_back(std::string(key), ValueOf(w->t, val));
            return 0;
        },
        &walk);
    ZKFUZZ_REQUIRE(r == 0);
    return std::move(walk.out);
}

UInt FilledSlots(const HashDelTable* t) {
    UInt n = 0;
    for (UInt s = 0; s < t->t_nentries; s++) n += t->t_entries[s] < HASH_DELETED;
    return n;
}

void RequireSound(const HashDelTable* t) {
    const std::string fault = zk::CheckHashDelTable(t, nullptr);
    if (!fault.empty()) zkfuzz::Fault("the checker found a fault", fault.c_str(), __FILE__, __LINE__);
}

void RequireSorted(const HashDelTable* t) {
    zkfuzz::KeyOrder<HashDelTable> order{t, HashDelTableKey};
    for (UInt i = 0; i + 1 < HashDelTableSize(t); i++)
        ZKFUZZ_REQUIRE(order.Compare(HashDelTableGetIndex(t, i), HashDelTableGetIndex(t, i + 1), &order) <= 0);
}

// The selected list read by position, sorted, and refined to a prefix of the sorted list.
void ExerciseSelected(HashDelTable* t) {
    const UInt n = HashDelTableSize(t);
    std::vector<UInt> before(t->t_entries, t->t_entries + n);
    for (UInt i = 0; i < n; i++) {
        const void* v = HashDelTableGetIndex(t, i);
        ZKFUZZ_REQUIRE(v == t->t_data + t->t_entries[i]);
        Touch(v, t->t_val_len);
        Touch(KeyOf(t, v).data(), KeyOf(t, v).size());
    }
    // A selected table is walked as it is, by enumeration and by iterator alike.
    const auto entries = Enumerated(t);
    ZKFUZZ_REQUIRE(entries.size() >= n);
    HashDelTableIterator* it = HashDelTableIteratorInit(t, nullptr);
    size_t i = 0;
    for (; !HashDelTableIteratorEnd(it); HashDelTableIteratorNext(it), i++) {
        ZKFUZZ_REQUIRE(i < entries.size());
        const UByte* key;
        const UInt len = HashDelTableIteratorGetKey(it, &key);
        ZKFUZZ_REQUIRE(View(key, len) == entries[i].first);
        ZKFUZZ_REQUIRE(ValueOf(t, HashDelTableIteratorGetValue(it)) == entries[i].second);
    }
    ZKFUZZ_REQUIRE(i == entries.size());
    HashDelTableIteratorFinalize(it);

    zkfuzz::KeyOrder<HashDelTable> order{t, HashDelTableKey};
    HashDelTableSort(t, zkfuzz::KeyOrder<HashDelTable>::Compare, &order);
    RequireSorted(t);
    std::vector<UInt> sorted(t->t_entries, t->t_entries + n), after = sorted;
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    ZKFUZZ_REQUIRE(before == after);
    RequireSound(t);
    if (n < 2) return;
    const UInt keep = n / 2;
    ZKFUZZ_REQUIRE(HashDelTableSelect(t, keep, nullptr, nullptr) == keep && HashDelTableSize(t) == keep);
    ZKFUZZ_REQUIRE(std::equal(sorted.begin(), sorted.begin() + keep, t->t_entries));
    RequireSound(t);
}

struct Run {
    HashDelTable* t;
    Model model;
    bool exact;                     // the model is the table's content: it was sound when seeded
    std::vector<std::string> known; // keys seen so far, for operations on present (or removed) keys
};

std::string NextKey(Run& run, zkfuzz::Cursor& in, UByte op) {
    if ((op & 0x80) != 0 && !run.known.empty()) return run.known[in.Byte() % run.known.size()];
    return std::string(in.Take(in.Byte() % 20));
}

void Find(Run& run, const std::string& key, bool create, int step) {
    HashDelTable* t = run.t;
    const auto at = run.model.find(key);
    const bool present = at != run.model.end();
    const UInt size = HashDelTableSize(t);
    UInt off = HASH_EMPTY;
    void* v = HashDelTableFind(t, key.data(), UInt(key.size()), create ? TRUE : FALSE, &off, nullptr);
    if (v == nullptr && create) {
        // Without a value callback, and with the data area far from its limit, the capacity rule
        // is the only reason to refuse; growth lifts it.
        ZKFUZZ_REQUIRE(!(run.exact && present));
        ZKFUZZ_REQUIRE(ULong(t->t_nkeys) + 2 * ULong(t->t_deleted) >= t->t_nkeys_max);
        const UInt capacity = HashDelTableCapacity(t);
        HashDelTableGrow(t, 2.0f, nullptr);
        ZKFUZZ_REQUIRE(t->t_deleted == 0 && HashDelTableCapacity(t) > capacity && HashDelTableSize(t) == size);
        v = HashDelTableFind(t, key.data(), UInt(key.size()), TRUE, &off, nullptr);
        ZKFUZZ_REQUIRE(v != nullptr);
    }
    if (v == nullptr) {
        ZKFUZZ_REQUIRE(!(run.exact && present));
        return;
    }
    ZKFUZZ_REQUIRE(v == t->t_data + off && off % 8 == 0 && KeyOf(t, v) == key);
    if (HashDelTableSize(t) == size) {
        if (run.exact) ZKFUZZ_REQUIRE(present && ValueOf(t, v) == at->second);
        return;
    }
    // A new entry goes at the end of the data area.
    ZKFUZZ_REQUIRE(create && HashDelTableSize(t) == size + 1);
    ZKFUZZ_REQUIRE(reinterpret_cast<const UByte*>(KeyOf(t, v).data()) + key.size() == t->t_data + t->t_data_used);
    if (run.exact) ZKFUZZ_REQUIRE(!present);
    auto* val = static_cast<UByte*>(v);
    for (UInt i = 0; i < t->t_val_len; i++) ZKFUZZ_REQUIRE(val[i] == 0);
    std::memset(val, UByte(step | 1), t->t_val_len);
    run.model[key] = ValueOf(t, v);
    run.known.push_back(key);
}

void Remove(Run& run, const std::string& key) {
    HashDelTable* t = run.t;
    const UInt size = HashDelTableSize(t), deleted = t->t_deleted;
    const bool removed = HashDelTableRemove(t, key.data(), UInt(key.size()), nullptr) != FALSE;
    if (run.exact) ZKFUZZ_REQUIRE(removed == (run.model.erase(key) != 0));
    ZKFUZZ_REQUIRE(HashDelTableSize(t) == size - removed && t->t_deleted == deleted + removed);
    if (removed && run.exact)
        ZKFUZZ_REQUIRE(HashDelTableFind(t, key.data(), UInt(key.size()), FALSE, nullptr, nullptr) == nullptr);
}

void Compare(Run& run) {
    const auto entries = Enumerated(run.t);
    ZKFUZZ_REQUIRE(run.t->t_deleted == 0 && entries.size() == HashDelTableSize(run.t));
    if (!run.exact) return;
    ZKFUZZ_REQUIRE(entries.size() == run.model.size());
    for (const auto& [key, value] : entries) {
        const auto at = run.model.find(key);
        ZKFUZZ_REQUIRE(at != run.model.end() && at->second == value);
    }
}

// The operations on a loaded table that is not selected.
void Exercise(HashDelTable* t, zkfuzz::Cursor in) {
    // The iterator first purges the tombstones, which re-files every live entry: a form whose
    // slots were misplaced may come out sound.
    Run run{t, {}, false, {}};
    HashDelTableIterator* it = HashDelTableIteratorInit(t, nullptr);
    ZKFUZZ_REQUIRE(t->t_deleted == 0);
    bool unique = true;
    for (; !HashDelTableIteratorEnd(it); HashDelTableIteratorNext(it)) {
        const UByte* key;
        const UInt len = HashDelTableIteratorGetKey(it, &key);
        Touch(key, len);
        const std::string k(View(key, len));
        unique = run.model.emplace(k, ValueOf(t, HashDelTableIteratorGetValue(it))).second && unique;
        run.known.push_back(k);
    }
    HashDelTableIteratorFinalize(it);
    ZKFUZZ_REQUIRE(run.known.size() == HashDelTableSize(t));
    run.exact = ZKFUZZ_SHAPE(zk::CheckHashDelTable(t, nullptr));
    ZKFUZZ_REQUIRE(unique || !run.exact);
    if (run.exact) {
        for (const auto& [key, value] : run.model) {
            const void* v = HashDelTableFind(t, key.data(), UInt(key.size()), FALSE, nullptr, nullptr);
            ZKFUZZ_REQUIRE(v != nullptr && ValueOf(t, v) == value);
        }
    }
    if (t->t_val_len > kMaxValLen) return;

    for (int step = 0; step < kMaxOps && !in.empty(); step++) {
        const UByte op = in.Byte();
        switch (op % 6) {
        case 0:
        case 1: Find(run, NextKey(run, in, op), true, step); break;
        case 2: Find(run, NextKey(run, in, op), false, step); break;
        case 3: Remove(run, NextKey(run, in, op)); break;
        case 4: Compare(run); break;
        default: {
            // Just above 1.0 only compacts; 1.5 also adds room, up to a bound, since a run of
            // growths would otherwise reach slot arrays of gigabytes.
            const UInt capacity = HashDelTableCapacity(t), size = HashDelTableSize(t);
            const bool room = (op & 0x40) != 0 && capacity < kMaxGrownCapacity;
            HashDelTableGrow(t, room ? 1.5f : 1.0001f, nullptr);
            ZKFUZZ_REQUIRE(t->t_deleted == 0 && HashDelTableCapacity(t) >= capacity && HashDelTableSize(t) == size);
            break;
        }
        }
        if (run.exact) {
            RequireSound(t);
        } else {
            ZKFUZZ_SHAPE(zk::CheckHashDelTable(t, nullptr));
        }
    }
    Compare(run);

    const UInt n = HashDelTableSize(t);
    const UInt limit = in.Byte() % 4;
    const UInt kept = HashDelTableSelect(t, limit, nullptr, nullptr);
    ZKFUZZ_REQUIRE(kept == (limit == 0 ? n : std::min(limit, n)) && HashDelTableSize(t) == kept && t->t_selected);
    RequireSound(t);
    zkfuzz::KeyOrder<HashDelTable> order{t, HashDelTableKey};
    HashDelTableSort(t, zkfuzz::KeyOrder<HashDelTable>::Compare, &order);
    RequireSorted(t);
    if (run.exact && limit == 0) {
        std::vector<std::string> want, got;
        for (const auto& entry : run.model) want.push_back(entry.first);
        std::sort(want.begin(), want.end());
        for (UInt i = 0; i < kept; i++) got.emplace_back(KeyOf(t, HashDelTableGetIndex(t, i)));
        ZKFUZZ_REQUIRE(want == got);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    // A block of exactly the input's size, so that a read past the end is caught.
    std::unique_ptr<UByte[]> bytes(new UByte[size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);
    UByte* const start = bytes.get();
    UByte* const end = start + size;

    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    const HashDelTable fresh = *t;
    UByte* cursor = start;
    if (!HashDelTableMemRead(t, &cursor, end)) {
        ZKFUZZ_REQUIRE(cursor == start && SameRecord(*t, fresh));
        ZKFUZZ_REQUIRE(HashDelTableSize(t) == 0 && HashDelTableCapacity(t) == 5);
        for (UInt s = 0; s < t->t_nentries; s++) ZKFUZZ_REQUIRE(t->t_entries[s] == HASH_EMPTY);
        RequireSound(t);
        HashDelTableFree(t);
        return 0;
    }
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);

    // The cursor stops just past the form, and the table is the form field by field.
    const size_t consumed = size_t(cursor - start);
    ZKFUZZ_REQUIRE(consumed >= 4);
    const size_t used = Le32(start);
    ZKFUZZ_REQUIRE(consumed >= 24 + used);
    const UByte* counts = start + 4 + used;
    const size_t slots = Le32(counts);
    ZKFUZZ_REQUIRE(consumed == 26 + used + 4 * slots);
    const UByte* tail = counts + 16 + 4 * slots;
    ZKFUZZ_REQUIRE(t->t_data_used == used && std::memcmp(t->t_data, start + 4, used) == 0);
    ZKFUZZ_REQUIRE(t->t_nentries == slots && t->t_nkeys_max == Le32(counts + 4));
    ZKFUZZ_REQUIRE(t->t_nkeys == Le32(counts + 8) && t->t_deleted == Le32(counts + 12));
    ZKFUZZ_REQUIRE(std::memcmp(t->t_entries, counts + 16, 4 * slots) == 0);
    ZKFUZZ_REQUIRE(t->t_val_len == Le32(tail) && t->t_key_size == tail[4]);
    ZKFUZZ_REQUIRE(t->t_selected == (tail[5] == 1 ? TRUE : FALSE) && t->t_aligned);
    ZKFUZZ_REQUIRE(t->t_data_size >= t->t_data_used && FilledSlots(t) == HashDelTableSize(t));
    const bool sound = ZKFUZZ_SHAPE(zk::CheckHashDelTable(t, nullptr));
    ZKFUZZ_REQUIRE(sound || !t->t_selected);

    // Written back, the form comes out as it went in, except that the selected flag is written in
    // its one canonical spelling; a copy writes the same, appended after the original's.
    UByteArray out;
    ArrayInit_(&out);
    HashDelTableMemWrite(t, &out);
    ZKFUZZ_REQUIRE(out.length == consumed && std::memcmp(out.data, start, consumed - 1) == 0);
    ZKFUZZ_REQUIRE(out.data[consumed - 1] == (t->t_selected ? 1 : 0));
    HashDelTable* copy = HashDelTableCopy(t);
    HashDelTableMemWrite(copy, &out);
    HashDelTableFree(copy);
    ZKFUZZ_REQUIRE(out.length == 2 * consumed && std::memcmp(out.data, out.data + consumed, consumed) == 0);
    ArrayFree_(&out);

    if (t->t_selected) {
        ExerciseSelected(t);
    } else {
        Exercise(t, zkfuzz::Cursor(cursor, size_t(end - cursor)));
    }
    HashDelTableClear(t);
    ZKFUZZ_REQUIRE(HashDelTableSize(t) == 0 && !t->t_selected && FilledSlots(t) == 0 && t->t_deleted == 0);
    RequireSound(t);
    HashDelTableFree(t);
    return 0;
}
