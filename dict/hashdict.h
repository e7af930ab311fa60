/*
 * hashdict.h: a static dictionary over a minimal perfect hash function.
 *
 * A HashDict is built once from a fixed list of distinct byte-string keys and never changes. Each
 * key hashes to three distinct vertices of a random 3-hypergraph; the three vertices' entries of a
 * packed function table combine by exclusive-or into the key's result: its position in the list,
 * or a value the caller chose for it. Lookup costs one pass over the key and three table reads, and
 * the whole dictionary is about 1.25 table entries of ceil(log2(nentries + 1)) bits per key plus
 * small fixed tables, because keys are not stored.
 *
 * Foreign keys: without check bytes, a key that was not in the list may return any value, even the
 * index of another key; callers that cannot rule such keys out either confirm the match against
 * their own copy of the keys, or build with check bytes (probe 1 to 8), which reject a foreign key
 * unless its 8 x probe bits of check code happen to match.
 *
 * Images: a dictionary is saved as one contiguous image (layout below) and used in place when
 * opened; nothing is copied or converted. It travels as a file of its own (HashDictWrite /
 * HashDictOpen), as a length-prefixed image on a channel (HashDictFileWrite / HashDictFileRead), or
 * 8-byte aligned inside a larger memory image that the caller composes and maps
 * (HashDictMMWrite / HashDictMMRead). Every opener treats the bytes as untrusted: an image that
 * would make a lookup read outside it is refused with errno EINVAL, and nothing is left allocated.
 *
 *   offset  size  field
 *        0     4  h_nentries          number of keys
 *        4     4  h_size              number of vertices
 *        8     2  h_maxlen            longest key in bytes
 *       10     2  h_nbits             width of a function-table entry, 1..32
 *       12     2  h_nchars            distinct byte values in the keys, 0..256
 *       14     2  h_probe             check bytes per key, 0..8
 *       16     8  R = h_rank_size     \
 *       24     8  K = h_coef_size      | table sizes in bytes, each a multiple of 8
 *       32     8  F = h_fun_size       |
 *       40     8  P = h_probe_size    /
 *       48     R  rank table          256 signed 16-bit entries (the rest unused)
 *   48 + R     K  coefficients        3 x h_nchars x h_maxlen unsigned 32-bit entries
 *  +R+K        F  function table      64-bit words of h_size + 1 packed h_nbits-bit entries
 *  +R+K+F      P  check bytes         h_probe bytes per key; only when h_probe is not 0
 *
 * Every field and table element is in the writer's host order, or byte-reversed per element when
 * written swapped (for a host of the other byte order; check bytes are never reversed). There is no
 * magic number or checksum; an image must start at an 8-byte aligned address.
 *
 * Ownership and lifetime: each way of making a record has its own destructor.
 *   HashDictBuild     -> HashDictFree      the record owns its tables
 *   HashDictOpen      -> HashDictClose     the tables point into a read-only file mapping
 *   HashDictFileRead  -> HashDictMemClose  the tables point into one block the record owns
 *   HashDictMMRead    -> HashDictMMFree    the tables point into the caller's image, which must
 *                                          outlive the record; only the record is released
 * Giving a record to another kind's destructor is a contract violation.
 *
 * Failure: construction cannot fail quietly: wrong arguments and unstable callbacks are assertion
 * failures, and a key list that cannot be hashed (duplicate keys in particular) is a fatal report
 * "hdict: cannot generate". Writers and openers return FALSE or NULL with errno set.
 *
 * Threads: a finished record is read-only; any number of threads may look keys up in it and write
 * it out at the same time. Builds are independent of each other and of the process's random()
 * sequence, so concurrent builds in one process give the same dictionaries as sequential ones.
 * Construction and destruction need exclusive use of their record.
 */
#ifndef ZKDICT_DICT_HASHDICT_H
#define ZKDICT_DICT_HASHDICT_H

#include <stddef.h>

#include "zklib/zklib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What HashDictFind returns for a key it rejects. */
#define HASHDICT_NOT_FOUND ((Id)0xFFFFFFFEu)

/* The largest key count HashDictBuild accepts: 3 x nentries + 2 must fit in 32 bits. */
#define HASHDICT_MAX_ENTRIES ((Id)1431655764u)

/* The default file-name suffix of HashDictWrite and HashDictOpen. */
#define HASHDICT_SUFFIX "dic"

