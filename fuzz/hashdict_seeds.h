// hashdict_seeds.h: the dictionaries behind the static dictionary's seed images. The corpus program
// builds and writes them; the fuzz target builds them again at start-up, so that an input equal to
// one of their images is known to be sound and must answer every key with its own identifier (or
// its value) and every foreign key by the check bytes.
#ifndef ZKDICT_FUZZ_HASHDICT_SEEDS_H
#define ZKDICT_FUZZ_HASHDICT_SEEDS_H

#include <string>
#include <vector>

#include "dict/hashdict.h"

namespace zkfuzz {

struct SeedDict {
    const char* name;
    std::vector<std::string> keys;
    UByte probe;  // check bytes per key
    UByte nbits;  // with values: their width; the value of key i is (i * 2654435761) mod 2^nbits
};

inline std::vector<SeedDict> SeedDicts() {
    std::vector<std::string> words, bytes, longer;
    for (int i = 0; i < 40; ++i) words.push_back("w" + std::to_string(i * 7919 % 1000));
    // Every byte value and the empty key: the widest rank table.
    bytes.push_back("");
    for (int b = 0; b < 256; ++b) bytes.push_back(std::string(1, char(b)) + char(255 - b));
    for (int i = 0; i < 20; ++i) longer.push_back(std::string(size_t(4 + i), char('a' + i % 8)) + std::to_string(i));
    return {{"words", words, 0, 0},
            {"words_check3", words, 3, 0},
            {"bytes_check8", bytes, 8, 0},
            {"longer_values", longer, 0, 13}};
}

inline Id SeedValue(const SeedDict& s, Id i) {
    return s.nbits == 0 ? i : Id((ULong{i} * 2654435761u) & ((ULong{1} << s.nbits) - 1));
}

inline HashDict* BuildSeed(const SeedDict& s) {
    struct Keys {
        static UShort Key(void* d, Id i, const UByte** bytes) {
            const std::string& k = static_cast<const SeedDict*>(d)->keys[i];
            *bytes = reinterpret_cast<const UByte*>(k.data());
            return UShort(k.size());
        }
        static Id Value(void* d, Id i) { return SeedValue(*static_cast<const SeedDict*>(d), i); }
    };
    void* dict = const_cast<SeedDict*>(&s);
    if (s.nbits != 0) return HashDictBuild(Id(s.keys.size()), dict, Keys::Key, Keys::Value, s.nbits, 0, FALSE);
    return HashDictBuild(Id(s.keys.size()), dict, Keys::Key, nullptr, 0, s.probe, FALSE);
}

}  // namespace zkfuzz

#endif  // ZKDICT_FUZZ_HASHDICT_SEEDS_H
