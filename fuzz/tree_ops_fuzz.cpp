// The ordered dictionaries (RBDict, AVLDict, AVLLDict) driven by a sequence of operations decoded
// from the input, each checked against a std::map at once: insertions (new keys and replacements,
// with the previous-value-or-marker result), lookups, removals of present and absent keys, value
// pointers and nearest-key queries on the AVL trees, whole and early-stopped walks both
// ways, clears, and runs of increasing or decreasing keys, which take the trees' fast paths for
// keys arriving in order. Beside the tree checker, the node accounting is held to the rules of the
// headers: the high-water mark is two plus the largest size since the last clear, every node below
// it holds a key or is on the free list, a new key takes the node released last, and the array is
// the creation capacity doubled just often enough.
//
// Byte 0 picks the family (value % 3) and the creation capacity (value / 3 % 4); the rest is
// operations, see Run::Step.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "adapters/trees.h"
#include "dict/node_array.h"
#include "fuzz/op_sequence.h"
#include "fuzz/table_fuzz.h"

namespace {

// Bounds that keep one input fast under the sanitizers and every tree far below the heights the
// fixed removal paths allow.
constexpr int kMaxSteps = 3000;
constexpr size_t kMaxKeys = 12000;
constexpr size_t kMaxKnown = 2048;
// Trees of up to this many nodes handed out are checked (and their free list walked) after every
// step; larger ones every kCheckEvery steps and at the end.
constexpr size_t kSmallTree = 64;
constexpr int kCheckEvery = 32;

constexpr UInt kCapacities[] = {0, 1000, 1500, 4096};

template <class Ops>
class Run {
public:
    using Dict = typename Ops::Dict;
    using Key = typename Ops::Key;
    using Value = typename Ops::Value;
    using Entries = std::vector<std::pair<Key, Value>>;
    static constexpr Key kMax = std::numeric_limits<Key>::max();
    // Value pointers and the nearest search are exercised on the AVL trees. RBDict's inputs spend
    // those operations on a lookup and a removal, so that its stored inputs keep driving what they
    // were made to.
    static constexpr bool kPointers = !std::is_same_v<Dict, RBDict>;

