// Writes the seed corpora of the four operation-sequence targets, each seed an encoded run of
// operations in the shape its target decodes (see the top of each *_ops_fuzz.cpp), into
// <dir>/tree_ops, <dir>/idmap_ops, <dir>/table_ops and <dir>/cache_ops:
//
//   tree_ops    per family: a long increasing run then removals from both ends and a run past the
//               largest key; decreasing runs and runs below the smallest key with nearest-key
//               queries; a random mix over few keys; growth past a creation capacity that is not a
//               power of two; the extreme keys
//   idmap_ops   per width: growth through a dozen doublings by bulk insertions; keys sharing start
//               slots; a random mix; the special keys and values
//   table_ops   HashTable with growth, walks, selections and sorts; unaligned with a weak hash, a
//               refusing value callback and file round trips, two of them of selections that
//               hide entries off the 8-byte grid; page-mapped with long keys;
//               HashDelTable with removals, tombstones, compactions and serialised forms; growth
//               past ten thousand slots and a clear
//   cache_ops   eviction pressure with collections; expiry; static buffers too small; values at the
//               largest size a page takes; a cache too small to store; parameters it must refuse
//
// Every seed is small (a few KB). The committed seeds are exactly what this program writes, and
// the test fuzz_corpus_generated_ops runs it and compares every file byte for byte. A change to how
// a target decodes its input is a change to this program too; commit it with the files it then
// writes:
//
//   cmake --build build --target zk_ops_corpus && build/fuzz/zk_ops_corpus fuzz/corpus
//
// The output depends on nothing but this program: the random mixes come from a fixed generator.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fuzz/corpus_writer.h"

namespace {

using zkcorpus::Bytes;

std::string g_root;
size_t g_total = 0;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    zkcorpus::MakeDir(g_root + "/" + target);
    zkcorpus::WriteBytes(g_root + "/" + target + "/" + name, bytes);
    g_total += bytes.size();
}

// Appends bytes and little-endian numbers; each seed writer derives from it. Keys and values of the
// structures that take both widths are words of the width the seed chose.
template <class Seed>
class Out {
public:
    explicit Out(int width = 4) : width_(width) {}
    Seed& B(unsigned v) {
        bytes_.push_back((unsigned char)v);
        return self();
    }
    Seed& S(const std::string& s) {
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return self();
    }
    const Bytes& bytes() const { return bytes_; }

protected:
    Seed& K(unsigned code) { return B(code); }
    Seed& W(std::uint64_t word) {
        for (int i = 0; i < width_; i++) bytes_.push_back((unsigned char)(word >> (8 * i)));
        return self();
    }
    int width() const { return width_; }

private:
    Seed& self() { return static_cast<Seed&>(*this); }
    Bytes bytes_;
    int width_;
};

// ---- tree_ops ---------------------------------------------------------------------------------------

// Operation codes of tree_ops_fuzz.cpp (the code modulo 13 picks the operation).
class TreeSeed : public Out<TreeSeed> {
public:
    TreeSeed(int family, int capacityIndex) : Out(family == 2 ? 8 : 4) {
        B(unsigned(family + 3 * capacityIndex));
    }
    // Keys.
    TreeSeed& Small(unsigned k) { return K(0).K(k); }
    TreeSeed& Known(unsigned i) { return K(2).K(i & 0xFF).K(i >> 8); }
    TreeSeed& Near(unsigned i, int d) { return K(3).K(i & 0xFF).K(i >> 8).K(unsigned(d + 2)); }
    TreeSeed& Extreme(unsigned i) { return K(4).K(i); }
    TreeSeed& Wide(std::uint64_t k) { return K(5).W(k); }
    TreeSeed& Value(std::uint64_t v) { return W(v); }
    // Operations; each is followed by its key (and what else it reads) from the calls above.
    TreeSeed& Insert(bool pointer = false) { return K(pointer ? 130 : 0); }
    TreeSeed& Find() { return K(3); }
    TreeSeed& Remove() { return K(4); }
    TreeSeed& Pointer() { return K(6); }  // key, value, pick
    TreeSeed& Nearest() { return K(7); }  // key, mode 0..2
    // how: bit 0 down, bit 1 eight times the count, bit 2 from just past the extreme key.
    TreeSeed& Run(unsigned how, unsigned count, unsigned step, unsigned gap) {
        return K(9).K(how).K(count).K(step).K(gap - 1);  // then a key and a value
    }
    TreeSeed& RemoveRun(unsigned how, unsigned count) { return K(10).K(how).K(count); }  // key if how & 4
    TreeSeed& Walks(unsigned k) { return K(11).K(k - 1); }
    TreeSeed& Clear() { return K(246); }
    TreeSeed& Compare() { return K(12); }
};

