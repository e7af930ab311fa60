// The C++ layer: a typed hash table counting words, values read and written as the integers they
// are, saved as a file and loaded back; a file of another value size would be refused.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "zkdict/hashtable.hpp"

int main() {
    const std::string_view text = "the quick brown fox jumps over the lazy dog the end";
    zkdict::HashTable<std::uint32_t> counts;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t space = std::min(text.find(' ', at), text.size());
        ++counts.insert(text.substr(at, space - at)).first;  // a new word starts at zero
        at = space + 1;
    }
    const std::string path = (std::filesystem::temp_directory_path() / "word_counts.tbl").string();
    counts.save(path);
    const auto loaded = zkdict::HashTable<std::uint32_t>::load(path);
    std::filesystem::remove(path);
    for (auto [word, n] : loaded.entries()) std::printf("%.*s %u\n", int(word.size()), word.data(), n);
    const std::uint32_t* the = loaded.find("the");
    return loaded.size() == 9 && the != nullptr && *the == 3 && loaded.find("cat") == nullptr ? 0 : 1;
}
