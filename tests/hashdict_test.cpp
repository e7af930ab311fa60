// HashDict: packed arrays, hashing, the peel, construction, images and their carriers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "dict/atomic_file.h"
#include "dict/bitarray.h"
#include "dict/hashdict.h"
#include "dict/hashdict_internal.h"
#include "tests/test_files.h"
#include "tests/test_seed.h"

namespace {

using Bytes = std::vector<UByte>;
using Triple = std::array<Id, 3>;

UInt Seed() { return zktest::Seed(); }

// Assertion and message texts as death-test regexes.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) out += std::strchr("\\^$.|?*+()[]{}", c) ? std::string{'\\', c} : std::string{c};
    return out;
}

struct KeyList {
    std::vector<std::string> keys;
    std::vector<Id> values;

    static UShort Key(void* dict, Id idx, const UByte** bytes) {
        const std::string& k = static_cast<KeyList*>(dict)->keys[idx];
        *bytes = reinterpret_cast<const UByte*>(k.data());
        return UShort(k.size());
    }
    static Id Value(void* dict, Id idx) { return static_cast<KeyList*>(dict)->values[idx]; }
    HashDict* Build(UByte probe = 0, bool verbose = false) {
        return HashDictBuild(Id(keys.size()), this, Key, nullptr, 0, probe, verbose);
    }
    HashDict* BuildValues(UByte nbits) { return HashDictBuild(Id(keys.size()), this, Key, Value, nbits, 0, FALSE); }
};

Id Find(const HashDict* d, const std::string& key) { return HashDictFind(d, key.data(), int(key.size())); }

// n distinct printable keys of 8 to 24 bytes: a bijective scramble of the index in five base-94
// digits keeps them distinct, a random tail sets the length.
std::vector<std::string> GeneratedKeys(size_t n, UInt seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> keys(n);
    for (size_t i = 0; i < n; ++i) {
        UInt x = UInt(i) * 2654435761u;
        for (int d = 0; d < 5; ++d, x /= 94) keys[i] += char(0x21 + x % 94);
        for (size_t len = 8 + rng() % 17; keys[i].size() < len;) keys[i] += char(0x21 + rng() % 94);
    }
    return keys;
}

// Bytes copied to an address that is 8-byte aligned plus offset.
struct Aligned {
    std::vector<ULong> words;
    UByte* data;
    explicit Aligned(const Bytes& bytes, size_t offset = 0) : words(bytes.size() / 8 + 2) {
        data = reinterpret_cast<UByte*>(words.data()) + offset;
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    }
};

using zktest::ReadFile;
using zktest::WriteFile;

class HashDictFiles : public zktest::TempDirTest {
protected:
    // What a channel writer produces, read back through a file.
    template <class Write>
    Bytes Written(Write&& write) {
        const std::string path = PathOf("channel.bin");
        Channel* ch = ChannelNew(-1, -1);
        EXPECT_TRUE(ChannelOpenFile(ch, path.c_str(), "w"));
        EXPECT_TRUE(write(ch));
        EXPECT_TRUE(ChannelClose(ch));
        const Bytes bytes = ReadFile(path);
        unlink(path.c_str());
        return bytes;
    }
    Bytes Image(const HashDict* d, bool swap = false) {
        return Written([&](Channel* ch) { return HashDictFileWrite_(d, ch, swap); });
    }
};

// An image with every element byte-reversed per its unit, by the layout that the host-order image
// `layout` states (by default its own).
Bytes Reversed(const Bytes& image, const Bytes& layout = {}) {
    zk::ImageHeader h;
    std::memcpy(&h, layout.empty() ? image.data() : layout.data(), sizeof h);
    Bytes out = image;
    size_t at = 0;
    auto reverse = [&](size_t unit, size_t bytes) {
        for (size_t end = at + bytes; at < end; at += unit) std::reverse(&out[at], &out[at] + unit);
    };
    for (size_t unit : {4, 4, 2, 2, 2, 2, 8, 8, 8, 8}) reverse(unit, unit);
    reverse(2, h.rank_size);
    reverse(4, h.coef_size);
    reverse(8, h.fun_size);
    return out;  // the check bytes are never reversed
}

// Captures reports as "function severity text".
struct CapturedReports : zktest::CapturedReports {
    CapturedReports() : zktest::CapturedReports("dict/hashdict") {}
};

// ---- packed arrays ---------------------------------------------------------------------------------

TEST(HashDictBits, PackedArraysAtEveryWidth) {
    for (const auto& [maxvalue, width] : std::vector<std::pair<ULong, UShort>>{
             {0, 1}, {1, 1}, {2, 2}, {255, 8}, {256, 9}, {0xFFFF, 16}, {0xFFFFFFFFull, 32}, {~0ull, 64}}) {
        EXPECT_EQ(zk::PackedWidth(maxvalue), width) << maxvalue;
    }
    UShort nbits = 0;
    size_t size = 0;
    void* block = ArrayNew(100, 1000, &nbits, &size);
    EXPECT_EQ(nbits, 10);
    EXPECT_EQ(size, 128u);  // 1000 bits in whole words
    AnonArrayFree_(block, __FILE__, __LINE__);
    EXPECT_EQ(ArrayNew(0, 5, nullptr, &size), nullptr);
    EXPECT_EQ(size, 0u);

    // Width 20: value 3 is string bits 60 to 79, and writing it leaves every other bit alone.
    ULong words[3] = {~0ull, ~0ull, 0x0123456789ABCDEFull};
    zk::PackedArray(words, 20).Set(3, 0xABCDE);
    EXPECT_EQ(words[0], 0xEFFFFFFFFFFFFFFFull);
    EXPECT_EQ(words[1], 0xFFFFFFFFFFFFABCDull);
    EXPECT_EQ(zk::PackedArray(words, 20).Get(3), 0xABCDEu);

    // Every width against a plain array, with a guard word after the block that nothing may touch.
    std::mt19937_64 rng(Seed());
    for (UShort width = 1; width <= 64; ++width) {
        const ULong n = 1 + rng() % 300, mask = width == 64 ? ~0ull : (1ull << width) - 1;
        const size_t used = (n * width + 63) / 64;
        std::vector<ULong> block(used + 1, 0), model(n, 0);
        block[used] = 0x5A5A5A5A5A5A5A5Aull;
        const zk::PackedArray a(block.data(), width);
        for (int step = 0; step < 2000; ++step) {
            const ULong i = rng() % n, v = rng() & mask, j = rng() % n;
            a.Set(i, v);
            model[i] = v;
            ASSERT_EQ(a.Get(j), model[j]) << "width " << width;
        }
        for (ULong i = 0; i < n; ++i) ASSERT_EQ(a.Get(i), model[i]) << "width " << width;
        ASSERT_EQ(block[used], 0x5A5A5A5A5A5A5A5Aull) << "width " << width << " wrote past its block";
    }
}

// ---- hashing and check bytes on hand-made records ----------------------------------------------------