    Run(UInt capacity, zkfuzz::Cursor in)
        : d_(Ops::New(capacity)), in_(in), initial_(std::max<UInt>(capacity, zk::kMinNodes)), capacity_(initial_) {}
    ~Run() { Ops::Delete(d_); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void Go() {
        ZKFUZZ_REQUIRE(d_->d_capacity == capacity_);
        Accounting(true);
        for (int step = 0; step < kMaxSteps && !in_.empty(); step++) {
            Step();
            Accounting(step % kCheckEvery == 0);
        }
        Accounting(true);
        Compare();
        // Draining through the removals leaves every node on the free list.
        while (!model_.empty()) {
            const auto at = in_.Byte() % 2 ? model_.begin() : std::prev(model_.end());
            ZKFUZZ_REQUIRE(Ops::Remove(d_, at->first, Value(at->second + 1)) == at->second);
            model_.erase(at);
            Accounting(model_.size() % 256 == 0);
        }
        Accounting(true);
        ZKFUZZ_REQUIRE((d_->d_nodes[zk::kHeadNode].n_right & zk::kLinkMask) == 0);
    }

private:
    Key Wide() { return zkfuzz::Wide<Key>(in_); }
    Value NextValue() { return Value(Wide()); }
    UInt Two() { return zkfuzz::Two(in_); }

    // Keys drawn so that collisions, removals of present keys and the extremes come up often. How
    // many bytes a key takes depends on its first byte alone, never on the dictionary's state, so
    // that a change to one operation leaves the ones after it as they were.
    Key NextKey() {
        const UByte mode = in_.Byte();
        switch (mode % 8) {
        case 0:
        case 1: return Key(in_.Byte() % 32);
        case 2:
        case 3: {
            const UInt pick = Two();
            const int delta = mode % 8 == 2 ? 0 : int(in_.Byte() % 5) - 2;  // or a neighbour
            return known_.empty() ? Key(mode >> 3) : Key(known_[pick % known_.size()] + Key(delta));
        }
        case 4: {
            const Key extremes[] = {0, 1, kMax, Key(kMax - 1), Key(kMax / 2), Key(kMax / 2 + 1)};
            return extremes[in_.Byte() % std::size(extremes)];
        }
        default: return Wide();
        }
    }

    void Remember(Key k) {
        if (known_.size() < kMaxKnown) {
            known_.push_back(k);
        } else {
            known_[next_known_++ % kMaxKnown] = k;
        }
    }

    Value Stored(Key k, Value absent) const {
        const auto at = model_.find(k);
        return at == model_.end() ? absent : at->second;
    }

    // The node a new key must take: the one released last, else the next one never handed out.
    UInt NextNode() const { return d_->d_list != 0 ? d_->d_list : d_->d_free; }

    void Insert(Key k, Value v, bool withPointer, bool leaveOut) {
        const Value marker = Value(v ^ 0x5A5A5A5A);
        const bool present = model_.count(k) != 0;
        if (!present && model_.size() >= kMaxKeys) return;
        const UInt node = NextNode();
        Value got;
        if constexpr (kPointers) {
            if (withPointer) {
                // The pointer names the slot that now holds v, and may be left out.
                Value* slot = nullptr;
                got = Ops::ValueInsert(d_, k, v, marker, leaveOut ? nullptr : &slot);
                ZKFUZZ_REQUIRE(slot == nullptr || (*slot == v && slot == Ops::ValueGet(d_, k)));
            } else {
                got = Ops::Insert(d_, k, v, marker);
            }
        } else {
            (void)withPointer;
            (void)leaveOut;
            got = Ops::Insert(d_, k, v, marker);
        }
        ZKFUZZ_REQUIRE(got == Stored(k, marker));
        if (!present) {
            ZKFUZZ_REQUIRE(node < d_->d_capacity && d_->d_nodes[node].n_key == k && d_->d_nodes[node].n_value == v);
            Remember(k);
        }
        model_[k] = v;
        peak_ = std::max(peak_, model_.size());
    }

    void Remove(Key k) {
        const Value marker = Value(k * 3 + 1);
        const auto at = model_.find(k);
        ZKFUZZ_REQUIRE(Ops::Remove(d_, k, marker) == (at == model_.end() ? marker : at->second));
        if (at != model_.end()) model_.erase(at);
        ZKFUZZ_REQUIRE(Ops::Find(d_, k, marker) == marker);
    }

    // A value pointer reads and writes the stored value, and survives the replacement of another
    // present key's value.
    void Pointer(Key k) {
        const Value v = NextValue();
        const UByte pick = in_.Byte();
        if constexpr (kPointers) {
            Value* p = Ops::ValueGet(d_, k);
            const auto at = model_.find(k);
            if (at == model_.end()) {
                ZKFUZZ_REQUIRE(p == nullptr);
                return;
            }
            ZKFUZZ_REQUIRE(p != nullptr && *p == at->second);
            *p = v;
            at->second = v;
            if (!known_.empty()) {
                const Key other = known_[pick % known_.size()];
                const auto o = model_.find(other);
                if (o != model_.end()) {
                    const Value w = Value(v + 7);
                    ZKFUZZ_REQUIRE(Ops::Insert(d_, other, w, Value(w + 1)) == o->second);
                    o->second = w;
                }
            }
            ZKFUZZ_REQUIRE(*p == at->second && Ops::Find(d_, k, Value(at->second + 1)) == at->second);
        } else {
            (void)v;
            (void)pick;
            ZKFUZZ_REQUIRE(Ops::Find(d_, k, Value(k + 1)) == Stored(k, Value(k + 1)));
        }
    }

    // The nearest stored key by the family's rules, worked out on the model.
    Key ExpectedNearest(Key v, int mode, bool* stored) const {
        const auto hiAt = model_.upper_bound(v);
        const bool present = model_.count(v) != 0;
        *stored = present;
        if (present) return v;
        const bool hasLo = hiAt != model_.begin();
        const bool hasHi = hiAt != model_.end();
        const Key lo = hasLo ? std::prev(hiAt)->first : 0;
        const Key hi = hasHi ? hiAt->first : 0;
        if constexpr (Ops::kNearestZeroIsNone) {
            // Keys below and above v, with 0 standing for none, a stored 0 included.
            const Key a = lo, b = hi;
            Key r;
            if (mode < 0) {
                r = a;
            } else if (mode > 0) {
                r = b;
            } else if (a == 0) {
                r = b;
            } else if (b == 0) {
                r = a;
            } else {
                r = v - a >= b - v ? b : a;
            }
            *stored = false;  // no value pointer to check
            return r;
        } else {
            bool useHi;
            if (mode < 0) {
                useHi = false;
            } else if (mode > 0) {
                useHi = true;
            } else if (!hasLo) {
                useHi = true;
            } else if (!hasHi) {
                useHi = false;
            } else {
                useHi = v - lo >= hi - v;
            }
            if (useHi ? !hasHi : !hasLo) return v;  // no such neighbour: the probe key itself
            *stored = true;
            return useHi ? hi : lo;
        }
    }

    void Nearest(Key v) {
        const int mode = int(in_.Byte() % 3) - 1;
        if constexpr (kPointers) {
            bool stored;
            const Key want = ExpectedNearest(v, mode, &stored);
            Value* p = reinterpret_cast<Value*>(uintptr_t(1));
            Key got;
            if constexpr (Ops::kNearestZeroIsNone) {
                got = Ops::FindNearest(d_, v, mode);
            } else {
                got = Ops::FindNearest(d_, v, mode, &p);
            }
            ZKFUZZ_REQUIRE(got == want);
            if constexpr (!Ops::kNearestZeroIsNone) {
                // The pointer names the returned key's value exactly when that key is stored.
                if (stored) {
                    ZKFUZZ_REQUIRE(p != nullptr && *p == model_.at(got) && p == Ops::ValueGet(d_, got));
                } else {
                    ZKFUZZ_REQUIRE(p == nullptr);
                }
            }
        } else {
            (void)mode;
            Remove(v);
        }
    }

    // A run of keys at a fixed step, up or down, from a start given or just past the extreme key.
    void InsertRun() {
        const UByte how = in_.Byte();
        const bool down = how & 1;
        const size_t count = size_t(in_.Byte()) * (how & 2 ? 8 : 1);
        const Key step = Key(in_.Byte() % 17);  // 0 replaces one key over and over
        const Key gap = Key(1 + in_.Byte() % 4);
        Key k = NextKey();
        if (how & 4 && !model_.empty()) {
            k = down ? Key(model_.begin()->first - gap) : Key(std::prev(model_.end())->first + gap);
        }
        const Value base = NextValue();
        for (size_t i = 0; i < count; i++, k = down ? Key(k - step) : Key(k + step)) {
            Insert(k, Value(base + Value(i) * 2654435761u), (how & 8) != 0, i % 4 == 3);
            if (model_.size() <= kSmallTree) Ops::Check(d_);
        }
    }

    // Removes a run of consecutive stored keys from the low or the high end, or around a key.
    void RemoveRun() {
        const UByte how = in_.Byte();
        size_t count = size_t(in_.Byte()) * (how & 2 ? 8 : 1);
        const Key around = how & 4 ? NextKey() : 0;
        if (model_.empty()) return;
        auto at = how & 4 ? model_.lower_bound(around) : how & 1 ? std::prev(model_.end()) : model_.begin();
        if (at == model_.end()) at = std::prev(model_.end());
        const bool down = how & 1;
        while (count-- > 0 && !model_.empty()) {
            const Key k = at->first;
            const Value v = at->second;
            auto next = down ? (at == model_.begin() ? model_.end() : std::prev(at)) : std::next(at);
            ZKFUZZ_REQUIRE(Ops::Remove(d_, k, Value(v + 1)) == v);
            model_.erase(at);
            if (next == model_.end()) break;
            at = next;
            if (model_.size() <= kSmallTree) Ops::Check(d_);
        }
    }

    static Entries Walk(Dict* d, bool reverse, size_t stopAt, Boolean* done) {
        struct State {
            Entries seen;
            size_t stopAt;
        } state{{}, stopAt};
        *done = Ops::Enumerate(
            d, reverse ? TRUE : FALSE,
            [](Dict*, Key k, Value v, void* arg) -> Boolean {
                auto* s = static_cast<State*>(arg);
                s->seen.emplace_back(k, v);
                return s->seen.size() == s->stopAt ? FALSE : TRUE;
            },
            &state);
        return std::move(state.seen);
    }

    // A walk stopped on its k-th entry (k from the input, possibly past the end), both ways.
    void Walks() {
        const size_t k = 1 + in_.Byte();
        for (const bool reverse : {false, true}) {
            Boolean done;
            const Entries seen = Walk(d_, reverse, k, &done);
            ZKFUZZ_REQUIRE((done == FALSE) == (k <= model_.size()));
            const size_t n = std::min(k, model_.size());
            ZKFUZZ_REQUIRE(seen.size() == n);
            if (reverse) {
                ZKFUZZ_REQUIRE(seen == Entries(model_.rbegin(), std::next(model_.rbegin(), n)));
            } else {
                ZKFUZZ_REQUIRE(seen == Entries(model_.begin(), std::next(model_.begin(), n)));
            }
        }
    }

    void Compare() {
        Boolean done = FALSE;
        const Entries up = Walk(d_, false, 0, &done);
        ZKFUZZ_REQUIRE(done == TRUE && up == Entries(model_.begin(), model_.end()));
        const Entries down = Walk(d_, true, 0, &done);
        ZKFUZZ_REQUIRE(done == TRUE && down == Entries(model_.rbegin(), model_.rend()));
    }

    void Clear() {
        const UByte* nodes = reinterpret_cast<const UByte*>(d_->d_nodes);
        Ops::Clear(d_);
        // Clear keeps the array where it is, at its capacity.
        ZKFUZZ_REQUIRE(reinterpret_cast<const UByte*>(d_->d_nodes) == nodes && d_->d_capacity == capacity_);
        for (const Key k : known_) ZKFUZZ_REQUIRE(Ops::Find(d_, k, Value(k + 1)) == Value(k + 1));
        model_.clear();
        peak_ = 0;
    }

    enum Op { kInsert, kFind, kRemove, kPointer, kNearest, kInsertRun, kRemoveRun, kWalks, kClearOrCompare };
    static constexpr zkfuzz::OpMix<Op> kMix{{{kInsert, 3}, {kFind, 1}, {kRemove, 2}, {kPointer, 1},
                                             {kNearest, 2}, {kInsertRun, 1}, {kRemoveRun, 1}, {kWalks, 1},
                                             {kClearOrCompare, 1}}};

    void Step() {
        const UByte op = in_.Byte();
        switch (kMix(op)) {
        case kInsert: {
            const Key k = NextKey();
            Insert(k, NextValue(), (op & 0x80) != 0, (op & 0x40) != 0);
            break;
        }
        case kFind: {
            const Key k = NextKey();
            ZKFUZZ_REQUIRE(Ops::Find(d_, k, Value(k ^ 1)) == Stored(k, Value(k ^ 1)));
            break;
        }
        case kRemove: Remove(NextKey()); break;
        case kPointer: Pointer(NextKey()); break;
        case kNearest: Nearest(NextKey()); break;
        case kInsertRun: InsertRun(); break;
        case kRemoveRun: RemoveRun(); break;
        case kWalks: Walks(); break;
        case kClearOrCompare:
            if ((op & 0xF0) == 0xF0) {
                Clear();
            } else {
                Compare();
            }
            break;
        }
    }

    // Sizes and node accounting after every step; the checker and the free list when due (always
    // while few nodes were ever handed out).
    void Accounting(bool due) {
        ZKFUZZ_REQUIRE(Ops::Size(d_) == model_.size() && d_->d_size == model_.size());
        ZKFUZZ_REQUIRE(d_->d_free == zk::kFirstRealNode + peak_);
        UInt want = initial_;
        while (want < d_->d_free) want *= 2;
        capacity_ = std::max(capacity_, want);
        ZKFUZZ_REQUIRE(d_->d_capacity == capacity_);
        if (!due && peak_ > kSmallTree) return;
        Ops::Check(d_);
        // The free list, walked with a bound so that a cycle ends the walk.
        UInt freed = 0;
        for (UInt x = d_->d_list; x != 0; x = d_->d_nodes[x].n_right & zk::kLinkMask) {
            ZKFUZZ_REQUIRE(x >= zk::kFirstRealNode && x < d_->d_free && freed <= d_->d_free);
            freed++;
        }
        ZKFUZZ_REQUIRE(d_->d_free - zk::kFirstRealNode == d_->d_size + freed);
    }

    Dict* d_;
    zkfuzz::Cursor in_;
    const UInt initial_;
    UInt capacity_;
    std::map<Key, Value> model_;
    size_t peak_ = 0;  // the largest size since creation or the last clear
    std::vector<Key> known_;
    size_t next_known_ = 0;
};

template <class Ops>
void Drive(UInt capacity, zkfuzz::Cursor in) {
    Run<Ops> run(capacity, in);
    run.Go();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    zkfuzz::Cursor in(data, size);
    const UByte pick = in.Byte();
    const UInt capacity = kCapacities[pick / 3 % std::size(kCapacities)];
    switch (pick % 3) {
    case 0: Drive<zkadapt::RbDictOps>(capacity, in); break;
    case 1: Drive<zkadapt::AvlDictOps>(capacity, in); break;
    default: Drive<zkadapt::AvlLDictOps>(capacity, in); break;
    }
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);
    return 0;
}
