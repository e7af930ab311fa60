// The base layer's own contracts: primes, arrays, memory and file mappings, channels, threads,
// messages, assertions, fingerprints, the clock and sorting.

#include "zklib/zklib.h"
#include "tests/test_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Randomised tests take their seed from ZK_SEED when set, and print the one they use.
std::mt19937_64 SeededRng() {
    static const uint64_t seed = [] {
        const char* env = std::getenv("ZK_SEED");
        uint64_t value = env != nullptr ? std::strtoull(env, nullptr, 10) : std::random_device{}();
        std::printf("ZK_SEED=%llu\n", static_cast<unsigned long long>(value));
        return value;
    }();
    return std::mt19937_64(seed);
}

std::vector<unsigned char> RandomBytes(std::mt19937_64& rng, size_t count) {
    std::vector<unsigned char> bytes(count);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    return bytes;
}

bool AllBytes(const void* block, size_t from, size_t to, unsigned char value) {
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    return std::all_of(bytes + from, bytes + to, [value](unsigned char b) { return b == value; });
}

class TempDirTest : public zktest::TempDirTest {
protected:
    void WriteFile(const std::string& name, const std::string& content) const {
        FILE* f = std::fopen(PathOf(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
};

// ---- primes ----------------------------------------------------------------------------------

bool IsPrimeByTrialDivision(uint64_t n) {
    for (uint64_t d = 2; d * d <= n; ++d) {
        if (n % d == 0) return false;
    }
    return n >= 2;
}

TEST(PrimeTest, SpotValues) {
    const UInt cases[][2] = {{0, 2},     {1, 2},     {2, 2},
                             {7, 7},     {8, 11},    {150, 151},
                             {4294967291u, 4294967291u}, {4294967280u, 4294967291u}};
    for (const auto& c : cases) EXPECT_EQ(Prime(c[0]), c[1]) << "n=" << c[0];
}

// Every n in a few windows against trial division: small numbers, both sides of 2^31, the top of
// the range, and around a prime square and a strong pseudoprime to several bases.
TEST(PrimeTest, MatchesTrialDivision) {
    const uint64_t windows[][2] = {{0, 5000},
                                   {(1ull << 31) - 3000, (1ull << 31) + 3000},
                                   {4294967291ull - 5000, 4294967291ull},
                                   {65521ull * 65521ull - 200, 65521ull * 65521ull + 200},
                                   {3215031751ull - 200, 3215031751ull + 200}};
    for (const auto& window : windows) {
        uint64_t next = window[1];
        while (!IsPrimeByTrialDivision(next)) ++next;
        for (uint64_t n = window[1] + 1; n-- > window[0];) {
            if (IsPrimeByTrialDivision(n)) next = n;
            ASSERT_EQ(Prime(static_cast<UInt>(n)), next) << "n=" << n;
        }
    }
}

TEST(PrimeDeathTest, NoPrimeAboveTheLargest) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Prime(4294967292u), "zklib: Prime: fatal: no 32-bit prime not below 4294967292");
    EXPECT_DEATH(Prime(UINT32_MAX), "no 32-bit prime not below 4294967295");
}

// ---- growable arrays -------------------------------------------------------------------------

TEST(ArrayTest, GrowKeepsContents) {
    UIntArray a;
    ArrayInit_(&a);
    EXPECT_TRUE(a.data == nullptr && a.length == 0 && a.capacity == 0);
    int grows = 0;
    for (UInt i = 0; i < 100000; ++i) {
        if (a.length == a.capacity) {
            ArrayGrow(&a, sizeof(UInt));
            ++grows;
            ASSERT_GT(a.capacity, a.length);
            for (UInt j = 0; j < a.length; ++j) ASSERT_EQ(a.data[j], j * 2654435761u) << j;
        }
        a.data[a.length++] = i * 2654435761u;
    }
    EXPECT_LE(grows, 20);  // geometric: not one reallocation per element or per fixed step
    ArrayFree_(&a);
    EXPECT_TRUE(a.data == nullptr && a.length == 0 && a.capacity == 0);
}

TEST(ArrayTest, GrowExactSetsCapacityAndCutsLength) {
    UByteArray a;
    ArrayInit_(&a);
    ArrayGrowExact(&a, 100, 1);
    for (UInt i = 0; i < 100; ++i) a.data[a.length++] = static_cast<UByte>(i + 1);
    ArrayGrowExact(&a, 1000, 1);
    EXPECT_EQ(a.capacity, 1000u);
    EXPECT_EQ(a.length, 100u);
    ArrayGrowExact(&a, 40, 1);
    EXPECT_EQ(a.capacity, 40u);
    EXPECT_EQ(a.length, 40u);
    for (UInt i = 0; i < 40; ++i) EXPECT_EQ(a.data[i], i + 1);
    ArrayGrowExact(&a, 0, 1);
    EXPECT_TRUE(a.data == nullptr && a.length == 0 && a.capacity == 0);
}

TEST(ArrayTest, NextSizeStaysWithinNeedAndBound) {
    for (UInt bound : {8u, 100u, 5000u, ZK_ARRAY_MAX_CAPACITY, UINT32_MAX}) {
        for (UInt capacity : {0u, 1u, 7u, 8u, 9u, 1000u, 0x3FFFFFFFu, 0x40000000u, 0x7FFFFFFFu}) {
            for (UInt need : {0u, 1u, 8u, 9u, 1001u, 0x40000001u, 0x7FFFFFFFu}) {
                if (need > bound) continue;
                UInt next = ArrayNextSize(capacity, need, bound);
                SCOPED_TRACE(testing::Message() << capacity << " " << need << " " << bound);
                EXPECT_GE(next, need);
                EXPECT_LE(next, bound);
                EXPECT_GE(next, std::min<uint64_t>(std::max<uint64_t>(2ull * capacity, 8), bound));
            }
        }
    }
}

TEST(ArrayDeathTest, CapacityLimit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ArrayNextSize(0, 11, 10), "array capacity limit exceeded: need=11 bound=10");
    // A full array at the largest capacity: the limit fires before any allocation is tried.
    UIntArray full = {nullptr, ZK_ARRAY_MAX_CAPACITY, ZK_ARRAY_MAX_CAPACITY};
    EXPECT_DEATH(ArrayGrow_(&full, sizeof(UInt), "dict/caller.cpp", 321),
                 "dict/caller.cpp:321: zklib: ArrayGrow: fatal: array capacity limit exceeded: "
                 "need=2147483648 bound=2147483647");
}

