/**
 * @file zkdict/zkdict.hpp
 * @brief The C++20 face of libzkdict: owning handles, string views and ranges over the C ABI.
 *
 * Header-only; it adds no symbol to the libraries and links against zkdict::zkdict as a C client
 * does. Every family of the C headers has one class here, in namespace zkdict, named like the family
 * (zkdict::HashTable over ::HashTable, and so on); `get()` hands out the C handle for whatever the
 * class leaves out, and the C header of the family stays the reference for its behaviour.
 *
 * @par Ownership
 * Each class owns exactly one C handle and releases it with the destructor that matches
 * how the handle was made (a static dictionary remembers whether it was built, mapped from a file,
 * read from a channel or opened inside a caller's image). The classes move and never copy; a
 * moved-from object holds nothing, tests false, and may only be destroyed or assigned to. Where the
 * C API copies a structure (HashTableCopy, HashDelTableCopy), `clone()` says so explicitly.
 *
 * @par Lifetimes
 * String views, byte spans and pointers returned here point into the C structure (a
 * table's data area, a tree's node array, a mapped file) and follow the rules of the C header of
 * their family, restated on each function; none of them keeps the structure alive. Ranges are views
 * of a live structure: each range type says what invalidates it.
 *
 * @par Threads
 * Exactly those of the C API. A finished HashDict and an opened AttrDictReader may be read
 * from any number of threads; a Cache may be used from any number of threads, except for its
 * construction, destruction and moves; every other class is used by one thread at a time, lookups
 * included (a tree lookup writes its sentinel node, a hash-table walk may compact the table).
 *
 * @par Errors
 * One convention throughout:
 *
 *  - a key, identifier or value that is simply absent is an empty std::optional (or false);
 *  - a call the C API reports as failed through errno (opening, reading, writing, committing,
 *    closing, unmapping) throws std::system_error carrying that errno, std::generic_category();
 *  - arguments the C API would stop the process on (an assertion) are refused before the C call with
 *    std::invalid_argument or std::length_error, so that a C++ caller can recover;
 *  - what the C API treats as fatal (exhausted memory, failed page mappings) stays fatal: the
 *    library reports it through its message service and the process ends.
 * No exception crosses the C boundary: callbacks handed to the C walks catch whatever the caller's
 * function throws, stop the walk, and the exception is rethrown once the C call has returned, so the
 * C structure is left consistent and nothing leaks.
 */
#ifndef ZKDICT_ZKDICT_ZKDICT_HPP
#define ZKDICT_ZKDICT_ZKDICT_HPP

#if __cplusplus < 202002L
#error "zkdict/zkdict.hpp needs C++20 (concepts, std::span); the C headers under dict/ serve older C++"
#endif

#include <array>
#include <bit>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ranges>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "dict/attrdict.h"
#include "dict/avldict.h"
#include "dict/avlldict.h"
#include "dict/hashdeltable.h"
#include "dict/hashdict.h"
#include "dict/hashentry.h"
#include "dict/hashtable.h"
#include "dict/idmap.h"
#include "dict/rbdict.h"
#include "dict/zkcache.h"
#include "zklib/zklib.h"

namespace zkdict {

/// A dense identifier, as the C API's Id.
using Id = ::Id;

/// Any range whose elements read as byte strings: std::vector<std::string>, std::array<const char*, N>,
/// a view producing std::string or std::string_view, ...
template <class R>
concept KeyRange = std::ranges::input_range<R> && std::convertible_to<std::ranges::range_reference_t<R>, std::string_view>;

namespace detail {

// The errno of the failed call, captured before anything else can overwrite it. A C call that
// failed without setting errno still throws something a caller can act on.
[[noreturn]] inline void ThrowErrno(int err, const char* what) {
    throw std::system_error(err != 0 ? err : EIO, std::generic_category(), what);
}

// The C API takes "no bytes" as a pointer that must not be NULL in places; an empty view may have
// no data pointer at all.
inline const UByte* BytesOf(std::string_view s) noexcept {
    static const UByte kNoBytes = 0;
    return s.data() != nullptr ? reinterpret_cast<const UByte*>(s.data()) : &kNoBytes;
}

inline std::string_view ViewOf(const UByte* bytes, std::size_t len) noexcept {
    return {reinterpret_cast<const char*>(bytes), len};
}

// A NUL-terminated copy for the C calls that take paths and cache keys. A key with a NUL inside
// would silently name a shorter key, so it is refused.
inline std::string CString(std::string_view s, const char* what) {
    if (s.find('\0') != std::string_view::npos) throw std::invalid_argument(std::string(what) + ": contains a NUL byte");
    return std::string(s);
}

// Whether a walk goes on after the caller's function: a function returning void always goes on, one
// returning something testable stops the walk on false.
template <class F, class... A>
bool KeepGoing(F& f, A&&... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<F&, A...>>) {
        std::invoke(f, std::forward<A>(args)...);
        return true;
    } else {
        return static_cast<bool>(std::invoke(f, std::forward<A>(args)...));
    }
}

// What a C walk carries to its callback: the caller's function, and the exception it threw, which
// may only leave once the C function has returned.
template <class F>
struct Walk {
    F& f;
    std::exception_ptr error{};
    bool stopped = false;

    template <class... A>
    bool Visit(A&&... args) noexcept {
        try {
            if (KeepGoing(f, std::forward<A>(args)...)) return true;
            stopped = true;
        } catch (...) {
            error = std::current_exception();
        }
        return false;
    }
    void Rethrow() const {
        if (error) std::rethrow_exception(error);
    }
};

template <auto Release>
struct CDeleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Release(p);
    }
};

// ---- the two hash tables -----------------------------------------------------------------------

template <class T>
struct TableOps;

template <>
struct TableOps<::HashTable> {
    using Iterator = ::HashTableIterator;
    static constexpr bool kRemoves = false;
    static void Free(::HashTable* t) noexcept { HashTableFree(t); }
    static UInt Size(const ::HashTable* t) noexcept { return HashTableSize(t); }
    static UInt Capacity(const ::HashTable* t) noexcept { return HashTableCapacity(t); }
    static void* Find(::HashTable* t, std::string_view k, bool create) {
        return HashTableFind(t, BytesOf(k), UInt(k.size()), create ? TRUE : FALSE, nullptr, nullptr);
    }
    static void Grow(::HashTable* t, float factor) { HashTableGrow(t, factor, nullptr); }
    // Whether a refused creation is the capacity's doing, which growth cures.
    static bool OutOfCapacity(const ::HashTable* t) noexcept { return HashTableFull(t) != FALSE; }
    static bool Reclaimable(const ::HashTable*) noexcept { return false; }
    static void Clear(::HashTable* t) noexcept { HashTableClear(t); }
    static ::HashTable* Copy(const ::HashTable* t) { return HashTableCopy(t); }
    static UInt Key(const ::HashTable* t, const void* val, const UByte** bytes) { return HashTableKey(t, val, bytes); }
    static UInt Enumerate(::HashTable* t, HashEnumerateFunction f, void* p) { return HashTableEnumerate(t, 0, f, p); }
    static Iterator* IteratorInit(::HashTable* t) { return HashTableIteratorInit(t); }
    static bool IteratorEnd(const Iterator* i) noexcept { return HashTableIteratorEnd(i) != FALSE; }
    static void IteratorNext(Iterator* i) noexcept { HashTableIteratorNext(i); }
    static UInt IteratorKey(const Iterator* i, const UByte** b) noexcept { return HashTableIteratorGetKey(i, b); }
    static void* IteratorValue(const Iterator* i) noexcept { return HashTableIteratorGetValue(i); }
    static void IteratorFree(Iterator* i) noexcept { HashTableIteratorFinalize(i); }
};

template <>
struct TableOps<::HashDelTable> {
    using Iterator = ::HashDelTableIterator;
    static constexpr bool kRemoves = true;
    static void Free(::HashDelTable* t) noexcept { HashDelTableFree(t); }
    static UInt Size(const ::HashDelTable* t) noexcept { return HashDelTableSize(t); }
    static UInt Capacity(const ::HashDelTable* t) noexcept { return HashDelTableCapacity(t); }
    static void* Find(::HashDelTable* t, std::string_view k, bool create) {
        return HashDelTableFind(t, BytesOf(k), UInt(k.size()), create ? TRUE : FALSE, nullptr, nullptr);
    }
    static void Grow(::HashDelTable* t, float factor) { HashDelTableGrow(t, factor, nullptr); }
    // Tombstones count twice against the capacity, so a table that is not full may still refuse.
    static bool OutOfCapacity(const ::HashDelTable* t) noexcept {
        return ULong(t->t_nkeys) + 2 * ULong(t->t_deleted) >= t->t_nkeys_max;
    }
    // Removed entries still fill the data area until a compaction moves the live ones over them.
    static bool Reclaimable(const ::HashDelTable* t) noexcept { return t->t_deleted != 0; }
    static void Clear(::HashDelTable* t) noexcept { HashDelTableClear(t); }
    static ::HashDelTable* Copy(const ::HashDelTable* t) { return HashDelTableCopy(t); }
    static UInt Key(const ::HashDelTable* t, const void* val, const UByte** bytes) { return HashDelTableKey(t, val, bytes); }
    static UInt Enumerate(::HashDelTable* t, HashEnumerateFunction f, void* p) { return HashDelTableEnumerate(t, 0, f, p); }
    static Iterator* IteratorInit(::HashDelTable* t) { return HashDelTableIteratorInit(t, nullptr); }
    static bool IteratorEnd(const Iterator* i) noexcept { return HashDelTableIteratorEnd(i) != FALSE; }
    static void IteratorNext(Iterator* i) noexcept { HashDelTableIteratorNext(i); }
    static UInt IteratorKey(const Iterator* i, const UByte** b) noexcept { return HashDelTableIteratorGetKey(i, b); }
    static void* IteratorValue(const Iterator* i) noexcept { return HashDelTableIteratorGetValue(i); }
    static void IteratorFree(Iterator* i) noexcept { HashDelTableIteratorFinalize(i); }
};

