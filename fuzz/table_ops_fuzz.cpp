// The two packed hash tables (HashTable, HashDelTable) built from empty and driven by a sequence of
// operations decoded from the input, against a model of what the headers promise: the live keys with
// their value bytes in a std::unordered_map, and beside them the layout of the data area worked out
// entry by entry (an entry starts at the used size rounded up to 8 in an aligned table and takes
// value, length prefix and key; growth keeps HashTable's offsets and compacts HashDelTable's live
// entries down in storage order). So every offset a lookup reports, the used size, the capacity and
// slot count after each growth (the single-precision product, Prime(3 * capacity / 2) slots), the
// tombstone count, the storage order of every walk and the value bytes must come out exactly, and
// the table's checker must find nothing.
//
// Operations (see Run::Step): creating and plain lookups, removals, value updates, growths,
// enumerations (whole, stopped early, from an entry's offset, inserting as they go), iterators,
// selections (limits, predicates, in place or into an array) with sorts and reads by position,
// copies, clears, the serialised form of HashDelTable read back (and cut short), and, rarely, the
// file of a HashTable read back. Bytes 0-2 give the table's parameters, see Params.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/tables.h"
#include "fuzz/op_sequence.h"
#include "fuzz/table_fuzz.h"

namespace {

using zkfuzz::View;

constexpr int kMaxSteps = 2000;
constexpr size_t kMaxEntries = 2500;
constexpr size_t kMaxKnown = 512;
// Growth stops adding room here, so that a run of growths stays far from slot arrays of gigabytes.
constexpr UInt kMaxGrownCapacity = 1u << 15;
// Tables of up to this many slots are checked after every step; larger ones every kCheckEvery.
constexpr UInt kSmallSlots = 512;
constexpr int kCheckEvery = 32;
// Files are slow: at most this many round trips per input.
constexpr int kMaxFiles = 2;

// What the callbacks of a table see through ptr.
struct Context {
    UInt val_len = 0;
    int value_calls = 0;
    int select_calls = 0;
    int select_mod = 0;       // the predicate keeps keys whose length is not a multiple of this (0: all)
    bool descending = false;  // the sort's direction
    const void* table = nullptr;
    UInt (*key)(const void*, const void*, const UByte**) = nullptr;
};

// A hash that many of the fuzzer's keys share: length, first and last byte only. Probe paths then
// run long and cross each other, and removals punch holes into them.
UInt WeakHash(const UByte* bytes, UInt len, void*) {
    const UInt first = len != 0 ? bytes[0] : 0, last = len != 0 ? bytes[len - 1] : 0;
    return len * 0x9E3779B1u ^ first * 0x85EBCA77u ^ last * 0xC2B2AE3Du;
}

// The value area a new entry gets from FillValue; keys starting with 0xEE are refused.
UByte FillByte(std::string_view key, UInt i) {
    return UByte(key.size() * 13 + i * 7 + (key.empty() ? 0 : UByte(key.back())));
}
bool Refused(std::string_view key) { return !key.empty() && UByte(key[0]) == 0xEE; }

Boolean FillValue(void* val, const UByte* bytes, UInt len, void* ptr) {
    auto* ctx = static_cast<Context*>(ptr);
    ctx->value_calls++;
    const std::string_view key = View(bytes, len);
    if (Refused(key)) return FALSE;
    for (UInt i = 0; i < ctx->val_len; i++) static_cast<UByte*>(val)[i] = FillByte(key, i);
    return TRUE;
}

std::string_view KeyIn(const Context* ctx, const void* val) {
    const UByte* bytes;
    const UInt len = ctx->key(ctx->table, val, &bytes);
    return View(bytes, len);
}

Boolean Keep(void* val, void* ptr) {
    auto* ctx = static_cast<Context*>(ptr);
    ctx->select_calls++;
    return ctx->select_mod == 0 || KeyIn(ctx, val).size() % ctx->select_mod != 0 ? TRUE : FALSE;
}

int ByKey(const void* a, const void* b, void* ptr) {
    const auto* ctx = static_cast<const Context*>(ptr);
    const int c = KeyIn(ctx, a).compare(KeyIn(ctx, b));
    return ctx->descending ? -c : c;
}

// The single-precision growth rule of both tables, and their slot count.
UInt Grown(UInt capacity, float factor) {
    const float product = float(capacity) * factor;
    return product >= float(0x55555555u) ? 0x55555555u : UInt(product);
}

UInt SlotsFor(UInt capacity) { return zkfuzz::NextPrime((3u * capacity) >> 1); }

// The factor a walk of HashDelTable compacts with: bits 0x3F800054.
constexpr float kNormalize = 1.0000100135803223f;

// One scratch directory per process, for the file round trips; made on first use.
class Scratch {
public:
    ~Scratch() {
        if (dir_.empty()) return;
        unlink(file_.c_str());
        rmdir(dir_.c_str());
    }
    const char* File() {
        if (dir_.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zk-tableops-XXXXXX";
            ZKFUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr);
            dir_ = pattern;
            file_ = dir_ + "/t";
        }
        return file_.c_str();
    }

private:
    std::string dir_, file_;
};