// ---- packed-value blocks ---------------------------------------------------------------------

TEST(AnonArrayTest, RoundsUpToWholeWordsAndZeroFills) {
    struct {
        size_t wordSize;
        ULong nvalues;
        UShort width;
        size_t bytes;
    } const cases[] = {{8, 64, 1, 8}, {8, 65, 1, 16}, {8, 1, 64, 8}, {8, 3, 33, 16},
                       {4, 3, 33, 16}, {1, 9, 1, 2},  {2, 5, 3, 2},  {8, 1000, 17, 2128}};
    for (const auto& c : cases) {
        size_t size = 12345;
        void* block = AnonArrayGrow_(c.wordSize, nullptr, c.nvalues, c.width, &size, __FILE__, __LINE__);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(size, c.bytes) << c.wordSize << " " << c.nvalues << " " << c.width;
        EXPECT_TRUE(AllBytes(block, 0, size, 0));
        AnonArrayFree_(block, __FILE__, __LINE__);
    }
}

TEST(AnonArrayTest, GrowthKeepsContentsAndZeroesTheTail) {
    size_t size = 0;
    void* block = AnonArrayGrow_(8, nullptr, 128, 8, &size, __FILE__, __LINE__);
    ASSERT_EQ(size, 128u);
    std::memset(block, 0xAB, size);
    block = AnonArrayGrow_(8, block, 4096, 8, &size, __FILE__, __LINE__);
    ASSERT_EQ(size, 4096u);
    EXPECT_TRUE(AllBytes(block, 0, 128, 0xAB));
    EXPECT_TRUE(AllBytes(block, 128, 4096, 0));

    // Shrinking and growing again must not bring back bytes from before the shrink.
    std::memset(block, 0xCD, size);
    block = AnonArrayGrow_(8, block, 16, 8, &size, __FILE__, __LINE__);
    ASSERT_EQ(size, 16u);
    block = AnonArrayGrow_(8, block, 4096, 8, &size, __FILE__, __LINE__);
    EXPECT_TRUE(AllBytes(block, 0, 16, 0xCD));
    EXPECT_TRUE(AllBytes(block, 16, 4096, 0));

    // No values: the block is released (the leak checker of the sanitizer build would see it).
    EXPECT_EQ(AnonArrayGrow_(8, block, 0, 8, &size, __FILE__, __LINE__), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(AnonArrayTest, ImpossibleSizesFailAndLeaveTheOldBlock) {
    size_t size = 0;
    void* block = AnonArrayGrow_(8, nullptr, 10, 8, &size, __FILE__, __LINE__);
    std::memset(block, 0x5A, size);
    const size_t before = size;
    const struct {
        size_t wordSize;
        void* old;
        ULong nvalues;
        UShort width;
        int err;
    } cases[] = {{8, block, 1ull << 62, 8, ENOMEM},
                 {8, nullptr, UINT64_MAX, 65535, ENOMEM},
                 {0, nullptr, 10, 8, EINVAL},
                 {8, block, 10, 0, EINVAL}};
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(AnonArrayGrow_(c.wordSize, c.old, c.nvalues, c.width, &size, __FILE__, __LINE__), nullptr);
        EXPECT_EQ(errno, c.err);
    }
    EXPECT_EQ(size, before);
    EXPECT_TRUE(AllBytes(block, 0, before, 0x5A));
    AnonArrayFree_(block, __FILE__, __LINE__);
}

// ---- memory ----------------------------------------------------------------------------------

TEST(MemoryTest, AllocateIsAlignedAndResizeKeepsContents) {
    std::vector<void*> blocks;
    for (size_t size = 0; size < 200; ++size) {
        blocks.push_back(Allocate(size, nullptr));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % 8, 0u) << size;
    }
    for (void* block : blocks) UnAllocate(block);

    auto* block = static_cast<unsigned char*>(Allocate(100, nullptr));
    std::memset(block, 0x77, 100);
    block = static_cast<unsigned char*>(Allocate(1 << 20, block));
    EXPECT_TRUE(AllBytes(block, 0, 100, 0x77));
    block[(1 << 20) - 1] = 1;  // the whole new size is usable
    block = static_cast<unsigned char*>(Allocate(10, block));
    EXPECT_TRUE(AllBytes(block, 0, 10, 0x77));
    UnAllocate(block);
}

