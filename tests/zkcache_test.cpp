// The memory cache: parameters, page lists, histogram, store and read, the collector's steps, and
// many threads against a collector that copies and drops all the time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dict/lock_guard.h"
#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"
#include "tests/cache_stress.h"
#include "tests/test_seed.h"

#if defined(__SANITIZE_THREAD__)
// Only the collector ever holds two page mutexes, source then destination, so no order between two
// pages can close a cycle; but pages change roles from pass to pass, and ThreadSanitizer sees both
// orders.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() { return "deadlock:zk::PageCopyBlocks\n"; }
#endif

namespace {

UInt Seed() { return zktest::Seed(); }

unsigned long long ULL(ULong v) { return v; }
const UByte* U(const std::string& s) { return reinterpret_cast<const UByte*>(s.c_str()); }

// A cache deleted at the end of the test. Without a collector thread the test runs its steps itself.
struct TestCache {
    Cache* c;
    TestCache(UInt regionSize, UInt pageSize, double safety, double low, double high, UInt generation, ULong size,
              zk::Collector collector = zk::Collector::kManual)
        : c(zk::CacheNewInternal(regionSize, pageSize, safety, low, high, generation, size, collector)) {}
    ~TestCache() { ZKCacheDelete(c); }
    Cache* operator->() const { return c; }
};

bool Store(Cache* c, const std::string& key, const std::string& value, ULong expires = ZK_CACHE_NEVER_EXPIRES) {
    return ZKCacheStore(c, U(key), U(value), UInt(value.size()), expires) == TRUE;
}

std::optional<std::string> Get(Cache* c, const std::string& key) {
    char buf[4096];
    UInt size = 12345;
    if (!ZKCacheGetStatic(c, U(key), buf, sizeof buf, &size)) {
        EXPECT_EQ(size, 0u) << key;
        return std::nullopt;
    }
    return std::string(buf, size);
}

CacheBlock* Indexed(Cache* c, const std::string& key) {
    return reinterpret_cast<CacheBlock*>(ZKAVLLDictFind(c->c_dict, Fingerprint(key.data(), key.size()), 0));
}

// Writes one block into a page the test holds.
CacheBlock* Write(Cache* c, Page* page, const std::string& key, const std::string& value,
                  ULong expires = ZK_CACHE_NEVER_EXPIRES) {
    EXPECT_EQ(zk::PageWriteBlock(c, page, Fingerprint(key.data(), key.size()), U(key), key.size(), U(value),
                                 UInt(value.size()), expires),
              zk::WriteResult::kWritten);
    return page->p_last;
}

void ExpectSound(Cache* c) { EXPECT_EQ(zk::CheckCache(c), ""); }

constexpr UInt kPage = 1024;  // 936 bytes of blocks after the page header

// ---- creation ---------------------------------------------------------------------------------------

// Each refusal comes with its errno and before anything is mapped: the sizes below would take
// minutes of mapping, and the machine's memory, if they got that far.
TEST(CacheCreate, RefusesParametersThatCannotWork) {
    const double nan = std::nan("");
    auto refused = [](UInt regionSize, UInt pageSize, double safety, double low, double high, UInt generation,
                      ULong size) {
        errno = 0;
        Cache* c = ZKCacheNewWithParams(regionSize, pageSize, safety, low, high, generation, size);
        const int err = errno;
        ZKCacheDelete(c);
        return c == nullptr ? err : -1;
    };
    EXPECT_EQ(refused(0, kPage, 1, 8, 16, 1000, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, kPage + 4, 1, 8, 16, 1000, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, ZK_CACHE_MIN_PAGE_SIZE - 8, 1, 8, 16, 1000, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, kPage, 1, 8, 16, 0, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, kPage, nan, 8, 16, 1000, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, kPage, 1, -1, 16, 1000, 1 << 20), EINVAL);
    EXPECT_EQ(refused(4, kPage, 1, 8, 101, 1000, 1 << 20), EINVAL);
    // More pages than a 32-bit count holds, and a region whose bytes overflow.
    EXPECT_EQ(refused(65536, ZK_CACHE_MIN_PAGE_SIZE, 1, 8, 16, 1000, ULong(65536) * ZK_CACHE_MIN_PAGE_SIZE * 65537),
              EINVAL);
    EXPECT_EQ(refused(1, ZK_CACHE_MIN_PAGE_SIZE, 1, 8, 16, 1000, ~ULong{0}), EINVAL);
    EXPECT_EQ(refused(0xFFFFFFFFu, 0xFFFFFFF8u, 1, 8, 16, 1000, ~ULong{0}), EINVAL);
    // More bytes than the machine has: a pebibyte in the default regions, and just over the
    // machine's memory in regions of 1 MiB.
    errno = 0;
    EXPECT_EQ(ZKCacheNew(ULong{1} << 50), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    const ULong memory = ULong(sysconf(_SC_PHYS_PAGES)) * ULong(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(refused(1, 1 << 20, 1, 8, 16, 1000, (memory & ~ULong((1 << 20) - 1)) + (ULong{1} << 20)), ENOMEM);
}

TEST(CacheCreate, BelowOneRegionThereAreNoPagesAndNothingIsStored) {
    // 65536 pages of 64 KiB make 2^32 bytes a region, 0 in 32 bits: still no region, no division by 0.
    for (Cache* c : {ZKCacheNewWithParams(65536, 65536, 1, 8, 16, 0xFFFFFFFFu, 0xFFFFFFFFull),
                     ZKCacheNewWithParams(16, kPage, 1, 8, 16, 1000, 16 * kPage - 1)}) {
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(ZKCacheGetSize(c, nullptr, nullptr), 0u);
        EXPECT_FALSE(Store(c, "k", "v"));
        EXPECT_FALSE(Get(c, "k"));
        ZKCacheDelete(c);  // its collector cycles without pages; deletion still stops it
    }
}

TEST(CacheCreate, OneRegionPutsEveryPageOnTheFreeListPageZeroAtTheTail) {
    TestCache c(16, kPage, 1, 8, 16, 1000, 16 * kPage);
    ASSERT_NE(c.c, nullptr);
    EXPECT_EQ(ZKCacheGetSize(c.c, nullptr, nullptr), 16u * kPage);
    EXPECT_EQ(c->c_nb_free_pages, 16u);
    EXPECT_EQ(c->c_nb_full_pages, 0u);
    EXPECT_EQ(static_cast<void*>(c->c_free_tail), c->c_regions.data[0].r_base);
    EXPECT_EQ(reinterpret_cast<char*>(c->c_free_head), static_cast<char*>(c->c_regions.data[0].r_base) + 15 * kPage);
    ExpectSound(c.c);
}

// Reads find a block's page from its address alone, through the copy of the region spans and page
// size kept apart from the record; the regions of a cache are separate mappings in no set order.
TEST(CacheCreate, EveryAddressOfAPageLeadsBackToThatPageInEveryRegion) {
    TestCache c(4, kPage, 1, 8, 16, 1000, 3 * 4 * kPage);
    ASSERT_NE(c.c, nullptr);
    ASSERT_EQ(c->c_regions.length, 3u);
    for (UInt r = 0; r < c->c_regions.length; ++r) {
        char* base = static_cast<char*>(c->c_regions.data[r].r_base);
        for (UInt i = 0; i < c->c_region_size; ++i) {
            auto* page = reinterpret_cast<Page*>(base + size_t(i) * kPage);
            for (size_t at : {size_t{0}, sizeof(Page), size_t{kPage / 2}, size_t{kPage - 1}}) {
                EXPECT_EQ(zk::PageOfBlock(c.c, reinterpret_cast<char*>(page) + at), page) << r << " " << i << " " << at;
            }
        }
    }
    // Stores rotate over the free pages, so these land in every region; each reads back through the
    // page its address leads to.
    for (int k = 0; k < 20; ++k) ASSERT_TRUE(Store(c.c, "key" + std::to_string(k), std::string(100, char('a' + k % 26))));
    for (int k = 0; k < 20; ++k) EXPECT_EQ(Get(c.c, "key" + std::to_string(k)), std::string(100, char('a' + k % 26)));
    ExpectSound(c.c);
}

// ---- page lists and free-page tests ---------------------------------------------------------------------

TEST(CacheLists, DefaultsRefuseStoresAtFiveFreePages) {
    TestCache c(16, 1048576, 1, 8, 16, 60000, 16 << 20);
    int taken = 0;
    while (zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kKeep) != nullptr) ++taken;
    EXPECT_EQ(taken, 11);
    EXPECT_EQ(c->c_nb_free_pages, 5u);
    // The collector may still take them.
    EXPECT_NE(zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse), nullptr);
}

TEST(CacheLists, ThresholdsCountPagesFirstThenTheFreeShare) {
    TestCache c(10, kPage, 10, 30, 50, 1000, 20 * kPage);
    auto with = [&](UInt freePages) {
        c->c_nb_free_pages = freePages;
        return std::vector<bool>{zk::GCSafetyThreshold(c.c), zk::GCLowThreshold(c.c), zk::GCHighThreshold(c.c)};
    };
    const UInt saved = c->c_nb_free_pages;
    EXPECT_EQ(with(5), (std::vector<bool>{true, true, false}));    // the count alone decides
    EXPECT_EQ(with(6), (std::vector<bool>{false, true, false}));   // 30 %: at the low mark
    EXPECT_EQ(with(7), (std::vector<bool>{false, false, false}));  // 35 %
    EXPECT_EQ(with(10), (std::vector<bool>{false, false, false})); // 50 %: not above the high mark
    EXPECT_EQ(with(11), (std::vector<bool>{false, false, true}));
    c->c_nb_free_pages = saved;

    // Fewer than 6 pages: never high, always low.
    TestCache small(5, kPage, 0, 0, 0, 1000, 5 * kPage);
    EXPECT_TRUE(zk::GCLowThreshold(small.c));
    EXPECT_FALSE(zk::GCHighThreshold(small.c));
}

TEST(CacheLists, StoresRotateOverTheFreeListAndFullPagesGoToTheFullHead) {
    TestCache c(16, kPage, 0, 8, 16, 1000, 16 * kPage);
    Page* tail = c->c_free_tail;
    ASSERT_TRUE(Store(c.c, "a", std::string(100, 'a')));
    EXPECT_EQ(c->c_free_head, tail);  // written, given back at the head
    EXPECT_EQ(Indexed(c.c, "a")->b_page, tail);
    ASSERT_TRUE(Store(c.c, "b", std::string(100, 'b')));
    EXPECT_NE(Indexed(c.c, "b")->b_page, tail);

    // A value that no page could hold: refused at once, its page back at the free head.
    Page* next = c->c_free_tail;
    EXPECT_FALSE(Store(c.c, "big", std::string(kPage - sizeof(Page) - sizeof(CacheBlock) - 3, 'x')));
    EXPECT_EQ(c->c_free_head, next);
    // The largest that fits an empty page is taken.
    EXPECT_TRUE(Store(c.c, "big", std::string(kPage - sizeof(Page) - sizeof(CacheBlock) - 4, 'x')));

    // A page that lacks room goes to the full head and the store moves on.
    const UInt full = c->c_nb_full_pages;
    for (int i = 0; i < 32 && c->c_nb_full_pages == full; ++i) {
        ASSERT_TRUE(Store(c.c, "fill" + std::to_string(i), std::string(200, 'f')));
    }
    EXPECT_EQ(c->c_nb_full_pages, full + 1);
    EXPECT_NE(c->c_full_head->p_last, nullptr);
    ExpectSound(c.c);
}

// ---- age histogram ----------------------------------------------------------------------------------

TEST(CacheHistogram, SlotsUpdatesAndShifts) {
    TestCache c(16, kPage, 1, 8, 16, 1000, 0);
    const ULong u = c->c_histo_updated;
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u), 0);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u + 5000), 0);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u - 999), 0);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u - 1000), 1);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u - 99999), 99);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, u - 100000), -1);
    EXPECT_EQ(zk::GetHistogramIndex(c.c, 0), -1);
    // 100 generations of 2^32 - 1 ms do not fit 32 bits; slot 50 must still be slot 50.
    EXPECT_EQ(zk::HistogramSlot(u - 50 * 0xFFFFFFFFull, u, 0xFFFFFFFFu), 50);
    EXPECT_EQ(zk::HistogramSlot(u - 100 * 0xFFFFFFFFull, u, 0xFFFFFFFFu), -1);
    UInt* h = c->c_age_histogram;
    h[0] = 0;
    h[3] = 2;
    zk::UpdateHistogram(c.c, u - 3500, u);
    EXPECT_EQ(h[3], 1u);
    EXPECT_EQ(h[0], 1u);
    zk::UpdateHistogram(c.c, u - 7000, u - 100);  // slot 7 is empty: nothing to take from it
    EXPECT_EQ(h[7], 0u);
    EXPECT_EQ(h[0], 2u);
    zk::UpdateHistogram(c.c, u - 100, u);         // same slot: no change
    EXPECT_EQ(h[0], 2u);

    // The reference moves to the end of the generation holding now, ageing every slot by as many.
    h[98] = 9;
    zk::ShiftHistogram(c.c, u + 1000);
    EXPECT_EQ(c->c_histo_updated, u + 1000);
    EXPECT_EQ(h[0], 0u);
    EXPECT_EQ(h[1], 2u);
    EXPECT_EQ(h[4], 1u);
    EXPECT_EQ(h[99], 9u);
    zk::ShiftHistogram(c.c, u + 1000);            // not past the reference: nothing moves
    EXPECT_EQ(h[1], 2u);
    zk::ShiftHistogram(c.c, u + 2001);            // two more
    EXPECT_EQ(c->c_histo_updated, u + 3000);
    EXPECT_EQ(h[3], 2u);
    EXPECT_EQ(h[6], 1u);
    EXPECT_EQ(h[99], 0u);                         // fell off the end
    zk::ShiftHistogram(c.c, u + 1000000);         // more than 100 generations: all gone
    for (int i = 0; i < ZK_CACHE_HISTOGRAM_SLOTS; ++i) EXPECT_EQ(h[i], 0u) << i;
    EXPECT_EQ(c->c_histo_updated, u + 1000000);
}

