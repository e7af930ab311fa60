// table_fuzz.h: what the fuzz targets of the library's files share: a stop that names the broken
// expectation, reports of the message service kept quiet but at hand, bytes touched for the
// sanitizers; and for the two packed hash tables a key order for sorting, and how to read the
// invariant checker on a table that came from outside the process.
#ifndef ZKDICT_FUZZ_TABLE_FUZZ_H
#define ZKDICT_FUZZ_TABLE_FUZZ_H

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "zklib/zklib.h"

namespace zkfuzz {

// The reports the library made since the last Reset, and the text of the latest one. The readers
// report every rejection, and a fuzzer that printed each would drown its own output.
struct Reports {
    int count = 0;
    int severity = 0;
    char last[512] = "";
};

inline Reports& Seen() {
    static Reports reports;
    return reports;
}

inline void Swallow(const char*, int, const char*, const char*, int severity, int, const char* text) {
    Reports& r = Seen();
    r.count++;
    r.severity = severity;
    std::snprintf(r.last, sizeof r.last, "%s", text != nullptr ? text : "");
}

// Installs the quiet handler on first use and forgets earlier reports.
inline void ResetReports() {
    static const bool installed = (ZKSetMessageHandler(Swallow), true);
    (void)installed;
    Seen() = Reports{};
}

[[noreturn]] inline void Fault(const char* what, const char* detail, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: fuzz expectation failed: %s%s%s\n", file, line, what, detail[0] ? ": " : "",
                 detail);
    if (Seen().count != 0) std::fprintf(stderr, "last library report: %s\n", Seen().last);
    __builtin_trap();
}

#define ZKFUZZ_REQUIRE(cond) ((cond) ? (void)0 : zkfuzz::Fault(#cond, "", __FILE__, __LINE__))

// Reads every byte, so that an access past a block's end shows up under AddressSanitizer.
inline void Touch(const void* bytes, size_t n) {
    static volatile unsigned sink;
    const auto* p = static_cast<const UByte*>(bytes);
    unsigned sum = 0;
    for (size_t i = 0; i < n; i++) sum += p[i];
    sink = sink + sum;
}

inline std::string_view View(const UByte* bytes, UInt len) {
    return {reinterpret_cast<const char*>(bytes), len};
}

// Orders value pointers by their keys, bytewise, through a table's key routine (HashTableKey or
// HashDelTableKey); usable as the HashCompareFunction of either table with &order as its context.
template <class Table>
struct KeyOrder {
    const Table* table;
    UInt (*key)(const Table*, const void*, const UByte**);

    std::string_view Of(const void* val) const {
        const UByte* bytes;
        const UInt len = key(table, val, &bytes);
        return View(bytes, len);
    }
    static int Compare(const void* a, const void* b, void* ptr) {
        const auto* order = static_cast<const KeyOrder*>(ptr);
        const int c = order->Of(a).compare(order->Of(b));
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
};

// A table read from outside is checked for its shape, and not rehashed: the readers take the
// slots as they were saved (they have no context pointer for a hash callback, and are meant to
// load without rehashing). An entry filed off its key's probe path, or a key filed twice, thus
// loads as it is; such a table stays memory-safe and only finds less than it holds. Every other
// fault the checker can name is one a reader must have refused.
inline bool PlacementFault(const std::string& fault) {
    return fault.find("probe path") != std::string::npos || fault.find("shadowed") != std::string::npos;
}

// Stops on any fault of a table that is not one of placement; tells whether the table is sound.
inline bool RequireShape(const std::string& fault, const char* file, int line) {
    if (fault.empty()) return true;
    if (!PlacementFault(fault)) Fault("the checker found a fault", fault.c_str(), file, line);
    return false;
}

#define ZKFUZZ_SHAPE(fault) zkfuzz::RequireShape((fault), __FILE__, __LINE__)

// The bytes of the input as a cursor, for decoding operations.
class Cursor {
public:
    Cursor(const UByte* p, size_t n) : p_(p), end_(p + n) {}
    bool empty() const { return p_ == end_; }
    UByte Byte() { return p_ == end_ ? 0 : *p_++; }
    // Up to n bytes (fewer at the end).
    std::string_view Take(size_t n) {
        const size_t k = n < size_t(end_ - p_) ? n : size_t(end_ - p_);
        std::string_view s(reinterpret_cast<const char*>(p_), k);
        p_ += k;
        return s;
    }

private:
    const UByte* p_;
    const UByte* end_;
};

}  // namespace zkfuzz

#endif  // ZKDICT_FUZZ_TABLE_FUZZ_H