TEST(MemoryDeathTest, ExhaustionIsFatal) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator reports oversized requests itself";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Allocate_(SIZE_MAX / 2, nullptr, "dict/caller.cpp", 55),
                 "dict/caller.cpp:55: zklib: Allocate: fatal: memory allocation failed: size=");
#endif
}

TEST(MemoryTest, MappingsAreZeroFilledAndRemapKeepsContents) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t first = 3 * page + 100, grown = 64 * page, shrunk = page + 10;
    auto* block = static_cast<unsigned char*>(MemoryMap(first));
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(AllBytes(block, 0, first, 0));
    std::memset(block, 0x11, first);
    block = static_cast<unsigned char*>(MemoryRemap(block, first, grown));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllBytes(block, 0, first, 0x11));
    EXPECT_TRUE(AllBytes(block, first, grown, 0));

    // Shrinking into the middle of a page and growing again: the rest of that page reads as zero.
    std::memset(block, 0xEE, grown);
    block = static_cast<unsigned char*>(MemoryRemap(block, grown, shrunk));
    ASSERT_NE(block, nullptr);
    block = static_cast<unsigned char*>(MemoryRemap(block, shrunk, grown));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllBytes(block, 0, shrunk, 0xEE));
    EXPECT_TRUE(AllBytes(block, shrunk, grown, 0));
    EXPECT_TRUE(MemoryUnmap(block, grown));

    void* none = MemoryMap(0);
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(MemoryUnmap(none, 0));
}

// ---- file mappings ---------------------------------------------------------------------------

using FileMapTest = TempDirTest;

TEST_F(FileMapTest, MapsContentAndJoinsDirectoryAndName) {
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    WriteFile("data", content);
    const std::string full = PathOf("data");
    const std::pair<const char*, const char*> spellings[] = {
        {dir_.c_str(), "data"}, {nullptr, full.c_str()}, {"", full.c_str()}};
    for (const auto& [dir, name] : spellings) {
        size_t size = 0;
        Boolean empty = TRUE;
        void* block = FileMapRead(dir, name, &size, &empty);
        ASSERT_NE(block, nullptr) << name << ": " << std::strerror(errno);
        EXPECT_EQ(size, content.size());
        EXPECT_FALSE(empty);
        EXPECT_EQ(std::memcmp(block, content.data(), content.size()), 0);
        EXPECT_TRUE(FileUnmap(block, size));
    }
}