void TreeSeeds() {
    static const char* const kNames[] = {"rb", "avl", "avll"};
    for (int f = 0; f < 3; f++) {
        const std::string family = kNames[f];
        {
            TreeSeed s(f, 0);
            s.Run(2, 250, 1, 1).Small(0).Value(1);
            s.Walks(3).Walks(200);
            s.Find().Small(5).Remove().Wide(1000).Remove().Wide(5000);
            s.RemoveRun(2, 50);
            s.RemoveRun(3, 25);
            s.Run(6, 30, 5, 2).Small(0).Value(77);
            s.Compare().Walks(1);
            s.Run(0, 100, 1, 1).Extreme(2).Value(9);  // from the largest key on, wrapping to 0
            s.Compare().Clear().Insert().Small(3).Value(4).Compare();
            Write("tree_ops", family + "_ascending", s.bytes());
        }
        {
            TreeSeed s(f, 0);
            s.Run(3, 120, 2, 1).Wide(0x100000).Value(5);
            s.Run(5, 100, 1, 3).Small(0).Value(6);
            s.RemoveRun(4, 40).Wide(0x100000 - 500);
            s.RemoveRun(5, 30).Wide(0xFFFC0);
            for (unsigned mode = 0; mode < 3; mode++) {
                s.Nearest().Wide(0x100001).B(mode);
                s.Nearest().Wide(0xFFF00 + 1).B(mode);
                s.Nearest().Extreme(0).B(mode);
                s.Nearest().Extreme(2).B(mode);
                s.Nearest().Wide(0x80001).B(mode);
            }
            s.Walks(7).Compare();
            Write("tree_ops", family + "_descending", s.bytes());
        }
        {
            TreeSeed s(f, 1);
            std::mt19937 rng(1234 + f);
            for (int i = 0; i < 400; i++) {
                const unsigned r = rng() % 100;
                auto key = [&]() -> TreeSeed& {
                    const unsigned k = rng() % 10;
                    if (k < 5) return s.Small(rng() % 32);
                    if (k < 7) return s.Known(rng() % 64);
                    if (k < 8) return s.Near(rng() % 64, int(rng() % 5) - 2);
                    if (k < 9) return s.Extreme(rng() % 6);
                    return s.Wide(rng());
                };
                if (r < 35) {
                    s.Insert(r % 2 == 0);
                    key().Value(rng());
                } else if (r < 50) {
                    s.Find();
                    key();
                } else if (r < 72) {
                    s.Remove();
                    key();
                } else if (r < 80) {
                    s.Pointer();
                    key().Value(rng()).B(rng() % 256);
                } else if (r < 92) {
                    s.Nearest();
                    key().B(rng() % 3);
                } else if (r < 97) {
                    s.Walks(1 + rng() % 40);
                } else {
                    s.Compare();
                }
            }
            Write("tree_ops", family + "_mix", s.bytes());
        }
        {
            TreeSeed s(f, 2);  // created for 1500 nodes: growth doubles to 3000
            s.Run(2, 250, 7, 1).Small(1).Value(3);
            s.RemoveRun(2, 200);
            s.Run(10, 150, 3, 1).Small(2).Value(11);
            s.Compare().Clear();
            s.Run(2, 200, 1, 1).Wide(0xFFFFFF00u).Value(12);
            s.Compare();
            Write("tree_ops", family + "_growth", s.bytes());
        }
        {
            TreeSeed s(f, 3);
            for (unsigned i = 0; i < 6; i++) s.Insert(i % 2 == 1).Extreme(i).Value(100 + i);
            s.Insert().Small(0).Value(0).Insert().Small(0).Value(1);  // a replacement
            for (unsigned i = 0; i < 6; i++) s.Nearest().Extreme(i).B(i % 3);
            for (unsigned i = 0; i < 6; i++) s.Pointer().Extreme(i).Value(i).B(i);
            s.Walks(2).Remove().Extreme(2).Remove().Extreme(2).Remove().Extreme(0);
            s.Nearest().Small(1).B(0).Nearest().Small(1).B(1).Nearest().Small(1).B(2).Compare();
            Write("tree_ops", family + "_extremes", s.bytes());
        }
    }
}

