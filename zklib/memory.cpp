// Heap blocks and anonymous page mappings.

#include "zklib/zklib.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A zero-byte request still gets a real block or page, so that every successful call hands back
// something the matching release call accepts.
size_t AtLeastOne(size_t size) { return size != 0 ? size : 1; }

size_t PageSize() {
    static const size_t page = [] {
        long value = sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<size_t>(value) : size_t{4096};
    }();
    return page;
}

}  // namespace

extern "C" {

ZK_EXPORT void* Allocate_(size_t size, void* old, const char* path, int line) {
    size_t bytes = AtLeastOne(size);
    void* block = old != nullptr ? std::realloc(old, bytes) : std::malloc(bytes);
    if (block == nullptr) {
        ZKSetMessageContext2_(path, line, "zklib", "Allocate", 4, 0);
        ZKMessage_("memory allocation failed: size=%zu", size);
        std::abort();  // not reached: a fatal report stops the process
    }
    return block;
}

ZK_EXPORT void UnAllocate_(void* block, const char* /*path*/, int /*line*/) { std::free(block); }

ZK_EXPORT void* MemoryMap_(size_t size, const char* /*path*/, int /*line*/) {
    void* block = mmap(nullptr, AtLeastOne(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block != MAP_FAILED ? block : nullptr;
}

ZK_EXPORT void* MemoryRemap_(void* block, size_t oldSize, size_t newSize, const char* path, int line) {
    if (block == nullptr) {
        return MemoryMap_(newSize, path, line);
    }
    size_t oldBytes = AtLeastOne(oldSize);
    size_t newBytes = AtLeastOne(newSize);
    void* moved = mremap(block, oldBytes, newBytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        return nullptr;
    }
    // Pages the kernel adds are zero, but the rest of the old last page is not: it may hold bytes
    // from before an earlier shrink. Clear it so the whole new tail reads as zero.
    if (newBytes > oldBytes) {
        size_t pageEnd = (oldBytes + PageSize() - 1) / PageSize() * PageSize();
        size_t clearEnd = newBytes < pageEnd ? newBytes : pageEnd;
        if (clearEnd > oldBytes) {
            std::memset(static_cast<char*>(moved) + oldBytes, 0, clearEnd - oldBytes);
        }
    }
    return moved;
}

ZK_EXPORT Boolean MemoryUnmap_(void* block, size_t size, const char* /*path*/, int /*line*/) {
    if (block == nullptr) {
        return TRUE;
    }
    return munmap(block, AtLeastOne(size)) == 0 ? TRUE : FALSE;
}

}  // extern "C"