struct HandMade {
    HashDict d{};
    std::array<Short, 256> rank{};
    std::vector<Id> coef;
    HandMade(Id size, UShort maxlen, const std::string& alphabet) {
        rank.fill(-1);
        for (size_t r = 0; r < alphabet.size(); ++r) rank[UByte(alphabet[r])] = Short(r);
        coef.assign(3 * alphabet.size() * maxlen, 0);
        d.h_size = size;
        d.h_maxlen = maxlen;
        d.h_nchars = UShort(alphabet.size());
        d.h_rank = rank.data();
        d.h_coef = coef.data();
    }
    // The coefficient triple of a byte at a position.
    Id* At(size_t position, char c) { return &coef[3 * (position * d.h_nchars + size_t(rank[UByte(c)]))]; }
    Triple Vertices(const std::string& key, int len) {
        Triple v{0, 0, 0};
        EXPECT_TRUE(zk::Hash(&d, &v[0], &v[1], &v[2], reinterpret_cast<const UByte*>(key.data()), len)) << key;
        return v;
    }
    Triple Vertices(const std::string& key) { return Vertices(key, int(key.size())); }
};

TEST(HashDictHashing, WorkedVertexExamples) {
    HandMade h(8, 2, "abc");
    const std::pair<Id*, Triple> triples[] = {
        {h.At(0, 'a'), {5, 6, 5}}, {h.At(0, 'b'), {0, 2, 3}}, {h.At(0, 'c'), {7, 6, 7}}, {h.At(1, 'c'), {7, 6, 7}}};
    for (const auto& [at, t] : triples) std::copy(t.begin(), t.end(), at);
    EXPECT_EQ(h.Vertices("a"), (Triple{6, 5, 4}));
    EXPECT_EQ(h.Vertices("b"), (Triple{1, 4, 6}));
    EXPECT_EQ(h.Vertices("cc"), (Triple{7, 5, 2}));
    EXPECT_EQ(h.Vertices(""), (Triple{1, 2, 3}));
    EXPECT_EQ(h.Vertices("a", -5), (Triple{1, 2, 3}));
    Id v[3] = {0, 0, 0};
    EXPECT_FALSE(zk::Hash(&h.d, &v[0], &v[1], &v[2], reinterpret_cast<const UByte*>("aaa"), 3));
    EXPECT_FALSE(zk::Hash(&h.d, &v[0], &v[1], &v[2], reinterpret_cast<const UByte*>("az"), 2));
    EXPECT_EQ(v[0] | v[1] | v[2], 0u) << "a refused key leaves the outputs alone";

    HashDict bare{};  // every table NULL: a too-long key must be refused before any is read
    bare.h_size = 8;
    bare.h_maxlen = 3;
    EXPECT_EQ(HashDictFind(&bare, "four", 4), HASHDICT_NOT_FOUND);
}

// The hash against plain remainders, on random sizes (up to 2^32 - 1), coefficients and keys.
TEST(HashDictHashing, AgreesWithPlainRemaindersAndGivesDistinctVertices) {
    std::mt19937_64 rng(Seed());
    for (int round = 0; round < 200; ++round) {
        const ULong size = round < 100 ? 5 + rng() % 50 : 0xFFFFFFFFull - rng() % 0x7FFFFFFF;
        HandMade h(Id(size), 12, "xyz01");
        for (Id& c : h.coef) c = Id(rng() % size);
        for (int k = 0; k < 50; ++k) {
            std::string key(rng() % 13, 'x');
            for (char& c : key) c = "xyz01"[rng() % 5];
            ULong c0 = 0, c1 = 0, c2 = 0;
            for (size_t p = 0; p < key.size(); ++p) {
                const Id* t = h.At(p, key[p]);
                c0 = (c0 + t[0]) % size, c1 = (c1 + t[1]) % (size - 1), c2 = (c2 + t[2]) % (size - 2);
            }
            const ULong d1 = c1 + 1, d2 = c2 + 1 + (c2 >= c1);
            const Triple got = h.Vertices(key);
            ASSERT_EQ(got, (Triple{Id(c0 + 1), Id((c0 + d1) % size + 1), Id((c0 + d2) % size + 1)})) << size;
            ASSERT_TRUE(got[0] != got[1] && got[1] != got[2] && got[0] != got[2]);
        }
    }
}

// The code of "abc" is 6432038 = 0x622526; a 40-byte key's code needs all 64 bits of 8 check bytes.
TEST(HashDictHashing, CheckBytesLeastSignificantFirst) {
    const std::string longKey(40, 'z');
    ULong longCode = 0;
    for (unsigned char c : longKey) longCode = longCode * 257 + c;
    for (UShort probe : {2, 3, 8}) {
        std::vector<UByte> codes(3 * probe, 0xEE);
        HashDict d{};
        d.h_probe = probe;
        d.h_probe_code = codes.data();
        d.h_probe_mask = probe == 8 ? ~0ull : (1ull << (8 * probe)) - 1;
        const auto* abc = reinterpret_cast<const UByte*>("abc");
        EXPECT_EQ(zk::Probe(&d, TRUE, 1, abc, 3), 1u);
        const Bytes expected = {0xEE, 0x26, 0x25, 0x62, 0, 0, 0, 0, 0};
        EXPECT_EQ(Bytes(&codes[probe - 1], &codes[2 * probe]), Bytes(&expected[0], &expected[probe + 1]));
        EXPECT_EQ(zk::Probe(&d, FALSE, 1, abc, 3), 1u);
        EXPECT_EQ(zk::Probe(&d, FALSE, 1, reinterpret_cast<const UByte*>("abd"), 3), HASHDICT_NOT_FOUND);
        zk::Probe(&d, TRUE, 0, reinterpret_cast<const UByte*>(longKey.data()), 40);
        EXPECT_EQ(std::memcmp(codes.data(), &longCode, probe), 0) << probe;
    }
    // Every length, whole words and tails alike, with high bytes that would show a sign or carry slip.
    std::mt19937 rng(7);
    for (int len = 0; len <= 41; ++len) {
        std::vector<UByte> key(len);
        for (UByte& b : key) b = UByte(rng() | 0x80);
        ULong code = 0;
        for (UByte b : key) code = code * 257 + b;
        EXPECT_EQ(zk::CheckCode(key.data(), len), code) << len;
    }
}

// ---- the peel --------------------------------------------------------------------------------------

// A record with a function table, and a graph over edges given by hand, for the graph functions.
struct HandGraph {
    HashDict d{};
    zk::Graph* g;
    HandGraph(Id size, const std::vector<Triple>& edges) {
        d.h_nentries = Id(edges.size());
        d.h_size = size;
        d.h_fun = ArrayNew_(ULong{size} + 1, edges.size(), &d.h_nbits, &d.h_fun_size, __FILE__, __LINE__);
        g = zk::GraphNew(&d);
        for (Id e = 1; e <= edges.size(); ++e) {
            for (unsigned k = 0; k < 3; ++k) zk::NodeSet(g, e, k, edges[e - 1][k]);
        }
    }
    ~HandGraph() {
        zk::GraphDelete(g);
        AnonArrayFree_(d.h_fun, __FILE__, __LINE__);
    }
    std::vector<Id> PeelOrder() const {
        std::vector<Id> order;
        for (Id i = 0; i < g->g_edge_top; ++i) order.push_back(zk::EdgeGet(g, i));
        return order;
    }
};

