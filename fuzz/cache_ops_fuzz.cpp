// The memory cache on one thread: a small cache made from parameters in the input, with its
// collector's cycles run here between the operations instead of on a thread of its own, so that
// the run is repeatable and the cache checker may look at it at any time. Stores, reads through
// both buffers (a static one too small for the value among them), expired entries and collections
// are checked against the latest value stored under each key:
//   - a read that finds a value returns exactly the latest value stored under its key, never an
//     older one or another key's, and never one whose latest store had already expired;
//   - until the collector runs, nothing is dropped: a value stored (or read) since the last cycle
//     is found; a key the cache has dropped stays absent until it is stored again;
//   - a store that succeeds adds one object of key + NUL + value bytes, a refused one adds nothing,
//     and a collection only ever lowers both counts; a value too large for an empty page, or a store
//     while free pages are at or below the safety mark, is refused;
//   - a failed read leaves the caller's buffer as it was.
// Expiry times are far in the future or already past, never near the present.
//
// The first bytes give the parameters, see Params; some inputs instead ask for parameters the cache
// must refuse. The rest is operations, see Run::Step.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "dict/zkcache.h"
#include "dict/zkcache_internal.h"
#include "fuzz/op_sequence.h"
#include "fuzz/table_fuzz.h"

namespace {

constexpr int kMaxSteps = 2000;
constexpr size_t kMaxKnown = 256;
constexpr UInt kSmallCache = 200;  // objects up to which the checker runs after every step
constexpr int kCheckEvery = 16;
// A day and more away from now: far enough that no run gets near it.
constexpr ULong kFarAway = 100000000;

const UByte* U(const std::string& s) { return reinterpret_cast<const UByte*>(s.c_str()); }

struct Params {
    UInt region_size;
    UInt page_size;
    double safety, low, high;
    UInt generation;
    UInt regions;
    ULong size;
    bool public_too;  // also make one through ZKCacheNewWithParams, with its collector thread (once)