// ---- idmap_ops --------------------------------------------------------------------------------------

class IdSeed : public Out<IdSeed> {
public:
    explicit IdSeed(bool wide) : Out(wide ? 8 : 4) { B(wide ? 1 : 0); }
    IdSeed& VSpecial(unsigned i) { return K(i << 2); }
    IdSeed& VWide(std::uint64_t v) { return K(1).W(v); }
    IdSeed& Small(unsigned k) { return K(0).K(k); }
    IdSeed& Shared(unsigned mult, unsigned off, bool high) { return K(high ? 0x82 : 2).K(mult).K(off); }
    IdSeed& Known(unsigned i) { return K(3).K(i & 0xFF).K(i >> 8); }
    IdSeed& Special(unsigned i) { return K(4).K(i); }
    IdSeed& Alias(unsigned low, unsigned high, unsigned which) {
        K(5);
        if (width() == 8) return K(high).K(low).K(which);
        return K(low);
    }
    IdSeed& Wide(std::uint64_t k) { return K(6).W(k); }
    // A creating lookup: its create value, then its key, then its update value when update is set,
    // then its how byte.
    IdSeed& Create(bool update) { return K(update ? 130 : 0); }
    IdSeed& Lookup(bool update) { return K(update ? 133 : 3); }
    IdSeed& How(unsigned how) { return K(how); }
    IdSeed& Positions(unsigned at, unsigned span) { return K(5).K(at & 0xFF).K(at >> 8).K(span - 1); }
    IdSeed& Bulk(unsigned count16, std::uint64_t base, unsigned spread, unsigned stride) {
        return K(6).K(count16 - 1).W(base).K(spread).K(stride);
    }
    IdSeed& All() { return K(7); }
    IdSeed& Clear() { return K(198); }
    IdSeed& Fresh() { return K(229); }
};

