// The C++ layer: a static dictionary built straight from a vector of strings, with check bytes so
// that words it was not built from are refused, then saved, mapped back and queried.
#include <cstdio>
#include <string>
#include <vector>

#include "zkdict/zkdict.hpp"

int main() {
    const std::vector<std::string> words = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
    const zkdict::HashDict dict = zkdict::HashDict::build(words, {.check_bytes = 4});
    int wrong = 0;
    for (Id i = 0; i < words.size(); ++i) wrong += dict.find(words[i]) != i;
    for (const char* probe : {"delta", "golf"}) {
        const std::optional<Id> id = dict.find(probe);
        if (id) {
            std::printf("%s -> %u\n", probe, *id);
        } else {
            std::printf("%s is not a word of the dictionary\n", probe);
        }
    }
    return wrong == 0 && !dict.find("golf") ? 0 : 1;
}