TEST(HashDictGraph, WorkedExamplePeelsDepthFirstAndAssignsInReverse) {
    HandGraph h(8, {{1, 2, 3}, {2, 4, 5}, {3, 6, 7}});
    ASSERT_TRUE(zk::GraphAcyclic(h.g, &h.d));
    EXPECT_EQ(h.PeelOrder(), (std::vector<Id>{1, 2, 3}));
    // Edge 2, left alone at vertex 2, was pushed above the frame resuming edge 1 at its vertex 2;
    // popped frames stay in the block.
    EXPECT_EQ(h.g->g_state[1].s_edge, 2u);
    EXPECT_EQ(h.g->g_state[1].s_vertex, 2u);
    zk::GraphAssign(h.g, &h.d, nullptr, nullptr);
    const ULong entries[] = {0, 0, 0, 0, 0, 1, 0, 2};  // vertices 1 to 7, from index 1
    for (Id v = 1; v <= 7; ++v) EXPECT_EQ(zk::FunGet(&h.d, v), entries[v]) << "vertex " << v;
}

// The peel over linked incidence lists of half-edges (edge e's slot at its vertex k numbered
// e + k x (n + 1)), step by step: the model whose order the per-vertex records must reproduce, since
// the order decides every entry of the function table.
std::vector<Id> ListPeel(Id size, const std::vector<Triple>& edges) {
    const Id n = Id(edges.size()), offset = n + 1;
    std::vector<Id> first(size + 1, 0), next(3 * size_t{n} + 3, 0), order;
    std::vector<bool> removed(n + 1, false);
    for (Id e = 1; e <= n; ++e) {
        for (Id k = 0; k < 3; ++k) next[e + k * offset] = std::exchange(first[edges[e - 1][k]], e + k * offset);
    }
    removed[0] = true;
    auto singleton = [&](Id v) { return first[v] != 0 && next[first[v]] == 0 ? first[v] % offset : 0; };
    auto unlink = [&](Id w, Id e) {
        Id* link = &first[w];
        while (*link % offset != e) link = &next[*link];
        *link = next[*link];
    };
    for (Id start = 1; start <= size; ++start) {
        if (removed[singleton(start)]) continue;
        std::vector<Triple> stack{{start, singleton(start), 0}};  // vertex, edge, step
        while (!stack.empty()) {
            auto [v, e, k] = stack.back();
            stack.pop_back();
            if (k == 0) {
                removed[e] = true;
                order.push_back(e);
                for (Id w : edges[e - 1]) if (w != v) unlink(w, e);
            }
            for (; k < 3; ++k) {
                const Id w = edges[e - 1][k], f = w == v ? 0 : singleton(w);
                if (removed[f]) continue;
                if (k < 2) stack.push_back({v, e, k + 1});
                stack.push_back({w, f, 0});
                break;
            }
        }
    }
    return order;
}

// Random graphs on both sides of the peeling threshold, tiny dense ones, and a chain in which each
// removal frees the next edge, 20000 frames deep on the explicit stack.
TEST(HashDictGraph, PeelMatchesTheListModelAndAssignmentSolvesEveryEdge) {
    std::mt19937_64 rng(Seed());
    int complete = 0, stuck = 0;
    for (int round = 0; round <= 300; ++round) {
        std::vector<Triple> edges;
        Id size;
        if (round == 300) {
            const Id n = 20000;
            size = 2 * n + 2;
            for (Id e = 1; e <= n; ++e) edges.push_back({e, e + 1, n + 1 + e});
        } else {
            const Id n = round < 100 ? Id(1 + rng() % 12) : Id(50 + rng() % 3000);
            size = std::max<Id>(5, Id(n * (1.05 + 0.3 * double(rng() % 1000) / 1000)));
            edges.resize(n);
            for (auto& t : edges) {
                do {
                    for (Id& v : t) v = Id(1 + rng() % size);
                } while (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]);
            }
        }
        HandGraph h(size, edges);
        const bool acyclic = zk::GraphAcyclic(h.g, &h.d);
        ASSERT_EQ(h.PeelOrder(), ListPeel(size, edges)) << "round " << round;
        ASSERT_EQ(acyclic, h.g->g_edge_top == edges.size());
        (acyclic ? complete : stuck)++;
        if (!acyclic) continue;
        zk::GraphAssign(h.g, &h.d, nullptr, nullptr);
        for (Id e = 1; e <= edges.size(); ++e) {
            const Triple& v = edges[e - 1];
            ASSERT_EQ(zk::FunGet(&h.d, v[0]) ^ zk::FunGet(&h.d, v[1]) ^ zk::FunGet(&h.d, v[2]), e - 1);
        }
        EXPECT_GE(h.g->g_state_allocated, round == 300 ? 20000u : 1024u) << "the frame stack must grow";
    }
    EXPECT_GT(complete, 20);
    EXPECT_GT(stuck, 20);
}

// ---- construction ----------------------------------------------------------------------------------

TEST(HashDictBuildTest, EmptyListAndSingleEmptyKey) {
    auto unused = [](void*, Id, const UByte**) -> UShort { return ADD_FAILURE() << "no key is needed", 0; };
    HashDict* d = HashDictBuild(0, nullptr, unused, nullptr, 0, 0, FALSE);
    EXPECT_EQ(std::make_tuple(HashDictSize(d), HashDictMaxLength(d), d->h_size, d->h_nchars, d->h_coef_size,
                              d->h_nbits, d->h_fun_size),
              std::make_tuple(0u, 0, 5u, 0, 0u, 1, 8u));
    EXPECT_EQ(Find(d, "x"), HASHDICT_NOT_FOUND);
    HashDictFree(d);
    KeyList one{{""}, {}};
    d = one.Build();
    EXPECT_EQ(std::make_tuple(d->h_size, d->h_coef_size, Find(d, ""), Find(d, "a")),
              std::make_tuple(6u, 0u, 0u, HASHDICT_NOT_FOUND));
    HashDictFree(d);
}

TEST(HashDictBuildTest, EveryWordFoundWithItsIndex) {
    KeyList words;
    std::ifstream in("/usr/share/dict/words");
    std::unordered_set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        if (seen.insert(line).second) words.keys.push_back(line);
    }
    if (words.keys.size() < 1000) GTEST_SKIP() << "no word list in /usr/share/dict/words";
    HashDict* d = words.Build();
    for (size_t i = 0; i < words.keys.size(); ++i) ASSERT_EQ(Find(d, words.keys[i]), i) << words.keys[i];
    EXPECT_EQ(Find(d, std::string(HashDictMaxLength(d) + 1u, 'a')), HASHDICT_NOT_FOUND);
    EXPECT_EQ(Find(d, "word\x01"), HASHDICT_NOT_FOUND);
    HashDictFree(d);
}

// Foreign keys that pass the hash (same alphabet and lengths) against 1 to 8 check bytes.
TEST(HashDictBuildTest, CheckBytesRejectForeignKeys) {
    std::mt19937 rng(Seed());
    std::set<std::string> unique;
    while (unique.size() < 12000) {
        std::string k(4 + rng() % 5, 'a');
        for (char& c : k) c = char('a' + rng() % 16);
        unique.insert(k);
    }
    std::vector<std::string> all(unique.begin(), unique.end());
    std::shuffle(all.begin(), all.end(), rng);
    KeyList list{std::vector<std::string>(all.begin(), all.begin() + 4000), {}};
    for (UByte probe = 1; probe <= 8; ++probe) {
        HashDict* d = list.Build(probe);
        for (size_t i = 0; i < list.keys.size(); ++i) ASSERT_EQ(Find(d, list.keys[i]), i);
        size_t accepted = 0;
        for (size_t i = 4000; i < all.size(); ++i) accepted += Find(d, all[i]) != HASHDICT_NOT_FOUND;
        // Nearly all 8000 land on a valid index. The check code of short keys over 16 letters is far
        // from random (its low byte is the byte sum), so one check byte lets about 40 through and two
        // about 0.65 on average rather than 0.12; three or more, none.
        const size_t low = probe == 1 ? 10 : 0, high = probe == 1 ? 100 : probe == 2 ? 8 : 1;
        EXPECT_TRUE(accepted >= low && accepted <= high) << accepted << " with probe " << int(probe);
        HashDictFree(d);
    }
}

