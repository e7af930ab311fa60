// The memory cache: regions and pages, the page lists, the age histogram, storing and reading.
// The collector thread lives in zkcache_gc.cpp.
//
// Lock order. c_alloc_mutex is only ever held alone. A page's p_mutex may be held while the index
// (c_dict_lock and its gate, see IndexGate) or c_histo_mutex is taken; those two are never held
// together. Only the collector holds two page mutexes, source before destination. The one exception,
// in the read path, is a trylock of a page mutex inside a lookup, which never waits and so cannot
// close a cycle.
#include "dict/zkcache.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <string>

#include <sched.h>
#include <unistd.h>

#include "dict/lock_guard.h"
#include "dict/node_array.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

constexpr const char* kModule = "zkdict";

inline char* AlignUp8(char* p) {
    return reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(p) + 7) & ~std::uintptr_t{7});
}

inline char* FirstBlock(Page* page) { return reinterpret_cast<char*>(page + 1); }

// Takes c_alloc_mutex for a list operation whose caller does not already hold it.
class AllocLock {
public:
    AllocLock(Cache* cache, bool lock, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
              const char* function = __builtin_FUNCTION())
        : mutex_(lock ? &cache->c_alloc_mutex : nullptr) {
        if (mutex_ != nullptr) Lock(mutex_, path, line, function);
    }
    ~AllocLock() {
        if (mutex_ != nullptr) Unlock(mutex_);
    }
    AllocLock(const AllocLock&) = delete;
    AllocLock& operator=(const AllocLock&) = delete;

private:
    pthread_mutex_t* mutex_;
};

// 100 x F <= threshold, with F the free share of all pages. The page total is 64-bit: the count of
// regions times their pages is bounded by 32 bits at creation, but not the product of two UInts.
bool FreeShareAtMost(const Cache* cache, double threshold) {
    const double total = double(ULong(cache->c_region_size) * cache->c_regions.length);
    return 100.0 * (double(cache->c_nb_free_pages) / total) <= threshold;
}

// Parameters the arithmetic of the cache can live with; see ZKCacheNewWithParams.
bool IsPercentage(double p) { return std::isfinite(p) && p >= 0.0 && p <= 100.0; }

// The bytes of physical memory, or the largest count when the system does not tell.
ULong PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return ~ULong{0};
    ULong bytes;
    if (__builtin_mul_overflow(ULong(pages), ULong(pageSize), &bytes)) return ~ULong{0};
    return bytes;
}

// 0 when a cache of these parameters can be made, else why not: EINVAL for parameters its
// arithmetic cannot live with, ENOMEM for more memory than the machine has. Refused here, before
// anything is mapped: a size that cannot be held would otherwise map region after region until the
// address space or the page tables give out, which takes minutes and takes the machine with it.
int ParamsError(UInt regionSize, UInt pageSize, double safety, double low, double high, UInt generationTime,
                ULong size, UInt* nregions) {
    if (regionSize == 0 || generationTime == 0) return EINVAL;
    // Page headers are placed back to back; each must be aligned for its mutex and pointers, and the
    // first block of an empty page must fit, or no store could ever succeed and the collector's
    // copy could not make progress.
    if (pageSize % 8 != 0 || pageSize < ZK_CACHE_MIN_PAGE_SIZE) return EINVAL;
    if (!IsPercentage(safety) || !IsPercentage(low) || !IsPercentage(high)) return EINVAL;
    const ULong regionBytes = ULong(regionSize) * pageSize;
    if (regionBytes > ULong(PTRDIFF_MAX)) return EINVAL;
    const ULong count = size / regionBytes;
    // The free-page count and the region array are 32-bit.
    if (count > UINT_MAX_VALUE || count * regionSize > UINT_MAX_VALUE) return EINVAL;
    if (count * regionBytes > PhysicalMemory()) return ENOMEM;
    *nregions = UInt(count);
    return 0;
}

void InitPage(Page* page, UInt pageSize) {
    MutexInit(&page->p_mutex);
    page->p_alloc_ptr = page->p_copy_ptr = FirstBlock(page);
    page->p_end = reinterpret_cast<char*>(page) + pageSize;
    page->p_last = nullptr;
    page->p_next = page->p_prev = nullptr;
}