TEST(CacheHistogram, ABlockReadMoreOftenThanOnceAGenerationKeepsItsCountYoung) {
    TestCache c(16, kPage, 1, 8, 16, 1000, 0);
    ULong t = c->c_histo_updated;
    zk::RecordAccessLocked(c.c, 0, t);  // as a store counts itself
    // Read every 0.4 generations for 400 generations, with the collector shifting now and then.
    for (int i = 0; i < 1000; ++i) {
        if (i % 3 == 0) zk::ShiftHistogram(c.c, t + 350);
        zk::RecordAccessLocked(c.c, t, t + 400);
        t += 400;
    }
    ULong total = 0;
    for (int i = 0; i < ZK_CACHE_HISTOGRAM_SLOTS; ++i) total += c->c_age_histogram[i];
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(c->c_age_histogram[zk::GetHistogramIndex(c.c, t)], 1u);
}

TEST(CacheHistogram, AgeLimitSparesSlotsWhileTheTargetStaysOlder) {
    TestCache c(16, kPage, 1, 8, 16, 1000, 0);
    const ULong u = c->c_histo_updated;
    // No objects at all: 100 generations back from the end of slot 0.
    EXPECT_EQ(zk::GCGetMinTime(c.c, u), u - 100000);
    // Target 16 of 100: slots 0 and 1 may be spared (70 and 20 left older), slot 2 may not.
    c->c_nb_objects = 100;
    c->c_age_histogram[0] = 30;
    c->c_age_histogram[1] = 50;
    c->c_age_histogram[2] = 10;
    c->c_age_histogram[3] = 10;
    EXPECT_EQ(zk::GCGetMinTime(c.c, u), u - 2000);
    // Everything in slot 0: every block scanned goes.
    std::fill(c->c_age_histogram, c->c_age_histogram + ZK_CACHE_HISTOGRAM_SLOTS, 0u);
    c->c_age_histogram[0] = 100;
    EXPECT_EQ(zk::GCGetMinTime(c.c, u), u);
    // A slot counting more than there are objects ends the walk.
    c->c_age_histogram[0] = 101;
    EXPECT_EQ(zk::GCGetMinTime(c.c, u), u);
    // Asked later, the histogram first ages: the 100 blocks are now a generation old, in slot 1.
    c->c_age_histogram[0] = 100;
    EXPECT_EQ(zk::GCGetMinTime(c.c, u + 500), u);
    EXPECT_EQ(c->c_histo_updated, u + 1000);
    EXPECT_EQ(c->c_age_histogram[1], 100u);
    c->c_nb_objects = 0;
    c->c_age_histogram[1] = 0;
}