TEST(HashDictBuildTest, ValueFunctionsOfEveryWidth) {
    std::mt19937_64 rng(Seed());
    KeyList list{GeneratedKeys(3000, Seed()), std::vector<Id>(3000)};
    for (UByte nbits = 1; nbits <= 32; ++nbits) {
        for (Id& v : list.values) v = Id(rng() & ((1ull << nbits) - 1));
        list.values[7] = Id((1ull << nbits) - 1);
        HashDict* d = list.BuildValues(nbits);
        EXPECT_EQ(d->h_nbits, nbits);
        for (size_t i = 0; i < list.keys.size(); ++i) ASSERT_EQ(Find(d, list.keys[i]), list.values[i]) << int(nbits);
        HashDictFree(d);
    }
}

// A million keys, built once: every key found, directly and through a memory image mapped from a
// file and opened in place.
TEST(HashDictBuildTest, MillionKeys) {
    KeyList list{GeneratedKeys(1000000, 0x5EED), {}};
    HashDict* d = list.Build();
    EXPECT_EQ(d->h_nbits, 20);
    EXPECT_EQ(d->h_size, 1250005u);
    for (size_t i = 0; i < list.keys.size(); ++i) ASSERT_EQ(Find(d, list.keys[i]), i);

    std::string path = ::testing::TempDir() + "hashdict_million.XXXXXX";
    Channel* ch = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFd(ch, mkstemp(path.data()), "w"));
    size_t written = 0;
    ASSERT_TRUE(HashDictMMWrite(d, ch, &written));
    ASSERT_TRUE(ChannelClose(ch));
    size_t size = 0;
    const auto* base = static_cast<const UByte*>(FileMapRead(nullptr, path.c_str(), &size, nullptr));
    unlink(path.c_str());
    ASSERT_EQ(size, written);
    HashDict* opened = nullptr;
    const UByte* cursor = base;
    ASSERT_TRUE(HashDictMMRead(&opened, base, &cursor, base + size));
    EXPECT_EQ(cursor, base + size);
    for (size_t i = 0; i < list.keys.size(); i += 7) ASSERT_EQ(Find(opened, list.keys[i]), i);
    HashDictMMFree(opened);
    FileUnmap(const_cast<UByte*>(base), size);
    HashDictFree(d);
}

// The build draws the sequence of srandom(0) and random() from a state of its own: the caller's
// sequence goes on undisturbed, and builds on two threads at once give what a build alone gives.
TEST_F(HashDictFiles, PrivateGeneratorKeepsBuildsDeterministic) {
    srandom(4242);
    const long first = random(), second = random(), third = random();
    srandom(4242);
    EXPECT_EQ(random(), first);
    KeyList small;
    for (int i = 0; i < 12; ++i) small.keys.push_back("k" + std::to_string(i));
    CapturedReports reports;
    HashDict* d = small.Build(0, true);
    EXPECT_EQ(reports.Take().size(), 2u) << "one attempt, no retry";
    EXPECT_EQ(random(), second);
    EXPECT_EQ(random(), third);
    zk::BuildRandom mine;
    srandom(0);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(mine.Next(), ULong(random())) << "draw " << i;
    srandom(0);
    for (size_t i = 0; i < 3u * d->h_nchars * d->h_maxlen; ++i) ASSERT_EQ(d->h_coef[i], Id(random() % d->h_size));
    HashDictFree(d);

    KeyList list{GeneratedKeys(60000, 77), {}};
    HashDict* alone = list.Build(2);
    const Bytes expected = Image(alone);
    HashDictFree(alone);
    HashDict* built[2] = {nullptr, nullptr};
    std::thread a([&] { built[0] = list.Build(2); }), b([&] { built[1] = list.Build(2); });
    a.join();
    b.join();
    for (HashDict* one : built) {
        EXPECT_TRUE(Image(one) == expected);
        HashDictFree(one);
    }
}

// Progress only on request; retries counted (this list's first attempts fail, the generator being
// fixed), and the table size in kB.
TEST(HashDictBuildTest, ProgressReports) {
    KeyList list{{"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"}, {}};
    CapturedReports reports;
    HashDictFree(list.Build(0, false));
    EXPECT_TRUE(reports.Take().empty());
    HashDict* d = list.Build(0, true);
    const std::vector<std::string> got = reports.Take();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.front(), "HashDictInit 2 hdict: nentries=8");
    for (size_t i = 1; i + 1 < got.size(); ++i) EXPECT_EQ(got[i], "GraphBuild 2 hdict: retry " + std::to_string(i));
    const size_t kb = (d->h_rank_size + d->h_coef_size + d->h_fun_size + d->h_probe_size) / 1024;
    EXPECT_EQ(got.back(), "GraphBuild 2 hdict: size=" + std::to_string(kb) + "kB");
    for (size_t i = 0; i < list.keys.size(); ++i) EXPECT_EQ(Find(d, list.keys[i]), i);
    HashDictFree(d);
}

// ---- builds that report their failure ---------------------------------------------------------------

struct TryResult {
    HashDict* dict;
    int err;
    HashDictBuildError error;
};

TryResult TryBuild(Id n, void* ctx, DictKeyFun key, DictValFun val, UByte nbits, UByte probe) {
    HashDictBuildError error{HASHDICT_ERROR_CANNOT_GENERATE, 7, 7};  // overwritten in every case
    errno = 0;
    HashDict* d = HashDictTryBuild(n, ctx, key, val, nbits, probe, FALSE, &error);
    return {d, errno, error};
}

// A success is HashDictBuild's dictionary, byte for byte, and says so in the error record.
TEST_F(HashDictFiles, TryBuildGivesTheImageOfTheBuild) {
    KeyList list{GeneratedKeys(60000, 91), {}};
    for (size_t i = 0; i < list.keys.size(); ++i) list.values.push_back(Id(i * 2654435761u) >> 12);
    auto same = [&](HashDict* built, TryResult tried) {
        ASSERT_NE(tried.dict, nullptr);
        EXPECT_EQ(tried.error.code, HASHDICT_ERROR_NONE);
        EXPECT_TRUE(Image(built) == Image(tried.dict));
        HashDictFree(built);
        HashDictFree(tried.dict);
    };
    same(list.Build(3), TryBuild(Id(list.keys.size()), &list, KeyList::Key, nullptr, 0, 3));
    same(list.BuildValues(20), TryBuild(Id(list.keys.size()), &list, KeyList::Key, KeyList::Value, 20, 0));
    KeyList none;
    same(none.Build(), TryBuild(0, &none, KeyList::Key, nullptr, 0, 0));
    // The error record is optional.
    HashDict* d = HashDictTryBuild(Id(list.keys.size()), &list, KeyList::Key, nullptr, 0, 0, FALSE, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Find(d, list.keys[4321]), 4321u);
    HashDictFree(d);
}

