// The static dictionary's record, its packed blocks and its lookup.
#include "dict/hashdict.h"

#include <array>
#include <cstdint>

#include "dict/bitarray.h"
#include "dict/byte_loads.h"
#include "dict/hashdict_internal.h"
#include "dict/huge_pages.h"

extern "C" ZK_EXPORT void* ArrayNew_(ULong nvalues, ULong maxvalue, UShort* nbits, size_t* size, const char* path,
                                     int line) {
    const UShort width = zk::PackedWidth(maxvalue);
    size_t bytes = 0;
    void* ptr = AnonArrayGrow_(8, nullptr, nvalues, width, &bytes, path, line);
    ZK_ASSERT(nvalues == 0 || ptr != NULL);
    if (ptr != nullptr) zk::AdviseHugePages(ptr, bytes);
    if (nbits != nullptr) *nbits = width;
    if (size != nullptr) *size = bytes;
    return ptr;
}

namespace zk {

namespace {

constexpr ULong Pow257(int k) {
    ULong p = 1;
    while (k-- > 0) p *= 257;
    return p;
}

// The inverse of odd x modulo 2^64, by Newton's iteration: each step doubles the correct low bits,
// and x is its own inverse modulo 8.
constexpr ULong Inverse(ULong x) {
    ULong y = x;
    for (int i = 0; i < 5; ++i) y *= 2 - x * y;
    return y;
}

constexpr std::array<ULong, 9> kPow = {Pow257(0), Pow257(1), Pow257(2), Pow257(3), Pow257(4),
                                       Pow257(5), Pow257(6), Pow257(7), Pow257(8)};
constexpr std::array<ULong, 9> kInversePow = {Inverse(kPow[0]), Inverse(kPow[1]), Inverse(kPow[2]),
                                              Inverse(kPow[3]), Inverse(kPow[4]), Inverse(kPow[5]),
                                              Inverse(kPow[6]), Inverse(kPow[7]), Inverse(kPow[8])};
static_assert(kPow[3] * kInversePow[3] == 1 && kPow[8] * kInversePow[8] == 1);

// The eight bytes of w, lowest first, as Horner's rule over 257 would sum them: byte j times 257^(7-j).
inline ULong WordTerms(ULong w) {
    ULong s = 0;
    for (int j = 0; j < 8; ++j) s += ((w >> (8 * j)) & 0xFF) * kPow[7 - j];
    return s;
}

}  // namespace

// The check code, code = code * 257 + byte over the key modulo 2^64, taken eight bytes per step:
// the per-byte rule is a chain of one multiply-add per byte. A tail of r bytes loaded as a word
// with zeros above sums to 257^(8-r) times its own terms, which the inverse power takes off.
ULong CheckCode(const UByte* bytes, int len) {
    if (len <= 0) return 0;
    const int full = len & ~7;
    ULong code = 0;
    for (int i = 0; i < full; i += 8) code = code * kPow[8] + WordTerms(Load64(bytes + i));
    const int rest = len - full;
    if (rest == 0) return code;
    return code * kPow[rest] + WordTerms(LoadShort(bytes + full, rest)) * kInversePow[8 - rest];
}

Id Probe(const HashDict* hdict, Boolean set, Id id, const UByte* bytes, int l) {
    // Reducing once at the end gives the same code as reducing at every step, the modulus being a
    // power of two.
    const ULong code = CheckCode(bytes, l) & hdict->h_probe_mask;
    const unsigned probe = hdict->h_probe;
    // In 64 bits: with 8 check bytes, indices from 2^29 on would wrap a 32-bit offset.
    UByte* stored = hdict->h_probe_code + size_t{id} * probe;
    if (set) {
        for (unsigned i = 0; i < probe; ++i) stored[i] = static_cast<UByte>(code >> (8 * i));
        return id;
    }
    for (unsigned i = 0; i < probe; ++i) {
        if (stored[i] != static_cast<UByte>(code >> (8 * i))) return HASHDICT_NOT_FOUND;
    }
    return id;
}

}  // namespace zk

extern "C" {

ZK_EXPORT Id HashDictFind(const HashDict* hdict, const void* bytes, int len) {
    ZK_ASSERT(hdict != NULL);
    const UByte* key = static_cast<const UByte*>(bytes);
    Id v0, v1, v2;
    if (!zk::Hash(hdict, &v0, &v1, &v2, key, len)) return HASHDICT_NOT_FOUND;
    const zk::PackedArray fun(hdict->h_fun, hdict->h_nbits);
    const Id id = static_cast<Id>(fun.Get(v0) ^ fun.Get(v1) ^ fun.Get(v2));
    if (hdict->h_probe == 0) return id;
    if (id >= hdict->h_nentries) return HASHDICT_NOT_FOUND;
    return zk::Probe(hdict, FALSE, id, key, len);
}

ZK_EXPORT Id HashDictSize(const HashDict* hdict) { return hdict->h_nentries; }

ZK_EXPORT UShort HashDictMaxLength(const HashDict* hdict) { return hdict->h_maxlen; }

ZK_EXPORT void HashDictFree(HashDict* hdict) {
    if (hdict == nullptr) return;
    // The tables of any other kind of record are not blocks of ours; freeing them would corrupt the heap.
    ZK_ASSERT(hdict->h_created);
    if (hdict->h_probe_code != nullptr) AnonArrayFree_(hdict->h_probe_code, zk::kHashDictPath, __LINE__);
    if (hdict->h_coef != nullptr) AnonArrayFree_(hdict->h_coef, zk::kHashDictPath, __LINE__);
    AnonArrayFree_(hdict->h_rank, zk::kHashDictPath, __LINE__);
    AnonArrayFree_(hdict->h_fun, zk::kHashDictPath, __LINE__);
    UnAllocate_(hdict, zk::kHashDictPath, __LINE__);
}

ZK_EXPORT void HashDictMMFree(HashDict* hdict) {
    if (hdict == nullptr) return;
    // A built record given here would leak its tables.
    ZK_ASSERT(!hdict->h_created);
    UnAllocate_(hdict, zk::kHashDictPath, __LINE__);
}

}  // extern "C"
