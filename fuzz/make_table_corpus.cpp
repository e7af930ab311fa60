// Writes the seed corpora of the fuzz targets of the file and image readers: structures built
// through the public API in the shapes their readers must accept (HashTable files through
// HashTableWrite into <dir>/hashtable, serialised tables with deletion through HashDelTableMemWrite
// into <dir>/hashdeltable, index and data files through AttrDictCommit into <dir>/attrdict, and
// static dictionaries of fuzz/hashdict_seeds.h as file, channel and memory images into
// <dir>/hashdict), and a few corrupt variants they must refuse. Some seeds carry bytes past the
// table, which the targets decode as operations.
//
// The committed seeds are exactly what this program writes, and the test fuzz_corpus_generated_tables
// runs it and compares every file byte for byte. A change to one of the formats therefore fails that
// test, as it fails tests/golden_test.cpp: on purpose, since files already written in the old format
// stay in use. New seeds are added here and committed with the files the program then writes:
//
//   cmake --build build --target zk_table_corpus && build/fuzz/zk_table_corpus fuzz/corpus
//
// The output does not depend on the run: the builds are deterministic and the writers zero the
// padding and the unused tail of a data area. It does depend on the host's byte order, which the
// dictionary images and the attribute-dictionary index follow: the committed seeds come from a
// little-endian host.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dict/attrdict.h"
#include "dict/hashdict.h"
#include "dict/hashdeltable.h"
#include "dict/hashtable.h"
#include "fuzz/corpus_writer.h"
#include "fuzz/hashdict_seeds.h"

