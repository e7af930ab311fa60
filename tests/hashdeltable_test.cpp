// HashDelTable: removal, tombstones and the capacity rule, compaction, walks, clearing, copying and
// the serialised form.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "adapters/tables.h"
#include "dict/entry_codec.h"
#include "dict/hashdeltable.h"
#include "dict/hashdeltable_internal.h"
#include "tests/packed_table_suite.h"
#include "util/io.h"

namespace {

using Bytes = std::vector<UByte>;

void* Find(HashDelTable* t, std::string_view key, bool create = false, UInt* offset = nullptr) {
    return HashDelTableFind(t, key.data(), UInt(key.size()), create ? TRUE : FALSE, offset, nullptr);
}

bool Remove(HashDelTable* t, std::string_view key) {
    return HashDelTableRemove(t, key.data(), UInt(key.size()), nullptr) != FALSE;
}

std::string KeyAt(const HashDelTable* t, const void* val) {
    return std::string(zkadapt::HashDelTableOps::KeyView(t, val));
}

// A table of the keys, in this order, with `removed` taken out again: a tombstone among live entries.
HashDelTable* WithTombstone(UInt capacity, UInt valLen, std::initializer_list<const char*> keys,
                            const char* removed) {
    HashDelTable* t = HashDelTableNew(capacity, nullptr, nullptr, nullptr, valLen, 0);
    for (const char* k : keys) Find(t, k, true);
    Remove(t, removed);
    return t;
}

void ExpectSound(const HashDelTable* t) { EXPECT_EQ(zk::CheckHashDelTable(t, nullptr), ""); }

Bytes Form(const HashDelTable* t) {
    UByteArray a;
    ArrayInit_(&a);
    HashDelTableMemWrite(t, &a);
    Bytes out(a.data, a.data + a.length);
    ArrayFree_(&a);
    return out;
}

std::vector<std::string> Walk(HashDelTable* t) { return zktest::WalkedKeys<zkadapt::HashDelTableOps>(t); }

// ---- the capacity rule, removal and compaction -----------------------------------------------------

TEST(HashDelTableCore, CreationSizes) {
    HashDelTable* t = HashDelTableNew(3, nullptr, nullptr, nullptr, 8, 0);
    EXPECT_EQ(HashDelTableCapacity(t), 5u);
    EXPECT_EQ(t->t_nentries, 7u);
    EXPECT_EQ(t->t_data_size, 35u);
    EXPECT_TRUE(t->t_aligned);
    for (UInt s = 0; s < 7; s++) EXPECT_EQ(t->t_entries[s], HASH_EMPTY);
    HashDelTableFree(t);

    // A record of the caller's own.
    HashDelTable own;
    HashDelTableInit(&own, 1000, nullptr, nullptr, nullptr, 4, 2);
    EXPECT_EQ(own.t_nentries, Prime(1500));
    EXPECT_NE(Find(&own, "k", true), nullptr);
    UnAllocate_(own.t_data, __FILE__, __LINE__);
    UnAllocate_(own.t_entries, __FILE__, __LINE__);
}

TEST(HashDelTableCore, TombstonesCountTwiceAgainstTheCapacity) {
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    for (int i = 0; i < 5; i++) ASSERT_NE(Find(t, "k" + std::to_string(i), true), nullptr);
    EXPECT_TRUE(HashDelTableFull(t));
    EXPECT_TRUE(HashDelTableRefuses(t));
    ASSERT_TRUE(Remove(t, "k2"));
    EXPECT_FALSE(HashDelTableFull(t));
    EXPECT_TRUE(HashDelTableRefuses(t));
    EXPECT_EQ(Find(t, "new", true), nullptr);  // 4 + 2 * 1 >= 5
    EXPECT_EQ(t->t_deleted, 1u);
    EXPECT_EQ(HashDelTableRemoved(t), 1u);
    ExpectSound(t);

    HashDelTableGrow(t, 1.5f, nullptr);
    EXPECT_EQ(HashDelTableCapacity(t), 7u);
    EXPECT_EQ(t->t_deleted, 0u);
    EXPECT_EQ(HashDelTableRemoved(t), 0u);
    EXPECT_FALSE(HashDelTableRefuses(t));
    EXPECT_EQ(t->t_data_used, 4u * 16);  // the four live entries, 8 + 1 + 2 bytes each, padded
    EXPECT_NE(Find(t, "new", true), nullptr);
    for (const char* k : {"k0", "k1", "k3", "k4", "new"}) EXPECT_NE(Find(t, k), nullptr) << k;
    EXPECT_EQ(Find(t, "k2"), nullptr);
    ExpectSound(t);
    HashDelTableFree(t);

    t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    for (int i = 0; i < 3; i++) Find(t, "k" + std::to_string(i), true);
    Remove(t, "k0");
    EXPECT_FALSE(HashDelTableRefuses(t));
    EXPECT_NE(Find(t, "x", true), nullptr);  // 2 + 2 < 5
    EXPECT_TRUE(HashDelTableRefuses(t));
    EXPECT_EQ(Find(t, "y", true), nullptr);  // 3 + 2 >= 5
    HashDelTableFree(t);
}

TEST(HashDelTableCore, RemovalMarksTheSlotAndLeavesTheBytes) {
    HashDelTable* t = HashDelTableNew(20, nullptr, nullptr, nullptr, 8, 0);
    UInt first, again;
    *static_cast<ULong*>(Find(t, "key", true, &first)) = 11;
    Find(t, "other", true);
    EXPECT_TRUE(Remove(t, "key"));
    EXPECT_FALSE(Remove(t, "key"));
    EXPECT_FALSE(Remove(t, "never"));
    EXPECT_EQ(Find(t, "key"), nullptr);
    EXPECT_EQ(HashDelTableSize(t), 1u);
    const size_t used = t->t_data_used;
    ASSERT_NE(Find(t, "key", true, &again), nullptr);
    EXPECT_GE(again, used);  // a new entry at the end; the old bytes stay
    EXPECT_EQ(*static_cast<ULong*>(HashDelTableGetOffset(t, again)), 0u);
    EXPECT_EQ(KeyAt(t, HashDelTableGetOffset(t, first)), "key");
    EXPECT_EQ(t->t_deleted, 1u);
    ExpectSound(t);
    HashDelTableFree(t);
}

// Every key has the same start slot, so the probe chain is the step sequence of that slot.
UInt SameHash(const UByte*, UInt, void*) { return 12345; }

TEST(HashDelTableCore, CollidingKeysSurviveARemovalInTheMiddleOfTheirChain) {
    HashDelTable* t = HashDelTableNew(20, SameHash, nullptr, nullptr, 8, 0);
    for (int i = 0; i < 10; i++) ASSERT_NE(Find(t, "c" + std::to_string(i), true), nullptr);
    ASSERT_TRUE(Remove(t, "c4"));
    for (int i = 0; i < 10; i++) EXPECT_EQ(Find(t, "c" + std::to_string(i)) != nullptr, i != 4) << i;
    EXPECT_TRUE(Remove(t, "c9"));
    EXPECT_NE(Find(t, "c10", true), nullptr);
    ExpectSound(t);
    HashDelTableFree(t);
}

TEST(HashDelTableCore, CompactionKeepsValuesAndStorageOrder) {
    HashDelTable* t = HashDelTableNew(100, nullptr, nullptr, nullptr, 16, 0);
    std::vector<std::string> live;
    for (int i = 0; i < 60; i++) {
        const std::string k = "key" + std::to_string(i) + std::string(i % 13, '+');
        auto* v = static_cast<ULong*>(Find(t, k, true));
        v[0] = ULong(i);
        v[1] = ~ULong(i);
        if (i % 3) live.push_back(k);
        else Remove(t, k);
    }
    UInt before;
    Find(t, live.back(), false, &before);
    EXPECT_EQ(Walk(t), live);  // the walk compacts first
    EXPECT_EQ(t->t_deleted, 0u);
    UInt after;
    Find(t, live.back(), false, &after);
    EXPECT_LT(after, before);
    for (const auto& k : live) {
        auto* v = static_cast<ULong*>(Find(t, k));
        ASSERT_NE(v, nullptr) << k;
        EXPECT_EQ(v[1], ~v[0]);
        EXPECT_EQ(k, "key" + std::to_string(v[0]) + std::string(v[0] % 13, '+'));
    }
    ExpectSound(t);
    HashDelTableFree(t);
}

TEST(HashDelTableCore, WalksPurgeTombstonesAtAlmostTheSameCapacity) {
    for (const auto& [capacity, after] : std::vector<std::pair<UInt, UInt>>{{10000, 10000}, {100000, 100001},
                                                                           {1000000, 1000010}}) {
        HashDelTable* t = HashDelTableNew(capacity, nullptr, nullptr, nullptr, 0, 0);
        Find(t, "a", true);
        Find(t, "b", true);
        Remove(t, "a");
        HashDelTableIterator* it = HashDelTableIteratorInit(t, nullptr);
        EXPECT_EQ(HashDelTableCapacity(t), after);
        EXPECT_EQ(t->t_deleted, 0u);
        EXPECT_EQ(KeyAt(t, HashDelTableIteratorGetValue(it)), "b");
        HashDelTableIteratorFinalize(it);
        // Without tombstones a walk changes nothing.
        Walk(t);
        EXPECT_EQ(HashDelTableCapacity(t), after);
        HashDelTableFree(t);
    }
}

Boolean UntouchedValue(void*, const UByte*, UInt, void*) { return TRUE; }

TEST(HashDelTableCore, EntriesPastTheOffsetBoundAreRefused) {
    HashDelTable* t = HashDelTableNew(5, nullptr, UntouchedValue, nullptr, 8, 0);
    // Pretend the data area is nearly at the bound; the refusal comes before any byte is touched.
    const size_t real = t->t_data_used;
    t->t_data_used = 0xFFFFFFF0u;
    EXPECT_EQ(Find(t, "abcde", true), nullptr);  // 8 + 1 + 5 bytes would end one past 0xFFFFFFFD
    EXPECT_EQ(t->t_data_used, 0xFFFFFFF0u);
    EXPECT_EQ(HashDelTableSize(t), 0u);
    t->t_data_used = real;
    HashDelTableFree(t);
}

// ---- walks, selections and positions ------------------------------------------------------------------

int ByKey(const void* a, const void* b, void* ptr) {
    const auto* t = static_cast<const HashDelTable*>(ptr);
    return KeyAt(t, a).compare(KeyAt(t, b));
}

TEST(HashDelTableWalks, SelectSortAndReadByPosition) {
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    for (const char* k : {"d", "b", "x", "e", "a", "c"}) {
        while (Find(t, k, true) == nullptr) HashDelTableGrow(t, 2.0f, nullptr);
    }
    Remove(t, "x");
    EXPECT_EQ(HashDelTableSelect(t, 0, nullptr, nullptr), 5u);
    EXPECT_TRUE(t->t_selected);
    EXPECT_EQ(t->t_deleted, 0u);
    HashDelTableSort(t, ByKey, t);
    for (UInt i = 0; i < 5; i++) EXPECT_EQ(KeyAt(t, HashDelTableGetIndex(t, i)), std::string(1, char('a' + i)));
    ExpectSound(t);
    // A selected table is walked as it is.
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"d", "b", "e", "a", "c"}));
    EXPECT_EQ(HashDelTableSelect(t, 2, nullptr, nullptr), 2u);
    EXPECT_EQ(KeyAt(t, HashDelTableGetIndex(t, 1)), "b");

    HashDelTableClear(t);
    EXPECT_FALSE(t->t_selected);
    EXPECT_NE(Find(t, "again", true), nullptr);
    HashDelTableFree(t);
}