TEST_F(FileMapTest, EmptyMissingAndNonRegularFiles) {
    WriteFile("empty", "");
    ASSERT_EQ(mkdir(PathOf("sub").c_str(), 0755), 0);
    size_t size = 99;
    Boolean empty = FALSE;
    EXPECT_EQ(FileMapRead(dir_.c_str(), "empty", &size, &empty), nullptr);
    EXPECT_TRUE(empty);
    EXPECT_EQ(size, 0u);

    const std::string longName(5000, 'x');
    const std::pair<const char*, int> failures[] = {
        {"missing", ENOENT}, {"sub", EINVAL}, {longName.c_str(), ENAMETOOLONG}};
    for (const auto& [name, err] : failures) {
        empty = TRUE;
        errno = 0;
        EXPECT_EQ(FileMapRead(dir_.c_str(), name, &size, &empty), nullptr);
        EXPECT_EQ(errno, err);
        EXPECT_FALSE(empty);
    }
}

// ---- channels --------------------------------------------------------------------------------

using ChannelTest = TempDirTest;

TEST_F(ChannelTest, RoundTripAcrossTheBuffer) {
    std::mt19937_64 rng = SeededRng();
    // Small writes that straddle the 64 KiB buffer, writes of about a buffer, and far larger ones.
    std::vector<unsigned char> expected;
    Channel* out = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(out, PathOf("round").c_str(), "w")) << std::strerror(errno);
    for (size_t size : {1, 17, 65535, 2, 65536, 65537, 3, 200000, 100, 65000, 1000, 131072, 5}) {
        std::vector<unsigned char> bytes = RandomBytes(rng, size);
        ASSERT_TRUE(ChannelWriteBuf(out, bytes.data(), bytes.size()));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    ASSERT_TRUE(ChannelClose(out));

    Channel* in = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(in, PathOf("round").c_str(), "r"));
    std::vector<unsigned char> read;
    const size_t readSizes[] = {0, 1, 3, 70000, 65536, 10, 200000, 65535, 7};
    for (size_t step = 0; read.size() + 200000 < expected.size(); ++step) {
        size_t want = readSizes[step % std::size(readSizes)];
        if (want == 1) {
            int byte = ChannelReadByte_(in, 0);
            ASSERT_GE(byte, 0);
            read.push_back(static_cast<unsigned char>(byte));
            continue;
        }
        std::vector<unsigned char> chunk(want);
        size_t got = 12345;
        ASSERT_EQ(ChannelReadBuf(in, chunk.data(), want, &got), 0);
        ASSERT_EQ(got, want);
        read.insert(read.end(), chunk.begin(), chunk.end());
    }
    // Asking for more than is left: the rest arrives and the call reports a clean end of file.
    const size_t left = expected.size() - read.size();
    std::vector<unsigned char> tail(left + 1000);
    size_t got = 0;
    errno = EBADF;
    EXPECT_EQ(ChannelReadBuf(in, tail.data(), tail.size(), &got), -1);
    EXPECT_EQ(errno, 0);
    ASSERT_EQ(got, left);
    read.insert(read.end(), tail.begin(), tail.begin() + static_cast<ptrdiff_t>(got));
    EXPECT_TRUE(read == expected);
    EXPECT_EQ(ChannelReadByte_(in, 0), -1);
    EXPECT_EQ(ChannelReadBuf(in, tail.data(), 1, &got), -1);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(ChannelClose(in));
}

TEST_F(ChannelTest, SyncMakesWritesVisibleWhileOpen) {
    Channel* out = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(out, PathOf("synced").c_str(), "w"));
    ASSERT_TRUE(ChannelWriteBuf(out, "hello, ", 7));
    ASSERT_TRUE(ChannelWriteBuf(out, "world", 5));
    ASSERT_TRUE(ChannelSync(out));
    Channel* in = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(in, PathOf("synced").c_str(), "r"));
    char text[13] = {};
    EXPECT_EQ(ChannelReadBuf(in, text, 12, nullptr), 0);
    EXPECT_STREQ(text, "hello, world");
    EXPECT_TRUE(ChannelClose(in));
    EXPECT_TRUE(ChannelClose(out));
}

