// HashTable and the entry encoding it shares with the table with deletion.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <functional>
#include <set>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "adapters/tables.h"
#include "dict/entry_codec.h"
#include "dict/hashtable.h"
#include "dict/hashtable_internal.h"
#include "util/io2.h"
#include "tests/packed_table_suite.h"
#include "tests/test_files.h"
#include "tests/test_seed.h"

namespace {

using Bytes = std::vector<UByte>;

UInt Seed() { return zktest::Seed(); }

void* Find(HashTable* t, const std::string& key, bool create = false, UInt* offset = nullptr,
           void* ptr = nullptr) {
    return HashTableFind(t, key.data(), UInt(key.size()), create ? TRUE : FALSE, offset, ptr);
}

void ExpectSound(const HashTable* t, void* ptr = nullptr) {
    std::string fault = zk::CheckHashTable(t, ptr);
    EXPECT_EQ(fault, "");
}

// ---- the byte encodings ----------------------------------------------------------------------------

TEST(EntryEncoding, LengthCodeLayoutsAtEveryWidthBoundary) {
    const struct {
        UInt value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {127, {0xFE}},
        {128, {0x01, 0x02}},
        {300, {0x59, 0x04}},
        {16383, {0xFF, 0xFE}},
        {16384, {0x01, 0x01, 0x02}},
        {2097151, {0xFF, 0xFF, 0xFE}},
        {2097152, {0x01, 0x01, 0x01, 0x02}},
        {268435455, {0xFF, 0xFF, 0xFF, 0xFE}},
        {268435456, {0x01, 0x01, 0x01, 0x01, 0x02}},
        {4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x1E}},
    };
    for (const auto& c : cases) {
        UByte buf[8] = {0};
        UByte* w = buf;
        UInt n = 0;
        IO2_MemRefWrite4(&w, c.value, &n);
        EXPECT_EQ(n, c.bytes.size()) << c.value;
        EXPECT_EQ(w - buf, ptrdiff_t(n));
        EXPECT_EQ(Bytes(buf, buf + n), c.bytes) << c.value;
        const UByte* r = buf;
        EXPECT_EQ(IO2_MemRefReadChecked4(&r), c.value);
        EXPECT_EQ(r - buf, ptrdiff_t(n));
    }
}

TEST(EntryEncoding, MalformedFiveByteCodeReadsAsZeroWithoutMoving) {
    const UByte bad[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    const UByte* r = bad;
    EXPECT_EQ(IO2_MemRefReadChecked4(&r), 0u);
    EXPECT_EQ(r, bad);
    const UByte* key = nullptr;
    EXPECT_EQ(zk::DecodeKey(bad, 0, &key), 0u);
    EXPECT_EQ(key, bad);
}

TEST(EntryEncoding, FixedWidthLittleEndian) {
    UByte buf[16];
    UByte* w = buf;
    IO2_MemWriteLE1(&w, 0xAB);
    IO2_MemWriteLE2(&w, 0xBEEF);
    IO2_MemWriteLE3(&w, 0x123456);
    IO2_MemWriteLE4(&w, 0xDEADBEEF);
    EXPECT_EQ(w - buf, 10);
    EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{0xAB, 0xEF, 0xBE, 0x56, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE}));
    const UByte* r = buf;
    EXPECT_EQ(IO2_MemReadLE1(&r), 0xABu);
    EXPECT_EQ(IO2_MemReadLE2(&r), 0xBEEFu);
    EXPECT_EQ(IO2_MemReadLE3(&r), 0x123456u);
    EXPECT_EQ(IO2_MemReadLE4(&r), 0xDEADBEEFu);

    for (UInt size = 0; size <= 4; size++) {
        UByte out[4] = {0x55, 0x55, 0x55, 0x55};
        UByte* p = out;
        UInt v = 0x01020304u & (size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1);
        IO2_MemWritePaddedLE4(&p, v, size);
        EXPECT_EQ(p - out, ptrdiff_t(size));
        const UByte* q = out;
        EXPECT_EQ(IO2_MemReadPaddedLE4(&q, size), v);
        EXPECT_EQ(q - out, ptrdiff_t(size));
    }
}

TEST(EntryEncodingDeathTest, WidthAboveFourStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    UByte buf[8] = {0};
    const UByte* r = buf;
    UByte* w = buf;
    EXPECT_DEATH(IO2_MemReadPaddedLE4(&r, 5), "size <= 4");
    EXPECT_DEATH(IO2_MemWritePaddedLE4(&w, 1, 5), "size <= 4");
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 0, 5, FALSE);
    EXPECT_DEATH(Find(t, "k", true), "size <= 4");
    HashTableFree(t);
}

UInt NaiveHash(const UByte* b, UInt len) {
    UInt code = 0;
    for (UInt i = len; i > 0; i--) code = code * 257u + b[i - 1];
    return code;
}

TEST(HashBytesTest, KnownVectorsAndAgreementWithTheByteWiseRule) {
    auto h = [](const std::string& s) { return HashBytes(reinterpret_cast<const UByte*>(s.data()), UInt(s.size())); };
    EXPECT_EQ(h(""), 0u);
    EXPECT_EQ(h("a"), 97u);
    EXPECT_EQ(h("ab"), 25283u);
    EXPECT_EQ(h("abc"), 6564134u);
    EXPECT_EQ(h("hello"), 743325460u);
    EXPECT_EQ(h(std::string(8, '\xFF')), 4058246136u);

    std::mt19937 rng(Seed());
    for (UInt len = 0; len <= 80; len++) {
        for (int rep = 0; rep < 20; rep++) {
            Bytes b(len);
            for (auto& x : b) x = UByte(rng());
            ASSERT_EQ(HashBytes(b.data(), len), NaiveHash(b.data(), len)) << "length " << len;
        }
    }
}

// ---- creation, layout and the insertion rules ------------------------------------------------------

class HashTableMem : public ::testing::TestWithParam<bool> {};

TEST_P(HashTableMem, CreationSizes) {
    HashTable* t = HashTableNew(0, nullptr, nullptr, nullptr, 8, 0, GetParam());
    EXPECT_EQ(HashTableCapacity(t), 5u);
    EXPECT_EQ(t->t_entries_size, 7u);
    EXPECT_EQ(t->t_data_size, 35u);
    EXPECT_EQ(t->t_data_used, 0u);
    EXPECT_EQ(t->t_vm, GetParam() ? 1 : 0);
    EXPECT_TRUE(t->t_aligned);
    EXPECT_EQ(HashTableSize(t), 0u);
    for (UInt s = 0; s < t->t_entries_size; s++) EXPECT_EQ(t->t_entries[s], HASH_EMPTY);
    HashTableFree(t);

    t = HashTableNew(100, nullptr, nullptr, nullptr, 8, 0, GetParam());
    EXPECT_EQ(HashTableCapacity(t), 100u);
    EXPECT_EQ(t->t_entries_size, 151u);
    EXPECT_EQ(t->t_data_size, 5u * 151u);
    HashTableFree(t);
}