// ---- the three trees ---------------------------------------------------------------------------

template <class D>
struct TreeOps;

template <>
struct TreeOps<::RBDict> {
    using Key = RBDictKey;
    using Value = RBDictValue;
    using Fun = RBDictEnumerateFun;
    static constexpr bool kValuePointers = false;
    static ::RBDict* New(UInt c) { return ZKRBDictNew(c); }
    static void Delete(::RBDict* d) noexcept { ZKRBDictDelete(d); }
    static void Clear(::RBDict* d) noexcept { ZKRBDictClear(d); }
    static UInt Size(const ::RBDict* d) noexcept { return ZKRBDictSize(d); }
    static Value Find(::RBDict* d, Key k, Value n) noexcept { return ZKRBDictFind(d, k, n); }
    static Value Insert(::RBDict* d, Key k, Value v, Value n) { return ZKRBDictInsert(d, k, v, n); }
    static Value Remove(::RBDict* d, Key k, Value n) noexcept { return ZKRBDictRemove(d, k, n); }
    static Boolean Enumerate(::RBDict* d, bool reverse, Fun f, void* p) { return ZKRBDictEnumerate(d, reverse, f, p); }
};

template <>
struct TreeOps<::AVLDict> {
    using Key = AVLDictKey;
    using Value = AVLDictValue;
    using Fun = AVLDictEnumerateFun;
    static constexpr bool kValuePointers = true;
    static ::AVLDict* New(UInt c) { return ZKAVLDictNew(c); }
    static void Delete(::AVLDict* d) noexcept { ZKAVLDictDelete(d); }
    static void Clear(::AVLDict* d) noexcept { ZKAVLDictClear(d); }
    static UInt Size(const ::AVLDict* d) noexcept { return ZKAVLDictSize(d); }
    static Value* ValueGet(::AVLDict* d, Key k) noexcept { return ZKAVLDictValueGet(d, k); }
    static Value Insert(::AVLDict* d, Key k, Value v, Value n) { return ZKAVLDictInsert(d, k, v, n); }
    static Value Remove(::AVLDict* d, Key k, Value n) noexcept { return ZKAVLDictRemove(d, k, n); }
    static Boolean Enumerate(::AVLDict* d, bool reverse, Fun f, void* p) { return ZKAVLDictEnumerate(d, reverse, f, p); }
};

template <>
struct TreeOps<::AVLLDict> {
    using Key = AVLLDictKey;
    using Value = AVLLDictValue;
    using Fun = AVLLDictEnumerateFun;
    static constexpr bool kValuePointers = true;
    static ::AVLLDict* New(UInt c) { return ZKAVLLDictNew(c); }
    static void Delete(::AVLLDict* d) noexcept { ZKAVLLDictDelete(d); }
    static void Clear(::AVLLDict* d) noexcept { ZKAVLLDictClear(d); }
    static UInt Size(const ::AVLLDict* d) noexcept { return ZKAVLLDictSize(d); }
    static Value* ValueGet(::AVLLDict* d, Key k) noexcept { return ZKAVLLDictValueGet(d, k); }
    static Value Insert(::AVLLDict* d, Key k, Value v, Value n) { return ZKAVLLDictInsert(d, k, v, n); }
    static Value Remove(::AVLLDict* d, Key k, Value n) noexcept { return ZKAVLLDictRemove(d, k, n); }
    static Boolean Enumerate(::AVLLDict* d, bool reverse, Fun f, void* p) { return ZKAVLLDictEnumerate(d, reverse, f, p); }
};

// ---- the two integer maps ----------------------------------------------------------------------

template <class M>
struct MapOps;

template <>
struct MapOps<::IdMap> {
    using Int = Id;
    static constexpr Int kSentinel = NOID;
    static ::IdMap* New() { return IdMapNew(); }
    static void Delete(::IdMap* m) noexcept { IdMapDelete(m); }
    static void Clear(::IdMap* m) noexcept { IdMapClear(m); }
    static UInt Size(const ::IdMap* m) noexcept { return IdMapSize(m); }
    static void Get(const ::IdMap* m, UInt n, Int* k, Int* v) noexcept { IdMapGet(m, n, k, v); }
    static Int Find(::IdMap* m, Int k, Int create, Int update, Boolean* added) {
        return IdMapFind(m, k, create, update, added);
    }
};

template <>
struct MapOps<::RefMap> {
    using Int = ULong;
    static constexpr Int kSentinel = NOREF;
    static ::RefMap* New() { return RefMapNew(); }
    static void Delete(::RefMap* m) noexcept { RefMapDelete(m); }
    static void Clear(::RefMap* m) noexcept { RefMapClear(m); }
    static UInt Size(const ::RefMap* m) noexcept { return RefMapSize(m); }
    static void Get(const ::RefMap* m, UInt n, Int* k, Int* v) noexcept { RefMapGet(m, n, k, v); }
    static Int Find(::RefMap* m, Int k, Int create, Int update, Boolean* added) {
        return RefMapFind(m, k, create, update, added);
    }
};

// Whether string views taken from a range's elements stay valid after the walk over it: a forward
// range's lvalue elements do, and so do the bytes a pointer or a string view names. Anything else (a
// std::string made on the fly, a single-pass stream's element) is copied for the build.
template <class R>
inline constexpr bool kViewsOutliveWalk =
    std::ranges::forward_range<R> &&
    (std::is_lvalue_reference_v<std::ranges::range_reference_t<R>> ||
     std::is_pointer_v<std::remove_cvref_t<std::ranges::range_reference_t<R>>> ||
     std::is_same_v<std::remove_cvref_t<std::ranges::range_reference_t<R>>, std::string_view>);

// The keys of one build, by index, and whatever copies they needed.
struct KeyList {
    std::vector<std::string> owned;
    std::vector<std::string_view> views;
};

template <class R>
KeyList CollectKeys(R&& keys) {
    KeyList list;
    if constexpr (std::ranges::sized_range<R>) list.views.reserve(std::ranges::size(keys));
    if constexpr (kViewsOutliveWalk<R>) {
        for (auto&& k : keys) list.views.push_back(std::string_view(k));
    } else {
        for (auto&& k : keys) list.owned.emplace_back(std::string_view(k));
        // Only now: a growing vector moves its strings, and a short string's bytes move with it.
        for (const std::string& s : list.owned) list.views.push_back(s);
    }
    return list;
}

}  // namespace detail

// =====================================================================================================
// Channel
// =====================================================================================================

/// A buffered file channel (zklib's Channel), as the static dictionary's stream readers and writers take.
class Channel {
public:
    /// What the channel is opened for.
    enum class Mode { read, write };

    /// An empty handle, holding no channel.
    Channel() noexcept = default;
    /// @brief Opens path for reading, or for writing (created, or truncated).
    /// @param path             the file
    /// @param mode             Mode::read or Mode::write
    /// @param read_timeout_ms  the longest wait for the file to become readable, in ms; -1 for none
    /// @param write_timeout_ms the longest wait for it to become writable, in ms; -1 for none
    /// @throws std::system_error when the channel cannot be made or the file opened;
    ///         std::invalid_argument for a path holding a NUL byte.
    Channel(const std::string& path, Mode mode, int read_timeout_ms = -1, int write_timeout_ms = -1)
        : ch_(ChannelNew(read_timeout_ms, write_timeout_ms)) {
        if (!ch_) detail::ThrowErrno(errno, "ChannelNew");
        const std::string p = detail::CString(path, "path");
        if (!ChannelOpenFile(ch_.get(), p.c_str(), mode == Mode::read ? "r" : "w")) {
            const int err = errno;
            ch_.reset();
            detail::ThrowErrno(err, "ChannelOpenFile");
        }
    }

    /// @brief The C channel, still owned by this object.
    /// @return the channel; NULL when empty.
    ::Channel* get() const noexcept { return ch_.get(); }
    /// @brief Whether a channel is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return ch_ != nullptr; }

    /// @brief Appends bytes to the output buffer.
    /// @param bytes the bytes
    /// @throws std::system_error when a write of the buffer fails.
    void write(std::span<const std::byte> bytes) {
        if (!ChannelWriteBuf(ch_.get(), bytes.data(), bytes.size())) detail::ThrowErrno(errno, "ChannelWriteBuf");
    }
    /// @brief Appends the bytes of a string.
    /// @param bytes the bytes
    /// @throws std::system_error when a write of the buffer fails.
    void write(std::string_view bytes) { write(std::as_bytes(std::span(bytes.data(), bytes.size()))); }
    /// @brief Reads up to buffer.size() bytes.
    /// @param buffer where the bytes go
    /// @return how many arrived (fewer only at the end of the file).
    /// @throws std::system_error when the read fails.
    std::size_t read(std::span<std::byte> buffer) {
        std::size_t got = 0;
        errno = 0;
        if (ChannelReadBuf(ch_.get(), buffer.data(), buffer.size(), &got) != 0 && errno != 0) {
            detail::ThrowErrno(errno, "ChannelReadBuf");
        }
        return got;
    }
    /// @brief Writes out the output buffer.
    /// @throws std::system_error when the write fails.
    void flush() {
        if (!ChannelFlush(ch_.get())) detail::ThrowErrno(errno, "ChannelFlush");
    }
    /// @brief Flushes and syncs the file, for data that must survive a crash.
    /// @throws std::system_error when the flush or the sync fails.
    void sync() {
        if (!ChannelSync(ch_.get())) detail::ThrowErrno(errno, "ChannelSync");
    }
    /// @brief Flushes and closes, reporting what the destructor would have to swallow.
    /// @throws std::system_error when the flush or the close fails; the channel is released either way.
    void close() {
        if (!ch_) return;
        if (!ChannelClose(ch_.release())) detail::ThrowErrno(errno, "ChannelClose");
    }

private:
    std::unique_ptr<::Channel, detail::CDeleter<ChannelClose>> ch_;
};