// ---- store and read ---------------------------------------------------------------------------------

TEST(CacheStoreRead, ValuesComeBackThroughBothReads) {
    TestCache c(16, 4096, 1, 8, 16, 60000, 64 * 4096, zk::Collector::kThread);
    ASSERT_TRUE(Store(c.c, "alpha", "first value"));
    EXPECT_EQ(Get(c.c, "alpha"), "first value");
    EXPECT_FALSE(Get(c.c, "beta"));

    // Empty value: found, nothing copied.
    ASSERT_TRUE(Store(c.c, "empty", ""));
    UInt size = 99;
    char one = 'z';
    EXPECT_TRUE(ZKCacheGetStatic(c.c, U("empty"), &one, 0, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(one, 'z');

    // Static buffer one byte short: FALSE, the size needed, buffer untouched.
    char buf[11];
    std::memset(buf, '#', sizeof buf);
    EXPECT_FALSE(ZKCacheGetStatic(c.c, U("alpha"), buf, 10, &size));
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(std::string(buf, 11), std::string(11, '#'));
    EXPECT_TRUE(ZKCacheGetStatic(c.c, U("alpha"), buf, 11, nullptr));
    EXPECT_EQ(std::string(buf, 11), "first value");

    // Dynamic read appends behind what the buffer holds, growing it.
    UByteArray a;
    ArrayInit_(&a);
    const std::string big(3000, 'q');
    ASSERT_TRUE(Store(c.c, "big", big));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(ZKCacheGetDynamic(c.c, U("alpha"), &a));
    ASSERT_TRUE(ZKCacheGetDynamic(c.c, U("big"), &a));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a.data), a.length), "first valuefirst value" + big);
    const UInt length = a.length;
    EXPECT_FALSE(ZKCacheGetDynamic(c.c, U("missing"), &a));
    EXPECT_EQ(a.length, length);
    ArrayFree_(&a);

    // A second store replaces the value; both blocks count until the collector drops the first.
    UInt objects = 0;
    ULong bytes = 0;
    ZKCacheGetSize(c.c, &objects, &bytes);
    ASSERT_TRUE(Store(c.c, "alpha", "second"));
    EXPECT_EQ(Get(c.c, "alpha"), "second");
    UInt objects2 = 0;
    ULong bytes2 = 0;
    EXPECT_EQ(ZKCacheGetSize(c.c, &objects2, &bytes2), 64u * 4096);
    EXPECT_EQ(objects2, objects + 1);
    EXPECT_EQ(bytes2, bytes + 5 + 1 + 6);
}