TEST_P(HashTableMem, EntryLayoutPaddingAndPrefixes) {
    HashTable* t = HashTableNew(10, nullptr, nullptr, nullptr, 8, 0, GetParam());
    UInt off1 = 99, off2 = 99, off3 = 99;
    ASSERT_NE(Find(t, "abc", true, &off1), nullptr);
    EXPECT_EQ(off1, 0u);
    EXPECT_EQ(t->t_data_used, 12u);  // 8 value bytes, prefix 06, "abc"
    EXPECT_EQ(Bytes(t->t_data + 8, t->t_data + 12), (Bytes{0x06, 'a', 'b', 'c'}));
    ASSERT_NE(Find(t, "", true, &off2), nullptr);
    EXPECT_EQ(off2, 16u);
    EXPECT_EQ(t->t_data[24], 0x00);
    EXPECT_EQ(t->t_data_used, 25u);
    std::string k128(128, 'x'), k127(127, 'y');
    ASSERT_NE(Find(t, k128, true, &off3), nullptr);
    EXPECT_EQ(off3, 32u);
    EXPECT_EQ(Bytes(t->t_data + 40, t->t_data + 42), (Bytes{0x01, 0x02}));
    UInt off4;
    ASSERT_NE(Find(t, k127, true, &off4), nullptr);
    EXPECT_EQ(off4 % 8, 0u);
    EXPECT_EQ(t->t_data[off4 + 8], 0xFE);

    const UByte* key;
    EXPECT_EQ(HashTableKey(t, t->t_data + off3, &key), 128u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(key), 128), k128);
    EXPECT_EQ(HashTableKey(t, t->t_data + off2, &key), 0u);
    ExpectSound(t);
    HashTableFree(t);
}

TEST_P(HashTableMem, FixedWidthPrefixAcceptsTheLongestKeyItCanCount) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 4, 2, GetParam());
    std::string longest(65535, 'k');
    UInt off;
    ASSERT_NE(Find(t, longest, true, &off), nullptr);
    EXPECT_EQ(Bytes(t->t_data + off + 4, t->t_data + off + 6), (Bytes{0xFF, 0xFF}));
    EXPECT_NE(Find(t, longest), nullptr);
    ExpectSound(t);
    HashTableFree(t);
}

TEST_P(HashTableMem, FullTableRefusesUntilGrown) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 8, 0, GetParam());
    for (int i = 0; i < 5; i++) ASSERT_NE(Find(t, "key" + std::to_string(i), true), nullptr);
    EXPECT_TRUE(HashTableFull(t));
    size_t used = t->t_data_used;
    EXPECT_EQ(Find(t, "key5", true), nullptr);
    EXPECT_EQ(t->t_data_used, used);
    EXPECT_EQ(HashTableSize(t), 5u);
    for (int i = 0; i < 5; i++) EXPECT_NE(Find(t, "key" + std::to_string(i)), nullptr);

    UByte* data = t->t_data;
    HashTableGrow(t, 2.0f, nullptr);
    EXPECT_EQ(t->t_data, data);  // growth re-files entries; the data area stays put
    EXPECT_EQ(HashTableCapacity(t), 10u);
    EXPECT_EQ(t->t_entries_size, Prime(15));
    EXPECT_FALSE(HashTableFull(t));
    EXPECT_NE(Find(t, "key5", true), nullptr);
    for (int i = 0; i < 6; i++) EXPECT_NE(Find(t, "key" + std::to_string(i)), nullptr);
    ExpectSound(t);
    HashTableFree(t);
}

TEST_P(HashTableMem, FirstInsertionGrowsTheDataAreaToWhatItNeeds) {
    HashTable* t = HashTableNew(0, nullptr, nullptr, nullptr, 8, 0, GetParam());
    ASSERT_EQ(t->t_data_size, 35u);
    ASSERT_NE(Find(t, std::string(100, 'q'), true), nullptr);
    EXPECT_EQ(t->t_data_size, 113u);  // 8 + 100 + the widest prefix, above 35 * 3 / 2
    ASSERT_NE(Find(t, "a", true), nullptr);
    EXPECT_EQ(t->t_data_size, 169u);  // 113 * 3 / 2 once more room is needed
    HashTableFree(t);
}

TEST_P(HashTableMem, ClearKeepsMemoryAndRefillsFromOffsetZero) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 8, 0, GetParam());
    for (int i = 0; i < 5; i++) Find(t, "k" + std::to_string(i), true);
    HashTableGrow(t, 3.0f, nullptr);
    UInt cap = HashTableCapacity(t), slots = t->t_entries_size;
    size_t size = t->t_data_size;
    HashTableClear(t);
    EXPECT_EQ(HashTableSize(t), 0u);
    EXPECT_EQ(t->t_data_used, 0u);
    EXPECT_EQ(HashTableCapacity(t), cap);
    EXPECT_EQ(t->t_entries_size, slots);
    EXPECT_EQ(t->t_data_size, size);
    EXPECT_EQ(Find(t, "k1"), nullptr);
    UInt off = 7;
    ASSERT_NE(Find(t, "fresh", true, &off), nullptr);
    EXPECT_EQ(off, 0u);
    ExpectSound(t);
    HashTableFree(t);
}

TEST_P(HashTableMem, CopiesAreIndependentBothWays) {
    HashTable* a = HashTableNew(5, nullptr, nullptr, nullptr, 8, 0, GetParam());
    for (int i = 0; i < 4; i++) *static_cast<ULong*>(Find(a, "k" + std::to_string(i), true)) = ULong(i);
    HashTable* b = HashTableCopy(a);
    EXPECT_NE(a->t_data, b->t_data);
    EXPECT_NE(a->t_entries, b->t_entries);
    EXPECT_EQ(b->t_vm, a->t_vm);
    EXPECT_EQ(std::memcmp(a->t_data, b->t_data, a->t_data_size), 0);

    *static_cast<ULong*>(Find(a, "k1")) = 100;
    Find(a, "only-a", true);
    HashTableGrow(a, 4.0f, nullptr);
    Find(b, "only-b", true);
    EXPECT_EQ(*static_cast<ULong*>(Find(b, "k1")), 1u);
    EXPECT_EQ(Find(b, "only-a"), nullptr);
    EXPECT_EQ(Find(a, "only-b"), nullptr);
    EXPECT_EQ(HashTableCapacity(b), 5u);
    EXPECT_EQ(HashTableSize(a), 5u);
    EXPECT_EQ(HashTableSize(b), 5u);
    HashTableClear(a);
    EXPECT_EQ(*static_cast<ULong*>(Find(b, "k3")), 3u);
    ExpectSound(a);
    ExpectSound(b);
    HashTableFree(a);
    HashTableFree(b);
}

INSTANTIATE_TEST_SUITE_P(HeapAndMapped, HashTableMem, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "mapped" : "heap"; });

// ---- callbacks ---------------------------------------------------------------------------------------

struct Context {
    int hashes = 0, values = 0, equals = 0;
    bool refuse = false;
};

// Case-insensitive keys: both the hash and the equality fold case, so "Key" and "KEY" are one key.
UInt FoldHash(const UByte* b, UInt len, void* ptr) {
    static_cast<Context*>(ptr)->hashes++;
    UInt h = 0;
    for (UInt i = len; i > 0; i--) h = h * 31u + UInt(std::tolower(b[i - 1]));
    return h;
}
Boolean FoldEqual(const UByte* s, UInt slen, const UByte* b, UInt len, void* ptr) {
    static_cast<Context*>(ptr)->equals++;
    if (slen != len) return FALSE;
    for (UInt i = 0; i < len; i++)
        if (std::tolower(s[i]) != std::tolower(b[i])) return FALSE;
    return TRUE;
}
Boolean CountingValue(void* val, const UByte* b, UInt len, void* ptr) {
    auto* ctx = static_cast<Context*>(ptr);
    if (ctx->refuse) return FALSE;
    ctx->values++;
    std::memset(val, 0xAB, 16);
    std::memcpy(val, b, len < 8 ? len : 8);
    return TRUE;
}

