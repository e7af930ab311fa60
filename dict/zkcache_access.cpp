// The memory cache's stores and reads: a store appends a block to a free page and indexes it; a read
// or a removal finds the block through the index and locks its page before it trusts a byte of it.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "dict/lock_guard.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"

namespace zk {
namespace {

// Pages a store tries before it gives up; each one that lacks room for the block goes to the full
// list on the way.
constexpr int kStoreAttempts = 10;

}  // namespace

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
    __builtin_prefetch(at + kCacheLine);
    __builtin_prefetch(at + 2 * kCacheLine);
    __builtin_prefetch(at + 3 * kCacheLine);
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
}  // namespace zk

// ---- the C interface ------------------------------------------------------------------------------------

extern "C" {

ZK_EXPORT Boolean ZKCacheStore(Cache* cache, const UByte* key, const UByte* value, UInt size, ULong expires) {
    ZK_ASSERT(cache != NULL && key != NULL && (value != NULL || size == 0));
    const size_t keyLen = std::strlen(reinterpret_cast<const char*>(key));
    const FPrint fp = Fingerprint(key, keyLen);
    for (int attempt = 0; attempt < zk::kStoreAttempts; ++attempt) {
        Page* page = zk::GetFreePage(cache, zk::ListEnd::kTail, zk::Reserve::kKeep);
        if (page == nullptr) return FALSE;
        switch (zk::PageWriteBlock(cache, page, fp, key, keyLen, value, size, expires)) {
        case zk::WriteResult::kWritten:
            zk::AddFreePage(cache, page, zk::ListEnd::kHead);
            return TRUE;
        case zk::WriteResult::kTooLarge:
            zk::AddFreePage(cache, page, zk::ListEnd::kHead);
            return FALSE;
        case zk::WriteResult::kNoRoom:
            zk::AddFullPage(cache, page, zk::ListEnd::kHead);
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
