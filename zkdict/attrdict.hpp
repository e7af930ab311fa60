/**
 * @file zkdict/attrdict.hpp
 * @brief zkdict::AttrDictWriter and zkdict::AttrDictReader, short byte strings under dense identifiers
 * in a data file and a sparse index file (dict/attrdict.h).
 *
 * @code
 * {
 *     zkdict::AttrDictWriter out("/var/lib/app", "names");
 *     for (const std::string& n : names) out.add(n);    // identifiers 0, 1, 2, ...
 *     out.commit();                                     // names.idx and names.dat, atomically
 * }
 * zkdict::AttrDictReader names("/var/lib/app", "names");
 * if (auto s = names.get(41)) std::cout << *s << '\n';   // a view into the mapped file
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_ATTRDICT_HPP
#define ZKDICT_ZKDICT_ATTRDICT_HPP

#include "zkdict/detail/common.hpp"

namespace zkdict {

/// @brief Builds an attribute dictionary, the pair dir/name.dat and dir/name.idx. Nothing is visible
/// under the final names until commit(); destroying an uncommitted writer abandons the build, removing
/// its temporary files and leaving any previous pair as it was. Move-only; a default-constructed,
/// moved-from or committed writer holds no build: size() is 0, and add() or commit() throw
/// std::logic_error.
class AttrDictWriter {
public:
    /// An empty handle, holding no build.
    AttrDictWriter() noexcept = default;
    /// @brief Starts the pair name in dir.
    /// @param dir  the directory
    /// @param name the dictionary's name
    /// @param swap writes the index for a host of the other byte order
    /// @throws zkdict::file_error naming the pair (ENOENT, ENAMETOOLONG, ...); zkdict::error (invalid_argument) for a name holding a NUL byte.
    AttrDictWriter(const std::string& dir, const std::string& name, bool swap = false) {
        const std::string d = detail::CString(dir, "AttrDictWriter: dir"), n = detail::CString(name, "AttrDictWriter: name");
        path_ = detail::JoinPath(dir, name, {});
        a_.reset(AttrDictBuild(d.c_str(), n.c_str(), detail::Flag(swap)));
        if (!a_) detail::ThrowFile(errno, "AttrDictBuild", path_);
    }

    /// @brief The C handle, still owned by this object.
    /// @return the handle; NULL when empty or committed.
    ::AttrDict* get() const noexcept { return a_.get(); }
    /// @brief Whether a build is in progress.
    /// @return true when one is.
    explicit operator bool() const noexcept { return a_ != nullptr; }

    /// @brief The number of strings added.
    /// @return the count.
    std::uint32_t size() const noexcept { return a_ ? AttrDictSize(a_.get()) : 0; }
    /// @brief Appends a string of at most 255 bytes.
    /// @param s the string
    /// @return its identifier.
    /// @throws zkdict::error (value_too_large) for a longer one, or when the data file would pass 4 GiB
    ///         (commit() then fails with EFBIG); std::logic_error when no build is in progress.
    Id add(std::string_view s) {
        ::AttrDict* a = detail::Need(a_.get(), "AttrDictWriter::add");
        if (s.size() > 255) detail::Refuse(std::errc::value_too_large, "AttrDictWriter::add: string longer than 255 bytes");
        const Id id = size();
        AttrDictAdd(a, detail::BytesOf(s), UByte(s.size()));
        if (size() == id) detail::Refuse(std::errc::value_too_large, "AttrDictWriter::add: " + path_ + ".dat would pass 4 GiB");
        return id;
    }
    /// @brief Syncs both files and renames them into place. The writer is empty afterwards either way.
    /// @throws zkdict::file_error naming the pair with the first failure; std::logic_error when no
    ///         build is in progress.
    void commit() {
        ::AttrDict* a = detail::Need(a_.release(), "AttrDictWriter::commit");
        if (!AttrDictCommit(a)) detail::ThrowFile(errno, "AttrDictCommit", path_);
    }
    /// Drops the build without touching the final names; nothing when no build is in progress.
    void abandon() noexcept { a_.reset(); }

private:
    std::unique_ptr<::AttrDict, detail::CDeleter<AttrDictAbandon>> a_;
    std::string path_;
};

/// @brief Reads an attribute dictionary from its mapped pair, without copying. The strings point into
/// the mapped data file: valid until close() or destruction. Any number of threads may read one
/// reader at once. Move-only; a default-constructed or moved-from reader is empty.
class AttrDictReader {
public:
    using value_type = std::pair<Id, std::string_view>; ///< an identifier and its string

    /// A forward iterator over (identifier, string) in identifier order; dereferencing a string that
    /// lies outside the data file (a corrupt pair) throws zkdict::error (EINVAL). Two are equal at the
    /// same identifier of the same reader.
    class iterator : public detail::PositionIterator<iterator, value_type, std::forward_iterator_tag, ::AttrDict, Id> {
    public:
        /// A singular iterator.
        iterator() noexcept = default;
        /// @brief The current identifier and string.
        /// @return the pair.
        /// @throws zkdict::error (EINVAL) for a string outside the data file.
        value_type operator*() const { return {at_, Get(s_, at_)}; }

    private:
        friend class AttrDictReader;
        iterator(const ::AttrDict* a, Id id) noexcept : PositionIterator(a, id) {}
    };

    /// An empty handle, holding no pair.
    AttrDictReader() noexcept = default;
    /// @brief Opens and checks the pair name in dir.
    /// @param dir  the directory
    /// @param name the dictionary's name
    /// @throws zkdict::file_error naming the pair (ENOENT, EINVAL for a pair that does not check out, ...);
    ///         zkdict::error (invalid_argument) for a name holding a NUL byte.
    AttrDictReader(const std::string& dir, const std::string& name) {
        const std::string d = detail::CString(dir, "AttrDictReader: dir"), n = detail::CString(name, "AttrDictReader: name");
        a_.reset(AttrDictOpen(d.c_str(), n.c_str()));
        if (!a_) detail::ThrowFile(errno, "AttrDictOpen", detail::JoinPath(dir, name, {}));
    }

    /// @brief The C handle, still owned by this object.
    /// @return the handle; NULL when empty.
    ::AttrDict* get() const noexcept { return a_.get(); }
    /// @brief Whether a pair is open.
    /// @return true when one is.
    explicit operator bool() const noexcept { return a_ != nullptr; }

    /// @brief The number of strings.
    /// @return the count.
    std::uint32_t size() const noexcept { return a_ ? AttrDictSize(a_.get()) : 0; }
    /// @brief Whether there are no strings.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }
    /// @brief String id.
    /// @param id the identifier
    /// @return a view into the mapped data file; empty when id is not below size().
    /// @throws zkdict::error (EINVAL) for a string outside the data file.
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
    /// @throws zkdict::error (EINVAL) when the walk meets a string outside the data file.
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
        if (r == 0 && ctx.id != size()) throw error(std::error_code(EINVAL, std::generic_category()), "AttrDictEnumerate: a string outside the data file");
        return r == 0;
    }

    /// @brief Unmaps both files now.
    /// @throws zkdict::error when an unmap failed (the reader is empty either way).
    void close() {
        if (!a_) return;
        if (!AttrDictClose(a_.release())) detail::ThrowErrno(errno, "AttrDictClose");
    }

private:
    static std::string_view Get(const ::AttrDict* a, Id id) {
        const UByte* bytes = nullptr;
        const UByte len = AttrDictGet(a, id, &bytes);
        // The C call leaves the pointer alone only for a string it cannot place inside the data.
        if (bytes == nullptr) throw error(std::error_code(EINVAL, std::generic_category()), "AttrDictGet: string " + std::to_string(id) + " outside the data file");
        return detail::ViewOf(bytes, len);
    }
    std::unique_ptr<::AttrDict, detail::CDeleter<AttrDictClose>> a_;
};

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_ATTRDICT_HPP
