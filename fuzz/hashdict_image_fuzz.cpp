// Arbitrary bytes as the static dictionary's images: opened as a dictionary file's content would
// be, and walked as a memory image of dictionaries composed back to back. Every image an opener
// accepts is looked up with keys from the input and released again; an opener that accepts bytes
// it should not shows up as an out-of-bounds read or a failed assertion in the lookups.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dict/hashdict.h"
#include "dict/hashdict_internal.h"

namespace {

void LookUp(const HashDict* d, const uint8_t* data, size_t size) {
    static const char* const fixed[] = {"", "a", "the", "\xff\xfe", "0123456789abcdef0123456789"};
    for (const char* key : fixed) HashDictFind(d, key, static_cast<int>(std::strlen(key)));
    // Keys cut from the input reach bytes and lengths that the image's own alphabet may rank.
    for (size_t start = 0; start < size && start < 64; start += 7) {
        const size_t len = size - start < 24 ? size - start : 24;
        HashDictFind(d, data + start, static_cast<int>(len));
    }
    HashDictFileSize(d);
    HashDictSize(d);
    HashDictMaxLength(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Openers require an 8-byte aligned image; the fuzzer's buffer need not be.
    std::vector<ULong> words(size / 8 + 1);
    if (size != 0) std::memcpy(words.data(), data, size);
    const auto* base = reinterpret_cast<const UByte*>(words.data());

    HashDict whole{};
    if (zk::HashDictMemOpen_(&whole, base, size)) LookUp(&whole, data, size);

    const UByte* cursor = base;
    for (int i = 0; i < 16; ++i) {
        HashDict* d = nullptr;
        if (!HashDictMMRead(&d, base, &cursor, base + size)) break;
        LookUp(d, data, size);
        HashDictMMFree(d);
    }
    return 0;
}
