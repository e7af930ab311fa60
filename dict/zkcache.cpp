// The memory cache: creation and deletion, and the public calls that are not stores or reads
// (zkcache_access.cpp). The index gate lives in zkcache_index.cpp, the page lists and blocks in
// zkcache_pages.cpp, the age histogram in zkcache_histogram.cpp, the collector thread in
// zkcache_gc.cpp, and the test-only checker in zkcache_check.cpp.
#include "dict/zkcache.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <new>

#include <unistd.h>

#include "dict/lock_guard.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

constexpr const char* kModule = "zkdict";

// Nodes the index is made with: room for as many blocks before its array first grows.
constexpr UInt kIndexNodes = 100000;

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
    ResetPage(page);
    page->p_end = reinterpret_cast<char*>(page) + pageSize;
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
            AddFreePage(cache, page, ListEnd::kHead, ListLock::kHeld);
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

}  // namespace

// ---- creation and deletion --------------------------------------------------------------------------

Cache* CacheNewInternal(UInt regionSize, UInt pageSize, double safetyThreshold, double gcLowThreshold,
                        double gcHighThreshold, UInt generationTime, ULong size, Collector collector) {
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
    cache->c_dict = ZKAVLLDictNew(kIndexNodes);
    Path(cache)->dict = cache->c_dict;
    InitShortHeldMutex(&cache->c_dict_lock);
    if (!CacheAddRegions(cache, nregions)) {
        const int err = errno;
        ZKCacheDelete(cache);
        errno = err;
        return nullptr;
    }
    BuildReadPath(impl);
    if (collector == Collector::kThread) {
        cache->c_gc_thread = ThreadCreate_(CacheGCMain, cache, 0, __FILE__, __LINE__);
        MutexLock lock(&cache->c_alloc_mutex);
        while (!cache->c_gc_started) ConditionWait(&cache->c_start_cond, &cache->c_alloc_mutex);
    }
    return cache;
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
                                generationTime, size, zk::Collector::kThread);
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

}  // extern "C"
