// huge_pages.h: the hint every large random-access array of the library gives the kernel.
#ifndef ZKDICT_DICT_HUGE_PAGES_H
#define ZKDICT_DICT_HUGE_PAGES_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace zk {

// Asks for transparent huge pages over every page a large block (several MiB) touches: slot
// tables, data areas, node arrays, function tables. Lookups land at random in them, and with 4 KiB
// pages most of them pay for a page-table walk on top of the cache miss; filling a block costs a
// fault per 2 MiB instead of one per 4 KiB. A hint only: smaller blocks, and kernels without the
// feature, are left as they are, and nothing depends on it. The advice covers whole pages, the
// block's first and last included, so that a mapping keeps one set of attributes throughout: a
// mapping split in two by partial advice could no longer be resized in place.
inline void AdviseHugePages(void* block, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr size_t kWorthIt = size_t(4) << 20;
    if (block == nullptr || bytes < kWorthIt) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t start = uintptr_t(block) & ~(page - 1);
    const uintptr_t end = (uintptr_t(block) + bytes + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)block, (void)bytes;
#endif
}

}  // namespace zk

#endif  // ZKDICT_DICT_HUGE_PAGES_H