TEST(CacheStoreRead, ExpiryIsAbsoluteAndStrict) {
    TestCache c(16, 4096, 1, 8, 16, 60000, 64 * 4096, zk::Collector::kThread);
    const ULong now = GetCurrentTimeMilliseconds();
    ASSERT_TRUE(Store(c.c, "past", "v", now - 1000));
    ASSERT_TRUE(Store(c.c, "now", "v", now));
    ASSERT_TRUE(Store(c.c, "zero", "v", 0));
    ASSERT_TRUE(Store(c.c, "later", "v", now + 3600 * 1000));
    ASSERT_TRUE(Store(c.c, "never", "v", ZK_CACHE_NEVER_EXPIRES));
    EXPECT_FALSE(Get(c.c, "past"));
    EXPECT_FALSE(Get(c.c, "now"));
    EXPECT_FALSE(Get(c.c, "zero"));
    EXPECT_EQ(Get(c.c, "later"), "v");
    EXPECT_EQ(Get(c.c, "never"), "v");
}

TEST(CacheStoreRead, OnlyTheFingerprintMatchingReadsAsAbsent) {
    TestCache c(16, 4096, 1, 8, 16, 60000, 64 * 4096);
    ASSERT_TRUE(Store(c.c, "mine", "value"));
    // Make "other" collide with "mine": its fingerprint names mine's block.
    CacheBlock* block = Indexed(c.c, "mine");
    const FPrint other = Fingerprint("other", 5);
    ZKAVLLDictRemove(c->c_dict, block->b_key, 0);
    block->b_key = other;
    ZKAVLLDictInsert(c->c_dict, other, reinterpret_cast<std::uintptr_t>(block), 0);
    UInt size = 7;
    char buf[16];
    EXPECT_FALSE(ZKCacheGetStatic(c.c, U("other"), buf, sizeof buf, &size));
    EXPECT_EQ(size, 0u);
    // Nor can the other key remove the entry it does not hold.
    errno = 0;
    EXPECT_FALSE(ZKCacheRemove(c.c, U("other")));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(Indexed(c.c, "other"), block);
    EXPECT_TRUE(BLOCK_VALID(block));
}

// ---- the collector's steps ----------------------------------------------------------------------------

