/**
 * @file zkdict/cache.hpp
 * @brief zkdict::Cache, a bounded memory cache of byte values under string keys, shared by many
 * threads, with expiry and a background collector (dict/zkcache.h).
 *
 * @code
 * zkdict::Cache cache(256u << 20);                     // 256 MiB
 * std::vector<std::thread> workers;
 * for (int w = 0; w < 4; ++w)
 *     workers.emplace_back([&cache, w] {
 *         std::string key = "user:" + std::to_string(w);
 *         cache.store(key, "profile bytes", zkdict::Cache::now() + 60'000);   // one minute
 *         if (auto v = cache.get(key)) use(*v);         // a copy; the entry may be gone by now
 *         cache.erase(key);
 *     });
 * for (auto& t : workers) t.join();
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_CACHE_HPP
#define ZKDICT_ZKDICT_CACHE_HPP

#include "zkdict/detail/common.hpp"

namespace zkdict {

/// @brief A bounded memory cache of byte values under string keys with a collector thread.
///
/// store(), get(), contains(), erase() and stats() may run from any number of threads at once;
/// construction, destruction and moves need exclusive use. A stored value may be dropped at any time
/// and a store refused: a cache is a cache. Reads copy; nothing returned points into the cache.
///
/// Keys are byte strings without NUL bytes: the C cache keys by NUL-terminated strings, so a key
/// holding a NUL would silently stand for its first part; such a key is refused with zkdict::error
/// (invalid_argument) instead. Keys up to 255 bytes are terminated on the stack, longer ones in a
/// string of their own.
///
/// Move-only. A default-constructed or moved-from cache is empty: it finds nothing, and storing
/// into it throws std::logic_error.
class Cache {
public:
    /// The layout and collector thresholds of ZKCacheNewWithParams; the defaults are those of ZKCacheNew.
    struct Params {
        std::uint32_t region_pages = 16;       ///< pages per region
        std::uint32_t page_size = 1u << 20;    ///< bytes per page, header included, a multiple of 8
        double safety_percent = 1.0;           ///< % of free pages at or below which stores are refused
        double gc_low_percent = 8.0;           ///< % of free pages at or below which the collector works
        double gc_high_percent = 16.0;         ///< % of free pages above which it sleeps again
        std::uint32_t generation_ms = 60000;   ///< width of one of the 100 age slots in ms
    };
    /// What stats() reports.
    struct Stats {
        std::uint64_t mapped = 0;  ///< bytes mapped for all regions
        std::uint32_t objects = 0; ///< stored blocks, replaced and removed ones included until collected
        std::uint64_t bytes = 0;   ///< their key, NUL and value bytes
    };
    /// An expiry time that is never reached.
    static constexpr std::uint64_t never = detail::kNeverExpires;

    /// An empty handle, holding no cache.
    Cache() noexcept = default;
    /// @brief A cache of size bytes with the default layout.
    /// @param size bytes to map in all
    /// @throws zkdict::error (invalid_argument, ENOMEM, ...) when the cache cannot be made.
    explicit Cache(std::uint64_t size) : Cache(size, Params{}) {}
    /// @brief A cache of size bytes in regions of params.region_pages pages.
    /// @param size   bytes to map in all
    /// @param params the layout and collector thresholds
    /// @throws zkdict::error: EINVAL for parameters that cannot work, ENOMEM for more memory than the
    ///         machine has, or the errno of a failed mapping.
    Cache(std::uint64_t size, const Params& params) {
        errno = 0;
        c_.reset(ZKCacheNewWithParams(params.region_pages, params.page_size, params.safety_percent, params.gc_low_percent,
                                      params.gc_high_percent, params.generation_ms, size));
        if (!c_) detail::ThrowErrno(errno, "ZKCacheNewWithParams");
    }

    /// @brief The C cache, still owned by this object.
    /// @return the cache; NULL when empty.
    ::Cache* get() const noexcept { return c_.get(); }
    /// @brief Whether a cache is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return c_ != nullptr; }

    /// @brief The wall clock, the clock of expiry times.
    /// @return milliseconds since the epoch.
    static std::uint64_t now() noexcept { return GetCurrentTimeMilliseconds(); }

    /// @brief Stores value under key until the absolute time expires, replacing what key held.
    /// @param key     the key
    /// @param value   the bytes
    /// @param expires the absolute expiry, ms on the wall clock; never for none
    /// @return true when stored; false when refused (no room, too large for a page).
    /// @throws zkdict::error (invalid_argument) for a key holding a NUL byte; std::logic_error when empty.
    bool store(std::string_view key, std::span<const std::byte> value, std::uint64_t expires = never) {
        ::Cache* c = detail::Need(c_.get(), "Cache::store");
        const Key k(key);
        if (value.size() > 0xFFFFFFFFu) return false;  // larger than any page
        return ZKCacheStore(c, k.bytes(), reinterpret_cast<const UByte*>(value.data()), UInt(value.size()), expires) !=
               detail::kFalse;
    }
    /// @brief Stores the bytes of a string under key until the absolute time expires.
    /// @param key     the key
    /// @param value   the bytes
    /// @param expires the absolute expiry, ms on the wall clock; never for none
    /// @return true when stored; false when refused.
    /// @throws as store(std::string_view, std::span<const std::byte>, std::uint64_t).
    bool store(std::string_view key, std::string_view value, std::uint64_t expires = never) {
        return store(key, std::as_bytes(std::span(value.data(), value.size())), expires);
    }
    /// @brief A copy of the value under key.
    /// @param key the key
    /// @return the value; empty when absent or expired.
    /// @throws zkdict::error (invalid_argument) for a key holding a NUL byte.
    std::optional<std::string> get(std::string_view key) const {
        if (!c_) return std::nullopt;
        const Key k(key);
        std::string out(64, '\0');
        for (;;) {
            UInt got = 0;
            if (ZKCacheGetStatic(Shared(), k.bytes(), out.data(), UInt(out.size()), &got)) {
                out.resize(got);
                return out;
            }
            if (got == 0) return std::nullopt;
            // Too small for the value; a store from another thread may change its size before the
            // next attempt, so try again with whatever size is needed then.
            out.resize(got);
        }
    }
    /// @brief Copies the value under key into buffer when it fits.
    /// @param key    the key
    /// @param buffer where the value goes
    /// @return the value's size either way (larger than buffer.size(): nothing copied); empty when absent or expired.
    /// @throws zkdict::error (invalid_argument) for a key holding a NUL byte.
    std::optional<std::size_t> get(std::string_view key, std::span<std::byte> buffer) const {
        if (!c_) return std::nullopt;
        const Key k(key);
        const UInt room = buffer.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : UInt(buffer.size());
        std::byte none{};  // an empty span may have no address, and the copy needs one
        UInt got = 0;
        const Boolean found = ZKCacheGetStatic(Shared(), k.bytes(), buffer.data() != nullptr ? buffer.data() : &none, room, &got);
        // Absence is the one refusal that reports size 0: an empty value always fits.
        if (!found && got == 0) return std::nullopt;
        return std::size_t(got);
    }
    /// @brief Whether key holds a value now (another thread may store or remove it the next moment).
    /// @param key the key
    /// @return true when present and not expired.
    /// @throws zkdict::error (invalid_argument) for a key holding a NUL byte.
    bool contains(std::string_view key) const {
        std::byte none{};
        return get(key, std::span<std::byte>(&none, 0)).has_value();
    }
    /// @brief Removes the value under key at once; the collector reclaims its bytes by its usual rules.
    /// @param key the key
    /// @return whether there was a value.
    /// @throws zkdict::error (invalid_argument) for a key holding a NUL byte.
    bool erase(std::string_view key) {
        if (!c_) return false;
        const Key k(key);
        return ZKCacheRemove(c_.get(), k.bytes()) != detail::kFalse;
    }
    /// @brief Bytes mapped, blocks stored and their bytes.
    /// @return the figures; zeros when empty.
    Stats stats() const noexcept {
        Stats s;
        if (c_) s.mapped = ZKCacheGetSize(Shared(), &s.objects, &s.bytes);
        return s;
    }

private:
    // A key NUL-terminated for the C calls, without touching the heap for the usual short key.
    class Key {
    public:
        explicit Key(std::string_view key) {
            if (key.find('\0') != std::string_view::npos) detail::Refuse(std::errc::invalid_argument, "Cache: key holds a NUL byte");
            if (key.size() < sizeof(inline_)) {
                if (!key.empty()) std::memcpy(inline_, key.data(), key.size());
                inline_[key.size()] = '\0';
            } else {
                long_.assign(key);
            }
            short_ = key.size() < sizeof(inline_);
        }
        const UByte* bytes() const noexcept { return reinterpret_cast<const UByte*>(short_ ? inline_ : long_.c_str()); }

    private:
        char inline_[256];
        std::string long_;
        bool short_;
    };

    // The cache locks inside, so its lookups may be shared through a const object.
    ::Cache* Shared() const noexcept { return c_.get(); }

    std::unique_ptr<::Cache, detail::CDeleter<ZKCacheDelete>> c_;
};

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_CACHE_HPP