// =====================================================================================================
// HashDict: the static dictionary
// =====================================================================================================

/// A static dictionary of a fixed key list over a minimal perfect hash function (dict/hashdict.h).
class HashDict {
public:
    /// How the record was made, which decides its C destructor.
    enum class Source {
        built,  ///< HashDictBuild; released with HashDictFree
        file,   ///< HashDictOpen, a read-only file mapping; HashDictClose
        stream, ///< HashDictFileRead, one block of its own; HashDictMemClose
        image,  ///< HashDictMMRead, inside the caller's image; HashDictMMFree
    };

    /// How build() makes the dictionary.
    struct BuildOptions {
        unsigned check_bytes = 0; ///< 0 to 8 check bytes per key, which reject foreign keys at 8 x check_bytes bits
        bool verbose = false;     ///< report progress through zklib's message service
    };

    /// An empty handle, holding no dictionary.
    HashDict() noexcept = default;

    /// @brief Builds the dictionary of keys, each found at its position.
    /// @param keys    the distinct keys; lookups return each one's position in the range
    /// @param options check bytes and progress reports
    /// @return the dictionary.
    /// @throws std::invalid_argument on duplicate keys or more than 8 check bytes; std::length_error on a
    ///         key over 65535 bytes or more than HASHDICT_MAX_ENTRIES keys.
    template <KeyRange R>
    static HashDict build(R&& keys, BuildOptions options) {
        if (options.check_bytes > 8) throw std::invalid_argument("HashDict::build: at most 8 check bytes");
        detail::KeyList list = detail::CollectKeys(std::forward<R>(keys));
        CheckKeys(list.views);
        HashDictBuildError error;
        ::HashDict* d = HashDictTryBuild(Id(list.views.size()), &list.views, KeyAt, nullptr, 0,
                                         UByte(options.check_bytes), options.verbose ? TRUE : FALSE, &error);
        return Built(d, error, list.views);
    }

    /// @brief Builds the dictionary of keys without check bytes, each found at its position.
    /// @param keys the distinct keys
    /// @return the dictionary.
    /// @throws as build(R&&, BuildOptions).
    template <KeyRange R>
    static HashDict build(R&& keys) {
        return build(std::forward<R>(keys), BuildOptions{});
    }

    /// @brief Builds the dictionary of keys that finds each at value_of(index, key) or value_of(key).
    ///
    /// The values are all taken before the C build starts, so whatever value_of throws propagates
    /// from here unchanged.
    /// @param keys     the distinct keys
    /// @param value_of gives each key's value, called as value_of(index, key) or value_of(key)
    /// @param nbits    the width of the values, at most 32; 0 picks the narrowest width that holds
    ///                 every value
    /// @param verbose  report progress through zklib's message service
    /// @return the dictionary.
    /// @throws std::out_of_range for a value that does not fit nbits; std::invalid_argument for
    ///         HASHDICT_NOT_FOUND as a value (lookups could not tell it from absence), for nbits
    ///         above 32 and for duplicate keys; std::length_error as for build().
    template <KeyRange R, class F>
        requires(std::is_invocable_r_v<Id, F&, Id, std::string_view> || std::is_invocable_r_v<Id, F&, std::string_view>)
    static HashDict build_with_values(R&& keys, F&& value_of, unsigned nbits = 0, bool verbose = false) {
        if (nbits > 32) throw std::invalid_argument("HashDict::build_with_values: at most 32 bits");
        detail::KeyList list = detail::CollectKeys(std::forward<R>(keys));
        CheckKeys(list.views);
        std::vector<Id> values;
        values.reserve(list.views.size());
        Id largest = 0;
        for (std::size_t i = 0; i < list.views.size(); ++i) {
            Id v;
            if constexpr (std::is_invocable_r_v<Id, F&, Id, std::string_view>) {
                v = std::invoke(value_of, Id(i), list.views[i]);
            } else {
                v = std::invoke(value_of, list.views[i]);
            }
            if (v == HASHDICT_NOT_FOUND) throw std::invalid_argument("HashDict::build_with_values: value HASHDICT_NOT_FOUND");
            if (nbits != 0 && nbits < 32 && v >> nbits != 0) throw std::out_of_range("HashDict::build_with_values: value wider than nbits");
            largest = v > largest ? v : largest;
            values.push_back(v);
        }
        if (nbits == 0) nbits = largest == 0 ? 1 : unsigned(std::bit_width(largest));
        Build build{&list.views, &values};
        HashDictBuildError error;
        ::HashDict* d = HashDictTryBuild(Id(values.size()), &build, BuildKeyAt, BuildValueAt, UByte(nbits), 0,
                                         verbose ? TRUE : FALSE, &error);
        return Built(d, error, list.views);
    }

    /// @brief Maps dir/name.suffix read-only and opens it in place.
    /// @param dir    the directory; empty: the current directory
    /// @param name   the file name without suffix
    /// @param suffix the suffix
    /// @return the dictionary, valid until close() or destruction.
    /// @throws std::system_error (ENOENT, EINVAL for an unsound image, ...); std::invalid_argument for a
    ///         name holding a NUL byte.
    static HashDict open(const std::string& dir, const std::string& name, std::string_view suffix = HASHDICT_SUFFIX) {
        const std::string dr = detail::CString(dir, "dir"), n = detail::CString(name, "name"), s = detail::CString(suffix, "suffix");
        ::HashDict* d = HashDictOpen(dr.c_str(), n.c_str(), s.c_str());
        if (d == nullptr) detail::ThrowErrno(errno, "HashDictOpen");
        return HashDict(d, Source::file);
    }

    /// @brief Reads one length-prefixed image from the channel into memory of its own.
    /// @param channel a channel open for reading
    /// @return the dictionary.
    /// @throws std::system_error (EINVAL for a short or unsound image).
    static HashDict read(Channel& channel) {
        ::HashDict* d = nullptr;
        if (!HashDictFileRead(&d, channel.get())) detail::ThrowErrno(errno, "HashDictFileRead");
        return HashDict(d, Source::stream);
    }

    /// @brief Opens the image at offset of a memory image in place and moves offset past it.
    /// @param image          the memory image, 8-byte aligned; the bytes must outlive the result
    /// @param[in,out] offset where the padding before the image starts; advanced past the image
    /// @return the dictionary.
    /// @throws std::invalid_argument when the image does not start 8-byte aligned; std::out_of_range for
    ///         an offset past the image; std::system_error (EINVAL) when the bytes are short or unsound,
    ///         offset then possibly advanced past padding and length.
    static HashDict view(std::span<const std::byte> image, std::size_t& offset) {
        if (reinterpret_cast<std::uintptr_t>(image.data()) % 8 != 0) throw std::invalid_argument("HashDict::view: image not 8-byte aligned");
        if (offset > image.size()) throw std::out_of_range("HashDict::view: offset past the image");
        const auto* base = reinterpret_cast<const UByte*>(image.data());
        const UByte* from = base + offset;
        ::HashDict* d = nullptr;
        const Boolean ok = HashDictMMRead(&d, base, &from, base + image.size());
        const int err = errno;
        offset = std::size_t(from - base);
        if (!ok) detail::ThrowErrno(err, "HashDictMMRead");
        return HashDict(d, Source::image);
    }

    /// @brief The C record, still owned by this object.
    /// @return the record; NULL when empty.
    ::HashDict* get() const noexcept { return d_.get(); }
    /// @brief How the record was made.
    /// @return the source, which decides the C destructor.
    Source source() const noexcept { return d_.get_deleter().source; }
    /// @brief Whether a dictionary is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return d_ != nullptr; }

    /// @brief The key's index or value.
    /// @param key the key
    /// @return the index or value; empty when rejected.
    /// @warning Without check bytes a key that was never listed may still give any value: confirm against
    ///          your own keys when that matters.
    std::optional<Id> find(std::string_view key) const noexcept {
        // Longer than every key means rejected unread, which also keeps the length within an int.
        if (key.size() > HashDictMaxLength(d_.get())) return std::nullopt;
        const Id r = HashDictFind(d_.get(), detail::BytesOf(key), int(key.size()));
        if (r == HASHDICT_NOT_FOUND) return std::nullopt;
        return r;
    }
    /// @brief The number of keys.
    /// @return the count.
    Id size() const noexcept { return HashDictSize(d_.get()); }
    /// @brief The length of the longest key.
    /// @return the length in bytes.
    std::size_t max_length() const noexcept { return HashDictMaxLength(d_.get()); }
    /// @brief The length of the record's image in bytes, as write_image() appends it after its 8-byte length.
    /// @return the length.
    std::size_t image_size() const noexcept { return HashDictFileSize(d_.get()); }

