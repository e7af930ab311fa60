/*
 * alloc_count.h: the live heap bytes behind the memory-per-entry figures of the peers.
 *
 * The support library replaces the global operator new and delete (alloc_count.cpp) with versions
 * that count the usable size of every block they hand out and take back, over the whole process. Our
 * structures report their own blocks exactly; the peers allocate through operator new, and the
 * difference of LiveHeapBytes across a build is what they hold.
 *
 * Threads: the programs build and measure every structure on the benchmark's own thread; see
 * alloc_count.cpp for what the counter assumes.
 */
#ifndef ZKDICT_BENCH_SUPPORT_ALLOC_COUNT_H
#define ZKDICT_BENCH_SUPPORT_ALLOC_COUNT_H

#include <atomic>
#include <cstdint>

namespace zkbench {

namespace heap_detail {
extern std::atomic<std::int64_t> live;
}  // namespace heap_detail

// Bytes currently held through operator new, over the whole process. Only differences mean anything:
// take it before building a structure and after.
inline std::int64_t LiveHeapBytes() { return heap_detail::live.load(std::memory_order_relaxed); }

// Gives the heap's free memory back to the system (the free top, and the free pages inside it), so
// that the next large allocation gets fresh pages and pays for faulting them in, whatever ran
// before. For benchmarks whose figures would otherwise depend on whether an earlier one left a big
// enough free block behind.
void ReleaseFreeHeap();

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_ALLOC_COUNT_H
