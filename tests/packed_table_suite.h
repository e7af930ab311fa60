// packed_table_suite.h: the typed test suite that the two packed hash tables share: a randomised
// differential test against std::unordered_map with the walks mixed in (enumeration, iteration,
// selection with predicates and limits, sorting, access by position and offset), copies, saving and
// loading, and the table's invariant checker every few steps.
//
// Each table's test file instantiates the suite with the table's adapter (adapters/tables.h) and a
// RoundTrip of its own: saved and read back the way that table is. The adapter's Refuses says whether
// a creating lookup of a new key would fail for capacity now, which the suite holds against what the
// lookups do. The model tracks what both tables promise: the live keys with their value bytes, and
// their storage order, which is insertion order (a key removed and inserted again goes to the end,
// since compaction keeps storage order).
#ifndef ZKDICT_TESTS_PACKED_TABLE_SUITE_H
#define ZKDICT_TESTS_PACKED_TABLE_SUITE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/tables.h"
#include "tests/test_seed.h"
#include "zklib/zklib.h"

namespace zktest {

// The keys a walk of the whole table visits, in its order.
template <class Ops>
std::vector<std::string> WalkedKeys(typename Ops::Table* t) {
    struct Walk {
        typename Ops::Table* t;
        std::vector<std::string> keys;
    } walk{t, {}};
    Ops::Enumerate(
        t, 0,
        [](void* val, void* ptr) -> UInt {
            auto* w = static_cast<Walk*>(ptr);
            w->keys.emplace_back(Ops::KeyView(w->t, val));
            return 0;
        },
        &walk);
    return walk.keys;
}

struct PackedModelEntry {
    ULong seq;    // storage order
    ULong value;  // the first bytes of the value area, when it is at least 8 bytes
};

template <class Ops>
class PackedTableSuite : public ::testing::Test {
protected:
    using Table = typename Ops::Table;

    struct Config {
        UInt valLen;
        UByte keySize;
    };

    void SetUp() override { rng_.seed(Seed() ^ 0xA5A5u); }

    std::string RandomKey(UByte keySize) {
        // Mostly short keys over a small alphabet, so that repeats and shared start slots are common;
        // now and then a long one that needs a two-byte length code.
        size_t len = rng_() % 16 == 0 ? 128 + rng_() % 200 : rng_() % 10;
        if (keySize == 1 && len > 255) len = 255;
        std::string k(len, '\0');
        for (auto& c : k) c = char('a' + rng_() % 3);
        return k;
    }

    static std::string KeyOf(const Table* t, const void* val) { return std::string(Ops::KeyView(t, val)); }

    // The model's keys in storage order.
    std::vector<std::string> ModelOrder() const {
        std::vector<std::pair<ULong, std::string>> seqs;
        for (const auto& [k, e] : model_) seqs.emplace_back(e.seq, k);
        std::sort(seqs.begin(), seqs.end());
        std::vector<std::string> out;
        for (auto& s : seqs) out.push_back(std::move(s.second));
        return out;
    }

    void ExpectValue(const void* v, const PackedModelEntry& e, UInt valLen, const std::string& key) {
        if (valLen < 8) return;
        ULong stored;
        std::memcpy(&stored, v, 8);
        ASSERT_EQ(stored, e.value) << "value of " << key;
    }

    // Every walk over an unselected table sees exactly the model, in storage order.
    void ExpectWalks(Table* t, UInt valLen) {
        const std::vector<std::string> order = ModelOrder();
        ASSERT_EQ(WalkedKeys<Ops>(t), order);

        std::vector<std::string> iterated;
        auto* it = Ops::IteratorInit(t);
        for (; !Ops::IteratorEnd(it); Ops::IteratorNext(it)) {
            const UByte* bytes;
            const UInt len = Ops::IteratorGetKey(it, &bytes);
            iterated.emplace_back(reinterpret_cast<const char*>(bytes), len);
            ASSERT_EQ(KeyOf(t, Ops::IteratorGetValue(it)), iterated.back());
            ExpectValue(Ops::IteratorGetValue(it), model_.at(iterated.back()), valLen, iterated.back());
        }
        Ops::IteratorFinalize(it);
        ASSERT_EQ(iterated, order);
    }