Scratch& Files() {
    static Scratch scratch;
    return scratch;
}

// The table's parameters, from the first three bytes: only combinations the constructors accept.
struct Params {
    bool del;
    UInt val_len;
    UByte key_size;  // 0 to 4; the fuzzer's keys are below 256 bytes, so every width fits them
    bool vm;
    UInt capacity;
    float factor;
    bool weak_hash;  // the table hashes with WeakHash instead of the default
    bool refusing;   // the table has FillValue as its value callback
    bool unaligned;  // a HashTable that inserts without padding, as one loaded from such a file does

    explicit Params(zkfuzz::Cursor& in) {
        static constexpr UInt kValLens[] = {0, 1, 3, 4, 8, 12, 16, 33};
        static constexpr UInt kCapacities[] = {0, 3, 5, 6, 10, 33, 100, 400};
        static constexpr float kFactors[] = {1.0001f, 1.1f, 1.25f, 1.5f, 2.0f, 3.0f, 1.7f, 2.5f};
        const UByte a = in.Byte(), b = in.Byte(), c = in.Byte();
        del = a & 1;
        val_len = kValLens[(a >> 1) & 7];
        key_size = UByte(((a >> 4) & 7) % 5);
        vm = !del && (a & 0x80) != 0;
        capacity = kCapacities[b & 7];
        factor = kFactors[(b >> 3) & 7];
        weak_hash = (b & 0x40) != 0;
        refusing = (b & 0x80) != 0;
        unaligned = !del && (c & 1) != 0;
    }

    // The callbacks a table of these parameters is made with (the context comes with every call).
    HashKeyFunction Hash() const { return weak_hash ? WeakHash : nullptr; }
    HashValueFunction Filler() const { return refusing ? FillValue : nullptr; }
};

struct Entry {
    std::string value;
    UInt offset;
};

template <class Ops>
class Run {
public:
    using Table = typename Ops::Table;
    static constexpr bool kDel = Ops::kRemoves;