    /// @brief Writes dir/name.suffix atomically and durably.
    /// @param dir    the directory; empty: the current directory
    /// @param name   the file name without suffix
    /// @param suffix the suffix
    /// @param swap   byte-reversed, for a host of the other byte order
    /// @throws std::system_error, the old file then untouched; std::invalid_argument for a name holding a
    ///         NUL byte.
    void save(const std::string& dir, const std::string& name, std::string_view suffix = HASHDICT_SUFFIX, bool swap = false) const {
        const std::string d = detail::CString(dir, "dir"), n = detail::CString(name, "name"), s = detail::CString(suffix, "suffix");
        if (!HashDictWrite(d_.get(), d.c_str(), n.c_str(), s.c_str(), swap ? TRUE : FALSE)) {
            detail::ThrowErrno(errno, "HashDictWrite");
        }
    }
    /// @brief Writes the length-prefixed image that read() takes back.
    /// @param channel a channel open for writing
    /// @param swap    byte-reversed, for a host of the other byte order
    /// @throws std::system_error (EFBIG beyond 4 GiB), the channel then holding part of it.
    void write(Channel& channel, bool swap = false) const {
        if (!HashDictFileWrite(d_.get(), channel.get(), swap ? TRUE : FALSE)) detail::ThrowErrno(errno, "HashDictFileWrite");
    }
    /// @brief Appends the image to a memory image composed on the channel.
    /// @param channel        a channel open for writing
    /// @param[in,out] written the memory image's bytes so far, counted from its start; advanced by what
    ///                       was written
    /// @param swap           byte-reversed, for a host of the other byte order
    /// @throws std::system_error; written may then already count the padding and the length.
    void write_image(Channel& channel, std::size_t& written, bool swap = false) const {
        const Boolean ok = swap ? HashDictMMWriteSwapped(d_.get(), channel.get(), &written)
                                : HashDictMMWrite(d_.get(), channel.get(), &written);
        if (!ok) detail::ThrowErrno(errno, "HashDictMMWrite");
    }

    /// @brief Releases the record now.
    /// @throws std::system_error for a mapped file whose unmapping failed (the record is released either way).
    void close() {
        if (!d_) return;
        if (source() != Source::file) {
            d_.reset();
            return;
        }
        if (!HashDictClose(d_.release())) detail::ThrowErrno(errno, "HashDictClose");
    }

private:
    struct Release {
        Source source;
        Release() noexcept : source(Source::built) {}
        explicit Release(Source s) noexcept : source(s) {}
        void operator()(::HashDict* d) const noexcept {
            switch (source) {
            case Source::built: HashDictFree(d); break;
            case Source::file: HashDictClose(d); break;
            case Source::stream: HashDictMemClose(d); break;
            case Source::image: HashDictMMFree(d); break;
            }
        }
    };
    struct Build {
        const std::vector<std::string_view>* keys;
        const std::vector<Id>* values;
    };

    HashDict(::HashDict* d, Source s) noexcept : d_(d, Release(s)) {}

    // What the C build's key callback cannot express, refused before it starts. Duplicates cost
    // nothing here: the build finds them only when a peel fails, which they make it do.
    static void CheckKeys(const std::vector<std::string_view>& keys) {
        if (keys.size() > HASHDICT_MAX_ENTRIES) throw std::length_error("HashDict: too many keys");
        for (std::string_view k : keys) {
            if (k.size() > 0xFFFF) throw std::length_error("HashDict: key longer than 65535 bytes");
        }
    }
    // The handle of a successful build, or the exception that says why it failed.
    static HashDict Built(::HashDict* d, const HashDictBuildError& error, const std::vector<std::string_view>& keys) {
        if (d != nullptr) return HashDict(d, Source::built);
        if (error.code == HASHDICT_ERROR_DUPLICATE) {
            throw std::invalid_argument("HashDict: duplicate key \"" + std::string(keys[error.first]) + "\" at " +
                                        std::to_string(error.first) + " and " + std::to_string(error.second));
        }
        detail::ThrowErrno(errno, "HashDictTryBuild");
    }
    // The callbacks only read what was prepared before the C call: they cannot throw, and they give
    // the same bytes every time, as the build demands.
    static UShort KeyOf(const std::vector<std::string_view>& keys, Id i, const UByte** bytes) noexcept {
        *bytes = detail::BytesOf(keys[i]);
        return UShort(keys[i].size());
    }
    static UShort KeyAt(void* ctx, Id i, const UByte** bytes) noexcept {
        return KeyOf(*static_cast<const std::vector<std::string_view>*>(ctx), i, bytes);
    }
    static UShort BuildKeyAt(void* ctx, Id i, const UByte** bytes) noexcept {
        return KeyOf(*static_cast<Build*>(ctx)->keys, i, bytes);
    }
    static Id BuildValueAt(void* ctx, Id i) noexcept { return (*static_cast<Build*>(ctx)->values)[i]; }

    std::unique_ptr<::HashDict, Release> d_;
};

// =====================================================================================================
// HashTable and HashDelTable
// =====================================================================================================

/// One entry of a hash table: views into the table's data area.
struct TableEntry {
    std::string_view key;          ///< the key bytes
    std::span<std::byte> value;    ///< the entry's value area, value_size() bytes
};

/// The entries of a hash table in storage order, walked with the table's own C iterator.
/// HashTable: insertions during the walk are seen; the views of an entry go stale at the next
/// insertion that enlarges the data area, at clear() and with the table. HashDelTable: making the
/// range compacts away the tombstones; entries erased afterwards are still visited (their bytes stay),
/// and any compaction invalidates it: a growth (an insert() that grows too), clear, for_each or
/// another entries() range.
template <class T>
class TableEntries {
    using Ops = detail::TableOps<T>;

public:
    /// Marks the end of the walk.
    struct sentinel {};

    /// An input iterator over the entries.
    class iterator {
    public:
        using value_type = TableEntry; ///< what dereferencing gives, by value
        using difference_type = std::ptrdiff_t; ///< required of iterators; positions are not subtracted
        using iterator_concept = std::input_iterator_tag; ///< the C++20 strength of the iterator

        /// A singular iterator.
        iterator() noexcept = default;
        /// @brief The current entry.
        /// @return views of its key and value area.
        TableEntry operator*() const noexcept {
            const UByte* key = nullptr;
            const UInt len = Ops::IteratorKey(it_, &key);
            return {detail::ViewOf(key, len), {static_cast<std::byte*>(Ops::IteratorValue(it_)), val_len_}};
        }
        /// @brief Steps to the next entry.
        /// @return this iterator.
        iterator& operator++() noexcept {
            Ops::IteratorNext(it_);
            return *this;
        }
        /// Steps to the next entry.
        void operator++(int) noexcept { ++*this; }
        /// @brief Whether the walk has passed the last entry.
        /// @param i the iterator
        /// @return true at the end.
        friend bool operator==(const iterator& i, sentinel) noexcept { return Ops::IteratorEnd(i.it_); }

    private:
        friend class TableEntries;
        iterator(typename Ops::Iterator* it, std::size_t val_len) noexcept : it_(it), val_len_(val_len) {}
        typename Ops::Iterator* it_ = nullptr;
        std::size_t val_len_ = 0;
    };

    /// @brief The first entry; a range is walked once.
    /// @return an iterator at the first entry.
    iterator begin() noexcept { return iterator(it_.get(), val_len_); }
    /// @brief The end of the walk.
    /// @return the sentinel.
    sentinel end() const noexcept { return {}; }

private:
    template <class>
    friend class Table;
    TableEntries(typename Ops::Iterator* it, std::size_t val_len) noexcept : it_(it), val_len_(val_len) {}
    std::unique_ptr<typename Ops::Iterator, detail::CDeleter<Ops::IteratorFree>> it_;
    std::size_t val_len_;
};

/// A growable hash table of byte-string keys and fixed-size value areas: HashTable (dict/hashtable.h)
/// or, with erase(), HashDelTable (dict/hashdeltable.h). Tables made here use the default hash,
/// equality and zero-filled value areas. Value spans stay valid until the next insertion that
/// enlarges the data area (for HashDelTable also any growth or walk), clear() or destruction.
template <class T>
class Table {
    using Ops = detail::TableOps<T>;
    static constexpr bool kRemoves = Ops::kRemoves;

public:
    /// The range entries() returns.
    using entries_range = TableEntries<T>;

    /// An empty handle, holding no table.
    Table() noexcept = default;
    /// @brief A new table in heap memory.
    /// @param value_size the bytes of every value area
    /// @param capacity   entries accepted before it grows
    /// @param key_size   1 to 4 stores key lengths in that many bytes (keys then shorter than
    ///                   2^(8 x key_size)), 0 in a variable code
    /// @throws std::invalid_argument for a key_size above 4.
    explicit Table(std::uint32_t value_size, std::uint32_t capacity = 16, std::uint8_t key_size = 0)
        requires(!kRemoves)
        : Table(value_size, capacity, key_size, false) {}
    /// @brief A new table, in heap memory or in page mappings.
    /// @param value_size the bytes of every value area
    /// @param capacity   entries accepted before it grows
    /// @param key_size   the width of stored key lengths, as above
    /// @param vm         the data area and slots are page mappings that grow in place
    /// @throws std::invalid_argument for a key_size above 4.
    Table(std::uint32_t value_size, std::uint32_t capacity, std::uint8_t key_size, bool vm)
        requires(!kRemoves)
    {
        CheckKeySize(key_size);
        t_.reset(HashTableNew(capacity, nullptr, nullptr, nullptr, value_size, key_size, vm ? TRUE : FALSE));
    }
    /// @brief A new table of value areas of value_size bytes, accepting capacity keys before it grows.
    /// @param value_size the bytes of every value area
    /// @param capacity   keys accepted before it grows
    /// @param key_size   the width of stored key lengths, as for HashTable
    /// @throws std::invalid_argument for a key_size above 4.
    explicit Table(std::uint32_t value_size, std::uint32_t capacity = 16, std::uint8_t key_size = 0)
        requires(kRemoves)
    {
        CheckKeySize(key_size);
        t_.reset(HashDelTableNew(capacity, nullptr, nullptr, nullptr, value_size, key_size));
    }

