/**
 * @file zkdict/trees.hpp
 * @brief zkdict::RBDict, zkdict::AVLDict and zkdict::AVLLDict, ordered maps of unsigned integers on
 * index-linked node arrays (dict/rbdict.h, dict/avldict.h, dict/avlldict.h).
 *
 * @code
 * zkdict::AVLDict starts;                               // start time -> job
 * starts.insert_or_assign(900, 1);
 * starts.insert_or_assign(1200, 2);
 * starts.insert_or_assign(1500, 3);
 * for (auto [t, job] : std::ranges::subrange(starts.lower_bound(1000), starts.upper_bound(1500)))
 *     std::cout << t << ' ' << job << '\n';             // 1200 2, 1500 3
 * for (auto [t, job] : starts | std::views::reverse) std::cout << t << '\n';
 * auto before = starts.nearest(1000, zkdict::Round::down);  // {900, 1}
 * @endcode
 */
#ifndef ZKDICT_ZKDICT_TREES_HPP
#define ZKDICT_ZKDICT_TREES_HPP

#include "zkdict/detail/common.hpp"

namespace zkdict {

namespace detail {

// The three C trees behind one set of names.
template <class D>
struct TreeOps;

#define ZKDICT_DETAIL_TREE_OPS(Dict, Prefix)                                                                           \
    template <>                                                                                                        \
    struct TreeOps<::Dict> {                                                                                           \
        using Key = Dict##Key;                                                                                         \
        using Value = Dict##Value;                                                                                     \
        using Visit = Dict##EnumerateFun;                                                                              \
        static ::Dict* New(UInt capacity) { return Prefix##New(capacity); }                                            \
        static void Delete(::Dict* d) noexcept { Prefix##Delete(d); }                                                  \
        static void Clear(::Dict* d) noexcept { Prefix##Clear(d); }                                                    \
        static UInt Size(const ::Dict* d) noexcept { return Prefix##Size(d); }                                         \
        static bool Lookup(const ::Dict* d, Key k, Value* v) noexcept { return Prefix##Lookup(d, k, v) != kFalse; }    \
        static bool First(const ::Dict* d, Key* k, Value* v) noexcept { return Prefix##First(d, k, v) != kFalse; }     \
        static bool Last(const ::Dict* d, Key* k, Value* v) noexcept { return Prefix##Last(d, k, v) != kFalse; }       \
        static bool Next(const ::Dict* d, Key after, Key* k, Value* v) noexcept {                                      \
            return Prefix##Next(d, after, k, v) != kFalse;                                                             \
        }                                                                                                              \
        static bool Previous(const ::Dict* d, Key before, Key* k, Value* v) noexcept {                                 \
            return Prefix##Previous(d, before, k, v) != kFalse;                                                        \
        }                                                                                                              \
        static Value* ValueGet(::Dict* d, Key k) noexcept { return Prefix##ValueGet(d, k); }                           \
        static Value Insert(::Dict* d, Key k, Value v, Value n) { return Prefix##Insert(d, k, v, n); }                 \
        static Value Remove(::Dict* d, Key k, Value n) noexcept { return Prefix##Remove(d, k, n); }                    \
        static bool Enumerate(::Dict* d, bool reverse, Visit f, void* arg) {                                           \
            return Prefix##Enumerate(d, Flag(reverse), f, arg) != kFalse;                                              \
        }                                                                                                              \
    };

ZKDICT_DETAIL_TREE_OPS(RBDict, ZKRBDict)
ZKDICT_DETAIL_TREE_OPS(AVLDict, ZKAVLDict)
ZKDICT_DETAIL_TREE_OPS(AVLLDict, ZKAVLLDict)
#undef ZKDICT_DETAIL_TREE_OPS

}  // namespace detail

/// Which way nearest() rounds a key that is not stored.
enum class Round {
    down = -1,   ///< the largest stored key below
    closest = 0, ///< the closer of the two neighbours, the larger on a tie
    up = 1,      ///< the smallest stored key above
};

/// Which way for_each() walks a tree.
enum class Order { ascending, descending };

/// @brief An ordered map of unsigned integers: RBDict (32 bits, red-black), AVLDict (32 bits) or
/// AVLLDict (64 bits). Use it through those aliases.
///
/// Lookups (find, contains, nearest, the bounds and iteration) are const and write nothing, so any
/// number of threads may run them at once while no thread changes the tree; every other call needs
/// exclusive use. Iteration goes through the C calls that find a key's neighbours: an iterator holds
/// the key it stands on and a copy of its value, so it stays usable across any change of the tree
/// (a step finds the neighbour of that key in the tree as it is then), and dereferencing gives the
/// value as it was when the iterator arrived.
///
/// Move-only; a moved-from tree is empty and makes itself again at the next insertion.
/// @tparam D ::RBDict, ::AVLDict or ::AVLLDict
template <class D>
class Tree {
    using Ops = detail::TreeOps<D>;

public:
    using key_type = typename Ops::Key;                  ///< the key type
    using mapped_type = typename Ops::Value;             ///< the value type
    using value_type = std::pair<key_type, mapped_type>; ///< an entry

    /// A bidirectional iterator over the entries in increasing key order.
    class iterator : public detail::IteratorTypes<value_type, std::bidirectional_iterator_tag> {
    public:
        /// A singular iterator, equal to end().
        iterator() noexcept = default;
        /// @brief The current entry.
        /// @return the key and value.
        value_type operator*() const noexcept { return entry_; }
        /// @brief Steps to the next key, or to the end past the largest.
        /// @return this iterator.
        iterator& operator++() noexcept {
            end_ = !Ops::Next(d_, entry_.first, &entry_.first, &entry_.second);
            return *this;
        }
        /// @brief Steps to the next key.
        /// @return the iterator before the step.
        iterator operator++(int) noexcept {
            iterator c = *this;
            ++*this;
            return c;
        }
        /// @brief Steps to the previous key; from the end, to the largest.
        /// @return this iterator.
        iterator& operator--() noexcept {
            if (d_ == nullptr) return *this;  // an empty tree's end has nowhere to go
            const bool found = end_ ? Ops::Last(d_, &entry_.first, &entry_.second)
                                    : Ops::Previous(d_, entry_.first, &entry_.first, &entry_.second);
            end_ = !found;
            return *this;
        }
        /// @brief Steps to the previous key.
        /// @return the iterator before the step.
        iterator operator--(int) noexcept {
            iterator c = *this;
            --*this;
            return c;
        }
        /// @brief The same position; all end iterators are equal.
        /// @param a one iterator
        /// @param b the other
        /// @return true when both stand at the same key, or both at the end.
        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            return a.end_ == b.end_ && (a.end_ || a.entry_.first == b.entry_.first);
        }

    private:
        friend class Tree;
        explicit iterator(const D* d) noexcept : d_(d) {}
        iterator(const D* d, bool found, value_type entry) noexcept : d_(d), entry_(entry), end_(!found) {}
        const D* d_ = nullptr;
        value_type entry_{};
        bool end_ = true;
    };
    using const_iterator = iterator;                                 ///< the entries cannot be changed through an iterator
    using reverse_iterator = std::reverse_iterator<iterator>;        ///< walks in decreasing key order
    using const_reverse_iterator = reverse_iterator;                 ///< the same

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
    std::uint32_t size() const noexcept { return d_ ? Ops::Size(d_.get()) : 0; }
    /// @brief Whether there are no keys.
    /// @return true when empty.
    bool empty() const noexcept { return size() == 0; }

    /// @brief The value stored under key.
    /// @param key the key
    /// @return the value; empty when absent.
    std::optional<mapped_type> find(key_type key) const noexcept {
        mapped_type v;
        if (!d_ || !Ops::Lookup(d_.get(), key, &v)) return std::nullopt;
        return v;
    }
    /// @brief Whether key is stored.
    /// @param key the key
    /// @return true when stored.
    bool contains(key_type key) const noexcept { return d_ && Ops::Lookup(d_.get(), key, nullptr); }
    /// @brief The address of key's value, for updates in place (a lookup that needs exclusive use).
    /// @param key the key
    /// @return the address, valid until the next insertion of a new key, erase or clear; nullptr when absent.
    mapped_type* value_ptr(key_type key) noexcept { return d_ ? Ops::ValueGet(d_.get(), key) : nullptr; }
    /// @brief Stores value under key.
    /// @param key   the key
    /// @param value the value
    /// @return the value it replaced; empty when key was added.
    std::optional<mapped_type> insert_or_assign(key_type key, mapped_type value) {
        if (!d_) d_.reset(Ops::New(0));
        const std::uint32_t before = size();
        const mapped_type previous = Ops::Insert(d_.get(), key, value, 0);
        if (size() != before) return std::nullopt;
        return previous;
    }
    /// @brief Removes key.
    /// @param key the key
    /// @return its value; empty when it was absent.
    std::optional<mapped_type> erase(key_type key) noexcept {
        if (!d_) return std::nullopt;
        const std::uint32_t before = size();
        const mapped_type v = Ops::Remove(d_.get(), key, 0);
        if (size() == before) return std::nullopt;
        return v;
    }
    /// Removes every key; the node array keeps its size.
    void clear() noexcept {
        if (d_) Ops::Clear(d_.get());
    }

    /// @brief key itself when stored, else its neighbour rounded as asked.
    /// @param key   the key sought
    /// @param round which neighbour
    /// @return the key found with its value; empty when there is no such key.
    std::optional<value_type> nearest(key_type key, Round round) const noexcept {
        if (!d_) return std::nullopt;
        if (auto v = find(key)) return value_type{key, *v};
        const iterator above = upper_bound(key);
        iterator below = above;
        --below;
        const bool hasAbove = above != end(), hasBelow = below != end();
        if (round == Round::down || !hasAbove) return round != Round::up && hasBelow ? std::optional(*below) : std::nullopt;
        if (round == Round::up || !hasBelow) return *above;
        return key - (*below).first >= (*above).first - key ? *above : *below;
    }

    /// @brief The entry with the smallest key.
    /// @return the iterator; end() when empty.
    iterator begin() const noexcept {
        value_type e{};
        return iterator(d_.get(), d_ && Ops::First(d_.get(), &e.first, &e.second), e);
    }
    /// @brief Past the largest key.
    /// @return the iterator.
    iterator end() const noexcept { return iterator(d_.get()); }
    /// @brief The entry with the largest key, walking down.
    /// @return the reverse iterator.
    reverse_iterator rbegin() const noexcept { return reverse_iterator(end()); }
    /// @brief Past the smallest key, walking down.
    /// @return the reverse iterator.
    reverse_iterator rend() const noexcept { return reverse_iterator(begin()); }
    /// @brief The first entry whose key is not below key.
    /// @param key the bound
    /// @return the iterator; end() when every key is below.
    iterator lower_bound(key_type key) const noexcept {
        value_type e{key, 0};
        if (d_ && Ops::Lookup(d_.get(), key, &e.second)) return iterator(d_.get(), true, e);
        return upper_bound(key);
    }
    /// @brief The first entry whose key is above key.
    /// @param key the bound
    /// @return the iterator; end() when no key is above.
    iterator upper_bound(key_type key) const noexcept {
        value_type e{};
        return iterator(d_.get(), d_ && Ops::Next(d_.get(), key, &e.first, &e.second), e);
    }
    /// @brief The entries whose key is key: none or one.
    /// @param key the key
    /// @return lower_bound(key) and upper_bound(key).
    std::pair<iterator, iterator> equal_range(key_type key) const noexcept { return {lower_bound(key), upper_bound(key)}; }

    /// @brief Calls f(key, value) for every entry in order through the C enumeration, until f returns
    /// false; faster than the iterators, which search for every step.
    /// @param f     called with each key and value; it must not insert or erase, and what it throws is
    ///              rethrown after the walk
    /// @param order ascending or descending keys
    /// @return true when all were visited.
    template <class F>
    bool for_each(F&& f, Order order = Order::ascending) {
        if (!d_) return true;
        detail::Walk<std::remove_reference_t<F>> walk{f};
        auto visit = [](D*, key_type k, mapped_type v, void* arg) noexcept -> Boolean {
            return detail::Flag(static_cast<detail::Walk<std::remove_reference_t<F>>*>(arg)->Visit(k, v));
        };
        const bool all = Ops::Enumerate(d_.get(), order == Order::descending, visit, &walk);
        walk.Rethrow();
        return all;
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

}  // namespace zkdict

#endif  // ZKDICT_ZKDICT_TREES_HPP