typedef struct {
    Boolean h_created;     /* TRUE: built here and owns its tables; FALSE: tables lie in h_file */
    Id h_nentries;         /* number of keys */
    Id h_size;             /* vertices, numbered 1..h_size: floor(1.25 x h_nentries) + 5 */
    UShort h_maxlen;       /* length of the longest key; longer keys are rejected unread */
    UShort h_nchars;       /* distinct byte values occurring in the keys, 0..256 */
    Short* h_rank;         /* 256 entries: a byte's rank among those values, or -1 if it occurs in none */
    size_t h_rank_size;    /* bytes of h_rank (whole 64-bit words) */
    Id* h_coef;            /* per position and rank, a triple of coefficients below h_size */
    size_t h_coef_size;    /* bytes of h_coef; 0 when there are no coefficients */
    UShort h_probe;        /* check bytes per key, 0..8 */
    UByte* h_probe_code;   /* h_probe check bytes for each key index; NULL when h_probe is 0 */
    size_t h_probe_size;   /* bytes of h_probe_code; 0 when h_probe is 0 */
    ULong h_probe_mask;    /* 2^(8 x h_probe) - 1, all ones for 8; 0 when h_probe is 0 */
    UShort h_nbits;        /* width of an h_fun entry, 1..32 */
    void* h_fun;           /* h_size + 1 packed entries of h_nbits bits, indexed by vertex */
    size_t h_fun_size;     /* bytes of h_fun (whole 64-bit words) */
    void* h_file;          /* the image the tables point into; NULL for a built record */
    size_t h_file_size;    /* bytes of that image; 0 for a built record */
} HashDict;

/* Gives key idx: stores the address of its bytes through bytes and returns its length. It must
 * give the same bytes for an index every time it is asked, and never store NULL; the bytes need
 * stay valid only until the next call. */
typedef UShort (*DictKeyFun)(void* dict, Id idx, const UByte** bytes);
/* Gives the value that lookups of key idx are to return; the same every time, below 2^nbits. */
typedef Id (*DictValFun)(void* dict, Id idx);

/* ---- construction and lookup ------------------------------------------------------------------ */

/* Builds the dictionary of the nentries keys (at most HASHDICT_MAX_ENTRIES) that key gives for
 * indices 0 to nentries - 1. Lookups of key i return i, or val(dict, i) when val is not NULL; dict
 * is passed to both callbacks unchanged. nbits is the width of val's values (1 to 32; with val
 * NULL it is unused but must not exceed 32). probe (0 to 8, and 0 when val is given) is the number
 * of check bytes per key. With verbose, progress is reported through the message service.
 *
 * The result depends only on the keys and their order: the same list gives the same image on
 * every run, whatever else the process draws from random(). The key callback is called about
 * nentries times per construction attempt (usually one) plus a few passes more; keep it cheap.
 * Never returns NULL: see Failure above. Release the result with HashDictFree. */
ZK_EXPORT HashDict* HashDictBuild(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits, UByte probe,
                                  Boolean verbose);

/* The key's index (or the value it was built with), or HASHDICT_NOT_FOUND when the key is longer
 * than every listed key, holds a byte value no listed key holds, or fails the check bytes. A
 * negative len counts as 0. Allocates nothing; safe from any number of threads. */
ZK_EXPORT Id HashDictFind(const HashDict* hdict, const void* bytes, int len);

/* The number of keys. */
ZK_EXPORT Id HashDictSize(const HashDict* hdict);
/* The length of the longest key. */
ZK_EXPORT UShort HashDictMaxLength(const HashDict* hdict);

/* Releases a record made by HashDictBuild and its tables. NULL is ignored. */
ZK_EXPORT void HashDictFree(HashDict* hdict);
/* Releases a record made by HashDictMMRead; the caller's image is left alone. NULL is ignored. */
ZK_EXPORT void HashDictMMFree(HashDict* hdict);

/* ---- packed arrays ---------------------------------------------------------------------------- */

/* A zero-filled block for nvalues unsigned values of at most maxvalue each, packed back to back at
 * the smallest width that holds maxvalue: floor(log2(maxvalue)) + 1 bits, and 1 bit for 0. This is
 * the layout of h_fun. The block is 64-bit words in host order read as one bit string, bit j being
 * bit j mod 64 of word j / 64; value i occupies bits i x width to i x width + width - 1, least
 * significant bit first, so a value spans at most two words. The width is stored through nbits and
 * the block's size in bytes (whole words) through size, each when not NULL. With nvalues 0 the
 * block may be NULL; any other failure to get memory stops the process on the assertion
 * "nvalues == 0 || ptr != NULL", so a result never needs checking. Release the block with
 * AnonArrayFree_. ArrayNew passes the caller's source position, which failure reports name. */
