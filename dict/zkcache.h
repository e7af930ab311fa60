/**
 * @file dict/zkcache.h
 * @brief A bounded memory cache of byte values under string keys, shared by many threads.
 *
 * The cache maps all its memory once, at creation, as equal regions cut into equal pages. A store
 * appends a block (header, key with its NUL, value) to a page that still has room; no value is ever
 * allocated on its own. An index from the 64-bit fingerprint of the key to the newest block finds a
 * value again. Each entry carries an absolute expiry time and the time it was last read. A collector
 * thread, one per cache, keeps pages with room in reserve: when free pages run low it takes full
 * pages oldest first, copies their recently read blocks into other pages, drops the rest (expired,
 * not read for a long time, or replaced by a newer store of the same key), and hands the emptied
 * pages back. An age histogram of last-read times tells it how far back "a long time" lies. Once
 * awake it works without pause until the free pages pass the high mark, except that a round over
 * every full page that drops nothing ends its pass, and it then waits up to a second (or until a
 * store takes a page) before it copies again: the blocks it keeps would only move from page to page.
 *
 * @par Keys
 * NUL-terminated byte strings; the NUL is not part of the key. Keys are told apart by their
 * fingerprint first and their bytes second: two keys with the same fingerprint share one index
 * entry, so the later store wins and the other key reads as absent. Storing a key again replaces
 * its value for every later read; ZKCacheRemove takes it out for every later read.
 *
 * @par Values
 * Any bytes, 0 to (page size - page header - block header - key length - 1) bytes. A cache
 * is a cache: a stored value may be dropped at any time to make room, and a store may be refused
 * when no page has room; neither is an error.
 *
 * @par Times
 * Milliseconds on the wall clock (GetCurrentTimeMilliseconds: milliseconds since the epoch).
 * Expiry is absolute: an entry is readable while the current time is strictly before it, so a time
 * at or before now is never readable, and ZK_CACHE_NEVER_EXPIRES (the largest ULong) never expires.
 *
 * @par Ownership
 * The cache owns its memory and its thread. A read copies the value into the caller's
 * buffer; nothing returned points into the cache. ZKCacheGetDynamic grows the caller's UByteArray
 * with the zklib array functions, so the caller releases it with ArrayFree_ as any other array.
 *
 * @par Failure
 * Creation returns NULL when the parameters cannot work (see ZKCacheNewWithParams) or the
 * memory cannot be mapped, after releasing what it built. Stores and reads report FALSE. A mutex
 * that cannot be locked stops the process ("pthread_mutex_lock failed", then a failed assertion),
 * and one that cannot be unlocked ends it with exit status 1 ("pthread_mutex_unlock failed"): both
 * mean the cache's memory is corrupt, and going on could hand out wrong values.
 *
 * @par Threads
 * ZKCacheStore, ZKCacheRemove, ZKCacheGetDynamic, ZKCacheGetStatic and ZKCacheGetSize may be called
 * on one cache from any number of threads at once, beside the collector. ZKCacheNew,
 * ZKCacheNewWithParams and ZKCacheDelete must not overlap any other call on the same cache. Stores
 * never wait for a collection: the collector holds at most two pages at a time. Reads look their
 * keys up side by side; a store, a removal, or the collector moving or dropping a block, changes
 * the index alone, briefly, and reads wait for that change by spinning, never by sleeping.
 *
 * The records below are shown so that a debugger and the library's own tests can read them; clients
 * use the functions and never change a field.
 */
#ifndef ZKDICT_DICT_ZKCACHE_H
#define ZKDICT_DICT_ZKCACHE_H

#include <stddef.h>

#include "dict/avlldict.h"
#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @brief An expiry time that is never reached. */
#define ZK_CACHE_NEVER_EXPIRES ((ULong)0xFFFFFFFFFFFFFFFFull)

/** @brief The number of age slots of the histogram. */
#define ZK_CACHE_HISTOGRAM_SLOTS 100

typedef struct Page Page;             /**< @brief A page of the cache; see struct Page. */
typedef struct CacheBlock CacheBlock; /**< @brief A block of a page; see struct CacheBlock. */

/** @brief One mapping of the cache; regions are mapped at creation and unmapped only by ZKCacheDelete. */
typedef struct {
    size_t r_size; /**< bytes mapped: pages per region x page size */
    void* r_base;  /**< start of the mapping; page i starts at r_base + i x page size */
} Region;

/** @brief The growable array of the regions (the zklib array shape). */
typedef struct {
    Region* data;  /**< regions in creation order */
    UInt length;   /**< regions mapped */
    UInt capacity; /**< regions allocated */
} RegionArray;

/** @brief The header at the start of every page; blocks follow it in the same page. */
struct Page {
    Mutex p_mutex;       /**< guards this header and every block of the page */
    char* p_alloc_ptr;   /**< where the next block goes; always a multiple of 8 */
    char* p_copy_ptr;    /**< the first block of the page: the first byte after this header */
    char* p_end;         /**< one past the last byte of the page */
    CacheBlock* p_last;  /**< the block appended last; NULL while the page is empty */
    Page* p_next;        /**< next page on the free or full list; NULL on neither */
    Page* p_prev;        /**< previous page on the free or full list; NULL on neither */
};

