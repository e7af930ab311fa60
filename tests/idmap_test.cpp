// IdMap and RefMap: one typed suite for the two widths. A randomised differential test against
// std::unordered_map plus the positional order (insertion order, re-filed in old-slot order at each
// growth), the edge cases worked out by hand, the growth arithmetic at the 32-bit edges, and the
// documented assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/idmap.h"
#include "dict/idmap_internal.h"
#include "tests/test_seed.h"

namespace {

// What the suite draws on at each width: keys at its edges, and its largest ordinary key.
struct IdMapOps : zkadapt::IdMapOps {
    static constexpr Key kTop = 0xFFFFFFFFu;  // an ordinary key and value
    static constexpr Key kSpecials[] = {0, 1, 0xFFFFFFFFu, 0xFFFFFFFDu, 0x7FFFFFFFu, 0x80000000u};
};
struct RefMapOps : zkadapt::RefMapOps {
    static constexpr Key kTop = NOREF - 1;
    static constexpr Key kSpecials[] = {0, 1, 0xFFFFFFFEu, 0xFFFFFFFFu, 1ull << 32, NOREF - 1, NOREF - 2, 1ull << 63};
};

// The growth rule, computed here in 64 bits from the contract.
UInt ExpectedGrown(UInt size) { return size >= 0x7FFFFFFFu ? 0 : UInt(std::min<ULong>(2ull * size, 0x7FFFFFFFu)); }
UInt ExpectedSlots(UInt capacity) { return Prime(UInt(ULong(capacity) * 3 / 2)); }
bool IsPrime64(ULong n) {
    if (n < 2) return false;
    for (ULong d = 2; d * d <= n; d++)
        if (n % d == 0) return false;
    return true;
}

template <class Ops>
class IntMapTest : public ::testing::Test {
protected:
    using Map = typename Ops::Map;
    using Key = typename Ops::Key;
    static constexpr Key kNone = Ops::kNone;
    static constexpr bool kWide = sizeof(Key) == 8;

    void SetUp() override { rng_.seed(zktest::Seed() ^ (kWide ? 0x64u : 0x32u)); }
    void TearDown() override {
        if (map_) Ops::Delete(map_);  // also when a failure ended the test early
    }

    Key Pick(std::initializer_list<Key> keys) { return keys.begin()[rng_() % keys.size()]; }

    Key RandomKey(bool bulk) {
        for (;;) {
            const UInt slots = map_->m_allocated;
            Key k;
            switch (bulk ? 9 : rng_() % 10) {
                case 0: case 1: k = Key(rng_() % 48); break;  // a small range: repeats and shared starts
                case 2: k = Key(rng_() % 40) * slots + Pick({0, 1, Key(slots - 1), Key(slots - 2)}); break;
                case 3: if (!order_.empty()) { k = order_[rng_() % order_.size()]; break; } [[fallthrough]];
                case 4: k = Ops::kSpecials[rng_() % std::size(Ops::kSpecials)]; break;
                case 5: k = Key(rng_() % (2 * order_.size() + 64)); break;  // dense: clusters
                case 6:
                    if constexpr (kWide) {  // equal modulo 2^32
                        // ... and, for a multiple of the slot count, at the same start slot too
                        k = Key(rng_() % 48) + (Pick({1, 5, 0xFFFFFFFFull, rng_() >> 32, slots, 3ull * slots}) << 32);
                    } else {
                        k = Key(0xFFFFFFFFu - rng_() % 64);
                    }
                    break;
                default: k = Key(rng_()); break;
            }
            if (k != kNone) return k;
        }
    }
    Key RandomValue() {
        for (;;) {
            const Key v = rng_() % 4 ? Key(rng_()) : Pick({0, Ops::kTop, 1, Key(0xFFFFFFFFu)});
            if (v != kNone) return v;
        }
    }

    // Every position holds the model's entry; with slots, the slot each position names.
    void ExpectOrder(std::vector<std::pair<UInt, Key>>* slots = nullptr) {
        ASSERT_EQ(Ops::Size(map_), order_.size());
        for (UInt n = 0; n < order_.size(); n++) {
            Key k = kNone, v = kNone;
            Ops::Get(map_, n, &k, &v);
            ASSERT_EQ(k, order_[n]) << "position " << n;
            ASSERT_EQ(v, model_.at(k)) << "position " << n;
            const UInt s = map_->m_used.data[n];
            ASSERT_EQ(map_->m_entries[s].e_key, k);
            if (slots) slots->emplace_back(s, k);
        }
    }