TEST(HashTableCallbacks, ReceiveTheCallersContext) {
    Context ctx;
    HashTable* t = HashTableNew(5, FoldHash, CountingValue, FoldEqual, 16, 0, FALSE);
    UInt off1, off2;
    void* v1 = Find(t, "Key", true, &off1, &ctx);
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(ctx.values, 1);
    EXPECT_EQ(std::memcmp(v1, "Key", 3), 0);
    EXPECT_EQ(static_cast<UByte*>(v1)[15], 0xAB);

    void* v2 = Find(t, "KEY", true, &off2, &ctx);  // equal under the table's equality: found, not created
    EXPECT_EQ(v2, v1);
    EXPECT_EQ(off2, off1);
    EXPECT_EQ(ctx.values, 1);
    EXPECT_GE(ctx.equals, 1);
    EXPECT_EQ(HashTableSize(t), 1u);

    for (int i = 0; i < 4; i++) Find(t, "w" + std::to_string(i), true, nullptr, &ctx);
    int before = ctx.hashes;
    HashTableGrow(t, 2.0f, &ctx);
    EXPECT_EQ(ctx.hashes - before, 5);  // growth re-hashes every entry with the caller's context
    EXPECT_NE(Find(t, "W3", false, nullptr, &ctx), nullptr);
    ExpectSound(t, &ctx);
    HashTableFree(t);
}

TEST(HashTableCallbacks, RefusedValueCreatesNothing) {
    Context ctx;
    HashTable* t = HashTableNew(5, nullptr, CountingValue, nullptr, 16, 0, FALSE);
    Find(t, "kept", true, nullptr, &ctx);
    size_t used = t->t_data_used;
    ctx.refuse = true;
    UInt off = 12345;
    EXPECT_EQ(Find(t, "refused", true, &off, &ctx), nullptr);
    EXPECT_EQ(off, 12345u);
    EXPECT_EQ(HashTableSize(t), 1u);
    EXPECT_FALSE(HashTableFull(t));
    EXPECT_EQ(t->t_data_used, (used + 7) & ~size_t(7));  // only the padding is consumed
    ctx.refuse = false;
    EXPECT_EQ(Find(t, "refused", false, nullptr, &ctx), nullptr);
    // An existing key never reaches the value callback.
    ctx.refuse = true;
    EXPECT_NE(Find(t, "kept", true, nullptr, &ctx), nullptr);
    ExpectSound(t);
    HashTableFree(t);
}

TEST(HashTableCallbacks, NoValueCallbackZeroFills) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 16, 0, FALSE);
    // Dirty the data area first, so a zero value area proves the fill rather than fresh memory.
    std::memset(t->t_data, 0xCD, t->t_data_size);
    auto* v = static_cast<UByte*>(Find(t, "z", true));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(Bytes(v, v + 16), Bytes(16, 0));
    HashTableFree(t);
}

// ---- the used data area stays below the slot markers ------------------------------------------------

Boolean UntouchedValue(void*, const UByte*, UInt, void*) { return TRUE; }

TEST(HashTableLimits, EntriesPastTheOffsetBoundAreRefused) {
    // Two-gigabyte value areas in mapped memory reach the 32-bit bound in two entries while only the
    // pages of the keys are ever touched.
    const UInt val = 0x7FFFFFF0u;
    HashTable* t = HashTableNew(5, nullptr, UntouchedValue, nullptr, val, 0, TRUE);
    UInt off;
    ASSERT_NE(Find(t, "seven77", true, &off), nullptr);
    EXPECT_EQ(t->t_data_used, size_t(val) + 1 + 7);
    // The next entry starts at 0x7FFFFFF8 and its value area takes it to 0xFFFFFFE8; a 1-byte prefix
    // and 20 key bytes end exactly at 0xFFFFFFFD, the last offset below the markers.
    std::string tooLong(21, 'x'), fits(20, 'y');
    size_t used = t->t_data_used, size = t->t_data_size;
    EXPECT_EQ(Find(t, tooLong, true), nullptr);
    EXPECT_EQ(t->t_data_used, used);
    EXPECT_EQ(t->t_data_size, size);
    EXPECT_EQ(HashTableSize(t), 1u);
    EXPECT_FALSE(HashTableFull(t));
    ASSERT_NE(Find(t, fits, true, &off), nullptr);
    EXPECT_EQ(off, 0x7FFFFFF8u);
    EXPECT_EQ(t->t_data_used, size_t(zk::kMaxDataUsed));
    EXPECT_EQ(Find(t, "", true), nullptr);
    EXPECT_EQ(HashTableSize(t), 2u);
    EXPECT_NE(Find(t, "seven77"), nullptr);
    EXPECT_NE(Find(t, fits), nullptr);
    HashTableGrow(t, 2.0f, nullptr);
    EXPECT_NE(Find(t, fits), nullptr);
    EXPECT_EQ(Find(t, "z", true), nullptr);  // growing adds slots, not offset room
    HashTableFree(t);
}

// ---- randomised differential test --------------------------------------------------------------------

struct Config {
    bool vm;
    UByte keySize;
    UInt valLen;
};

void PrintTo(const Config& c, std::ostream* os) {
    *os << (c.vm ? "mapped" : "heap") << " key_size " << int(c.keySize) << " val_len " << c.valLen;
}

class HashTableDifferential : public ::testing::TestWithParam<Config> {};

TEST_P(HashTableDifferential, MatchesUnorderedMapThroughGrowth) {
    const Config cfg = GetParam();
    std::mt19937_64 rng(Seed() ^ (cfg.vm ? 0x1000 : 0) ^ (cfg.keySize << 4) ^ cfg.valLen);
    HashTable* t = HashTableNew(8, nullptr, nullptr, nullptr, cfg.valLen, cfg.keySize, cfg.vm);
    std::unordered_map<std::string, std::pair<UInt, ULong>> model;  // key -> offset, value
    std::vector<std::string> keys;

    auto randomKey = [&] {
        // Mostly short keys over a small alphabet, so collisions of hash slots and repeated keys
        // are common; now and then a long key that needs a two-byte length code.
        size_t len = rng() % 10 == 0 ? 100 + rng() % 300 : rng() % 12;
        std::string k(len, '\0');
        for (auto& c : k) c = char('a' + rng() % 4);
        return k;
    };
    const UInt maxLen = cfg.keySize == 1 ? 255 : ~0u;

    for (int step = 0; step < 200000; step++) {
        std::string key = (!keys.empty() && rng() % 3 == 0) ? keys[rng() % keys.size()] : randomKey();
        if (key.size() > maxLen) key.resize(maxLen);
        bool create = rng() % 4 != 0;
        UInt off = 0;
        void* v = Find(t, key, create, &off);
        auto it = model.find(key);
        if (it != model.end()) {
            ASSERT_NE(v, nullptr) << "step " << step;
            ASSERT_EQ(off, it->second.first);
            if (cfg.valLen >= 8) {
                ULong stored;
                std::memcpy(&stored, v, 8);
                ASSERT_EQ(stored, it->second.second);
            }
        } else if (!create) {
            ASSERT_EQ(v, nullptr);
        } else if (v == nullptr) {
            ASSERT_TRUE(HashTableFull(t));
            HashTableGrow(t, rng() % 2 ? 2.0f : 1.5f, nullptr);
            ASSERT_EQ(HashTableSize(t), model.size());
            v = Find(t, key, true, &off);
            ASSERT_NE(v, nullptr);
        }
        if (v != nullptr && it == model.end()) {
            ULong value = rng();
            if (cfg.valLen >= 8) std::memcpy(v, &value, 8);
            model[key] = {off, value};
            keys.push_back(key);
            const UByte* stored;
            ASSERT_EQ(HashTableKey(t, v, &stored), key.size());
            ASSERT_EQ(std::memcmp(stored, key.data(), key.size()), 0);
        }
        ASSERT_EQ(HashTableSize(t), model.size());
        if (step % 20000 == 0) {
            ASSERT_EQ(zk::CheckHashTable(t, nullptr), "") << "step " << step;
        }
    }
    for (const auto& [key, entry] : model) {
        UInt off;
        ASSERT_NE(Find(t, key, false, &off), nullptr);
        ASSERT_EQ(off, entry.first);
    }
    ASSERT_EQ(zk::CheckHashTable(t, nullptr), "");
    HashTableFree(t);
}