TEST_F(ChannelTest, MisuseFailsCleanly) {
    Channel* ch = ChannelNew(-1, -1);
    const std::pair<std::string, const char*> opens[] = {
        {PathOf("no/such/dir/file"), "w"}, {PathOf("missing"), "r"}, {PathOf("f"), "a"}};
    for (const auto& [path, mode] : opens) {
        errno = 0;
        EXPECT_FALSE(ChannelOpenFile(ch, path.c_str(), mode)) << path << " " << mode;
        EXPECT_EQ(errno, mode[0] == 'a' ? EINVAL : ENOENT);
    }
    EXPECT_TRUE(ChannelClose(ch));  // never opened
    EXPECT_TRUE(ChannelClose(nullptr));

    Channel* out = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(out, PathOf("f").c_str(), "w"));
    char byte;
    size_t got = 1;
    errno = 0;
    EXPECT_EQ(ChannelReadBuf(out, &byte, 1, &got), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(ChannelWriteBuf(out, "z", 1));
    EXPECT_TRUE(ChannelClose(out));

    Channel* in = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(in, PathOf("f").c_str(), "r"));
    errno = 0;
    EXPECT_FALSE(ChannelWriteBuf(in, "a", 1));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ChannelReadByte_(in, 0), 'z');
    EXPECT_TRUE(ChannelClose(in));
}

// A channel on a descriptor the caller opened: it writes and reads like one from ChannelOpenFile,
// and ChannelClose closes the descriptor; a refused descriptor stays the caller's.
TEST_F(ChannelTest, OnAnOpenDescriptor) {
    int wfd = open(PathOf("fd").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(wfd, 0) << std::strerror(errno);
    Channel* out = ChannelNew(-1, -1);
    errno = 0;
    EXPECT_FALSE(ChannelOpenFd(out, wfd, "r"));  // opened for writing only
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(ChannelOpenFd(out, wfd, "a"));
    EXPECT_FALSE(ChannelOpenFd(out, -1, "w"));
    EXPECT_GE(fcntl(wfd, F_GETFD), 0) << "a refused descriptor must stay open";
    ASSERT_TRUE(ChannelOpenFd(out, wfd, "w"));
    errno = 0;
    EXPECT_FALSE(ChannelOpenFd(out, wfd, "w"));
    EXPECT_EQ(errno, EBUSY);
    ASSERT_TRUE(ChannelWriteBuf(out, "descriptor", 10));
    ASSERT_TRUE(ChannelSync(out));
    ASSERT_TRUE(ChannelClose(out));
    errno = 0;
    EXPECT_EQ(fcntl(wfd, F_GETFD), -1) << "ChannelClose must close the descriptor";
    EXPECT_EQ(errno, EBADF);

    int rfd = open(PathOf("fd").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(rfd, 0);
    Channel* in = ChannelNew(-1, -1);
    EXPECT_FALSE(ChannelOpenFd(in, rfd, "w"));
    ASSERT_TRUE(ChannelOpenFd(in, rfd, "r"));
    char text[11] = {};
    EXPECT_EQ(ChannelReadBuf(in, text, 10, nullptr), 0);
    EXPECT_STREQ(text, "descriptor");
    EXPECT_EQ(ChannelReadByte_(in, 0), -1);
    EXPECT_TRUE(ChannelClose(in));
}

// Write errors surface at the flush that meets them, and again at close, which still releases.
TEST(ChannelErrorTest, FullDevice) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    Channel* out = ChannelNew(-1, -1);
    ASSERT_TRUE(ChannelOpenFile(out, "/dev/full", "w"));
    EXPECT_TRUE(ChannelWriteBuf(out, "pending", 7));  // only buffered so far
    errno = 0;
    EXPECT_FALSE(ChannelFlush(out));
    EXPECT_EQ(errno, ENOSPC);
    std::vector<char> big(200000, 'b');
    EXPECT_FALSE(ChannelWriteBuf(out, big.data(), big.size()));
    errno = 0;
    EXPECT_FALSE(ChannelClose(out));
    EXPECT_EQ(errno, ENOSPC);
}

// A FIFO whose writer stays silent: a read with a time-out gives up with ETIMEDOUT instead of
// blocking, and reads again once data arrives.
TEST_F(ChannelTest, ReadTimeOut) {
    const std::string fifo = PathOf("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // lets the reader's open return at once
    ASSERT_GE(writer, 0);
    Channel* in = ChannelNew(20, -1);
    ASSERT_TRUE(ChannelOpenFile(in, fifo.c_str(), "r"));
    errno = 0;
    EXPECT_EQ(ChannelReadByte_(in, 0), -2);
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(write(writer, "Q", 1), 1);
    EXPECT_EQ(ChannelReadByte_(in, 0), 'Q');
    EXPECT_TRUE(ChannelClose(in));
    close(writer);
}

// ---- threads ---------------------------------------------------------------------------------

struct Handshake {
    Mutex mutex;
    Condition cond;
    bool ready = false;
};

void* SignalReady(void* arg) {
    auto* h = static_cast<Handshake*>(arg);
    pthread_mutex_lock(&h->mutex);
    h->ready = true;
    ConditionSignal(&h->cond);
    pthread_mutex_unlock(&h->mutex);
    return nullptr;
}

TEST(ThreadTest, ThreadSignalsCondition) {
    for (bool timed : {false, true}) {
        Handshake h;
        MutexInit(&h.mutex);
        ConditionInit(&h.cond);
        // Held while the thread starts, so that it can signal only once this thread waits.
        pthread_mutex_lock(&h.mutex);
        Thread thread = ThreadCreate(SignalReady, &h, 0);
        bool allWoken = true;
        while (!h.ready) {
            if (timed) {
                // A time-out too long to add naively to the clock must still wait, not expire.
                allWoken = ConditionTimedWait(&h.cond, &h.mutex, UINT64_MAX) && allWoken;
            } else {
                ConditionWait(&h.cond, &h.mutex);
            }
        }
        pthread_mutex_unlock(&h.mutex);
        ThreadJoin(thread);
        EXPECT_TRUE(allWoken);
        ConditionDestroy(&h.cond);
        MutexDestroy(&h.mutex);
    }
}

TEST(ThreadTest, TimedWaitWithoutSignalTimesOut) {
    Mutex mutex;
    Condition cond;
    MutexInit(&mutex);
    ConditionInit(&cond);
    pthread_mutex_lock(&mutex);
    bool timedOut = false;  // a wake-up without a signal is allowed, so try a few times
    for (int i = 0; i < 20 && !timedOut; ++i) timedOut = !ConditionTimedWait(&cond, &mutex, 5);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);  // held again on return
    pthread_mutex_unlock(&mutex);
    ConditionDestroy(&cond);
    MutexDestroy(&mutex);
}

// ---- messages --------------------------------------------------------------------------------

// Each report as one line: path:line module function severity flag: text.
std::mutex gReportsMutex;
std::vector<std::string> gReports;

void CaptureHandler(const char* path, int line, const char* module, const char* function, int severity,
                    int flag, const char* text) {
    std::lock_guard<std::mutex> lock(gReportsMutex);
    gReports.push_back(std::string(path) + ":" + std::to_string(line) + " " + module + " " + function + " " +
                       std::to_string(severity) + " " + std::to_string(flag) + ": " + text);
    errno = EPIPE;  // handlers may clobber errno; reporting must not pass that on
}

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReports.clear();
        previous_ = ZKSetMessageHandler(CaptureHandler);
    }
    void TearDown() override { ZKSetMessageHandler(previous_); }
    ZKMessageHandler previous_ = nullptr;
};

