/**
 * @file dict/attrdict.h
 * @brief Short byte strings (0 to 255 bytes) stored under dense identifiers 0, 1, 2, ... in the
 * order they were added, in a pair of files: name.dat with the strings and name.idx, a sparse index
 * of one offset per four strings.
 *
 * One handle type, two modes. Build mode: AttrDictBuild, any number of AttrDictAdd, AttrDictCommit
 * (or AttrDictAbandon, which drops what was added). Read mode: AttrDictOpen maps both files,
 * AttrDictGet and AttrDictEnumerate read from the mappings without copying, AttrDictClose unmaps.
 * AttrDictSize works in both modes.
 *
 * Files of a dictionary called name in directory dir:
 *
 * @verbatim
    name.dat   the strings in identifier order, each one length byte L and then its L bytes; no
               header, padding or terminator. String i starts at the sum of 1 + L over strings
               0 to i - 1. It stays below 2^32 bytes.
    name.idx   32-bit numbers: for each group of identifiers 4k to 4k + 3 (the last group may be
               shorter) the offset in name.dat of string 4k, then one more number, the count of
               strings n: 4 * (ceil(n / 4) + 1) bytes in all.
   @endverbatim
 *
 * @verbatim
    Example: "ab", "" and "xyz" give name.dat 02 61 62 00 03 78 79 7A and name.idx
    00 00 00 00  03 00 00 00 (offset of string 0, count 3).
   @endverbatim
 *
 * The numbers of name.idx are in the host's byte order, or, when built with swap TRUE, in the
 * reverse order: such a pair is for readers on hosts of the other byte order, and a reader here
 * refuses it (unless its numbers read the same both ways).
 *
 * @par Commit
 * The two files are written in dir as files without a name (or, where the file system has no such
 * files, under hidden temporary names such as `".name.dat.<random>.tmp"`), and AttrDictCommit syncs
 * both before either is given a name a reader looks at. It then takes three steps, syncing dir after
 * each, so that a power failure cannot keep a later step and lose an earlier one:
 *
 * @verbatim
    1. the new index is linked as ".name.idx.pending"   (a link, which fails on an existing name)
    2. the new data file is renamed over name.dat
    3. ".name.idx.pending" is renamed over name.idx
   @endverbatim
 *
 * AttrDictOpen takes name.idx with name.dat and, when they do not check out, ".name.idx.pending"
 * with name.dat. At every instant that gives one whole pair: before step 2 the previous pair checks
 * out (the pending index lies beside it unused); between steps 2 and 3 the previous index does not
 * fit the new data (or, fitting it exactly, reads as the new dictionary), and the pending index
 * does; after step 3 the new pair checks out. A reader opening during a commit thus gets the
 * previous pair or the new one; an open that finds the names changing while it reads looks again,
 * a few times. Opens never write and need no write permission on dir.
 *
 * A commit that dies (or a crash) leaves its files for the next AttrDictBuild of the name to put
 * right before anything is added: the pending index is dropped when name.idx still fits name.dat,
 * renamed over name.idx when only it fits (the commit got past step 2), and dropped when nothing
 * fits it, fitting being judged in either byte order; temporary files of dead writers are removed.
 * Once a commit has completed, name.idx and name.dat are the only files of the name in dir. A
 * commit holds a lock (flock) on its pending index until step 3: a build leaves a locked one alone,
 * and a commit that finds one waits for it, so that commits of one name run one after the other.
 * Where the file system refuses locks, a pending index is always taken as left by a dead commit:
 * there, do not commit one name from two places at once.
 *
 * A commit that fails before step 2 removes its files and leaves any previous pair as it was. After
 * step 2 the new pair stands even if a later rename or sync fails: AttrDictCommit returns FALSE,
 * the pair reads as the new one through the pending index, and the next build completes step 3.
 *
 * @par Untrusted pairs
 * The data file delimits its own strings, so AttrDictOpen walks them from offset 0 and accepts the
 * pair only when the index is exactly the one that walk gives: a whole number of 32-bit words, as
 * many as the count calls for, each group's offset where its first string starts, and the last
 * string ending at the end of the data file. A pair that fails gives NULL with errno EINVAL. The
 * walk reads one length byte per string, so an open touches the whole data file once (twice when it
 * falls back on a pending index). Get and Enumerate still check every string against the end of the
 * mapping, and every offset taken from the index, so that either file rewritten in place under an
 * open handle (by another program) can give wrong strings but never a read outside the mappings
 * (see each call). A file truncated in place while it is mapped can still end the process with
 * SIGBUS, as any mapping of it would; this library never rewrites a committed file in place.
 *
 * @par Pointers
 * The bytes from AttrDictGet and those passed to an enumeration callback point into the
 * mapped data file. They stay valid until AttrDictClose; do not free or write them. They are not
 * NUL-terminated.
 *
 * @par Failure
 * The calls that make a handle return NULL with errno set; AttrDictCommit and
 * AttrDictClose return FALSE with errno set and release the handle in every case. errno of the
 * first failure survives the clean-up after it. Misuse (a NULL handle, a call of the wrong mode)
 * stops the process on an assertion.
 *
 * @par Threads
 * No locking inside. A build-mode handle is used by one thread at a time. A read-mode
 * handle is never modified by the reading calls: any number of threads may get and enumerate at
 * once, as long as none closes it meanwhile.
 */