struct CacheCopyStep : ::testing::Test {
    TestCache c{16, kPage, 0, 8, 16, 1000, 16 * kPage};
    ULong t = GetCurrentTimeMilliseconds();
    Page* Take() { return zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse); }
    const zk::CacheCounters& counters() { return zk::Impl(c.c)->counters; }

    // What a copy step says of its two pages.
    struct Step {
        bool emptied;  // the source has nothing left to copy
        bool filled;   // the destination ran out of room
    };
    // A copy step from src to dst, with the age limit and the time at t. The flags start out as the
    // opposite of what is expected, so that a step that leaves one unset fails.
    void CopyStep(Page* src, Page* dst, Step expected) {
        bool emptied = !expected.emptied, filled = !expected.filled;
        zk::PageCopyBlocks(c.c, t, src, dst, &emptied, &filled, t);
        EXPECT_EQ(emptied, expected.emptied);
        EXPECT_EQ(filled, expected.filled);
    }

    // What the copy steps so far did with the valid blocks they walked.
    struct Blocks {
        ULong copied, dropped, replaced;
    };
    void ExpectBlocks(Blocks expected) {
        EXPECT_EQ(counters().blocks_copied, expected.copied);
        EXPECT_EQ(counters().blocks_dropped, expected.dropped);
        EXPECT_EQ(counters().blocks_replaced, expected.replaced);
    }
};

TEST_F(CacheCopyStep, CopiesRecentBlocksAndDropsOldAndExpiredOnes) {
    Page* src = Take();
    Page* dst = Take();
    Write(c.c, src, "recent", std::string(200, 'r'))->b_accessed = t + 5;
    Write(c.c, src, "old", std::string(200, 'o'))->b_accessed = t - 5;
    CacheBlock* expired = Write(c.c, src, "expired", std::string(100, 'e'), t);
    expired->b_accessed = t + 5;  // read a moment ago, and still dropped
    UInt objects = 0;
    ZKCacheGetSize(c.c, &objects, nullptr);
    ASSERT_EQ(objects, 3u);

    CopyStep(src, dst, {.emptied = true, .filled = false});
    EXPECT_EQ(src->p_last, nullptr);
    EXPECT_EQ(src->p_alloc_ptr, src->p_copy_ptr);
    ASSERT_NE(Indexed(c.c, "recent"), nullptr);
    EXPECT_EQ(Indexed(c.c, "recent")->b_page, dst);
    EXPECT_EQ(Indexed(c.c, "recent")->b_accessed, t + 5);
    EXPECT_EQ(Indexed(c.c, "old"), nullptr);
    EXPECT_EQ(Indexed(c.c, "expired"), nullptr);
    ExpectBlocks({.copied = 1, .dropped = 2, .replaced = 0});
    ZKCacheGetSize(c.c, &objects, nullptr);
    EXPECT_EQ(objects, 1u);
    zk::AddFreePage(c.c, src, zk::ListEnd::kHead);
    zk::AddFreePage(c.c, dst, zk::ListEnd::kTail);
    ExpectSound(c.c);
    EXPECT_EQ(Get(c.c, "recent"), std::string(200, 'r'));
}

TEST_F(CacheCopyStep, DestinationOutOfRoomLeavesTheRestForTheNextOne) {
    Page* src = Take();
    Page* dst = Take();
    Write(c.c, src, "a", std::string(200, 'a'))->b_accessed = t + 5;   // 264 bytes with its header
    Write(c.c, src, "b", std::string(200, 'b'))->b_accessed = t - 5;
    Write(c.c, src, "d", std::string(200, 'd'))->b_accessed = t + 5;
    Write(c.c, dst, "filler", std::string(936 - 300 - 56 - 7, 'f'));   // leaves room for one block
    CopyStep(src, dst, {.emptied = false, .filled = true});
    EXPECT_EQ(Indexed(c.c, "a")->b_page, dst);
    EXPECT_EQ(Indexed(c.c, "b"), nullptr);
    EXPECT_EQ(Indexed(c.c, "d")->b_page, src);  // still valid where it was
    zk::AddFullPage(c.c, dst, zk::ListEnd::kHead);

    Page* dst2 = Take();
    CopyStep(src, dst2, {.emptied = true, .filled = false});
    EXPECT_EQ(Indexed(c.c, "d")->b_page, dst2);
    ExpectBlocks({.copied = 2, .dropped = 1, .replaced = 0});  // a was skipped on the second walk
    zk::AddFreePage(c.c, src, zk::ListEnd::kHead);
    zk::AddFreePage(c.c, dst2, zk::ListEnd::kTail);
    ExpectSound(c.c);
    EXPECT_EQ(Get(c.c, "a"), std::string(200, 'a'));
    EXPECT_EQ(Get(c.c, "d"), std::string(200, 'd'));
}

TEST_F(CacheCopyStep, AnOlderBlockOfAKeyStoredAgainNeitherTakesBackNorRemovesTheEntry) {
    Page* src = Take();
    Page* other = Take();
    Write(c.c, src, "kept", "old kept")->b_accessed = t + 5;  // would survive the age limit
    Write(c.c, src, "aged", "old aged")->b_accessed = t - 5;  // would be dropped
    Write(c.c, other, "kept", "new kept");
    Write(c.c, other, "aged", "new aged");
    Page* dst = Take();
    CopyStep(src, dst, {.emptied = true, .filled = false});
    ExpectBlocks({.copied = 0, .dropped = 1, .replaced = 1});
    for (Page* p : {src, other, dst}) zk::AddFreePage(c.c, p, zk::ListEnd::kHead);
    ExpectSound(c.c);
    EXPECT_EQ(Get(c.c, "kept"), "new kept");
    EXPECT_EQ(Get(c.c, "aged"), "new aged");
}