    // Select some of the entries (a predicate on the key's first byte, and a limit), sort them by
    // key, and read them by position; then refine the selection once more.
    void ExpectSelectAndSort(Table* t) {
        const bool filter = rng_() % 2;
        const UInt limit = rng_() % 3 == 0 ? UInt(rng_() % (model_.size() + 2)) : 0;
        struct Pick {
            const Table* t;
            bool filter;
            UInt calls = 0;
        } pick{t, filter};
        const UInt n = Ops::Select(
            t, limit,
            [](void* val, void* ptr) -> Boolean {
                auto* p = static_cast<Pick*>(ptr);
                p->calls++;
                const std::string k = KeyOf(p->t, val);
                return !p->filter || k.empty() || k[0] != 'a';
            },
            &pick);
        UInt eligible = 0;
        for (const auto& [k, e] : model_) eligible += !filter || k.empty() || k[0] != 'a';
        const UInt expected = limit == 0 ? eligible : std::min(limit, eligible);
        ASSERT_EQ(n, expected);
        ASSERT_EQ(Ops::Size(t), n);
        ASSERT_TRUE(Ops::Frozen(t));
        if (limit == 0) {
            ASSERT_EQ(pick.calls, UInt(model_.size()));
        }
        ASSERT_EQ(Ops::Check(t), "");

        Ops::Sort(
            t,
            [](const void* a, const void* b, void* ptr) -> int {
                const auto* tt = static_cast<const Table*>(ptr);
                return KeyOf(tt, a).compare(KeyOf(tt, b));
            },
            t);
        std::vector<std::string> sorted;
        for (UInt i = 0; i < n; i++) sorted.push_back(KeyOf(t, Ops::GetIndex(t, i)));
        ASSERT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
        ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
        for (const auto& k : sorted) {
            ASSERT_TRUE(model_.count(k)) << k;
            if (filter) {
                ASSERT_TRUE(k.empty() || k[0] != 'a');
            }
        }

        // Refining keeps the list's order: a limit of half takes its first half (a limit of 0 would
        // mean none).
        const UInt half = n / 2;
        if (half == 0) return;
        ASSERT_EQ(Ops::Select(t, half, nullptr, nullptr), half);
        for (UInt i = 0; i < half; i++) ASSERT_EQ(KeyOf(t, Ops::GetIndex(t, i)), sorted[i]);
        ASSERT_EQ(Ops::Check(t), "");
    }

    // refused: the table said, before the lookup, that it refuses a new key, and key is new.
    Table* FindOrGrow(Table* t, const std::string& key, UInt* off, bool refused) {
        for (int attempt = 0; attempt < 4; attempt++) {
            if (void* v = Ops::Find(t, key, true, off)) {
                (void)v;
                EXPECT_FALSE(refused && attempt == 0) << "a new key was taken by a table that refuses new keys";
                return t;
            }
            EXPECT_TRUE(Ops::Refuses(t)) << "a creating lookup failed on a table with room";
            Ops::Grow(t, rng_() % 2 ? 2.0f : 1.5f);
        }
        ADD_FAILURE() << "growing did not make room for " << key;
        return t;
    }