INSTANTIATE_TEST_SUITE_P(Configs, HashTableDifferential,
                         ::testing::Values(Config{false, 0, 8}, Config{true, 0, 8}, Config{false, 1, 13},
                                           Config{false, 2, 0}, Config{true, 4, 24}),
                         [](const auto& info) {
                             const Config& c = info.param;
                             return std::string(c.vm ? "mapped" : "heap") + "_keysize" +
                                    std::to_string(c.keySize) + "_val" + std::to_string(c.valLen);
                         });

// ---- walks, selections and positions ------------------------------------------------------------------

std::string KeyAt(const HashTable* t, const void* val) {
    return std::string(zkadapt::HashTableOps::KeyView(t, val));
}

// A table of the keys, in this order, each value area holding its position as one byte.
HashTable* TableOf(const std::vector<std::string>& keys, UInt valLen = 8) {
    HashTable* t = HashTableNew(UInt(keys.size()), nullptr, nullptr, nullptr, valLen, 0, FALSE);
    for (size_t i = 0; i < keys.size(); i++) {
        auto* v = static_cast<UByte*>(Find(t, keys[i], true));
        EXPECT_NE(v, nullptr);
        if (v && valLen) v[0] = UByte(i);
    }
    return t;
}

struct Visits {
    const HashTable* t;
    std::vector<std::string> keys;
    UInt stopAt = 0;  // returns 7 on this visit (1-based); 0: never
};
UInt Visit(void* val, void* ptr) {
    auto* v = static_cast<Visits*>(ptr);
    v->keys.push_back(KeyAt(v->t, val));
    return v->keys.size() == v->stopAt ? 7 : 0;
}

TEST(HashTableWalks, EnumerationInStorageOrderStopsOnANonZeroResult) {
    HashTable* t = TableOf({});
    Visits none{t, {}};
    EXPECT_EQ(HashTableEnumerate(t, 0, Visit, &none), 0u);
    EXPECT_TRUE(none.keys.empty());
    HashTableFree(t);

    t = TableOf({"pear", "fig", "apple", "plum", ""});
    Visits all{t, {}};
    EXPECT_EQ(HashTableEnumerate(t, 0, Visit, &all), 0u);
    EXPECT_EQ(all.keys, (std::vector<std::string>{"pear", "fig", "apple", "plum", ""}));
    Visits third{t, {}, 3};
    EXPECT_EQ(HashTableEnumerate(t, 0, Visit, &third), 7u);
    EXPECT_EQ(third.keys, (std::vector<std::string>{"pear", "fig", "apple"}));
    UInt plum;
    ASSERT_NE(Find(t, "plum", false, &plum), nullptr);
    Visits tail{t, {}};
    EXPECT_EQ(HashTableEnumerate(t, plum, Visit, &tail), 0u);
    EXPECT_EQ(tail.keys, (std::vector<std::string>{"plum", ""}));
    Visits past{t, {}};
    EXPECT_EQ(HashTableEnumerate(t, UInt(t->t_data_used), Visit, &past), 0u);
    EXPECT_TRUE(past.keys.empty());
    HashTableFree(t);
}

TEST(HashTableWalks, AWalkThatInsertsVisitsTheNewEntriesToo) {
    HashTable* t = TableOf({"a", "b"});
    HashTableGrow(t, 4.0f, nullptr);
    struct Inserter {
        HashTable* t;
        std::vector<std::string> seen;
    } ins{t, {}};
    // Long keys, so that the data area has to move while the walk is on it.
    EXPECT_EQ(HashTableEnumerate(
                  t, 0,
                  [](void* val, void* ptr) -> UInt {
                      auto* in = static_cast<Inserter*>(ptr);
                      in->seen.push_back(KeyAt(in->t, val));
                      if (in->seen.size() <= 2) Find(in->t, std::string(300, char('x' + in->seen.size())), true);
                      return 0;
                  },
                  &ins),
              0u);
    EXPECT_EQ(ins.seen, (std::vector<std::string>{"a", "b", std::string(300, 'y'), std::string(300, 'z')}));
    ExpectSound(t);
    HashTableFree(t);
}

Boolean KeepAll(void*, void*) { return TRUE; }

TEST(HashTableWalks, SelectionInPlaceFreezesTheTableUntilCleared) {
    std::vector<std::string> keys;
    for (int i = 0; i < 10; i++) keys.push_back("key" + std::to_string(i));
    HashTable* t = TableOf(keys);

    // A limit of 3 takes the first three entries in slot order and asks about no more.
    struct Counter {
        int calls = 0;
    } counter;
    EXPECT_EQ(HashTableSelect(
                  t, 3,
                  [](void*, void* ptr) -> Boolean {
                      static_cast<Counter*>(ptr)->calls++;
                      return TRUE;
                  },
                  &counter, nullptr),
              3u);
    EXPECT_EQ(counter.calls, 3);
    EXPECT_TRUE(t->t_selected);
    EXPECT_EQ(HashTableSize(t), 3u);
    ExpectSound(t);

    // Enumeration still walks the whole data area.
    Visits all{t, {}};
    HashTableEnumerate(t, 0, Visit, &all);
    EXPECT_EQ(all.keys, keys);

    HashTableClear(t);
    EXPECT_FALSE(t->t_selected);
    EXPECT_NE(Find(t, "again", true), nullptr);
    EXPECT_EQ(HashTableSize(t), 1u);
    HashTableFree(t);

    t = TableOf(keys);
    EXPECT_EQ(HashTableSelect(t, 0, [](void*, void*) -> Boolean { return FALSE; }, nullptr, nullptr), 0u);
    EXPECT_EQ(HashTableSize(t), 0u);
    for (UInt s = 0; s < t->t_entries_size; s++) EXPECT_EQ(t->t_entries[s], HASH_EMPTY);
    HashTableFree(t);

    t = TableOf(keys);
    EXPECT_EQ(HashTableSelect(t, 0, nullptr, nullptr, nullptr), 10u);
    EXPECT_EQ(HashTableSize(t), 10u);
    // Refining keeps the list's order.
    std::vector<UInt> list(t->t_entries, t->t_entries + 10);
    EXPECT_EQ(HashTableSelect(t, 0, [](void* val, void*) -> Boolean { return static_cast<UByte*>(val)[0] % 2; },
                              nullptr, nullptr),
              5u);
    std::vector<UInt> odd;
    for (UInt off : list)
        if (t->t_data[off] % 2) odd.push_back(off);
    EXPECT_EQ(std::vector<UInt>(t->t_entries, t->t_entries + 5), odd);
    ExpectSound(t);
    HashTableFree(t);
}

