#include "bench/support/fail.h"

#include <cstdio>
#include <cstdlib>

namespace zkbench {

void Fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "zkbench: %s\n", what.c_str());
    std::abort();
}

std::string Printable(std::string_view key) {
    std::string out;
    for (unsigned char c : key) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace zkbench
