/**
 * @file zkdict/hashtable.hpp
 * @brief zkdict::HashTable and zkdict::HashDelTable, the packed hash tables of byte-string keys
 * (dict/hashtable.h, dict/hashdeltable.h), typed or by bytes.
 *
 * `HashTable<V>` holds one trivially copyable `V` per key, in a value area of sizeof(V) bytes;
 * `HashTable<>` holds value areas of a size chosen at run time, handed out as byte spans.
 *
 * @code
 * zkdict::HashTable<std::uint64_t> counts;
 * for (std::string_view w : words) ++counts.insert(w).first;        // zero-filled when new
 * if (const std::uint64_t* n = counts.find("apple")) std::cout << *n;
 * for (auto [word, n] : counts.entries()) std::cout << word << ' ' << n << '\n';
 * counts.save("counts.tbl");
 * auto again = zkdict::HashTable<std::uint64_t>::load("counts.tbl");  // throws for another value size
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_HASHTABLE_HPP
#define ZKDICT_ZKDICT_HASHTABLE_HPP

#include "zkdict/detail/common.hpp"

namespace zkdict {

namespace detail {

// The two C tables behind one set of names, through their public calls only: TableCalls the calls
// both tables have, TableOps those and the ones that differ.
template <class T>
struct TableCalls;

#define ZKDICT_DETAIL_TABLE_CALLS(Table)                                                                               \
    template <>                                                                                                        \
    struct TableCalls<::Table> {                                                                                       \
        using Iterator = ::Table##Iterator;                                                                            \
        static constexpr const char* kName = #Table;                                                                   \
        static void Free(::Table* t) noexcept { Table##Free(t); }                                                      \
        static UInt Size(const ::Table* t) noexcept { return Table##Size(t); }                                         \
        static UInt Capacity(const ::Table* t) noexcept { return Table##Capacity(t); }                                 \
        static UInt ValueSize(const ::Table* t) noexcept { return Table##ValueSize(t); }                               \
        static UByte KeySize(const ::Table* t) noexcept { return Table##KeySize(t); }                                  \
        static bool Frozen(const ::Table* t) noexcept { return Table##Frozen(t) != kFalse; }                           \
        /* With create false the C lookup writes nothing, so a const table may be searched. */                         \
        static void* Find(const ::Table* t, std::string_view k, bool create) {                                         \
            return Table##Find(const_cast<::Table*>(t), BytesOf(k), UInt(k.size()), Flag(create), nullptr, nullptr);   \
        }                                                                                                              \
        static bool FindMany(const ::Table* t, UInt n, const void* const* k, const UInt* l, void** v) noexcept {       \
            return Table##FindMany(t, n, k, l, v, nullptr) != kFalse;                                                  \
        }                                                                                                              \
        static void Grow(::Table* t, float factor) { Table##Grow(t, factor, nullptr); }                                \
        static void Clear(::Table* t) noexcept { Table##Clear(t); }                                                    \
        static ::Table* Copy(const ::Table* t) { return Table##Copy(t); }                                              \
        static UInt Key(const ::Table* t, const void* val, const UByte** bytes) { return Table##Key(t, val, bytes); }  \
        static UInt Enumerate(::Table* t, HashEnumerateFunction f, void* p) { return Table##Enumerate(t, 0, f, p); }   \
        static bool IteratorEnd(const Iterator* i) noexcept { return Table##IteratorEnd(i) != kFalse; }                \
        static void IteratorNext(Iterator* i) noexcept { Table##IteratorNext(i); }                                     \
        static UInt IteratorKey(const Iterator* i, const UByte** b) noexcept { return Table##IteratorGetKey(i, b); }   \
        static void* IteratorValue(const Iterator* i) noexcept { return Table##IteratorGetValue(i); }                  \
        static void IteratorFree(Iterator* i) noexcept { Table##IteratorFinalize(i); }                                 \
        static Iterator* IteratorCopy(const Iterator* i) { return Table##IteratorCopy(i); }                            \
    };

ZKDICT_DETAIL_TABLE_CALLS(HashTable)
ZKDICT_DETAIL_TABLE_CALLS(HashDelTable)
#undef ZKDICT_DETAIL_TABLE_CALLS

template <class T>
struct TableOps;

template <>
struct TableOps<::HashTable> : TableCalls<::HashTable> {
    static constexpr bool kRemoves = false;
    // Whether a refused creation is the capacity's doing, which growth cures.
    static bool OutOfCapacity(const ::HashTable* t) noexcept { return HashTableFull(t) != kFalse; }
    static bool Reclaimable(const ::HashTable*) noexcept { return false; }
    static Iterator* IteratorInit(const ::HashTable* t) { return HashTableIteratorInit(t); }
};

template <>
struct TableOps<::HashDelTable> : TableCalls<::HashDelTable> {
    static constexpr bool kRemoves = true;
    static bool OutOfCapacity(const ::HashDelTable* t) noexcept { return HashDelTableRefuses(t) != kFalse; }
    // Removed entries still fill the data area until a compaction moves the live ones over them.
    static bool Reclaimable(const ::HashDelTable* t) noexcept { return HashDelTableRemoved(t) != 0; }
    static Iterator* IteratorInit(::HashDelTable* t) { return HashDelTableIteratorInit(t, nullptr); }
};

// How a table hands out a value area: a reference to a V, or a span of value_size bytes.
template <class V>
struct ValueAccess {
    static_assert(std::is_trivially_copyable_v<V> && !std::is_const_v<V>, "table values are trivially copyable types");
    static_assert(alignof(V) <= 8, "value areas are 8-byte aligned at most");
    using Ref = V&;
    using ConstRef = const V&;
    using Found = V*;
    using ConstFound = const V*;
    static constexpr std::size_t kFixedSize = sizeof(V);
    // Every value area is aligned: tables are made aligned, and load() refuses a file that an older
    // writer left unaligned.
    static V& Make(void* v, std::size_t) noexcept { return *std::launder(static_cast<V*>(v)); }
    static Found Hit(void* v, std::size_t n) noexcept { return &Make(v, n); }
    static Found Miss() noexcept { return nullptr; }
};

template <>
struct ValueAccess<void> {
    using Ref = std::span<std::byte>;
    using ConstRef = std::span<const std::byte>;
    using Found = std::optional<std::span<std::byte>>;
    using ConstFound = std::optional<std::span<const std::byte>>;
    static constexpr std::size_t kFixedSize = 0;
    static Ref Make(void* v, std::size_t n) noexcept { return {static_cast<std::byte*>(v), n}; }
    static Found Hit(void* v, std::size_t n) noexcept { return Make(v, n); }
    static Found Miss() noexcept { return std::nullopt; }
};

}  // namespace detail

/// @brief One entry of a typed table: views of the key and the value in the table's data area.
/// @tparam V the value type, or void for a byte span
template <class V = void>
struct TableEntry {
    std::string_view key; ///< the key bytes
    V& value;             ///< the entry's value
};

/// @brief One entry of a table of byte spans.
template <>
struct TableEntry<void> {
    std::string_view key;       ///< the key bytes
    std::span<std::byte> value; ///< the entry's value area, value_size() bytes
};

template <class T, class V>
class BasicTable;

/// @brief The entries of a hash table in storage order, a view over the table's own C iterator. Each
/// begin() starts a new walk, so the range may be walked any number of times, and its iterators are
/// forward iterators: a copy walks on from where it was made, independently.
///
/// HashTable: insertions during a walk are seen; the views of an entry go stale at the next
/// insertion that enlarges the data area, at clear() and with the table. HashDelTable: starting a
/// walk compacts away the tombstones; entries erased afterwards are still visited (their bytes
/// stay), and any compaction ends the walk's validity: a growth (an insert() that grows too), clear,
/// for_each or another walk.
template <class T, class V>
class TableEntries : public std::ranges::view_interface<TableEntries<T, V>> {
    using Ops = detail::TableOps<T>;
    using Access = detail::ValueAccess<V>;

public:
    /// Marks the end of a walk.
    struct sentinel {};

    /// A forward iterator over the entries.
    class iterator : public detail::IteratorTypes<TableEntry<V>, std::forward_iterator_tag> {
    public:
        /// A singular iterator, at the end.
        iterator() noexcept = default;
        /// @brief An iterator at the same entry, walking on by itself.
        /// @param other the iterator copied
        iterator(const iterator& other) : it_(Copy(other)), val_len_(other.val_len_) {}
        /// @brief Takes over other's walk, leaving other at the end.
        /// @param other the iterator moved from
        iterator(iterator&& other) noexcept = default;
        /// @brief Stands at other's entry, walking on by itself.
        /// @param other the iterator copied
        /// @return this iterator.
        iterator& operator=(const iterator& other) {
            if (this != &other) {
                it_.reset(Copy(other));
                val_len_ = other.val_len_;
            }
            return *this;
        }
        /// @brief Takes over other's walk.
        /// @param other the iterator moved from
        /// @return this iterator.
        iterator& operator=(iterator&& other) noexcept = default;

        /// @brief The current entry.
        /// @return views of its key and value.
        TableEntry<V> operator*() const {
            const UByte* key = nullptr;
            const UInt len = Ops::IteratorKey(it_.get(), &key);
            return {detail::ViewOf(key, len), Access::Make(Ops::IteratorValue(it_.get()), val_len_)};
        }
        /// @brief Steps to the next entry.
        /// @return this iterator.
        iterator& operator++() noexcept {
            Ops::IteratorNext(it_.get());
            return *this;
        }
        /// @brief Steps to the next entry.
        /// @return an iterator at the entry before the step.
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        /// @brief The same entry, or both at the end.
        /// @param a one iterator
        /// @param b the other
        /// @return true when they stand at the same place.
        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            const bool aEnd = a.AtEnd(), bEnd = b.AtEnd();
            if (aEnd || bEnd) return aEnd == bEnd;
            return Ops::IteratorValue(a.it_.get()) == Ops::IteratorValue(b.it_.get());
        }
        /// @brief Whether the walk has passed the last entry.
        /// @param i the iterator
        /// @return true at the end.
        friend bool operator==(const iterator& i, sentinel) noexcept { return i.AtEnd(); }

    private:
        friend class TableEntries;
        iterator(typename Ops::Iterator* it, std::size_t val_len) noexcept : it_(it), val_len_(val_len) {}
        static typename Ops::Iterator* Copy(const iterator& other) { return other.it_ ? Ops::IteratorCopy(other.it_.get()) : nullptr; }
        bool AtEnd() const noexcept { return !it_ || Ops::IteratorEnd(it_.get()); }
        std::unique_ptr<typename Ops::Iterator, detail::CDeleter<Ops::IteratorFree>> it_;
        std::size_t val_len_ = 0;
    };

    /// An empty range.
    TableEntries() noexcept = default;
    /// @brief Starts a walk at the first entry.
    /// @return the iterator.
    iterator begin() const {
        if (t_ == nullptr) return iterator();
        return iterator(Ops::IteratorInit(t_), val_len_);
    }
    /// @brief The end of every walk.
    /// @return the sentinel.
    sentinel end() const noexcept { return {}; }

private:
    template <class, class>
    friend class BasicTable;
    using Handle = std::conditional_t<Ops::kRemoves, T*, const T*>;
    TableEntries(Handle t, std::size_t val_len) noexcept : t_(t), val_len_(val_len) {}
    Handle t_ = nullptr;
    std::size_t val_len_ = 0;
};

/// @brief A growable hash table of byte-string keys and fixed-size values: HashTable
/// (dict/hashtable.h) or, with erase(), HashDelTable (dict/hashdeltable.h). Use it through the aliases
/// zkdict::HashTable<V> and zkdict::HashDelTable<V>.
///
/// Tables made here use the default hash, equality and zero-filled value areas. References and spans
/// to values stay valid until the next insertion that enlarges the data area (for HashDelTable also
/// any growth or walk), clear() or destruction. Lookups are const and write nothing; a table is used
/// by one thread at a time, or shared by readers while no thread changes it.
///
/// Move-only. A default-constructed or moved-from table holds nothing: size() is 0, find() finds
/// nothing and walks are empty. A typed table makes itself (capacity 16) at its first insert(); a
/// table of byte spans needs its value size, so inserting into an empty one throws std::logic_error.
///
/// @tparam T ::HashTable or ::HashDelTable
/// @tparam V the value type, trivially copyable and aligned to at most 8; void for byte spans of a
///           size given at run time
template <class T, class V = void>
class BasicTable {
    using Ops = detail::TableOps<T>;
    using Access = detail::ValueAccess<V>;
    static constexpr bool kRemoves = Ops::kRemoves;
    static constexpr bool kTyped = !std::is_void_v<V>;

public:
    using value_reference = typename Access::Ref;                   ///< V&, or a byte span
    using const_value_reference = typename Access::ConstRef;        ///< const V&, or a span of const bytes
    using find_result = typename Access::Found;                     ///< V*, or an optional byte span
    using const_find_result = typename Access::ConstFound;          ///< const V*, or an optional span of const bytes
    using entries_range = TableEntries<T, V>;                       ///< the range entries() returns

    /// An empty handle, holding no table.
    BasicTable() noexcept = default;
    /// @brief A new table of byte spans, in heap memory (or page mappings with vm, HashTable only).
    /// @param value_size the bytes of every value area
    /// @param capacity   keys accepted before it grows
    /// @param key_size   1 to 4 stores key lengths in that many bytes (keys then shorter than
    ///                   2^(8 x key_size)), 0 in a variable code
    /// @param vm         HashTable: the data area and slots are page mappings that grow in place
    /// @throws zkdict::error (invalid_argument) for a key_size above 4, or vm for a HashDelTable.
    explicit BasicTable(std::uint32_t value_size, std::uint32_t capacity = 16, std::uint8_t key_size = 0, bool vm = false)
        requires(!kTyped)
    {
        t_.reset(New(value_size, capacity, key_size, vm));
    }
    /// @brief A new typed table of value areas of sizeof(V) bytes.
    /// @param capacity keys accepted before it grows
    /// @param key_size the width of stored key lengths, as above
    /// @param vm       HashTable: page mappings rather than heap blocks
    /// @throws zkdict::error (invalid_argument) for a key_size above 4, or vm for a HashDelTable.
    explicit BasicTable(std::uint32_t capacity, std::uint8_t key_size = 0, bool vm = false)
        requires(kTyped)
    {
        t_.reset(New(sizeof(V), capacity, key_size, vm));
    }

    /// @brief Loads a table saved by save(), in the state it was saved in.
    /// @param path the file
    /// @param vm   load into page mappings rather than heap blocks
    /// @return the table.
    /// @throws zkdict::file_error naming the file: ENOENT, EINVAL for a corrupt file or, for a typed
    ///         table, value areas of another size than sizeof(V).
    static BasicTable load(const std::string& path, bool vm = false)
        requires(!kRemoves)
    {
        const std::string p = detail::CString(path, "HashTable::load: path");
        ::HashTable* t = HashTableTryRead(p.c_str(), nullptr, nullptr, nullptr, detail::Flag(vm));
        if (t == nullptr) detail::ThrowFile(errno, "HashTableRead", path);
        BasicTable table(t);
        if constexpr (kTyped) {
            if (Ops::ValueSize(t) != sizeof(V)) {
                detail::ThrowFile(EINVAL,
                                  "HashTable::load: value areas of " + std::to_string(Ops::ValueSize(t)) + " bytes, not " +
                                      std::to_string(sizeof(V)),
                                  path);
            }
            if constexpr (alignof(V) > 1) {
                for (TableEntry<void> e : TableEntries<T, void>(t, sizeof(V))) {
                    if (reinterpret_cast<std::uintptr_t>(e.value.data()) % alignof(V) != 0) {
                        detail::ThrowFile(EINVAL, "HashTable::load: an unaligned table, whose values cannot be typed", path);
                    }
                }
            }
        }
        return table;
    }

    /// @brief The C table, still owned by this object.
    /// @return the table; NULL when empty.
    T* get() const noexcept { return t_.get(); }
    /// @brief Gives up ownership of the C table, leaving this object empty.
    /// @return the table, now the caller's to free.
    T* release() noexcept { return t_.release(); }
    /// @brief Whether a table is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return t_ != nullptr; }

    /// @brief The number of entries (live keys for HashDelTable).
    /// @return the count; 0 when empty.
    std::uint32_t size() const noexcept { return t_ ? Ops::Size(t_.get()) : 0; }
    /// @brief Whether there are no entries.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief The number of entries accepted before the next growth.
    /// @return the capacity; 0 when empty.
    std::uint32_t capacity() const noexcept { return t_ ? Ops::Capacity(t_.get()) : 0; }
    /// @brief The size of every value area in bytes.
    /// @return the size: sizeof(V) for a typed table; 0 when empty.
    std::size_t value_size() const noexcept { return t_ ? Ops::ValueSize(t_.get()) : Access::kFixedSize; }
    /// @brief Whether an in-place selection froze the table (a loaded file can be so): finds and inserts
    /// then throw zkdict::error (operation_not_permitted) until clear().
    /// @return true when frozen.
    bool frozen() const noexcept { return t_ && Ops::Frozen(t_.get()); }

    /// @brief The value of key.
    /// @param key the key
    /// @return a pointer to it (typed) or its byte span; null or empty when absent.
    /// @throws zkdict::error (value_too_large) for a key the table cannot hold, (operation_not_permitted)
    ///         on a frozen table.
    find_result find(std::string_view key) {
        if (!t_) return Access::Miss();
        CheckUsable(key);
        void* v = Ops::Find(t_.get(), key, false);
        return v != nullptr ? Access::Hit(v, value_size()) : Access::Miss();
    }
    /// @brief The value of key, read-only.
    /// @param key the key
    /// @return a pointer to it (typed) or its byte span; null or empty when absent.
    /// @throws as find(std::string_view).
    const_find_result find(std::string_view key) const {
        if (!t_) return const_find_result{};
        CheckUsable(key);
        return ConstFound(Ops::Find(t_.get(), key, false));
    }
    /// @brief Whether key is present.
    /// @param key the key
    /// @return true when present.
    /// @throws as find(std::string_view).
    bool contains(std::string_view key) const { return static_cast<bool>(find(key)); }
    /// @brief The values of many keys, as find() of each would give them. The keys are looked up a
    /// batch at a time, so that on a structure larger than the caches their memory misses overlap.
    /// @param keys a range of keys, each convertible to std::string_view
    /// @return the results in the order of the keys.
    /// @throws as find(std::string_view), for the first key it would throw for; std::bad_alloc.
    template <std::ranges::input_range R>
        requires std::convertible_to<std::ranges::range_reference_t<R>, std::string_view>
    std::vector<const_find_result> find_many(R&& keys) const {
        std::vector<const_find_result> out;
        if constexpr (std::ranges::sized_range<R>) out.reserve(std::ranges::size(keys));
        constexpr std::size_t kBatch = 64;
        const void* bytes[kBatch];
        UInt lens[kBatch];
        void* values[kBatch];
        std::size_t n = 0;
        auto flush = [&] {
            if (n != 0 && !Ops::FindMany(t_.get(), UInt(n), bytes, lens, values))
                detail::ThrowErrno(errno, Name("find_many").c_str());
            for (std::size_t i = 0; i < n; ++i) out.push_back(ConstFound(values[i]));
            n = 0;
        };
        bool usable = false;  // a table cannot freeze during the call: asked once, at the first key
        for (auto&& k : keys) {
            const std::string_view key = k;
            if (!t_) {
                out.emplace_back();
                continue;
            }
            if (!usable) {
                CheckNotFrozen();
                usable = true;
            }
            CheckLength(key);
            bytes[n] = key.data();
            lens[n] = UInt(key.size());
            if (++n == kBatch) flush();
        }
        flush();
        return out;
    }

    /// @brief The value of key, added (zero-filled, growing the table as needed) when absent.
    /// @param key the key
    /// @return the value, and whether it was added.
    /// @throws zkdict::error (value_too_large) when the data area has reached its 4 GiB limit, the
    ///         capacity its largest or the key is too long for the table, (operation_not_permitted) on a
    ///         frozen table; std::logic_error on an empty table of byte spans.
    std::pair<value_reference, bool> insert(std::string_view key) {
        if constexpr (kTyped) {
            if (!t_) t_.reset(New(sizeof(V), 16, 0, false));
        }
        T* t = detail::Need(t_.get(), "zkdict table insert");
        CheckUsable(key);
        const std::uint32_t before = size();
        for (;;) {
            if (void* v = Ops::Find(t, key, true)) return {Access::Make(v, value_size()), size() != before};
            if (Ops::OutOfCapacity(t)) {
                Ops::Grow(t, 2.0f);
                if (Ops::OutOfCapacity(t)) detail::Refuse(std::errc::value_too_large, Name("insert: at its largest capacity"));
            } else if (Ops::Reclaimable(t)) {
                Ops::Grow(t, kCompactOnly);
            } else {
                detail::Refuse(std::errc::value_too_large, Name("insert: data area full"));
            }
        }
    }
    /// @brief Adds key with value unless present.
    /// @param key   the key
    /// @param value its value
    /// @return the value now stored, and whether it was added.
    /// @throws as insert(std::string_view).
    template <class U = V>
        requires(!std::is_void_v<U>)
    std::pair<U&, bool> insert(std::string_view key, const std::type_identity_t<U>& value) {
        auto r = insert(key);
        if (r.second) r.first = value;
        return r;
    }
    /// @brief Stores value under key, added or replaced.
    /// @param key   the key
    /// @param value its value
    /// @return whether it was added.
    /// @throws as insert(std::string_view).
    template <class U = V>
        requires(!std::is_void_v<U>)
    bool insert_or_assign(std::string_view key, const std::type_identity_t<U>& value) {
        auto r = insert(key);
        r.first = value;
        return r.second;
    }
    /// @brief Removes key, leaving a tombstone. Values of other entries stay where they are.
    /// @param key the key
    /// @return whether it was present.
    /// @throws as find(std::string_view).
    bool erase(std::string_view key)
        requires(kRemoves)
    {
        if (!t_) return false;
        CheckUsable(key);
        return HashDelTableRemove(t_.get(), detail::BytesOf(key), UInt(key.size()), nullptr) != detail::kFalse;
    }
    /// @brief The key of an entry.
    /// @param value the entry's value (from find, insert or a walk)
    /// @return a view of the key in the data area.
    std::string_view key_of(const_value_reference value) const noexcept {
        const UByte* bytes = nullptr;
        const void* v;
        if constexpr (kTyped) {
            v = &value;
        } else {
            v = value.data();
        }
        const UInt len = Ops::Key(t_.get(), v, &bytes);
        return detail::ViewOf(bytes, len);
    }

    /// @brief Multiplies the capacity by factor, re-filing every entry; for HashDelTable it also compacts.
    /// @param factor above 1.0
    /// @throws zkdict::error (invalid_argument) for a factor not above 1.0, (operation_not_permitted) on
    ///         a frozen table; std::logic_error when empty.
    void grow(float factor = 2.0f) {
        T* t = detail::Need(t_.get(), "zkdict table grow");
        if (!(factor > 1.0f)) detail::Refuse(std::errc::invalid_argument, Name("grow: factor must exceed 1"));
        if (frozen()) detail::Refuse(std::errc::operation_not_permitted, Name("grow: frozen by a selection"));
        Ops::Grow(t, factor);
    }
    /// Removes every entry; the table is usable again even if it was frozen. Nothing when empty.
    void clear() noexcept {
        if (t_) Ops::Clear(t_.get());
    }
    /// @brief An independent deep copy.
    /// @return the copy; empty when this is.
    BasicTable clone() const { return t_ ? BasicTable(Ops::Copy(t_.get())) : BasicTable(); }

    /// @brief The entries in storage order; see TableEntries for what invalidates a walk.
    /// @return the range, walkable any number of times.
    entries_range entries() const
        requires(!kRemoves)
    {
        return entries_range(t_.get(), value_size());
    }
    /// @brief The entries in storage order. Starting a walk compacts the table (which is why this is not
    /// const); see TableEntries for what invalidates a walk.
    /// @return the range, walkable any number of times.
    entries_range entries()
        requires(kRemoves)
    {
        return entries_range(t_.get(), value_size());
    }

    /// @brief Calls f(TableEntry) for every entry in storage order through the C enumeration, until f
    /// returns false.
    /// @param f called with each entry; it may insert but not erase, grow or clear, and what it throws is
    ///          rethrown after the walk
    /// @return true when every entry was visited.
    template <class F>
    bool for_each(F&& f) {
        if (!t_) return true;
        struct Context {
            detail::Walk<std::remove_reference_t<F>> walk;
            const T* table;
            std::size_t val_len;
        } ctx{{f}, t_.get(), value_size()};
        auto visit = [](void* val, void* arg) noexcept -> UInt {
            auto& c = *static_cast<Context*>(arg);
            const UByte* bytes = nullptr;
            const UInt len = Ops::Key(c.table, val, &bytes);
            return c.walk.Visit(TableEntry<V>{detail::ViewOf(bytes, len), Access::Make(val, c.val_len)}) ? 0 : 1;
        };
        const UInt r = Ops::Enumerate(t_.get(), visit, &ctx);
        ctx.walk.Rethrow();
        return r == 0;
    }

    /// @brief Saves the table to path as its memory image, replacing the file atomically.
    /// @param path the file
    /// @throws zkdict::file_error naming the file (EFBIG when the format cannot hold it);
    ///         std::logic_error when empty.
    void save(const std::string& path) const
        requires(!kRemoves)
    {
        const T* t = detail::Need(t_.get(), "HashTable::save");
        const std::string p = detail::CString(path, "HashTable::save: path");
        if (!HashTableTryWrite(t, p.c_str())) detail::ThrowFile(errno, "HashTableWrite", path);
    }

    /// @brief Appends the table's byte form (tombstones, removed entries and the frozen state included) to out.
    /// @param out the bytes to append to
    /// @throws std::logic_error when empty.
    void append_bytes(std::vector<std::byte>& out) const
        requires(kRemoves)
    {
        const T* t = detail::Need(t_.get(), "HashDelTable::append_bytes");
        UByteArray bytes;
        ArrayInit_(&bytes);
        HashDelTableMemWrite(t, &bytes);
        const auto* first = reinterpret_cast<const std::byte*>(bytes.data);
        try {
            out.insert(out.end(), first, first + bytes.length);
        } catch (...) {
            ArrayFree_(&bytes);
            throw;
        }
        ArrayFree_(&bytes);
    }
    /// @brief The table's byte form.
    /// @return the bytes.
    /// @throws std::logic_error when empty.
    std::vector<std::byte> to_bytes() const
        requires(kRemoves)
    {
        std::vector<std::byte> out;
        append_bytes(out);
        return out;
    }
    /// @brief Replaces the content (and for a table of byte spans the value size) with the byte form at
    /// offset of bytes, and moves offset past it. An empty table is made by it.
    /// @param bytes          the bytes holding the form
    /// @param[in,out] offset where the form starts; moved past it
    /// @throws zkdict::error: EINVAL for a short or inconsistent form or, for a typed table, value areas
    ///         of another size than sizeof(V), the table and offset then unchanged; (result_out_of_range)
    ///         for an offset past the bytes.
    void read_bytes(std::span<const std::byte> bytes, std::size_t& offset)
        requires(kRemoves)
    {
        if (offset > bytes.size()) detail::Refuse(std::errc::result_out_of_range, "HashDelTable::read_bytes: offset past the bytes");
        // The reader takes writable pointers but writes nothing through them.
        auto* base = reinterpret_cast<UByte*>(const_cast<std::byte*>(bytes.data()));
        UByte* from = base + offset;
        // Read into a table of its own first, so that a refused form leaves this one as it was.
        BasicTable fresh(HashDelTableNew(5, nullptr, nullptr, nullptr, UInt(value_size()), 0));
        if (!HashDelTableMemRead(fresh.get(), &from, base + bytes.size())) {
            throw error(std::error_code(EINVAL, std::generic_category()), "HashDelTableMemRead");
        }
        if (kTyped && Ops::ValueSize(fresh.get()) != Access::kFixedSize) {
            throw error(std::error_code(EINVAL, std::generic_category()),
                        "HashDelTable::read_bytes: value areas of " + std::to_string(Ops::ValueSize(fresh.get())) +
                            " bytes, not " + std::to_string(Access::kFixedSize));
        }
        t_ = std::move(fresh.t_);
        offset = std::size_t(from - base);
    }

private:
    template <class, class>
    friend class BasicTable;
    // Just above 1: a growth that only compacts, for a data area full of removed entries.
    static constexpr float kCompactOnly = 1.00001f;

    explicit BasicTable(T* t) noexcept : t_(t) {}

    static std::string Name(const char* what) { return std::string(Ops::kName) + "::" + what; }

    const_find_result ConstFound(void* v) const noexcept {
        if (v == nullptr) return const_find_result{};
        if constexpr (kTyped) {
            return Access::Hit(v, value_size());
        } else {
            return std::span<const std::byte>(Access::Make(v, value_size()));
        }
    }

    static T* New(std::size_t value_size, std::uint32_t capacity, std::uint8_t key_size, bool vm) {
        if (key_size > 4) detail::Refuse(std::errc::invalid_argument, Name("key_size above 4"));
        if (value_size > 0xFFFFFFFFu) detail::Refuse(std::errc::invalid_argument, Name("value size above 4 GiB"));
        if constexpr (kRemoves) {
            if (vm) detail::Refuse(std::errc::invalid_argument, "HashDelTable: page mappings are HashTable's only");
            return HashDelTableNew(capacity, nullptr, nullptr, nullptr, UInt(value_size), key_size);
        } else {
            return HashTableNew(capacity, nullptr, nullptr, nullptr, UInt(value_size), key_size, detail::Flag(vm));
        }
    }
    // The checks the C lookups would make with an assertion.
    void CheckUsable(std::string_view key) const {
        CheckNotFrozen();
        CheckLength(key);
    }
    void CheckNotFrozen() const {
        if (Ops::Frozen(t_.get())) detail::Refuse(std::errc::operation_not_permitted, Name("frozen by a selection"));
    }
    void CheckLength(std::string_view key) const {
        // Every key_size holds a key shorter than 256 bytes, so the usual key costs no second call.
        if (key.size() < 256) return;
        const unsigned ks = Ops::KeySize(t_.get());
        const std::uint64_t limit = ks == 0 || ks >= 4 ? std::uint64_t{1} << 32 : std::uint64_t{1} << (8 * ks);
        if (key.size() >= limit) detail::Refuse(std::errc::value_too_large, Name("key too long for the table's key_size"));
    }

    std::unique_ptr<T, detail::CDeleter<Ops::Free>> t_;
};

/// @brief The growable hash table without removal (dict/hashtable.h): `HashTable<V>` of typed
/// values, `HashTable<>` of byte spans.
template <class V = void>
using HashTable = BasicTable<::HashTable, V>;
/// @brief The hash table that also removes keys (dict/hashdeltable.h): `HashDelTable<V>` of typed
/// values, `HashDelTable<>` of byte spans.
template <class V = void>
using HashDelTable = BasicTable<::HashDelTable, V>;

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_HASHTABLE_HPP