    /// @brief Loads a table saved by save(), in the state it was saved in.
    /// @param path the file
    /// @param vm   load into page mappings rather than heap blocks
    /// @return the table.
    /// @throws std::system_error (ENOENT, EINVAL for a corrupt file).
    static Table load(const std::string& path, bool vm = false)
        requires(!kRemoves)
    {
        const std::string p = detail::CString(path, "path");
        ::HashTable* t = HashTableRead(p.c_str(), nullptr, nullptr, nullptr, vm ? TRUE : FALSE);
        if (t == nullptr) detail::ThrowErrno(errno, "HashTableRead");
        return Table(t);
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
    /// @return the count.
    std::uint32_t size() const noexcept { return Ops::Size(t_.get()); }
    /// @brief Whether there are no entries.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief The number of entries accepted before the next growth.
    /// @return the capacity.
    std::uint32_t capacity() const noexcept { return Ops::Capacity(t_.get()); }
    /// @brief The size of every value area in bytes.
    /// @return the size.
    std::size_t value_size() const noexcept { return t_->t_val_len; }
    /// @brief Whether an in-place selection froze the table (a loaded file can be so): finds and inserts
    /// then throw std::logic_error until clear().
    /// @return true when frozen.
    bool frozen() const noexcept { return t_->t_selected != FALSE; }

    /// @brief The value area of key.
    /// @param key the key
    /// @return the value area; empty when absent.
    /// @throws std::length_error for a key the table cannot hold; std::logic_error on a frozen table.
    std::optional<std::span<std::byte>> find(std::string_view key) {
        CheckUsable(key);
        void* v = Ops::Find(t_.get(), key, false);
        if (v == nullptr) return std::nullopt;
        return Span(v);
    }
    /// @brief Whether key is present.
    /// @param key the key
    /// @return true when present.
    /// @throws as find().
    bool contains(std::string_view key) { return find(key).has_value(); }
    /// @brief The value area of key, added (zero-filled, growing the table as needed) when absent.
    /// @param key the key
    /// @return the value area, and whether it was added.
    /// @throws std::length_error when the data area has reached its 4 GiB limit, the capacity its largest
    ///         or the key is too long for the table; std::logic_error on a frozen table.
    std::pair<std::span<std::byte>, bool> insert(std::string_view key) {
        CheckUsable(key);
        const std::uint32_t before = size();
        for (;;) {
            if (void* v = Ops::Find(t_.get(), key, true)) return {Span(v), size() != before};
            if (Ops::OutOfCapacity(t_.get())) {
                Ops::Grow(t_.get(), 2.0f);
                if (Ops::OutOfCapacity(t_.get())) throw std::length_error("zkdict table: at its largest capacity");
            } else if (Ops::Reclaimable(t_.get())) {
                Ops::Grow(t_.get(), kCompactOnly);
            } else {
                throw std::length_error("zkdict table: data area full");
            }
        }
    }
    /// @brief Removes key, leaving a tombstone. Value spans of other entries stay valid.
    /// @param key the key
    /// @return whether it was present.
    /// @throws as find().
    bool erase(std::string_view key)
        requires(kRemoves)
    {
        CheckUsable(key);
        return HashDelTableRemove(t_.get(), detail::BytesOf(key), UInt(key.size()), nullptr) != FALSE;
    }
    /// @brief The key of an entry.
    /// @param value the entry's value area (a span from find, insert or a walk)
    /// @return a view of the key in the data area.
    std::string_view key_of(std::span<const std::byte> value) const noexcept {
        const UByte* bytes = nullptr;
        const UInt len = Ops::Key(t_.get(), value.data(), &bytes);
        return detail::ViewOf(bytes, len);
    }

    /// @brief Multiplies the capacity by factor, re-filing every entry; for HashDelTable it also compacts.
    /// @param factor above 1.0
    /// @throws std::invalid_argument for a factor not above 1.0; std::logic_error on a frozen table.
    void grow(float factor = 2.0f) {
        if (!(factor > 1.0f)) throw std::invalid_argument("zkdict table: growth factor must exceed 1");
        if (frozen()) throw std::logic_error("zkdict table: frozen by a selection");
        Ops::Grow(t_.get(), factor);
    }
    /// Removes every entry; the table is usable again even if it was frozen.
    void clear() noexcept { Ops::Clear(t_.get()); }
    /// @brief An independent deep copy.
    /// @return the copy.
    Table clone() const { return Table(Ops::Copy(t_.get())); }

    /// @brief The entries in storage order, walked with the C iterator; see TableEntries for what
    /// invalidates the range.
    /// @return the range.
    entries_range entries() { return entries_range(Ops::IteratorInit(t_.get()), value_size()); }

    /// @brief Calls f(TableEntry) for every entry in storage order through the C enumeration, until f
    /// returns false.
    /// @param f called with each entry; it may insert but not erase, grow or clear, and what it throws is
    ///          rethrown after the walk
    /// @return true when every entry was visited.
    template <class F>
    bool for_each(F&& f) {
        struct Context {
            detail::Walk<std::remove_reference_t<F>> walk;
            const T* table;
            std::size_t val_len;
        } ctx{{f}, t_.get(), value_size()};
        auto visit = [](void* val, void* arg) noexcept -> UInt {
            auto& c = *static_cast<Context*>(arg);
            const UByte* bytes = nullptr;
            const UInt len = Ops::Key(c.table, val, &bytes);
            return c.walk.Visit(TableEntry{detail::ViewOf(bytes, len), {static_cast<std::byte*>(val), c.val_len}}) ? 0 : 1;
        };
        const UInt r = Ops::Enumerate(t_.get(), visit, &ctx);
        ctx.walk.Rethrow();
        return r == 0;
    }

    /// @brief Saves the table to path as its memory image, replacing the file atomically.
    /// @param path the file
    /// @throws std::system_error (EFBIG when the format cannot hold it).
    void save(const std::string& path) const
        requires(!kRemoves)
    {
        const std::string p = detail::CString(path, "path");
        if (!HashTableWrite(t_.get(), p.c_str())) detail::ThrowErrno(errno, "HashTableWrite");
    }

    /// @brief Appends the table's byte form (tombstones, removed entries and the frozen state included) to out.
    /// @param out the bytes to append to
    void append_bytes(std::vector<std::byte>& out) const
        requires(kRemoves)
    {
        UByteArray bytes;
        ArrayInit_(&bytes);
        HashDelTableMemWrite(t_.get(), &bytes);
        const auto* first = reinterpret_cast<const std::byte*>(bytes.data);
        out.insert(out.end(), first, first + bytes.length);
        ArrayFree_(&bytes);
    }
    /// @brief The table's byte form.
    /// @return the bytes.
    std::vector<std::byte> to_bytes() const
        requires(kRemoves)
    {
        std::vector<std::byte> out;
        append_bytes(out);
        return out;
    }
    /// @brief Replaces the content with the byte form at offset of bytes, and moves offset past it.
    /// @param bytes          the bytes holding the form
    /// @param[in,out] offset where the form starts; moved past it
    /// @throws std::system_error (EINVAL) for a short or inconsistent form, the table and offset then
    ///         unchanged; std::out_of_range for an offset past the bytes.
    void read_bytes(std::span<const std::byte> bytes, std::size_t& offset)
        requires(kRemoves)
    {
        if (offset > bytes.size()) throw std::out_of_range("HashDelTable::read_bytes: offset past the bytes");
        // The reader takes writable pointers but writes nothing through them.
        auto* base = reinterpret_cast<UByte*>(const_cast<std::byte*>(bytes.data()));
        UByte* from = base + offset;
        if (!HashDelTableMemRead(t_.get(), &from, base + bytes.size())) {
            throw std::system_error(EINVAL, std::generic_category(), "HashDelTableMemRead");
        }
        offset = std::size_t(from - base);
    }

private:
    // Just above 1: a growth that only compacts, for a data area full of removed entries.
    static constexpr float kCompactOnly = 1.00001f;

    explicit Table(T* t) noexcept : t_(t) {}

    static void CheckKeySize(std::uint8_t key_size) {
        if (key_size > 4) throw std::invalid_argument("zkdict table: key_size above 4");
    }
    // The checks the C lookups would make with an assertion.
    void CheckUsable(std::string_view key) const {
        if (frozen()) throw std::logic_error("zkdict table: frozen by a selection");
        const unsigned ks = t_->t_key_size;
        const std::uint64_t limit = ks == 0 || ks >= 4 ? std::uint64_t{1} << 32 : std::uint64_t{1} << (8 * ks);
        if (key.size() >= limit) throw std::length_error("zkdict table: key too long for the table's key_size");
    }
    std::span<std::byte> Span(void* v) const noexcept { return {static_cast<std::byte*>(v), value_size()}; }

    std::unique_ptr<T, detail::CDeleter<Ops::Free>> t_;
};

/// The growable hash table without removal (dict/hashtable.h).
using HashTable = Table<::HashTable>;
/// The hash table that also removes keys (dict/hashdeltable.h).
using HashDelTable = Table<::HashDelTable>;

// =====================================================================================================
// IdMap and RefMap
// =====================================================================================================

/// A map from integers to integers: IdMap (32 bits) or RefMap (64 bits), dict/idmap.h. One value,
/// `sentinel`, can be neither key nor value. Positions (entry(), the iterators) follow insertion
/// order until the map grows; an insertion of a new key or a clear invalidates iterators.
template <class M>
class IntMap {
    using Ops = detail::MapOps<M>;

public:
    using key_type = typename Ops::Int;                ///< the key type
    using mapped_type = typename Ops::Int;             ///< the value type
    using value_type = std::pair<key_type, mapped_type>; ///< an entry
    /// The marker of empty slots, refused as key and as value.
    static constexpr key_type sentinel = Ops::kSentinel;