    void Run(const Config& cfg, int steps) {
        // HashTable alternates between heap blocks and page mappings; the sibling has heap blocks only.
        const UInt capacity = UInt(rng_() % 20);
        Table* t = Ops::New(capacity, nullptr, nullptr, nullptr, cfg.valLen, cfg.keySize,
                            capacity % 2 ? TRUE : FALSE);
        model_.clear();
        ULong seq = 0;
        for (int step = 0; step < steps; step++) {
            const unsigned op = unsigned(rng_() % 100);
            std::string key = !model_.empty() && rng_() % 3 == 0 ? std::next(model_.begin(), rng_() % model_.size())->first
                                                                 : RandomKey(cfg.keySize);
            auto it = model_.find(key);
            if (op < 45) {  // lookup with creation
                UInt off = 0;
                const size_t before = Ops::Size(t);
                t = FindOrGrow(t, key, &off, it == model_.end() && Ops::Refuses(t));
                void* v = Ops::GetOffset(t, off);
                ASSERT_EQ(KeyOf(t, v), key);
                if (it != model_.end()) {
                    ASSERT_EQ(Ops::Size(t), before);
                    ExpectValue(v, it->second, cfg.valLen, key);
                } else {
                    ASSERT_EQ(Ops::Size(t), before + 1);
                    const ULong value = rng_();
                    if (cfg.valLen >= 8) std::memcpy(v, &value, 8);
                    model_[key] = {seq++, value};
                }
            } else if (op < 50) {
                // A batch lookup of present and absent keys (with key_size 1, one too long to be
                // stored among them) answers as the model does, batch boundaries included.
                std::vector<std::string> keys(rng_() % 40);
                for (auto& k : keys) {
                    k = !model_.empty() && rng_() % 2 ? std::next(model_.begin(), rng_() % model_.size())->first
                                                      : RandomKey(cfg.keySize);
                }
                if (cfg.keySize == 1 && !keys.empty()) keys[0].assign(256, 'a');
                std::vector<const void*> bytes;
                std::vector<UInt> lens;
                for (const auto& k : keys) {
                    bytes.push_back(k.data());
                    lens.push_back(UInt(k.size()));
                }
                std::vector<void*> values(keys.size(), &model_);
                ASSERT_TRUE(Ops::FindMany(t, UInt(keys.size()), bytes.data(), lens.data(), values.data()));
                for (size_t i = 0; i < keys.size(); i++) {
                    const auto m = model_.find(keys[i]);
                    ASSERT_EQ(values[i] != nullptr, m != model_.end()) << keys[i];
                    if (values[i] == nullptr) continue;
                    ASSERT_EQ(KeyOf(t, values[i]), keys[i]);
                    ExpectValue(values[i], m->second, cfg.valLen, keys[i]);
                }
            } else if (op < 65) {  // plain lookup
                UInt off = 0;
                void* v = Ops::Find(t, key, false, &off);
                ASSERT_EQ(v != nullptr, it != model_.end()) << key;
                if (v) {
                    ASSERT_EQ(Ops::GetOffset(t, off), v);
                    ExpectValue(v, it->second, cfg.valLen, key);
                }
            } else if (op < 85) {
                if constexpr (Ops::kRemoves) {
                    ASSERT_EQ(Ops::Remove(t, key) != FALSE, it != model_.end()) << key;
                    if (it != model_.end()) model_.erase(it);
                    ASSERT_EQ(Ops::Find(t, key, false, nullptr), nullptr);
                }
            } else if (op < 90) {
                ExpectWalks(t, cfg.valLen);
                if (this->HasFatalFailure()) return;
            } else if (op < 92) {
                // A walk that inserts: on an unselected table the new entries are visited too.
                struct Grower {
                    Table* t;
                    std::string prefix;
                    int added = 0, seen = 0;
                } g{t, "walk" + std::to_string(step) + "-"};
                if (Ops::Size(t) + 3 < Ops::Capacity(t) / 2) {
                    Ops::Enumerate(
                        t, 0,
                        [](void* val, void* ptr) -> UInt {
                            auto* gg = static_cast<Grower*>(ptr);
                            if (KeyOf(gg->t, val).rfind(gg->prefix, 0) == 0) gg->seen++;
                            if (gg->added < 3) {
                                const std::string k = gg->prefix + std::to_string(gg->added++);
                                EXPECT_NE(Ops::Find(gg->t, k, true, nullptr), nullptr);
                            }
                            return 0;
                        },
                        &g);
                    if (g.added > 0) {
                        ASSERT_EQ(g.seen, g.added);
                    }
                    for (int i = 0; i < g.added; i++) {
                        const std::string k = g.prefix + std::to_string(i);
                        void* v = Ops::Find(t, k, false, nullptr);
                        ASSERT_NE(v, nullptr);
                        ULong value = 0;
                        if (cfg.valLen >= 8) std::memcpy(&value, v, 8);
                        model_[k] = {seq++, value};
                    }
                }
            } else if (op < 94) {
                Table* copy = Ops::Copy(t);
                Ops::Free(t);
                t = copy;
            } else if (op < 96 && rng_() % 16 == 0) {
                // Saving syncs to disk, so it is the rarest step.
                t = Ops::RoundTrip(t);
                ASSERT_NE(t, nullptr);
                ASSERT_EQ(Ops::Size(t), model_.size());
            } else if (op < 97 && Ops::Capacity(t) < 4 * Ops::Size(t) + 16) {
                Ops::Grow(t, 1.25f);
            } else if (op < 98 && step > steps / 2) {
                ExpectSelectAndSort(t);
                if (this->HasFatalFailure()) return;
                Ops::Clear(t);
                model_.clear();
            }
            ASSERT_EQ(Ops::Size(t), model_.size());
            if (step % 500 == 0) {
                ASSERT_EQ(Ops::Check(t), "") << "step " << step;
            }
            // What the table was made with survives copies, saves, growth and clearing.
            ASSERT_EQ(Ops::ValueSize(t), cfg.valLen);
            ASSERT_EQ(Ops::KeySize(t), cfg.keySize);
            ASSERT_FALSE(Ops::Frozen(t));
        }
        ASSERT_EQ(Ops::Check(t), "");
        for (const auto& [k, e] : model_) {
            void* v = Ops::Find(t, k, false, nullptr);
            ASSERT_NE(v, nullptr) << k;
            ExpectValue(v, e, cfg.valLen, k);
        }
        ExpectWalks(t, cfg.valLen);
        ExpectSelectAndSort(t);
        Ops::Free(t);
    }

    std::mt19937_64 rng_;
    std::unordered_map<std::string, PackedModelEntry> model_;
};

TYPED_TEST_SUITE_P(PackedTableSuite);

TYPED_TEST_P(PackedTableSuite, MatchesTheModelThroughWalksCopiesAndSaves) {
    using Config = typename TestFixture::Config;
    for (const Config cfg : {Config{8, 0}, Config{16, 1}, Config{0, 0}, Config{13, 2}, Config{8, 4}}) {
        SCOPED_TRACE("val_len " + std::to_string(cfg.valLen) + " key_size " + std::to_string(cfg.keySize));
        this->Run(cfg, 12000);
        if (this->HasFatalFailure()) return;
    }
}

REGISTER_TYPED_TEST_SUITE_P(PackedTableSuite, MatchesTheModelThroughWalksCopiesAndSaves);

}  // namespace zktest

#endif  // ZKDICT_TESTS_PACKED_TABLE_SUITE_H
