// HashTable and the entry encoding it shares with the table with deletion.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "dict/entry_codec.h"
#include "dict/hashtable.h"
#include "dict/hashtable_internal.h"
#include "util/io2.h"

namespace {

using Bytes = std::vector<UByte>;

UInt Seed() {
    static const UInt seed = [] {
        const char* env = std::getenv("ZK_SEED");
        UInt s = env ? UInt(std::strtoul(env, nullptr, 0)) : std::random_device{}();
        std::printf("ZK_SEED=%u (set ZK_SEED to replay)\n", s);
        return s;
    }();
    return seed;
}

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