ZK_EXPORT void* ArrayNew_(ULong nvalues, ULong maxvalue, UShort* nbits, size_t* size, const char* path, int line);
#define ArrayNew(nvalues, maxvalue, nbits, size) ArrayNew_((nvalues), (maxvalue), (nbits), (size), __FILE__, __LINE__)

/* ---- images ----------------------------------------------------------------------------------- */

/* The length of the record's image in bytes. */
ZK_EXPORT size_t HashDictFileSize(const HashDict* hdict);

/* Writes the image to f, every element byte-reversed when swap is TRUE. FALSE at the first failed
 * write, with errno set; the channel may then hold part of the image. */
ZK_EXPORT Boolean HashDictFileWrite_(const HashDict* hdict, Channel* f, Boolean swap);
/* Writes the image's length in 4 bytes (reversed with swap), then the image. An image of 4 GiB or
 * more cannot be described by the length and is refused with errno EFBIG before anything is
 * written. */
ZK_EXPORT Boolean HashDictFileWrite(const HashDict* hdict, Channel* f, Boolean swap);

/* Writes the image to the file dir/name.suffix (suffix NULL: HASHDICT_SUFFIX; dir NULL or empty:
 * the current directory) and makes it durable. The file is written under a temporary name in the
 * same directory and renamed over the target only when complete and synced, so readers see the
 * old file or the new one, never a mixture. FALSE with errno set on failure; the old file, if any,
 * is then untouched (unless only the final sync of the directory failed, after which the new file
 * is in place but may not survive a crash) and no temporary file is left behind. A path of more
 * than 1024 characters fails with ENAMETOOLONG. An existing file keeps its permission bits. */
ZK_EXPORT Boolean HashDictWrite(const HashDict* hdict, const char* dir, const char* name, const char* suffix,
                                Boolean swap);

/* Appends the image to a memory image that the caller composes on f: zero bytes up to the next
 * multiple of 8 of the running count *writtenSize, the image length in 8 bytes, then the image.
 * *writtenSize counts bytes from the start of the memory image, the same start that HashDictMMRead
 * later receives as base; it is advanced by what was written. On failure (FALSE, errno set) the
 * count may already include the padding and the length bytes. */
ZK_EXPORT Boolean HashDictMMWrite(const HashDict* hdict, Channel* f, size_t* writtenSize);
/* The same, with the length and every image element byte-reversed. */
ZK_EXPORT Boolean HashDictMMWriteSwapped(const HashDict* hdict, Channel* f, size_t* writtenSize);

/* Maps dir/name.suffix (suffix NULL: HASHDICT_SUFFIX) read-only and opens the image in it. NULL with
 * errno set when the file is missing, unreadable, empty or not a sound image (EINVAL). The record
 * is valid until HashDictClose; the file must not be truncated while it is mapped. */
ZK_EXPORT HashDict* HashDictOpen(const char* dir, const char* name, const char* suffix);
/* Reads one length-prefixed image from f into a block the record owns, and stores the record
 * through hdictPtr. FALSE, with NULL stored and errno set, when the channel fails or ends early
 * (EINVAL) or the image is not sound (EINVAL). Memory grows with the bytes that actually arrive,
 * so a corrupt length cannot make it allocate much more than the stream holds. Release the record
 * with HashDictMemClose. */
ZK_EXPORT Boolean HashDictFileRead(HashDict** hdictPtr, Channel* f);
/* Opens the next image of a memory image in place. base is the start of the memory image (8-byte
 * aligned), *from the read cursor, end the end of the readable data. Skips the padding up to the
 * next multiple of 8 from base, reads the 8-byte length and opens the image that follows; on
 * success stores the record through hdictPtr, leaves *from just past the image and returns TRUE.
 * FALSE (errno EINVAL) when the data ends early or the image is not sound; *from may then have
 * moved past the padding or the length, and NULL is stored. The record points into the memory
 * image, which must outlive it; release it with HashDictMMFree. */
ZK_EXPORT Boolean HashDictMMRead(HashDict** hdictPtr, const UByte* base, const UByte** from, const UByte* end);

/* Releases a record made by HashDictOpen and unmaps its file. TRUE exactly when the unmapping
 * succeeded; errno is then 0, else what the unmapping set. The record is released either way. */
ZK_EXPORT Boolean HashDictClose(HashDict* hdict);
/* Releases a record made by HashDictFileRead and its block. Returns TRUE. */
ZK_EXPORT Boolean HashDictMemClose(HashDict* hdict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHDICT_H */