TEST(HashTableFindMany, RefusesWhatItCannotAnswer) {
    HashTable* t = TableOf({"a", "b"});
    const void* keys[] = {"a", "zz"};
    const UInt lens[] = {1, 2};
    void* values[] = {nullptr, &values};
    ASSERT_TRUE(HashTableFindMany(t, 2, keys, lens, values, nullptr));
    EXPECT_EQ(values[0], Find(t, "a", false));
    EXPECT_EQ(values[1], nullptr);
    EXPECT_TRUE(HashTableFindMany(t, 0, nullptr, nullptr, nullptr, nullptr));
    for (auto [table, k, v] : {std::tuple<HashTable*, const void* const*, void**>{nullptr, keys, values},
                               {t, nullptr, values}, {t, keys, nullptr}}) {
        errno = 0;
        EXPECT_FALSE(HashTableFindMany(table, 2, k, lens, v, nullptr));
        EXPECT_EQ(errno, EINVAL);
    }
    // A frozen table answers no lookup, as HashTableFind would stop on it.
    HashTableSelect(t, 0, nullptr, nullptr, nullptr);
    errno = 0;
    EXPECT_FALSE(HashTableFindMany(t, 2, keys, lens, values, nullptr));
    EXPECT_EQ(errno, EINVAL);
    HashTableFree(t);
}

int ByFirstByte(const void* a, const void* b, void*) {
    return int(*static_cast<const UByte*>(a)) - int(*static_cast<const UByte*>(b));
}

TEST(HashTableWalks, SortedSelectionsReadByPosition) {
    std::vector<std::string> keys;
    for (int i = 0; i < 40; i++) keys.push_back("k" + std::to_string(i * 7919 % 1000));
    HashTable* t = TableOf(keys);
    ASSERT_EQ(HashTableSelect(t, 0, nullptr, nullptr, nullptr), 40u);
    HashTableSort(t, ByFirstByte, nullptr, nullptr);
    for (UInt i = 0; i < 40; i++) {
        EXPECT_EQ(*static_cast<UByte*>(HashTableGetIndex(t, i, nullptr)), i);
        EXPECT_EQ(KeyAt(t, HashTableGetIndex(t, i, nullptr)), keys[i]);
    }
    HashTableFree(t);
}

TEST(HashTableWalks, SelectionIntoAnArrayLeavesCountsButFindsNothing) {
    HashTable* t = TableOf({"w", "x", "y", "z"});
    UIntArray array;
    ArrayInit_(&array);
    array.length = 0;
    ArrayGrow_(&array, sizeof(UInt), __FILE__, __LINE__);
    array.data[0] = 12345;
    array.length = 1;  // stale content is replaced, not appended to
    EXPECT_EQ(HashTableSelect(t, 0, KeepAll, nullptr, &array), 4u);
    EXPECT_EQ(array.length, 4u);
    EXPECT_FALSE(t->t_selected);
    EXPECT_EQ(HashTableSize(t), 4u);
    for (const char* k : {"w", "x", "y", "z"}) EXPECT_EQ(Find(t, k), nullptr);

    HashTableSort(t, ByFirstByte, nullptr, &array);
    for (UInt i = 0; i < 4; i++) {
        EXPECT_EQ(KeyAt(t, HashTableGetIndex(t, i, &array)), std::string(1, char('w' + i)));
        EXPECT_EQ(HashTableGetOffset(t, array.data[i]), HashTableGetIndex(t, i, &array));
    }
    // An array grows as the selection needs.
    HashTable* big = TableOf(std::vector<std::string>(0));
    for (int i = 0; i < 1000; i++) {
        while (Find(big, "n" + std::to_string(i), true) == nullptr) HashTableGrow(big, 2.0f, nullptr);
    }
    EXPECT_EQ(HashTableSelect(big, 0, nullptr, nullptr, &array), 1000u);
    EXPECT_GE(array.capacity, 1000u);
    ArrayFree_(&array);
    HashTableFree(big);
    HashTableFree(t);
}

TEST(HashTableWalks, IteratorVisitsInsertionOrderAndSurvivesInsertions) {
    EXPECT_EQ(HashTableIteratorInit(nullptr), nullptr);
    HashTable* t = TableOf({});
    HashTableIterator* it = HashTableIteratorInit(t);
    EXPECT_TRUE(HashTableIteratorEnd(it));
    HashTableIteratorFinalize(it);

    HashTableFree(t);
    t = TableOf({"one", "two", "three"});
    HashTableGrow(t, 2.0f, nullptr);
    it = HashTableIteratorInit(t);
    std::vector<std::string> seen;
    for (; !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
        const UByte* key;
        UInt len = HashTableIteratorGetKey(it, &key);
        seen.emplace_back(reinterpret_cast<const char*>(key), len);
        EXPECT_EQ(KeyAt(t, HashTableIteratorGetValue(it)), seen.back());
        if (seen.size() == 1) Find(t, std::string(500, 'm'), true);  // moves the data area
    }
    HashTableIteratorFinalize(it);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", std::string(500, 'm')}));
    HashTableFree(t);
}

struct HashTableOps : zkadapt::HashTableOps {
    // Saved and loaded again, into the other kind of memory.
    static Table* RoundTrip(Table* t) {
        const std::string path = ::testing::TempDir() + "hashtable_roundtrip." + std::to_string(getpid());
        EXPECT_TRUE(HashTableWrite(t, path.c_str()));
        Table* loaded = HashTableRead(path.c_str(), nullptr, nullptr, nullptr, t->t_vm ? FALSE : TRUE);
        unlink(path.c_str());
        HashTableFree(t);
        return loaded;
    }
};

}  // namespace

namespace zktest {
INSTANTIATE_TYPED_TEST_SUITE_P(HashTable, PackedTableSuite, ::HashTableOps);
}  // namespace zktest

namespace {

// ---- files ------------------------------------------------------------------------------------------

class HashTableFiles : public zktest::TempDirTest {
protected:
    std::string Path(const std::string& name = "t.tab") const { return PathOf(name); }
};

// A header worked out by hand: the fields in order, packed, little-endian.
Bytes Header(UInt selected, UInt valLen, UByte keySize, UInt used, UInt capacity, UInt slots, ULong dataUsed,
             ULong dataSize) {
    Bytes h;
    auto put = [&h](ULong v, int n) {
        for (int i = 0; i < n; i++) h.push_back(UByte(v >> (8 * i)));
    };
    put(selected, 4);
    put(valLen, 4);
    put(keySize, 1);
    put(used, 4);
    put(capacity, 4);
    put(slots, 4);
    put(dataUsed, 8);
    put(dataSize, 8);
    return h;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes SlotBytes(const std::vector<UInt>& slots) {
    Bytes out;
    for (UInt s : slots)
        for (int i = 0; i < 4; i++) out.push_back(UByte(s >> (8 * i)));
    return out;
}

TEST_F(HashTableFiles, GoldenFilesOfAFreshAndASmallTable) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 4, 0, FALSE);
    std::memset(t->t_data, 0xA5, t->t_data_size);  // what a reused heap block may hold
    ASSERT_TRUE(HashTableWrite(t, Path().c_str()));
    Bytes file = zktest::ReadFile(Path());
    ASSERT_EQ(file.size(), 37u + 4 * 7 + 5 * 7);
    EXPECT_EQ(Bytes(file.begin() + 65, file.end()), Bytes(35, 0));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 37), Header(0, 4, 0, 0, 5, 7, 0, 35));
    EXPECT_EQ(Bytes(file.begin() + 37, file.begin() + 65), Bytes(28, 0xFF));

    // Two entries: "ab" at 0 (value, prefix 04, the key: 7 bytes), then one byte of padding and "xyz"
    // at 8 (value, prefix 06, the key), each in the slot its hash modulo 7 gives, or the next one.
    auto* v = static_cast<UByte*>(Find(t, "ab", true));
    std::memcpy(v, "\x01\x02\x03\x04", 4);
    v = static_cast<UByte*>(Find(t, "xyz", true));
    std::memcpy(v, "\x05\x06\x07\x08", 4);
    ASSERT_TRUE(HashTableWrite(t, Path().c_str()));
    file = zktest::ReadFile(Path());
    std::vector<UInt> slots(7, HASH_EMPTY);
    const UInt hab = 25283u % 7, hxyz = HashBytes(reinterpret_cast<const UByte*>("xyz"), 3) % 7;
    slots[hab] = 0;
    slots[hxyz == hab ? (hab + 1) % 7 : hxyz] = 8;
    const Bytes data = {1, 2, 3, 4, 0x04, 'a', 'b'};
    const Bytes data2 = {5, 6, 7, 8, 0x06, 'x', 'y', 'z'};
    ASSERT_EQ(file.size(), 37u + 28 + 35);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 37), Header(0, 4, 0, 2, 5, 7, 16, 35));
    EXPECT_EQ(Bytes(file.begin() + 37, file.begin() + 65), SlotBytes(slots));
    // Padding and the unused tail are zeros, whatever the heap held there.
    Bytes area = data;
    area.push_back(0);
    area.insert(area.end(), data2.begin(), data2.end());
    area.resize(35, 0);
    EXPECT_EQ(Bytes(file.begin() + 65, file.end()), area);
    HashTableFree(t);
    EXPECT_EQ(Listing(), std::set<std::string>{"t.tab"});  // no temporary left behind
}

