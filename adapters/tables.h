// adapters/tables.h: HashTable and HashDelTable behind one set of names, for the code that drives
// both packed tables alike: the shared test suite, the operation fuzzer and the benchmark.
//
// Each name is the C call itself, with its result as it is, so that a caller through the adapter
// still sees the exact behaviour of the C API, failures and assertions alike. Where the two calls
// differ in their arguments, the adapter takes what both need: the context pointer of every call that
// may hash or fill a value (nullptr by default), and none of HashTable's caller-owned selection
// arrays (the selection is the table's own). The calls are inline and static, with no object in
// between: a benchmark through the adapter measures the table.
//
// Not the C++ layer (zkdict/hashtable.hpp): that one takes no context pointer, offers no offsets,
// selections or positions, and these callers need the record's fields and the invariant checker too.
#ifndef ZKDICT_ADAPTERS_TABLES_H
#define ZKDICT_ADAPTERS_TABLES_H

#include <string>
#include <string_view>

#include "dict/hashdeltable.h"
#include "dict/hashdeltable_internal.h"
#include "dict/hashtable.h"
#include "dict/hashtable_internal.h"

namespace zkadapt {

template <class T>
struct TableOps;

// The calls the two tables share under one name after their prefix. HashTable's selection calls take
// one argument more, the caller-owned selection array, which the adapter leaves null: the macro's
// arguments after the table's name go last in those calls.
#define ZKADAPT_TABLE_OPS_COMMON(Table_, ...)                                                                  \
    using Table = ::Table_;                                                                                    \
    using Iterator = ::Table_##Iterator;                                                                       \
    static constexpr const char* kName = #Table_;                                                              \
    static void Free(Table* t) { Table_##Free(t); }                                                            \
    static UInt Size(const Table* t) { return Table_##Size(t); }                                               \
    static UInt Capacity(const Table* t) { return Table_##Capacity(t); }                                       \
    static Boolean Full(const Table* t) { return Table_##Full(t); }                                            \
    static UInt ValueSize(const Table* t) { return Table_##ValueSize(t); }                                     \
    static UByte KeySize(const Table* t) { return Table_##KeySize(t); }                                        \
    static Boolean Frozen(const Table* t) { return Table_##Frozen(t); }                                        \
    static void Grow(Table* t, float factor, void* p = nullptr) { Table_##Grow(t, factor, p); }                \
    static void* Find(Table* t, std::string_view k, bool create, UInt* off = nullptr, void* p = nullptr) {     \
        return Table_##Find(t, k.data(), UInt(k.size()), create ? TRUE : FALSE, off, p);                       \
    }                                                                                                          \
    static Boolean FindMany(const Table* t, UInt n, const void* const* keys, const UInt* lens, void** values,  \
                            void* p = nullptr) {                                                               \
        return Table_##FindMany(t, n, keys, lens, values, p);                                                  \
    }                                                                                                          \
    static UInt Key(const Table* t, const void* val, const UByte** bytes) {                                    \
        return Table_##Key(t, val, bytes);                                                                     \
    }                                                                                                          \
    /* the key of the entry whose value area is val, as it lies in the data area */                            \
    static std::string_view KeyView(const Table* t, const void* val) {                                         \
        const UByte* bytes;                                                                                    \
        const UInt len = Key(t, val, &bytes);                                                                  \
        return {reinterpret_cast<const char*>(bytes), len};                                                    \
    }                                                                                                          \
    static UInt Enumerate(Table* t, UInt off, HashEnumerateFunction f, void* p) {                              \
        return Table_##Enumerate(t, off, f, p);                                                                \
    }                                                                                                          \
    static UInt Select(Table* t, UInt count, HashSelectFunction select, void* p) {                             \
        return Table_##Select(t, count, select, p __VA_OPT__(, ) __VA_ARGS__);                                 \
    }                                                                                                          \
    static void Sort(Table* t, HashCompareFunction cmp, void* p) {                                             \
        Table_##Sort(t, cmp, p __VA_OPT__(, ) __VA_ARGS__);                                                    \
    }                                                                                                          \
    static void* GetIndex(const Table* t, UInt i) {                                                            \
        return Table_##GetIndex(t, i __VA_OPT__(, ) __VA_ARGS__);                                              \
    }                                                                                                          \
    static void* GetOffset(const Table* t, UInt off) { return Table_##GetOffset(t, off); }                     \
    static Boolean IteratorEnd(const Iterator* it) { return Table_##IteratorEnd(it); }                         \
    static void IteratorNext(Iterator* it) { Table_##IteratorNext(it); }                                       \
    static UInt IteratorGetKey(const Iterator* it, const UByte** k) { return Table_##IteratorGetKey(it, k); }  \
    static void* IteratorGetValue(const Iterator* it) { return Table_##IteratorGetValue(it); }                 \
    static void IteratorFinalize(Iterator* it) { Table_##IteratorFinalize(it); }                               \
    static void Clear(Table* t) { Table_##Clear(t); }                                                          \
    static Table* Copy(const Table* t) { return Table_##Copy(t); }                                             \
    static std::string Check(const Table* t, void* p = nullptr) { return zk::Check##Table_(t, p); }

template <>
struct TableOps<::HashTable> {
    ZKADAPT_TABLE_OPS_COMMON(HashTable, nullptr)
    static constexpr bool kRemoves = false;
    static Table* New(UInt capacity, HashKeyFunction hash, HashValueFunction value, HashEqualFunction equal,
                      UInt valLen, UByte keySize, Boolean vm = FALSE) {
        return HashTableNew(capacity, hash, value, equal, valLen, keySize, vm);
    }
    // Whether a creating lookup of a new key is refused now, which growth cures.
    static Boolean Refuses(const Table* t) { return HashTableFull(t); }
    static UInt Removed(const Table*) { return 0; }
    static UInt Slots(const Table* t) { return t->t_entries_size; }
    // HashTable's iterator never hashes: it takes no context.
    static Iterator* IteratorInit(Table* t, void* = nullptr) { return HashTableIteratorInit(t); }
};

template <>
struct TableOps<::HashDelTable> {
    ZKADAPT_TABLE_OPS_COMMON(HashDelTable)
    static constexpr bool kRemoves = true;
    // HashDelTable's blocks are always heap blocks: vm, there for HashTable's sake, is ignored.
    static Table* New(UInt capacity, HashKeyFunction hash, HashValueFunction value, HashEqualFunction equal,
                      UInt valLen, UByte keySize, Boolean /*vm*/ = FALSE) {
        return HashDelTableNew(capacity, hash, value, equal, valLen, keySize);
    }
    // Tombstones count twice against the capacity, so a table short of full may refuse already.
    static Boolean Refuses(const Table* t) { return HashDelTableRefuses(t); }
    static Boolean Remove(Table* t, std::string_view k, void* p = nullptr) {
        return HashDelTableRemove(t, k.data(), UInt(k.size()), p);
    }
    static UInt Removed(const Table* t) { return HashDelTableRemoved(t); }
    static UInt Slots(const Table* t) { return t->t_nentries; }
    static Iterator* IteratorInit(Table* t, void* p = nullptr) { return HashDelTableIteratorInit(t, p); }
};

#undef ZKADAPT_TABLE_OPS_COMMON

using HashTableOps = TableOps<::HashTable>;
using HashDelTableOps = TableOps<::HashDelTable>;

}  // namespace zkadapt

#endif  // ZKDICT_ADAPTERS_TABLES_H
