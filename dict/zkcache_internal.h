// zkcache_internal.h: the pieces of the memory cache that its own tests drive one at a time, and
// what the cache's sources (dict/zkcache*.cpp) share.
//
// Everything here works on a Cache made by ZKCacheNewWithParams or CacheNewInternal and follows the
// cache's lock rules: functions with a ListLock argument take c_alloc_mutex themselves unless told
// that the caller holds it, and the others take the locks they need. Times are passed in where a
// test needs to choose them.
//
// Lock order. c_alloc_mutex is only ever held alone. A page's p_mutex may be held while the index
// (c_dict_lock and its gate, see IndexGate) or c_histo_mutex is taken; those two are never held
// together. Only the collector holds two page mutexes, source before destination. The one exception,
// in the read path, is a trylock of a page mutex inside a lookup, which never waits and so cannot
// close a cycle.
#ifndef ZKDICT_DICT_ZKCACHE_INTERNAL_H
#define ZKDICT_DICT_ZKCACHE_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <string>

#include "dict/avlldict.h"
#include "dict/lock_guard.h"
#include "dict/zkcache.h"

namespace zk {

// The line size that the records read by many cores at once are laid out for.
inline constexpr std::uintptr_t kCacheLine = 64;

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
struct alignas(kCacheLine) IndexGate {
    std::atomic<UInt> readers{0};   // lookups inside
    std::atomic<UInt> writing{0};   // 1 while a writer holds or waits for the index
};

// What a lookup reads before it reaches its block, copied there once the cache is built, on a line
// that nothing writes afterwards. In the Cache record these fields sit beside the free-list heads,
// c_dict_lock and the histogram's mutex, which every store writes: a read on one core would miss on
// them after each store on another before its descent could even start.
struct alignas(kCacheLine) ReadPath {
    const AVLLDict* dict;     // c_dict
    const RegionSpan* spans;  // the regions sorted by base address; owned here
    UInt nspans;
    UInt page_size;           // c_page_size
};

// What a Cache* really points at: the record clients see, then what only the library uses.
struct CacheImpl {
    Cache cache;           // first, so a Cache* and its CacheImpl* are one address
    CacheCounters counters;
    char line_space[3 * kCacheLine];  // IndexGate, then ReadPath on the next line, placed on line
                                      // boundaries inside it (the record comes from Allocate_, which
                                      // promises less than line alignment)
};

static_assert(sizeof(IndexGate) == kCacheLine && sizeof(ReadPath) == kCacheLine);

inline std::uintptr_t FirstLine(const Cache* cache) {
    const auto* impl = reinterpret_cast<const CacheImpl*>(cache);
    return (reinterpret_cast<std::uintptr_t>(impl->line_space) + kCacheLine - 1) & ~(kCacheLine - 1);
}
inline IndexGate* Gate(Cache* cache) { return reinterpret_cast<IndexGate*>(FirstLine(cache)); }
inline ReadPath* Path(Cache* cache) { return reinterpret_cast<ReadPath*>(FirstLine(cache) + kCacheLine); }
inline const ReadPath* Path(const Cache* cache) {
    return reinterpret_cast<const ReadPath*>(FirstLine(cache) + kCacheLine);
}

// ---- the index ----
// A shared hold on the index, for lookups that write nothing. It never fails, so it reports nothing.
struct IndexReader {
    IndexReader(Cache* cache) : gate(Gate(cache)) {}
    void Acquire(const char* path, int line, const char* function);
    void Release() {
        LockBoundary();
        gate->readers.fetch_sub(1, std::memory_order_release);
    }
    IndexGate* gate;
};

// The exclusive hold on the index, for every change to it.
struct IndexWriter {
    IndexWriter(Cache* indexed) : cache(indexed) {}
    void Acquire(const char* path, int line, const char* function);
    void Release();
    Cache* cache;
};

// Scoped holds on the index: shared for lookups that write nothing, exclusive for the rest.
using IndexReadLock = ScopedLock<IndexReader>;
using IndexWriteLock = ScopedLock<IndexWriter>;

// The block the index names under fp, or NULL, for a caller holding an IndexReadLock: the tree's
// lookup that writes nothing, so that lookups can run side by side.
inline CacheBlock* IndexLookup(Cache* cache, FPrint fp) {
    AVLLDictValue block;
    return ZKAVLLDictLookup(Path(cache)->dict, fp, &block) ? reinterpret_cast<CacheBlock*>(block) : nullptr;
}
// Brings the index nodes on fp's path into this core's cache before a change under fp; holds no
// lock on return.
void WarmIndexPath(Cache* cache, FPrint fp);

inline CacheImpl* Impl(Cache* cache) { return reinterpret_cast<CacheImpl*>(cache); }

// Whether a new cache starts its collector on a thread of its own (kThread), or leaves it to a test
// that runs the collector's cycles itself (kManual).
enum class Collector : bool { kManual, kThread };

// ZKCacheNewWithParams, with the collector started as collector says.
Cache* CacheNewInternal(UInt regionSize, UInt pageSize, double safetyThreshold, double gcLowThreshold,
                        double gcHighThreshold, UInt generationTime, ULong size, Collector collector);

// ---- page lists ----
// The end of a page list a call works at. Stores take free pages at the tail and give them back at
// the head, so that they rotate over all pages; pages that refused a block join the full list at the
// head, and the collector takes the oldest from its tail.
enum class ListEnd : bool { kTail, kHead };
// Whether a list call takes c_alloc_mutex itself (kTake) or its caller holds it already (kHeld).
enum class ListLock : bool { kHeld, kTake };
// Whether a free page may come out of the reserve at or below the safety mark: stores keep it for the
// collector (kKeep), which needs pages to copy into, and the collector uses it (kUse).
enum class Reserve : bool { kKeep, kUse };

// At or below this many free pages the cache counts as low, whatever the percentages.
inline constexpr UInt kLowFreePages = 5;

// One of the cache's two page lists, as a view of its head, tail and count in the Cache record. The
// caller holds c_alloc_mutex. A list found broken stops the process on a failed assertion worded as
// the record's fields, "cache->c_nb_free_pages > 0", so that the report names the field at fault.
class PageList {
public:
    PageList(Page*& head, Page*& tail, UInt& count, const char* name)
        : head_(head), tail_(tail), count_(count), name_(name) {}