void IdMapSeeds() {
    for (const bool wide : {false, true}) {
        const std::string name = wide ? "refmap" : "idmap";
        {
            IdSeed s(wide);
            s.Bulk(64, 1, 0, 0).Bulk(64, 5000, 1, 3).Bulk(64, 0xFFFF0000u, 2, 255);
            s.All().Positions(1000, 8).Positions(3000, 8);
            for (unsigned i = 0; i < 20; i++) {
                s.Lookup(i % 2 == 1).Known(i * 97);
                if (i % 2 == 1) s.VWide(i);
                s.How(i);
            }
            s.Clear().Bulk(8, 77, 0, 0).All().Fresh().Bulk(2, 9, 3, 9).All();
            Write("idmap_ops", name + "_growth", s.bytes());
        }
        {
            IdSeed s(wide);
            for (unsigned i = 0; i < 40; i++) {
                s.Create(i % 5 == 0).VWide(i * 3 + 1).Shared(i % 12, i % 3, i % 2);
                if (i % 5 == 0) s.VWide(i);
                s.How(i);
            }
            for (unsigned i = 0; i < 20; i++) {
                s.Lookup(i % 3 == 0).Shared(i % 12, i % 3, i % 2);
                if (i % 3 == 0) s.VWide(900 + i);
                s.How(i);
            }
            s.All().Positions(3, 8).Clear().All();
            Write("idmap_ops", name + "_shared_slots", s.bytes());
        }
        {
            IdSeed s(wide);
            std::mt19937 rng(99 + wide);
            for (int i = 0; i < 300; i++) {
                const unsigned r = rng() % 100;
                auto key = [&]() -> IdSeed& {
                    const unsigned k = rng() % 6;
                    if (k < 3) return s.Small(rng() % 48);
                    if (k < 4) return s.Known(rng() % 256);
                    if (k < 5) return s.Shared(rng() % 40, rng() % 3, rng() % 2);
                    return s.Wide(rng());
                };
                auto value = [&]() -> IdSeed& { return rng() % 4 ? s.VWide(rng()) : s.VSpecial(rng() % 4); };
                if (r < 45) {
                    const bool update = rng() % 4 == 0;
                    s.Create(update);
                    value();
                    key();
                    if (update) value();
                    s.How(rng() % 4);
                } else if (r < 75) {
                    const bool update = rng() % 3 == 0;
                    s.Lookup(update);
                    key();
                    if (update) value();
                    s.How(rng() % 4);
                } else if (r < 90) {
                    s.Positions(rng() % 512, 1 + rng() % 8);
                } else if (r < 95) {
                    s.Bulk(1 + rng() % 4, rng(), rng() % 4, rng() % 256);
                } else if (r < 98) {
                    s.All();
                } else {
                    s.Clear();
                }
            }
            Write("idmap_ops", name + "_mix", s.bytes());
        }
        {
            IdSeed s(wide);
            for (unsigned i = 0; i < 8; i++) s.Create(false).VSpecial(i % 4).Special(i).How(0);
            for (unsigned i = 0; i < 12; i++) {
                s.Create(i % 2 == 0).VWide(i).Alias(i % 48, i, i % 6);
                if (i % 2 == 0) s.VSpecial(i % 4);
                s.How(1);
            }
            for (unsigned i = 0; i < 8; i++) s.Lookup(true).Special(i).VSpecial(3 - i % 4).How(2);
            s.All().Fresh();
            for (unsigned i = 0; i < 12; i++) {
                s.Create(false).VWide(~std::uint64_t(i)).Wide(~std::uint64_t(i) - 2).How(3);
            }
            s.All();
            Write("idmap_ops", name + "_specials", s.bytes());
        }
    }
}

// ---- table_ops --------------------------------------------------------------------------------------

// The parameters of table_ops_fuzz.cpp's Params.
struct TableParams {
    bool del = false;
    unsigned val_len_index = 4;  // 8 bytes
    unsigned key_size = 0;
    bool vm = false;
    unsigned capacity_index = 2;  // 5
    unsigned factor_index = 4;    // 2.0
    bool weak_hash = false;
    bool refusing = false;
    bool unaligned = false;
};