TEST_F(MessageTest, ReportCarriesContextThenContextResets) {
    ZKSetMessageContext2_("dict/x.cpp", 42, "zkdict", "HashTableNew", 2, 1);
    ZKMessage_("built %d entries in %s", 17, "table");
    ZKMessage_("no context");
    std::string big(10000, 'q');  // longer than any stack buffer
    big[5000] = 'X';
    ZKMessage_("<%s>", big.c_str());
    ASSERT_EQ(gReports.size(), 3u);
    EXPECT_EQ(gReports[0], "dict/x.cpp:42 zkdict HashTableNew 2 1: built 17 entries in table");
    EXPECT_EQ(gReports[1], ":0   3 0: no context");
    EXPECT_EQ(gReports[2], ":0   3 0: <" + big + ">");
}

TEST_F(MessageTest, ErrorRethrowAppendsReasonKeepsErrnoAndReturns) {
    ZKSetMessageContext2_("dict/hashtable.cpp", 7, "zkdict", "HashTableWrite", 4, 0);
    errno = ENOENT;
    ZKErrorRethrow_("error opening %s", "t.tab");  // returns even at severity 4
    EXPECT_EQ(errno, ENOENT);
    std::string big(3000, 'r');
    errno = ENOSPC;
    ZKErrorRethrow_("%s", big.c_str());
    EXPECT_EQ(errno, ENOSPC);
    errno = EACCES;
    ZKMessage_("plain");
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(gReports.size(), 3u);
    EXPECT_EQ(gReports[0], std::string("dict/hashtable.cpp:7 zkdict HashTableWrite 4 0: error opening t.tab: ") +
                               std::strerror(ENOENT));
    EXPECT_EQ(gReports[1], ":0   3 0: " + big + ": " + std::strerror(ENOSPC));
}

