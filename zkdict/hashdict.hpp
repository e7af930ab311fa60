/**
 * @file zkdict/hashdict.hpp
 * @brief zkdict::HashDict, the static dictionary of a fixed key list over a minimal perfect hash
 * function (dict/hashdict.h).
 *
 * @code
 * std::vector<std::string> words = {"apple", "banana", "cherry"};
 * auto dict = zkdict::HashDict::build(words, {.check_bytes = 2});
 * if (auto id = dict.find("banana")) std::cout << words[*id] << '\n';  // *id == 1
 * dict.save("", "fruit");                                               // fruit.dic, atomically
 * auto again = zkdict::HashDict::open("", "fruit");                      // mapped in place
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_HASHDICT_HPP
#define ZKDICT_ZKDICT_HASHDICT_HPP

#include <bit>

#include "zkdict/channel.hpp"
#include "zkdict/detail/common.hpp"

namespace zkdict {

namespace detail {

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

// Keys the build reads by index where the caller holds them (a vector of strings, an array of
// views), so that a build of millions of keys copies nothing; other ranges are collected first.
template <class R>
inline constexpr bool kIndexable = std::ranges::random_access_range<R> && std::ranges::sized_range<R> && kViewsOutliveWalk<R>;

template <class R>
struct IndexedKeys {
    R* range;
    std::size_t size() const { return std::size_t(std::ranges::size(*range)); }
    std::string_view operator[](std::size_t i) const { return std::string_view(std::ranges::begin(*range)[i]); }
};

// Calls build(keys) with the keys indexable in place, or collected when they cannot be.
template <class R, class Build>
decltype(auto) WithIndexedKeys(R&& keys, Build&& build) {
    if constexpr (kIndexable<R>) {
        return build(IndexedKeys<std::remove_reference_t<R>>{&keys});
    } else {
        KeyList list = CollectKeys(std::forward<R>(keys));
        return build(IndexedKeys<std::vector<std::string_view>>{&list.views});
    }
}

}  // namespace detail

/// @brief A static dictionary built once from a fixed key list. Move-only. A default-constructed or
/// moved-from dictionary is empty: size() is 0 and find() finds nothing; saving or writing it throws
/// std::logic_error. Any number of threads may read one dictionary at once.
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

    /// The file suffix the C calls use when given none: "dic".
    static constexpr std::string_view default_suffix = detail::kDictSuffix;

    /// An empty handle, holding no dictionary.
    HashDict() noexcept = default;
    /// @brief Takes over other's dictionary, leaving other empty.
    /// @param other the dictionary moved from
    HashDict(HashDict&& other) noexcept : d_(std::move(other.d_)), size_(std::exchange(other.size_, 0)) {}
    /// @brief Releases what this held and takes over other's dictionary, leaving other empty.
    /// @param other the dictionary moved from
    /// @return this dictionary.
    HashDict& operator=(HashDict&& other) noexcept {
        d_ = std::move(other.d_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    /// @brief Builds the dictionary of keys, each found at its position.
    /// @param keys    the distinct keys; lookups return each one's position in the range
    /// @param options check bytes and progress reports
    /// @return the dictionary.
    /// @throws zkdict::duplicate_key naming a key listed twice and both its positions; zkdict::error
    ///         (invalid_argument) for more than 8 check bytes, (value_too_large) for a key over 65535
    ///         bytes or more keys than a dictionary holds, or the errno of a failed build.
    template <KeyRange R>
    static HashDict build(R&& keys, BuildOptions options) {
        if (options.check_bytes > 8) detail::Refuse(std::errc::invalid_argument, "HashDict::build: at most 8 check bytes");
        return detail::WithIndexedKeys(std::forward<R>(keys), [&](auto indexed) {
            CheckKeys(indexed);
            HashDictBuildError error;
            ::HashDict* d = HashDictTryBuild(Id(indexed.size()), &indexed, KeyAt<decltype(indexed)>, nullptr, 0,
                                             UByte(options.check_bytes), detail::Flag(options.verbose), &error);
            return Built(d, error, indexed);
        });
    }

    /// @brief Builds the dictionary of keys without check bytes, each found at its position.
    /// @param keys the distinct keys
    /// @return the dictionary.
    /// @throws as build(R&&, BuildOptions).
    template <KeyRange R>
    static HashDict build(R&& keys) {
        return build(std::forward<R>(keys), BuildOptions{});
    }

    /// @brief Builds the dictionary of keys that finds each at value_of(index, key) or value_of(key);
    /// read it with find_value().
    ///
    /// The values are all taken before the C build starts, so whatever value_of throws propagates
    /// from here unchanged.
    /// @param keys     the distinct keys
    /// @param value_of gives each key's value, called as value_of(index, key) or value_of(key)
    /// @param nbits    the width of the values, at most 32; 0 picks the narrowest width that holds
    ///                 every value
    /// @param verbose  report progress through zklib's message service
    /// @return the dictionary.
    /// @throws zkdict::error (result_out_of_range) for a value that does not fit nbits, (invalid_argument)
    ///         for HASHDICT_NOT_FOUND as a value (lookups could not tell it from absence) or nbits above
    ///         32; zkdict::duplicate_key and the rest as build().
    template <KeyRange R, class F>
        requires(std::is_invocable_r_v<Id, F&, Id, std::string_view> || std::is_invocable_r_v<Id, F&, std::string_view>)
    static HashDict build_with_values(R&& keys, F&& value_of, unsigned nbits = 0, bool verbose = false) {
        if (nbits > 32) detail::Refuse(std::errc::invalid_argument, "HashDict::build_with_values: at most 32 bits");
        return detail::WithIndexedKeys(std::forward<R>(keys), [&](auto indexed) {
            CheckKeys(indexed);
            std::vector<Id> values;
            values.reserve(indexed.size());
            Id largest = 0;
            for (std::size_t i = 0; i < indexed.size(); ++i) {
                Id v;
                if constexpr (std::is_invocable_r_v<Id, F&, Id, std::string_view>) {
                    v = std::invoke(value_of, Id(i), indexed[i]);
                } else {
                    v = std::invoke(value_of, indexed[i]);
                }
                if (v == detail::kDictNotFound) {
                    detail::Refuse(std::errc::invalid_argument, "HashDict::build_with_values: value HASHDICT_NOT_FOUND for key \"" +
                                                                    std::string(indexed[i]) + "\"");
                }
                if (nbits != 0 && nbits < 32 && v >> nbits != 0) {
                    detail::Refuse(std::errc::result_out_of_range,
                                   "HashDict::build_with_values: value of key \"" + std::string(indexed[i]) + "\" wider than nbits");
                }
                largest = v > largest ? v : largest;
                values.push_back(v);
            }
            const unsigned width = nbits != 0 ? nbits : largest == 0 ? 1 : unsigned(std::bit_width(largest));
            Valued<decltype(indexed)> build{&indexed, &values};
            HashDictBuildError error;
            ::HashDict* d = HashDictTryBuild(Id(values.size()), &build, ValuedKeyAt<decltype(indexed)>,
                                             ValuedValueAt<decltype(indexed)>, UByte(width), 0, detail::Flag(verbose), &error);
            return Built(d, error, indexed);
        });
    }

    /// @brief Maps dir/name.suffix read-only and opens it in place.
    /// @param dir    the directory; empty: the current directory
    /// @param name   the file name without suffix
    /// @param suffix the suffix
    /// @return the dictionary, valid until close() or destruction.
    /// @throws zkdict::file_error naming the file (ENOENT, EINVAL for an unsound image, ...);
    ///         zkdict::error (invalid_argument) for a name holding a NUL byte.
    static HashDict open(const std::string& dir, const std::string& name, std::string_view suffix = default_suffix) {
        const std::string dr = detail::CString(dir, "HashDict::open: dir"), n = detail::CString(name, "HashDict::open: name"),
                          s = detail::CString(suffix, "HashDict::open: suffix");
        ::HashDict* d = HashDictOpen(dr.c_str(), n.c_str(), s.c_str());
        if (d == nullptr) detail::ThrowFile(errno, "HashDictOpen", detail::JoinPath(dir, name, suffix));
        return HashDict(d, Source::file);
    }

    /// @brief Reads one length-prefixed image from the channel into memory of its own.
    /// @param channel a channel open for reading
    /// @return the dictionary.
    /// @throws zkdict::error (EINVAL for a short or unsound image); std::logic_error on an empty channel.
    static HashDict read(Channel& channel) {
        ::HashDict* d = nullptr;
        if (!HashDictFileRead(&d, detail::Need(channel.get(), "HashDict::read"))) detail::ThrowErrno(errno, "HashDictFileRead");
        return HashDict(d, Source::stream);
    }

    /// @brief Opens the image at offset of a memory image in place and moves offset past it.
    /// @param image          the memory image, 8-byte aligned; the bytes must outlive the result
    /// @param[in,out] offset where the padding before the image starts; advanced past the image
    /// @return the dictionary.
    /// @throws zkdict::error: (invalid_argument) when the image does not start 8-byte aligned,
    ///         (result_out_of_range) for an offset past the image, EINVAL when the bytes are short or
    ///         unsound, offset then possibly advanced past padding and length.
    static HashDict view(std::span<const std::byte> image, std::size_t& offset) {
        if (reinterpret_cast<std::uintptr_t>(image.data()) % 8 != 0) {
            detail::Refuse(std::errc::invalid_argument, "HashDict::view: image not 8-byte aligned");
        }
        if (offset > image.size()) detail::Refuse(std::errc::result_out_of_range, "HashDict::view: offset past the image");
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

    /// @brief The position of key in the list the dictionary was built from.
    ///
    /// An answer is always below size(): without check bytes a foreign key lands on some position or
    /// on a number beyond the list, and the latter is refused here, so `keys[*dict.find(k)]` stays in
    /// bounds. For a dictionary built with values, read them with find_value().
    /// @param key the key
    /// @return the position; empty when the key is rejected.
    /// @warning Without check bytes a key that was never listed may still give a position: compare
    ///          with your own key at that position when that matters.
    std::optional<Id> find(std::string_view key) const noexcept {
        const std::optional<Id> r = find_value(key);
        if (r && *r >= size_) return std::nullopt;
        return r;
    }
    /// @brief The value stored for key: its position, or what build_with_values() was given.
    /// @param key the key
    /// @return the value; empty when the key is rejected.
    std::optional<Id> find_value(std::string_view key) const noexcept {
        // The lookup rejects a key longer than every key unread; longer than any key can be, it is
        // not asked at all, which also keeps the length within an int.
        if (!d_ || key.size() > kMaxKeyLength) return std::nullopt;
        const Id r = HashDictFind(d_.get(), detail::BytesOf(key), int(key.size()));
        if (r == detail::kDictNotFound) return std::nullopt;
        return r;
    }
    /// @brief Whether find(key) gives a position.
    /// @param key the key
    /// @return true when it does.
    bool contains(std::string_view key) const noexcept { return find(key).has_value(); }
    /// @brief The number of keys.
    /// @return the count; 0 when empty.
    Id size() const noexcept { return size_; }
    /// @brief Whether there are no keys.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief The length of the longest key.
    /// @return the length in bytes; 0 when empty.
    std::size_t max_length() const noexcept { return d_ ? HashDictMaxLength(d_.get()) : 0; }
    /// @brief The length of the record's image in bytes, as write_image() appends it after its 8-byte length.
    /// @return the length; 0 when empty.
    std::size_t image_size() const noexcept { return d_ ? HashDictFileSize(d_.get()) : 0; }

    /// @brief Writes dir/name.suffix atomically and durably.
    /// @param dir    the directory; empty: the current directory
    /// @param name   the file name without suffix
    /// @param suffix the suffix
    /// @param swap   byte-reversed, for a host of the other byte order
    /// @throws zkdict::file_error naming the file, the old file then untouched; zkdict::error
    ///         (invalid_argument) for a name holding a NUL byte; std::logic_error when empty.
    void save(const std::string& dir, const std::string& name, std::string_view suffix = default_suffix, bool swap = false) const {
        const ::HashDict* h = detail::Need(d_.get(), "HashDict::save");
        const std::string d = detail::CString(dir, "HashDict::save: dir"), n = detail::CString(name, "HashDict::save: name"),
                          s = detail::CString(suffix, "HashDict::save: suffix");
        if (!HashDictWrite(h, d.c_str(), n.c_str(), s.c_str(), detail::Flag(swap))) {
            detail::ThrowFile(errno, "HashDictWrite", detail::JoinPath(dir, name, suffix));
        }
    }
    /// @brief Writes the length-prefixed image that read() takes back.
    /// @param channel a channel open for writing
    /// @param swap    byte-reversed, for a host of the other byte order
    /// @throws zkdict::error (EFBIG beyond 4 GiB), the channel then holding part of it;
    ///         std::logic_error when this or the channel is empty.
    void write(Channel& channel, bool swap = false) const {
        const ::HashDict* h = detail::Need(d_.get(), "HashDict::write");
        if (!HashDictFileWrite(h, detail::Need(channel.get(), "HashDict::write"), detail::Flag(swap))) {
            detail::ThrowErrno(errno, "HashDictFileWrite");
        }
    }
    /// @brief Appends the image to a memory image composed on the channel.
    /// @param channel        a channel open for writing
    /// @param[in,out] written the memory image's bytes so far, counted from its start; advanced by what
    ///                       was written
    /// @param swap           byte-reversed, for a host of the other byte order
    /// @throws zkdict::error; written may then already count the padding and the length.
    ///         std::logic_error when this or the channel is empty.
    void write_image(Channel& channel, std::size_t& written, bool swap = false) const {
        const ::HashDict* h = detail::Need(d_.get(), "HashDict::write_image");
        ::Channel* ch = detail::Need(channel.get(), "HashDict::write_image");
        const Boolean ok = swap ? HashDictMMWriteSwapped(h, ch, &written) : HashDictMMWrite(h, ch, &written);
        if (!ok) detail::ThrowErrno(errno, "HashDictMMWrite");
    }

    /// @brief Releases the record now; nothing when empty.
    /// @throws zkdict::error for a mapped file whose unmapping failed (the record is released either way).
    void close() {
        if (!d_) return;
        size_ = 0;
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
    template <class Keys>
    struct Valued {
        const Keys* keys;
        const std::vector<Id>* values;
    };

    HashDict(::HashDict* d, Source s) noexcept : d_(d, Release(s)), size_(HashDictSize(d)) {}

    // What the C build's key callback cannot express, refused before it starts. Duplicates cost
    // nothing here: the build finds them only when a peel fails, which they make it do.
    template <class Keys>
    static void CheckKeys(const Keys& keys) {
        const std::size_t n = keys.size();
        if (n > detail::kDictMaxEntries) detail::Refuse(std::errc::value_too_large, "HashDict: too many keys");
        for (std::size_t i = 0; i < n; ++i) {
            if (keys[i].size() > kMaxKeyLength) {
                detail::Refuse(std::errc::value_too_large, "HashDict: key " + std::to_string(i) + " longer than 65535 bytes");
            }
        }
    }
    // The handle of a successful build, or the exception that says why it failed.
    template <class Keys>
    static HashDict Built(::HashDict* d, const HashDictBuildError& error, const Keys& keys) {
        if (d != nullptr) return HashDict(d, Source::built);
        if (error.code == HASHDICT_ERROR_DUPLICATE) throw duplicate_key(std::string(keys[error.first]), error.first, error.second);
        detail::ThrowErrno(errno, "HashDictTryBuild");
    }
    // The callbacks only read what was prepared before the C call: they cannot throw, and they give
    // the same bytes every time, as the build demands.
    template <class Keys>
    static UShort KeyOf(const Keys& keys, Id i, const UByte** bytes) noexcept {
        const std::string_view k = keys[i];
        *bytes = detail::BytesOf(k);
        return UShort(k.size());
    }
    template <class Keys>
    static UShort KeyAt(void* ctx, Id i, const UByte** bytes) noexcept {
        return KeyOf(*static_cast<const Keys*>(ctx), i, bytes);
    }
    template <class Keys>
    static UShort ValuedKeyAt(void* ctx, Id i, const UByte** bytes) noexcept {
        return KeyOf(*static_cast<Valued<Keys>*>(ctx)->keys, i, bytes);
    }
    template <class Keys>
    static Id ValuedValueAt(void* ctx, Id i) noexcept {
        return (*static_cast<Valued<Keys>*>(ctx)->values)[i];
    }

    static constexpr std::size_t kMaxKeyLength = 0xFFFF;

    std::unique_ptr<::HashDict, Release> d_;
    Id size_ = 0;  // asked once: find compares every answer with it
};

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_HASHDICT_HPP