#ifndef ZKDICT_DICT_ATTRDICT_H
#define ZKDICT_DICT_ATTRDICT_H

#include <stdio.h>

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief A handle on an attribute dictionary, in build mode or in read mode.
 *
 * The fields are public for debuggers and the library's own tests; clients change none of them.
 */
typedef struct {
    UInt a_size;        /**< strings: added so far (build mode), or the count of the index (read mode) */
    UInt* a_idx;        /**< read mode: the mapped index file; NULL in build mode */
    size_t a_idx_size;  /**< read mode: its size in bytes */
    UByte* a_dat;       /**< read mode: the mapped data file; NULL when it is empty, and in build mode */
    size_t a_dat_size;  /**< read mode: its size in bytes */
    FILE* a_idx_file;   /**< build mode: the index being written; NULL in read mode */
    FILE* a_dat_file;   /**< build mode: the data being written; NULL in read mode */
    UInt a_offset;      /**< build mode: where the next string goes in the data file */
    Boolean a_swap;     /**< build mode: numbers of the index in the reverse of the host byte order */
} AttrDict;

/**
 * @brief Called by AttrDictEnumerate with each string.
 * @param bytes  the string's bytes, valid until AttrDictClose
 * @param length the string's length
 * @param ptr    the caller's context
 * @return 0 to go on, anything else to stop.
 */
typedef UInt (*AttrDictEnumerateFunction)(UByte* bytes, UInt length, void* ptr);

/**
 * @brief Starts a dictionary called name in directory dir, first putting right what a commit of
 * the name that died left there (see Commit above).
 * @param dir  the directory
 * @param name the dictionary's name, the files' stem
 * @param swap TRUE: writes the index numbers for a host of the other byte order
 * @return a build-mode handle, or NULL with errno set when a file cannot be created, and
 *         ENAMETOOLONG when "dir/name.idx" takes more than 1024 characters.
 */
ZK_EXPORT AttrDict* AttrDictBuild(const char* dir, const char* name, Boolean swap);
/**
 * @brief Appends the len bytes at bytes as the next string, identifier AttrDictSize before the call.
 *
 * Stream errors surface at commit. A string that would take the data file past 2^32 - 1 bytes is
 * refused (nothing is written, the size stays) and the commit then fails with EFBIG.
 *
 * @param adict a build-mode handle
 * @param bytes the string's bytes
 * @param len   the string's length, 0 to 255
 * @pre adict is a build-mode handle, or the process stops on an assertion.
 */
