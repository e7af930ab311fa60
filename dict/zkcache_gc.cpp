// The cache's collector thread: it keeps pages with room in reserve by copying the recently read
// blocks of full pages into other pages and dropping the rest, oldest pages first, and it ages the
// access histogram from which the age limit is read.
//
// Index entries are moved or removed only when they still name the block at hand. A key stored
// again leaves its older block behind in some page; if that block took the entry back when its page
// was copied, readers would get the older value, and if it removed the entry, the newer value would
// be lost. An older block whose entry has moved on can never be read again, so it is dropped.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "dict/lock_guard.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

// How long a sleeping or stalled collector waits for a store to take a page before it looks again.
constexpr ULong kCollectorWaitMs = 1000;

bool IndexNames(const AVLLDictValue* slot, const CacheBlock* block) {
    return slot != nullptr && *slot == reinterpret_cast<std::uintptr_t>(block);
}

void ShiftIfDue(Cache* cache) {
    MutexLock histoLock(&cache->c_histo_mutex);
    ShiftHistogram(cache, GetCurrentTimeMilliseconds());
}

// No page has room even for the collector: empty whole full pages, oldest first, without copying.
void EmergencyPass(Cache* cache) {
    for (;;) {
        Page* page;
        {
            MutexLock allocLock(&cache->c_alloc_mutex);
            page = GetFullPage(cache, ListEnd::kTail, ListLock::kHeld);
            if (page == nullptr) return;
            if (!GCLowThreshold(cache)) {
                AddFullPage(cache, page, ListEnd::kTail, ListLock::kHeld);
                return;
            }
        }
        PageFreeBlocks(cache, page);
        Impl(cache)->counters.pages_emergency.fetch_add(1, std::memory_order_relaxed);
        AddFreePage(cache, page, ListEnd::kHead);
    }
}

}  // namespace

void DiscardBlock(Cache* cache, CacheBlock* block) {
    WarmIndexPath(cache, block->b_key);
    {
        IndexWriteLock indexLock(cache);
        if (IndexNames(ZKAVLLDictValueGet(cache->c_dict, block->b_key), block)) {
            ZKAVLLDictRemove(cache->c_dict, block->b_key, 0);
        }
    }
    block->b_created = kBlockInvalid;
    MutexLock histoLock(&cache->c_histo_mutex);
    const int slot = GetHistogramIndex(cache, block->b_accessed);
    if (slot >= 0 && cache->c_age_histogram[slot] > 0) --cache->c_age_histogram[slot];
    ZK_ASSERT(cache->c_nb_objects > 0 && cache->c_total_size >= block->b_size);
    --cache->c_nb_objects;
    cache->c_total_size -= block->b_size;
}

// Counted from the reference time, the end of slot 0, so that the limit falls on a slot edge: the
// slots spared survive whole and the first slot not spared is dropped whole.
ULong GCGetMinTime(Cache* cache, ULong now) {
    MutexLock histoLock(&cache->c_histo_mutex);
    ShiftHistogram(cache, now);
    ULong n = cache->c_nb_objects;
    // The threshold is a percentage in [0, 100], so the target lies in [0, n].
    const ULong target = ULong(double(n) * cache->c_gc_high_threshold / 100.0);
    ULong result = cache->c_histo_updated;
    for (int i = 0; i < ZK_CACHE_HISTOGRAM_SLOTS; ++i) {
        const UInt count = cache->c_age_histogram[i];
        if (count > n) break;
        n -= count;
        if (n < target) break;
        result = result > cache->c_generation_time ? result - cache->c_generation_time : 0;
    }
    return result;
}

