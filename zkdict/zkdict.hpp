/**
 * @file zkdict/zkdict.hpp
 * @brief The C++20 face of libzkdict, every family at once: owning handles, string views, typed
 * values and ranges over the C ABI.
 *
 * Header-only; it adds no symbol to the libraries and links against zkdict::zkdict as a C client
 * does. Each family also has a header of its own:
 *
 * | header                 | classes                                              | C header |
 * |------------------------|------------------------------------------------------|----------|
 * | zkdict/hashdict.hpp    | zkdict::HashDict                                     | dict/hashdict.h |
 * | zkdict/hashtable.hpp   | zkdict::HashTable<V>, zkdict::HashDelTable<V>        | dict/hashtable.h, dict/hashdeltable.h |
 * | zkdict/idmap.hpp       | zkdict::IdMap, zkdict::RefMap                        | dict/idmap.h |
 * | zkdict/trees.hpp       | zkdict::RBDict, zkdict::AVLDict, zkdict::AVLLDict    | dict/rbdict.h, dict/avldict.h, dict/avlldict.h |
 * | zkdict/attrdict.hpp    | zkdict::AttrDictWriter, zkdict::AttrDictReader       | dict/attrdict.h |
 * | zkdict/cache.hpp       | zkdict::Cache                                        | dict/zkcache.h |
 * | zkdict/channel.hpp     | zkdict::Channel                                      | zklib/zklib.h |
 *
 * `get()` hands out the C handle for whatever a class leaves out, and the C header of the family
 * stays the reference for its behaviour.
 *
 * @par Macros
 * Including any of these headers defines no macro but include guards and ZKDICT_* names: the
 * macros of the C headers (TRUE, FALSE, Allocate, NOID, ...) are removed again unless the program
 * had included those C headers itself before.
 *
 * @par Ownership
 * Each class owns exactly one C handle and releases it with the destructor that matches how the
 * handle was made. The classes move and never copy; where the C API copies a structure, `clone()`
 * says so. A default-constructed or moved-from object is valid and empty: size() is 0, lookups find
 * nothing, walks are empty. Maps, trees and typed tables make themselves again at their next
 * insertion; an operation that needs a structure it cannot make (saving an empty dictionary,
 * inserting into an empty table of byte spans, storing into an empty cache) throws std::logic_error.
 *
 * @par Lifetimes
 * String views, values and spans returned here point into the C structure (a table's data area, a
 * mapped file) and follow the rules of the C header of their family, restated on each function;
 * none of them keeps the structure alive.
 *
 * @par Threads
 * Every lookup that does not change a structure is a const member and writes nothing, so readers
 * may share any structure that no thread changes; a Cache may be used from any number of threads,
 * except for its construction, destruction and moves.
 *
 * @par Errors
 *  - a key, identifier or value that is simply absent is an empty std::optional, a null pointer or false;
 *  - every failure throws zkdict::error, a std::system_error: code() is the errno of the failed C
 *    call, or std::errc::invalid_argument, value_too_large or result_out_of_range for an argument
 *    the C API would stop the process on, refused before the call; zkdict::file_error names the
 *    file and zkdict::duplicate_key the key listed twice with both positions;
 *  - std::logic_error for a call on an empty object that needs a structure;
 *  - what the C API treats as fatal (exhausted memory, failed page mappings) stays fatal.
 * No exception crosses the C boundary: callbacks handed to the C walks catch whatever the caller's
 * function throws, stop the walk, and the exception is rethrown once the C call has returned.
 */
#ifndef ZKDICT_ZKDICT_ZKDICT_HPP
#define ZKDICT_ZKDICT_ZKDICT_HPP

#include "zkdict/attrdict.hpp"
#include "zkdict/cache.hpp"
#include "zkdict/channel.hpp"
#include "zkdict/hashdict.hpp"
#include "zkdict/hashtable.hpp"
#include "zkdict/idmap.hpp"
#include "zkdict/trees.hpp"

#endif  // ZKDICT_ZKDICT_ZKDICT_HPP