TEST(HashDelTableWalks, AnIteratorStillVisitsEntriesRemovedAfterItsStart) {
    HashDelTable* t = HashDelTableNew(10, nullptr, nullptr, nullptr, 4, 1);
    for (const char* k : {"one", "two", "three"}) Find(t, k, true);
    EXPECT_EQ(HashDelTableIteratorInit(nullptr, nullptr), nullptr);
    HashDelTableIterator* it = HashDelTableIteratorInit(t, nullptr);
    Remove(t, "two");
    std::vector<std::string> seen;
    for (; !HashDelTableIteratorEnd(it); HashDelTableIteratorNext(it)) {
        const UByte* key;
        const UInt len = HashDelTableIteratorGetKey(it, &key);
        seen.emplace_back(reinterpret_cast<const char*>(key), len);
    }
    HashDelTableIteratorFinalize(it);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(Walk(t), (std::vector<std::string>{"one", "three"}));
    HashDelTableFree(t);
}

TEST(HashDelTableWalks, ClearGivesBackTheMemoryOfLargeTablesOnly) {
    HashDelTable* big = HashDelTableNew(6667, nullptr, nullptr, nullptr, 8, 0);
    ASSERT_GT(big->t_nentries, 10000u);
    Find(big, "k", true);
    HashDelTableClear(big);
    EXPECT_EQ(HashDelTableCapacity(big), 5u);
    EXPECT_EQ(big->t_nentries, 7u);
    EXPECT_EQ(big->t_data_size, 35u);
    EXPECT_EQ(Find(big, "k"), nullptr);
    HashDelTableFree(big);

    HashDelTable* small = HashDelTableNew(6640, nullptr, nullptr, nullptr, 8, 0);
    ASSERT_LE(small->t_nentries, 10000u);
    Find(small, "k", true);
    Remove(small, "k");
    HashDelTableClear(small);
    EXPECT_EQ(HashDelTableCapacity(small), 6640u);
    EXPECT_EQ(small->t_deleted, 0u);
    EXPECT_EQ(small->t_data_used, 0u);
    ExpectSound(small);
    HashDelTableFree(small);
}