TEST_F(HashTableFiles, RoundTripKeepsSizesOffsetsValuesAndOrder) {
    for (Boolean vm : {FALSE, TRUE}) {
        HashTable* t = HashTableNew(3, nullptr, nullptr, nullptr, 8, 2, vm);
        std::vector<std::pair<std::string, UInt>> entries;
        for (int i = 0; i < 300; i++) {
            std::string k = "key-" + std::to_string(i * 31) + std::string(i % 17, 'q');
            UInt off;
            void* val;
            while ((val = Find(t, k, true, &off)) == nullptr) HashTableGrow(t, 1.7f, nullptr);
            ULong x = ULong(i) * 0x9E3779B97F4A7C15ull;
            std::memcpy(val, &x, 8);
            entries.emplace_back(k, off);
        }
        ASSERT_TRUE(HashTableWrite(t, Path().c_str()));
        HashTable* r = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, !vm);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->t_vm, vm ? 0 : 1);
        EXPECT_TRUE(r->t_aligned);
        EXPECT_EQ(HashTableSize(r), HashTableSize(t));
        EXPECT_EQ(HashTableCapacity(r), HashTableCapacity(t));
        EXPECT_EQ(r->t_entries_size, t->t_entries_size);
        EXPECT_EQ(r->t_data_used, t->t_data_used);
        EXPECT_EQ(r->t_data_size, t->t_data_size);
        EXPECT_EQ(r->t_val_len, 8u);
        EXPECT_EQ(r->t_key_size, 2);
        EXPECT_EQ(std::memcmp(r->t_data, t->t_data, t->t_data_used), 0);
        for (size_t i = 0; i < entries.size(); i++) {
            UInt off;
            void* val = Find(r, entries[i].first, false, &off);
            ASSERT_NE(val, nullptr);
            EXPECT_EQ(off, entries[i].second);
            ULong x;
            std::memcpy(&x, val, 8);
            EXPECT_EQ(x, ULong(i) * 0x9E3779B97F4A7C15ull);
        }
        Visits order{r, {}};
        HashTableEnumerate(r, 0, Visit, &order);
        ASSERT_EQ(order.keys.size(), entries.size());
        for (size_t i = 0; i < entries.size(); i++) EXPECT_EQ(order.keys[i], entries[i].first);
        ExpectSound(r);
        // The loaded table goes on growing like any other.
        while (!HashTableFull(r)) Find(r, "more" + std::to_string(HashTableSize(r)), true);
        HashTableGrow(r, 2.0f, nullptr);
        EXPECT_NE(Find(r, "after-growth", true), nullptr);
        ExpectSound(r);
        HashTableFree(r);
        HashTableFree(t);
    }
}

TEST_F(HashTableFiles, ASelectedSortedTableStaysSelected) {
    HashTable* t = TableOf({"d", "b", "e", "a", "c"});
    HashTableSelect(t, 0, nullptr, nullptr, nullptr);
    HashTableSort(
        t,
        [](const void* a, const void* b, void* ptr) -> int {
            const auto* tt = static_cast<const HashTable*>(ptr);
            return KeyAt(tt, a).compare(KeyAt(tt, b));
        },
        t, nullptr);
    ASSERT_TRUE(HashTableWrite(t, Path().c_str()));
    HashTable* r = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->t_selected);
    for (UInt i = 0; i < 5; i++) EXPECT_EQ(KeyAt(r, HashTableGetIndex(r, i, nullptr)), std::string(1, char('a' + i)));
    EXPECT_DEATH(Find(r, "a"), "!table->t_selected");
    HashTableFree(r);
    HashTableFree(t);
}

TEST_F(HashTableFiles, AnOffsetOffTheGridLoadsUnalignedAndAddsNoPadding) {
    // val_len 4, key_size 0: "abc" at 0 (8 bytes), "de" at 8 (7 bytes), "f" at 15, off the grid.
    const Bytes data = {0, 0, 0, 0, 0x06, 'a', 'b', 'c', 0, 0, 0, 0, 0x04, 'd', 'e', 0, 0, 0, 0, 0x02, 'f'};
    std::vector<UInt> slots(7, HASH_EMPTY);
    slots[HashBytes(reinterpret_cast<const UByte*>("abc"), 3) % 7] = 0;
    auto file = [&](UInt s, UInt off) {
        while (slots[s % 7] != HASH_EMPTY) s++;
        slots[s % 7] = off;
    };
    file(HashBytes(reinterpret_cast<const UByte*>("de"), 2), 8);
    file(HashBytes(reinterpret_cast<const UByte*>("f"), 1), 15);
    Bytes area = data;
    area.resize(35, 0xEE);
    zktest::WriteFile(Path(), Concat(Concat(Header(0, 4, 0, 3, 5, 7, data.size(), 35), SlotBytes(slots)), area));
    HashTable* t = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->t_aligned);
    for (const char* k : {"abc", "de", "f"}) EXPECT_NE(Find(t, k), nullptr) << k;
    UInt off;
    ASSERT_NE(Find(t, "gh", true, &off), nullptr);
    EXPECT_EQ(off, data.size());  // right after "f", not rounded up to 24
    Visits order{t, {}};
    HashTableEnumerate(t, 0, Visit, &order);
    EXPECT_EQ(order.keys, (std::vector<std::string>{"abc", "de", "f", "gh"}));
    ExpectSound(t);
    HashTableFree(t);
}

