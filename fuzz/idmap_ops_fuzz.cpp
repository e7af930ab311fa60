// The integer maps (IdMap, RefMap) driven by a sequence of operations decoded from the input, and
// checked against a model that keeps the values in a std::unordered_map and replays the map's own
// slot discipline beside it: a key goes to the first empty slot on its linear probe from key mod the
// slot count, positions follow the order slots were filled, and a growth (an insertion into a map at
// capacity) doubles the capacity, takes Prime(capacity * 3 / 2) slots and re-files the entries in
// the order of the old slots. So every result of Find (value, and whether it added), every
// position of Get, the slot each position names, the sizes and the slot count must come out exactly
// as the model says, and the map's own checker must find nothing.
//
// Byte 0 picks the width (even: IdMap, odd: RefMap); the rest is operations, see Run::Step.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "adapters/idmap.h"
#include "fuzz/op_sequence.h"
#include "fuzz/table_fuzz.h"

namespace {

constexpr int kMaxSteps = 3000;
// 10 doubled eleven times: a dozen growths are within reach of one input.
constexpr size_t kMaxEntries = 20480;
constexpr size_t kMaxKnown = 1024;
// Maps of up to this many slots are checked after every step; larger ones every kCheckEvery.
constexpr size_t kSmallMap = 512;
constexpr int kCheckEvery = 32;

template <class Ops>
class Run {
public:
    using Map = typename Ops::Map;
    using Key = typename Ops::Key;
    static constexpr Key kNone = Ops::kNone;

