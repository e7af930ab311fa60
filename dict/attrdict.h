/*
 * attrdict.h: short byte strings (0 to 255 bytes) stored under dense identifiers 0, 1, 2, ... in the
 * order they were added, in a pair of files: name.dat with the strings and name.idx, a sparse index
 * of one offset per four strings.
 *
 * One handle type, two modes. Build mode: AttrDictBuild, any number of AttrDictAdd, AttrDictCommit.
 * Read mode: AttrDictOpen maps both files, AttrDictGet and AttrDictEnumerate read from the mappings
 * without copying, AttrDictClose unmaps. AttrDictSize works in both modes.
 *
 * Files of a dictionary called name in directory dir:
 *
 *   name.dat   the strings in identifier order, each one length byte L and then its L bytes; no
 *              header, padding or terminator. String i starts at the sum of 1 + L over strings
 *              0 to i - 1. It stays below 2^32 bytes.
 *   name.idx   32-bit numbers: for each group of identifiers 4k to 4k + 3 (the last group may be
 *              shorter) the offset in name.dat of string 4k, then one more number, the count of
 *              strings n: 4 * (ceil(n / 4) + 1) bytes in all.
 *
 *   Example: "ab", "" and "xyz" give name.dat 02 61 62 00 03 78 79 7A and name.idx
 *   00 00 00 00  03 00 00 00 (offset of string 0, count 3).
 *
 * The numbers of name.idx are in the host's byte order, or, when built with swap TRUE, in the
 * reverse order: such a pair is for readers on hosts of the other byte order, and a reader here
 * refuses it (unless its numbers read the same both ways).
 *
 * Commit: the two files are written under temporary names in dir (".name.dat.<random>.tmp"), and
 * AttrDictCommit flushes and syncs both, then renames name.dat and after it name.idx into place and
 * syncs dir. Readers and crashes therefore never see a half-written file: until the index is renamed
 * they see the previous pair, if any (a reader opening between the two renames sees the previous
 * index over the new data, which reads correctly when the new dictionary extends the old one). A
 * failed commit removes the temporaries and leaves any previous pair as it was; only a rename that
 * fails after the first one succeeded (the directory changing under the commit) leaves the new data
 * file beside the previous index.
 *
 * Untrusted pairs: AttrDictOpen checks the index against the data file before returning: a whole
 * number of 32-bit words, as many as the count calls for, offsets starting at 0, non-decreasing and
 * inside the data file, and the strings of the last group ending inside it. A pair that fails gives
 * NULL with errno EINVAL. Get and Enumerate check every string against the end of the data file, so
 * a corrupt data file can give wrong strings but never a read outside the mappings (see each call).
 * A file truncated in place while it is mapped can still end the process with SIGBUS, as any
 * mapping of it would; this library never rewrites a committed file in place.
 *
 * Pointers: the bytes from AttrDictGet and those passed to an enumeration callback point into the
 * mapped data file. They stay valid until AttrDictClose; do not free or write them. They are not
 * NUL-terminated.
 *
 * Failure: the calls that make a handle return NULL with errno set; AttrDictCommit and
 * AttrDictClose return FALSE with errno set and release the handle in every case. errno of the
 * first failure survives the clean-up after it. Misuse (a NULL handle, a call of the wrong mode)
 * stops the process on an assertion.
 *
 * Threads: no locking inside. A build-mode handle is used by one thread at a time. A read-mode
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

typedef struct {
    UInt a_size;        /* strings: added so far (build mode), or the count of the index (read mode) */
    UInt* a_idx;        /* read mode: the mapped index file; NULL in build mode */
    size_t a_idx_size;  /* read mode: its size in bytes */
    UByte* a_dat;       /* read mode: the mapped data file; NULL when it is empty, and in build mode */
    size_t a_dat_size;  /* read mode: its size in bytes */
    FILE* a_idx_file;   /* build mode: the index being written; NULL in read mode */
    FILE* a_dat_file;   /* build mode: the data being written; NULL in read mode */
    UInt a_offset;      /* build mode: where the next string goes in the data file */
    Boolean a_swap;     /* build mode: numbers of the index in the reverse of the host byte order */
} AttrDict;

/* Called by AttrDictEnumerate with each string's bytes and length: 0 to go on, anything else to
 * stop. The bytes are valid until AttrDictClose. */
typedef UInt (*AttrDictEnumerateFunction)(UByte* bytes, UInt length, void* ptr);

/* Starts a dictionary called name in directory dir; swap writes the index numbers for a host of
 * the other byte order. NULL with errno set when a file cannot be created, and ENAMETOOLONG when
 * "dir/name.idx" takes more than 1024 characters. */
ZK_EXPORT AttrDict* AttrDictBuild(const char* dir, const char* name, Boolean swap);
/* Appends the len bytes at bytes as the next string, identifier AttrDictSize before the call.
 * Stream errors surface at commit. A string that would take the data file past 2^32 - 1 bytes is
 * refused (nothing is written, the size stays) and the commit then fails with EFBIG. */
ZK_EXPORT void AttrDictAdd(AttrDict* adict, const UByte* bytes, UByte len);
/* Ends the index with the count, syncs and closes both files and renames them into place. TRUE on
 * success; FALSE with errno of the first failure (a stream error, flush, sync, close or rename),
 * leaving any previous pair untouched. The handle is released either way. */
ZK_EXPORT Boolean AttrDictCommit(AttrDict* adict);
/* Opens name in dir for reading. NULL with errno set when the index is missing, empty or cannot be
 * mapped (ENAMETOOLONG when "name.idx" takes more than 1024 characters), when the data file cannot
 * be mapped (an empty one is accepted), or EINVAL when the pair does not check out. */
ZK_EXPORT AttrDict* AttrDictOpen(const char* dir, const char* name);
/* Unmaps both files and releases the handle; FALSE (errno set) when an unmap failed. */
ZK_EXPORT Boolean AttrDictClose(AttrDict* adict);
/* The length of string id, with *bytes set to its first byte. An identifier not below the size,
 * a NULL adict, a build-mode handle, or a string that does not lie inside the data file gives 0 and
 * leaves *bytes unchanged; the empty string gives 0 and sets *bytes. Steps over at most three
 * strings. */
ZK_EXPORT UByte AttrDictGet(const AttrDict* adict, Id id, const UByte** bytes);
/* The number of strings. */
ZK_EXPORT UInt AttrDictSize(const AttrDict* adict);
/* Calls fun(bytes, length, ptr) for the strings startPoint, startPoint + 1, ... in order and returns
 * the first non-zero result, or 0 when every call returned 0. With an empty data file (and in build
 * mode) nothing is called; otherwise startPoint must be below the size. A walk that meets a string not inside the
 * data file (a corrupt file) stops there, sets errno to EINVAL and returns 0. */
ZK_EXPORT UInt AttrDictEnumerate(const AttrDict* adict, Id startPoint, AttrDictEnumerateFunction fun, void* ptr);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_ATTRDICT_H */