ZK_EXPORT void AttrDictAdd(AttrDict* adict, const UByte* bytes, UByte len);
/**
 * @brief Ends the index with the count, syncs and closes both files and puts them in place in the
 * steps told under Commit above. The handle is released either way.
 * @param adict a build-mode handle
 * @retval TRUE  on success
 * @retval FALSE with errno of the first failure (a stream error, flush, sync, close, link or
 *               rename), leaving any previous pair untouched, unless the new data file was already in
 *               place: then the pair reads as the new one (see Commit above); EBUSY when other
 *               commits of the name kept taking the pending name first
 * @pre adict is a build-mode handle, or the process stops on an assertion.
 */
ZK_EXPORT Boolean AttrDictCommit(AttrDict* adict);
/**
 * @brief Ends a handle without committing: a build-mode handle's temporary files are removed, and
 * the files of the name already in place, if any, stay as they are; a read-mode handle is closed.
 *
 * Either way the handle is released. It never prints or stops the process, and errno is kept, so
 * that it serves the clean-up after a failure.
 *
 * @param adict a handle of either mode, or NULL (nothing happens)
 */
ZK_EXPORT void AttrDictAbandon(AttrDict* adict);
/**
 * @brief Opens name in dir for reading, as the previous or the new pair while a commit runs.
 * @param dir  the directory
 * @param name the dictionary's name (NULL fails with EINVAL)
 * @return a read-mode handle, or NULL with errno set when the index is missing, empty or cannot be
 *         mapped (ENAMETOOLONG when "name.idx" takes more than 1024 characters), when the data file
 *         cannot be mapped (an empty one is accepted), or EINVAL when the pair does not check out.
 *         Either file must be a regular file, and is refused before it is opened otherwise, never
 *         blocking on a FIFO: ENODEV for a device, EINVAL for a directory, FIFO or socket.
 */
ZK_EXPORT AttrDict* AttrDictOpen(const char* dir, const char* name);
/**
 * @brief Unmaps both files and releases the handle.
 * @param adict a read-mode handle
 * @retval TRUE  when both unmaps succeeded
 * @retval FALSE (errno set) when an unmap failed; the handle is released all the same
 * @pre adict is a read-mode handle, or the process stops on an assertion.
 */
ZK_EXPORT Boolean AttrDictClose(AttrDict* adict);
/**
 * @brief The string of an identifier. Steps over at most three strings.
 * @param adict      a read-mode handle
 * @param id         the identifier
 * @param[out] bytes receives the address of the string's first byte
 * @return the length of string id. An identifier not below the size, a NULL adict, a build-mode
 *         handle, or a string that does not lie inside the data file gives 0 and leaves *bytes
 *         unchanged; the empty string gives 0 and sets *bytes.
 */
ZK_EXPORT UByte AttrDictGet(const AttrDict* adict, Id id, const UByte** bytes);
/**
 * @brief The number of strings (added so far, in build mode).
 * @param adict a handle of either mode, not NULL
 * @return the count.
 */
ZK_EXPORT UInt AttrDictSize(const AttrDict* adict);
/**
 * @brief Calls fun(bytes, length, ptr) for the strings startPoint, startPoint + 1, ... in order.
 *
 * With an empty data file (and in build mode) nothing is called; otherwise startPoint must be below
 * the size. A walk that meets a string not inside the data file (a corrupt file) stops there, sets
 * errno to EINVAL and returns 0.
 *
 * @param adict      a handle, not NULL
 * @param startPoint the first identifier visited
 * @param fun        the callback
 * @param ptr        the caller's context, passed to fun
 * @return the first non-zero result of fun, or 0 when every call returned 0.
 * @pre startPoint is below the size when the data file is not empty, or the process stops on an
 *      assertion.
 */
ZK_EXPORT UInt AttrDictEnumerate(const AttrDict* adict, Id startPoint, AttrDictEnumerateFunction fun, void* ptr);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_ATTRDICT_H */
