// zkdict/detail/common.hpp: what the C++ headers of every family share. Not a public interface:
// include zkdict/zkdict.hpp or a family's header instead.
//
// The C headers define macros for C callers (TRUE, FALSE, Allocate(size, old), NOID, ...). A C++
// program that includes this layer must not inherit them: a member function named Allocate or an
// enumerator TRUE would stop compiling. So every macro of the C headers is saved before they are
// included and restored after, which leaves defined exactly the ones the program had defined
// itself (by including a C header first); what the layer needs of them is captured as constants
// in between. Include guards and the ZKDICT_* version macros stay.
#ifndef ZKDICT_ZKDICT_DETAIL_COMMON_HPP
#define ZKDICT_ZKDICT_DETAIL_COMMON_HPP

#if __cplusplus < 202002L
#error "the zkdict C++ headers need C++20 (concepts, std::span); the C headers under dict/ serve older C++"
#endif

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

#pragma push_macro("Allocate")
#pragma push_macro("ArrayGrow")
#pragma push_macro("ArrayGrowExact")
#pragma push_macro("ArrayNew")
#pragma push_macro("FALSE")
#pragma push_macro("TRUE")
#pragma push_macro("HASHDICT_MAX_ENTRIES")
#pragma push_macro("HASHDICT_NOT_FOUND")
#pragma push_macro("HASHDICT_SUFFIX")
#pragma push_macro("HASH_DELETED")
#pragma push_macro("HASH_EMPTY")
#pragma push_macro("IDMAP_MAX_CAPACITY")
#pragma push_macro("MemoryMap")
#pragma push_macro("MemoryRemap")
#pragma push_macro("MemoryUnmap")
#pragma push_macro("NOID")
#pragma push_macro("NOREF")
#pragma push_macro("ThreadCreate")
#pragma push_macro("UINT_MAX_VALUE")
#pragma push_macro("UnAllocate")
#pragma push_macro("ZK_ARRAY_MAX_CAPACITY")
#pragma push_macro("ZK_ASSERT")
#pragma push_macro("ZK_ASSERT_FUNCTION")
#pragma push_macro("ZK_CACHE_HISTOGRAM_SLOTS")
#pragma push_macro("ZK_CACHE_MIN_PAGE_SIZE")
#pragma push_macro("ZK_CACHE_NEVER_EXPIRES")
#pragma push_macro("ZK_EXPORT")
#pragma push_macro("ZK_PRINTF")
#pragma push_macro("zkassert")

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
#include "dict/zkdict_version.h"
#include "zklib/zklib.h"

namespace zkdict::detail {
inline constexpr Boolean kTrue = TRUE;
inline constexpr Boolean kFalse = FALSE;
inline constexpr Id kDictNotFound = HASHDICT_NOT_FOUND;
inline constexpr Id kDictMaxEntries = HASHDICT_MAX_ENTRIES;
inline constexpr std::string_view kDictSuffix = HASHDICT_SUFFIX;
inline constexpr Id kNoId = NOID;
inline constexpr ULong kNoRef = NOREF;
inline constexpr ULong kNeverExpires = ZK_CACHE_NEVER_EXPIRES;
inline constexpr Boolean Flag(bool b) noexcept { return b ? kTrue : kFalse; }
}  // namespace zkdict::detail

#pragma pop_macro("Allocate")
#pragma pop_macro("ArrayGrow")
#pragma pop_macro("ArrayGrowExact")
#pragma pop_macro("ArrayNew")
#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")
#pragma pop_macro("HASHDICT_MAX_ENTRIES")
#pragma pop_macro("HASHDICT_NOT_FOUND")
#pragma pop_macro("HASHDICT_SUFFIX")
#pragma pop_macro("HASH_DELETED")
#pragma pop_macro("HASH_EMPTY")
#pragma pop_macro("IDMAP_MAX_CAPACITY")
#pragma pop_macro("MemoryMap")
#pragma pop_macro("MemoryRemap")
#pragma pop_macro("MemoryUnmap")
#pragma pop_macro("NOID")
#pragma pop_macro("NOREF")
#pragma pop_macro("ThreadCreate")
#pragma pop_macro("UINT_MAX_VALUE")
#pragma pop_macro("UnAllocate")
#pragma pop_macro("ZK_ARRAY_MAX_CAPACITY")
#pragma pop_macro("ZK_ASSERT")
#pragma pop_macro("ZK_ASSERT_FUNCTION")
#pragma pop_macro("ZK_CACHE_HISTOGRAM_SLOTS")
#pragma pop_macro("ZK_CACHE_MIN_PAGE_SIZE")
#pragma pop_macro("ZK_CACHE_NEVER_EXPIRES")
#pragma pop_macro("ZK_EXPORT")
#pragma pop_macro("ZK_PRINTF")
#pragma pop_macro("zkassert")