class TableSeed : public Out<TableSeed> {
public:
    explicit TableSeed(const TableParams& p) {
        B(unsigned(p.del) | p.val_len_index << 1 | p.key_size << 4 | unsigned(p.vm) << 7);
        B(p.capacity_index | p.factor_index << 3 | unsigned(p.weak_hash) << 6 | unsigned(p.refusing) << 7);
        B(unsigned(p.unaligned));
    }
    // Keys.
    TableSeed& Short(const std::string& abc) {  // at most four letters of a, b and c
        K(0).K(unsigned(abc.size()));
        for (char c : abc) K(unsigned(c - 'a'));
        return *this;
    }
    TableSeed& Known(unsigned i) { return K(2).K(i & 0xFF).K(i >> 8); }
    TableSeed& Empty() { return K(4); }
    TableSeed& Long(unsigned len, char fill) {
        K(5).K(len - 120);
        return S(std::string(len, fill));
    }
    TableSeed& Refused(const std::string& rest) {
        K(6).K(unsigned(rest.size()));
        return S(rest);
    }
    TableSeed& Raw(const std::string& key) {
        K(7).K(unsigned(key.size()));
        return S(key);
    }
    // Operations.
    TableSeed& Create() { return K(0); }  // key, aux
    TableSeed& Lookup() { return K(3); }  // key, aux
    TableSeed& Aux(unsigned aux) { return K(aux); }
    TableSeed& Remove() { return K(4); }  // key
    TableSeed& Grow() { return K(6); }
    TableSeed& GrowBy(unsigned factor) {  // 0: 1.0001, 1: 1.5, 2: 2.0, 3: 3.0
        static const unsigned kCodes[] = {132, 160, 202, 230};
        return K(kCodes[factor]);
    }
    // how: bit 0 stops at the stop-th call, bit 1 starts at the at-th entry, bit 2 inserts a key
    // (given next, then its call number) during the walk.
    TableSeed& Enumerate(unsigned how, unsigned stop = 0, unsigned at = 0) {
        K(7).K(how);
        if (how & 1) K(stop - 1);
        if (how & 2) K(at);
        return *this;
    }
    TableSeed& Iterate() { return K(8); }
    TableSeed& Select(unsigned how, unsigned count = 0) {
        K(9).K(how);
        if (how & 1) K(count);
        return *this;
    }
    TableSeed& Sort(bool descending) { return K(descending ? 191 : 135); }
    TableSeed& Copy(bool adopt) { return K(adopt ? 136 : 10); }  // a key unless adopt
    TableSeed& Clear() { return K(193); }
    TableSeed& Bytes(unsigned lead, unsigned cut) { return K(12).K(lead).K(cut); }
    TableSeed& File(bool vm) { return K(236).K(unsigned(vm)); }
    TableSeed& Compare() { return K(13); }
};

// Up to four letters of a, b and c, distinct for i below 81.
std::string Word(unsigned i) {
    i %= 81;
    std::string w;
    do {
        w += char('a' + i % 3);
        i /= 3;
    } while (i != 0);
    return w;
}