TEST_F(CacheCopyStep, RemovalMissesAtOnceAndLeavesTheBytesToTheCollector) {
    Page* src = Take();
    Write(c.c, src, "kept", std::string(200, 'k'))->b_accessed = t + 5;
    Write(c.c, src, "gone", std::string(200, 'g'))->b_accessed = t + 5;
    Write(c.c, src, "stale", "v", t - 1);
    Write(c.c, src, "twice", "old")->b_accessed = t + 5;
    Write(c.c, src, "twice", "new")->b_accessed = t + 5;
    EXPECT_TRUE(ZKCacheRemove(c.c, U("gone")));
    EXPECT_FALSE(Get(c.c, "gone"));
    for (const char* absent : {"gone", "never stored", "stale"}) {
        errno = 0;
        EXPECT_FALSE(ZKCacheRemove(c.c, U(absent))) << absent;
        EXPECT_EQ(errno, ENOENT) << absent;
    }
    // The key's newest block goes, and the older one, no longer indexed, does not come back.
    EXPECT_TRUE(ZKCacheRemove(c.c, U("twice")));
    EXPECT_FALSE(Get(c.c, "twice"));
    // An expired entry reads as absent, but its block is let go all the same.
    UInt objects = 0;
    ULong bytes = 0;
    ZKCacheGetSize(c.c, &objects, &bytes);
    EXPECT_EQ(objects, 2u);
    EXPECT_EQ(bytes, (4 + 1 + 200) + (5 + 1 + 3));
    EXPECT_EQ(counters().blocks_removed, 3u);
    for (Cache* none : {static_cast<Cache*>(nullptr), c.c}) {
        errno = 0;
        EXPECT_FALSE(ZKCacheRemove(none, none == nullptr ? U("kept") : nullptr));
        EXPECT_EQ(errno, EINVAL);
    }

    // The collector copies what is left to read and drops the old block of the key stored twice; the
    // removed bytes go with the page.
    Page* dst = Take();
    CopyStep(src, dst, {.emptied = true, .filled = false});
    ExpectBlocks({.copied = 1, .dropped = 0, .replaced = 1});
    EXPECT_EQ(size_t(dst->p_alloc_ptr - dst->p_copy_ptr), (sizeof(CacheBlock) + 205 + 7) & ~size_t(7));
    zk::AddFreePage(c.c, src, zk::ListEnd::kHead);
    zk::AddFreePage(c.c, dst, zk::ListEnd::kTail);
    ExpectSound(c.c);
    EXPECT_EQ(Get(c.c, "kept"), std::string(200, 'k'));
}

TEST_F(CacheCopyStep, EmergencyPassEmptiesOldestFullPagesUntilNoLongerLow) {
    std::vector<Page*> pages;
    while (Page* p = Take()) pages.push_back(p);
    ASSERT_EQ(pages.size(), 16u);
    for (size_t i = 0; i < pages.size(); ++i) {
        Write(c.c, pages[i], "k" + std::to_string(i), std::string(300, 'v'));
        zk::AddFullPage(c.c, pages[i], zk::ListEnd::kHead);  // pages[0] ends at the tail: the oldest
    }
    zk::CollectorState state;
    state.sleeping = false;
    EXPECT_TRUE(zk::CollectorCycle(c.c, &state, 0));
    // 6 pages bring the free count above 5 and the share (37.5 %) above the low mark.
    EXPECT_EQ(counters().pages_emergency, 6u);
    EXPECT_EQ(c->c_nb_free_pages, 6u);
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(Get(c.c, "k" + std::to_string(i)).has_value(), i >= 6) << i;
    }
    ExpectSound(c.c);
}

// Six pages that can never reach the high mark (it asks for more than five free), four of them full
// with one block each, just stored: no age limit drops those before 100 generations have passed. A
// round of the full list moves each block once; a pass that kept going would copy them from page to
// page until then.
TEST(CacheCollector, APassThatCanFreeNothingEndsAfterOneRound) {
    TestCache c(6, kPage, 0, 100, 0, 250, 6 * kPage);
    for (int i = 0; i < 4; ++i) {
        Page* page = zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse);
        Write(c.c, page, "k" + std::to_string(i), std::string(800, char('a' + i)));
        zk::AddFullPage(c.c, page, zk::ListEnd::kHead);
    }
    const zk::CacheCounters& counters = zk::Impl(c.c)->counters;
    zk::CollectorState state;
    state.sleeping = false;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        ASSERT_TRUE(zk::CollectorCycle(c.c, &state, 0));
        EXPECT_TRUE(state.stalled);
        EXPECT_FALSE(state.sleeping);
        EXPECT_LE(counters.blocks_copied, cycle * 4u + 1);
    }
    EXPECT_EQ(counters.blocks_dropped + counters.blocks_replaced, 0u);
    ExpectSound(c.c);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(c.c, "k" + std::to_string(i)), std::string(800, char('a' + i))) << i;
}