void PageCopyBlocks(Cache* cache, ULong limit, Page* pageFull, Page* pageFree, bool* fullIsEmpty, bool* freeIsFull,
                    ULong now) {
    CacheCounters& counters = Impl(cache)->counters;
    // Declared in this order, the destination is released first.
    MutexLock sourceLock(&pageFull->p_mutex);
    MutexLock destinationLock(&pageFree->p_mutex);
    CacheBlock* block = pageFull->p_last != nullptr ? reinterpret_cast<CacheBlock*>(pageFull->p_copy_ptr) : nullptr;
    for (; block != nullptr; block = block->b_next) {
        if (!BLOCK_VALID(block)) continue;
        if (block->b_accessed <= limit || block->b_expires <= now) {
            DiscardBlock(cache, block);
            counters.blocks_dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const size_t size = sizeof(CacheBlock) + block->b_size;
        if (size_t(pageFree->p_end - pageFree->p_alloc_ptr) < size) {
            *fullIsEmpty = false;
            *freeIsFull = true;
            return;
        }
        // The entry moves to where the copy is about to go. A reader that finds it there must lock
        // the destination page first, and so sees the copy only once it is complete.
        auto* destination = reinterpret_cast<CacheBlock*>(pageFree->p_alloc_ptr);
        bool indexed;
        WarmIndexPath(cache, block->b_key);
        {
            IndexWriteLock indexLock(cache);
            AVLLDictValue* slot = ZKAVLLDictValueGet(cache->c_dict, block->b_key);
            indexed = IndexNames(slot, block);
            if (indexed) *slot = reinterpret_cast<std::uintptr_t>(destination);
        }
        if (!indexed) {
            DiscardBlock(cache, block);
            counters.blocks_replaced.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        CacheBlock* new_block = PageAddBlockUnlocked(pageFree, block, size);
        new_block->b_page = pageFree;
        ZK_ASSERT(BLOCK_VALID(new_block));
        block->b_created = kBlockInvalid;
        counters.blocks_copied.fetch_add(1, std::memory_order_relaxed);
    }
    ResetPage(pageFull);
    *fullIsEmpty = true;
    *freeIsFull = false;
    counters.pages_emptied.fetch_add(1, std::memory_order_relaxed);
}

void PageFreeBlocks(Cache* cache, Page* page) {
    MutexLock pageLock(&page->p_mutex);
    CacheBlock* block = page->p_last != nullptr ? reinterpret_cast<CacheBlock*>(page->p_copy_ptr) : nullptr;
    for (; block != nullptr; block = block->b_next) {
        if (BLOCK_VALID(block)) DiscardBlock(cache, block);
    }
    ResetPage(page);
}

bool CollectorCycle(Cache* cache, CollectorState* state, ULong waitMs) {
    bool closing;
    {
        MutexLock allocLock(&cache->c_alloc_mutex);
        if (state->sleeping) {
            if (GCLowThreshold(cache)) {
                state->sleeping = false;
            } else {
                ConditionTimedWait(&cache->c_alloc_cond, &cache->c_alloc_mutex, waitMs);
            }
        } else if (GCHighThreshold(cache)) {
            state->sleeping = true;
        } else if (state->stalled) {
            ConditionTimedWait(&cache->c_alloc_cond, &cache->c_alloc_mutex, waitMs);
        }
        state->stalled = false;
        closing = cache->c_closing;
    }
    if (closing) return false;
    ShiftIfDue(cache);
    if (state->sleeping) return true;

    Page* pageFull = nullptr;
    Page* pageFree = nullptr;
    // A round lasts until every page that was full as it began has been a source once. Live blocks
    // that all survive the age limit, in pages that cannot reach the high mark, would otherwise be
    // copied from page to page without pause until the limit moves, which takes a generation: a
    // round that discarded nothing ends the pass instead. (Without discards, copying gains space only
    // where an earlier walk left moved blocks behind, which one round takes care of.)
    const CacheCounters& counters = Impl(cache)->counters;
    auto discards = [&counters] { return counters.blocks_dropped.load() + counters.blocks_replaced.load(); };
    UInt roundPages = 0;
    ULong roundDiscards = 0;
    auto startRound = [&] {
        MutexLock allocLock(&cache->c_alloc_mutex);
        roundPages = cache->c_nb_full_pages + (pageFull != nullptr);
        roundDiscards = discards();
    };
    startRound();
    for (;;) {
        bool fullIsEmpty = false;
        bool freeIsFull = false;
        const ULong limit = GCGetMinTime(cache, GetCurrentTimeMilliseconds());
        if (pageFree == nullptr) {
            pageFree = GetFreePage(cache, ListEnd::kTail, Reserve::kUse);
            if (pageFree == nullptr) {
                EmergencyPass(cache);
                break;
            }
        }
        if (pageFull == nullptr) {
            pageFull = GetFullPage(cache, ListEnd::kTail);
            if (pageFull == nullptr) {
                AddFreePage(cache, pageFree, ListEnd::kTail);
                return true;
            }
        }
        PageCopyBlocks(cache, limit, pageFull, pageFree, &fullIsEmpty, &freeIsFull, GetCurrentTimeMilliseconds());
        if (fullIsEmpty) {
            AddFreePage(cache, pageFull, ListEnd::kHead);
            pageFull = nullptr;
        }
        if (freeIsFull) {
            AddFullPage(cache, pageFree, ListEnd::kHead);
            pageFree = nullptr;
        }
        ShiftIfDue(cache);
        {
            // Checking for closing here too keeps such a pass from holding deletion up.
            MutexLock allocLock(&cache->c_alloc_mutex);
            if (GCHighThreshold(cache) || cache->c_closing) break;
        }
        if (fullIsEmpty && roundPages > 0) --roundPages;
        if (fullIsEmpty && roundPages == 0) {
            if (discards() == roundDiscards) {
                state->stalled = true;
                break;
            }
            startRound();
        }
    }
    // The kept source is the next one taken; the kept destination is the next page a store fills.
    if (pageFull != nullptr) AddFullPage(cache, pageFull, ListEnd::kTail);
    if (pageFree != nullptr) AddFreePage(cache, pageFree, ListEnd::kTail);
    return true;
}

void* CacheGCMain(void* arg) {
    Cache* cache = static_cast<Cache*>(arg);
    {
        MutexLock allocLock(&cache->c_alloc_mutex);
        cache->c_gc_started = TRUE;
        ConditionSignal(&cache->c_start_cond);
    }
    CollectorState state;
    while (CollectorCycle(cache, &state, kCollectorWaitMs)) {
    }
    return nullptr;
}

}  // namespace zk
