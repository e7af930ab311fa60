// The C++ layer from a consumer's build: a static dictionary of three keys.
#include <zkdict/zkdict.hpp>

#include <array>
#include <cstdio>
#include <optional>

int main() {
    const std::array<const char*, 3> fruit{"apple", "pear", "plum"};
    const auto dict = zkdict::HashDict::build(fruit, {.check_bytes = 2});
    const bool ok = dict.find("pear") == std::optional<zkdict::Id>(1) && !dict.find("kiwi");
    std::puts(ok ? "C++ consumer ok" : "C++ consumer: wrong answers");
    return ok ? 0 : 1;
}
