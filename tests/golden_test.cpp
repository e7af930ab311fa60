// Frozen formats: each structure is built from a small fixed input, written by the writers and
// compared byte for byte with a file committed under tests/golden/; then the committed file is read
// back and must give exactly the answers its input holds. A writer and a reader that drift together
// still agree with each other, but not with these files, so a format change fails here and has to be
// made on purpose. tests/golden/README.md says what each file freezes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "dict/attrdict.h"
#include "dict/hashdeltable.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "tests/test_files.h"

namespace {

using zktest::Bytes;
using zktest::ReadFile;
using zktest::WriteFile;

const std::string kGoldenDir = ZK_GOLDEN_DIR;

bool HostIsLittleEndian() {
    const UShort one = 1;
    UByte first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// The order tag of the files of formats that follow the writer's host: "le" or "be", for the host's
// order, or for the other one (what the writers' swap flag gives).
std::string Order(bool swapped) { return HostIsLittleEndian() != swapped ? "le" : "be"; }

// Bytes 0..n-1 of a fixed pattern that runs through every byte value.
Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = UByte(i * 131 + 7);
    return b;
}

// The value bytes the tables store under key i.
UByte ValueByte(size_t i, size_t b) { return UByte(i * 16 + b); }

// ---- static dictionaries --------------------------------------------------------------------------

// Keys of lengths 0 to 9 over four byte values, one of them above 0x7F.
const std::vector<std::string>& DictKeys() {
    static const std::vector<std::string> keys = {
        "", "a", "b", "ab", "ba", "abc", "c\xff", "\xff\xff\xff", "abcabcab", "cbacbacba"};
    return keys;
}

struct DictCase {
    const char* name;
    UByte probe;  // check bytes per key
    UByte nbits;  // with values: their width
};
const DictCase kDictCases[] = {{"index", 0, 0}, {"check3", 3, 0}, {"values12", 0, 12}};

Id DictValue(const DictCase& c, Id i) {
    return c.nbits == 0 ? i : Id((i * 1237u + 5u) & ((1u << c.nbits) - 1));
}

HashDict* BuildDict(const DictCase& c) {
    struct Keys {
        static UShort Key(void*, Id i, const UByte** bytes) {
            *bytes = reinterpret_cast<const UByte*>(DictKeys()[i].data());
            return UShort(DictKeys()[i].size());
        }
        static Id Value(void* c, Id i) { return DictValue(*static_cast<const DictCase*>(c), i); }
    };
    return HashDictBuild(Id(DictKeys().size()), const_cast<DictCase*>(&c), Keys::Key,
                         c.nbits != 0 ? Keys::Value : nullptr, c.nbits, c.probe, FALSE);
}

std::string DictName(const DictCase& c, bool swapped) {
    return std::string("hashdict_") + c.name + "_" + Order(swapped);
}

// Each dictionary's image in both byte orders, as <name>.dic.
std::set<std::string> WriteDicts(const std::string& dir) {
    std::set<std::string> files;
    for (const DictCase& c : kDictCases) {
        HashDict* d = BuildDict(c);
        for (bool swapped : {false, true}) {
            EXPECT_TRUE(
                HashDictWrite(d, dir.c_str(), DictName(c, swapped).c_str(), "dic", swapped ? TRUE : FALSE))
                << std::strerror(errno);
            files.insert(DictName(c, swapped) + ".dic");
        }
        HashDictFree(d);
    }
    return files;
}

// ---- packed hash tables ---------------------------------------------------------------------------

// Keys of lengths 0 to 9 and one of 250, whose length takes two bytes of the length code.
const std::vector<std::string>& TableKeys() {
    static const std::vector<std::string> keys = {
        "", "a", "bc", "def", "ghijklmn", "opqrstuvw", std::string(250, 'L')};
    return keys;
}

template <class Table, class FindFn>
void FillTable(Table* t, FindFn find) {
    for (size_t i = 0; i < TableKeys().size(); i++) {
        auto* v = static_cast<UByte*>(find(t, TableKeys()[i], TRUE));
        ASSERT_NE(v, nullptr) << i;
        for (UInt b = 0; b < t->t_val_len; b++) v[b] = ValueByte(i, b);
    }
}

void* TableFind(HashTable* t, const std::string& k, Boolean create) {
    return HashTableFind(t, k.data(), UInt(k.size()), create, nullptr, nullptr);
}
void* DelTableFind(HashDelTable* t, const std::string& k, Boolean create) {
    return HashDelTableFind(t, k.data(), UInt(k.size()), create, nullptr, nullptr);
}

// An aligned table with the length code and 4-byte values; and an unaligned one with one-byte
// lengths and 3-byte values, which inserts without padding as a table loaded from such a file does.
std::set<std::string> WriteTables(const std::string& dir) {
    HashTable* aligned = HashTableNew(8, nullptr, nullptr, nullptr, 4, 0, FALSE);
    FillTable(aligned, TableFind);
    EXPECT_TRUE(HashTableWrite(aligned, (dir + "/hashtable_aligned.tbl").c_str()));
    HashTableFree(aligned);
    HashTable* unaligned = HashTableNew(8, nullptr, nullptr, nullptr, 3, 1, FALSE);
    unaligned->t_aligned = FALSE;
    FillTable(unaligned, TableFind);
    EXPECT_TRUE(HashTableWrite(unaligned, (dir + "/hashtable_unaligned.tbl").c_str()));
    HashTableFree(unaligned);
    return {"hashtable_aligned.tbl", "hashtable_unaligned.tbl"};
}

// Keys 1 and 3 of the table with deletion are removed again: two tombstones and their dead entries.
const size_t kRemovedKeys[] = {1, 3};

bool Removed(size_t i) { return std::count(std::begin(kRemovedKeys), std::end(kRemovedKeys), i) != 0; }

std::set<std::string> WriteDelTable(const std::string& dir) {
    HashDelTable* t = HashDelTableNew(8, nullptr, nullptr, nullptr, 4, 0);
    FillTable(t, DelTableFind);
    for (size_t i : kRemovedKeys)
        EXPECT_TRUE(HashDelTableRemove(t, TableKeys()[i].data(), UInt(TableKeys()[i].size()), nullptr));
    UByteArray form;
    ArrayInit_(&form);
    HashDelTableMemWrite(t, &form);
    WriteFile(dir + "/hashdeltable_tombstones.bin", Bytes(form.data, form.data + form.length));
    ArrayFree_(&form);
    HashDelTableFree(t);
    return {"hashdeltable_tombstones.bin"};
}

// ---- attribute dictionaries -----------------------------------------------------------------------

// Seven strings, so that the index has a second, shorter group: the empty string, bytes 00 and FF,
// and one of the greatest length, 255 bytes.
const std::vector<std::string>& AttrStrings() {
    static const std::vector<std::string> strings = {
        "ab", "", "xyz", std::string("\x00\xff", 2), std::string(255, 'L'), "last", "q"};
    return strings;
}

std::string AttrName(bool swapped) { return "attrdict_" + Order(swapped); }

// The pair in both byte orders of its index, as <name>.idx and <name>.dat.
std::set<std::string> WriteAttrDicts(const std::string& dir) {
    std::set<std::string> files;
    for (bool swapped : {false, true}) {
        AttrDict* a = AttrDictBuild(dir.c_str(), AttrName(swapped).c_str(), swapped ? TRUE : FALSE);
        EXPECT_NE(a, nullptr) << std::strerror(errno);
        if (a == nullptr) continue;
        for (const std::string& s : AttrStrings())
            AttrDictAdd(a, reinterpret_cast<const UByte*>(s.data()), UByte(s.size()));
        EXPECT_TRUE(AttrDictCommit(a)) << std::strerror(errno);
        files.insert({AttrName(swapped) + ".idx", AttrName(swapped) + ".dat"});
    }
    return files;
}

// ---- the tests ------------------------------------------------------------------------------------

class Golden : public zktest::TempDirTest {
protected:
    // Every file written is its golden file to the byte, and nothing else was left in the directory.
    void ExpectGolden(const std::set<std::string>& files) {
        EXPECT_EQ(Listing(), files);
        for (const std::string& name : files) {
            const Bytes written = ReadFile(PathOf(name)), golden = ReadFile(kGoldenDir + "/" + name);
            ASSERT_FALSE(golden.empty()) << "no golden file " << name;
            const auto diff = std::mismatch(written.begin(), written.end(), golden.begin(), golden.end());
            EXPECT_TRUE(written == golden)
                << name << ": " << written.size() << " bytes written, " << golden.size()
                << " golden, first difference at byte " << (diff.first - written.begin());
        }
    }
};

void ExpectDictAnswers(const HashDict* d, const DictCase& c) {
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(HashDictSize(d), Id(DictKeys().size()));
    EXPECT_EQ(HashDictMaxLength(d), 9);
    for (Id i = 0; i < DictKeys().size(); i++) {
        const std::string& k = DictKeys()[i];
        EXPECT_EQ(HashDictFind(d, k.data(), int(k.size())), DictValue(c, i)) << c.name << " key " << i;
    }
    // A byte no key holds, and a key longer than every key, miss whatever the dictionary; the check
    // bytes also turn away keys made of the keys' own bytes.
    std::vector<std::string> absent = {"z", "abcz", "abcabcabca"};
    if (c.probe != 0) absent.insert(absent.end(), {"aa", "cc", "bca", "abcabcaa", "\xff"});
    for (const std::string& k : absent) {
        EXPECT_EQ(HashDictFind(d, k.data(), int(k.size())), HASHDICT_NOT_FOUND) << c.name << " " << k;
    }
}

TEST_F(Golden, HashDictImagesInBothByteOrders) {
    ExpectGolden(WriteDicts(dir_));
    for (const DictCase& c : kDictCases) {
        SCOPED_TRACE(c.name);
        HashDict* opened = HashDictOpen(kGoldenDir.c_str(), DictName(c, false).c_str(), "dic");
        ExpectDictAnswers(opened, c);
        if (opened != nullptr) HashDictClose(opened);

        // The same image on a channel, after its 4-byte length, and in a memory image after its
        // 8-byte one.
        const Bytes image = ReadFile(kGoldenDir + "/" + DictName(c, false) + ".dic");
        const UInt length = UInt(image.size());
        Bytes stream(4);
        std::memcpy(stream.data(), &length, 4);
        stream.insert(stream.end(), image.begin(), image.end());
        WriteFile(PathOf("stream"), stream);
        Channel* ch = ChannelNew(-1, -1);
        ASSERT_TRUE(ChannelOpenFile(ch, PathOf("stream").c_str(), "r"));
        HashDict* read = nullptr;
        EXPECT_TRUE(HashDictFileRead(&read, ch));
        ChannelClose(ch);
        ExpectDictAnswers(read, c);
        if (read != nullptr) HashDictMemClose(read);

        std::vector<ULong> words(1 + (image.size() + 7) / 8);
        const ULong length8 = image.size();
        std::memcpy(words.data(), &length8, 8);
        std::memcpy(words.data() + 1, image.data(), image.size());
        const auto* base = reinterpret_cast<const UByte*>(words.data());
        const UByte* cursor = base;
        HashDict* mapped = nullptr;
        EXPECT_TRUE(HashDictMMRead(&mapped, base, &cursor, base + 8 + image.size()));
        EXPECT_EQ(cursor, base + 8 + image.size());
        ExpectDictAnswers(mapped, c);
        if (mapped != nullptr) HashDictMMFree(mapped);

        // The image for a host of the other byte order: its sizes read byte-reversed here, so it is
        // refused rather than trusted.
        errno = 0;
        EXPECT_EQ(HashDictOpen(kGoldenDir.c_str(), DictName(c, true).c_str(), "dic"), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

void ExpectTableEntries(HashTable* t, UInt valLen) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(HashTableSize(t), UInt(TableKeys().size()));
    EXPECT_EQ(HashTableCapacity(t), 8u);
    EXPECT_EQ(HashTableValueSize(t), valLen);
    EXPECT_FALSE(HashTableFrozen(t));
    for (size_t i = 0; i < TableKeys().size(); i++) {
        const auto* v = static_cast<const UByte*>(TableFind(t, TableKeys()[i], FALSE));
        ASSERT_NE(v, nullptr) << "key " << i;
        for (UInt b = 0; b < valLen; b++) EXPECT_EQ(v[b], ValueByte(i, b)) << "key " << i << " byte " << b;
    }
    for (const std::string& k :
         {std::string("b"), std::string("de"), std::string(249, 'L'), std::string(251, 'L')}) {
        EXPECT_EQ(TableFind(t, k, FALSE), nullptr) << k;
    }
}

TEST_F(Golden, HashTableFilesAlignedAndUnaligned) {
    ExpectGolden(WriteTables(dir_));
    const struct {
        const char* name;
        UInt valLen;
        UByte keySize;
        Boolean aligned;
    } files[] = {{"hashtable_aligned.tbl", 4, 0, TRUE}, {"hashtable_unaligned.tbl", 3, 1, FALSE}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        HashTable* t = HashTableRead((kGoldenDir + "/" + f.name).c_str(), nullptr, nullptr, nullptr, FALSE);
        ExpectTableEntries(t, f.valLen);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->t_aligned, f.aligned);
        EXPECT_EQ(HashTableKeySize(t), f.keySize);
        HashTableFree(t);
    }
}

TEST_F(Golden, HashDelTableFormWithTombstones) {
    ExpectGolden(WriteDelTable(dir_));
    Bytes form = ReadFile(kGoldenDir + "/hashdeltable_tombstones.bin");
    HashDelTable* t = HashDelTableNew(5, nullptr, nullptr, nullptr, 0, 0);
    UByte* cursor = form.data();
    ASSERT_TRUE(HashDelTableMemRead(t, &cursor, form.data() + form.size()));
    EXPECT_EQ(cursor, form.data() + form.size());
    EXPECT_EQ(HashDelTableSize(t), UInt(TableKeys().size() - std::size(kRemovedKeys)));
    EXPECT_EQ(HashDelTableRemoved(t), UInt(std::size(kRemovedKeys)));
    EXPECT_EQ(HashDelTableCapacity(t), 8u);
    EXPECT_EQ(HashDelTableValueSize(t), 4u);
    EXPECT_EQ(HashDelTableKeySize(t), 0);
    EXPECT_FALSE(HashDelTableFrozen(t));
    for (size_t i = 0; i < TableKeys().size(); i++) {
        const auto* v = static_cast<const UByte*>(DelTableFind(t, TableKeys()[i], FALSE));
        if (Removed(i)) {
            EXPECT_EQ(v, nullptr) << "key " << i;
            continue;
        }
        ASSERT_NE(v, nullptr) << "key " << i;
        for (UInt b = 0; b < 4; b++) EXPECT_EQ(v[b], ValueByte(i, b)) << "key " << i << " byte " << b;
    }
    EXPECT_EQ(DelTableFind(t, "de", FALSE), nullptr);
    HashDelTableFree(t);
}

UInt Collect(UByte* bytes, UInt len, void* strings) {
    static_cast<std::vector<std::string>*>(strings)->emplace_back(reinterpret_cast<const char*>(bytes), len);
    return 0;
}

TEST_F(Golden, AttrDictPairInBothByteOrders) {
    ExpectGolden(WriteAttrDicts(dir_));
    AttrDict* a = AttrDictOpen(kGoldenDir.c_str(), AttrName(false).c_str());
    ASSERT_NE(a, nullptr) << std::strerror(errno);
    EXPECT_EQ(AttrDictSize(a), UInt(AttrStrings().size()));
    for (Id i = 0; i < AttrStrings().size(); i++) {
        const UByte* bytes = nullptr;
        const UByte len = AttrDictGet(a, i, &bytes);
        ASSERT_NE(bytes, nullptr) << i;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), len), AttrStrings()[i]) << i;
    }
    const UByte* untouched = nullptr;
    EXPECT_EQ(AttrDictGet(a, Id(AttrStrings().size()), &untouched), 0);
    EXPECT_EQ(untouched, nullptr);
    // A walk from the second group's first string.
    std::vector<std::string> walked;
    AttrDictEnumerate(a, 4, Collect, &walked);
    EXPECT_EQ(walked, std::vector<std::string>(AttrStrings().begin() + 4, AttrStrings().end()));
    EXPECT_TRUE(AttrDictClose(a));

    // The index for a host of the other byte order counts 7 << 24 strings here: refused.
    errno = 0;
    EXPECT_EQ(AttrDictOpen(kGoldenDir.c_str(), AttrName(true).c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// The default key hash, which places every key of a table file: a table saved under one hash and
// read under another finds nothing. Lengths around the 8-byte steps of the word-wise sum.
TEST(GoldenHash, HashBytesVectors) {
    const struct {
        UInt len;
        UInt hash;
    } cases[] = {
        {0, 0u},          {1, 7u},           {3, 894110u},       {7, 3045598704u},  {8, 374893196u},
        {9, 3787285163u}, {15, 1086277924u}, {16, 1990055384u},  {17, 3764995599u}, {31, 115347916u},
        {32, 18853552u},  {33, 1757187863u}, {1000, 706000860u},
    };
    const Bytes bytes = Pattern(1000);
    for (const auto& c : cases) EXPECT_EQ(HashBytes(bytes.data(), c.len), c.hash) << "length " << c.len;
}

}  // namespace