    /// A forward iterator over the entries by position.
    class iterator {
    public:
        using value_type = IntMap::value_type; ///< what dereferencing gives, by value
        using difference_type = std::ptrdiff_t; ///< required of iterators; positions are not subtracted
        using iterator_concept = std::forward_iterator_tag; ///< the C++20 strength of the iterator
        using iterator_category = std::input_iterator_tag; ///< legacy algorithms see an input iterator, since dereferencing gives a value

        /// A singular iterator.
        iterator() noexcept = default;
        /// @brief The entry at this position.
        /// @return the key and value.
        value_type operator*() const noexcept {
            value_type e;
            Ops::Get(m_, n_, &e.first, &e.second);
            return e;
        }
        /// @brief Steps to the next position.
        /// @return this iterator.
        iterator& operator++() noexcept {
            ++n_;
            return *this;
        }
        /// @brief Steps to the next position.
        /// @return the iterator before the step.
        iterator operator++(int) noexcept {
            iterator c = *this;
            ++n_;
            return c;
        }
        /// Same position of the same map.
        friend bool operator==(const iterator&, const iterator&) noexcept = default;

    private:
        friend class IntMap;
        iterator(const M* m, UInt n) noexcept : m_(m), n_(n) {}
        const M* m_ = nullptr;
        UInt n_ = 0;
    };

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
    std::uint32_t size() const noexcept { return Ops::Size(m_.get()); }
    /// @brief Whether there are no entries.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief The value of key.
    /// @param key the key
    /// @return the value; empty when absent (the sentinel is never present).
    std::optional<mapped_type> find(key_type key) {
        if (key == sentinel) return std::nullopt;
        const mapped_type v = Ops::Find(m_.get(), key, sentinel, sentinel, nullptr);
        if (v == sentinel) return std::nullopt;
        return v;
    }
    /// @brief Whether key is present.
    /// @param key the key
    /// @return true when present.
    bool contains(key_type key) { return find(key).has_value(); }
    /// @brief Adds key with value unless present.
    /// @param key   the key
    /// @param value its value
    /// @return the value now stored and whether it was added.
    /// @throws std::invalid_argument for the sentinel as key or value.
    std::pair<mapped_type, bool> insert(key_type key, mapped_type value) {
        Check(key, value);
        Boolean added = FALSE;
        const mapped_type v = Ops::Find(m_.get(), key, value, sentinel, &added);
        return {v, added != FALSE};
    }
    /// @brief Stores value under key, added or replaced.
    /// @param key   the key
    /// @param value its value
    /// @return whether it was added.
    /// @throws std::invalid_argument for the sentinel as key or value.
    bool insert_or_assign(key_type key, mapped_type value) {
        Check(key, value);
        Boolean added = FALSE;
        Ops::Find(m_.get(), key, value, value, &added);
        return added != FALSE;
    }
    /// @brief The entry at position n.
    /// @param n the position
    /// @return the key and value.
    /// @throws std::out_of_range unless n < size().
    value_type entry(std::uint32_t n) const {
        if (n >= size()) throw std::out_of_range("zkdict map: position past the entries");
        return *iterator(m_.get(), n);
    }
    /// Removes every entry, in time proportional to them; the capacity stays.
    void clear() noexcept { Ops::Clear(m_.get()); }

    /// @brief The entry at position 0.
    /// @return the iterator.
    iterator begin() const noexcept { return iterator(m_.get(), 0); }
    /// @brief Past the last position.
    /// @return the iterator.
    iterator end() const noexcept { return iterator(m_.get(), size()); }

private:
    static void Check(key_type key, mapped_type value) {
        if (key == sentinel || value == sentinel) throw std::invalid_argument("zkdict map: the sentinel is no key or value");
    }
    std::unique_ptr<M, detail::CDeleter<Ops::Delete>> m_;
};

/// 32-bit keys and values; NOID is the sentinel.
using IdMap = IntMap<::IdMap>;
/// 64-bit keys and values; NOREF is the sentinel.
using RefMap = IntMap<::RefMap>;

// =====================================================================================================
// RBDict, AVLDict, AVLLDict
// =====================================================================================================

/// Which way nearest() rounds a key that is not stored.
enum class Round {
    down = -1,   ///< the largest stored key below
    closest = 0, ///< the closer of the two neighbours, the larger on a tie
    up = 1,      ///< the smallest stored key above
};

/// Which way for_each() walks a tree.
enum class Order { ascending, descending };

/// An ordered map of unsigned integers: RBDict (32 bits, red-black), AVLDict (32 bits) or AVLLDict
/// (64 bits), dict/rbdict.h, dict/avldict.h, dict/avlldict.h. Every call, lookups included, needs
/// exclusive use of the tree (lookups write its sentinel node).
///
/// Iteration reads the public node layout (node 1's right link is the root; links are bits 0-30 of
/// the link words) with an explicit stack, writing nothing. An iterator stays valid across lookups
/// and writes through value_ptr(); any insert_or_assign (red-black insertion rebalances on the way
/// down even for a present key), erase or clear invalidates every iterator: the array may move, nodes
/// are rotated and recycled.
template <class D>
class Tree {
    using Ops = detail::TreeOps<D>;
    using Node = std::remove_pointer_t<decltype(D::d_nodes)>;

public:
    using key_type = typename Ops::Key;                    ///< the key type
    using mapped_type = typename Ops::Value;               ///< the value type
    using value_type = std::pair<key_type, mapped_type>;   ///< an entry

    /// A forward iterator over the entries in increasing key order.
    class iterator {
    public:
        using value_type = Tree::value_type; ///< what dereferencing gives, by value
        using difference_type = std::ptrdiff_t; ///< required of iterators; positions are not subtracted
        using iterator_concept = std::forward_iterator_tag; ///< the C++20 strength of the iterator
        using iterator_category = std::input_iterator_tag; ///< legacy algorithms see an input iterator, since dereferencing gives a value

        /// A singular iterator, equal to end().
        iterator() noexcept = default;
        /// @brief The current entry.
        /// @return the key and value.
        value_type operator*() const noexcept {
            const Node& n = d_->d_nodes[stack_[depth_ - 1]];
            return {n.n_key, n.n_value};
        }
        /// @brief Steps to the next key.
        /// @return this iterator.
        iterator& operator++() noexcept {
            const UInt x = stack_[--depth_];
            PushLeftSpine(d_->d_nodes[x].n_right & kLinkMask);
            return *this;
        }
        /// @brief Steps to the next key.
        /// @return the iterator before the step.
        iterator operator++(int) noexcept {
            iterator c = *this;
            ++*this;
            return c;
        }
        /// @brief The same position; all end iterators are equal.
        /// @param a one iterator
        /// @param b the other
        /// @return true when both stand at the same position.
        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            return a.depth_ == b.depth_ && (a.depth_ == 0 || a.stack_[a.depth_ - 1] == b.stack_[b.depth_ - 1]);
        }

    private:
        friend class Tree;
        // Bit 31 of a link word is a colour or a balance flag, never part of the index.
        static constexpr UInt kLinkMask = 0x7FFFFFFFu;
        static constexpr UInt kRoot = 1;  // the head node, whose right link names the root
        // No tree the node array can hold is taller: an AVL tree of 2^31 keys is at most 45 levels,
        // a red-black one 61.
        static constexpr unsigned kMaxDepth = 64;

        explicit iterator(const D* d) noexcept : d_(d) {}
        UInt Root() const noexcept { return d_->d_nodes[kRoot].n_right & kLinkMask; }
        void Push(UInt x) noexcept {
            ZK_ASSERT(depth_ < kMaxDepth);
            stack_[depth_++] = x;
        }
        void PushLeftSpine(UInt x) noexcept {
            for (; x != 0; x = d_->d_nodes[x].n_left & kLinkMask) Push(x);
        }
        // The stack of the walk that arrives at the first key not below key: the nodes where the
        // descent turned left are exactly the ones still to be visited after it.
        void SeekLowerBound(key_type key) noexcept {
            for (UInt x = Root(); x != 0;) {
                const Node& n = d_->d_nodes[x];
                if (n.n_key < key) {
                    x = n.n_right & kLinkMask;
                } else {
                    Push(x);
                    if (n.n_key == key) return;
                    x = n.n_left & kLinkMask;
                }
            }
        }

        const D* d_ = nullptr;
        std::array<UInt, kMaxDepth> stack_{};
        unsigned depth_ = 0;
    };
    using const_iterator = iterator; ///< the entries cannot be changed through an iterator

    /// @brief A new empty tree.
    /// @param capacity nodes to make room for before its array first grows (at least 1024 are)
    explicit Tree(std::uint32_t capacity = 0) : d_(Ops::New(capacity)) {}