/** @brief The header of a block; the key, its NUL and the value follow it directly. */
struct CacheBlock {
    ULong b_key;        /**< Fingerprint of the key bytes (without the NUL) */
    size_t b_size;      /**< key length + 1 + value size; the header is not counted */
    ULong b_created;    /**< store time, ms; all ones once the collector moved or dropped the block */
    ULong b_expires;    /**< absolute expiry, ms; readable while now < b_expires */
    ULong b_accessed;   /**< store time or time of the last read that found it, ms */
    Page* b_page;       /**< the page holding the block */
    CacheBlock* b_next; /**< the next block of the page in address order; NULL for the last */
};

/** @brief A cache. Every field is the library's; clients read none of them. */
typedef struct {
    UInt c_region_size;          /**< pages per region */
    UInt c_page_size;            /**< bytes per page, header included; a multiple of 8 */
    double c_safety_threshold;   /**< % of free pages at or below which stores are refused */
    double c_gc_low_threshold;   /**< % of free pages at or below which the collector works */
    double c_gc_high_threshold;  /**< % of free pages above which it sleeps again; also the % of
                                    objects one collection aims to drop */
    RegionArray c_regions;       /**< the mapped regions, in creation order */
    Page* c_free_head;           /**< pages that still take blocks: stores take the tail, */
    Page* c_free_tail;           /**< ...and pages are given back at the head */
    UInt c_nb_free_pages;        /**< length of the free list */
    Page* c_full_head;           /**< pages that refused a block: the collector takes the tail */
    Page* c_full_tail;           /**< the tail of the full list */
    UInt c_nb_full_pages;        /**< length of the full list */
    Mutex c_alloc_mutex;         /**< both lists, their counts, c_gc_started, c_closing; held alone */
    Condition c_alloc_cond;      /**< the sleeping collector waits here; signalled when a page is
                                    taken from the free list, and at deletion */
    Condition c_start_cond;      /**< the collector signals it once it runs */
    Thread c_gc_thread;          /**< the collector */
    Boolean c_gc_started;        /**< set by the collector as it starts */
    Boolean c_closing;           /**< set by deletion to stop the collector */
    AVLLDict* c_dict;            /**< fingerprint of a key -> address of its newest block */
    Mutex c_dict_lock;           /**< taken by every change to c_dict; lookups, which change
                                    nothing, run side by side and wait only for a change */
    UInt c_age_histogram[ZK_CACHE_HISTOGRAM_SLOTS]; /**< counted blocks by slot of last access */
    ULong c_histo_updated;       /**< reference time of slot 0, ms: the end of the youngest
                                    generation; no counted access is later */
    Mutex c_histo_mutex;         /**< the histogram, c_histo_updated, c_total_size, c_nb_objects */
    UInt c_generation_time;      /**< width of one histogram slot, ms */
    ULong c_total_size;          /**< sum of b_size over the counted blocks */
    UInt c_nb_objects;           /**< counted blocks: stored and not yet dropped by the collector */
} Cache;

/**
 * @brief ZKCacheNewWithParams(16, 1048576, 1.0, 8.0, 16.0, 60000, size): 16 MiB regions of 1 MiB
 * pages; stores refused at 1 % free pages; the collector wakes at 8 % and sleeps again above 16 %;
 * one histogram slot per minute.
 * @param size bytes to map in all
 * @return the cache, or NULL as for ZKCacheNewWithParams.
 */
ZK_EXPORT Cache* ZKCacheNew(ULong size);

/**
 * @brief A cache of size / (regionSize x pageSize) regions (truncated: a size below one region gives
 * a cache without pages, which stores nothing), with its collector running.
 *
 * Whatever the percentages, 5 or fewer free pages count as low, and the collector sleeps only with
 * more than 5 free pages.
 *
 * @param regionSize      pages per region, at least 1
 * @param pageSize        bytes per page, header included: a multiple of 8, at least the page header
 *                        plus one block header (ZK_CACHE_MIN_PAGE_SIZE); a value needs key length +
 *                        1 + value size bytes more than that
 * @param safetyThreshold percentage (0 to 100) of free pages at or below which stores are refused,
 *                        so that the collector keeps pages to copy into
 * @param gcLowThreshold  percentage (0 to 100) of free pages at or below which the collector works
 * @param gcHighThreshold percentage (0 to 100) of free pages above which it sleeps again, and the
 *                        percentage of the objects one collection aims to drop
 * @param generationTime  milliseconds covered by one of the 100 age slots, at least 1: blocks not
 *                        read for up to 100 generations are told apart by age
 * @param size            bytes to map in all; the regions' bytes must fit the address space and the
 *                        machine's physical memory, and the total page count 32 bits
 * @return the cache, or NULL with errno set, after releasing what it built: EINVAL, before anything
 *         is mapped, for parameters that cannot work (a product of region and page size or a page
 *         count that overflows included); ENOMEM, equally at once, when the regions would take more
 *         bytes than the machine's physical memory; the mapping's own errno when a mapping failed.
 *         Release it with ZKCacheDelete.
 */
