// The memory cache's index gate: lookups share the index, every change to it holds it alone. The
// index itself is the 64-bit AVL tree of dict/avlldict.h, reached only through its calls.
#include <atomic>

#include <sched.h>

#include "dict/lock_guard.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

// Pauses before a waiter gives up its core: long enough for a running holder to finish one index
// operation, short enough not to keep a preempted one from running.
constexpr int kSpinsBeforeYield = 256;

// Waits for another thread that is running to make done() true: it only ever has one index operation
// left to finish. A short spin first; then the core is yielded, so that with more threads than cores
// a holder that was preempted gets to run.
template <class Done>
void SpinUntil(Done done) {
    for (int spins = 0; !done(); ++spins) {
        if (spins < kSpinsBeforeYield) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__)
            __asm__ __volatile__("yield");
#endif
        } else {
            sched_yield();
        }
    }
}

}  // namespace

// A lookup enters only with the gate open and counted, checked in that order: with both sides
// sequentially consistent, a writer that closes the gate either sees the lookup's count or the lookup
// sees the gate closed and backs out.
void IndexReader::Acquire(const char* /*path*/, int /*line*/, const char* /*function*/) {
    for (;;) {
        SpinUntil([this] { return gate->writing.load(std::memory_order_relaxed) == 0; });
        LockBoundary();
        gate->readers.fetch_add(1, std::memory_order_seq_cst);
        LockBoundary();
        if (gate->writing.load(std::memory_order_seq_cst) == 0) return;
        gate->readers.fetch_sub(1, std::memory_order_release);
    }
}

void IndexWriter::Acquire(const char* path, int line, const char* function) {
    Lock(&cache->c_dict_lock, path, line, function);
    IndexGate* gate = Gate(cache);
    gate->writing.store(1, std::memory_order_seq_cst);
    LockBoundary();
    SpinUntil([gate] { return gate->readers.load(std::memory_order_seq_cst) == 0; });
}

void IndexWriter::Release() {
    Gate(cache)->writing.store(0, std::memory_order_release);
    Unlock(&cache->c_dict_lock);
}

// Walks a change's path through the index as a lookup, side by side with other lookups, so that the
// change itself, which holds the index alone, finds the path in cache instead of missing on every
// level below the top.
void WarmIndexPath(Cache* cache, FPrint fp) {
    IndexReadLock indexLock(cache);
    CacheBlock* found = IndexLookup(cache, fp);
    __asm__ __volatile__("" : : "r"(found));  // the walk is the point, not its result
}

}  // namespace zk