// A selection can leave an unaligned table filing only offsets on the 8-byte grid, which is how the
// reader tells an aligned table; such a table is saved aligned instead, and a file saved as it was
// (an earlier writer's) still loads unaligned, because the padded walk does not fit its data area.
TEST_F(HashTableFiles, AnUnalignedSelectionOnTheGridSurvivesARoundTrip) {
    // The data of the test above: "abc" at 0, "de" at 8 and "f" at 15, selected: "abc" and "de".
    const Bytes data = {0, 0, 0, 0, 0x06, 'a', 'b', 'c', 0, 0, 0, 0, 0x04, 'd', 'e', 0, 0, 0, 0, 0x02, 'f'};
    std::vector<UInt> slots(7, HASH_EMPTY);
    slots[0] = 0;
    slots[1] = 8;
    zktest::WriteFile(Path(), Concat(Concat(Header(1, 4, 0, 2, 5, 7, data.size(), data.size()), SlotBytes(slots)), data));
    auto check = [&](HashTable* t, bool aligned, std::vector<UInt> offsets) {
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->t_aligned, aligned ? TRUE : FALSE);
        EXPECT_TRUE(t->t_selected);
        EXPECT_EQ(HashTableSize(t), 2u);
        EXPECT_EQ(std::vector<UInt>(t->t_entries, t->t_entries + 2), (std::vector<UInt>{offsets[0], offsets[1]}));
        EXPECT_EQ(KeyAt(t, t->t_data + t->t_entries[0]), "abc");
        EXPECT_EQ(KeyAt(t, t->t_data + t->t_entries[1]), "de");
        Visits order{t, {}};
        HashTableEnumerate(t, 0, Visit, &order);
        EXPECT_EQ(order.keys, (std::vector<std::string>{"abc", "de", "f"}));
        ExpectSound(t);
    };
    HashTable* t = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, FALSE);
    check(t, false, {0, 8});
    ASSERT_TRUE(HashTableWrite(t, Path("again").c_str()));
    HashTable* back = HashTableRead(Path("again").c_str(), nullptr, nullptr, nullptr, FALSE);
    check(back, true, {0, 8});
    EXPECT_EQ(back->t_data_used, 21u + 1);  // "f" moved from 15 to 16
    EXPECT_EQ(std::memcmp(back->t_data + 16, data.data() + 15, 6), 0);
    HashTableFree(back);
    HashTableFree(t);

    // The shape no reader can tell apart: val_len 0, one-byte lengths, "O" at 0 and "" at 2. Keeping
    // "O" alone files offset 0 only, and a padded walk of the three bytes sees "O" and padding.
    std::vector<UInt> two(7, HASH_EMPTY);
    two[HashBytes(reinterpret_cast<const UByte*>("O"), 1) % 7] = 0;
    UInt s = HashBytes(reinterpret_cast<const UByte*>(""), 0);
    while (two[s % 7] != HASH_EMPTY) s++;
    two[s % 7] = 2;
    zktest::WriteFile(Path(), Concat(Concat(Header(0, 0, 1, 2, 5, 7, 3, 3), SlotBytes(two)), Bytes{1, 'O', 0}));
    t = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(t, nullptr);
    ASSERT_FALSE(t->t_aligned);
    auto nonEmpty = [](void* val, void* table) -> Boolean {
        return KeyAt(static_cast<HashTable*>(table), val).empty() ? FALSE : TRUE;
    };
    ASSERT_EQ(HashTableSelect(t, 0, nonEmpty, t, nullptr), 1u);
    ASSERT_TRUE(HashTableWrite(t, Path("again").c_str()));
    back = HashTableRead(Path("again").c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(back, nullptr);
    Visits order{back, {}};
    HashTableEnumerate(back, 0, Visit, &order);
    EXPECT_EQ(order.keys, (std::vector<std::string>{"O", ""}));
    EXPECT_EQ(HashTableSize(back), 1u);
    EXPECT_EQ(KeyAt(back, back->t_data + back->t_entries[0]), "O");
    ExpectSound(back);
    HashTableFree(back);
    HashTableFree(t);
}

TEST_F(HashTableFiles, MissingFilesAndDirectoriesAreReported) {
    zktest::CapturedReports reports("dict/hashtable");
    EXPECT_EQ(HashTableRead(Path("absent").c_str(), nullptr, nullptr, nullptr, FALSE), nullptr);
    EXPECT_EQ(errno, ENOENT);
    HashTable* t = TableOf({"k"});
    EXPECT_FALSE(HashTableWrite(t, Path("no/such/dir").c_str()));
    EXPECT_EQ(errno, ENOENT);
    HashTableFree(t);
    const std::vector<std::string> got = reports.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "HashTableRead 4 error opening " + Path("absent") + ": No such file or directory");
    EXPECT_EQ(got[1], "HashTableWrite 4 error opening " + Path("no/such/dir") + ": No such file or directory");
}

TEST_F(HashTableFiles, ATableWhoseAllocationOutgrewThirtyTwoBitsSavesItsUsedPart) {
    HashTable fake{};
    fake.t_aligned = TRUE;
    fake.t_data_used = 0xFFFFFF00u;
    fake.t_data_size = 0x180000000ull;
    size_t bytes = 0;
    ASSERT_TRUE(zk::HashTableFileDataSize(&fake, &bytes));
    EXPECT_EQ(bytes, 0xFFFFFF00u);
    fake.t_data_size = 0xFFFFFFFFu;  // still countable: saved whole
    ASSERT_TRUE(zk::HashTableFileDataSize(&fake, &bytes));
    EXPECT_EQ(bytes, 0xFFFFFFFFu);
    fake.t_data_used = 0xFFFFFFFEu;  // reaches the markers: no loader would take it
    EXPECT_FALSE(zk::HashTableFileDataSize(&fake, &bytes));

    zktest::CapturedReports reports("dict/hashtable");
    EXPECT_FALSE(HashTableWrite(&fake, Path().c_str()));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_TRUE(Listing().empty());
    ASSERT_EQ(reports.Take(), std::vector<std::string>{"HashTableWrite 4 error writing " + Path() + ": File too large"});
}

// Each mutation of a valid file, and each cut of it, must be refused cleanly.
TEST_F(HashTableFiles, TruncatedAndCorruptFilesAreRefused) {
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 4, 0, FALSE);
    for (const char* k : {"alpha", "beta", "gamma"}) Find(t, k, true);
    ASSERT_TRUE(HashTableWrite(t, Path("good").c_str()));
    const Bytes good = zktest::ReadFile(Path("good"));
    HashTableFree(t);
    const size_t slots = 37, data = 37 + 4 * 7;
    auto slotAt = [&](size_t i) { return slots + 4 * i; };
    ULong dataSize;
    std::memcpy(&dataSize, &good[29], 8);
    size_t live = 0;
    while (good[slotAt(live)] == 0xFF) live++;

    zktest::CapturedReports reports("dict/hashtable");
    for (size_t n = 0; n < good.size(); n++) {
        zktest::WriteFile(Path("cut"), Bytes(good.begin(), good.begin() + n));
        ASSERT_EQ(HashTableRead(Path("cut").c_str(), nullptr, nullptr, nullptr, n % 2), nullptr) << n;
        ASSERT_EQ(reports.Take(), std::vector<std::string>{"HashTableRead 4 error reading " + Path("cut") +
                                                            ": Invalid argument"})
            << n;
    }

    struct Mutation {
        const char* what;
        std::function<void(Bytes&)> apply;
    };
    auto put32 = [](Bytes& b, size_t at, UInt v) { std::memcpy(&b[at], &v, 4); };
    auto put64 = [](Bytes& b, size_t at, ULong v) { std::memcpy(&b[at], &v, 8); };
    const std::vector<Mutation> mutations = {
        {"selected flag 2", [&](Bytes& b) { put32(b, 0, 2); }},
        {"key size 5", [&](Bytes& b) { b[8] = 5; }},
        {"more entries than the capacity", [&](Bytes& b) { put32(b, 9, 6); }},
        {"entry count off by one", [&](Bytes& b) { put32(b, 9, 2); }},
        {"slot count not the capacity's", [&](Bytes& b) { put32(b, 17, 8); }},
        {"capacity too large for its slots", [&](Bytes& b) { put32(b, 13, 0x60000000u); }},
        {"slot count claims gigabytes", [&](Bytes& b) { put32(b, 13, 0x40000000u); put32(b, 17, Prime(0x60000000u)); }},
        {"used beyond the data size", [&](Bytes& b) { put64(b, 21, dataSize + 1); }},
        {"data size claims gigabytes", [&](Bytes& b) { put64(b, 29, 0xF0000000ull); }},
        {"data size beyond 32 bits", [&](Bytes& b) { put64(b, 29, 0x100000000ull); }},
        // "alpha" at 0 to 10, "beta" at 16 to 25, "gamma" at 32 to 42.
        {"used cut inside an entry", [&](Bytes& b) { put64(b, 21, 20); }},
        {"slot beyond the used area", [&](Bytes& b) { put32(b, slotAt(live), 48); }},
        {"slot on the grid but no entry start", [&](Bytes& b) {
             for (size_t i = 0; i < 7; i++)
                 if (b[slotAt(i)] == 0 && b[slotAt(i) + 1] == 0) put32(b, slotAt(i), 8);
         }},
        {"two slots name one entry", [&](Bytes& b) {
             size_t empty = 0;
             while (b[slotAt(empty)] != 0xFF) empty++;
             std::memcpy(&b[slotAt(empty)], &b[slotAt(live)], 4);
         }},
        {"tombstone in a plain table", [&](Bytes& b) { put32(b, slotAt(live), HASH_DELETED); }},
        {"length code runs past the used area", [&](Bytes& b) { b[data + 4] = 0xFE; }},
        {"malformed five-byte length code", [&](Bytes& b) { std::memset(&b[data + 4], 0xFF, 5); }},
        {"selected but the list is not dense", [&](Bytes& b) { put32(b, 0, 1); }},
    };
    for (const auto& m : mutations) {
        Bytes bad = good;
        m.apply(bad);
        ASSERT_NE(bad, good) << m.what;
        zktest::WriteFile(Path("bad"), bad);
        for (Boolean vm : {FALSE, TRUE}) {
            EXPECT_EQ(HashTableRead(Path("bad").c_str(), nullptr, nullptr, nullptr, vm), nullptr) << m.what;
            EXPECT_EQ(reports.Take(), std::vector<std::string>{"HashTableRead 4 error reading " + Path("bad") +
                                                                ": Invalid argument"})
                << m.what;
        }
    }
    // Trailing bytes are no fault.
    zktest::WriteFile(Path("long"), Concat(good, Bytes(9, 0xAB)));
    HashTable* longer = HashTableRead(Path("long").c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(longer, nullptr);
    EXPECT_NE(Find(longer, "gamma"), nullptr);
    HashTableFree(longer);
}