TEST(HashDelTableWalks, CopiesAreIndependentTombstonesIncluded) {
    HashDelTable* a = WithTombstone(10, 8, {"p", "q", "r"}, "q");
    HashDelTable* b = HashDelTableCopy(a);
    EXPECT_EQ(b->t_deleted, 1u);
    EXPECT_EQ(Form(a), Form(b));
    Remove(a, "p");
    Find(b, "s", true);
    EXPECT_NE(Find(b, "p"), nullptr);
    EXPECT_EQ(Find(a, "s"), nullptr);
    ExpectSound(a);
    ExpectSound(b);
    HashDelTableFree(a);
    HashDelTableFree(b);
}

// ---- the serialised form -------------------------------------------------------------------------------

Bytes LE(UInt v) { return {UByte(v), UByte(v >> 8), UByte(v >> 16), UByte(v >> 24)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(HashDelTableForm, FormsWorkedOutByHand) {
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 4, 0);
    Bytes slots;
    for (int i = 0; i < 7; i++) slots.insert(slots.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    const Bytes fresh = Cat({LE(0), LE(7), LE(5), LE(0), LE(0), slots, LE(4), {0}, {0}});
    EXPECT_EQ(Form(t), fresh);
    EXPECT_EQ(fresh.size(), 26u + 4 * 7);

    // One entry: 4 value bytes, prefix 06, "abc"; HashBytes("abc") = 6564134, slot 6564134 % 7 = 3.
    auto* v = static_cast<UByte*>(Find(t, "abc", true));
    std::memcpy(v, "\x01\x02\x03\x04", 4);
    slots[12] = slots[13] = slots[14] = slots[15] = 0;
    EXPECT_EQ(Form(t), Cat({LE(8), {1, 2, 3, 4, 0x06, 'a', 'b', 'c'}, LE(7), LE(5), LE(1), LE(0), slots, LE(4), {0}, {0}}));

    // Removed: the bytes stay, the slot is a tombstone.
    Remove(t, "abc");
    slots[12] = 0xFE, slots[13] = slots[14] = slots[15] = 0xFF;
    EXPECT_EQ(Form(t), Cat({LE(8), {1, 2, 3, 4, 0x06, 'a', 'b', 'c'}, LE(7), LE(5), LE(0), LE(1), slots, LE(4), {0}, {0}}));

    // The form is appended after what the array holds.
    UByteArray a;
    ArrayInit_(&a);
    UByteMemWrite(&a, 0x77);
    HashDelTableMemWrite(t, &a);
    EXPECT_EQ(a.length, 1 + Form(t).size());
    EXPECT_EQ(a.data[0], 0x77);
    ArrayFree_(&a);
    HashDelTableFree(t);
}

TEST(HashDelTableForm, ReadingBackFindsTheSameAndWritesTheSameBytes) {
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    std::vector<std::pair<std::string, UInt>> kept;
    for (int i = 0; i < 200; i++) {
        const std::string k = "entry-" + std::to_string(i);
        UInt off;
        void* val;
        while ((val = Find(t, k, true, &off)) == nullptr) HashDelTableGrow(t, 2.0f, nullptr);
        std::memcpy(val, &i, sizeof i);
        if (i % 5 == 0) Remove(t, k);
    }
    ASSERT_GT(t->t_deleted, 0u);
    for (int i = 0; i < 200; i++) {
        UInt off;
        if (i % 5 && Find(t, "entry-" + std::to_string(i), false, &off)) kept.emplace_back("entry-" + std::to_string(i), off);
    }
    Bytes form = Form(t);
    // A cursor past other bytes, and bytes after the form, are left alone.
    Bytes buffer = Cat({{9, 9}, form, {7}});
    HashDelTable* r = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    UByte* cursor = buffer.data() + 2;
    ASSERT_TRUE(HashDelTableMemRead(r, &cursor, buffer.data() + buffer.size()));
    EXPECT_EQ(cursor, buffer.data() + 2 + form.size());
    EXPECT_EQ(r->t_deleted, t->t_deleted);
    EXPECT_EQ(r->t_data_size, r->t_data_used);
    for (const auto& [k, off] : kept) {
        UInt got;
        ASSERT_NE(Find(r, k, false, &got), nullptr) << k;
        EXPECT_EQ(got, off);
    }
    EXPECT_EQ(Form(r), form);
    ExpectSound(r);
    // The tombstones go at the first walk.
    EXPECT_EQ(Walk(r).size(), kept.size());
    EXPECT_EQ(r->t_deleted, 0u);
    EXPECT_NE(Find(r, "one more", true), nullptr);
    ExpectSound(r);
    HashDelTableFree(r);
    HashDelTableFree(t);
}

TEST(HashDelTableForm, OnlyAOneReadsAsSelected) {
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    Find(t, "k", true);
    Bytes form = Form(t);
    form.back() = 2;
    HashDelTable* r = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 0);
    UByte* cursor = form.data();
    ASSERT_TRUE(HashDelTableMemRead(r, &cursor, form.data() + form.size()));
    EXPECT_FALSE(r->t_selected);
    HashDelTableSelect(t, 0, nullptr, nullptr);
    form = Form(t);
    EXPECT_EQ(form.back(), 1);
    cursor = form.data();
    ASSERT_TRUE(HashDelTableMemRead(r, &cursor, form.data() + form.size()));
    EXPECT_TRUE(r->t_selected);
    HashDelTableFree(r);
    HashDelTableFree(t);
}

// A failed read changes neither the table nor the cursor.
TEST(HashDelTableForm, ShortAndCorruptFormsLeaveTheTableAsItWas) {
    HashDelTable* t = WithTombstone(5, 4, {"alpha", "beta", "gamma"}, "beta");
    const Bytes good = Form(t);
    // "alpha" at 0 (10 bytes), "beta" at 16 (9), "gamma" at 32 (10): U = 42, S = 7.
    const size_t U = 42, counts = 4 + U, slots = counts + 16, tail = slots + 28;
    ASSERT_EQ(good.size(), 26 + U + 28);

    HashDelTable* r = HashDelTableNew(5, nullptr, nullptr, nullptr, 4, 0);
    Find(r, "resident", true);
    const Bytes before = Form(r);
    auto refused = [&](Bytes bytes, const std::string& what) {
        UByte* cursor = bytes.data();
        EXPECT_FALSE(HashDelTableMemRead(r, &cursor, bytes.data() + bytes.size())) << what;
        EXPECT_EQ(cursor, bytes.data()) << what;
        EXPECT_EQ(Form(r), before) << what;
        EXPECT_NE(Find(r, "resident"), nullptr) << what;
    };
    for (size_t n = 0; n < good.size(); n++) refused(Bytes(good.begin(), good.begin() + n), "cut at " + std::to_string(n));

    auto put32 = [](Bytes& b, size_t at, UInt v) { std::memcpy(&b[at], &v, 4); };
    size_t live = slots;
    while (good[live] == 0xFF || good[live] == 0xFE) live += 4;
    size_t tomb = slots;
    while (good[tomb] != 0xFE) tomb += 4;
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> mutations = {
        {"used claims more than is there", [&](Bytes& b) { put32(b, 0, 0x7FFFFFFF); }},
        {"slot count claims more than is there", [&](Bytes& b) { put32(b, counts, 0x7FFFFFFF); }},
        {"slot count not the capacity's", [&](Bytes& b) { put32(b, counts + 4, 6); }},
        {"capacity below five", [&](Bytes& b) { put32(b, counts + 4, 1); put32(b, counts, 2); }},
        {"keys beyond the capacity", [&](Bytes& b) { put32(b, counts + 8, 5); }},
        {"live count off by one", [&](Bytes& b) { put32(b, counts + 8, 1); }},
        {"tombstone count off by one", [&](Bytes& b) { put32(b, counts + 12, 0); }},
        {"key size 5", [&](Bytes& b) { b[tail + 4] = 5; }},
        {"slot beyond the used area", [&](Bytes& b) { put32(b, live, 48); }},
        {"slot off the grid", [&](Bytes& b) { put32(b, live, b[live] + 1); }},
        {"slot inside an entry", [&](Bytes& b) { put32(b, live, b[live] == 0 ? 8 : b[live] - 8); }},
        {"tombstone becomes a second name for an entry", [&](Bytes& b) { std::memcpy(&b[tomb], &b[live], 4); }},
        {"length code runs past the used area", [&](Bytes& b) { b[4 + 4] = 0xFE; }},
        {"malformed length code", [&](Bytes& b) { std::memset(&b[4 + 4], 0xFF, 5); }},
        {"selected with tombstones", [&](Bytes& b) { b.back() = 1; }},
    };
    for (const auto& [what, apply] : mutations) {
        Bytes bad = good;
        apply(bad);
        ASSERT_NE(bad, good) << what;
        refused(bad, what);
    }
    Bytes copy = good;
    UByte* cursor = copy.data();
    EXPECT_TRUE(HashDelTableMemRead(r, &cursor, copy.data() + copy.size()));
    ExpectSound(r);
    HashDelTableFree(r);
    HashDelTableFree(t);
}

TEST(HashDelTableForm, ByteReadersStopAtTheEnd) {
    UByte bytes[] = {0x78, 0x56, 0x34, 0x12, 0x02};
    UByte* p = bytes;
    UInt v = 99;
    EXPECT_FALSE(UIntMemRead(&p, bytes + 3, &v));
    EXPECT_EQ(v, 99u);  // stored only when read whole
    EXPECT_EQ(p, bytes + 3);
    p = bytes;
    EXPECT_TRUE(UIntMemRead(&p, bytes + 5, &v));
    EXPECT_EQ(v, 0x12345678u);
    Boolean b = TRUE;
    EXPECT_TRUE(BooleanMemRead(&p, bytes + 5, &b));
    EXPECT_FALSE(b);  // 2 is not TRUE
    UByte u;
    EXPECT_FALSE(UByteMemRead(&p, bytes + 5, &u));
}

// ---- misuse ---------------------------------------------------------------------------------------------

TEST(HashDelTableDeathTest, DocumentedAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 1);
    EXPECT_DEATH(HashDelTableGrow(t, 1.0f, nullptr), "factor > 1\\.0");
    EXPECT_DEATH(Find(t, std::string(300, 'k')), "l < \\(b << \\(8 \\* k\\)\\)");
    EXPECT_FALSE(Remove(t, std::string(300, 'k')));  // removal checks no length
    EXPECT_DEATH(HashDelTableSort(t, ByKey, t), "cmp != NULL && table->t_selected");
    EXPECT_DEATH(HashDelTableGetIndex(t, 0), "table->t_selected");
    const size_t used = t->t_data_used;
    t->t_data_used = UINT_MAX_VALUE;
    UByteArray a;
    ArrayInit_(&a);
    EXPECT_DEATH(HashDelTableMemWrite(t, &a), "table->t_data_used < UINT_MAX_VALUE");
    t->t_data_used = used;
    HashDelTableSelect(t, 0, nullptr, nullptr);
    EXPECT_DEATH(HashDelTableSort(t, nullptr, nullptr), "cmp != NULL && table->t_selected");
    EXPECT_DEATH(Find(t, "k"), "!table->t_selected");
    EXPECT_DEATH(Remove(t, "k"), "!table->t_selected");
    EXPECT_DEATH(HashDelTableGrow(t, 2.0f, nullptr), "!table->t_selected");
    HashDelTableFree(t);
    HashDelTable* wide = HashDelTableNew(5, nullptr, nullptr, nullptr, 8, 5);
    EXPECT_DEATH(Find(wide, "k", true), "size <= 4");
    HashDelTableFree(wide);
}

// ---- the shared differential suite ----------------------------------------------------------------------

struct HashDelTableOps : zkadapt::HashDelTableOps {
    // Serialised and read back into a fresh table.
    static Table* RoundTrip(Table* t) {
        Bytes form = Form(t);
        Table* loaded = HashDelTableNew(5, nullptr, nullptr, nullptr, 0, 0);
        UByte* cursor = form.data();
        EXPECT_TRUE(HashDelTableMemRead(loaded, &cursor, form.data() + form.size()));
        EXPECT_EQ(Form(loaded), form);
        HashDelTableFree(t);
        return loaded;
    }
};

}  // namespace

namespace zktest {
INSTANTIATE_TYPED_TEST_SUITE_P(HashDelTable, PackedTableSuite, ::HashDelTableOps);
}  // namespace zktest
