// The static dictionary's record, its packed blocks and its lookup.
#include "dict/hashdict.h"

#include <cstdint>

#include "dict/bitarray.h"
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

Id Probe(const HashDict* hdict, Boolean set, Id id, const UByte* bytes, int l) {
    // Reducing once at the end gives the same code as reducing at every step, the modulus being a
    // power of two.
    ULong code = 0;
    for (int i = 0; i < l; ++i) code = code * 257 + bytes[i];
    code &= hdict->h_probe_mask;
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