void TableSeeds() {
    {
        TableParams p;
        TableSeed s(p);
        for (unsigned i = 0; i < 60; i++) s.Create().Raw("key" + std::to_string(i * 37 % 101)).Aux(i);
        for (unsigned i = 0; i < 10; i++) s.Lookup().Known(i * 5).Aux(4 * i);
        s.Enumerate(0).Enumerate(1, 7).Enumerate(2, 0, 30).Enumerate(4).Raw("walk-insert").B(3).Iterate();
        s.GrowBy(1).Compare().Copy(false).Raw("copied").Select(1 | 2 << 1, 9).Sort(true).Compare();
        s.Select(0).Sort(false).Clear();
        for (unsigned i = 0; i < 20; i++) s.Create().Short(Word(i)).Aux(i);
        s.Copy(true).Select(0x80 | 0x20).Compare();
        for (unsigned i = 0; i < 8; i++) s.Create().Empty().Aux(i).Create().Known(i).Aux(i);
        s.Select(0x40 | 1, 5).Compare();
        Write("table_ops", "hashtable_walks", s.bytes());
    }
    {
        TableParams p;
        p.val_len_index = 2;  // 3 bytes
        p.key_size = 1;
        p.capacity_index = 0;
        p.factor_index = 0;  // 1.0001: growth falls back to doubling
        p.weak_hash = true;
        p.refusing = true;
        p.unaligned = true;
        TableSeed s(p);
        for (unsigned i = 0; i < 30; i++) s.Create().Short(Word(i * 7)).Aux(i);
        s.Create().Refused("x").Aux(1).Create().Refused("").Aux(2).Lookup().Refused("x").Aux(0);
        s.File(false).Enumerate(1, 4).Grow();
        for (unsigned i = 0; i < 20; i++) s.Create().Raw(std::string(i % 9, char('A' + i))).Aux(i);
        s.File(true).Iterate().Select(0x80 | 2, 0).Compare();
        for (unsigned i = 0; i < 10; i++) s.Create().Short(Word(i)).Aux(i);
        s.Select(1 | 0x40, 4).File(false).Compare().Clear();
        Write("table_ops", "hashtable_unaligned_files", s.bytes());
    }
    {
        // An unaligned table selected down to nothing: its slots show no entry off the 8-byte grid.
        TableParams p;
        p.val_len_index = 2;  // 3 bytes
        p.key_size = 1;
        p.unaligned = true;
        TableSeed s(p);
        for (unsigned i = 0; i < 6; i++) s.Create().Short(Word(i * 10)).Aux(1);
        s.Select(1 << 1).File(false).Compare().Clear();
        for (unsigned i = 0; i < 6; i++) s.Create().Short(Word(i * 10)).Aux(1);
        s.File(false).Compare();
        Write("table_ops", "hashtable_unaligned_selected_file", s.bytes());
    }
    {
        // The same with one entry on the grid kept and one off it left out: the padded walk of the
        // saved data area ends early, and the reader takes the image for an aligned one.
        TableParams p;
        p.val_len_index = 0;
        p.key_size = 1;
        p.unaligned = true;
        TableSeed s(p);
        s.Create().Raw("O").Aux(1).Create().Empty().Aux(1);
        s.Select(2 << 1).File(false).Compare().Iterate();
        Write("table_ops", "hashtable_unaligned_selected_misread", s.bytes());
    }
    {
        TableParams p;
        p.val_len_index = 7;  // 33 bytes
        p.key_size = 2;
        p.vm = true;
        p.capacity_index = 4;
        p.factor_index = 3;
        TableSeed s(p);
        for (unsigned i = 0; i < 12; i++) s.Create().Long(120 + i * 6, char('a' + i)).Aux(i);
        for (unsigned i = 0; i < 12; i++) s.Lookup().Known(i).Aux(i * 4);
        s.Enumerate(3, 5, 3).Copy(false).Raw("k").GrowBy(3).Iterate().Compare();
        Write("table_ops", "hashtable_long_keys", s.bytes());
    }
    {
        TableParams p;
        p.del = true;
        p.val_len_index = 3;  // 4 bytes
        p.factor_index = 3;   // 1.5
        TableSeed s(p);
        for (unsigned i = 0; i < 40; i++) s.Create().Raw("d" + std::to_string(i)).Aux(i);
        for (unsigned i = 0; i < 40; i += 3) s.Remove().Raw("d" + std::to_string(i));
        s.Bytes(2, 1).Remove().Raw("absent");
        for (unsigned i = 0; i < 40; i += 6) s.Create().Raw("d" + std::to_string(i)).Aux(i);
        s.Enumerate(2, 0, 5).Iterate().Bytes(0, 9).Grow().Compare();
        s.Select(0x40 | 1, 6).Bytes(1, 3).Copy(false).Raw("c").Sort(true).Clear();
        for (unsigned i = 0; i < 12; i++) s.Create().Short(Word(i)).Aux(i).Remove().Short(Word(i / 2));
        s.Copy(true).Compare();
        Write("table_ops", "hashdeltable_tombstones", s.bytes());
    }
    {
        TableParams p;
        p.del = true;
        p.val_len_index = 6;  // 16 bytes
        p.key_size = 3;
        p.capacity_index = 3;
        p.factor_index = 6;  // 1.7
        p.weak_hash = true;
        p.refusing = true;
        TableSeed s(p);
        std::mt19937 rng(7);
        for (int i = 0; i < 250; i++) {
            const unsigned r = rng() % 100;
            auto key = [&]() -> TableSeed& {
                const unsigned k = rng() % 8;
                if (k < 4) return s.Short(Word(rng() % 40));
                if (k < 6) return s.Known(rng() % 64);
                if (k < 7) return s.Refused(std::string(rng() % 3, 'r'));
                return s.Empty();
            };
            if (r < 40) {
                s.Create();
                key().Aux(rng() % 256);
            } else if (r < 70) {
                s.Remove();
                key();
            } else if (r < 80) {
                s.Lookup();
                key().Aux(rng() % 256);
            } else if (r < 85) {
                s.Enumerate(rng() % 4, 1 + rng() % 16, rng() % 64);
            } else if (r < 90) {
                s.Iterate();
            } else if (r < 94) {
                s.Grow();
            } else if (r < 97) {
                s.Bytes(rng() % 4, rng() % 256);
            } else {
                s.Compare();
            }
        }
        Write("table_ops", "hashdeltable_churn", s.bytes());
    }
    {
        TableParams p;
        p.del = true;
        p.val_len_index = 0;
        p.key_size = 4;
        p.factor_index = 5;  // 3.0
        TableSeed s(p);
        for (unsigned i = 0; i < 8; i++) s.GrowBy(3).Create().Short(Word(i)).Aux(i);
        s.Remove().Known(3).Bytes(3, 200).Compare().Clear();
        for (unsigned i = 0; i < 8; i++) s.Create().Short(Word(i)).Aux(i);
        s.Compare();
        Write("table_ops", "hashdeltable_large_clear", s.bytes());
    }
}