ZK_EXPORT Cache* ZKCacheNewWithParams(UInt regionSize, UInt pageSize, double safetyThreshold,
                                      double gcLowThreshold, double gcHighThreshold,
                                      UInt generationTime, ULong size);

/**
 * @brief Stops and joins the collector (a collection in progress first ends its current page), and
 * releases the cache.
 * @param cache the cache; NULL is ignored
 * @warning No other call on the cache may be running or follow.
 */
ZK_EXPORT void ZKCacheDelete(Cache* cache);

/**
 * @brief Bytes mapped, and optionally what is stored.
 *
 * Blocks replaced by a newer store of their key count until the collector drops them.
 *
 * @param cache          the cache
 * @param[out] nbObjects receives the number of stored blocks, when not NULL
 * @param[out] objSize   receives the sum of their key and value bytes (key + NUL + value, headers
 *                       not counted), when not NULL
 * @return the bytes mapped for all regions.
 */
ZK_EXPORT ULong ZKCacheGetSize(Cache* cache, UInt* nbObjects, ULong* objSize);

/**
 * @brief Stores size bytes at value under the NUL-terminated key.
 * @param cache   the cache, not NULL
 * @param key     the NUL-terminated key, not NULL
 * @param value   the bytes (may be NULL only when size is 0)
 * @param size    how many
 * @param expires the absolute time until which the value is readable (ms on the wall clock;
 *                ZK_CACHE_NEVER_EXPIRES for never)
 * @retval TRUE  when stored
 * @retval FALSE with nothing stored, when the value does not fit in a page, when 5 or fewer or at
 *               most safetyThreshold % of the pages have room (the collector will make room), or
 *               when ten pages in a row refused it
 * @pre cache and key are not NULL, nor value unless size is 0, or the process stops on an
 *      assertion.
 */
ZK_EXPORT Boolean ZKCacheStore(Cache* cache, const UByte* key, const UByte* value, UInt size, ULong expires);

/**
 * @brief Removes the entry stored under the NUL-terminated key at once, so that a read that follows
 * misses.
 *
 * Its block is let go as the collector lets an expired one go: ZKCacheGetSize stops counting it at
 * once, and its bytes stay in their page until the collector empties the page. Safe beside every
 * other call that ZKCacheStore is safe beside.
 *
 * @param cache the cache
 * @param key   the NUL-terminated key
 * @retval TRUE  when the key had a readable value, now removed
 * @retval FALSE with errno ENOENT when it had none: never stored, removed or dropped already, or
 *               expired (the expired entry is let go all the same), or its fingerprint's entry
 *               held by another key; with errno EINVAL when cache or key is NULL
 */
ZK_EXPORT Boolean ZKCacheRemove(Cache* cache, const UByte* key);

/**
 * @brief Appends the value stored under key to buffer, growing it as needed; the bytes it held stay
 * in front.
 * @param cache  the cache, not NULL
 * @param key    the NUL-terminated key, not NULL
 * @param[in,out] buffer not NULL; initialised, possibly holding bytes. The caller owns the buffer
 *               and releases it with ArrayFree_.
 * @retval TRUE  when found
 * @retval FALSE with the buffer unchanged, when the key is absent, expired, or the value would take
 *               the buffer past ZK_ARRAY_MAX_CAPACITY bytes
 * @pre cache, key and buffer are not NULL, or the process stops on an assertion.
 */
ZK_EXPORT Boolean ZKCacheGetDynamic(Cache* cache, const UByte* key, UByteArray* buffer);

/**
 * @brief Copies the value stored under key into buffer.
 * @param cache         the cache, not NULL
 * @param key           the NUL-terminated key, not NULL
 * @param[out] buffer   room for bufSize bytes (may be NULL only when bufSize is 0)
 * @param bufSize       the buffer's size
 * @param[out] dataSize receives the value's size, when not NULL
 * @retval TRUE  when found and copied
 * @retval FALSE when absent or expired (*dataSize 0), or when bufSize is too small (*dataSize the
 *               size needed, nothing copied)
 * @pre cache and key are not NULL, nor buffer unless bufSize is 0, or the process stops on an
 *      assertion.
 */
ZK_EXPORT Boolean ZKCacheGetStatic(Cache* cache, const UByte* key, void* buffer, UInt bufSize,
                                   UInt* dataSize);

/** @brief The smallest workable page: a page header and one block header. */
#define ZK_CACHE_MIN_PAGE_SIZE ((UInt)(sizeof(Page) + sizeof(CacheBlock)))

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_ZKCACHE_H */
