// The replacement allocation functions behind LiveHeapBytes (alloc_count.h). Every benchmark program
// links them from here, once; a second definition in a program would be a link error.
#include "bench/support/alloc_count.h"

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace zkbench {

namespace heap_detail {

// Usable sizes, not requested sizes: what a container really holds on to includes the allocator's
// rounding, and that is what its users pay for.
//
// The update is a relaxed load and store rather than a locked add. Every structure is built and
// measured on the benchmark's own thread. The hook already costs the peers a malloc_usable_size call
// per allocation (a few percent of a node-based peer's insertion time, which flatters our table, whose
// blocks bypass it), and a locked add would make that worse. If a program ever allocates from two
// threads at once, updates may be lost and the memory figures blur; nothing else breaks.
std::atomic<std::int64_t> live{0};

namespace {

void* Counted(void* p) noexcept {
    if (p != nullptr) {
        live.store(live.load(std::memory_order_relaxed) + static_cast<std::int64_t>(malloc_usable_size(p)),
                   std::memory_order_relaxed);
    }
    return p;
}

void Release(void* p) noexcept {
    if (p != nullptr) {
        live.store(live.load(std::memory_order_relaxed) - static_cast<std::int64_t>(malloc_usable_size(p)),
                   std::memory_order_relaxed);
        std::free(p);
    }
}

void* Allocate(std::size_t n) noexcept { return Counted(std::malloc(n != 0 ? n : 1)); }

void* AllocateAligned(std::size_t n, std::align_val_t align) noexcept {
    void* p = nullptr;
    const std::size_t a = std::max(static_cast<std::size_t>(align), sizeof(void*));
    if (posix_memalign(&p, a, n != 0 ? n : 1) != 0) return nullptr;
    return Counted(p);
}

}  // namespace

}  // namespace heap_detail

void ReleaseFreeHeap() { malloc_trim(0); }

}  // namespace zkbench

using zkbench::heap_detail::Allocate;
using zkbench::heap_detail::AllocateAligned;
using zkbench::heap_detail::Release;

void* operator new(std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = AllocateAligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = AllocateAligned(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateAligned(n, a);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