TEST_F(CacheCopyStep, APassCopiesUntilHighAndPutsEmptiedPagesAtTheFreeHead) {
    // 11 full pages of three blocks each, all last read 10 generations ago, and 5 empty free pages.
    const ULong aged = c->c_histo_updated - 10500;  // in slot 10
    std::vector<std::string> keys;
    for (int p = 0; p < 11; ++p) {
        Page* page = Take();
        for (int b = 0; b < 3; ++b) {
            keys.push_back("key" + std::to_string(keys.size()));
            Write(c.c, page, keys.back(), std::string(250, char('a' + keys.size() % 26)))->b_accessed = aged;
        }
        zk::AddFullPage(c.c, page, zk::ListEnd::kHead);  // the first written ends at the tail: the oldest
    }
    {
        zk::MutexLock lock(&c->c_histo_mutex);
        std::fill(c->c_age_histogram, c->c_age_histogram + ZK_CACHE_HISTOGRAM_SLOTS, 0u);
        c->c_age_histogram[10] = c->c_nb_objects;
    }
    // A third is read now: those are kept, the rest is older than the limit.
    for (size_t i = 0; i < keys.size(); i += 3) ASSERT_TRUE(Get(c.c, keys[i]));
    ASSERT_EQ(c->c_nb_free_pages, 5u);

    zk::CollectorState state;
    state.sleeping = false;
    EXPECT_TRUE(zk::CollectorCycle(c.c, &state, 0));
    // Two oldest pages emptied (one survivor each copied, two dropped each) bring the free count to
    // 6, above 5 and above 16 %; the destination, still with room, goes back to the free tail.
    EXPECT_EQ(counters().pages_emptied, 2u);
    EXPECT_EQ(counters().blocks_copied, 2u);
    EXPECT_EQ(counters().blocks_dropped, 4u);
    EXPECT_EQ(c->c_nb_free_pages, 7u);
    EXPECT_EQ(c->c_free_head->p_last, nullptr);
    EXPECT_NE(c->c_free_tail->p_last, nullptr);
    ExpectSound(c.c);
    for (size_t i = 0; i < keys.size(); ++i) {
        const bool dropped = i < 6 && i % 3 != 0;
        EXPECT_EQ(Get(c.c, keys[i]), dropped ? std::nullopt : std::optional(std::string(250, char('a' + (i + 1) % 26))))
            << keys[i];
    }
    // Above the high mark, the collector sleeps again on its next cycle.
    EXPECT_TRUE(zk::CollectorCycle(c.c, &state, 0));
    EXPECT_TRUE(state.sleeping);
}

TEST(CacheModel, HitsAlwaysReturnTheLastValueStoredUnderTheKey) {
    // A small cache against a map of the last value stored per key, with the collector's cycles run
    // in between: reads may miss once the collector dropped a key, but a hit must be the newest value,
    // and the structure must stay sound after every cycle.
    std::mt19937_64 rng(Seed());
    TestCache c(4, 2048, 1, 30, 60, 1, 24 * 2048);
    std::unordered_map<std::string, std::string> last;
    zk::CollectorState state;
    ULong hits = 0;
    for (int op = 0; op < 20000; ++op) {
        const std::string key = "k" + std::to_string(rng() % 300);
        if (rng() % 3 == 0) {
            const std::string value = key + ":" + std::to_string(op) + std::string(rng() % 200, 'v');
            if (Store(c.c, key, value)) last[key] = value;
        } else if (auto v = Get(c.c, key)) {
            ASSERT_EQ(*v, last[key]) << "after " << op << " operations";
            ++hits;
        }
        if (op % 50 == 0) {
            state.sleeping = false;
            ASSERT_TRUE(zk::CollectorCycle(c.c, &state, 0));
            ASSERT_EQ(zk::CheckCache(c.c), "") << "after " << op << " operations";
        }
    }
    EXPECT_GT(hits, 0u);
    // Twenty times the cache went in: only the collector made that room.
    EXPECT_GT(zk::Impl(c.c)->counters.pages_emptied.load(), 0u);
}

// ---- locks -------------------------------------------------------------------------------------------

TEST(CacheLockDeathTest, LockAndUnlockFailuresStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    EXPECT_DEATH(
        {
            zk::MutexLock first(&m);
            zk::MutexLock second(&m);  // EDEADLK on an error-checking mutex
        },
        "pthread_mutex_lock failed.*: tests/zkcache_test.cpp:[0-9]+: .*Assertion `FALSE' failed");
#if !defined(__SANITIZE_THREAD__)  // which reports the bad unlock itself and changes the exit status
    EXPECT_EXIT(zk::Unlock(&m), ::testing::ExitedWithCode(1), "pthread_mutex_unlock failed");
#endif
    pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&attr);
}

TEST(CacheDeathTest, BrokenInvariantsStopWithTheirConditions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestCache c(16, kPage, 0, 8, 16, 1000, 16 * kPage);
    EXPECT_DEATH(
        {
            c->c_nb_free_pages = 0;
            zk::GetFreePage(c.c, zk::ListEnd::kHead, zk::Reserve::kUse);
        },
        "cache->c_nb_free_pages > 0");
    EXPECT_DEATH(
        {
            Page* p = zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse);
            Write(c.c, p, "k", "v")->b_next = reinterpret_cast<CacheBlock*>(p);
            Write(c.c, p, "l", "v");
        },
        "page->p_last->b_next == NULL");
    EXPECT_DEATH(
        {
            Page* p = zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse);
            Write(c.c, p, "k", "v");
            c->c_nb_objects = 0;
            zk::PageFreeBlocks(c.c, p);
        },
        "cache->c_nb_objects > 0 && cache->c_total_size >= block->b_size");
}

// ---- many threads -------------------------------------------------------------------------------------

TEST(CacheThreads, LookupsShareTheIndexAndChangesWaitForThem) {
    TestCache c(8, 4096, 0, 8, 16, 60000, 8 * 4096);
    ASSERT_TRUE(Store(c.c, "k", "v1"));
    std::atomic<bool> stored{false};
    std::thread writer;
    {
        zk::IndexReadLock held(c.c);
        // Another lookup goes through while this one is inside; an exclusive index would hang here.
        std::thread reader([&] { EXPECT_EQ(Get(c.c, "k"), "v1"); });
        reader.join();
        writer = std::thread([&] {
            Store(c.c, "k", "v2");
            stored = true;
        });
        // The store cannot change the index under a lookup; given time, it is still waiting.
        usleep(50000);
        EXPECT_FALSE(stored.load());
    }
    writer.join();
    EXPECT_TRUE(stored.load());
    EXPECT_EQ(Get(c.c, "k"), "v2");
}

