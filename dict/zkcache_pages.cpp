// The memory cache's pages: the free and full page lists, the free-page tests that decide who may
// take a page, and the blocks of a page.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dict/lock_guard.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

// c_alloc_mutex for a list call, unless its caller holds it already.
struct AllocHold {
    AllocHold(Cache* cache, ListLock lock)
        : mutex(lock == ListLock::kTake ? &cache->c_alloc_mutex : nullptr) {}
    void Acquire(const char* path, int line, const char* function) {
        if (mutex != nullptr) Lock(mutex, path, line, function);
    }
    void Release() {
        if (mutex != nullptr) Unlock(mutex);
    }
    pthread_mutex_t* mutex;
};
using AllocLock = ScopedLock<AllocHold>;

// 100 x F <= threshold, with F the free share of all pages. The page total is 64-bit: the count of
// regions times their pages is bounded by 32 bits at creation, but not the product of two UInts.
bool FreeShareAtMost(const Cache* cache, double threshold) {
    const double total = double(ULong(cache->c_region_size) * cache->c_regions.length);
    return 100.0 * (double(cache->c_nb_free_pages) / total) <= threshold;
}

// The link of a page that leads off the list at end, and the one that leads back into it.
template <ListEnd end>
constexpr Page* Page::*kOutward = end == ListEnd::kHead ? &Page::p_prev : &Page::p_next;
template <ListEnd end>
constexpr Page* Page::*kInward = end == ListEnd::kHead ? &Page::p_next : &Page::p_prev;

}  // namespace

// ---- page lists -------------------------------------------------------------------------------------

// condition is the failed check as the record's fields word it, with the list's name for each %s.
void PageList::Broken(const char* condition, int line, const char* function) const {
    char text[160];
    std::snprintf(text, sizeof text, condition, name_, name_, name_);
    ZKAssertFail_(text, __FILE__, line, function);
}

#define ZK_LIST_ASSERT(cond, condition) ((cond) ? (void)0 : Broken(condition, __LINE__, ZK_ASSERT_FUNCTION))

template <ListEnd end>
void PageList::PushAt(Page* page) {
    Page*& edge = end == ListEnd::kHead ? head_ : tail_;
    if (head_ == nullptr) {
        page->p_next = page->p_prev = nullptr;
        head_ = tail_ = page;
    } else {
        page->*kOutward<end> = nullptr;
        page->*kInward<end> = edge;
        edge->*kOutward<end> = page;
        edge = page;
    }
    ++count_;
}

template <ListEnd end>
Page* PageList::PopAt() {
    constexpr bool atHead = end == ListEnd::kHead;
    Page*& edge = atHead ? head_ : tail_;
    Page*& farEdge = atHead ? tail_ : head_;
    Page* result = edge;
    ZK_LIST_ASSERT(result->*kOutward<end> == nullptr,
                   atHead ? "result->p_prev == NULL" : "result->p_next == NULL");
    edge = result->*kInward<end>;
    if (edge != nullptr) {
        ZK_LIST_ASSERT(edge->*kOutward<end> == result,
                       atHead ? "cache->c_%s_head->p_prev == result" : "cache->c_%s_tail->p_next == result");
        edge->*kOutward<end> = nullptr;
    } else {
        ZK_LIST_ASSERT(farEdge == result,
                       atHead ? "cache->c_%s_tail == result" : "cache->c_%s_head == result");
        farEdge = nullptr;
    }
    result->p_next = result->p_prev = nullptr;
    ZK_LIST_ASSERT(count_ > 0, "cache->c_nb_%s_pages > 0");
    --count_;
    ZK_LIST_ASSERT(count_ > 0 || (head_ == nullptr && tail_ == nullptr),
                   "cache->c_nb_%s_pages > 0 || (cache->c_%s_head == NULL && cache->c_%s_tail == NULL)");
    return result;
}

#undef ZK_LIST_ASSERT

void PageList::Push(ListEnd end, Page* page) {
    if (end == ListEnd::kHead) {
        PushAt<ListEnd::kHead>(page);
    } else {
        PushAt<ListEnd::kTail>(page);
    }
}

Page* PageList::Pop(ListEnd end) {
    if (head_ == nullptr) return nullptr;
    return end == ListEnd::kHead ? PopAt<ListEnd::kHead>() : PopAt<ListEnd::kTail>();
}

void AddFreePage(Cache* cache, Page* page, ListEnd end, ListLock lock) {
    AllocLock allocLock(AllocHold{cache, lock});
    FreePages(cache).Push(end, page);
}

void AddFullPage(Cache* cache, Page* page, ListEnd end, ListLock lock) {
    AllocLock allocLock(AllocHold{cache, lock});
    FullPages(cache).Push(end, page);
}

Page* GetFreePage(Cache* cache, ListEnd end, Reserve reserve, ListLock lock) {
    AllocLock allocLock(AllocHold{cache, lock});
    if (reserve == Reserve::kKeep && GCSafetyThreshold(cache)) return nullptr;
    Page* page = FreePages(cache).Pop(end);
    if (page == nullptr) return nullptr;
    // A sleeping collector only needs to look again once free pages run low; waking it for every
    // store would cost each store a context switch and a turn of the list mutex. It still looks by
    // itself once a second.
    if (GCLowThreshold(cache)) ConditionSignal(&cache->c_alloc_cond);
    return page;
}

Page* GetFullPage(Cache* cache, ListEnd end, ListLock lock) {
    AllocLock allocLock(AllocHold{cache, lock});
    return FullPages(cache).Pop(end);
}

// The count test comes first, so a cache without pages never divides.
bool GCSafetyThreshold(const Cache* cache) {
    return cache->c_nb_free_pages <= kLowFreePages || FreeShareAtMost(cache, cache->c_safety_threshold);
}

bool GCLowThreshold(const Cache* cache) {
    return cache->c_nb_free_pages <= kLowFreePages || FreeShareAtMost(cache, cache->c_gc_low_threshold);
}

bool GCHighThreshold(const Cache* cache) {
    return cache->c_nb_free_pages > kLowFreePages && !FreeShareAtMost(cache, cache->c_gc_high_threshold);
}

// ---- pages and blocks -------------------------------------------------------------------------------

CacheBlock* PageAddBlockUnlocked(Page* page, const CacheBlock* block, size_t size) {
    auto* added = reinterpret_cast<CacheBlock*>(page->p_alloc_ptr);
    if (page->p_last != nullptr) {
        ZK_ASSERT(page->p_last->b_next == NULL);
        page->p_last->b_next = added;
    }
    page->p_last = added;
    if (block != nullptr) std::memcpy(static_cast<void*>(added), block, size);
    added->b_next = nullptr;
    page->p_alloc_ptr = AlignUp8(page->p_alloc_ptr + size);
    return added;
}

Page* PageOfBlock(const Cache* cache, const void* block) {
    const ReadPath* path = Path(cache);
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const RegionSpan* begin = path->spans;
    const RegionSpan* span = std::upper_bound(begin, begin + path->nspans, address,
                                              [](std::uintptr_t a, const RegionSpan& s) { return a < s.base; });
    ZK_ASSERT(span != begin && address < (span - 1)->end);
    --span;
    const std::uintptr_t offset = address - span->base;
    return reinterpret_cast<Page*>(span->base + offset - offset % path->page_size);
}

}  // namespace zk