bool CacheAddRegions(Cache* cache, UInt nb) {
    const size_t bytes = size_t(cache->c_region_size) * cache->c_page_size;
    for (UInt r = 0; r < nb; ++r) {
        void* base = MemoryMap_(bytes, __FILE__, __LINE__);
        if (base == nullptr) return false;
        MutexLock lock(&cache->c_alloc_mutex);
        RegionArray* regions = &cache->c_regions;
        if (regions->length == regions->capacity) ArrayGrow_(regions, sizeof(Region), __FILE__, __LINE__);
        regions->data[regions->length++] = Region{bytes, base};
        for (UInt i = 0; i < cache->c_region_size; ++i) {
            Page* page = reinterpret_cast<Page*>(static_cast<char*>(base) + size_t(i) * cache->c_page_size);
            InitPage(page, cache->c_page_size);
            AddFreePage(cache, page, true, false);
        }
    }
    return true;
}

// The block lookup needs regions by address; they never change after creation.
void BuildReadPath(CacheImpl* impl) {
    const RegionArray& regions = impl->cache.c_regions;
    ReadPath* path = Path(&impl->cache);
    auto* spans = static_cast<RegionSpan*>(
        Allocate_(sizeof(RegionSpan) * std::max<size_t>(regions.length, 1), nullptr, __FILE__, __LINE__));
    for (UInt i = 0; i < regions.length; ++i) {
        const auto base = reinterpret_cast<std::uintptr_t>(regions.data[i].r_base);
        spans[i] = RegionSpan{base, base + regions.data[i].r_size};
    }
    std::sort(spans, spans + regions.length, [](const RegionSpan& a, const RegionSpan& b) { return a.base < b.base; });
    path->spans = spans;
    path->nspans = regions.length;
}

}  // namespace

// ---- locks ---------------------------------------------------------------------------------------

namespace {

// The cache's list, histogram and index mutexes are held for a few dozen instructions. A thread
// that finds one taken spins a little before it sleeps: the holder is running and almost done, and
// a sleep and wake-up cost more than the whole critical section.
void InitShortHeldMutex(Mutex* mutex) {
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) == 0) {
        const bool typed = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP) == 0;
        const bool made = typed && pthread_mutex_init(mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
        if (made) return;
    }
#endif
    MutexInit(mutex);
}