    explicit Run(zkfuzz::Cursor in) : in_(in) { Fresh(); }
    ~Run() { Ops::Delete(m_); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void Go() {
        for (int step = 0; step < kMaxSteps && !in_.empty(); step++) {
            Step();
            Verify(slots_.size() <= kSmallMap || step % kCheckEvery == 0);
        }
        Verify(true);
        Positions(0, UInt(order_.size()));
    }

private:
    void Fresh() {
        m_ = Ops::New();
        capacity_ = 10;
        slots_.assign(zkfuzz::NextPrime(capacity_ * 3 / 2), kNone);
        values_.clear();
        order_.clear();
        ZKFUZZ_REQUIRE(m_->m_capacity == 10 && m_->m_allocated == 17 && slots_.size() == 17);
    }

    Key Wide() { return zkfuzz::Wide<Key>(in_); }
    UInt Two() { return zkfuzz::Two(in_); }
    static Key NotNone(Key k) { return k == kNone ? Key(k ^ 1) : k; }

    // Keys chosen to share start slots and clusters, to repeat, and to reach the extremes.
    Key NextKey() {
        const UByte mode = in_.Byte();
        const Key m = Key(slots_.size());
        switch (mode % 8) {
        case 0:
        case 1: return Key(in_.Byte() % 48);
        case 2: {
            const Key start = Key(in_.Byte() % 40) * m;
            return NotNone(start + Key(in_.Byte() % 3) + (mode & 0x80 ? Key(m - 2) : 0));
        }
        case 3: {
            const UInt pick = Two();
            return known_.empty() ? Key(mode) : known_[pick % known_.size()];
        }
        case 4: {
            const Key specials[] = {0, 1, Key(0xFFFFFFFFu), Key(0xFFFFFFFDu), Key(0x80000000u), Key(kNone - 1),
                                    Key(kNone - 2), Key(Key(1) << (sizeof(Key) * 8 - 1))};
            return NotNone(specials[in_.Byte() % std::size(specials)]);
        }
        case 5:
            if constexpr (sizeof(Key) == 8) {
                // Equal modulo 2^32, and for multiples of the slot count at the same start slot.
                const ULong high[] = {1, 5, 0xFFFFFFFFull, in_.Byte(), ULong(m), 3ull * m};
                const Key low = Key(in_.Byte() % 48);
                return NotNone(low + (high[in_.Byte() % std::size(high)] << 32));
            } else {
                return NotNone(Key(0xFFFFFFFFu - in_.Byte() % 64));
            }
        default: return NotNone(Wide());
        }
    }

    Key NextValue() {
        const UByte mode = in_.Byte();
        if (mode % 4 == 0) {
            const Key specials[] = {0, Key(0xFFFFFFFFu), 1, Key(kNone - 1)};
            return NotNone(specials[(mode >> 2) % std::size(specials)]);
        }
        return NotNone(Wide());
    }

    // The first empty slot of k's linear probe in slots.
    static size_t Probe(const std::vector<Key>& slots, Key k) {
        size_t s = size_t(k % Key(slots.size()));
        while (slots[s] != kNone) s = s + 1 == slots.size() ? 0 : s + 1;
        return s;
    }

    // The growth, replayed: entries re-filed in the order of the old slots.
    void Grow() {
        capacity_ *= 2;
        std::vector<Key> grown(zkfuzz::NextPrime(ULong(capacity_) * 3 / 2), kNone);
        std::vector<UInt> order;
        for (size_t s = 0; s < slots_.size(); s++) {
            if (slots_[s] == kNone) continue;
            const size_t t = Probe(grown, slots_[s]);
            grown[t] = slots_[s];
            order.push_back(UInt(t));
        }
        ZKFUZZ_REQUIRE(order.size() == order_.size());
        slots_ = std::move(grown);
        order_ = std::move(order);
    }

    // how: bit 0 presets added to TRUE, bit 1 leaves it out.
    void Find(Key key, Key create, Key update, UByte how) {
        const auto at = values_.find(key);
        const bool present = at != values_.end();
        const bool adds = !present && create != kNone;
        if (adds && order_.size() >= kMaxEntries) return;
        Boolean added = how & 1 ? TRUE : FALSE;  // overwritten when asked for
        const Key got = Ops::Find(m_, key, create, update, how & 2 ? nullptr : &added);
        if (!(how & 2)) ZKFUZZ_REQUIRE(added == (adds ? TRUE : FALSE));
        if (present) {
            if (update != kNone) at->second = update;
            ZKFUZZ_REQUIRE(got == at->second);
            return;
        }
        if (!adds) {
            ZKFUZZ_REQUIRE(got == kNone);
            return;
        }
        ZKFUZZ_REQUIRE(got == create);
        if (order_.size() == capacity_) Grow();
        const size_t s = Probe(slots_, key);
        slots_[s] = key;
        order_.push_back(UInt(s));
        values_.emplace(key, create);
        if (known_.size() < kMaxKnown) {
            known_.push_back(key);
        } else {
            known_[order_.size() % kMaxKnown] = key;
        }
        // The position just filled names the slot the model chose.
        ZKFUZZ_REQUIRE(m_->m_used.length == order_.size() && m_->m_used.data[order_.size() - 1] == s);
    }

    // Positions first..last-1 hold the model's entries, and name the model's slots.
    void Positions(UInt first, UInt last) {
        for (UInt n = first; n < last; n++) {
            const Key want = slots_[order_[n]];
            Key k = kNone, v = kNone;
            Ops::Get(m_, n, &k, &v);
            ZKFUZZ_REQUIRE(k == want && v == values_.at(want));
            ZKFUZZ_REQUIRE(m_->m_used.data[n] == order_[n] && m_->m_entries[order_[n]].e_key == want);
            Key only = kNone;
            Ops::Get(m_, n, &only, nullptr);
            ZKFUZZ_REQUIRE(only == want);
            Ops::Get(m_, n, nullptr, &only);
            ZKFUZZ_REQUIRE(only == v);
        }
    }

    void Clear() {
        const void* table = m_->m_entries;
        Ops::Clear(m_);
        // The capacity and the table stay.
        ZKFUZZ_REQUIRE(m_->m_capacity == capacity_ && m_->m_allocated == slots_.size() && m_->m_entries == table);
        for (const UInt s : order_) {
            Boolean added = TRUE;
            ZKFUZZ_REQUIRE(Ops::Find(m_, slots_[s], kNone, Key(7), &added) == kNone && added == FALSE);
            slots_[s] = kNone;
        }
        order_.clear();
        values_.clear();
    }

    // Many new keys at once, so that growths come within reach of short inputs.
    void Bulk() {
        const size_t count = 16 * size_t(1 + in_.Byte() % 64);
        const Key base = Wide();
        const UInt spread = in_.Byte() % 4;
        const Key stride = Key(1 + spread * (in_.Byte() | 1));
        for (size_t i = 0; i < count && order_.size() < kMaxEntries; i++) {
            Find(NotNone(Key(base + Key(i) * stride)), NotNone(Key(base ^ Key(i))), kNone, UByte(i));
        }
    }

    enum Op { kCreate, kLookup, kSpan, kBulk, kAll, kClear, kRenewOrCount };
    static constexpr zkfuzz::OpMix<Op> kMix{{{kCreate, 3}, {kLookup, 2}, {kSpan, 1}, {kBulk, 1}, {kAll, 1},
                                             {kClear, 1}, {kRenewOrCount, 1}}};

    void Step() {
        const UByte op = in_.Byte();
        switch (kMix(op)) {
        case kCreate: {
            // A creating lookup, now and then updating.
            const Key create = NextValue();
            const Key key = NextKey();
            const Key update = op & 0x80 ? NextValue() : kNone;
            Find(key, create, update, in_.Byte());
            break;
        }
        case kLookup: {
            // A plain lookup, which still updates a present key.
            const Key key = NextKey();
            const Key update = op & 0x80 ? NextValue() : kNone;
            Find(key, kNone, update, in_.Byte());
            break;
        }
        case kSpan: {
            const UInt pick = Two();
            const UInt span = 1 + in_.Byte() % 8;
            if (!order_.empty()) {
                const UInt n = UInt(pick % order_.size());
                Positions(n, std::min<UInt>(n + span, UInt(order_.size())));
            }
            break;
        }
        case kBulk: Bulk(); break;
        case kAll: Positions(0, UInt(order_.size())); break;
        case kClear:
            if ((op & 0xC0) == 0xC0) Clear();
            break;
        case kRenewOrCount:
            if ((op & 0xE0) == 0xE0) {
                // A fresh map starts growing from capacity 10 again.
                Ops::Delete(m_);
                Fresh();
            } else {
                ZKFUZZ_REQUIRE(Ops::Size(m_) == values_.size());
            }
            break;
        }
    }

    void Verify(bool full) {
        ZKFUZZ_REQUIRE(Ops::Size(m_) == values_.size() && order_.size() == values_.size());
        ZKFUZZ_REQUIRE(m_->m_capacity == capacity_ && m_->m_allocated == slots_.size());
        ZKFUZZ_REQUIRE(m_->m_used.length == order_.size());
        if (!full) return;
        const std::string fault = Ops::Check(m_);
        if (!fault.empty()) zkfuzz::Fault("the checker found a fault", fault.c_str(), __FILE__, __LINE__);
    }

    Map* m_ = nullptr;
    zkfuzz::Cursor in_;
    UInt capacity_ = 0;
    std::vector<Key> slots_;            // the model's slot table: a key or kNone
    std::vector<UInt> order_;           // the slot at each position
    std::unordered_map<Key, Key> values_;
    std::vector<Key> known_;            // keys added so far, present or cleared since
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    zkfuzz::Cursor in(data, size);
    if (in.Byte() % 2 == 0) {
        Run<zkadapt::IdMapOps>(in).Go();
    } else {
        Run<zkadapt::RefMapOps>(in).Go();
    }
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);
    return 0;
}
