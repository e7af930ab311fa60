// Growable typed arrays and zero-filled blocks of packed values.

#include "zklib/zklib.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The common shape of every growable array. Callers pass their own typed record, so the fields are
// copied in and out rather than reached through a pointer of another type.
struct AnyArray {
    void* data;
    UInt length;
    UInt capacity;
};
static_assert(sizeof(AnyArray) == sizeof(UIntArray) && sizeof(AnyArray) == sizeof(UByteArray));
static_assert(offsetof(AnyArray, length) == offsetof(UIntArray, length));
static_assert(offsetof(AnyArray, capacity) == offsetof(UIntArray, capacity));
static_assert(offsetof(AnyArray, length) == offsetof(UByteArray, length));
static_assert(offsetof(AnyArray, capacity) == offsetof(UByteArray, capacity));

AnyArray Load(const void* array) {
    AnyArray a;
    std::memcpy(&a, array, sizeof a);
    return a;
}

void Store(void* array, const AnyArray& a) { std::memcpy(array, &a, sizeof a); }

constexpr UInt kMinimumCapacity = 8;

[[noreturn]] void CapacityExceeded(ULong need, UInt bound, const char* path, int line, const char* function) {
    ZKSetMessageContext2_(path, line, "zklib", function, 4, 0);
    ZKMessage_("array capacity limit exceeded: need=%llu bound=%u", static_cast<unsigned long long>(need), bound);
    std::abort();  // not reached: a fatal report stops the process
}

UInt NextSize(UInt capacity, ULong need, UInt bound, const char* path, int line, const char* function) {
    if (need > bound) {
        CapacityExceeded(need, bound, path, line, function);
    }
    ULong next = 2 * static_cast<ULong>(capacity);
    if (next < kMinimumCapacity) {
        next = kMinimumCapacity;
    }
    if (next < need) {
        next = need;
    }
    if (next > bound) {
        next = bound;
    }
    return static_cast<UInt>(next);
}

void Resize(AnyArray& a, UInt capacity, size_t elemSize, const char* path, int line) {
    size_t bytes;
    if (__builtin_mul_overflow(static_cast<size_t>(capacity), elemSize, &bytes)) {
        ZKSetMessageContext2_(path, line, "zklib", "Allocate", 4, 0);
        ZKMessage_("memory allocation failed: %u elements of %zu bytes", capacity, elemSize);
        std::abort();  // not reached
    }
    a.data = Allocate_(bytes, a.data, path, line);
    a.capacity = capacity;
}

}  // namespace

extern "C" {

ZK_EXPORT void ArrayInit_(void* array) { Store(array, AnyArray{nullptr, 0, 0}); }

ZK_EXPORT void ArrayFree_(void* array) {
    UnAllocate_(Load(array).data, __FILE__, __LINE__);
    Store(array, AnyArray{nullptr, 0, 0});
}

ZK_EXPORT UInt ArrayNextSize(UInt capacity, UInt need, UInt bound) {
    return NextSize(capacity, need, bound, __FILE__, __LINE__, "ArrayNextSize");
}

ZK_EXPORT void ArrayGrow_(void* array, size_t elemSize, const char* path, int line) {
    AnyArray a = Load(array);
    UInt capacity = NextSize(a.capacity, static_cast<ULong>(a.length) + 1, ZK_ARRAY_MAX_CAPACITY, path, line,
                             "ArrayGrow");
    Resize(a, capacity, elemSize, path, line);
    Store(array, a);
}

ZK_EXPORT void ArrayGrowExact_(void* array, UInt capacity, size_t elemSize, const char* path, int line) {
    if (capacity > ZK_ARRAY_MAX_CAPACITY) {
        CapacityExceeded(capacity, ZK_ARRAY_MAX_CAPACITY, path, line, "ArrayGrowExact");
    }
    AnyArray a = Load(array);
    if (capacity == 0) {
        UnAllocate_(a.data, path, line);
        Store(array, AnyArray{nullptr, 0, 0});
        return;
    }
    Resize(a, capacity, elemSize, path, line);
    if (a.length > capacity) {
        a.length = capacity;
    }
    Store(array, a);
}

ZK_EXPORT void* AnonArrayGrow_(size_t wordSize, void* old, ULong nvalues, UShort width, size_t* size,
                               const char* /*path*/, int /*line*/) {
    if (nvalues == 0) {
        std::free(old);
        if (size != nullptr) {
            *size = 0;
        }
        return nullptr;
    }
    if (wordSize == 0 || width == 0) {
        errno = EINVAL;
        return nullptr;
    }
    ULong bits;
    size_t wordBits;
    if (__builtin_mul_overflow(nvalues, static_cast<ULong>(width), &bits) ||
        __builtin_mul_overflow(wordSize, size_t{8}, &wordBits)) {
        errno = ENOMEM;
        return nullptr;
    }
    ULong words = bits / wordBits + (bits % wordBits != 0 ? 1 : 0);
    size_t bytes;
    if (__builtin_mul_overflow(words, wordSize, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block;
    if (old == nullptr) {
        block = std::calloc(words, wordSize);
    } else {
        // Without the old size there is no telling which bytes are the caller's, so none are cleared.
        size_t oldBytes = size != nullptr ? *size : bytes;
        block = std::realloc(old, bytes);
        if (block != nullptr && bytes > oldBytes) {
            std::memset(static_cast<char*>(block) + oldBytes, 0, bytes - oldBytes);
        }
    }
    if (block == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (size != nullptr) {
        *size = bytes;
    }
    return block;
}

ZK_EXPORT void AnonArrayFree_(void* block, const char* /*path*/, int /*line*/) { std::free(block); }

}  // extern "C"