// Waits for another thread that is running to make done() true: it only ever has one index operation
// left to finish. A short spin first; then the core is yielded, so that with more threads than cores
// a holder that was preempted gets to run.
template <class Done>
void SpinUntil(Done done) {
    for (int spins = 0; !done(); ++spins) {
        if (spins < 256) {
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
IndexReadLock::IndexReadLock(Cache* cache) : gate_(Gate(cache)) {
    for (;;) {
        SpinUntil([this] { return gate_->writing.load(std::memory_order_relaxed) == 0; });
        LockBoundary();
        gate_->readers.fetch_add(1, std::memory_order_seq_cst);
        LockBoundary();
        if (gate_->writing.load(std::memory_order_seq_cst) == 0) return;
        gate_->readers.fetch_sub(1, std::memory_order_release);
    }
}

IndexReadLock::~IndexReadLock() {
    LockBoundary();
    gate_->readers.fetch_sub(1, std::memory_order_release);
}

IndexWriteLock::IndexWriteLock(Cache* cache, const char* path, int line, const char* function) : cache_(cache) {
    Lock(&cache->c_dict_lock, path, line, function);
    IndexGate* gate = Gate(cache);
    gate->writing.store(1, std::memory_order_seq_cst);
    LockBoundary();
    SpinUntil([gate] { return gate->readers.load(std::memory_order_seq_cst) == 0; });
}

IndexWriteLock::~IndexWriteLock() {
    Gate(cache_)->writing.store(0, std::memory_order_release);
    Unlock(&cache_->c_dict_lock);
}

CacheBlock* IndexLookup(Cache* cache, FPrint fp) {
    const AVLLDict* dict = Path(cache)->dict;
    const NodeIndex x = ReadOnlyFind(dict->d_nodes, AVLLDictKey(fp));
    return x != kZeroNode ? reinterpret_cast<CacheBlock*>(dict->d_nodes[x].n_value) : nullptr;
}

// Walks a change's path through the index as a lookup, side by side with other lookups, so that the
// change itself, which holds the index alone, finds the path in cache instead of missing on every
// level below the top.
void WarmIndexPath(Cache* cache, FPrint fp) {
    IndexReadLock indexLock(cache);
    CacheBlock* found = IndexLookup(cache, fp);
    __asm__ __volatile__("" : : "r"(found));  // the walk is the point, not its result
}

// ---- storing --------------------------------------------------------------------------------------

WriteResult PageWriteBlock(Cache* cache, Page* page, FPrint fp, const UByte* key, size_t keyLen, const UByte* value,
                           UInt size, ULong expires) {
    const size_t bsize = keyLen + 1 + size;
    const size_t need = sizeof(CacheBlock) + bsize;
    MutexLock pageLock(&page->p_mutex);
    if (size_t(page->p_end - page->p_alloc_ptr) < need) {
        return ULong(cache->c_page_size) < sizeof(Page) + ULong(need) ? WriteResult::kTooLarge : WriteResult::kNoRoom;
    }
    CacheBlock* block = PageAddBlockUnlocked(page, nullptr, need);
    const ULong now = GetCurrentTimeMilliseconds();
    block->b_key = fp;
    block->b_size = bsize;
    block->b_created = now;
    block->b_expires = expires;
    block->b_accessed = now;
    block->b_page = page;
    char* data = reinterpret_cast<char*>(block + 1);
    std::memcpy(data, key, keyLen + 1);
    if (size != 0) std::memcpy(data + keyLen + 1, value, size);
    WarmIndexPath(cache, fp);
    {
        IndexWriteLock indexLock(cache);
        ZKAVLLDictInsert(cache->c_dict, fp, reinterpret_cast<std::uintptr_t>(block), 0);
    }
    {
        MutexLock histoLock(&cache->c_histo_mutex);
        ShiftHistogram(cache, now);
        const int slot = GetHistogramIndex(cache, now);
        if (slot >= 0) ++cache->c_age_histogram[slot];
        ++cache->c_nb_objects;
        cache->c_total_size += bsize;
    }
    return WriteResult::kWritten;
}

namespace {

// ---- reading --------------------------------------------------------------------------------------

// A read records its access in the histogram only when the access moves the block to another slot.
// The usual read finds a block read or stored within the same generation, so the slots are compared
// first against the reference time read without the lock: a shift racing with the comparison can at
// worst leave one count in the neighbouring slot, and the histogram is an estimate anyway. This keeps
// reads from writing a line that every reading thread shares.
void RecordAccess(Cache* cache, ULong oldTime, ULong newTime) {
    const ULong updated = std::atomic_ref<ULong>(cache->c_histo_updated).load(std::memory_order_relaxed);
    const UInt generation = cache->c_generation_time;
    if (newTime <= updated &&
        HistogramSlot(oldTime, updated, generation) == HistogramSlot(newTime, updated, generation)) {
        return;
    }
    MutexLock histoLock(&cache->c_histo_mutex);
    RecordAccessLocked(cache, oldTime, newTime);
}

// Asks for the lines a read of a block touches once the index has named it: its page's header, whose
// mutex comes first, and the block's header, key and value, as far as four lines from the header on
// reach (a key of a few dozen bytes and a value of about 150). Issued together the moment the index
// yields the address, their misses overlap each other and the clock read instead of following one
// another. The block may have moved by then; fetching its old bytes costs a fetch and nothing else.
inline void PrefetchBlock(const Page* page, const CacheBlock* block) {
    const char* at = reinterpret_cast<const char*>(block);
    __builtin_prefetch(at, 1);  // b_accessed is written
    __builtin_prefetch(at + 64);
    __builtin_prefetch(at + 128);
    __builtin_prefetch(at + 192);
    __builtin_prefetch(page, 1);
}

// The block the index names under fp, returned with its page locked in *pageLock and the index seen
// to still name it; NULL when the index names none. The block's own fields say nothing until then:
// the collector may have moved it, reset its page and let a store reuse the bytes. So the page comes
// from the block's address, not from b_page. *now receives the time of the read, taken while the
// block's lines are on their way rather than before the descent, where nothing hid its cost; it is
// left alone when NULL is returned.
CacheBlock* LockIndexedBlock(Cache* cache, FPrint fp, HeldMutex* pageLock, ULong* now) {
    for (;;) {
        CacheBlock* block;
        Page* page;
        {
            IndexReadLock indexLock(cache);
            block = IndexLookup(cache, fp);
            if (block == nullptr) return nullptr;
            page = PageOfBlock(cache, block);
            PrefetchBlock(page, block);
            *now = GetCurrentTimeMilliseconds();
            // Usually the page is free: taking it here, while the index still names the block, saves
            // a second lookup. Waiting for it here could deadlock with the collector, so only try.
            if (TryLock(&page->p_mutex)) pageLock->Adopt(&page->p_mutex);
        }
        bool confirmed = true;
        if (!pageLock->Held()) {
            Lock(&page->p_mutex);
            pageLock->Adopt(&page->p_mutex);
            IndexReadLock indexLock(cache);
            confirmed = IndexLookup(cache, fp) == block;
        }
        if (!confirmed) {
            pageLock->Release();
            Impl(cache)->counters.read_retries.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // Every block the index names is valid, and validity only ends under the page mutex we hold.
        ZK_ASSERT(BLOCK_VALID(block));
        ZK_ASSERT(block->b_key == fp);
        ZK_ASSERT(block->b_page == page);
        return block;
    }
}

// The shared body of both reads. Exactly one of dynBuffer and statBuffer is set.
Boolean PageReadBlock(Cache* cache, FPrint fp, const UByte* key, UByteArray* dynBuffer, void* statBuffer,
                      UInt bufSize, UInt* dataSize) {
    // The line RecordAccess reads at the end shares its neighbours with what every store writes; its
    // miss then overlaps the descent instead of ending the read.
    __builtin_prefetch(&cache->c_histo_updated);
    ULong now = 0;
    HeldMutex pageLock;
    CacheBlock* block = LockIndexedBlock(cache, fp, &pageLock, &now);
    const char* stored = block != nullptr ? BlockKey(block) : nullptr;
    if (stored == nullptr || block->b_expires <= now || std::strcmp(stored, reinterpret_cast<const char*>(key))) {
        pageLock.Release();
        if (dataSize != nullptr) *dataSize = 0;
        return FALSE;
    }
    const size_t keyBytes = std::strlen(stored) + 1;
    const size_t valueSize = block->b_size - keyBytes;
    const UByte* value = reinterpret_cast<const UByte*>(stored + keyBytes);
    Boolean result = FALSE;
    if (dynBuffer != nullptr) {
        const ULong need = ULong(dynBuffer->length) + valueSize;
        if (need <= ZK_ARRAY_MAX_CAPACITY) {
            if (dynBuffer->capacity < need) {
                ArrayGrowExact_(dynBuffer, ArrayNextSize(dynBuffer->capacity, UInt(need), ZK_ARRAY_MAX_CAPACITY), 1,
                                __FILE__, __LINE__);
            }
            if (valueSize != 0) std::memcpy(dynBuffer->data + dynBuffer->length, value, valueSize);
            dynBuffer->length = UInt(need);
            result = TRUE;
        }
    } else {
        if (dataSize != nullptr) *dataSize = UInt(valueSize);
        if (valueSize <= bufSize) {
            // Without a buffer bufSize is 0, so nothing is copied; saying so keeps GCC's inlining into
            // the dynamic read, which passes none, from warning about a copy to NULL.
            if (valueSize != 0 && statBuffer != nullptr) std::memcpy(statBuffer, value, valueSize);
            result = TRUE;
        }
    }
    // A read that found the block counts as an access even when the buffer was too small: the
    // caller will be back for it. A store or read that came after this read began keeps its time.
    const ULong oldAccess = block->b_accessed;
    if (oldAccess < now) block->b_accessed = now;
    pageLock.Release();
    if (result && oldAccess < now) RecordAccess(cache, oldAccess, now);
    return result;
}

// Removing an entry lets its block go as the collector lets an expired one go: the index entry goes
// and the block turns invalid, leaving the page's bytes for the collector to reclaim when it empties
// the page. An expired entry goes too, but reads as absent, as it does to a read.
Boolean PageRemoveBlock(Cache* cache, FPrint fp, const UByte* key) {
    ULong now = 0;
    HeldMutex pageLock;
    CacheBlock* block = LockIndexedBlock(cache, fp, &pageLock, &now);
    // A block of another key with the same fingerprint holds the entry: this key is absent.
    if (block == nullptr || std::strcmp(BlockKey(block), reinterpret_cast<const char*>(key)) != 0) {
        errno = ENOENT;
        return FALSE;
    }
    const bool readable = block->b_expires > now;
    DiscardBlock(cache, block);
    Impl(cache)->counters.blocks_removed.fetch_add(1, std::memory_order_relaxed);
    if (!readable) {
        errno = ENOENT;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

// ---- page lists -------------------------------------------------------------------------------------

void AddFreePage(Cache* cache, Page* page, bool head, bool lock) {
    AllocLock allocLock(cache, lock);
    if (cache->c_free_head == nullptr) {
        page->p_next = page->p_prev = nullptr;
        cache->c_free_head = cache->c_free_tail = page;
    } else if (head) {
        page->p_prev = nullptr;
        page->p_next = cache->c_free_head;
        cache->c_free_head->p_prev = page;
        cache->c_free_head = page;
    } else {
        page->p_next = nullptr;
        page->p_prev = cache->c_free_tail;
        cache->c_free_tail->p_next = page;
        cache->c_free_tail = page;
    }
    ++cache->c_nb_free_pages;
}

void AddFullPage(Cache* cache, Page* page, bool head, bool lock) {
    AllocLock allocLock(cache, lock);
    if (cache->c_full_head == nullptr) {
        page->p_next = page->p_prev = nullptr;
        cache->c_full_head = cache->c_full_tail = page;
    } else if (head) {
        page->p_prev = nullptr;
        page->p_next = cache->c_full_head;
        cache->c_full_head->p_prev = page;
        cache->c_full_head = page;
    } else {
        page->p_next = nullptr;
        page->p_prev = cache->c_full_tail;
        cache->c_full_tail->p_next = page;
        cache->c_full_tail = page;
    }
    ++cache->c_nb_full_pages;
}

Page* GetFreePage(Cache* cache, bool head, bool lock, bool force) {
    AllocLock allocLock(cache, lock);
    if (!force && GCSafetyThreshold(cache)) return nullptr;
    if (cache->c_free_head == nullptr) return nullptr;
    Page* result;
    if (head) {
        result = cache->c_free_head;
        ZK_ASSERT(result->p_prev == NULL);
        cache->c_free_head = result->p_next;
        if (cache->c_free_head != nullptr) {
            ZK_ASSERT(cache->c_free_head->p_prev == result);
            cache->c_free_head->p_prev = nullptr;
        } else {
            ZK_ASSERT(cache->c_free_tail == result);
            cache->c_free_tail = nullptr;
        }
    } else {
        result = cache->c_free_tail;
        ZK_ASSERT(result->p_next == NULL);
        cache->c_free_tail = result->p_prev;
        if (cache->c_free_tail != nullptr) {
            ZK_ASSERT(cache->c_free_tail->p_next == result);
            cache->c_free_tail->p_next = nullptr;
        } else {
            ZK_ASSERT(cache->c_free_head == result);
            cache->c_free_head = nullptr;
        }
    }
    result->p_next = result->p_prev = nullptr;
    ZK_ASSERT(cache->c_nb_free_pages > 0);
    --cache->c_nb_free_pages;
    ZK_ASSERT(cache->c_nb_free_pages > 0 || (cache->c_free_head == NULL && cache->c_free_tail == NULL));
    // A sleeping collector only needs to look again once free pages run low; waking it for every
    // store would cost each store a context switch and a turn of the list mutex. It still looks by
    // itself once a second.
    if (GCLowThreshold(cache)) ConditionSignal(&cache->c_alloc_cond);
    return result;
}

Page* GetFullPage(Cache* cache, bool head, bool lock) {
    AllocLock allocLock(cache, lock);
    if (cache->c_full_head == nullptr) return nullptr;
    Page* result;
    if (head) {
        result = cache->c_full_head;
        ZK_ASSERT(result->p_prev == NULL);
        cache->c_full_head = result->p_next;
        if (cache->c_full_head != nullptr) {
            ZK_ASSERT(cache->c_full_head->p_prev == result);
            cache->c_full_head->p_prev = nullptr;
        } else {
            ZK_ASSERT(cache->c_full_tail == result);
            cache->c_full_tail = nullptr;
        }
    } else {
        result = cache->c_full_tail;
        ZK_ASSERT(result->p_next == NULL);
        cache->c_full_tail = result->p_prev;
        if (cache->c_full_tail != nullptr) {
            ZK_ASSERT(cache->c_full_tail->p_next == result);
            cache->c_full_tail->p_next = nullptr;
        } else {
            ZK_ASSERT(cache->c_full_head == result);
            cache->c_full_head = nullptr;
        }
    }
    result->p_next = result->p_prev = nullptr;
    ZK_ASSERT(cache->c_nb_full_pages > 0);
    --cache->c_nb_full_pages;
    ZK_ASSERT(cache->c_nb_full_pages > 0 || (cache->c_full_head == NULL && cache->c_full_tail == NULL));
    return result;
}

// The count test comes first, so a cache without pages never divides.
bool GCSafetyThreshold(const Cache* cache) {
    return cache->c_nb_free_pages <= 5 || FreeShareAtMost(cache, cache->c_safety_threshold);
}

bool GCLowThreshold(const Cache* cache) {
    return cache->c_nb_free_pages <= 5 || FreeShareAtMost(cache, cache->c_gc_low_threshold);
}

bool GCHighThreshold(const Cache* cache) {
    return cache->c_nb_free_pages > 5 && !FreeShareAtMost(cache, cache->c_gc_high_threshold);
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

// ---- age histogram ----------------------------------------------------------------------------------

int HistogramSlot(ULong time, ULong updated, UInt generation) {
    if (time > updated) return 0;
    const ULong span = ULong(ZK_CACHE_HISTOGRAM_SLOTS) * generation;
    if (updated >= span && time < updated - span) return -1;
    const ULong slot = (updated - time) / generation;
    return slot >= ZK_CACHE_HISTOGRAM_SLOTS ? -1 : int(slot);
}

int GetHistogramIndex(const Cache* cache, ULong time) {
    return HistogramSlot(time, cache->c_histo_updated, cache->c_generation_time);
}

void UpdateHistogram(Cache* cache, ULong oldTime, ULong newTime) {
    const int from = GetHistogramIndex(cache, oldTime);
    const int to = GetHistogramIndex(cache, newTime);
    if (from == to) return;
    if (from >= 0 && cache->c_age_histogram[from] > 0) --cache->c_age_histogram[from];
    if (to >= 0) ++cache->c_age_histogram[to];
}

// The reference time is the end of the youngest generation, and is moved past an access before the
// access is counted, so that every count ages by exactly the generations the reference moves. Were
// accesses later than the reference counted in slot 0, each shift would age them one generation too
// many, and a block read more often than once a generation would never move its count back: its count
// would drift to the oldest slot and off the end, and the age limit would stop dropping anything.
void ShiftHistogram(Cache* cache, ULong now) {
    const ULong updated = cache->c_histo_updated;
    const ULong generation = cache->c_generation_time;
    if (now <= updated) return;
    const ULong passed = (now - updated + generation - 1) / generation;
    const int nb = int(std::min<ULong>(passed, ZK_CACHE_HISTOGRAM_SLOTS));
    UInt* slots = cache->c_age_histogram;
    for (int i = ZK_CACHE_HISTOGRAM_SLOTS - 1 - nb; i >= 0; --i) slots[i + nb] = slots[i];
    std::fill(slots, slots + nb, 0u);
    // Readers compare slots against this without the lock (RecordAccess).
    std::atomic_ref<ULong>(cache->c_histo_updated).store(updated + passed * generation, std::memory_order_relaxed);
}

void RecordAccessLocked(Cache* cache, ULong oldTime, ULong newTime) {
    ShiftHistogram(cache, newTime);
    UpdateHistogram(cache, oldTime, newTime);
}

// ---- creation and deletion --------------------------------------------------------------------------

Cache* CacheNewInternal(UInt regionSize, UInt pageSize, double safetyThreshold, double gcLowThreshold,
                        double gcHighThreshold, UInt generationTime, ULong size, bool startCollector) {
    UInt nregions = 0;
    if (const int err = ParamsError(regionSize, pageSize, safetyThreshold, gcLowThreshold, gcHighThreshold,
                                    generationTime, size, &nregions)) {
        errno = err;
        return nullptr;
    }
    auto* impl = new (Allocate_(sizeof(CacheImpl), nullptr, __FILE__, __LINE__)) CacheImpl{};
    new (Gate(&impl->cache)) IndexGate{};
    new (Path(&impl->cache)) ReadPath{nullptr, nullptr, 0, pageSize};
    Cache* cache = &impl->cache;
    cache->c_region_size = regionSize;
    cache->c_page_size = pageSize;
    cache->c_safety_threshold = safetyThreshold;
    cache->c_gc_low_threshold = gcLowThreshold;
    cache->c_gc_high_threshold = gcHighThreshold;
    cache->c_generation_time = generationTime;
    cache->c_gc_started = FALSE;
    cache->c_closing = FALSE;
    cache->c_histo_updated = GetCurrentTimeMilliseconds();
    ArrayInit_(&cache->c_regions);
    InitShortHeldMutex(&cache->c_alloc_mutex);
    InitShortHeldMutex(&cache->c_histo_mutex);
    ConditionInit(&cache->c_alloc_cond);
    ConditionInit(&cache->c_start_cond);
    cache->c_dict = ZKAVLLDictNew(100000);
    Path(cache)->dict = cache->c_dict;
    InitShortHeldMutex(&cache->c_dict_lock);
    if (!CacheAddRegions(cache, nregions)) {
        const int err = errno;
        ZKCacheDelete(cache);
        errno = err;
        return nullptr;
    }
    BuildReadPath(impl);
    if (startCollector) {
        cache->c_gc_thread = ThreadCreate_(CacheGCMain, cache, 0, __FILE__, __LINE__);
        MutexLock lock(&cache->c_alloc_mutex);
        while (!cache->c_gc_started) ConditionWait(&cache->c_start_cond, &cache->c_alloc_mutex);
    }
    return cache;
}

// ---- checking ---------------------------------------------------------------------------------------

namespace {

struct IndexCheck {
    const Cache* cache;
    const std::set<const CacheBlock*>* valid;
    std::string fault;
};

Boolean CheckIndexEntry(AVLLDict* /*dict*/, AVLLDictKey key, AVLLDictValue value, void* arg) {
    auto* check = static_cast<IndexCheck*>(arg);
    const auto* block = reinterpret_cast<const CacheBlock*>(value);
    if (check->valid->count(block) == 0) {
        check->fault = "index entry " + std::to_string(key) + " names no valid block";
        return FALSE;
    }
    if (block->b_key != key) {
        check->fault = "index entry " + std::to_string(key) + " names a block of another fingerprint";
        return FALSE;
    }
    return TRUE;
}

std::string CheckList(Cache* cache, Page* head, Page* tail, UInt count, const char* name,
                      std::set<Page*>* seen) {
    UInt n = 0;
    Page* prev = nullptr;
    for (Page* p = head; p != nullptr; prev = p, p = p->p_next) {
        if (p->p_prev != prev) return std::string(name) + " list: broken back link";
        if (!seen->insert(p).second) return std::string(name) + " list: a page is listed twice";
        if (PageOfBlock(cache, p) != p) return std::string(name) + " list: not a page address";
        if (++n > count) return std::string(name) + " list: longer than its count";
    }
    if (prev != tail) return std::string(name) + " list: tail is not the last page";
    if (n != count) return std::string(name) + " list: count " + std::to_string(count) + ", length " + std::to_string(n);
    return "";
}

}  // namespace

std::string CheckCache(Cache* cache) {
    std::set<Page*> seen;
    std::string fault = CheckList(cache, cache->c_free_head, cache->c_free_tail, cache->c_nb_free_pages, "free", &seen);
    if (!fault.empty()) return fault;
    fault = CheckList(cache, cache->c_full_head, cache->c_full_tail, cache->c_nb_full_pages, "full", &seen);
    if (!fault.empty()) return fault;
    const ULong pages = ULong(cache->c_regions.length) * cache->c_region_size;
    if (seen.size() != pages) return "pages on the lists: " + std::to_string(seen.size()) + " of " + std::to_string(pages);

    std::set<const CacheBlock*> valid;
    ULong objects = 0, bytes = 0;
    for (Page* page : seen) {
        if (page->p_copy_ptr != FirstBlock(page)) return "p_copy_ptr is not the first byte after the header";
        if (page->p_end != reinterpret_cast<char*>(page) + cache->c_page_size) return "p_end is not the page end";
        char* expect = FirstBlock(page);
        CacheBlock* last = nullptr;
        for (CacheBlock* b = page->p_last != nullptr ? reinterpret_cast<CacheBlock*>(page->p_copy_ptr) : nullptr;
             b != nullptr; b = b->b_next) {
            if (reinterpret_cast<char*>(b) != expect) return "block chain skips or overlaps bytes";
            expect = AlignUp8(expect + sizeof(CacheBlock) + b->b_size);
            if (expect > page->p_end) return "block runs past the page end";
            last = b;
            if (!BLOCK_VALID(b)) continue;
            if (b->b_page != page) return "b_page does not name the block's page";
            ++objects;
            bytes += b->b_size;
            valid.insert(b);
        }
        if (last != page->p_last) return "p_last is not the end of the chain";
        if (expect != page->p_alloc_ptr) return "p_alloc_ptr is not behind the last block";
    }
    for (Page* p = cache->c_full_head; p != nullptr; p = p->p_next) {
        if (p->p_last == nullptr) return "an empty page on the full list";
    }
    if (objects != cache->c_nb_objects) {
        return "c_nb_objects " + std::to_string(cache->c_nb_objects) + ", valid blocks " + std::to_string(objects);
    }
    if (bytes != cache->c_total_size) return "c_total_size differs from the valid blocks' sizes";
    IndexCheck check{cache, &valid, ""};
    ZKAVLLDictEnumerate(cache->c_dict, FALSE, CheckIndexEntry, &check);
    return check.fault;
}

}  // namespace zk

// ---- the C interface ------------------------------------------------------------------------------------

extern "C" {

ZK_EXPORT Cache* ZKCacheNew(ULong size) {
    return ZKCacheNewWithParams(16, 1048576, 1.0, 8.0, 16.0, 60000, size);
}

ZK_EXPORT Cache* ZKCacheNewWithParams(UInt regionSize, UInt pageSize, double safetyThreshold, double gcLowThreshold,
                                      double gcHighThreshold, UInt generationTime, ULong size) {
    return zk::CacheNewInternal(regionSize, pageSize, safetyThreshold, gcLowThreshold, gcHighThreshold,
                                generationTime, size, true);
}

ZK_EXPORT void ZKCacheDelete(Cache* cache) {
    if (cache == nullptr) return;
    bool started;
    {
        zk::MutexLock lock(&cache->c_alloc_mutex);
        started = cache->c_gc_started;
        if (started) {
            cache->c_closing = TRUE;
            ConditionSignal(&cache->c_alloc_cond);
        }
    }
    if (started) ThreadJoin(cache->c_gc_thread);
    for (UInt r = 0; r < cache->c_regions.length; ++r) {
        const Region& region = cache->c_regions.data[r];
        for (UInt i = 0; i < cache->c_region_size; ++i) {
            MutexDestroy(&reinterpret_cast<Page*>(static_cast<char*>(region.r_base) + size_t(i) * cache->c_page_size)
                              ->p_mutex);
        }
        if (!MemoryUnmap_(region.r_base, region.r_size, __FILE__, __LINE__)) {
            ZKSetMessageContext2_(__FILE__, __LINE__, zk::kModule, "ZKCacheDelete", 4, 1);
            ZKMessage_(":cache: memory deallocation failed: size=%lu", static_cast<unsigned long>(region.r_size));
        }
    }
    ZKAVLLDictDelete(cache->c_dict);
    MutexDestroy(&cache->c_dict_lock);
    MutexDestroy(&cache->c_alloc_mutex);
    MutexDestroy(&cache->c_histo_mutex);
    ConditionDestroy(&cache->c_alloc_cond);
    ConditionDestroy(&cache->c_start_cond);
    if (cache->c_regions.data != nullptr) ArrayFree_(&cache->c_regions);
    zk::CacheImpl* impl = zk::Impl(cache);
    UnAllocate_(const_cast<zk::RegionSpan*>(zk::Path(cache)->spans), __FILE__, __LINE__);
    impl->~CacheImpl();
    UnAllocate_(impl, __FILE__, __LINE__);
}

ZK_EXPORT ULong ZKCacheGetSize(Cache* cache, UInt* nbObjects, ULong* objSize) {
    const ULong mapped = ULong(cache->c_regions.length) * cache->c_region_size * cache->c_page_size;
    if (nbObjects != nullptr || objSize != nullptr) {
        zk::MutexLock lock(&cache->c_histo_mutex);
        if (nbObjects != nullptr) *nbObjects = cache->c_nb_objects;
        if (objSize != nullptr) *objSize = cache->c_total_size;
    }
    return mapped;
}

ZK_EXPORT Boolean ZKCacheStore(Cache* cache, const UByte* key, const UByte* value, UInt size, ULong expires) {
    ZK_ASSERT(cache != NULL && key != NULL && (value != NULL || size == 0));
    const size_t keyLen = std::strlen(reinterpret_cast<const char*>(key));
    const FPrint fp = Fingerprint(key, keyLen);
    for (int attempt = 0; attempt < 10; ++attempt) {
        Page* page = zk::GetFreePage(cache, false, true, false);
        if (page == nullptr) return FALSE;
        switch (zk::PageWriteBlock(cache, page, fp, key, keyLen, value, size, expires)) {
        case zk::WriteResult::kWritten:
            zk::AddFreePage(cache, page, true, true);
            return TRUE;
        case zk::WriteResult::kTooLarge:
            zk::AddFreePage(cache, page, true, true);
            return FALSE;
        case zk::WriteResult::kNoRoom:
            zk::AddFullPage(cache, page, true, true);
            break;
        }
    }
    return FALSE;
}

ZK_EXPORT Boolean ZKCacheRemove(Cache* cache, const UByte* key) {
    if (cache == nullptr || key == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    const FPrint fp = Fingerprint(key, std::strlen(reinterpret_cast<const char*>(key)));
    return zk::PageRemoveBlock(cache, fp, key);
}

ZK_EXPORT Boolean ZKCacheGetDynamic(Cache* cache, const UByte* key, UByteArray* buffer) {
    ZK_ASSERT(cache != NULL && key != NULL && buffer != NULL);
    const FPrint fp = Fingerprint(key, std::strlen(reinterpret_cast<const char*>(key)));
    return zk::PageReadBlock(cache, fp, key, buffer, nullptr, 0, nullptr);
}

ZK_EXPORT Boolean ZKCacheGetStatic(Cache* cache, const UByte* key, void* buffer, UInt bufSize, UInt* dataSize) {
    ZK_ASSERT(cache != NULL && key != NULL && (buffer != NULL || bufSize == 0));
    const FPrint fp = Fingerprint(key, std::strlen(reinterpret_cast<const char*>(key)));
    return zk::PageReadBlock(cache, fp, key, nullptr, buffer, bufSize, dataSize);
}

}  // extern "C"