namespace {

using zkcorpus::Bytes;
using zkcorpus::Die;
using zkcorpus::MakeDir;
using zkcorpus::ReadBytes;
using zkcorpus::WriteBytes;

std::string g_root;

void Append(Bytes& bytes, const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }

void PutLe32(Bytes& bytes, size_t at, UInt v) {
    for (int i = 0; i < 4; i++) bytes[at + i] = UByte(v >> (8 * i));
}

UInt GetLe32(const Bytes& bytes, size_t at) {
    UInt v = 0;
    for (int i = 0; i < 4; i++) v |= UInt(bytes[at + i]) << (8 * i);
    return v;
}

std::string Key(int i) { return "key" + std::to_string(i * 37 % 101); }

// The calls of the two packed tables under one name, for what fills either kind.
void* Insert(HashTable* t, const std::string& k) {
    return HashTableFind(t, k.data(), UInt(k.size()), TRUE, nullptr, nullptr);
}
void* Insert(HashDelTable* t, const std::string& k) {
    return HashDelTableFind(t, k.data(), UInt(k.size()), TRUE, nullptr, nullptr);
}
void Grow(HashTable* t) { HashTableGrow(t, 2.0f, nullptr); }
void Grow(HashDelTable* t) { HashDelTableGrow(t, 2.0f, nullptr); }
UInt KeyOf(const HashTable* t, const void* v, const UByte** k) { return HashTableKey(t, v, k); }
UInt KeyOf(const HashDelTable* t, const void* v, const UByte** k) { return HashDelTableKey(t, v, k); }

// Inserts keys 0 to n - 1, growing the table when it is full; the value bytes of key i count up
// from i.
template <class Table>
Table* Fill(Table* t, int n) {
    for (int i = 0; i < n; i++) {
        const std::string k = Key(i);
        auto* v = static_cast<UByte*>(Insert(t, k));
        if (v == nullptr) {
            Grow(t);
            v = static_cast<UByte*>(Insert(t, k));
        }
        for (UInt b = 0; b < t->t_val_len; b++) v[b] = UByte(i + b);
    }
    return t;
}

// The sort order of the selections: the keys' bytes, then their lengths. ptr is the table.
template <class Table>
int CompareKeys(const void* a, const void* b, void* ptr) {
    const auto* t = static_cast<const Table*>(ptr);
    const UByte *ka, *kb;
    const UInt la = KeyOf(t, a, &ka), lb = KeyOf(t, b, &kb);
    const int c = std::memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : la < lb ? -1 : la > lb ? 1 : 0;
}

// The image with the first two filled of its slots at slotsAt exchanged: it still reads, but the
// two keys are off their probe paths.
Bytes Misplaced(const Bytes& image, size_t slotsAt, UInt slots, const std::string& name) {
    std::vector<size_t> filled;
    for (UInt s = 0; s < slots; s++)
        if (GetLe32(image, slotsAt + 4 * s) < HASH_DELETED) filled.push_back(slotsAt + 4 * s);
    if (filled.size() < 2) Die(name + " files fewer than two entries");
    Bytes swapped = image;
    PutLe32(swapped, filled[0], GetLe32(image, filled[1]));
    PutLe32(swapped, filled[1], GetLe32(image, filled[0]));
    return swapped;
}

// ---- HashTable files ----------------------------------------------------------------------------

// Offsets of the file header fields (see dict/hashtable.h).
constexpr size_t kUsedAt = 9, kKeySizeAt = 8, kSlotsAt = 17, kHeaderSize = 37;

std::string TablePath(const std::string& name) { return g_root + "/hashtable/" + name; }

HashTable* NewTable(UInt capacity, UInt valLen, UByte keySize) {
    return HashTableNew(capacity, nullptr, nullptr, nullptr, valLen, keySize, TRUE);
}

HashTable* Filled(UInt capacity, UInt valLen, UByte keySize, int n) {
    return Fill(NewTable(capacity, valLen, keySize), n);
}

// Saves and frees the table; the file's bytes, plus extra, replace it when extra is given.
Bytes Save(HashTable* t, const std::string& name, const Bytes& extra = {}) {
    const std::string path = TablePath(name);
    if (!HashTableWrite(t, path.c_str())) Die("cannot save " + path);
    HashTableFree(t);
    Bytes bytes = ReadBytes(path);
    if (!extra.empty()) {
        Append(bytes, extra);
        WriteBytes(path, bytes);
    }
    return bytes;
}

// The image of a table loaded unaligned (its entries packed without padding), which the public
// API only makes by loading one: built by hand, with each key filed by linear probing.
Bytes UnalignedImage() {
    const char* keys[] = {"a", "bc", "d", "efgh"};
    const UInt slots = Prime((3 * 5) >> 1);
    Bytes data;
    std::vector<UInt> table(slots, HASH_EMPTY);
    for (const char* k : keys) {
        const UInt len = UInt(std::strlen(k));
        UInt s = HashBytes(reinterpret_cast<const UByte*>(k), len) % slots;
        while (table[s] != HASH_EMPTY) s = (s + 1) % slots;
        table[s] = UInt(data.size());
        data.push_back(UByte(len * 3));  // the one-byte value area
        data.push_back(UByte(len));      // key_size 1
        data.insert(data.end(), k, k + len);
    }
    Bytes image(kHeaderSize, 0);
    PutLe32(image, 4, 1);                       // val_len
    image[kKeySizeAt] = 1;
    PutLe32(image, kUsedAt, 4);
    PutLe32(image, 13, 5);                      // capacity
    PutLe32(image, kSlotsAt, slots);
    PutLe32(image, 21, UInt(data.size()));      // data used, 8 bytes
    PutLe32(image, 29, UInt(data.size() + 3));  // data size, 8 bytes: a little room left over
    for (UInt e : table) {
        image.resize(image.size() + 4);
        PutLe32(image, image.size() - 4, e);
    }
    Append(image, data);
    image.resize(image.size() + 3, 0);
    return image;
}

void HashTableCorpus() {
    MakeDir(g_root + "/hashtable");
    // Keys for the insertions the target makes past the image: a length byte, then the bytes.
    const Bytes inserts = {3, 'o', 'n', 'e', 5, 't', 'h', 'r', 'e', 'e', 0, 1, 'a'};

    Save(NewTable(5, 0, 0), "empty_k0_v0.tbl");
    Save(Filled(5, 0, 0, 3), "keys_k0_v0.tbl", inserts);
    Save(Filled(8, 4, 1, 4), "keys_k1_v4.tbl");
    const Bytes k2 = Save(Filled(8, 8, 2, 5), "keys_k2_v8.tbl", inserts);
    Save(Filled(6, 13, 4, 4), "keys_k4_v13.tbl");
    // Exactly full: the first new key makes the target grow the table.
    Save(Filled(5, 4, 0, 5), "full_k0_v4.tbl", inserts);
    {
        HashTable* t = Filled(8, 4, 0, 6);
        HashTableSelect(t, 0, nullptr, nullptr, nullptr);
        HashTableSort(t, CompareKeys<HashTable>, t, nullptr);
        Save(t, "selected_sorted.tbl");
    }
    {
        // Selected into an array: the table keeps its entries and files none of them.
        HashTable* t = Filled(8, 4, 0, 6);
        UIntArray list;
        ArrayInit_(&list);
        HashTableSelect(t, 0, nullptr, nullptr, &list);
        ArrayFree_(&list);
        Save(t, "selected_array.tbl", inserts);
    }
    const Bytes grown = Save(Filled(5, 8, 0, 40), "grown_k0_v8.tbl");  // grows 5 -> 10 -> 20 -> 40
    {
        HashTable* t = Filled(5, 4, 0, 2);
        Insert(t, std::string(300, 'L'));  // a two-byte length code
        Save(t, "long_key_k0_v4.tbl");
    }
    WriteBytes(TablePath("unaligned_k1_v1.tbl"), UnalignedImage());

    // Refused: cut inside the slots; one entry more than the data area holds; a key width of 5.
    WriteBytes(TablePath("corrupt_truncated.tbl"), Bytes(grown.begin(), grown.begin() + kHeaderSize + 100));
    Bytes count = k2;
    PutLe32(count, kUsedAt, GetLe32(count, kUsedAt) + 1);
    WriteBytes(TablePath("corrupt_count.tbl"), count);
    Bytes width = k2;
    width[kKeySizeAt] = 5;
    WriteBytes(TablePath("corrupt_key_size.tbl"), width);
    // Accepted, though two entries sit in each other's slots: the reader does not rehash.
    WriteBytes(TablePath("misplaced_k2_v8.tbl"),
               Misplaced(k2, kHeaderSize, GetLe32(k2, kSlotsAt), "keys_k2_v8"));
}

// ---- serialised tables with deletion ------------------------------------------------------------

std::string DelPath(const std::string& name) { return g_root + "/hashdeltable/" + name; }

// A new table holding keys 0 to n - 1, of which from to to - 1 are removed again.
HashDelTable* FilledDel(UInt capacity, UInt valLen, UByte keySize, int n, int from = 0, int to = 0) {
    HashDelTable* t = Fill(HashDelTableNew(capacity, nullptr, nullptr, nullptr, valLen, keySize), n);
    for (int i = from; i < to; i++) {
        const std::string k = Key(i);
        HashDelTableRemove(t, k.data(), UInt(k.size()), nullptr);
    }
    return t;
}

// The serialised form, and the table freed.
Bytes Form(HashDelTable* t) {
    UByteArray out;
    ArrayInit_(&out);
    HashDelTableMemWrite(t, &out);
    Bytes bytes(out.data, out.data + out.length);
    ArrayFree_(&out);
    HashDelTableFree(t);
    return bytes;
}

void HashDelTableCorpus() {
    MakeDir(g_root + "/hashdeltable");
    // Operations for the target past the form (see hashdeltable_bytes_fuzz.cpp): create "new",
    // remove and find known keys, compare with the model, compact, grow by 1.5, create "xy",
    // compare again.
    const Bytes ops = {0x00, 3, 'n', 'e', 'w', 0x81, 0, 0x80, 1, 0x04, 0x05, 0x41, 0x01, 2, 'x', 'y', 0x04};
    auto save = [](const std::string& name, Bytes bytes, const Bytes& extra = {}) {
        Append(bytes, extra);
        WriteBytes(DelPath(name), bytes);
    };

    save("empty_k0_v0.bin", Form(FilledDel(5, 0, 0, 0)), ops);
    save("keys_k0_v0.bin", Form(FilledDel(5, 0, 0, 3)));
    save("keys_k1_v4.bin", Form(FilledDel(8, 4, 1, 4)), ops);
    const Bytes k2 = Form(FilledDel(8, 8, 2, 5));
    save("keys_k2_v8.bin", k2);
    save("keys_k4_v13.bin", Form(FilledDel(6, 13, 4, 4)), ops);
    const Bytes tombs = Form(FilledDel(16, 4, 0, 10, 2, 6));
    save("tombstones_k0_v4.bin", tombs, ops);
    // Three keys and a tombstone fill a capacity of five: the first new key needs growth.
    save("full_k0_v8.bin", Form(FilledDel(5, 8, 0, 4, 0, 1)), ops);
    {
        HashDelTable* t = FilledDel(8, 4, 0, 6);
        HashDelTableSelect(t, 0, nullptr, nullptr);
        HashDelTableSort(t, CompareKeys<HashDelTable>, t);
        Bytes selected = Form(t);
        save("selected_sorted.bin", selected);
        // The same form with a selected byte that is not 1: it reads as not selected.
        selected.back() = 2;
        save("selected_flag2.bin", selected, ops);
    }
    save("grown_k0_v8.bin", Form(FilledDel(5, 8, 0, 40, 30, 36)), ops);
    {
        HashDelTable* t = FilledDel(5, 4, 0, 2);
        Insert(t, std::string(300, 'L'));  // a two-byte length code
        save("long_key_k0_v4.bin", Form(t), ops);
    }

    // Refused: cut inside the slots; one key more than the slots hold; a tombstone too few.
    const size_t counts = 4 + GetLe32(tombs, 0);  // the slot count, then capacity, keys, tombstones
    save("corrupt_truncated.bin", Bytes(tombs.begin(), tombs.begin() + counts + 30));
    Bytes keys = tombs;
    PutLe32(keys, counts + 8, GetLe32(tombs, counts + 8) + 1);
    save("corrupt_count.bin", keys);
    Bytes deleted = tombs;
    PutLe32(deleted, counts + 12, GetLe32(tombs, counts + 12) - 1);
    save("corrupt_deleted.bin", deleted);
    // Accepted, though two entries sit in each other's slots: the reader does not rehash.
    const size_t k2Counts = 4 + GetLe32(k2, 0);
    save("misplaced_k2_v8.bin", Misplaced(k2, k2Counts + 16, GetLe32(k2, k2Counts), "keys_k2_v8"), ops);
}

// ---- attribute-dictionary pairs -----------------------------------------------------------------

// Where the pairs are committed before their bytes go into seeds: a directory of its own, since a
// commit also leaves temporaries beside the files while it runs.
std::string g_build;

struct FilePair {
    Bytes idx, dat;
};

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// n strings of lengths 0 to 10 in a fixed scramble, each of one repeated letter.
std::vector<Bytes> Numbered(int n) {
    std::vector<Bytes> strings;
    for (int i = 0; i < n; i++) strings.emplace_back(size_t(i * 5 % 11), UByte('a' + i));
    return strings;
}

FilePair Commit(const std::vector<Bytes>& strings, Boolean swap = FALSE) {
    AttrDict* a = AttrDictBuild(g_build.c_str(), "a", swap);
    if (a == nullptr) Die("cannot start a dictionary in " + g_build);
    for (const Bytes& s : strings) AttrDictAdd(a, s.data(), UByte(s.size()));
    if (!AttrDictCommit(a)) Die("cannot commit a dictionary in " + g_build);
    const std::string idx = g_build + "/a.idx", dat = g_build + "/a.dat";
    FilePair pair{ReadBytes(idx), ReadBytes(dat)};
    std::remove(idx.c_str());
    std::remove(dat.c_str());
    return pair;
}

// The target's input: flags, the index length in two bytes, the index, the data.
void SavePair(const std::string& name, const FilePair& pair, UByte flags = 0) {
    if (pair.idx.size() > 0xffff) Die(name + ": the index is too long for a seed");
    Bytes seed = {flags, UByte(pair.idx.size()), UByte(pair.idx.size() >> 8)};
    Append(seed, pair.idx);
    Append(seed, pair.dat);
    WriteBytes(g_root + "/attrdict/" + name, seed);
}

void AttrDictCorpus() {
    MakeDir(g_root + "/attrdict");
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zk-corpus-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Die("cannot create a directory like " + pattern);
    g_build = pattern;
    // Target flags: 0x80 leaves the data file missing; the low four bits stop a second walk early.
    constexpr UByte kMissingData = 0x80;

    const FilePair empty = Commit({});
    SavePair("empty.pair", empty);
    SavePair("empty_missing_data.pair", empty, kMissingData);
    SavePair("empty_junk_data.pair", {empty.idx, Text("junk")});
    // A count of 0 reads the same in both byte orders: accepted.
    SavePair("swapped_empty.pair", Commit({}, TRUE));
    const FilePair one = Commit({Text("x")});
    SavePair("one.pair", one);
    SavePair("three.pair", Commit({Text("ab"), Text(""), Text("xyz")}), 1);
    const FilePair five = Commit(Numbered(5));
    SavePair("five.pair", five, 2);
    std::vector<Bytes> nineStrings;
    for (int i = 0; i < 9; i++) {
        if (i % 3 == 0) nineStrings.emplace_back();
        else if (i % 3 == 1) nineStrings.emplace_back(255, UByte(0x80 + i));
        else nineStrings.push_back(Text(("mid" + std::to_string(i)).c_str()));
    }
    const FilePair nine = Commit(nineStrings);
    SavePair("nine_long.pair", nine, 3);
    std::vector<Bytes> bytes;
    for (int b = 0; b < 256; b++) bytes.emplace_back(1, UByte(b));
    SavePair("all_bytes.pair", Commit(bytes));
    // For a reader of the other byte order: the count reads as 5 << 24 here, and the pair is refused.
    SavePair("swapped.pair", Commit(Numbered(5), TRUE));

    // Accepted, though string 3 runs past the end: Get gives nothing for it, and walks stop there.
    FilePair inner = five;
    size_t third = 0;
    for (int i = 0; i < 3; i++) third += 1 + size_t(five.dat[third]);
    inner.dat[third] = 255;
    SavePair("inner_overrun.pair", inner);
    // Accepted: the second group starts over at string 0's bytes, so string 4 reads as string 0,
    // and a walk must take each group's start from the index rather than run on from string 3.
    FilePair again = five;
    PutLe32(again.idx, 4, 0);
    SavePair("repeated_offset.pair", again);

    // Refused.
    FilePair cut = nine;
    cut.dat.resize(cut.dat.size() - 3);
    SavePair("corrupt_truncated_data.pair", cut);
    SavePair("corrupt_truncated_index.pair", {Bytes(nine.idx.begin(), nine.idx.end() - 4), nine.dat});
    SavePair("corrupt_index_size.pair", {Bytes(nine.idx.begin(), nine.idx.end() - 2), nine.dat});
    SavePair("corrupt_empty_data.pair", {one.idx, {}});
    SavePair("corrupt_empty_index.pair", {{}, one.dat});
    FilePair count = five;
    PutLe32(count.idx, count.idx.size() - 4, 6);  // as many words, one string more than the data holds
    SavePair("corrupt_count.pair", count);
    FilePair first = five;
    PutLe32(first.idx, 0, 1);
    SavePair("corrupt_first_offset.pair", first);
    FilePair past = five;
    PutLe32(past.idx, 4, UInt(five.dat.size()));
    SavePair("corrupt_offset_past_end.pair", past);
    FilePair decreasing = nine;
    PutLe32(decreasing.idx, 4, GetLe32(nine.idx, 8));
    PutLe32(decreasing.idx, 8, GetLe32(nine.idx, 4));
    SavePair("corrupt_decreasing.pair", decreasing);
    // The last group is string 8 alone ("mid8"): one byte longer than the data holds.
    FilePair overrun = nine;
    overrun.dat[GetLe32(nine.idx, 8)]++;
    SavePair("corrupt_last_group.pair", overrun);

    rmdir(g_build.c_str());
}

// ---- static dictionary images --------------------------------------------------------------------

std::string DictPath(const std::string& name) { return g_root + "/hashdict/" + name; }

// What a channel writer produces, through a scratch file.
template <class Write>
Bytes ChannelBytes(Write&& write) {
    const std::string path = DictPath("channel.tmp");
    Channel* ch = ChannelNew(-1, -1);
    if (!ChannelOpenFile(ch, path.c_str(), "w") || !write(ch) || !ChannelClose(ch)) Die("cannot write " + path);
    Bytes bytes = ReadBytes(path);
    unlink(path.c_str());
    return bytes;
}

// Header offsets (see dict/hashdict.h).
constexpr size_t kNbitsAt = 10, kRankSizeAt = 16, kDictHeaderSize = 48;

void HashDictCorpus() {
    MakeDir(g_root + "/hashdict");
    size_t written = 0;
    Bytes memory;
    Bytes firstImage;
    for (const zkfuzz::SeedDict& seed : zkfuzz::SeedDicts()) {
        HashDict* d = zkfuzz::BuildSeed(seed);
        const Bytes image = ChannelBytes([d](Channel* ch) { return HashDictFileWrite_(d, ch, FALSE); });
        WriteBytes(DictPath(std::string("seed_") + seed.name + ".dic"), image);
        WriteBytes(DictPath(std::string("seed_") + seed.name + ".chan"),
                   ChannelBytes([d](Channel* ch) { return HashDictFileWrite(d, ch, FALSE); }));
        Append(memory, ChannelBytes([&](Channel* ch) { return HashDictMMWrite(d, ch, &written); }));
        if (firstImage.empty()) firstImage = image;
        HashDictFree(d);
    }
    WriteBytes(DictPath("seed_all.mem"), memory);
    // Refused: an entry width beyond 32 bits, a rank table that cannot hold 256 entries, a cut image.
    Bytes wide = firstImage;
    wide[kNbitsAt] = 33;
    WriteBytes(DictPath("seed_corrupt_nbits.dic"), wide);
    Bytes rank = firstImage;
    rank[kRankSizeAt] = 8;
    WriteBytes(DictPath("seed_corrupt_rank_size.dic"), rank);
    WriteBytes(DictPath("seed_corrupt_cut.dic"), Bytes(firstImage.begin(), firstImage.end() - 8));
    WriteBytes(DictPath("seed_corrupt_header.dic"), Bytes(firstImage.begin(), firstImage.begin() + kDictHeaderSize - 1));
}

}  // namespace

int main(int argc, char** argv) {
    return zkcorpus::Run(argc, argv, "zk_table_corpus", g_root,
                         {HashTableCorpus, HashDelTableCorpus, AttrDictCorpus, HashDictCorpus});
}