TEST_F(MessageTest, ErrorSaveRestoreNests) {
    errno = EIO;
    ZKErrorSave();
    errno = ENOSPC;
    ZKErrorSave();
    errno = 0;
    ZKErrorRestore();
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    ZKErrorRestore();
    EXPECT_EQ(errno, EIO);
    errno = EEXIST;
    ZKErrorRestore();  // nothing saved: errno stays
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(MessageTest, ZkassertReportsOnlyWhenFalse) {
    zkassert_("offset % 8 == 0", "dict/hashtable.cpp", 99, 1);
    EXPECT_TRUE(gReports.empty());
    zkassert_("offset % 8 == 0", "dict/hashtable.cpp", 99, 0);
    ASSERT_EQ(gReports.size(), 1u);
    EXPECT_EQ(gReports[0], "dict/hashtable.cpp:99 zklib zkassert 3 0: assertion failed: offset % 8 == 0");
}

void* ReportWithoutContext(void*) {
    ZKMessage_("from another thread");
    return nullptr;
}

TEST_F(MessageTest, ContextIsPerThread) {
    ZKSetMessageContext2_("main.cpp", 1, "main", "Main", 2, 1);
    ThreadJoin(ThreadCreate(ReportWithoutContext, nullptr, 0));
    ZKMessage_("from main");
    ASSERT_EQ(gReports.size(), 2u);
    EXPECT_EQ(gReports[0], ":0   3 0: from another thread");
    EXPECT_EQ(gReports[1], "main.cpp:1 main Main 2 1: from main");
}

TEST_F(MessageTest, HandlerSwapAndDefaultOutput) {
    EXPECT_NE(previous_, nullptr);
    EXPECT_NE(previous_, &CaptureHandler);
    EXPECT_EQ(ZKSetMessageHandler(nullptr), &CaptureHandler);
    EXPECT_EQ(ZKSetMessageHandler(CaptureHandler), previous_);  // NULL put the default back
    ZKSetMessageHandler(nullptr);

    ::testing::internal::CaptureStderr();
    ZKSetMessageContext2_("dict/a.cpp", 12, "zkdict", "AttrDictOpen", 3, 0);
    ZKMessage_("bad index %u", 5u);
    ZKSetMessageContext2_("dict/b.cpp", 34, "zkdict", "HashDictBuild", 2, 0);
    ZKMessage_("peeled");
    // A severity-4 report that returns is no fatal one: the call fails and the process goes on.
    ZKSetMessageContext2_("dict/hashtable", 7, "zkdict", "HashTableRead", 4, 0);
    errno = EINVAL;
    ZKErrorRethrow_("error reading %s", "t.tab");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dict/a.cpp:12: zkdict: AttrDictOpen: error: bad index 5\n"
              "dict/b.cpp:34: zkdict: HashDictBuild: peeled\n"
              "dict/hashtable:7: zkdict: HashTableRead: error: error reading t.tab: " +
                  std::string(std::strerror(EINVAL)) + "\n");
    EXPECT_TRUE(gReports.empty());
}

void LoudHandler(const char*, int, const char*, const char*, int, int, const char* text) {
    std::fprintf(stderr, "handler saw <%s>\n", text);
}

TEST(MessageDeathTest, FatalAbortsAfterTheHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ZKSetMessageContext2_("dict/c.cpp", 56, "zkdict", "CacheNew", 4, 0);
            ZKMessage_("cannot map %d pages", 3);
        },
        "dict/c.cpp:56: zkdict: CacheNew: fatal: cannot map 3 pages");
    EXPECT_DEATH(
        {
            ZKSetMessageHandler(LoudHandler);
            ZKSetMessageContext2_("dict/c.cpp", 56, "zkdict", "CacheNew", 4, 0);
            ZKMessage_("gone");
            std::fprintf(stderr, "returned\n");  // must not be reached
        },
        "handler saw <gone>\n$");
}