    /// @brief The C dictionary, still owned by this object.
    /// @return the dictionary; NULL when moved from.
    D* get() const noexcept { return d_.get(); }
    /// @brief Whether a tree is held.
    /// @return true when one is.
    explicit operator bool() const noexcept { return d_ != nullptr; }

    /// @brief The number of keys.
    /// @return the count.
    std::uint32_t size() const noexcept { return Ops::Size(d_.get()); }
    /// @brief Whether there are no keys.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }

    /// @brief The value stored under key.
    /// @param key the key
    /// @return the value; empty when absent.
    std::optional<mapped_type> find(key_type key) noexcept {
        if constexpr (Ops::kValuePointers) {
            if (const mapped_type* v = Ops::ValueGet(d_.get(), key)) return *v;
            return std::nullopt;
        } else {
            // The C lookup answers a marker of ours for absence; a second marker tells a stored
            // value equal to the first from no value at all.
            const mapped_type v = Ops::Find(d_.get(), key, 0);
            if (v != 0 || Ops::Find(d_.get(), key, 1) == 0) return v;
            return std::nullopt;
        }
    }
    /// @brief Whether key is stored.
    /// @param key the key
    /// @return true when stored.
    bool contains(key_type key) noexcept { return find(key).has_value(); }
    /// @brief The address of key's value, for updates in place.
    /// @param key the key
    /// @return the address, valid until the next insertion of a new key, erase or clear; nullptr when absent.
    mapped_type* value_ptr(key_type key) noexcept
        requires(Ops::kValuePointers)
    {
        return Ops::ValueGet(d_.get(), key);
    }
    /// @brief Stores value under key.
    /// @param key   the key
    /// @param value the value
    /// @return the value it replaced; empty when key was added.
    std::optional<mapped_type> insert_or_assign(key_type key, mapped_type value) {
        const std::uint32_t before = size();
        const mapped_type previous = Ops::Insert(d_.get(), key, value, 0);
        if (size() != before) return std::nullopt;
        return previous;
    }
    /// @brief Removes key.
    /// @param key the key
    /// @return its value; empty when it was absent.
    std::optional<mapped_type> erase(key_type key) noexcept {
        const std::uint32_t before = size();
        const mapped_type v = Ops::Remove(d_.get(), key, 0);
        if (size() == before) return std::nullopt;
        return v;
    }
    /// Removes every key; the node array keeps its size.
    void clear() noexcept { Ops::Clear(d_.get()); }

    /// @brief key itself when stored, else its neighbour rounded as asked.
    /// @param key   the key sought
    /// @param round which neighbour
    /// @return the key found with its value; empty when there is no such key.
    std::optional<value_type> nearest(key_type key, Round round) noexcept
        requires(std::is_same_v<D, ::AVLDict>)
    {
        AVLDictValue* v = nullptr;
        const key_type k = ZKAVLDictFindNearest(d_.get(), key, int(round), &v);
        if (v == nullptr) return std::nullopt;
        return value_type{k, *v};
    }
    /// @brief key itself when stored, else its neighbour rounded as asked. Unlike the C call, a stored key
    /// 0 is an answer like any other.
    /// @param key   the key sought
    /// @param round which neighbour
    /// @return the key found with its value; empty when there is no such key.
    std::optional<value_type> nearest(key_type key, Round round) noexcept
        requires(std::is_same_v<D, ::AVLLDict>)
    {
        ::AVLLDict* d = d_.get();
        if (const mapped_type* v = ZKAVLLDictValueGet(d, key)) return value_type{key, *v};
        // The C call answers 0 for "none", so it is asked for each side separately and a 0 below
        // is taken for the key 0 whenever that key is stored.
        std::optional<value_type> below, above;
        if (const key_type k = ZKAVLLDictFindNearest(d, key, -1); k != 0) {
            below = value_type{k, *ZKAVLLDictValueGet(d, k)};
        } else if (const mapped_type* zero = ZKAVLLDictValueGet(d, 0)) {
            below = value_type{0, *zero};
        }
        if (const key_type k = ZKAVLLDictFindNearest(d, key, 1); k != 0) above = value_type{k, *ZKAVLLDictValueGet(d, k)};
        if (round == Round::down || !above) return round == Round::up ? std::nullopt : below;
        if (round == Round::up || !below) return above;
        return key - below->first >= above->first - key ? above : below;
    }

    /// @brief The first entry in key order.
    /// @return the iterator.
    iterator begin() const noexcept {
        iterator it(d_.get());
        it.PushLeftSpine(it.Root());
        return it;
    }
    /// @brief Past the last entry.
    /// @return the iterator.
    iterator end() const noexcept { return iterator(d_.get()); }
    /// @brief The first entry whose key is not below key.
    /// @param key the bound
    /// @return the iterator; end() when every key is below.
    iterator lower_bound(key_type key) const noexcept {
        iterator it(d_.get());
        it.SeekLowerBound(key);
        return it;
    }

    /// @brief Calls f(key, value) for every entry in order through the C enumeration, until f returns false.
    /// @param f     called with each key and value; it must not insert or erase, and what it throws is
    ///              rethrown after the walk
    /// @param order ascending or descending keys
    /// @return true when all were visited.
    template <class F>
    bool for_each(F&& f, Order order = Order::ascending) {
        detail::Walk<std::remove_reference_t<F>> walk{f};
        auto visit = [](D*, key_type k, mapped_type v, void* arg) noexcept -> Boolean {
            return static_cast<detail::Walk<std::remove_reference_t<F>>*>(arg)->Visit(k, v) ? TRUE : FALSE;
        };
        const Boolean all = Ops::Enumerate(d_.get(), order == Order::descending, visit, &walk);
        walk.Rethrow();
        return all != FALSE;
    }

private:
    std::unique_ptr<D, detail::CDeleter<Ops::Delete>> d_;
};

/// 32-bit keys and values in a red-black tree.
using RBDict = Tree<::RBDict>;
/// 32-bit keys and values in an AVL tree.
using AVLDict = Tree<::AVLDict>;
/// 64-bit keys and values in an AVL tree.
using AVLLDict = Tree<::AVLLDict>;

// =====================================================================================================
// AttrDict
// =====================================================================================================

/// Builds an attribute dictionary, the pair dir/name.dat and dir/name.idx (dict/attrdict.h). Nothing
/// is visible under the final names until commit(); destroying an uncommitted writer abandons the
/// build, removing its temporary files and leaving any previous pair as it was.
class AttrDictWriter {
public:
    /// An empty handle, holding no build.
    AttrDictWriter() noexcept = default;
    /// @brief Starts the pair name in dir.
    /// @param dir  the directory
    /// @param name the dictionary's name
    /// @param swap writes the index for a host of the other byte order
    /// @throws std::system_error (ENOENT, ENAMETOOLONG, ...); std::invalid_argument for a name holding a NUL byte.
    AttrDictWriter(const std::string& dir, const std::string& name, bool swap = false) {
        const std::string d = detail::CString(dir, "dir"), n = detail::CString(name, "name");
        a_.reset(AttrDictBuild(d.c_str(), n.c_str(), swap ? TRUE : FALSE));
        if (!a_) detail::ThrowErrno(errno, "AttrDictBuild");
    }

    /// @brief The C handle, still owned by this object.
    /// @return the handle; NULL when empty or committed.
    ::AttrDict* get() const noexcept { return a_.get(); }
    /// @brief Whether a build is in progress.
    /// @return true when one is.
    explicit operator bool() const noexcept { return a_ != nullptr; }

    /// @brief The number of strings added.
    /// @return the count.
    std::uint32_t size() const noexcept { return AttrDictSize(a_.get()); }
    /// @brief Appends a string of at most 255 bytes.
    /// @param s the string
    /// @return its identifier.
    /// @throws std::length_error for a longer one, or when the data file would pass 4 GiB (commit() then
    ///         fails with EFBIG).
    Id add(std::string_view s) {
        if (s.size() > 255) throw std::length_error("AttrDictWriter::add: string longer than 255 bytes");
        const Id id = size();
        AttrDictAdd(a_.get(), detail::BytesOf(s), UByte(s.size()));
        if (size() == id) throw std::length_error("AttrDictWriter::add: data file would pass 4 GiB");
        return id;
    }
    /// @brief Syncs both files and renames them into place. The writer is empty afterwards either way.
    /// @throws std::system_error with the first failure; std::logic_error when no build is in progress.
    void commit() {
        if (!a_) throw std::logic_error("AttrDictWriter::commit: no build in progress");
        if (!AttrDictCommit(a_.release())) detail::ThrowErrno(errno, "AttrDictCommit");
    }
    /// Drops the build without touching the final names.
    void abandon() noexcept { a_.reset(); }

private:
    // The C API commits or nothing. An add that the 4 GiB limit refuses makes the commit fail, and a
    // failed commit removes both temporaries and leaves the old pair alone: that is the abandon.
    static void Abandon(::AttrDict* a) noexcept {
        const int err = errno;
        a->a_offset = 0xFFFFFFFFu;
        AttrDictAdd(a, detail::BytesOf({}), 0);
        AttrDictCommit(a);
        errno = err;
    }
    std::unique_ptr<::AttrDict, detail::CDeleter<Abandon>> a_;
};

/// Reads an attribute dictionary from its mapped pair, without copying (dict/attrdict.h). The
/// strings point into the mapped data file: valid until close() or destruction. Any number of
/// threads may read one reader at once.
class AttrDictReader {
public:
    using value_type = std::pair<Id, std::string_view>; ///< an identifier and its string