    Run(const Params& p, zkfuzz::Cursor in) : p_(p), in_(in) {
        ctx_.val_len = p.val_len;
        ctx_.key = [](const void* t, const void* val, const UByte** bytes) {
            return Ops::Key(static_cast<const Table*>(t), val, bytes);
        };
        t_ = Ops::New(p.capacity, p.Hash(), p.Filler(), nullptr, p.val_len, p.key_size, p.vm ? TRUE : FALSE);
        if (p.unaligned) t_->t_aligned = FALSE;
        aligned_ = !p.unaligned;
        capacity_ = std::max<UInt>(p.capacity, 5);
        slots_ = SlotsFor(capacity_);
        Verify(true);
    }
    ~Run() { Ops::Free(t_); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void Go() {
        for (int step = 0; step < kMaxSteps && !in_.empty(); step++) {
            Step();
            Verify(slots_ <= kSmallSlots || step % kCheckEvery == 0);
        }
        Verify(true);
        Compare();
        if (!selected_) {
            for (const auto& [key, e] : entries_) {
                UInt off = 0;
                const void* v = Ops::Find(t_, key, false, &off, &ctx_);
                ZKFUZZ_REQUIRE(v != nullptr && off == e.offset && Value(v) == e.value);
            }
        }
    }

private:
    // ---- the model's arithmetic ----

    UInt Prefix(size_t len) const {
        if (p_.key_size != 0) return p_.key_size;
        return len < (1u << 7) ? 1 : len < (1u << 14) ? 2 : 3;
    }
    size_t Span(const std::string& key) const { return p_.val_len + Prefix(key.size()) + key.size(); }
    static size_t Align8(size_t n) { return (n + 7) & ~size_t(7); }
    size_t Pad() const { return aligned_ ? Align8(used_) - used_ : 0; }

    std::string Value(const void* v) const { return std::string(static_cast<const char*>(v), p_.val_len); }
    std::string KeyOf(const Table* t, const void* v) const { return std::string(KeyIn(Bind(t), v)); }
    Context* Bind(const Table* t) const {
        ctx_.table = t;
        return &ctx_;
    }

    // The live entries in storage order: by offset, since appends go to the end and compaction keeps
    // the order.
    std::vector<std::pair<std::string, const Entry*>> Order() const {
        std::vector<std::pair<std::string, const Entry*>> out;
        out.reserve(entries_.size());
        for (const auto& [k, e] : entries_) out.emplace_back(k, &e);
        std::sort(out.begin(), out.end(),
                  [](const auto& a, const auto& b) { return a.second->offset < b.second->offset; });
        return out;
    }

    // HashDelTable's compaction: the live entries move down in storage order, each on a multiple of 8.
    void Compact() {
        if (deleted_ == 0) return;
        size_t w = 0;
        for (const auto& [key, e] : Order()) {
            entries_.at(key).offset = UInt(w);
            w += Align8(Span(key));
        }
        used_ = w;
        deleted_ = 0;
    }

    // What a walk of an unselected HashDelTable does first.
    void Normalize() {
        if (!kDel || selected_ || deleted_ == 0) return;
        Compact();
        capacity_ = Grown(capacity_, kNormalize);
        slots_ = SlotsFor(capacity_);
    }

    bool Room() const {
        if constexpr (kDel) {
            return ULong(entries_.size()) + 2 * ULong(deleted_) < capacity_;
        } else {
            return entries_.size() < capacity_;
        }
    }

    // ---- input ----

    std::string NextKey() {
        const UByte mode = in_.Byte();
        switch (mode % 8) {
        case 0:
        case 1: {
            // A small alphabet: repeats and shared hashes.
            std::string k(in_.Byte() % 5, 'a');
            for (auto& c : k) c = char('a' + in_.Byte() % 3);
            return k;
        }
        case 2:
        case 3:
        {
            // Two bytes whatever the state, so that the operations after this one keep their bytes.
            const UInt pick = zkfuzz::Two(in_);
            return known_.empty() ? std::string(1, char(mode)) : known_[pick % known_.size()];
        }
        case 4: return {};
        case 5: {
            // Long enough for a two-byte length code.
            const size_t len = 120 + in_.Byte() % 80;
            std::string k(in_.Take(len));
            k.resize(len, char(mode));
            return k;
        }
        case 6: {
            std::string k(1, char(0xEE));
            k += in_.Take(in_.Byte() % 4);
            return k;
        }
        default: return std::string(in_.Take(in_.Byte() % 24));
        }
    }

    void Remember(const std::string& key) {
        if (known_.size() < kMaxKnown) {
            known_.push_back(key);
        } else {
            known_[next_known_++ % kMaxKnown] = key;
        }
    }

    // Value bytes for an entry, different from step to step. They come from no input byte, so that
    // whether a lookup writes a value does not move the operations after it.
    std::string NextValue(UByte aux) const {
        std::string v(p_.val_len, '\0');
        for (size_t i = 0; i < p_.val_len; i++) v[i] = char((step_ * 0x9E3779B1u + aux * 131u + i * 29u) >> 7);
        return v;
    }

    // ---- operations ----

    // A lookup, creating with create; with grow, a refusal for want of room is followed by a growth
    // and a retry, as callers of these tables do. aux decides whether the value is then rewritten.
    void Find(const std::string& key, bool create, UByte aux, bool grow = true) {
        if (selected_) return;
        const auto at = entries_.find(key);
        const bool present = at != entries_.end();
        if (!present && entries_.size() >= kMaxEntries) create = false;
        UInt off = 0xDEADBEEF;
        ctx_.value_calls = 0;
        void* v = Ops::Find(t_, key, create, &off, &ctx_);
        if (present) {
            ZKFUZZ_REQUIRE(v != nullptr && off == at->second.offset && v == t_->t_data + off);
            ZKFUZZ_REQUIRE(Value(v) == at->second.value && ctx_.value_calls == 0);
            if (aux % 4 == 0) {
                at->second.value = NextValue(aux);
                std::memcpy(v, at->second.value.data(), p_.val_len);
            }
            return;
        }
        if (!create || !Room()) {
            ZKFUZZ_REQUIRE(v == nullptr && ctx_.value_calls == 0 && off == 0xDEADBEEF);
            if (create && grow) {
                Grow(p_.factor);
                if (!Room()) Grow(2.0f);
                if (Room()) Find(key, true, aux, false);
            }
            return;
        }
        const size_t pad = Pad();
        ZKFUZZ_REQUIRE(ctx_.value_calls == (p_.refusing ? 1 : 0));
        if (p_.refusing && Refused(key)) {
            // Only the padding is consumed.
            ZKFUZZ_REQUIRE(v == nullptr && off == 0xDEADBEEF);
            used_ += pad;
            return;
        }
        ZKFUZZ_REQUIRE(v != nullptr && off == used_ + pad && v == t_->t_data + off);
        ZKFUZZ_REQUIRE(KeyOf(t_, v) == key);
        for (UInt i = 0; i < p_.val_len; i++) {
            ZKFUZZ_REQUIRE(static_cast<const UByte*>(v)[i] == (p_.refusing ? FillByte(key, i) : 0));
        }
        used_ = off + Span(key);
        Entry e{Value(v), off};
        if (aux % 2 == 0) {
            e.value = NextValue(aux);
            std::memcpy(v, e.value.data(), p_.val_len);
        }
        entries_.emplace(key, std::move(e));
        Remember(key);
    }

    void Remove(const std::string& key) {
        if constexpr (kDel) {
            if (selected_) return;
            const bool present = entries_.erase(key) != 0;
            ZKFUZZ_REQUIRE(Ops::Remove(t_, key, &ctx_) == (present ? TRUE : FALSE));
            deleted_ += present;
            ZKFUZZ_REQUIRE(Ops::Find(t_, key, false, nullptr, &ctx_) == nullptr);
        } else {
            Find(key, false, 0);
        }
    }

    void Grow(float factor) {
        if (selected_) return;
        if (capacity_ >= kMaxGrownCapacity) factor = 1.0001f;
        const UByte* data = t_->t_data;
        Compact();
        capacity_ = Grown(capacity_, factor);
        slots_ = SlotsFor(capacity_);
        Ops::Grow(t_, factor, &ctx_);
        // HashTable's data area stays where it is; HashDelTable's keeps its allocation.
        if (!kDel) ZKFUZZ_REQUIRE(t_->t_data == data);
        Verify(false);
        // A sample of the entries, found at the offsets the model gives them.
        size_t n = 0;
        for (const auto& [key, e] : entries_) {
            if (n++ == 48) break;
            UInt off = 0;
            const void* v = Ops::Find(t_, key, false, &off, &ctx_);
            ZKFUZZ_REQUIRE(v != nullptr && off == e.offset && Value(v) == e.value);
        }
    }

    struct Walk {
        Run* run;
        Table* t;
        size_t stop_at;         // return non-zero from this call (1-based; 0: never)
        size_t insert_at;       // insert `fresh` from this call (1-based; 0: never)
        std::string fresh;
        UByte aux;              // for the lookup that inserts it
        std::vector<std::pair<std::string, UInt>> seen;  // key and offset
        std::vector<std::string> values;
    };

    static UInt Visit(void* val, void* ptr) {
        auto* w = static_cast<Walk*>(ptr);
        const auto* v = static_cast<const UByte*>(val);
        ZKFUZZ_REQUIRE(v >= w->t->t_data && v < w->t->t_data + w->t->t_data_used);
        w->seen.emplace_back(w->run->KeyOf(w->t, val), UInt(v - w->t->t_data));
        w->values.push_back(w->run->Value(val));
        if (w->seen.size() == w->insert_at) w->run->Find(w->fresh, true, w->aux, false);
        return w->seen.size() == w->stop_at ? UInt(100 + w->stop_at) : 0;
    }

    // The entries a walk from `from` must see: every entry of the data area from that offset on.
    void Expect(const Walk& w, UInt from, size_t stopAt, UInt result) const {
        std::vector<std::pair<std::string, UInt>> want;
        std::vector<std::string> values;
        for (const auto& [key, e] : Order()) {
            if (e->offset < from) continue;
            want.emplace_back(key, e->offset);
            values.push_back(e->value);
        }
        if (stopAt != 0 && stopAt <= want.size()) {
            ZKFUZZ_REQUIRE(result == 100 + stopAt);
            want.resize(stopAt);
            values.resize(stopAt);
        } else {
            ZKFUZZ_REQUIRE(result == 0);
        }
        ZKFUZZ_REQUIRE(w.seen == want && w.values == values);
    }

    void Enumerate() {
        const UByte how = in_.Byte();
        Normalize();
        Walk w{this, t_, 0, 0, {}, how, {}, {}};
        UInt from = 0;
        if (how & 1) w.stop_at = 1 + in_.Byte() % 16;
        if (how & 2) {
            // From the offset of an entry, or from the end of the used area.
            const auto order = Order();
            const size_t i = in_.Byte() % (order.size() + 1);
            from = i < order.size() ? order[i].second->offset : UInt(used_);
        }
        if (how & 4) {
            // A key inserted during the walk is visited at the end of it.
            w.fresh = NextKey();
            const size_t at = 1 + in_.Byte() % 8;
            if (!selected_ && Room() && entries_.size() < kMaxEntries && entries_.count(w.fresh) == 0) w.insert_at = at;
        }
        const UInt result = Ops::Enumerate(t_, from, Visit, &w);
        w.t = t_;
        Expect(w, from, w.stop_at, result);
    }

    void Iterate() {
        Normalize();
        auto* it = Ops::IteratorInit(t_, &ctx_);
        Walk w{this, t_, 0, 0, {}, 0, {}, {}};
        for (; !Ops::IteratorEnd(it); Ops::IteratorNext(it)) {
            const UByte* key;
            const UInt len = Ops::IteratorGetKey(it, &key);
            const void* v = Ops::IteratorGetValue(it);
            ZKFUZZ_REQUIRE(v == Ops::GetOffset(t_, it->t_offset) && View(key, len) == KeyOf(t_, v));
            w.seen.emplace_back(std::string(View(key, len)), it->t_offset);
            w.values.push_back(Value(v));
            ZKFUZZ_REQUIRE(w.seen.size() <= entries_.size());
        }
        Ops::IteratorFinalize(it);
        Expect(w, 0, 0, 0);
    }

    // The list a selection must make from the slots (or list) it scans: in their order, at most count
    // entries that the predicate keeps; the predicate is asked until count are kept.
    std::vector<UInt> Predicted(const std::vector<UInt>& scan, UInt count, int* calls) {
        std::vector<UInt> kept;
        *calls = 0;
        if (count == 0) count = UInt(scan.size()) + 1;
        for (const UInt e : scan) {
            if (e >= HASH_DELETED) continue;
            if (kept.size() >= count) continue;
            ++*calls;
            if (ctx_.select_mod == 0 || KeyOf(t_, t_->t_data + e).size() % ctx_.select_mod != 0) kept.push_back(e);
        }
        return kept;
    }

    // how: bit 0 reads a limit, bits 1-2 the predicate, bit 3 passes none when it would keep all,
    // bit 5 the direction of a sort, bit 6 sorts, bit 7 selects into an array (HashTable).
    void Select() {
        const UByte how = in_.Byte();
        const UInt count = how & 1 ? in_.Byte() % 12 : 0;
        ctx_.select_mod = (how >> 1) % 4;  // 0 keeps all
        Bind(t_);
        // The slots in the order a selection scans them, known in advance unless it must purge
        // tombstones first (which re-files every entry).
        const bool exact = !kDel || selected_ || deleted_ == 0;
        const UInt scanned = selected_ ? UInt(list_.size()) : slots_;
        std::vector<UInt> scan(t_->t_entries, t_->t_entries + scanned);
        int calls = 0;
        const std::vector<UInt> want = Predicted(scan, count, &calls);
        Normalize();
        if constexpr (!kDel) {
            if ((how & 0x80) && !selected_) {
                SelectIntoArray(count, want, calls, (how & 0x20) != 0);
                return;
            }
        }
        ctx_.select_calls = 0;
        const UInt kept = Ops::Select(t_, count, ctx_.select_mod == 0 && (how & 8) ? nullptr : Keep, &ctx_);
        ZKFUZZ_REQUIRE(Ops::Size(t_) == kept && t_->t_selected);
        std::vector<UInt> got(t_->t_entries, t_->t_entries + kept);
        if (exact) {
            ZKFUZZ_REQUIRE(got == want);
            ZKFUZZ_REQUIRE(ctx_.select_calls == ((how & 8) && ctx_.select_mod == 0 ? 0 : calls));
        } else {
            // Which entries are kept depends on where the purge re-filed them; that they are
            // distinct live entries that the predicate keeps, and how many, does not.
            const size_t keepable = size_t(std::count_if(entries_.begin(), entries_.end(), [&](const auto& kv) {
                return ctx_.select_mod == 0 || kv.first.size() % ctx_.select_mod != 0;
            }));
            ZKFUZZ_REQUIRE(kept == (count == 0 ? keepable : std::min<size_t>(count, keepable)));
        }
        std::vector<std::string> list;
        for (const UInt e : got) {
            const std::string k = KeyOf(t_, t_->t_data + e);
            const auto at = entries_.find(k);
            ZKFUZZ_REQUIRE(at != entries_.end() && at->second.offset == e);
            ZKFUZZ_REQUIRE(ctx_.select_mod == 0 || k.size() % ctx_.select_mod != 0);
            list.push_back(k);
        }
        std::vector<std::string> distinct = list;
        std::sort(distinct.begin(), distinct.end());
        ZKFUZZ_REQUIRE(std::adjacent_find(distinct.begin(), distinct.end()) == distinct.end());
        selected_ = true;
        list_ = std::move(list);
        if (how & 0x40) Sort((how & 0x20) != 0);
    }

    // HashTable's selection into a caller's array: the table keeps its counts and finds nothing.
    void SelectIntoArray(UInt count, const std::vector<UInt>& want, int calls, bool descending) {
        UIntArray array;
        ArrayInit_(&array);
        // What the array held before is replaced.
        ArrayGrow_(&array, sizeof(UInt), __FILE__, __LINE__);
        array.data[0] = 12345;
        array.length = 1;
        ctx_.select_calls = 0;
        const UInt kept = HashTableSelect(t_, count, Keep, &ctx_, &array);
        ZKFUZZ_REQUIRE(kept == array.length && ctx_.select_calls == calls);
        ZKFUZZ_REQUIRE(std::vector<UInt>(array.data, array.data + array.length) == want);
        ZKFUZZ_REQUIRE(Ops::Size(t_) == entries_.size() && !t_->t_selected);
        ctx_.descending = descending;
        HashTableSort(t_, ByKey, Bind(t_), &array);
        std::vector<std::string> keys;
        for (UInt i = 0; i < kept; i++) {
            const void* v = HashTableGetIndex(t_, i, &array);
            ZKFUZZ_REQUIRE(v == t_->t_data + array.data[i]);
            const std::string k = KeyOf(t_, v);
            ZKFUZZ_REQUIRE(entries_.at(k).value == Value(v));
            keys.push_back(k);
        }
        ZKFUZZ_REQUIRE(std::is_sorted(keys.begin(), keys.end(),
                                      [&](const auto& a, const auto& b) { return ctx_.descending ? b < a : a < b; }));
        ArrayFree_(&array);
        size_t n = 0;
        for (const auto& entry : entries_) {
            if (n++ == 16) break;
            ZKFUZZ_REQUIRE(Ops::Find(t_, entry.first, false, nullptr, &ctx_) == nullptr);
        }
        // Such a table is only good for clearing.
        Clear();
    }

    void Sort(bool descending) {
        if (!selected_) return;
        ctx_.descending = descending;
        Ops::Sort(t_, ByKey, Bind(t_));
        std::sort(list_.begin(), list_.end(),
                  [&](const auto& a, const auto& b) { return ctx_.descending ? b < a : a < b; });
        Positions();
    }

    void Positions() const {
        for (UInt i = 0; i < list_.size(); i++) {
            const void* v = Ops::GetIndex(t_, i);
            const Entry& e = entries_.at(list_[i]);
            ZKFUZZ_REQUIRE(v == t_->t_data + e.offset && KeyOf(t_, v) == list_[i] && Value(v) == e.value);
        }
    }

    void Clear() {
        Ops::Clear(t_);
        if (kDel && slots_ > 10000) {
            capacity_ = 5;
            slots_ = SlotsFor(5);
        }
        entries_.clear();
        list_.clear();
        selected_ = false;
        used_ = 0;
        deleted_ = 0;
        for (size_t i = 0; i < known_.size() && i < 32; i++) {
            ZKFUZZ_REQUIRE(Ops::Find(t_, known_[i], false, nullptr, &ctx_) == nullptr);
        }
    }

    // A copy holds the same; changed, it leaves the original alone. With adopt the run goes on with
    // the copy and the original is freed.
    void Copy(bool adopt) {
        const std::string fresh = adopt ? std::string() : NextKey() + "\x01copy";
        Table* c = Ops::Copy(t_);
        ZKFUZZ_REQUIRE(c->t_entries != t_->t_entries && (c->t_data_size == 0 || c->t_data != t_->t_data));
        ZKFUZZ_REQUIRE(c->t_data_used == used_ && Ops::Size(c) == Ops::Size(t_) && Ops::Slots(c) == slots_);
        ZKFUZZ_REQUIRE(std::memcmp(c->t_entries, t_->t_entries, sizeof(UInt) * size_t(slots_)) == 0);
        ZKFUZZ_REQUIRE(used_ == 0 || std::memcmp(c->t_data, t_->t_data, used_) == 0);
        RequireSound(c);
        if (adopt) {
            Ops::Free(t_);
            t_ = c;
            return;
        }
        if (!selected_ && Room() && entries_.size() < kMaxEntries) {
            if (entries_.count(fresh) == 0) {
                void* v = Ops::Find(c, fresh, true, nullptr, &ctx_);
                ZKFUZZ_REQUIRE(v != nullptr || (p_.refusing && Refused(fresh)));
                ZKFUZZ_REQUIRE(Ops::Find(t_, fresh, false, nullptr, &ctx_) == nullptr);
            }
            if (!entries_.empty()) {
                const auto& some = *entries_.begin();
                void* v = Ops::Find(c, some.first, false, nullptr, &ctx_);
                ZKFUZZ_REQUIRE(v != nullptr);
                std::memset(v, 0x5A, p_.val_len);
                const void* mine = Ops::Find(t_, some.first, false, nullptr, &ctx_);
                ZKFUZZ_REQUIRE(mine != nullptr && Value(mine) == some.second.value);
            }
            RequireSound(c);
        }
        Ops::Free(c);
    }

    // HashDelTable's serialised form, appended to bytes already in the array, read back into a table
    // made with other parameters; a form cut short leaves that table and the cursor alone.
    void Bytes() {
        if constexpr (kDel) {
            UByteArray out;
            ArrayInit_(&out);
            const UInt lead = in_.Byte() % 4;
            for (UInt i = 0; i < lead; i++) {
                if (out.length == out.capacity) ArrayGrow_(&out, 1, __FILE__, __LINE__);
                out.data[out.length++] = UByte(0xA0 + i);
            }
            HashDelTableMemWrite(t_, &out);
            const size_t form = 26 + used_ + 4 * size_t(slots_);
            ZKFUZZ_REQUIRE(out.length == lead + form);
            const UByte* f = out.data + lead;
            auto le32 = [](const UByte* q) {
                return UInt(q[0]) | UInt(q[1]) << 8 | UInt(q[2]) << 16 | UInt(q[3]) << 24;
            };
            ZKFUZZ_REQUIRE(le32(f) == used_ && le32(f + 4 + used_) == slots_ && le32(f + 8 + used_) == capacity_);
            ZKFUZZ_REQUIRE(le32(f + 12 + used_) == Ops::Size(t_) && le32(f + 16 + used_) == deleted_);
            const UByte* tail = f + 20 + used_ + 4 * size_t(slots_);
            ZKFUZZ_REQUIRE(le32(tail) == p_.val_len && tail[4] == p_.key_size && tail[5] == (selected_ ? 1 : 0));

            Table* back =
                HashDelTableNew(5, p_.Hash(), p_.Filler(), nullptr, p_.val_len + 8, UByte((p_.key_size + 1) % 5));
            UByte* from = out.data + lead;
            const size_t cut = 1 + in_.Byte() % form;
            ZKFUZZ_REQUIRE(!HashDelTableMemRead(back, &from, out.data + out.length - cut));
            ZKFUZZ_REQUIRE(from == out.data + lead && HashDelTableSize(back) == 0 && HashDelTableCapacity(back) == 5);
            ZKFUZZ_REQUIRE(back->t_val_len == p_.val_len + 8 && back->t_data_used == 0);
            ZKFUZZ_REQUIRE(HashDelTableMemRead(back, &from, out.data + out.length));
            ZKFUZZ_REQUIRE(from == out.data + out.length);
            ZKFUZZ_REQUIRE(back->t_val_len == p_.val_len && back->t_key_size == p_.key_size);
            ZKFUZZ_REQUIRE(back->t_hash == t_->t_hash && back->t_value == t_->t_value);
            RequireSound(back);
            // Written again, the same bytes.
            HashDelTableMemWrite(back, &out);
            ZKFUZZ_REQUIRE(out.length == lead + 2 * form);
            ZKFUZZ_REQUIRE(std::memcmp(out.data + lead, out.data + lead + form, form) == 0);
            ArrayFree_(&out);
            Ops::Free(t_);
            t_ = back;
        }
    }

    // HashTable's file, written and read back; the run goes on with the table read.
    void File() {
        if constexpr (!kDel) {
            const bool vm = (in_.Byte() & 1) != 0;
            if (files_ == kMaxFiles) return;
            files_++;
            const char* path = Files().File();
            ZKFUZZ_REQUIRE(HashTableWrite(t_, path));
            // Alignment is taken from the offsets in the slots, so an unaligned table that files only
            // offsets on the grid is written aligned: each entry moves up to the next multiple of 8.
            bool onGrid = true;
            for (UInt s = 0; s < slots_; s++) {
                onGrid = onGrid && (t_->t_entries[s] == HASH_EMPTY || t_->t_entries[s] % 8 == 0);
            }
            struct Move {
                UInt to;
                size_t span;
            };
            std::unordered_map<UInt, Move> moved;  // by old offset, for every entry
            size_t w = 0;
            for (const auto& [key, e] : Order()) {
                const UInt to = UInt(!aligned_ && onGrid ? Align8(w) : e->offset);
                moved[e->offset] = {to, Span(key)};
                w = to + Span(key);
                entries_.at(key).offset = to;
            }
            const Table* old = t_;
            if (!aligned_ && onGrid) used_ = w;
            errno = 0;
            Table* back = HashTableRead(path, p_.Hash(), p_.Filler(), nullptr, vm ? TRUE : FALSE);
            ZKFUZZ_REQUIRE(back != nullptr);
            ZKFUZZ_REQUIRE(back->t_selected == t_->t_selected && back->t_val_len == p_.val_len &&
                           back->t_key_size == p_.key_size && back->t_vm == (vm ? TRUE : FALSE));
            ZKFUZZ_REQUIRE(Ops::Size(back) == Ops::Size(t_) && Ops::Capacity(back) == capacity_);
            ZKFUZZ_REQUIRE(Ops::Slots(back) == slots_);
            ZKFUZZ_REQUIRE(back->t_data_used == used_ && back->t_data_size >= used_);
            for (UInt s = 0; s < slots_; s++) {
                const UInt e = old->t_entries[s];
                ZKFUZZ_REQUIRE(back->t_entries[s] == (e == HASH_EMPTY ? e : moved.at(e).to));
            }
            for (const auto& [from, m] : moved) {
                ZKFUZZ_REQUIRE(std::memcmp(back->t_data + m.to, old->t_data + from, m.span) == 0);
            }
            ZKFUZZ_REQUIRE(back->t_aligned == ((aligned_ || onGrid) ? TRUE : FALSE));
            Ops::Free(t_);
            t_ = back;
            aligned_ = back->t_aligned != 0;
            RequireSound(t_);
        }
    }

    enum Op { kCreate, kLookup, kRemove, kGrow, kEnumerate, kIterate, kSelect, kCopy, kClear, kSave, kCompare };
    static constexpr zkfuzz::OpMix<Op> kMix{{{kCreate, 3}, {kLookup, 1}, {kRemove, 2}, {kGrow, 1},
                                             {kEnumerate, 1}, {kIterate, 1}, {kSelect, 1}, {kCopy, 1},
                                             {kClear, 1}, {kSave, 1}, {kCompare, 1}}};

    void Step() {
        step_++;
        const UByte op = in_.Byte();
        switch (kMix(op)) {
        case kCreate: {
            const std::string key = NextKey();
            Find(key, true, in_.Byte());
            break;
        }
        case kLookup: {
            const std::string key = NextKey();
            Find(key, false, in_.Byte());
            break;
        }
        case kRemove: {
            const std::string key = NextKey();
            Remove(key);
            break;
        }
        case kGrow: {
            static constexpr float kFactors[] = {1.0001f, 1.5f, 2.0f, 3.0f};
            Grow(op & 0x80 ? kFactors[(op >> 5) & 3] : p_.factor);
            break;
        }
        case kEnumerate: Enumerate(); break;
        case kIterate: Iterate(); break;
        case kSelect:
            if (op & 0x80) {
                Sort((op & 0x40) != 0);
            } else {
                Select();
            }
            break;
        case kCopy: Copy((op & 0x80) != 0); break;
        case kClear:
            if ((op & 0xC0) == 0xC0 || selected_) Clear();
            break;
        case kSave:
            if constexpr (kDel) {
                Bytes();
            } else if ((op & 0xE0) == 0xE0) {
                File();
            }
            break;
        case kCompare:
            if (selected_) {
                Positions();
            } else {
                Compare();
            }
            break;
        }
    }

    void Compare() {
        Normalize();
        Walk w{this, t_, 0, 0, {}, 0, {}, {}};
        ZKFUZZ_REQUIRE(Ops::Enumerate(t_, 0, Visit, &w) == 0);
        Expect(w, 0, 0, 0);
    }

    void RequireSound(const Table* t) const {
        const std::string fault = Ops::Check(t, &ctx_);
        if (!fault.empty()) zkfuzz::Fault("the checker found a fault", fault.c_str(), __FILE__, __LINE__);
    }

    void Verify(bool full) {
        ZKFUZZ_REQUIRE(Ops::Size(t_) == (selected_ ? list_.size() : entries_.size()));
        ZKFUZZ_REQUIRE(Ops::Capacity(t_) == capacity_ && Ops::Slots(t_) == slots_);
        ZKFUZZ_REQUIRE(Ops::Removed(t_) == deleted_);
        ZKFUZZ_REQUIRE(t_->t_data_used == used_ && t_->t_data_size >= used_);
        ZKFUZZ_REQUIRE((t_->t_selected != 0) == selected_ && (t_->t_aligned != 0) == aligned_);
        if (!selected_) ZKFUZZ_REQUIRE((Ops::Full(t_) != 0) == (entries_.size() == capacity_));
        if (full) RequireSound(t_);
    }

    const Params p_;
    zkfuzz::Cursor in_;
    mutable Context ctx_;
    Table* t_ = nullptr;
    // The model: entries of the data area by key (after a selection, all of them, selected or not).
    std::unordered_map<std::string, Entry> entries_;
    std::vector<std::string> list_;  // the selected list, in its order
    bool selected_ = false;
    bool aligned_ = true;
    size_t used_ = 0;
    UInt capacity_ = 0;
    UInt slots_ = 0;
    UInt deleted_ = 0;
    UInt step_ = 0;
    int files_ = 0;
    std::vector<std::string> known_;
    size_t next_known_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    zkfuzz::Cursor in(data, size);
    const Params params(in);
    if (params.del) {
        Run<zkadapt::HashDelTableOps>(params, in).Go();
    } else {
        Run<zkadapt::HashTableOps>(params, in).Go();
    }
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);
    return 0;
}
