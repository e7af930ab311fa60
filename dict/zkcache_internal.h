// zkcache_internal.h: the pieces of the memory cache that its own tests drive one at a time.
//
// Everything here works on a Cache made by ZKCacheNewWithParams or CacheNewInternal and follows the
// cache's lock rules: functions with a `lock` argument take c_alloc_mutex themselves when it is true,
// and the others take the locks they need. Times are passed in where a test needs to choose them.
#ifndef ZKDICT_DICT_ZKCACHE_INTERNAL_H
#define ZKDICT_DICT_ZKCACHE_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <string>

#include "dict/zkcache.h"

namespace zk {

// b_created of a block the collector moved or dropped.
inline constexpr ULong kBlockInvalid = ~ULong{0};
inline bool BlockValid(const CacheBlock* block) { return block->b_created != kBlockInvalid; }
#define BLOCK_VALID(block) (::zk::BlockValid(block))

// What the collector and the readers did, for tests and benchmarks; relaxed counters.
struct CacheCounters {
    std::atomic<ULong> blocks_copied{0};     // moved to another page, still indexed
    std::atomic<ULong> blocks_dropped{0};    // expired or older than the age limit
    std::atomic<ULong> blocks_replaced{0};   // dropped because a newer store of the key had taken
                                             //   the index entry (or a colliding key had)
    std::atomic<ULong> pages_emptied{0};     // source pages reset by a copy step
    std::atomic<ULong> pages_emergency{0};   // full pages emptied without copying
    std::atomic<ULong> read_retries{0};      // lookups started over because the block moved
    std::atomic<ULong> blocks_removed{0};    // let go by ZKCacheRemove
};

// A region's address range, for finding the page that holds a block address.
struct RegionSpan {
    std::uintptr_t base;
    std::uintptr_t end;
};

// Lets lookups share the index while keeping every change to it exclusive. Writers first take
// c_dict_lock, which orders them among themselves, then close the gate and wait for the lookups in
// progress to leave; lookups never sleep on a lock, since on a busy machine waking a sleeper costs
// more than the descent it waited for. The two words get a cache line of their own: every lookup
// writes it.
struct alignas(64) IndexGate {
    std::atomic<UInt> readers{0};   // lookups inside
    std::atomic<UInt> writing{0};   // 1 while a writer holds or waits for the index
};

// What a lookup reads before it reaches its block, copied there once the cache is built, on a line
// that nothing writes afterwards. In the Cache record these fields sit beside the free-list heads,
// c_dict_lock and the histogram's mutex, which every store writes: a read on one core would miss on
// them after each store on another before its descent could even start.
struct alignas(64) ReadPath {
    const AVLLDict* dict;     // c_dict
    const RegionSpan* spans;  // the regions sorted by base address; owned here
    UInt nspans;
    UInt page_size;           // c_page_size
};

// What a Cache* really points at: the record clients see, then what only the library uses.
struct CacheImpl {
    Cache cache;           // first, so a Cache* and its CacheImpl* are one address
    CacheCounters counters;
    char line_space[3 * 64];  // IndexGate, then ReadPath on the next line, placed on line boundaries
                              // inside it (the record comes from Allocate_, which promises less than
                              // 64-byte alignment)
};

static_assert(sizeof(IndexGate) == 64 && sizeof(ReadPath) == 64);

inline std::uintptr_t FirstLine(const Cache* cache) {
    const auto* impl = reinterpret_cast<const CacheImpl*>(cache);
    return (reinterpret_cast<std::uintptr_t>(impl->line_space) + 63) & ~std::uintptr_t(63);
}
inline IndexGate* Gate(Cache* cache) { return reinterpret_cast<IndexGate*>(FirstLine(cache)); }
inline ReadPath* Path(Cache* cache) { return reinterpret_cast<ReadPath*>(FirstLine(cache) + 64); }
inline const ReadPath* Path(const Cache* cache) { return reinterpret_cast<const ReadPath*>(FirstLine(cache) + 64); }

// Scoped holds on the index: shared for lookups that write nothing, exclusive for the rest.
class IndexReadLock {
public:
    explicit IndexReadLock(Cache* cache);
    ~IndexReadLock();
    IndexReadLock(const IndexReadLock&) = delete;
    IndexReadLock& operator=(const IndexReadLock&) = delete;

private:
    IndexGate* gate_;
};

class IndexWriteLock {
public:
    explicit IndexWriteLock(Cache* cache, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                            const char* function = __builtin_FUNCTION());
    ~IndexWriteLock();
    IndexWriteLock(const IndexWriteLock&) = delete;
    IndexWriteLock& operator=(const IndexWriteLock&) = delete;

private:
    Cache* cache_;
};

// The block the index names under fp, or NULL, for a caller holding an IndexReadLock.
CacheBlock* IndexLookup(Cache* cache, FPrint fp);
// Brings the index nodes on fp's path into this core's cache before a change under fp; holds no
// lock on return.
void WarmIndexPath(Cache* cache, FPrint fp);

inline CacheImpl* Impl(Cache* cache) { return reinterpret_cast<CacheImpl*>(cache); }

// ZKCacheNewWithParams, with the collector left unstarted when startCollector is false, so that a
// test can run its steps itself.
Cache* CacheNewInternal(UInt regionSize, UInt pageSize, double safetyThreshold, double gcLowThreshold,
                        double gcHighThreshold, UInt generationTime, ULong size, bool startCollector);

// ---- page lists ----
void AddFreePage(Cache* cache, Page* page, bool head, bool lock);
Page* GetFreePage(Cache* cache, bool head, bool lock, bool force);
void AddFullPage(Cache* cache, Page* page, bool head, bool lock);
Page* GetFullPage(Cache* cache, bool head, bool lock);
// The free-page tests; the caller holds c_alloc_mutex.
bool GCSafetyThreshold(const Cache* cache);
bool GCLowThreshold(const Cache* cache);
bool GCHighThreshold(const Cache* cache);

// ---- pages and blocks ----
CacheBlock* PageAddBlockUnlocked(Page* page, const CacheBlock* block, size_t size);
// Appends a block for the key (keyLen bytes and its NUL) and the value to a page that the caller
// took off the free list, and indexes it; kNoRoom when the page lacks room, kTooLarge when even an
// empty page would.
enum class WriteResult { kWritten, kNoRoom, kTooLarge };
WriteResult PageWriteBlock(Cache* cache, Page* page, FPrint fp, const UByte* key, size_t keyLen, const UByte* value,
                           UInt size, ULong expires);
// The page that holds the block at address block, found from the address alone.
Page* PageOfBlock(const Cache* cache, const void* block);
// The key bytes of a block (NUL-terminated) and its value.
inline const char* BlockKey(const CacheBlock* block) { return reinterpret_cast<const char*>(block + 1); }

// ---- age histogram ----
// The slot of time with reference time updated and generation width generation, or -1.
int HistogramSlot(ULong time, ULong updated, UInt generation);
// The caller holds c_histo_mutex.
int GetHistogramIndex(const Cache* cache, ULong time);
void UpdateHistogram(Cache* cache, ULong oldTime, ULong newTime);
// Moves the reference time to the end of the generation holding now (no change when now is not
// past it), ageing every slot by the generations passed.
void ShiftHistogram(Cache* cache, ULong now);
// Records that a block last accessed at oldTime was accessed at newTime.
void RecordAccessLocked(Cache* cache, ULong oldTime, ULong newTime);

// ---- collector ----
// The age limit at time now, counted back from the reference time after the histogram is brought
// up to now; takes c_histo_mutex.
ULong GCGetMinTime(Cache* cache, ULong now);
void PageCopyBlocks(Cache* cache, ULong limit, Page* pageFull, Page* pageFree, bool* fullIsEmpty, bool* freeIsFull,
                    ULong now);
void PageFreeBlocks(Cache* cache, Page* page);
// Lets a valid block go, in a page whose mutex the caller holds: its index entry, when the entry
// still names it, is removed, and the block turns invalid and leaves the counts; its bytes stay until
// the page is emptied.
void DiscardBlock(Cache* cache, CacheBlock* block);

// The collector's state between cycles.
struct CollectorState {
    bool sleeping = true;
    // The last pass ended on a round of the full list that neither discarded a block nor freed a
    // page: the next cycle waits before it copies again.
    bool stalled = false;
};
// One cycle of the collector; a sleeping collector waits up to waitMs. false once the cache closes.
bool CollectorCycle(Cache* cache, CollectorState* state, ULong waitMs);
// The collector thread's start routine: announces itself, then runs cycles until the cache closes.
void* CacheGCMain(void* arg);

// Checks a cache that no other thread is using: both lists and their counts, that every page is on
// exactly one list, every page's block chain, the object count and byte sum against the valid
// blocks, and that every index entry names a valid block of its key. Empty when sound, else the
// first fault found.
std::string CheckCache(Cache* cache);

}  // namespace zk

#endif  // ZKDICT_DICT_ZKCACHE_INTERNAL_H