    /// A forward iterator over (identifier, string) in identifier order; dereferencing a string that lies outside the data file (a corrupt pair) throws std::system_error (EINVAL).
    class iterator {
    public:
        using value_type = AttrDictReader::value_type; ///< what dereferencing gives, by value
        using difference_type = std::ptrdiff_t; ///< required of iterators; positions are not subtracted
        using iterator_concept = std::forward_iterator_tag; ///< the C++20 strength of the iterator
        using iterator_category = std::input_iterator_tag; ///< legacy algorithms see an input iterator, since dereferencing gives a value

        /// A singular iterator.
        iterator() noexcept = default;
        /// @brief The current identifier and string.
        /// @return the pair.
        /// @throws std::system_error (EINVAL) for a string outside the data file.
        value_type operator*() const { return {id_, Get(a_, id_)}; }
        /// @brief Steps to the next identifier.
        /// @return this iterator.
        iterator& operator++() noexcept {
            ++id_;
            return *this;
        }
        /// @brief Steps to the next identifier.
        /// @return the iterator before the step.
        iterator operator++(int) noexcept {
            iterator c = *this;
            ++id_;
            return c;
        }
        /// The same identifier of the same reader.
        friend bool operator==(const iterator&, const iterator&) noexcept = default;

    private:
        friend class AttrDictReader;
        iterator(const ::AttrDict* a, Id id) noexcept : a_(a), id_(id) {}
        const ::AttrDict* a_ = nullptr;
        Id id_ = 0;
    };

    /// An empty handle, holding no pair.
    AttrDictReader() noexcept = default;
    /// @brief Opens and checks the pair name in dir.
    /// @param dir  the directory
    /// @param name the dictionary's name
    /// @throws std::system_error (ENOENT, EINVAL for a pair that does not check out, ...);
    ///         std::invalid_argument for a name holding a NUL byte.
    AttrDictReader(const std::string& dir, const std::string& name) {
        const std::string d = detail::CString(dir, "dir"), n = detail::CString(name, "name");
        a_.reset(AttrDictOpen(d.c_str(), n.c_str()));
        if (!a_) detail::ThrowErrno(errno, "AttrDictOpen");
    }

    /// @brief The C handle, still owned by this object.
    /// @return the handle; NULL when empty.
    ::AttrDict* get() const noexcept { return a_.get(); }
    /// @brief Whether a pair is open.
    /// @return true when one is.
    explicit operator bool() const noexcept { return a_ != nullptr; }

    /// @brief The number of strings.
    /// @return the count.
    std::uint32_t size() const noexcept { return AttrDictSize(a_.get()); }
    /// @brief Whether there are no strings.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief String id.
    /// @param id the identifier
    /// @return a view into the mapped data file; empty when id is not below size().
    /// @throws std::system_error (EINVAL) for a string outside the data file.
    std::optional<std::string_view> get(Id id) const {
        if (id >= size()) return std::nullopt;
        return Get(a_.get(), id);
    }

    /// @brief Identifier 0.
    /// @return the iterator.
    iterator begin() const noexcept { return iterator(a_.get(), 0); }
    /// @brief Past the last identifier.
    /// @return the iterator.
    iterator end() const noexcept { return iterator(a_.get(), size()); }

    /// @brief Calls f(id, string) from identifier start on through the C enumeration, until f returns false.
    /// @param f     called with each identifier and string; what it throws is rethrown after the walk
    /// @param start the first identifier
    /// @return true when every string was visited (also when start is not below size()).
    /// @throws std::system_error (EINVAL) when the walk meets a string outside the data file.
    template <class F>
    bool for_each(F&& f, Id start = 0) const {
        if (start >= size()) return true;
        struct Context {
            detail::Walk<std::remove_reference_t<F>> walk;
            Id id;
        } ctx{{f}, start};
        auto visit = [](UByte* bytes, UInt len, void* arg) noexcept -> UInt {
            auto& c = *static_cast<Context*>(arg);
            return c.walk.Visit(c.id++, detail::ViewOf(bytes, len)) ? 0 : 1;
        };
        const UInt r = AttrDictEnumerate(a_.get(), start, visit, &ctx);
        ctx.walk.Rethrow();
        // The C walk returns 0 both at the end and at a corrupt string; only the count tells.
        if (r == 0 && ctx.id != size()) throw std::system_error(EINVAL, std::generic_category(), "AttrDictEnumerate");
        return r == 0;
    }

    /// @brief Unmaps both files now.
    /// @throws std::system_error when an unmap failed (the reader is empty either way).
    void close() {
        if (!a_) return;
        if (!AttrDictClose(a_.release())) detail::ThrowErrno(errno, "AttrDictClose");
    }

private:
    static std::string_view Get(const ::AttrDict* a, Id id) {
        const UByte* bytes = nullptr;
        const UByte len = AttrDictGet(a, id, &bytes);
        // The C call leaves the pointer alone only for a string it cannot place inside the data.
        if (bytes == nullptr) throw std::system_error(EINVAL, std::generic_category(), "AttrDictGet");
        return detail::ViewOf(bytes, len);
    }
    std::unique_ptr<::AttrDict, detail::CDeleter<AttrDictClose>> a_;
};

// =====================================================================================================
// Cache
// =====================================================================================================

/// A bounded memory cache of byte values under string keys with a collector thread (dict/zkcache.h).
/// store(), get() and stats() may run from any number of threads at once; construction, destruction
/// and moves need exclusive use. A stored value may be dropped at any time and a store refused: a
/// cache is a cache. Reads copy; nothing returned points into the cache.
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
        std::uint32_t objects = 0; ///< stored blocks, replaced ones included until collected
        std::uint64_t bytes = 0;   ///< their key, NUL and value bytes
    };
    /// An expiry time that is never reached.
    static constexpr std::uint64_t never = ZK_CACHE_NEVER_EXPIRES;

    /// An empty handle, holding no cache.
    Cache() noexcept = default;
    /// @brief A cache of size bytes with the default layout.
    /// @param size bytes to map in all
    /// @throws std::system_error when mapping fails.
    explicit Cache(std::uint64_t size) : Cache(size, Params{}) {}
    /// @brief A cache of size bytes in regions of params.region_pages pages.
    /// @param size   bytes to map in all
    /// @param params the layout and collector thresholds
    /// @throws std::invalid_argument for parameters that cannot work; std::system_error (ENOMEM) for more
    ///         memory than the machine has, or when mapping fails.
    Cache(std::uint64_t size, const Params& params) {
        errno = 0;
        c_.reset(ZKCacheNewWithParams(params.region_pages, params.page_size, params.safety_percent, params.gc_low_percent,
                                      params.gc_high_percent, params.generation_ms, size));
        if (!c_) {
            if (errno == EINVAL) throw std::invalid_argument("Cache: parameters that cannot work");
            detail::ThrowErrno(errno, "ZKCacheNewWithParams");
        }
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

    /// @brief Stores value under key until the absolute time expires.
    /// @param key     the key
    /// @param value   the bytes
    /// @param expires the absolute expiry, ms on the wall clock; never for none
    /// @return true when stored; false when refused (no room, too large for a page).
    /// @throws std::invalid_argument for a key holding a NUL byte.
    bool store(std::string_view key, std::span<const std::byte> value, std::uint64_t expires = never) {
        const std::string k = detail::CString(key, "Cache key");
        if (value.size() > 0xFFFFFFFFu) return false;  // larger than any page
        return ZKCacheStore(c_.get(), detail::BytesOf(k), reinterpret_cast<const UByte*>(value.data()), UInt(value.size()),
                            expires) != FALSE;
    }
    /// @brief Stores the bytes of a string under key until the absolute time expires.
    /// @param key     the key
    /// @param value   the bytes
    /// @param expires the absolute expiry, ms on the wall clock; never for none
    /// @return true when stored; false when refused.
    /// @throws std::invalid_argument for a key holding a NUL byte.
    bool store(std::string_view key, std::string_view value, std::uint64_t expires = never) {
        return store(key, std::as_bytes(std::span(value.data(), value.size())), expires);
    }
    /// @brief A copy of the value under key.
    /// @param key the key
    /// @return the value; empty when absent or expired.
    /// @throws std::invalid_argument for a key holding a NUL byte.
    std::optional<std::string> get(std::string_view key) {
        const std::string k = detail::CString(key, "Cache key");
        std::string out(64, '\0');
        for (;;) {
            UInt got = 0;
            if (ZKCacheGetStatic(c_.get(), detail::BytesOf(k), out.data(), UInt(out.size()), &got)) {
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
    /// @throws std::invalid_argument for a key holding a NUL byte.
    std::optional<std::size_t> get(std::string_view key, std::span<std::byte> buffer) {
        const std::string k = detail::CString(key, "Cache key");
        const UInt room = buffer.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : UInt(buffer.size());
        std::byte none{};  // an empty span may have no address, and the copy needs one
        UInt got = 0;
        const Boolean found = ZKCacheGetStatic(c_.get(), detail::BytesOf(k), buffer.data() != nullptr ? buffer.data() : &none,
                                               room, &got);
        // Absence is the one refusal that reports size 0: an empty value always fits.
        if (!found && got == 0) return std::nullopt;
        return std::size_t(got);
    }
    /// @brief Bytes mapped, blocks stored and their bytes.
    /// @return the figures.
    Stats stats() noexcept {
        Stats s;
        s.mapped = ZKCacheGetSize(c_.get(), &s.objects, &s.bytes);
        return s;
    }

private:
    std::unique_ptr<::Cache, detail::CDeleter<ZKCacheDelete>> c_;
};

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_ZKDICT_HPP