    void Find(Key key, Key create, Key update) {
        auto it = model_.find(key);
        const bool present = it != model_.end(), adds = !present && create != kNone;
        const bool grows = adds && order_.size() == map_->m_capacity;
        if (grows) {
            // Re-filed in the old table's slot order: the slots as m_used names them.
            std::vector<std::pair<UInt, Key>> slots;
            ExpectOrder(&slots);
            ASSERT_EQ(Ops::Check(map_), "") << "before growth at " << order_.size();
            std::sort(slots.begin(), slots.end());
            for (size_t n = 0; n < slots.size(); n++) order_[n] = slots[n].second;
        }
        const UInt capacity = map_->m_capacity;
        Boolean added = rng_() % 2 ? TRUE : FALSE;
        const bool withAdded = rng_() % 4 != 0;
        const Key got = Ops::Find(map_, key, create, update, withAdded ? &added : nullptr);
        if (present) {
            if (update != kNone) it->second = update;
            ASSERT_EQ(got, it->second) << key;
        } else if (!adds) {
            ASSERT_EQ(got, kNone) << key;
        } else {
            ASSERT_EQ(got, create) << key;
            model_[key] = create;
            order_.push_back(key);
            const UInt s = map_->m_used.data[order_.size() - 1];
            ASSERT_EQ(map_->m_entries[s].e_key, key);
            if (order_.size() == 1) {  // in an empty table the probe starts, and stops, at key mod slots
                ASSERT_EQ(s, UInt(key % map_->m_allocated)) << key;
            }
        }
        if (withAdded) {
            ASSERT_EQ(added, adds ? TRUE : FALSE) << key;
        }
        ASSERT_EQ(Ops::Size(map_), model_.size());
        if (grows) {
            ASSERT_EQ(map_->m_capacity, ExpectedGrown(capacity));
            ASSERT_EQ(map_->m_allocated, ExpectedSlots(map_->m_capacity));
            ASSERT_EQ(Ops::Check(map_), "") << "after growth to " << map_->m_capacity;
            ExpectOrder();
            growths_++;
        } else {
            ASSERT_EQ(map_->m_capacity, capacity);
        }
    }

    void Clear() {
        const UInt capacity = map_->m_capacity, slots = map_->m_allocated;
        const void* table = map_->m_entries;
        Ops::Clear(map_);
        ASSERT_EQ(Ops::Size(map_), 0u);
        ASSERT_EQ(map_->m_capacity, capacity);
        ASSERT_EQ(map_->m_allocated, slots);
        ASSERT_EQ(static_cast<const void*>(map_->m_entries), table);
        for (const Key k : order_) {
            Boolean added = TRUE;
            ASSERT_EQ(Ops::Find(map_, k, kNone, rng_() % 2 ? kNone : Key(7), &added), kNone) << k;
            ASSERT_FALSE(added);
        }
        ASSERT_EQ(Ops::Size(map_), 0u);
        ASSERT_EQ(Ops::Check(map_), "");
        model_.clear();
        order_.clear();
        clears_++;
    }