// Every way HashDictBuild would stop the process comes back as a code and an errno instead, with
// nothing reported and nothing left allocated (the sanitizer build checks the last).
TEST(HashDictTryBuildTest, FailuresComeBackWithTheirReason) {
    CapturedReports reports;
    KeyList list{GeneratedKeys(100000, 21), {}};
    list.keys[70000] = list.keys[123];
    TryResult r = TryBuild(Id(list.keys.size()), &list, KeyList::Key, nullptr, 0, 2);
    EXPECT_EQ(r.dict, nullptr);
    EXPECT_EQ(r.err, EEXIST);
    EXPECT_EQ(r.error.code, HASHDICT_ERROR_DUPLICATE);
    EXPECT_EQ(r.error.first, 123u);
    EXPECT_EQ(r.error.second, 70000u);
    // Two empty keys are equal too, and so are keys that differ from the others in length only.
    KeyList empties{{"a", "", "b", "ab", ""}, {}};
    r = TryBuild(5, &empties, KeyList::Key, nullptr, 0, 0);
    EXPECT_EQ(r.error.code, HASHDICT_ERROR_DUPLICATE);
    EXPECT_EQ(std::pair(r.error.first, r.error.second), std::pair(1u, 4u));

    KeyList small{{"ab", "cd", "ef", "gh"}, {0, 1, 2, 3}};
    auto nullKey = [](void*, Id, const UByte** bytes) -> UShort { return *bytes = nullptr, 0; };
    auto tooWide = [](void*, Id) -> Id { return 4; };
    const std::vector<TryResult> invalid = {
        TryBuild(4, &small, KeyList::Key, nullptr, 33, 0),         TryBuild(4, &small, KeyList::Key, KeyList::Value, 8, 1),
        TryBuild(4, &small, KeyList::Key, KeyList::Value, 0, 0),    TryBuild(4, &small, KeyList::Key, nullptr, 0, 9),
        TryBuild(4, &small, nullptr, nullptr, 0, 0),                TryBuild(HASHDICT_MAX_ENTRIES + 1, &small, KeyList::Key, nullptr, 0, 0),
        TryBuild(4, &small, nullKey, nullptr, 0, 0),                TryBuild(4, &small, KeyList::Key, tooWide, 2, 0),
    };
    for (size_t i = 0; i < invalid.size(); ++i) {
        EXPECT_EQ(invalid[i].dict, nullptr) << i;
        EXPECT_EQ(invalid[i].err, EINVAL) << i;
        EXPECT_EQ(invalid[i].error.code, HASHDICT_ERROR_INVALID) << i;
    }

    // A key callback whose answers change between passes: after the scan, key 1 comes back as key
    // 0 in every attempt, so no attempt peels, and as itself when the build compares the two, so
    // they are never confirmed equal. The thousandth failure gives up.
    struct Shifty {
        unsigned calls = 0;
        static UShort Key(void* ctx, Id idx, const UByte** bytes) {
            const unsigned call = static_cast<Shifty*>(ctx)->calls++;
            const bool inAttempt = call >= 2 && (call - 2) / 2 % 2 == 0;
            *bytes = reinterpret_cast<const UByte*>(idx == 0 || inAttempt ? "a" : "b");
            return 1;
        }
    } shifty;
    r = TryBuild(2, &shifty, Shifty::Key, nullptr, 0, 0);
    EXPECT_EQ(r.dict, nullptr);
    EXPECT_EQ(r.err, EAGAIN);
    EXPECT_EQ(r.error.code, HASHDICT_ERROR_CANNOT_GENERATE);
    EXPECT_EQ(shifty.calls, 2u + 1001u * 2u + 1000u * 2u)
        << "the scan, 1001 attempt passes (the last given up before its peel) and 1000 comparisons";

    // A key callback that changes to bytes no key had in the scan cannot be hashed.
    struct Changing {
        unsigned calls = 0;
        static UShort Key(void* ctx, Id, const UByte** bytes) {
            *bytes = reinterpret_cast<const UByte*>(static_cast<Changing*>(ctx)->calls++ < 2 ? "a" : "z");
            return 1;
        }
    } changing;
    r = TryBuild(2, &changing, Changing::Key, nullptr, 0, 0);
    EXPECT_EQ(r.error.code, HASHDICT_ERROR_INVALID);
    EXPECT_TRUE(reports.Take().empty());
}

// ---- images ----------------------------------------------------------------------------------------

