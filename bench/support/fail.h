/*
 * fail.h: how a benchmark program stops when a structure gives a wrong answer, and how it names the
 * key in question.
 */
#ifndef ZKDICT_BENCH_SUPPORT_FAIL_H
#define ZKDICT_BENCH_SUPPORT_FAIL_H

#include <concepts>
#include <string>
#include <string_view>

namespace zkbench {

// A benchmark that measured a broken lookup would print a plausible number; stop instead.
[[noreturn]] void Fail(const std::string& what);

// Keys in failure messages: printable bytes as they are, others as \xNN; integer keys in decimal.
std::string Printable(std::string_view key);

template <std::integral Key>
std::string Printable(Key key) {
    return std::to_string(key);
}

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_FAIL_H