// ---- cache_ops --------------------------------------------------------------------------------------

struct CacheParams {
    unsigned region_size = 4;  // 1 to 8
    unsigned page_index = 3;   // the minimum page plus 368 bytes
    unsigned regions = 4;      // 1 to 16
    unsigned safety_index = 1;
    unsigned low_index = 2;
    unsigned high_index = 2;
    unsigned generation_index = 2;
    bool partial_region = false;
    bool public_too = false;
};

class CacheSeed : public Out<CacheSeed> {
public:
    explicit CacheSeed(const CacheParams& p) {
        const unsigned r = p.regions - 1;  // (b >> 6) * 4 + (a >> 6) % 4
        B((p.region_size - 1) | p.page_index << 3 | (r % 4) << 6);
        B(p.safety_index | p.low_index << 3 | (r / 4) << 6);
        B(p.high_index | p.generation_index << 3 | unsigned(p.partial_region) << 6 | unsigned(p.public_too) << 7);
    }
    // Keys.
    CacheSeed& Named(unsigned i) { return K(0).K(i); }
    CacheSeed& Known(unsigned i) { return K(2).K(i); }
    CacheSeed& Long(unsigned len) { return K(4).K(len - 40); }
    CacheSeed& Raw(const std::string& key) {
        K(5).K(unsigned(key.size() - 1));
        return S(key);
    }
    // Values.
    CacheSeed& NoValue() { return K(0); }
    CacheSeed& Short(unsigned len) { return K(1).K(len); }
    CacheSeed& Eighths(unsigned len8) { return K(3).K(len8); }
    CacheSeed& Largest(int delta) { return K(4).K(unsigned(delta + 1)); }
    // Expiry.
    CacheSeed& Never() { return K(0); }
    CacheSeed& Future() { return K(5); }
    CacheSeed& Past() { return K(6); }
    CacheSeed& Zero() { return K(0x86); }
    // Operations.
    CacheSeed& Store() { return K(0); }             // key, value, expiry
    CacheSeed& Read(unsigned how) {                 // key; how 0 dynamic, 1 static, 2 too small
        static const unsigned kCodes[] = {3, 23, 33};
        return K(kCodes[how]);
    }
    CacheSeed& Lead(unsigned n) { return K(n); }    // after a dynamic read's key
    CacheSeed& Sized(bool with) { return K(with ? 1 : 0); }  // after a static read's key
    CacheSeed& ShortBy(unsigned n) { return K(n - 1); }       // after a too-small read's key
    CacheSeed& Fill(unsigned count, unsigned len) { return K(6).K(count - 4).K((len - 16) / 4); }
    CacheSeed& Collect(bool force) { return K(force ? 137 : 7); }
    CacheSeed& Collects(bool force) { return K(force ? 168 : 48); }
    CacheSeed& Absent(unsigned code) { return K(9 + 10 * code); }  // a key never stored
};