// A stream whose size cannot be known up front: memory grows with what arrives, not with what the
// header claims.
TEST_F(HashTableFiles, AStreamOfUnknownSizeCostsOnlyWhatItDelivers) {
    zktest::CapturedReports reports("dict/hashtable");
    Bytes claim = Header(0, 8, 0, 0, 0x50000000u, Prime(0x78000000u), 0, 0xFFFFFFF0u);
    claim.resize(40);
    FILE* f = fmemopen(claim.data(), claim.size(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zk::HashTableReadStream(f, "stream", nullptr, nullptr, nullptr, TRUE), nullptr);
    std::fclose(f);
    EXPECT_EQ(reports.Take(), std::vector<std::string>{"HashTableRead 4 error reading stream: Invalid argument"});

    HashTable* t = TableOf({"one", "two"});
    ASSERT_TRUE(HashTableWrite(t, Path().c_str()));
    Bytes good = zktest::ReadFile(Path());
    f = fmemopen(good.data(), good.size(), "r");
    HashTable* r = zk::HashTableReadStream(f, "stream", nullptr, nullptr, nullptr, FALSE);
    std::fclose(f);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(Find(r, "two"), nullptr);
    HashTableFree(r);
    HashTableFree(t);
}

// Writing goes through a temporary file and a rename: a failed write leaves the old file as it was.
TEST_F(HashTableFiles, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    HashTable* small = TableOf({"old"});
    ASSERT_TRUE(HashTableWrite(small, Path().c_str()));
    const Bytes old = zktest::ReadFile(Path());
    HashTable* big = TableOf({});
    for (int i = 0; i < 2000; i++)
        while (Find(big, "new-key-" + std::to_string(i), true) == nullptr) HashTableGrow(big, 2.0f, nullptr);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 4096;
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    zktest::CapturedReports reports("dict/hashtable");
    const Boolean written = HashTableWrite(big, Path().c_str());
    const int err = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(reports.Take(), std::vector<std::string>{"HashTableWrite 4 error writing " + Path() + ": File too large"});
    EXPECT_EQ(zktest::ReadFile(Path()), old);
    EXPECT_EQ(Listing(), std::set<std::string>{"t.tab"});

    ASSERT_TRUE(HashTableWrite(big, Path().c_str()));
    HashTable* r = HashTableRead(Path().c_str(), nullptr, nullptr, nullptr, FALSE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(HashTableSize(r), 2000u);
    HashTableFree(r);
    HashTableFree(big);
    HashTableFree(small);
}

// ---- misuse and fatal failures -----------------------------------------------------------------------

TEST(HashTableDeathTest, DocumentedAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HashTable* t = HashTableNew(5, nullptr, nullptr, nullptr, 8, 0, FALSE);
    EXPECT_DEATH(HashTableGrow(t, 1.0f, nullptr), "factor > 1\\.0");

    t->t_selected = TRUE;
    EXPECT_DEATH(Find(t, "k"), "!table->t_selected");
    EXPECT_DEATH(HashTableGrow(t, 2.0f, nullptr), "!table->t_selected");
    t->t_selected = FALSE;

    // A slot array that claims to be larger than the one growth computes cannot be shrunk.
    UInt real = t->t_entries_size;
    t->t_entries_size = 1000;
    EXPECT_DEATH(HashTableGrow(t, 2.0f, nullptr), "osize <= nsize");
    t->t_entries_size = real;
    HashTableFree(t);

    HashTable* narrow = HashTableNew(5, nullptr, nullptr, nullptr, 8, 1, FALSE);
    EXPECT_DEATH(Find(narrow, std::string(256, 'k')), "l < \\(b << \\(8 \\* k\\)\\)");
    HashTableFree(narrow);
    HashTable* two = HashTableNew(5, nullptr, nullptr, nullptr, 8, 2, FALSE);
    EXPECT_DEATH(Find(two, std::string(65536, 'k'), true), "l < \\(b << \\(8 \\* k\\)\\)");
    HashTableFree(two);

    // A sort needs a comparison and a list; a position needs a list.
    HashTable* open = TableOf({"a", "b"});
    UIntArray none;
    ArrayInit_(&none);
    const char* sortText = "cmp != NULL && \\(entries != NULL \\|\\| table->t_selected\\)";
    EXPECT_DEATH(HashTableSort(open, ByFirstByte, nullptr, nullptr), sortText);
    EXPECT_DEATH(HashTableSort(open, nullptr, nullptr, &none), sortText);
    EXPECT_DEATH(HashTableGetIndex(open, 0, nullptr), "table->t_selected");
    HashTableSelect(open, 0, nullptr, nullptr, nullptr);
    EXPECT_DEATH(Find(open, "a"), "!table->t_selected");
    EXPECT_DEATH(HashTableGrow(open, 2.0f, nullptr), "!table->t_selected");
    HashTableFree(open);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(HashTableDeathTest, FailedMappingIsFatalWithItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In the child, cap the address space so that the slot array cannot be mapped.
    auto mapHugeTable = [] {
        struct rlimit lim = {1u << 30, 1u << 30};
        setrlimit(RLIMIT_AS, &lim);
        HashTableNew(400000000u, nullptr, nullptr, nullptr, 8, 0, TRUE);
    };
    EXPECT_DEATH(mapHugeTable(), ":hashtable: memory allocation failed: size=2400000");
}
#endif

}  // namespace
