// The memory cache's age histogram: how many blocks were last read in each generation back from a
// reference time. The collector reads its age limit from it (zkcache_gc.cpp).
#include <algorithm>
#include <atomic>

#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {

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

}  // namespace zk