// This file is built with the release flags (NDEBUG), which ZK_ASSERT ignores by construction.
TEST(AssertDeathTest, ZkAssertReportsLikeAssert) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int evaluations = 0;
    ZK_ASSERT(++evaluations == 1);
    EXPECT_EQ(evaluations, 1);
    EXPECT_DEATH(ZK_ASSERT(1 == 2), "zklib_test.cpp:[0-9]+: .*Assertion `1 == 2' failed");
}

// ---- fingerprints, time, sorting -------------------------------------------------------------

// Fingerprints are kept in files, so their values are frozen: XXH3's, on both sides of each step
// between the hash's length classes (empty, 1-3, 4-8, 9-16, 17-128, 129-240 and longer).
TEST(FingerprintTest, FrozenValuesAndSeparatesKeys) {
    const struct {
        size_t len;
        FPrint fingerprint;
    } cases[] = {
        {0, 0x2d06800538d394c2u},   {1, 0x4c5cca45d0f4811fu},   {3, 0x6e3e2670e61106acu},
        {4, 0x5c4c63133443d03fu},   {8, 0xf9fd4dd0b04d78f5u},   {9, 0x7c20df9712c26edfu},
        {16, 0x86abf6baccea0858u},  {17, 0xb58bf5dc5022d071u},  {32, 0xe3712ed84c04a66eu},
        {33, 0xa4dee99b093e1f73u},  {128, 0x10d17f72c0ccba41u}, {129, 0x1648bdc3db49d1a2u},
        {240, 0xb6cfaf343fab81e6u}, {241, 0x956cae592c67279eu}, {1000, 0x571d5cbfef44331bu},
    };
    std::vector<unsigned char> pattern(1000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<unsigned char>(i * 131 + 7);
    for (const auto& c : cases) EXPECT_EQ(Fingerprint(pattern.data(), c.len), c.fingerprint) << c.len;
    EXPECT_EQ(Fingerprint(nullptr, 0), cases[0].fingerprint);

    // The value depends on the bytes alone, not on their alignment.
    std::mt19937_64 rng = SeededRng();
    const std::vector<unsigned char> bytes = RandomBytes(rng, 1001);
    for (size_t len = 0; len < bytes.size(); len += (len < 300 ? 1 : 97)) {
        std::vector<unsigned char> copy(bytes.begin() + 1, bytes.begin() + 1 + static_cast<ptrdiff_t>(len));
        ASSERT_EQ(Fingerprint(copy.data(), len), Fingerprint(bytes.data() + 1, len)) << len;
    }

    // Flipping any single bit changes the fingerprint.
    for (size_t len : {1, 8, 16, 64, 200, 1000}) {
        std::vector<unsigned char> key(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(len));
        const FPrint base = Fingerprint(key.data(), len);
        for (size_t bit = 0; bit < len * 8; ++bit) {
            key[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
            ASSERT_NE(Fingerprint(key.data(), len), base) << "len=" << len << " bit=" << bit;
            key[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        }
    }

    std::unordered_set<FPrint> seen;
    char key[32];
    for (int i = 0; i < 100000; ++i) {
        int n = std::snprintf(key, sizeof key, "key%d", i);
        ASSERT_TRUE(seen.insert(Fingerprint(key, static_cast<size_t>(n))).second) << key;
    }
}

TEST(TimeTest, WallClockMilliseconds) {
    const ULong before = static_cast<ULong>(std::time(nullptr));
    const ULong ms = GetCurrentTimeMilliseconds();
    const ULong after = static_cast<ULong>(std::time(nullptr));
    // A sanity window only: milliseconds since the epoch, not seconds, microseconds or uptime.
    EXPECT_GE(ms + 2000, before * 1000);
    EXPECT_LE(ms, (after + 2) * 1000);
}

int CompareWithDirection(const void* a, const void* b, void* arg) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return *static_cast<int*>(arg) * ((x > y) - (x < y));
}

TEST(SortTest, SortsWithTheCallersArgument) {
    std::mt19937_64 rng = SeededRng();
    for (int direction : {1, -1}) {
        std::vector<int> values(5000);
        for (int& v : values) v = static_cast<int>(rng() % 1000);
        std::vector<int> expected = values;
        std::sort(expected.begin(), expected.end());
        if (direction < 0) std::reverse(expected.begin(), expected.end());
        QSort(values.data(), values.size(), sizeof(int), CompareWithDirection, &direction);
        EXPECT_TRUE(values == expected);
    }
}

}  // namespace