void CacheSeeds() {
    {
        CacheParams p;
        CacheSeed s(p);
        for (int round = 0; round < 6; round++) {
            s.Fill(60, 100).Collect(false);
            for (unsigned i = 0; i < 6; i++) s.Read(0).Known(unsigned(round * 6 + i)).Lead(i % 4);
            s.Store().Named(unsigned(round)).Short(20).Never().Collects(true);
        }
        for (unsigned i = 0; i < 24; i++) s.Read(1).Named(i).Sized(true);
        Write("cache_ops", "eviction", s.bytes());
    }
    {
        CacheParams p;
        p.generation_index = 0;  // 1 ms
        p.high_index = 3;
        CacheSeed s(p);
        for (unsigned i = 0; i < 12; i++) {
            s.Store().Named(i).Short(10 + i);
            if (i % 3 == 0) {
                s.Past();
            } else if (i % 3 == 1) {
                s.Future();
            } else {
                s.Zero();
            }
        }
        for (unsigned i = 0; i < 12; i++) s.Read(i % 2).Named(i).B(1);
        for (unsigned i = 0; i < 12; i += 2) s.Store().Named(i).Short(5).Never();
        s.Collect(true);
        for (unsigned i = 0; i < 12; i++) s.Read(0).Named(i).Lead(2);
        s.Absent(3).Absent(4);
        Write("cache_ops", "expiry", s.bytes());
    }
    {
        CacheParams p;
        p.page_index = 5;  // 2 KB pages
        p.region_size = 2;
        p.regions = 8;
        CacheSeed s(p);
        for (unsigned i = 0; i < 8; i++) s.Store().Named(i).Eighths(8 + i * 10).Never();
        s.Store().Raw("empty").NoValue().Never();
        for (unsigned i = 0; i < 8; i++) s.Read(2).Named(i).ShortBy(1 + i * 3);
        for (unsigned i = 0; i < 8; i++) s.Read(1).Named(i).Sized(i % 2 == 0);
        s.Read(2).Raw("empty").ShortBy(1).Read(1).Raw("empty").Sized(true).Read(0).Raw("empty").Lead(3);
        Write("cache_ops", "static_buffers", s.bytes());
    }
    {
        CacheParams p;
        p.page_index = 0;  // the smallest page: one block header of room
        p.region_size = 8;
        p.regions = 2;
        p.safety_index = 0;
        CacheSeed s(p);
        for (int delta = -1; delta <= 1; delta++) {
            s.Store().Raw("e").Largest(delta).Never().Store().Named(1).Largest(delta).Never();
            s.Store().Long(40).NoValue().Never();
        }
        s.Read(0).Raw("e").Lead(0).Read(1).Named(1).Sized(true).Collect(true);
        CacheParams q;
        q.page_index = 2;
        CacheSeed t(q);
        for (int delta = -1; delta <= 1; delta++) {
            t.Store().Named(3).Largest(delta).Never().Read(1).Named(3).Sized(true);
        }
        Write("cache_ops", "largest_values", s.bytes());
        Write("cache_ops", "largest_values_medium_pages", t.bytes());
    }
    {
        CacheParams p;
        p.region_size = 1;
        p.regions = 5;  // five pages: never more than five free, so every store is refused
        p.partial_region = true;
        CacheSeed s(p);
        for (unsigned i = 0; i < 6; i++) s.Store().Named(i).Short(4).Never().Read(0).Named(i).Lead(1);
        s.Collect(true);
        Write("cache_ops", "too_small_to_store", s.bytes());
    }
    {
        CacheParams p;
        p.public_too = true;
        p.regions = 16;
        p.region_size = 1;
        CacheSeed s(p);
        s.Fill(20, 40).Read(0).Known(3).Lead(0).Collects(false);
        Write("cache_ops", "public_constructor", s.bytes());
    }
    for (unsigned which = 0; which < 8; which++) {
        Bytes b{0xFF, (unsigned char)(which | (which % 6) << 3)};
        Write("cache_ops", "refused_" + std::to_string(which), b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status =
        zkcorpus::Run(argc, argv, "zk_ops_corpus", g_root, {TreeSeeds, IdMapSeeds, TableSeeds, CacheSeeds});
    if (status == 0) std::printf("wrote %zu bytes of seeds under %s\n", g_total, g_root.c_str());
    return status;
}
