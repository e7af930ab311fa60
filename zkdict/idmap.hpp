/**
 * @file zkdict/idmap.hpp
 * @brief zkdict::IdMap and zkdict::RefMap, maps from 32-bit (64-bit) integers to integers (dict/idmap.h).
 *
 * @code
 * zkdict::IdMap parent;
 * parent.insert_or_assign(7, 3);
 * if (auto p = parent.find(7)) std::cout << *p;   // 3
 * for (auto [child, of] : parent) std::cout << child << "->" << of << '\n';
 * parent.clear();                                  // costs the entries, not the table
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_IDMAP_HPP
#define ZKDICT_ZKDICT_IDMAP_HPP

#include "zkdict/detail/common.hpp"

namespace zkdict {

namespace detail {

// The two C maps behind one set of names.
template <class M>
struct MapOps;

#define ZKDICT_DETAIL_MAP_OPS(Map, Integer, Sentinel)                                                                  \
    template <>                                                                                                        \
    struct MapOps<::Map> {                                                                                             \
        using Int = Integer;                                                                                           \
        static constexpr Int kSentinel = Sentinel;                                                                     \
        static ::Map* New() { return Map##New(); }                                                                     \
        static void Delete(::Map* m) noexcept { Map##Delete(m); }                                                      \
        static void Clear(::Map* m) noexcept { Map##Clear(m); }                                                        \
        static UInt Size(const ::Map* m) noexcept { return Map##Size(m); }                                             \
        static void Get(const ::Map* m, UInt n, Int* k, Int* v) noexcept { Map##Get(m, n, k, v); }                     \
        static Int Find(::Map* m, Int k, Int create, Int update, Boolean* added) {                                     \
            return Map##Find(m, k, create, update, added);                                                             \
        }                                                                                                              \
        static void FindMany(const ::Map* m, UInt n, const Int* k, Int* v) noexcept { Map##FindMany(m, n, k, v); }     \
    };

ZKDICT_DETAIL_MAP_OPS(IdMap, Id, kNoId)
ZKDICT_DETAIL_MAP_OPS(RefMap, ULong, kNoRef)
#undef ZKDICT_DETAIL_MAP_OPS

}  // namespace detail

/// @brief A map from integers to integers: IdMap (32 bits) or RefMap (64 bits), dict/idmap.h. One
/// value, `sentinel`, can be neither key nor value. Positions (entry(), the iterators) follow
/// insertion order until the map grows; an insertion of a new key or a clear invalidates iterators.
///
/// Lookups are const and write nothing: readers may share a map no thread changes. Move-only; a
/// moved-from map is empty and makes itself again at the next insertion.
/// @tparam M ::IdMap or ::RefMap
template <class M>
class IntMap {
    using Ops = detail::MapOps<M>;

public:
    using key_type = typename Ops::Int;                  ///< the key type
    using mapped_type = key_type;                        ///< the value type, the key type again
    using value_type = std::pair<key_type, mapped_type>; ///< an entry
    /// The marker of empty slots, refused as key and as value.
    static constexpr key_type sentinel = Ops::kSentinel;

    /// A bidirectional iterator over the entries by position; two are equal at the same position of
    /// the same map.
    class iterator
        : public detail::PositionIterator<iterator, value_type, std::bidirectional_iterator_tag, M, UInt> {
    public:
        /// A singular iterator.
        iterator() noexcept = default;
        /// @brief The entry at this position.
        /// @return the key and value.
        value_type operator*() const noexcept {
            value_type e;
            Ops::Get(this->s_, this->at_, &e.first, &e.second);
            return e;
        }

    private:
        friend class IntMap;
        iterator(const M* m, UInt n) noexcept : iterator::PositionIterator(m, n) {}
    };
    using const_iterator = iterator; ///< the entries cannot be changed through an iterator

    /// A new empty map.
    IntMap() : m_(Ops::New()) {}

    /// @brief The C map, still owned by this object.
    /// @return the map; NULL when moved from.
    M* get() const noexcept { return m_.get(); }
    /// @brief Whether a map is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return m_ != nullptr; }

    /// @brief The number of entries.
    /// @return the count.
    std::uint32_t size() const noexcept { return m_ ? Ops::Size(m_.get()) : 0; }
    /// @brief Whether there are no entries.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief The value of key.
    /// @param key the key
    /// @return the value; empty when absent (the sentinel is never present).
    std::optional<mapped_type> find(key_type key) const noexcept {
        if (!m_ || key == sentinel) return std::nullopt;
        // Asked to neither add nor update, the C lookup writes nothing.
        const mapped_type v = Ops::Find(const_cast<M*>(m_.get()), key, sentinel, sentinel, nullptr);
        if (v == sentinel) return std::nullopt;
        return v;
    }
    /// @brief Whether key is present.
    /// @param key the key
    /// @return true when present.
    bool contains(key_type key) const noexcept { return find(key).has_value(); }
    /// @brief The values of many keys, as find() of each would give them. The keys are looked up a
    /// batch at a time, so that on a structure larger than the caches their memory misses overlap.
    /// @param keys the keys
    /// @param[out] values values[i] receives the value of keys[i], or `sentinel` when it is absent;
    ///        as long as keys
    /// @throws zkdict::error (invalid_argument) when values is shorter than keys.
    void find_many(std::span<const key_type> keys, std::span<mapped_type> values) const {
        if (values.size() < keys.size()) detail::Refuse(std::errc::invalid_argument, "find_many: values shorter than keys");
        if (!m_) {
            for (std::size_t i = 0; i < keys.size(); ++i) values[i] = sentinel;
            return;
        }
        // The C call takes a 32-bit count.
        constexpr std::size_t kChunk = std::size_t{1} << 30;
        for (std::size_t i = 0; i < keys.size(); i += kChunk) {
            const std::size_t n = keys.size() - i < kChunk ? keys.size() - i : kChunk;
            Ops::FindMany(m_.get(), UInt(n), keys.data() + i, values.data() + i);
        }
    }
    /// @brief Adds key with value unless present.
    /// @param key   the key
    /// @param value its value
    /// @return the value now stored and whether it was added.
    /// @throws zkdict::error (invalid_argument) for the sentinel as key or value.
    std::pair<mapped_type, bool> insert(key_type key, mapped_type value) {
        Check(key, value);
        Boolean added = detail::kFalse;
        const mapped_type v = Ops::Find(Map(), key, value, sentinel, &added);
        return {v, added != detail::kFalse};
    }
    /// @brief Stores value under key, added or replaced.
    /// @param key   the key
    /// @param value its value
    /// @return whether it was added.
    /// @throws zkdict::error (invalid_argument) for the sentinel as key or value.
    bool insert_or_assign(key_type key, mapped_type value) {
        Check(key, value);
        Boolean added = detail::kFalse;
        Ops::Find(Map(), key, value, value, &added);
        return added != detail::kFalse;
    }
    /// @brief The entry at position n.
    /// @param n the position
    /// @return the key and value.
    /// @throws zkdict::error (result_out_of_range) unless n < size().
    value_type entry(std::uint32_t n) const {
        if (n >= size()) detail::Refuse(std::errc::result_out_of_range, "zkdict map: position " + std::to_string(n) + " past the entries");
        return *iterator(m_.get(), n);
    }
    /// Removes every entry, in time proportional to them; the capacity stays.
    void clear() noexcept {
        if (m_) Ops::Clear(m_.get());
    }

    /// @brief The entry at position 0.
    /// @return the iterator.
    iterator begin() const noexcept { return iterator(m_.get(), 0); }
    /// @brief Past the last position.
    /// @return the iterator.
    iterator end() const noexcept { return iterator(m_.get(), size()); }

private:
    static void Check(key_type key, mapped_type value) {
        if (key == sentinel || value == sentinel) detail::Refuse(std::errc::invalid_argument, "zkdict map: the sentinel is no key or value");
    }
    M* Map() {
        if (!m_) m_.reset(Ops::New());
        return m_.get();
    }
    std::unique_ptr<M, detail::CDeleter<Ops::Delete>> m_;
};

/// 32-bit keys and values; NOID is the sentinel.
using IdMap = IntMap<::IdMap>;
/// 64-bit keys and values; NOREF is the sentinel.
using RefMap = IntMap<::RefMap>;

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_IDMAP_HPP