    std::mt19937_64 rng_;
    Map* map_ = nullptr;
    std::unordered_map<Key, Key> model_;
    std::vector<Key> order_;  // the key at each position
    int growths_ = 0, clears_ = 0;
};

using Maps = ::testing::Types<IdMapOps, RefMapOps>;
struct MapNames {
    template <class T>
    static std::string GetName(int) { return T::kName; }
};
TYPED_TEST_SUITE(IntMapTest, Maps, MapNames);

TYPED_TEST(IntMapTest, MatchesTheModelThroughGrowthsAndClears) {
    using Key = typename TestFixture::Key;
    constexpr Key kNone = TestFixture::kNone;
    this->map_ = TypeParam::New();
    long steps = 0;
    for (int round = 0; round < 150; round++) {
        // The first round grows through a dozen doublings; later ones mostly stay small.
        const size_t target = round == 0 ? 100000 : this->rng_() % 8 == 0 ? 1u << (8 + this->rng_() % 8) : this->rng_() % 200;
        const bool bulk = target > 1000;
        for (long i = 0; this->model_.size() < target && i < long(3 * target + 200); i++, steps++) {
            const unsigned op = unsigned(this->rng_() % 100);
            if (bulk && op < 50) {
                this->Find(this->RandomKey(true), this->RandomValue(), kNone);
            } else if (op < 60) {  // creating lookup, now and then updating
                const Key update = this->rng_() % 3 == 0 ? this->RandomValue() : kNone;
                this->Find(this->RandomKey(false), this->RandomValue(), update);
            } else if (op < 80) {  // plain lookup, which still updates a present key
                const Key update = this->rng_() % 3 == 0 ? this->RandomValue() : kNone;
                this->Find(this->RandomKey(false), kNone, update);
            } else if (!this->order_.empty()) {
                const UInt n = UInt(this->rng_() % this->order_.size());
                Key k = kNone, v = kNone;
                TypeParam::Get(this->map_, n, &k, op % 2 ? &v : nullptr);
                ASSERT_EQ(k, this->order_[n]);
                if (op % 2) {
                    ASSERT_EQ(v, this->model_.at(k));
                }
                TypeParam::Get(this->map_, n, nullptr, &v);
                ASSERT_EQ(v, this->model_.at(k));
            }
            if (this->HasFatalFailure()) return;
            if (steps % 4096 == 0) {
                ASSERT_EQ(TypeParam::Check(this->map_), "") << "step " << steps;
            }
        }
        this->ExpectOrder();
        ASSERT_EQ(TypeParam::Check(this->map_), "");
        // A batch lookup, over several batches, of present keys, absent ones and the sentinel
        // answers as the model does and changes nothing.
        std::vector<Key> keys(this->rng_() % 100), values(keys.size() + 1, Key(7));
        for (auto& k : keys) k = this->rng_() % 16 == 0 ? kNone : this->RandomKey(false);
        ASSERT_TRUE(TypeParam::FindMany(this->map_, UInt(keys.size()), keys.data(), values.data()));
        for (size_t i = 0; i < keys.size(); i++) {
            const auto m = this->model_.find(keys[i]);
            ASSERT_EQ(values[i], keys[i] == kNone || m == this->model_.end() ? kNone : m->second) << keys[i];
        }
        ASSERT_EQ(values.back(), Key(7));
        ASSERT_EQ(TypeParam::Size(this->map_), this->model_.size());
        if (this->rng_() % 5 == 0) {  // a fresh map grows from the start again
            TypeParam::Delete(this->map_);
            this->map_ = TypeParam::New();
            this->model_.clear();
            this->order_.clear();
        } else {
            this->Clear();
        }
        if (this->HasFatalFailure()) return;
    }
    EXPECT_GE(this->growths_, 13);
    EXPECT_GE(this->clears_, 50);
}

TYPED_TEST(IntMapTest, EdgeCasesWorkedOutByHand) {
    using Key = typename TestFixture::Key;
    constexpr Key kNone = TestFixture::kNone;
    auto* m = TypeParam::New();
    EXPECT_EQ(m->m_capacity, 10u);
    EXPECT_EQ(m->m_allocated, 17u);
    EXPECT_EQ(TypeParam::Size(m), 0u);
    // Slots mod 17, with probing and one wrap from slot 16 (33 goes 16, 0, ..., 4, then 5).
    const Key keys[] = {40, 6, 23, 0, 17, 34, 2, 19, 16, 33};
    const UInt slots[] = {6, 7, 8, 0, 1, 2, 3, 4, 16, 5};
    for (const Key k : keys) EXPECT_EQ(TypeParam::Find(m, k, k + 100, kNone, nullptr), k + 100);
    EXPECT_EQ(TypeParam::Check(m), "");
    // The batch lookup walks the same probes, the wrap from slot 16 included.
    Key found[std::size(keys)];
    ASSERT_TRUE(TypeParam::FindMany(m, UInt(std::size(keys)), keys, found));
    for (size_t i = 0; i < std::size(keys); i++) EXPECT_EQ(found[i], keys[i] + 100);
    EXPECT_TRUE(TypeParam::FindMany(m, 0, nullptr, nullptr));
    errno = 0;
    EXPECT_FALSE(TypeParam::FindMany(nullptr, 1, keys, found));
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_FALSE(TypeParam::FindMany(m, 1, keys, nullptr));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(m->m_capacity, 10u);
    for (UInt n = 0; n < 10; n++) {
        Key k, v;
        TypeParam::Get(m, n, &k, &v);
        EXPECT_EQ(k, keys[n]);  // insertion order
        EXPECT_EQ(v, keys[n] + 100);
        EXPECT_EQ(m->m_used.data[n], slots[n]);
    }
    // Find's four cases, with and without added.
    Boolean added = TRUE;
    EXPECT_EQ(TypeParam::Find(m, 40, 1, kNone, &added), 140u);  // present: the stored value
    EXPECT_FALSE(added);
    EXPECT_EQ(TypeParam::Find(m, 40, kNone, 0, nullptr), 0u);  // present with update
    EXPECT_EQ(TypeParam::Find(m, 40, kNone, kNone, nullptr), 0u);
    EXPECT_EQ(TypeParam::Find(m, 40, kNone, 140, nullptr), 140u);
    added = TRUE;
    EXPECT_EQ(TypeParam::Find(m, 51, kNone, 9, &added), kNone);  // absent, no create: nothing added
    EXPECT_FALSE(added);
    EXPECT_EQ(TypeParam::Find(m, 51, kNone, kNone, nullptr), kNone);
    EXPECT_EQ(TypeParam::Size(m), 10u);
    EXPECT_EQ(m->m_capacity, 10u);
    // The 11th key grows the map: 20 entries, Prime(30) = 31 slots, old slot order, then the new key.
    EXPECT_EQ(TypeParam::Find(m, 7, 107, 5, &added), 107u);
    EXPECT_TRUE(added);
    EXPECT_EQ(m->m_capacity, 20u);
    EXPECT_EQ(m->m_allocated, 31u);
    EXPECT_EQ(TypeParam::Check(m), "");
    const Key grown[] = {0, 17, 34, 2, 19, 33, 40, 6, 23, 16, 7};
    for (UInt n = 0; n < 11; n++) {
        Key k, v;
        TypeParam::Get(m, n, &k, &v);
        EXPECT_EQ(k, grown[n]) << n;
        EXPECT_EQ(v, grown[n] + 100) << n;
    }
    // The extremes as keys and values; the largest key in an empty table lands at key mod 31.
    TypeParam::Clear(m);
    EXPECT_EQ(TypeParam::Find(m, TypeParam::kTop, 0, kNone, nullptr), 0u);
    EXPECT_EQ(m->m_used.data[0], UInt(TypeParam::kTop % 31));
    EXPECT_EQ(TypeParam::Find(m, 0, TypeParam::kTop, kNone, nullptr), TypeParam::kTop);
    EXPECT_EQ(TypeParam::Find(m, 1, 0xFFFFFFFFu, kNone, nullptr), Key(0xFFFFFFFFu));
    EXPECT_EQ(TypeParam::Find(m, TypeParam::kTop, kNone, kNone, nullptr), 0u);
    EXPECT_EQ(TypeParam::Find(m, 0, kNone, kNone, nullptr), TypeParam::kTop);
    EXPECT_EQ(TypeParam::Find(m, 1, kNone, kNone, nullptr), Key(0xFFFFFFFFu));
    EXPECT_EQ(TypeParam::Check(m), "");
    if constexpr (TestFixture::kWide) {
        // Keys equal modulo 2^32 are distinct, and the probe starts at the whole key mod 31
        // (2^32 = 4 mod 31, so a truncated key would start elsewhere).
        const Key k = 3, aliases[] = {k, k + (1ull << 32), k + (5ull << 32), k + (0xFFFFFFFFull << 32)};
        for (const Key a : aliases) {
            TypeParam::Clear(m);
            ASSERT_EQ(TypeParam::Find(m, a, a ^ 1, kNone, nullptr), a ^ 1);
            EXPECT_EQ(m->m_used.data[0], UInt(a % 31)) << a;
            if (a != k) {
                EXPECT_NE(a % 31, k % 31);
            }
        }
        TypeParam::Clear(m);
        for (const Key a : aliases) EXPECT_EQ(TypeParam::Find(m, a, a ^ 1, kNone, nullptr), a ^ 1);
        EXPECT_EQ(TypeParam::Size(m), 4u);
        for (const Key a : aliases) EXPECT_EQ(TypeParam::Find(m, a, kNone, kNone, nullptr), a ^ 1);
        // k + 31 * 2^32 starts at k's slot with k's low 32 bits: all 64 bits tell them apart.
        const Key twin = k + (31ull << 32);
        ASSERT_EQ(twin % 31, k % 31);
        EXPECT_EQ(TypeParam::Find(m, twin, kNone, kNone, nullptr), kNone);
        EXPECT_EQ(TypeParam::Find(m, twin, 77, kNone, &added), 77u);
        EXPECT_TRUE(added);
        EXPECT_EQ(m->m_used.data[4], UInt(k % 31 + 1));
        EXPECT_EQ(TypeParam::Find(m, k, kNone, kNone, nullptr), k ^ 1);
        EXPECT_EQ(TypeParam::Size(m), 5u);
        EXPECT_EQ(TypeParam::Check(m), "");
    }
    TypeParam::Delete(m);
}

template <class Ops>
class IntMapDeathTest : public ::testing::Test {};
TYPED_TEST_SUITE(IntMapDeathTest, Maps, MapNames);

TYPED_TEST(IntMapDeathTest, DocumentedAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Key = typename TypeParam::Key;
    constexpr Key kNone = TypeParam::kNone;
    const std::string find = std::string("map != NULL && key != ") + TypeParam::kNoneName;
    const std::string get = "map != NULL && n < SIZE\\(map\\)";
    const std::string bare = "Assertion `map != NULL' failed";
    auto* m = TypeParam::New();
    EXPECT_DEATH(TypeParam::Find(m, kNone, 1, kNone, nullptr), find);
    EXPECT_DEATH(TypeParam::Find(m, kNone, kNone, kNone, nullptr), find);
    EXPECT_DEATH(TypeParam::Find(nullptr, 1, 1, kNone, nullptr), find);
    EXPECT_DEATH(TypeParam::Get(m, 0, nullptr, nullptr), get);
    TypeParam::Find(m, 1, 2, kNone, nullptr);
    EXPECT_DEATH(TypeParam::Get(m, 1, nullptr, nullptr), get);
    EXPECT_DEATH(TypeParam::Get(nullptr, 0, nullptr, nullptr), get);
    EXPECT_DEATH(TypeParam::Clear(nullptr), bare);
    EXPECT_DEATH(TypeParam::Size(nullptr), bare);
    EXPECT_DEATH(TypeParam::Delete(nullptr), bare);
    EXPECT_EQ(TypeParam::Size(m), 1u);
    TypeParam::Delete(m);
}

TEST(IdMapGrowth, ArithmeticWithoutWrap) {
    EXPECT_EQ(zk::IdMapGrownCapacity(10), 20u);
    EXPECT_EQ(zk::IdMapGrownCapacity(0x3FFFFFFFu), 0x7FFFFFFEu);
    EXPECT_EQ(zk::IdMapGrownCapacity(0x40000000u), 0x7FFFFFFFu);  // 2^31 clamps
    EXPECT_EQ(zk::IdMapGrownCapacity(0x7FFFFFFEu), 0x7FFFFFFFu);
    EXPECT_EQ(zk::IdMapGrownCapacity(0x7FFFFFFFu), 0u);  // cannot grow
    EXPECT_EQ(zk::IdMapGrownCapacity(0xFFFFFFFFu), 0u);
    for (UInt s : {1u, 10u, 20u, 1000u, 0x3FFFFFFFu, 0x40000000u, 0x40000001u, 0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u,
                   0xFFFFFFFFu})
        EXPECT_EQ(zk::IdMapGrownCapacity(s), ExpectedGrown(s)) << s;

    EXPECT_EQ(zk::IdMapSlotCount(10), 17u);
    EXPECT_EQ(zk::IdMapSlotCount(20), 31u);
    EXPECT_EQ(zk::IdMapSlotCount(40), 61u);
    // From 0x55555556 on, capacity * 3 wraps 32 bits; the slot count must not.
    for (UInt c : {10u, 20u, 40u, 160u, 0x55555555u, 0x55555556u, 0x60000000u, 0x7FFFFFFEu, 0x7FFFFFFFu}) {
        const ULong want = ULong(c) * 3 / 2;
        const UInt slots = zk::IdMapSlotCount(c);
        EXPECT_EQ(slots, Prime(UInt(want))) << c;
        EXPECT_GE(slots, want) << c;
        EXPECT_GT(slots, c) << c;
        EXPECT_TRUE(IsPrime64(slots)) << c;
    }
    // The largest: the least prime not below 3221225470, checked by trial division.
    const UInt top = zk::IdMapSlotCount(0x7FFFFFFFu);
    EXPECT_GT(top, 3221225470u);
    for (ULong n = 3221225470u; n < top; n++) EXPECT_FALSE(IsPrime64(n)) << n;
}

}  // namespace