namespace zkdict {

/// A dense identifier, as the C API's Id.
using Id = ::Id;

/// Any range whose elements read as byte strings: std::vector<std::string>, std::array<const char*, N>,
/// a view producing std::string or std::string_view, ...
template <class R>
concept KeyRange = std::ranges::input_range<R> && std::convertible_to<std::ranges::range_reference_t<R>, std::string_view>;

/// @brief The root of every exception the layer throws for a failure: a std::system_error whose code()
/// is the errno of the failed C call, or std::errc::invalid_argument, value_too_large or
/// result_out_of_range for an argument refused before the C call, and whose what() names the
/// operation and the file or key at fault.
class error : public std::system_error {
public:
    /// @brief An error of the given code.
    /// @param code the error code
    /// @param what the operation and what it was applied to
    error(std::error_code code, const std::string& what) : std::system_error(code, what) {}
};

/// @brief A failed operation on a file: what() reads "operation: path: reason"; path() gives the path.
class file_error : public error {
public:
    /// @brief The failure of operation on path.
    /// @param err       the errno of the failure
    /// @param operation the C call that failed
    /// @param path      the file
    file_error(int err, const std::string& operation, std::string path)
        : error(std::error_code(err, std::generic_category()), operation + ": " + path), path_(std::move(path)) {}
    /// @brief The file at fault.
    /// @return the path, as the layer composed it from its arguments.
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

/// @brief A key listed twice for a static dictionary: what() names the key and both positions.
class duplicate_key : public error {
public:
    /// @brief The key found at positions first and second.
    /// @param key    the key
    /// @param first  its first position in the list
    /// @param second its second position
    duplicate_key(std::string key, Id first, Id second)
        : error(std::make_error_code(std::errc::invalid_argument),
                "HashDict: duplicate key \"" + key + "\" at " + std::to_string(first) + " and " + std::to_string(second)),
          key_(std::move(key)), first_(first), second_(second) {}
    /// @brief The duplicate key.
    /// @return its bytes.
    const std::string& key() const noexcept { return key_; }
    /// @brief Where the key first appears.
    /// @return the position in the key list.
    Id first() const noexcept { return first_; }
    /// @brief Where it appears again.
    /// @return the position in the key list.
    Id second() const noexcept { return second_; }

private:
    std::string key_;
    Id first_, second_;
};

namespace detail {

// The errno of the failed call, captured before anything else can overwrite it. A C call that
// failed without setting errno still throws something a caller can act on.
[[noreturn]] inline void ThrowErrno(int err, const char* what) {
    throw error(std::error_code(err != 0 ? err : EIO, std::generic_category()), what);
}
[[noreturn]] inline void ThrowFile(int err, const std::string& what, std::string path) {
    throw file_error(err != 0 ? err : EIO, what, std::move(path));
}
// An argument the C call would stop the process on, refused before it.
[[noreturn]] inline void Refuse(std::errc code, const std::string& what) {
    throw error(std::make_error_code(code), what);
}

// Empty handles (default-constructed or moved from) answer lookups as empty structures; what needs
// a structure is the caller's bug, and says so.
template <class P>
P* Need(P* p, const char* what) {
    if (p == nullptr) throw std::logic_error(std::string(what) + ": the object holds no structure (default-constructed or moved from)");
    return p;
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

// A NUL-terminated copy for the C calls that take paths. A path with a NUL inside would silently
// name another file, so it is refused.
inline std::string CString(std::string_view s, const char* what) {
    if (s.find('\0') != std::string_view::npos) Refuse(std::errc::invalid_argument, std::string(what) + ": contains a NUL byte");
    return std::string(s);
}

// dir/name.suffix as the C calls compose it, for messages.
inline std::string JoinPath(std::string_view dir, std::string_view name, std::string_view suffix) {
    std::string p;
    if (!dir.empty()) (p += dir) += '/';
    p += name;
    if (!suffix.empty()) (p += '.') += suffix;
    return p;
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

// The member types of the layer's iterators. Dereferencing gives a Value by value, not a reference,
// so legacy algorithms see an input iterator, whatever the iterator's C++20 strength, Concept;
// positions are never subtracted, but iterators must name a difference type.
template <class Value, class Concept>
struct IteratorTypes {
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = Concept;
    using iterator_category = std::input_iterator_tag;
};

// An iterator over a structure that the C calls read by position: it holds the structure and the
// position, stepping moves the position (back too when Concept is bidirectional), and two iterators
// are equal at the same position of the same structure. Derived, the iterator itself, dereferences.
template <class Derived, class Value, class Concept, class Structure, class Position>
class PositionIterator : public IteratorTypes<Value, Concept> {
    static constexpr bool kBackward = std::derived_from<Concept, std::bidirectional_iterator_tag>;

public:
    Derived& operator++() noexcept {
        ++at_;
        return static_cast<Derived&>(*this);
    }
    Derived operator++(int) noexcept {
        Derived before = static_cast<Derived&>(*this);
        ++at_;
        return before;
    }
    Derived& operator--() noexcept
        requires kBackward
    {
        --at_;
        return static_cast<Derived&>(*this);
    }
    Derived operator--(int) noexcept
        requires kBackward
    {
        Derived before = static_cast<Derived&>(*this);
        --at_;
        return before;
    }
    friend bool operator==(const PositionIterator& a, const PositionIterator& b) noexcept {
        return a.s_ == b.s_ && a.at_ == b.at_;
    }

protected:
    PositionIterator() noexcept = default;
    PositionIterator(const Structure* s, Position at) noexcept : s_(s), at_(at) {}
    const Structure* s_ = nullptr;
    Position at_ = 0;
};

template <auto Release>
struct CDeleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Release(p);
    }
};

}  // namespace detail

/// @brief The version of the library the program runs against, which may be newer than the
/// ZKDICT_VERSION_STRING it was compiled with (same major version).
/// @return "MAJOR.MINOR.PATCH".
inline std::string_view version() noexcept { return ZKDictVersion(); }

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_DETAIL_COMMON_HPP