    void Push(ListEnd end, Page* page);
    // The page at end, taken off the list; NULL when the list is empty.
    Page* Pop(ListEnd end);

    Page* Head() const { return head_; }
    Page* Tail() const { return tail_; }
    UInt Count() const { return count_; }
    const char* Name() const { return name_; }  // "free" or "full"

private:
    template <ListEnd end>
    void PushAt(Page* page);
    template <ListEnd end>
    Page* PopAt();
    [[noreturn]] void Broken(const char* condition, int line, const char* function) const;

    Page*& head_;
    Page*& tail_;
    UInt& count_;
    const char* name_;
};

inline PageList FreePages(Cache* cache) {
    return PageList(cache->c_free_head, cache->c_free_tail, cache->c_nb_free_pages, "free");
}
inline PageList FullPages(Cache* cache) {
    return PageList(cache->c_full_head, cache->c_full_tail, cache->c_nb_full_pages, "full");
}

void AddFreePage(Cache* cache, Page* page, ListEnd end, ListLock lock = ListLock::kTake);
// NULL when the list is empty, or when reserve keeps the reserve and the free pages are at the safety
// mark. Signals a sleeping collector once the free pages run low.
Page* GetFreePage(Cache* cache, ListEnd end, Reserve reserve, ListLock lock = ListLock::kTake);
void AddFullPage(Cache* cache, Page* page, ListEnd end, ListLock lock = ListLock::kTake);
Page* GetFullPage(Cache* cache, ListEnd end, ListLock lock = ListLock::kTake);
// The free-page tests; the caller holds c_alloc_mutex.
bool GCSafetyThreshold(const Cache* cache);
bool GCLowThreshold(const Cache* cache);
bool GCHighThreshold(const Cache* cache);

// ---- pages and blocks ----
// Blocks start on multiples of 8, as pages do: a page size is a multiple of 8.
inline char* AlignUp8(char* p) {
    return reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(p) + 7) & ~std::uintptr_t{7});
}
inline char* FirstBlock(Page* page) { return reinterpret_cast<char*>(page + 1); }
// Empties a page: its blocks' bytes are free again, whatever they held.
inline void ResetPage(Page* page) {
    page->p_alloc_ptr = page->p_copy_ptr = FirstBlock(page);
    page->p_last = nullptr;
}
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
// The slot of time with reference time updated and generation width generation, or -1. Inline: every
// read that finds its block asks it twice.
inline int HistogramSlot(ULong time, ULong updated, UInt generation) {
    if (time > updated) return 0;
    const ULong span = ULong(ZK_CACHE_HISTOGRAM_SLOTS) * generation;
    if (updated >= span && time < updated - span) return -1;
    const ULong slot = (updated - time) / generation;
    return slot >= ZK_CACHE_HISTOGRAM_SLOTS ? -1 : int(slot);
}
// The caller holds c_histo_mutex.
inline int GetHistogramIndex(const Cache* cache, ULong time) {
    return HistogramSlot(time, cache->c_histo_updated, cache->c_generation_time);
}
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