    explicit Params(zkfuzz::Cursor& in) {
        static constexpr UInt kExtraPage[] = {0, 8, 64, 368, 880, 1904, 3952, 8048};
        static constexpr double kSafety[] = {0, 1, 5, 10, 25, 50, 100, 2.5};
        static constexpr double kLow[] = {0, 8, 20, 50, 80, 100, 33.3, 12};
        static constexpr double kHigh[] = {20, 16, 30, 60, 100, 45, 90, 0};
        static constexpr UInt kGenerations[] = {1, 10, 1000, 60000, 3600000, 0xFFFFFFFFu, 250, 5};
        const UByte a = in.Byte(), b = in.Byte(), c = in.Byte();
        region_size = 1 + a % 8;
        page_size = ZK_CACHE_MIN_PAGE_SIZE + kExtraPage[(a >> 3) & 7];
        safety = kSafety[b & 7];
        low = kLow[(b >> 3) & 7];
        high = kHigh[c & 7];
        generation = kGenerations[(c >> 3) & 7];
        regions = 1 + (b >> 6) * 4 + (a >> 6) % 4;  // 1 to 16, raised below
        // A size that is not a whole number of regions is cut to one.
        size = ULong(regions) * region_size * page_size + (c & 0x40 ? ULong(region_size) * page_size - 1 : 0);
        public_too = (c & 0x80) != 0;
    }
};

// Parameters that cannot work, one fault at a time: creation must refuse them.
void ExpectRefused(zkfuzz::Cursor& in) {
    const UByte which = in.Byte();
    UInt region = 4, page = 1024, generation = 1000;
    double safety = 1, low = 8, high = 16;
    ULong size = 1 << 16;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double percents[] = {-0.001, 100.5, nan, inf, -inf, 1e300};
    const double bad = percents[(which >> 3) % std::size(percents)];
    switch (which % 8) {
    case 0: region = 0; break;
    case 1: page = ZK_CACHE_MIN_PAGE_SIZE - 8; break;
    case 2: page = 1024 + 1 + (which >> 3) % 7; break;  // not a multiple of 8
    case 3: generation = 0; break;
    case 4: safety = bad; break;
    case 5: low = bad; break;
    case 6: high = bad; break;
    default:
        // Regions whose pages a 32-bit count cannot number.
        region = 65536;
        page = ZK_CACHE_MIN_PAGE_SIZE;
        size = ULong(region) * page * 65537;
        break;
    }
    ZKFUZZ_REQUIRE(zk::CacheNewInternal(region, page, safety, low, high, generation, size, zk::Collector::kManual) ==
                   nullptr);
    ZKFUZZ_REQUIRE(ZKCacheNewWithParams(region, page, safety, low, high, generation, size) == nullptr);
}

// What the model knows of a key.
struct Latest {
    std::string value;  // of the latest store that succeeded
    bool expired;       // that store's expiry was already past
    bool certain;       // the value cannot have been dropped: stored or found since the last cycle
    bool gone;          // a read found nothing: dropped, and never to come back until stored again
};

class Run {
public:
    Run(const Params& p, zkfuzz::Cursor in)
        : p_(p), in_(in),
          c_(zk::CacheNewInternal(p.region_size, p.page_size, p.safety, p.low, p.high, p.generation, p.size,
                                  zk::Collector::kManual)) {
        ZKFUZZ_REQUIRE(c_ != nullptr && c_->c_regions.length == p.regions);
        pages_ = ULong(p.regions) * p.region_size;
        ZKFUZZ_REQUIRE(ZKCacheGetSize(c_, nullptr, nullptr) == pages_ * p.page_size);
        ZKFUZZ_REQUIRE(c_->c_nb_free_pages == pages_ && c_->c_nb_full_pages == 0);
        RequireSound();
    }
    ~Run() { ZKCacheDelete(c_); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void Go() {
        for (int step = 0; step < kMaxSteps && !in_.empty(); step++) {
            Step();
            Counts();
            if (objects_ <= kSmallCache || step % kCheckEvery == 0) RequireSound();
        }
        RequireSound();
        // Every key read once more, both ways.
        for (const std::string& key : known_) {
            Read(key, 0);
            Read(key, 1);
        }
        Collect(true);
        for (const std::string& key : known_) Read(key, 2);
    }

private:
    void RequireSound() {
        const std::string fault = zk::CheckCache(c_);
        if (!fault.empty()) zkfuzz::Fault("the cache checker found a fault", fault.c_str(), __FILE__, __LINE__);
    }

    void Counts() {
        UInt n = 0;
        ULong bytes = 0;
        ZKFUZZ_REQUIRE(ZKCacheGetSize(c_, &n, &bytes) == pages_ * p_.page_size);
        ZKFUZZ_REQUIRE(n == objects_ && bytes == bytes_);
        UInt only = 0;
        ZKCacheGetSize(c_, &only, nullptr);
        ZKFUZZ_REQUIRE(only == n);
    }

    // The largest value that fits an empty page under key.
    ULong Room(const std::string& key) const {
        const ULong fixed = ULong(sizeof(Page)) + sizeof(CacheBlock) + key.size() + 1;
        return p_.page_size >= fixed ? p_.page_size - fixed : 0;
    }
    bool Fits(const std::string& key, size_t size) const {
        return ULong(sizeof(Page)) + sizeof(CacheBlock) + key.size() + 1 + size <= p_.page_size;
    }

    std::string NextKey() {
        const UByte mode = in_.Byte();
        switch (mode % 6) {
        case 0:
        case 1: return "k" + std::to_string(in_.Byte() % 24);
        case 2:
        case 3: {
            // One byte whatever the state, so that the operations after this one keep their bytes.
            const UByte pick = in_.Byte();
            return known_.empty() ? std::string("k") : known_[pick % known_.size()];
        }
        case 4: {
            // Long: too long for the smallest pages.
            std::string k(40 + in_.Byte() % 200, 'L');
            k[0] = char('A' + mode % 16);
            return k;
        }
        default: {
            std::string k(in_.Take(1 + in_.Byte() % 16));
            for (char& ch : k) ch = ch == 0 ? char(1) : ch;  // the key ends at its NUL
            return k;
        }
        }
    }

    std::string NextValue(const std::string& key) {
        const UByte mode = in_.Byte();
        size_t len;
        switch (mode % 6) {
        case 0: len = 0; break;
        case 1:
        case 2: len = in_.Byte() % 40; break;
        case 3: len = size_t(in_.Byte()) * 8; break;
        case 4: {
            // Around the largest value a page takes.
            const long long around = (long long)Room(key) + int(in_.Byte() % 3) - 1;
            len = size_t(around > 0 ? around : 0);
            break;
        }
        default: len = size_t(in_.Byte()) * 64; break;
        }
        return Pattern(len);
    }

    // Bytes that differ from store to store from the first byte on, so that an older value read
    // back shows even when it is short.
    std::string Pattern(size_t len) {
        ++stores_;
        std::string v(len, '\0');
        for (size_t i = 0; i < len; i++) v[i] = char((stores_ * 2654435761u + i * 40503u) >> 11);
        return v;
    }

    ULong NextExpiry(bool* past) {
        const UByte mode = in_.Byte();
        const ULong now = GetCurrentTimeMilliseconds();
        *past = mode % 8 >= 6;
        switch (mode % 8) {
        case 6: return mode & 0x80 ? 0 : now - kFarAway;
        case 7: return 1;
        case 5: return now + kFarAway;
        default: return ZK_CACHE_NEVER_EXPIRES;
        }
    }

    void Remember(const std::string& key) {
        for (const std::string& k : known_) {
            if (k == key) return;
        }
        if (known_.size() < kMaxKnown) known_.push_back(key);
    }

    void Store(const std::string& key, const std::string& value, ULong expires, bool past) {
        // Whether the free pages are at the safety mark, as the store will see them.
        const bool starved =
            c_->c_nb_free_pages <= 5 || 100.0 * (double(c_->c_nb_free_pages) / double(pages_)) <= p_.safety;
        const Boolean stored = ZKCacheStore(c_, U(key), U(value), UInt(value.size()), expires);
        if (!Fits(key, value.size()) || starved) ZKFUZZ_REQUIRE(!stored);
        Remember(key);
        if (!stored) return;
        objects_++;
        bytes_ += key.size() + 1 + value.size();
        model_[key] = Latest{value, past, true, false};
    }

    // Reads key through the dynamic buffer (how 0), a static buffer large enough (1) or, when the
    // value is known, one byte or more too small (2).
    void Read(const std::string& key, int how) {
        const auto at = model_.find(key);
        Latest* latest = at == model_.end() ? nullptr : &at->second;
        bool found = false;
        std::string got;
        if (how == 0) {
            UByteArray buffer;
            ArrayInit_(&buffer);
            const UInt lead = in_.Byte() % 4;
            for (UInt i = 0; i < lead; i++) {
                if (buffer.length == buffer.capacity) ArrayGrow_(&buffer, 1, __FILE__, __LINE__);
                buffer.data[buffer.length++] = UByte('0' + i);
            }
            const UInt capacity = buffer.capacity;
            found = ZKCacheGetDynamic(c_, U(key), &buffer) != 0;
            ZKFUZZ_REQUIRE(buffer.length >= lead);
            for (UInt i = 0; i < lead; i++) ZKFUZZ_REQUIRE(buffer.data[i] == UByte('0' + i));
            if (found) {
                got.assign(reinterpret_cast<const char*>(buffer.data) + lead, buffer.length - lead);
            } else {
                ZKFUZZ_REQUIRE(buffer.length == lead && buffer.capacity == capacity);
            }
            ArrayFree_(&buffer);
        } else {
            const bool small = how == 2 && latest != nullptr && !latest->value.empty();
            const UInt want = latest != nullptr ? UInt(latest->value.size()) : 0;
            const UByte shortBy = how == 2 ? in_.Byte() : 0;
            const UInt cut = small ? 1 + shortBy % want : 0;
            std::vector<char> buffer(small ? want - cut : std::max<ULong>(Room(key), 1) + 8, char(0x7E));
            UInt size = 0xDEADBEEF;
            const bool withSize = how == 2 || in_.Byte() % 4 != 0;
            const Boolean ok =
                ZKCacheGetStatic(c_, U(key), buffer.empty() ? nullptr : buffer.data(), UInt(buffer.size()),
                                 withSize ? &size : nullptr);
            if (small) {
                // Too small: nothing copied, the size needed reported when the value is there.
                ZKFUZZ_REQUIRE(!ok);
                for (const char ch : buffer) ZKFUZZ_REQUIRE(ch == char(0x7E));
                ZKFUZZ_REQUIRE(size == 0 || size == want);
                found = size != 0;
                if (found) got = latest->value;  // the size is all that can be compared
            } else {
                found = ok != 0;
                if (withSize) ZKFUZZ_REQUIRE(found ? size <= buffer.size() : size == 0);
                if (found) got.assign(buffer.data(), withSize ? size : latest != nullptr ? latest->value.size() : 0);
                if (found && !withSize && latest != nullptr) {
                    // Without the size, the bytes past the value must be untouched.
                    for (size_t i = latest->value.size(); i < buffer.size(); i++) {
                        ZKFUZZ_REQUIRE(buffer[i] == char(0x7E));
                    }
                }
            }
        }
        if (latest == nullptr || latest->expired || latest->gone) {
            ZKFUZZ_REQUIRE(!found);
            return;
        }
        if (latest->certain) ZKFUZZ_REQUIRE(found);
        if (!found) {
            latest->gone = true;
            return;
        }
        ZKFUZZ_REQUIRE(got == latest->value);
        latest->certain = true;
    }

    // Collector cycles, as the thread would run them; with force, the first one collects even if the
    // free pages are not low.
    void Collect(bool force) {
        UInt before = 0;
        ULong beforeBytes = 0;
        ZKCacheGetSize(c_, &before, &beforeBytes);
        if (force) state_.sleeping = false;
        ZKFUZZ_REQUIRE(zk::CollectorCycle(c_, &state_, 0));
        RequireSound();
        ZKCacheGetSize(c_, &objects_, &bytes_);
        ZKFUZZ_REQUIRE(objects_ <= before && bytes_ <= beforeBytes);
        ZKFUZZ_REQUIRE(c_->c_nb_free_pages + c_->c_nb_full_pages == pages_);
        for (auto& [key, latest] : model_) latest.certain = false;
    }

    // Stores until the free pages run low, for the collector to work on.
    void Fill() {
        const size_t count = 4 + in_.Byte() % 60;
        const size_t len = 16 + size_t(in_.Byte()) * 4;
        for (size_t i = 0; i < count; i++) {
            const std::string key = "f" + std::to_string((fills_ * 7 + i) % 97);
            Store(key, Pattern(len), ZK_CACHE_NEVER_EXPIRES, false);
        }
        fills_++;
    }

    enum Op { kStore, kRead, kFill, kCollect, kCollectSeveral, kReadNever };
    static constexpr zkfuzz::OpMix<Op> kMix{
        {{kStore, 3}, {kRead, 3}, {kFill, 1}, {kCollect, 1}, {kCollectSeveral, 1}, {kReadNever, 1}}};

    void Step() {
        const UByte op = in_.Byte();
        switch (kMix(op)) {
        case kStore: {
            const std::string key = NextKey();
            const std::string value = NextValue(key);
            bool past;
            const ULong expires = NextExpiry(&past);
            Store(key, value, expires, past);
            break;
        }
        case kRead: {
            const std::string key = NextKey();
            Read(key, (op >> 4) % 3);
            break;
        }
        case kFill: Fill(); break;
        case kCollect: Collect((op & 0x80) != 0); break;
        case kCollectSeveral:
            for (int i = 0, n = 1 + (op >> 4) % 4; i < n; i++) Collect(i == 0 && (op & 0x80));
            break;
        case kReadNever: {
            // A key never stored reads as absent.
            const std::string key = "never:" + std::to_string(op);
            Read(key, op % 2);
            break;
        }
        }
    }

    const Params p_;
    zkfuzz::Cursor in_;
    Cache* c_;
    ULong pages_ = 0;
    UInt objects_ = 0;
    ULong bytes_ = 0;
    ULong stores_ = 0;
    size_t fills_ = 0;
    zk::CollectorState state_;
    std::unordered_map<std::string, Latest> model_;
    std::vector<std::string> known_;
};

// The public constructor with its collector thread: the same sizes, and a value stored is either
// read back exactly or (dropped by the running collector) not at all. Once per process: a deletion
// that comes before the new collector has begun its first wait is seen only after that wait, up to
// a second later.
void Public(const Params& p) {
    static bool done = false;
    if (done) return;
    done = true;
    Cache* c = ZKCacheNewWithParams(p.region_size, p.page_size, p.safety, p.low, p.high, p.generation, p.size);
    ZKFUZZ_REQUIRE(c != nullptr);
    ZKFUZZ_REQUIRE(ZKCacheGetSize(c, nullptr, nullptr) == ULong(p.regions) * p.region_size * p.page_size);
    const std::string key = "public", value = "a value for the public cache";
    if (ZKCacheStore(c, U(key), U(value), UInt(value.size()), ZK_CACHE_NEVER_EXPIRES)) {
        char buffer[64];
        UInt size = 0;
        if (ZKCacheGetStatic(c, U(key), buffer, sizeof buffer, &size)) {
            ZKFUZZ_REQUIRE(std::string(buffer, size) == value);
        }
    }
    ZKCacheDelete(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    zkfuzz::Cursor in(data, size);
    if (size != 0 && data[0] == 0xFF) {
        in.Byte();
        ExpectRefused(in);
        return 0;
    }
    const Params params(in);
    if (params.public_too) Public(params);
    Run(params, in).Go();
    ZKFUZZ_REQUIRE(zkfuzz::Seen().count == 0);
    return 0;
}