// Three keys of at most two bytes over three byte values: the 640-byte image worked out by hand.
TEST_F(HashDictFiles, ImageLayoutByHand) {
    KeyList list{{"ab", "bc", "c"}, {}};
    HashDict* d = list.Build();
    const Bytes image = Image(d), swapped = Image(d, true);
    ASSERT_EQ(image.size(), 640u);
    EXPECT_EQ(HashDictFileSize(d), 640u);
    EXPECT_EQ(Bytes(&image[0], &image[48]), (Bytes{3, 0, 0, 0, 8, 0, 0, 0, 2, 0, 2, 0, 3, 0, 0, 0,
                                                   0, 2, 0, 0, 0, 0, 0, 0, 72, 0, 0, 0, 0, 0, 0, 0,
                                                   8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(&swapped[0], &swapped[48]), (Bytes{0, 0, 0, 3, 0, 0, 0, 8, 0, 2, 0, 2, 0, 3, 0, 0,
                                                       0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 72,
                                                       0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(swapped == Reversed(image));
    for (int b = 0; b < 256; ++b) {
        Short r;
        std::memcpy(&r, &image[48 + 2 * b], 2);
        EXPECT_EQ(r, b >= 'a' && b <= 'c' ? b - 'a' : -1) << b;
    }
    // The coefficients and the function table are frozen too: the build draws them from a generator
    // of its own, so these keys give them on every run. Vertex 3 holds 2 and vertex 6 holds 1.
    const Id coef[18] = {7, 6, 1, 3, 1, 7, 2, 4, 1, 5, 2, 3, 2, 3, 3, 6, 4, 2};
    const ULong fun = 0x1080u;
    EXPECT_EQ(std::memcmp(&image[48 + 512], coef, 72), 0);
    EXPECT_EQ(std::memcmp(&image[48 + 512 + 72], &fun, 8), 0);
    EXPECT_EQ(std::memcmp(d->h_coef, coef, 72), 0);
    EXPECT_EQ(std::memcmp(d->h_fun, &fun, 8), 0);
    HashDictFree(d);
}

// Index dictionaries without and with check bytes, and a value dictionary: what every carrier must
// bring back.
struct Samples {
    std::vector<KeyList> lists;
    std::vector<HashDict*> dicts;
    Samples() {
        lists = {{GeneratedKeys(2000, 1), {}}, {GeneratedKeys(2500, 2), {}}, {GeneratedKeys(1500, 3), {}}};
        for (size_t i = 0; i < 1500; ++i) lists[2].values.push_back(Id(i * 2654435761u));
        dicts = {lists[0].Build(), lists[1].Build(3), lists[2].BuildValues(32)};
    }
    ~Samples() {
        for (HashDict* d : dicts) HashDictFree(d);
    }
    void ExpectSame(size_t i, const HashDict* got) const {
        ASSERT_NE(got, nullptr);
        EXPECT_FALSE(got->h_created);
        EXPECT_EQ(HashDictFileSize(got), HashDictFileSize(dicts[i]));
        for (const std::string& k : lists[i].keys) ASSERT_EQ(Find(got, k), Find(dicts[i], k));
    }
};

// A finished dictionary is read-only: any number of threads may look it up at once, built or mapped
// from its file. Run under ThreadSanitizer, a lookup that wrote anything shared shows up as a race.
TEST_F(HashDictFiles, ManyThreadsLookUpOneDictionary) {
    KeyList list;
    list.keys = GeneratedKeys(20000, Seed());
    HashDict* built = list.Build(4);
    ASSERT_TRUE(HashDictWrite(built, dir_.c_str(), "shared", nullptr, FALSE)) << std::strerror(errno);
    HashDict* mapped = HashDictOpen(dir_.c_str(), "shared", nullptr);
    ASSERT_NE(mapped, nullptr);
    // Absent keys from the same alphabet and lengths, so that they hash and reach the check bytes.
    const std::unordered_set<std::string> present(list.keys.begin(), list.keys.end());
    std::vector<std::string> absent;
    for (std::string k : list.keys) {
        k.back() = char(0x21 + (k.back() - 0x21 + 1) % 94);
        if (!present.count(k)) absent.push_back(k);
    }
    for (const HashDict* d : {static_cast<const HashDict*>(built), static_cast<const HashDict*>(mapped)}) {
        constexpr int kThreads = 4;
        std::vector<std::string> faults(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                // Each thread walks the keys from its own starting point, and the absent keys between.
                for (size_t n = 0; n < list.keys.size() && faults[t].empty(); ++n) {
                    const size_t i = (n + size_t(t) * 4999) % list.keys.size();
                    if (Find(d, list.keys[i]) != Id(i)) faults[t] = "wrong id for " + list.keys[i];
                    if (i < absent.size() && Find(d, absent[i]) != HASHDICT_NOT_FOUND) faults[t] = "found " + absent[i];
                }
            });
        }
        for (auto& th : threads) th.join();
        for (const auto& f : faults) EXPECT_EQ(f, "");
    }
    EXPECT_TRUE(HashDictClose(mapped));
    HashDictFree(built);
}

TEST_F(HashDictFiles, FileRoundTripsInBothByteOrders) {
    Samples s;
    for (size_t i = 0; i < s.dicts.size(); ++i) {
        ASSERT_TRUE(HashDictWrite(s.dicts[i], dir_.c_str(), "d", nullptr, FALSE)) << std::strerror(errno);
        EXPECT_EQ(Listing(), std::set<std::string>{"d.dic"});
        EXPECT_TRUE(ReadFile(PathOf("d.dic")) == Image(s.dicts[i]));
        HashDict* opened = HashDictOpen(dir_.c_str(), "d", nullptr);
        s.ExpectSame(i, opened);
        // An opened dictionary writes its image again, and converts it when swapped; swapped twice
        // is the original.
        ASSERT_TRUE(HashDictWrite(opened, dir_.c_str(), "swapped", "x", TRUE));
        const Bytes original = ReadFile(PathOf("d.dic")), swapped = ReadFile(PathOf("swapped.x"));
        EXPECT_TRUE(swapped == Reversed(original));
        EXPECT_TRUE(Reversed(swapped, original) == original);
        // On this host the swapped header's sizes are byte-reversed: refused, not trusted.
        errno = 0;
        EXPECT_EQ(HashDictOpen(dir_.c_str(), "swapped", "x"), nullptr);
        EXPECT_EQ(errno, EINVAL);
        errno = 99;
        EXPECT_TRUE(HashDictClose(opened));
        EXPECT_EQ(errno, 0);
        unlink(PathOf("swapped.x").c_str());
    }
}

TEST_F(HashDictFiles, ChannelRoundTripsBackToBack) {
    Samples s;
    const Bytes stream = Written([&](Channel* ch) {
        for (HashDict* d : s.dicts) {
            if (!HashDictFileWrite(d, ch, FALSE)) return false;
        }
        return HashDictFileWrite(s.dicts[0], ch, TRUE) != FALSE;
    });
    const size_t size0 = HashDictFileSize(s.dicts[0]), tail = stream.size() - 4 - size0;
    UInt length;
    std::memcpy(&length, &stream[0], 4);
    EXPECT_EQ(length, size0);
    std::memcpy(&length, &stream[tail], 4);
    EXPECT_EQ(__builtin_bswap32(length), size0);
    EXPECT_TRUE(Bytes(stream.begin() + long(tail) + 4, stream.end()) == Image(s.dicts[0], true));

    WriteFile(PathOf("stream"), stream);
    Channel* ch = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(ch, PathOf("stream").c_str(), "r"));
    for (size_t i = 0; i < s.dicts.size(); ++i) {
        HashDict* got = nullptr;
        ASSERT_TRUE(HashDictFileRead(&got, ch));
        s.ExpectSame(i, got);
        EXPECT_TRUE(HashDictMemClose(got));
    }
    HashDict* got = s.dicts[0];
    errno = 0;
    EXPECT_FALSE(HashDictFileRead(&got, ch));  // the swapped copy's length means nothing here
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(errno, EINVAL);
    ChannelClose(ch);
}

// Memory images composed at odd running counts: zero padding to a multiple of 8 from the start,
// the 8-byte length, the image; and the reader skipping the same padding.
TEST_F(HashDictFiles, MemoryImagesComposedBackToBack) {
    Samples s;
    size_t ends[4] = {};
    const Bytes junk(13, 0xAB);
    const Bytes image = Written([&](Channel* ch) {
        size_t written = 13;
        bool ok = ChannelWriteBuf(ch, junk.data(), 13);
        for (size_t i = 0; i < 3 && ok; ++i) {
            ok = HashDictMMWrite(s.dicts[i], ch, &written) && ChannelWriteBuf(ch, junk.data(), 5);
            ends[i] = written;
            written += 5;
        }
        ok = ok && HashDictMMWriteSwapped(s.dicts[0], ch, &written);
        ends[3] = written;
        return ok;
    });
    ASSERT_EQ(image.size(), ends[3]);
    EXPECT_EQ(ends[0], 24 + HashDictFileSize(s.dicts[0]));
    EXPECT_EQ(Bytes(&image[13], &image[16]), Bytes(3, 0));
    Aligned memory(image);
    const UByte *base = memory.data, *end = base + image.size(), *cursor = base + 13;
    for (size_t i = 0; i < 3; ++i) {
        HashDict* got = nullptr;
        ASSERT_TRUE(HashDictMMRead(&got, base, &cursor, end));
        EXPECT_EQ(cursor, base + ends[i]);
        EXPECT_EQ(got->h_file, cursor - HashDictFileSize(s.dicts[i]));
        s.ExpectSame(i, got);
        HashDictMMFree(got);
        cursor += 5;
    }
    // The swapped copy, behind its byte-reversed length: refused here, the cursor past the length.
    const size_t start = (ends[2] + 5 + 7) / 8 * 8;
    ULong length;
    std::memcpy(&length, &image[start], 8);
    EXPECT_EQ(__builtin_bswap64(length), HashDictFileSize(s.dicts[0]));
    EXPECT_TRUE(Bytes(image.begin() + long(start) + 8, image.end()) == Image(s.dicts[0], true));
    HashDict* got = nullptr;
    EXPECT_FALSE(HashDictMMRead(&got, base, &cursor, end));
    EXPECT_EQ(cursor, base + start + 8);
    // Too short for padding and a length: the cursor stops one past where the padding failed.
    cursor = base + 1;
    EXPECT_FALSE(HashDictMMRead(&got, base, &cursor, base + 9));
    EXPECT_EQ(cursor, base + 2);
}

// Header fields set too small, too large, to zero and to all ones, corrupt table entries, and
// truncations: each image is refused with EINVAL, or opens into a record whose lookups stay inside
// the image (which the sanitizer builds check).
TEST_F(HashDictFiles, CorruptImagesAreRefusedOrStayInBounds) {
    KeyList list{GeneratedKeys(700, 3), {}};
    HashDict* d = list.Build(2);
    const Bytes good = Image(d);
    zk::ImageHeader h;
    std::memcpy(&h, good.data(), sizeof h);
    struct Field {
        const char* name;
        size_t offset, width;
        ULong small, large;
        const char* opens;  // for small, large, zero, all ones: 'y' opens, 'n' is refused
    };
    const Field fields[] = {
        {"nentries", 0, 4, h.nentries - 1u, h.nentries + 1u, "ynyn"},
        {"size", 4, 4, 4, h.size + 64u, "nnnn"},
        {"size - 1, equal to a coefficient", 4, 4, h.size - 1u, h.size - 1u, "nnnn"},
        {"maxlen", 8, 2, h.maxlen - 1u, h.maxlen + 1u, "ynyn"},
        {"nbits", 10, 2, h.nbits - 1u, 33, "ynnn"},
        {"nchars", 12, 2, h.nchars - 1u, 257, "nnnn"},
        {"probe", 14, 2, 1, 3, "ynnn"},
        {"rank size", 16, 8, h.rank_size - 8, h.rank_size + 1, "nnnn"},
        {"coef size", 24, 8, h.coef_size - 8, h.coef_size + 8, "nnnn"},
        {"fun size", 32, 8, h.fun_size - 8, h.fun_size + 8, "nnnn"},
        {"probe size", 40, 8, h.probe_size - 8, h.probe_size + 8, "nnnn"},
        {"rank of 'a'", 48 + 2 * 'a', 2, 0xFFFE, h.nchars, "nnyy"},
        {"rank of byte 255", 48 + 2 * 255, 2, 0xFFFE, h.nchars, "nnyy"},
        {"a coefficient", 48 + h.rank_size + 4 * 17, 4, h.size - 1u, h.size, "ynyn"},
    };
    auto opens = [&](const Bytes& bytes, size_t offset = 0) {
        Aligned memory(bytes, offset);
        HashDict r{};
        errno = 0;
        if (!zk::HashDictMemOpen_(&r, memory.data, bytes.size())) {
            EXPECT_EQ(errno, EINVAL);
            return false;
        }
        for (const std::string& k : list.keys) Find(&r, k);
        for (int i = 0; i < 300; ++i) Find(&r, std::to_string(i * 7919));
        return true;
    };
    ASSERT_TRUE(opens(good));
    for (const Field& f : fields) {
        const ULong values[] = {f.small, f.large, 0, ~0ull};
        for (int v = 0; v < 4; ++v) {
            Bytes bad = good;
            std::memcpy(&bad[f.offset], &values[v], f.width);
            EXPECT_EQ(opens(bad), f.opens[v] == 'y') << f.name << " set to " << values[v];
        }
    }
    for (size_t length = 0; length < good.size(); length += length < 64 ? 1 : 37) {
        EXPECT_FALSE(opens(Bytes(good.begin(), good.begin() + long(length)))) << "cut to " << length;
    }
    Bytes longer = good;
    longer.resize(good.size() + 13, 0xAB);
    EXPECT_TRUE(opens(longer)) << "bytes after the image are ignored";
    EXPECT_FALSE(opens(good, 4)) << "an image must be 8-byte aligned";
    HashDictFree(d);
}

// The open checks every rank, but the file may change afterwards under the mapping: each rank a
// lookup takes from it must still keep the coefficient read inside the image. Ranks far past the
// table would reach beyond the mapping's end.
TEST_F(HashDictFiles, AFileRewrittenUnderAnOpenDictionaryIsReadOnlyInsideIt) {
    KeyList list{GeneratedKeys(500, 8), {}};
    HashDict* built = list.Build();
    ASSERT_TRUE(HashDictWrite(built, dir_.c_str(), "open", nullptr, FALSE));
    HashDictFree(built);
    HashDict* d = HashDictOpen(dir_.c_str(), "open", nullptr);
    ASSERT_NE(d, nullptr);
    const int fd = open(PathOf("open.dic").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (const Short rank : {Short{0x7FFF}, Short(d->h_nchars), Short{-2}, Short{-32768}}) {
        const std::vector<Short> ranks(256, rank);
        ASSERT_EQ(pwrite(fd, ranks.data(), 512, zk::kImageHeaderSize), 512);
        ASSERT_EQ(d->h_rank[0], rank) << "the mapping shows the rewrite";
        for (const std::string& k : list.keys) EXPECT_EQ(Find(d, k), HASHDICT_NOT_FOUND) << k;
    }
    close(fd);
    EXPECT_TRUE(HashDictClose(d));
}

// Missing, empty, short and cut files; streams that end early or announce more than they hold.
TEST_F(HashDictFiles, OpenersRefuseMissingAndShortInput) {
    KeyList list{GeneratedKeys(100, 1), {}};
    HashDict* d = list.Build();
    const Bytes image = Image(d);
    WriteFile(PathOf("empty.dic"), {});
    WriteFile(PathOf("short.dic"), Bytes(image.begin(), image.begin() + 47));
    WriteFile(PathOf("cut.dic"), Bytes(image.begin(), image.end() - 8));
    const std::string longName(1100, 'n');
    const std::pair<const char*, int> files[] = {
        {"missing", ENOENT}, {"empty", EINVAL}, {"short", EINVAL}, {"cut", EINVAL}, {longName.c_str(), ENAMETOOLONG}};
    for (const auto& [name, err] : files) {
        errno = 0;
        EXPECT_EQ(HashDictOpen(dir_.c_str(), name, nullptr), nullptr) << name;
        EXPECT_EQ(errno, err) << name;
    }
    auto stream = [&](UInt length, size_t imageBytes) {
        Bytes s(4);
        std::memcpy(s.data(), &length, 4);
        s.insert(s.end(), image.begin(), image.begin() + long(imageBytes));
        return s;
    };
    const Bytes streams[] = {{}, {1, 2}, stream(47, 47), stream(UInt(image.size()), image.size() - 1),
                             stream(0xFFFFFFF0u, image.size())};
    for (const Bytes& bytes : streams) {
        WriteFile(PathOf("s"), bytes);
        Channel* ch = ChannelNew(-1, -1);
        ASSERT_TRUE(ChannelOpenFile(ch, PathOf("s").c_str(), "r"));
        HashDict* got = d;
        errno = 0;
        EXPECT_FALSE(HashDictFileRead(&got, ch)) << bytes.size();
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(errno, EINVAL);
        ChannelClose(ch);
    }
    HashDictFree(d);
}

// ---- atomic replacement ----------------------------------------------------------------------------

// A write that fails half way (at the file-size limit) or cannot put its file in place (the target
// is a directory, or the directory is missing) leaves the old file as it was and nothing behind; a
// write that succeeds replaces the file and keeps its permissions.
TEST_F(HashDictFiles, WritesReplaceAtomically) {
    KeyList small{GeneratedKeys(50, 13), {}}, large{GeneratedKeys(60000, 14), {}};
    HashDict* a = small.Build();
    HashDict* b = large.Build();
    ASSERT_TRUE(HashDictWrite(a, dir_.c_str(), "d", nullptr, FALSE));
    const Bytes old = ReadFile(PathOf("d.dic"));

    struct rlimit saved, limited;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limited = saved;
    limited.rlim_cur = 100000;
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    errno = 0;
    const Boolean wrote = HashDictWrite(b, dir_.c_str(), "d", nullptr, FALSE);
    const int err = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(err, EFBIG);
    EXPECT_TRUE(ReadFile(PathOf("d.dic")) == old);
    EXPECT_EQ(Listing(), std::set<std::string>{"d.dic"});

    ASSERT_EQ(mkdir(PathOf("sub.dic").c_str(), 0755), 0);
    const std::pair<std::string, int> failures[] = {{dir_, EISDIR}, {PathOf("missing"), ENOENT}};
    for (const auto& [dir, code] : failures) {
        errno = 0;
        EXPECT_FALSE(HashDictWrite(a, dir.c_str(), "sub", nullptr, FALSE));
        EXPECT_EQ(errno, code);
        EXPECT_EQ(Listing(), (std::set<std::string>{"d.dic", "sub.dic"}));
    }

    ASSERT_EQ(chmod(PathOf("d.dic").c_str(), 0640), 0);
    ASSERT_TRUE(HashDictWrite(b, dir_.c_str(), "d", "dic", FALSE));
    EXPECT_TRUE(ReadFile(PathOf("d.dic")) == Image(b));
    struct stat st;
    ASSERT_EQ(stat(PathOf("d.dic").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Listing(), (std::set<std::string>{"d.dic", "sub.dic"}));

    // No directory means the current one, for the writer as for the opener.
    const std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const Boolean here = HashDictWrite(a, "", "here", "x", FALSE);
    HashDict* opened = HashDictOpen(nullptr, "here", "x");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_TRUE(here);
    EXPECT_TRUE(opened != nullptr && Find(opened, small.keys[9]) == 9u && HashDictClose(opened));
    HashDictFree(a);
    HashDictFree(b);
}

TEST_F(HashDictFiles, AtomicFileIsAbandonedUnlessCommitted) {
    for (bool commit : {false, true}) {
        zk::AtomicFile file;
        ASSERT_TRUE(file.Begin(PathOf("plain")));
        EXPECT_EQ(file.temp_path().rfind(dir_ + "/.plain.", 0), 0u);
        ASSERT_EQ(write(file.fd(), "text", 4), 4);
        EXPECT_TRUE(!commit || file.Commit());
    }
    EXPECT_EQ(Listing(), std::set<std::string>{"plain"});
    EXPECT_EQ(ReadFile(PathOf("plain")), (Bytes{'t', 'e', 'x', 't'}));
}

// ---- fatal paths -----------------------------------------------------------------------------------

// Duplicate keys are named after the first failed attempt, not after a thousand: the reports go to
// stderr numbered, so that the regex sees their order and that no retry came between them.
TEST(HashDictDeathTest, DuplicateKeysFailFast) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto build = [] {
        ZKSetMessageHandler([](const char*, int, const char*, const char* function, int severity, int,
                               const char* text) {
            static int count = 0;
            std::fprintf(stderr, "#%d %s %d %s\n", ++count, function, severity, text);
        });
        KeyList list{GeneratedKeys(100000, 21), {}};
        list.keys[70000] = list.keys[123];
        list.Build(0, true);
    };
    EXPECT_DEATH(build(), "#1 HashDictInit 2 hdict: nentries=100000\n"
                          "#2 GraphBuild 3 hdict: duplicate keys 123 and 70000\n"
                          "#3 GraphBuild 4 hdict: cannot generate\n");
}

TEST(HashDictDeathTest, DocumentedAssertions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KeyList list{{"ab", "cd", "ef", "gh"}, {0, 1, 2, 3}};
    auto nullKey = [](void*, Id, const UByte** bytes) -> UShort { return *bytes = nullptr, 0; };
    auto tooWide = [](void*, Id) -> Id { return 4; };
    const std::string arguments = Escaped("nbits <= 32 && (val == NULL || (probe == 0 && nbits != 0))");
    EXPECT_DEATH(HashDictBuild(4, &list, KeyList::Key, nullptr, 33, 0, FALSE), arguments);
    EXPECT_DEATH(HashDictBuild(4, &list, KeyList::Key, KeyList::Value, 8, 1, FALSE), arguments);
    EXPECT_DEATH(HashDictBuild(4, &list, KeyList::Key, KeyList::Value, 0, 0, FALSE), arguments);
    EXPECT_DEATH(HashDictBuild(4, &list, KeyList::Key, nullptr, 0, 9, FALSE), "probe <= 8");
    EXPECT_DEATH(HashDictBuild(4, &list, nullKey, nullptr, 0, 0, FALSE), Escaped("bytes != NULL"));
    EXPECT_DEATH(HashDictBuild(4, &list, KeyList::Key, tooWide, 2, 0, FALSE),
                 Escaped("HashDictFind(hdict, bytes, len) == (*val)(dict, idx)"));
    // Check bytes stored for keys other than those the function was built for, as a key callback
    // whose answers changed would give.
    KeyList changed{{"ba", "dc", "fe", "hg"}, {}};
    HashDict* checked = list.Build(2);
    EXPECT_DEATH(zk::HashDictProbe(checked, &changed, KeyList::Key), Escaped("HashDictFind(hdict, bytes, len) == idx"));
    EXPECT_DEATH(HashDictFind(nullptr, "a", 1), Escaped("hdict != NULL"));
    EXPECT_DEATH(ArrayNew_(1ull << 60, ~0ull, nullptr, nullptr, __FILE__, __LINE__),
                 Escaped("nvalues == 0 || ptr != NULL"));
    EXPECT_DEATH(zk::WriteBytes(nullptr, FALSE, 4, "abcdef", 6), Escaped("(nbytes % size) == 0"));

    // Each destructor refuses a record of another kind.
    EXPECT_DEATH(HashDictClose(nullptr), Escaped("hdict != NULL"));
    EXPECT_DEATH(HashDictClose(checked), Escaped("hdict->h_file != NULL"));
    EXPECT_DEATH(HashDictMemClose(checked), Escaped("hdict->h_file != NULL"));
    checked->h_file = checked;
    EXPECT_DEATH(HashDictClose(checked), Escaped("!hdict->h_created"));
    EXPECT_DEATH(HashDictMemClose(checked), Escaped("!hdict->h_created"));
    EXPECT_DEATH(HashDictMMFree(checked), Escaped("!hdict->h_created"));
    checked->h_created = FALSE;
    EXPECT_DEATH(HashDictFree(checked), Escaped("hdict->h_created"));
    checked->h_created = TRUE;
    checked->h_file = nullptr;
    HashDictFree(checked);
}

}  // namespace