TEST(CacheThreads, ReadsNeverSeeAnythingButStoredValuesWhileTheCollectorChurns) {
    // 32 pages of 4 KiB and 400 keys of values up to 600 bytes: the cache holds well under half of
    // what is live, so the collector copies and drops all the time. Generations of 2 ms move the age
    // limit and shift the histogram during the run.
    Cache* c = ZKCacheNewWithParams(4, 4096, 1, 25, 50, 2, 32 * 4096);
    ASSERT_NE(c, nullptr);
    zktest::StressSettings settings;
    settings.seed = Seed();
    settings.bytesPerWriter = 1 << 20;  // each writer stores 8 times the cache
    zktest::StressCounts n;
    EXPECT_EQ(zktest::RunCacheStress(c, settings, n), "");
    const zk::CacheCounters& k = zk::Impl(c)->counters;
    std::printf("stored %llu, found %llu of %llu; copied %llu, dropped %llu, replaced %llu; read retries %llu\n",
                ULL(n.stored), ULL(n.found), ULL(n.reads), ULL(k.blocks_copied), ULL(k.blocks_dropped),
                ULL(k.blocks_replaced), ULL(k.read_retries));
    // Only the collector makes room, and 24 times the cache went in.
    EXPECT_GT(k.pages_emptied + k.pages_emergency, 0u);
    ZKCacheDelete(c);
}

TEST(CacheThreads, RemovalsRaceWithStoresReadsAndTheCollector) {
    // A cache far smaller than what is stored, so that the collector copies and drops all the time,
    // run step by step by a thread of the test, so that the books can be checked once all stop.
    TestCache c(4, 4096, 1, 25, 50, 2, 32 * 4096);
    constexpr int kKeys = 40, kSteps = 20000;
    const UInt seed = Seed();
    std::atomic<bool> stop{false};
    std::atomic<int> faults{0}, removed{0}, writersDone{0};
    std::thread collector([&] {
        zk::CollectorState state;
        while (!stop.load()) zk::CollectorCycle(c.c, &state, 1);
    });
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937_64 rng(seed * 7 + w);
            for (int i = 0; i < kSteps; ++i) {
                const std::string key = "key-" + std::to_string(rng() % kKeys);
                Store(c.c, key, zktest::MakeValue(key, UInt(w), ULong(i), ZK_CACHE_NEVER_EXPIRES, rng() % 300));
            }
            ++writersDone;
        });
    }
    // Removing an absent key is quick, so the remover keeps on until the writers are done: otherwise
    // it can run all its steps before the first store lands and never race anything.
    threads.emplace_back([&] {
        std::mt19937_64 rng(seed * 7 + 2);
        for (int i = 0; i < kSteps || writersDone.load() < 2; ++i)
            removed += ZKCacheRemove(c.c, U("key-" + std::to_string(rng() % kKeys)));
    });
    threads.emplace_back([&] {
        std::mt19937_64 rng(seed * 7 + 3);
        UByteArray a;
        ArrayInit_(&a);
        for (int i = 0; i < kSteps; ++i) {
            const std::string key = "key-" + std::to_string(rng() % kKeys);
            a.length = 0;
            const ULong start = GetCurrentTimeMilliseconds();
            if (ZKCacheGetDynamic(c.c, U(key), &a) &&
                !zktest::Verify(key, std::string(reinterpret_cast<char*>(a.data), a.length), start).empty()) {
                faults.fetch_add(1);
            }
        }
        ArrayFree_(&a);
    });
    for (auto& thread : threads) thread.join();
    stop = true;
    collector.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(removed.load(), 0);
    EXPECT_GT(zk::Impl(c.c)->counters.pages_emptied.load(), 0u);
    ExpectSound(c.c);
    for (int k = 0; k < kKeys; ++k) {
        const std::string key = "key-" + std::to_string(k);
        ZKCacheRemove(c.c, U(key));
        EXPECT_FALSE(Get(c.c, key)) << key;
    }
    ExpectSound(c.c);
}

TEST(CacheThreads, DeletionEndsAPassThatCannotReachTheHighMark) {
    // Three full pages each hold one block too large to share a page, and too few objects for a pass
    // to aim at dropping any: the collector copies them from page to page and the free count never
    // rises above 5. Deletion must still end the pass.
    TestCache c(8, 4096, 0, 8, 16, 60000, 8 * 4096);
    for (const char* key : {"a", "b", "c"}) {
        Page* page = zk::GetFreePage(c.c, zk::ListEnd::kTail, zk::Reserve::kUse);
        Write(c.c, page, key, std::string(3000, key[0]));
        zk::AddFullPage(c.c, page, zk::ListEnd::kHead);
    }
    c->c_gc_thread = ThreadCreate_(zk::CacheGCMain, c.c, 0, __FILE__, __LINE__);
    {
        zk::MutexLock lock(&c->c_alloc_mutex);
        while (!c->c_gc_started) ConditionWait(&c->c_start_cond, &c->c_alloc_mutex);
    }
    // Wait until the collector is at work, never for a set time.
    while (zk::Impl(c.c)->counters.pages_emptied.load() < 3) usleep(1000);
    for (const char* key : {"a", "b", "c"}) EXPECT_EQ(Get(c.c, key), std::string(3000, key[0]));
    // ~TestCache deletes the cache; a hang there fails the test by its time-out.
}

}  // namespace
