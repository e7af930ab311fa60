/**
 * @file dict/hashdict.h
 * @brief A static dictionary over a minimal perfect hash function.
 *
 * A HashDict is built once from a fixed list of distinct byte-string keys and never changes. Each
 * key hashes to three distinct vertices of a random 3-hypergraph; the three vertices' entries of a
 * packed function table combine by exclusive-or into the key's result: its position in the list,
 * or a value the caller chose for it. Lookup costs one pass over the key and three table reads, and
 * the whole dictionary is about 1.25 table entries of ceil(log2(nentries + 1)) bits per key plus
 * small fixed tables, because keys are not stored.
 *
 * @par Foreign keys
 * Without check bytes, a key that was not in the list may return any value, even the
 * index of another key; callers that cannot rule such keys out either confirm the match against
 * their own copy of the keys, or build with check bytes (probe 1 to 8), which reject a foreign key
 * unless its 8 x probe bits of check code happen to match.
 *
 * @par Images
 * A dictionary is saved as one contiguous image (layout below) and used in place when
 * opened; nothing is copied or converted. It travels as a file of its own (HashDictWrite /
 * HashDictOpen), as a length-prefixed image on a channel (HashDictFileWrite / HashDictFileRead), or
 * 8-byte aligned inside a larger memory image that the caller composes and maps
 * (HashDictMMWrite / HashDictMMRead). Every opener treats the bytes as untrusted: an image that
 * would make a lookup read outside it is refused with errno EINVAL, and nothing is left allocated.
 *
 * @verbatim
     offset  size  field
          0     4  h_nentries          number of keys
          4     4  h_size              number of vertices
          8     2  h_maxlen            longest key in bytes
         10     2  h_nbits             width of a function-table entry, 1..32
         12     2  h_nchars            distinct byte values in the keys, 0..256
         14     2  h_probe             check bytes per key, 0..8
         16     8  R = h_rank_size     \
         24     8  K = h_coef_size      | table sizes in bytes, each a multiple of 8
         32     8  F = h_fun_size       |
         40     8  P = h_probe_size    /
         48     R  rank table          256 signed 16-bit entries (the rest unused)
     48 + R     K  coefficients        3 x h_nchars x h_maxlen unsigned 32-bit entries
    +R+K        F  function table      64-bit words of h_size + 1 packed h_nbits-bit entries
    +R+K+F      P  check bytes         h_probe bytes per key; only when h_probe is not 0
   @endverbatim
 *
 * Every field and table element is in the writer's host order, or byte-reversed per element when
 * written swapped (for a host of the other byte order; check bytes are never reversed). There is no
 * magic number or checksum; an image must start at an 8-byte aligned address.
 *
 * @par Ownership and lifetime
 * Each way of making a record has its own destructor.
 * @verbatim
   HashDictBuild     -> HashDictFree      the record owns its tables
   HashDictOpen      -> HashDictClose     the tables point into a read-only file mapping
   HashDictFileRead  -> HashDictMemClose  the tables point into one block the record owns
   HashDictMMRead    -> HashDictMMFree    the tables point into the caller's image, which must
                                          outlive the record; only the record is released
   @endverbatim
 * Giving a record to another kind's destructor is a contract violation.
 *
 * @par Failure
 * HashDictBuild cannot fail quietly: wrong arguments and unstable callbacks are assertion
 * failures, and a key list that cannot be hashed (duplicate keys in particular) is a fatal report
 * "hdict: cannot generate". HashDictTryBuild takes the same arguments and never ends the process:
 * it returns NULL with errno set and says why in a HashDictBuildError, naming two equal keys when
 * that is the reason. Writers and openers return FALSE or NULL with errno set.
 *
 * @par Threads
 * A finished record is read-only; any number of threads may look keys up in it and write
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

/** @brief What HashDictFind returns for a key it rejects. */
#define HASHDICT_NOT_FOUND ((Id)0xFFFFFFFEu)

/** @brief The largest key count HashDictBuild accepts: 3 x nentries + 2 must fit in 32 bits. */
#define HASHDICT_MAX_ENTRIES ((Id)1431655764u)

/** @brief The default file-name suffix of HashDictWrite and HashDictOpen. */
#define HASHDICT_SUFFIX "dic"

/**
 * @brief A static dictionary: the header of its image and pointers to its tables.
 *
 * The fields are public so that the image layout and debuggers can name them; clients change none
 * of them and go through the functions below.
 */
typedef struct {
    Boolean h_created;     /**< TRUE: built here and owns its tables; FALSE: tables lie in h_file */
    Id h_nentries;         /**< number of keys */
    Id h_size;             /**< vertices, numbered 1..h_size: floor(1.25 x h_nentries) + 5 */
    UShort h_maxlen;       /**< length of the longest key; longer keys are rejected unread */
    UShort h_nchars;       /**< distinct byte values occurring in the keys, 0..256 */
    Short* h_rank;         /**< 256 entries: a byte's rank among those values, or -1 if it occurs in none */
    size_t h_rank_size;    /**< bytes of h_rank (whole 64-bit words) */
    Id* h_coef;            /**< per position and rank, a triple of coefficients below h_size */
    size_t h_coef_size;    /**< bytes of h_coef; 0 when there are no coefficients */
    UShort h_probe;        /**< check bytes per key, 0..8 */
    UByte* h_probe_code;   /**< h_probe check bytes for each key index; NULL when h_probe is 0 */
    size_t h_probe_size;   /**< bytes of h_probe_code; 0 when h_probe is 0 */
    ULong h_probe_mask;    /**< 2^(8 x h_probe) - 1, all ones for 8; 0 when h_probe is 0 */
    UShort h_nbits;        /**< width of an h_fun entry, 1..32 */
    void* h_fun;           /**< h_size + 1 packed entries of h_nbits bits, indexed by vertex */
    size_t h_fun_size;     /**< bytes of h_fun (whole 64-bit words) */
    void* h_file;          /**< the image the tables point into; NULL for a built record */
    size_t h_file_size;    /**< bytes of that image; 0 for a built record */
} HashDict;

/**
 * @brief Gives key idx of the list a dictionary is built from.
 *
 * It must give the same bytes for an index every time it is asked, and never store NULL; the bytes
 * need stay valid only until the next call.
 *
 * @param dict       the caller's context given to HashDictBuild
 * @param idx        the key's index, below nentries
 * @param[out] bytes receives the address of the key's bytes
 * @return the key's length.
 */
typedef UShort (*DictKeyFun)(void* dict, Id idx, const UByte** bytes);
/**
 * @brief Gives the value that lookups of key idx are to return; the same every time.
 * @param dict the caller's context given to HashDictBuild
 * @param idx  the key's index, below nentries
 * @return the value, below 2^nbits.
 */
typedef Id (*DictValFun)(void* dict, Id idx);

/* ---- construction and lookup ------------------------------------------------------------------ */

/**
 * @brief Builds the dictionary of the nentries keys that key gives for indices 0 to nentries - 1.
 *
 * The result depends only on the keys and their order: the same list gives the same image on
 * every run, whatever else the process draws from random(). The key callback is called about
 * nentries times per construction attempt (usually one) plus a few passes more; keep it cheap.
 *
 * @param nentries the number of keys, at most HASHDICT_MAX_ENTRIES
 * @param dict     passed to both callbacks unchanged
 * @param key      gives each key; not NULL
 * @param val      gives each key's value, or NULL: lookups of key i then return i
 * @param nbits    the width of val's values (1 to 32; with val NULL it is unused but must not
 *                 exceed 32)
 * @param probe    the number of check bytes per key, 0 to 8, and 0 when val is given
 * @param verbose  TRUE: progress is reported through the message service
 * @return the dictionary; never NULL (see Failure above). Release it with HashDictFree.
 * @pre The argument ranges above hold and key gives the same bytes every time, or the process stops
 *      on an assertion; a key list that cannot be hashed (duplicate keys in particular) is a fatal
 *      report "hdict: cannot generate".
 */
ZK_EXPORT HashDict* HashDictBuild(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits, UByte probe,
                                  Boolean verbose);

/** @brief Why HashDictTryBuild gave no dictionary. */
typedef enum {
    HASHDICT_ERROR_NONE = 0,            /**< no failure: the build succeeded */
    HASHDICT_ERROR_DUPLICATE = 1,       /**< two keys are equal (errno EEXIST) */
    HASHDICT_ERROR_CANNOT_GENERATE = 2, /**< no attempt of the attempt limit peeled (errno EAGAIN) */
    HASHDICT_ERROR_INVALID = 3          /**< an argument out of range, or a callback that gave NULL or
                                             changed its answer (errno EINVAL) */
} HashDictBuildErrorCode;

/** @brief The detail of a failed HashDictTryBuild. */
typedef struct {
    HashDictBuildErrorCode code; /**< why the build failed; HASHDICT_ERROR_NONE after a success */
    Id first;                    /**< HASHDICT_ERROR_DUPLICATE: the index of one of two equal keys */
    Id second;                   /**< HASHDICT_ERROR_DUPLICATE: the index of the other, above first */
} HashDictBuildError;

/**
 * @brief HashDictBuild that reports failure instead of ending the process.
 *
 * Takes the arguments of HashDictBuild and, on success, returns the same dictionary: its image is
 * byte for byte the one HashDictBuild gives for the same keys. Duplicate keys cost nothing while
 * there are none: equal keys land on the same three vertices and stop a peel, so they are looked
 * for only after a peel has failed, and confirmed by comparing the keys' bytes. Nothing is reported
 * through the message service except the progress that verbose asks for.
 *
 * @param nentries the number of keys, at most HASHDICT_MAX_ENTRIES
 * @param dict     passed to both callbacks unchanged
 * @param key      gives each key
 * @param val      gives each key's value, or NULL: lookups of key i then return i
 * @param nbits    the width of val's values (1 to 32; with val NULL it is unused but must not exceed
 *                 32)
 * @param probe    the number of check bytes per key, 0 to 8, and 0 when val is given
 * @param verbose  TRUE: progress is reported through the message service
 * @param[out] error when not NULL, receives the reason: code HASHDICT_ERROR_NONE after a success
 * @return the dictionary, released with HashDictFree; or NULL with errno set: EEXIST for two equal
 *         keys (their indices in error->first and error->second), EAGAIN when no attempt succeeded,
 *         EINVAL for an argument out of range (key NULL included), a key callback that stored NULL
 *         or changed its answer, or a value of val that does not fit in nbits bits.
 */
ZK_EXPORT HashDict* HashDictTryBuild(Id nentries, void* dict, DictKeyFun key, DictValFun val, UByte nbits,
                                     UByte probe, Boolean verbose, HashDictBuildError* error);

/**
 * @brief Looks a key up.
 * @param hdict the dictionary, not NULL
 * @param bytes the key bytes
 * @param len   the key length; a negative len counts as 0
 * @return the key's index (or the value it was built with), or HASHDICT_NOT_FOUND when the key is
 *         longer than every listed key, holds a byte value no listed key holds, or fails the check
 *         bytes. Without check bytes a key that was not listed may return any value.
 * @note Allocates nothing; safe from any number of threads.
 */
ZK_EXPORT Id HashDictFind(const HashDict* hdict, const void* bytes, int len);

/**
 * @brief The number of keys.
 * @param hdict the dictionary
 * @return the count.
 */
ZK_EXPORT Id HashDictSize(const HashDict* hdict);
/**
 * @brief The length of the longest key.
 * @param hdict the dictionary
 * @return the length in bytes.
 */
ZK_EXPORT UShort HashDictMaxLength(const HashDict* hdict);

/**
 * @brief Releases a record made by HashDictBuild and its tables. NULL is ignored.
 * @param hdict the record, or NULL
 * @pre The record was made by HashDictBuild, or the process stops on an assertion.
 */
ZK_EXPORT void HashDictFree(HashDict* hdict);
/**
 * @brief Releases a record made by HashDictMMRead; the caller's image is left alone. NULL is ignored.
 * @param hdict the record, or NULL
 * @pre The record was not made by HashDictBuild, or the process stops on an assertion.
 */
ZK_EXPORT void HashDictMMFree(HashDict* hdict);

/* ---- packed arrays ---------------------------------------------------------------------------- */

/**
 * @brief A zero-filled block for nvalues unsigned values of at most maxvalue each, packed back to
 * back at the smallest width that holds maxvalue: floor(log2(maxvalue)) + 1 bits, and 1 bit for 0.
 *
 * This is the layout of h_fun. The block is 64-bit words in host order read as one bit string, bit
 * j being bit j mod 64 of word j / 64; value i occupies bits i x width to i x width + width - 1,
 * least significant bit first, so a value spans at most two words.
 *
 * @param nvalues    the number of values
 * @param maxvalue   the largest value to hold
 * @param[out] nbits receives the width, when not NULL
 * @param[out] size  receives the block's size in bytes (whole words), when not NULL
 * @param path       source path of the caller, which failure reports name
 * @param line       source line of the caller
 * @return the block; with nvalues 0 it may be NULL. Release it with AnonArrayFree_.
 * @note Any other failure to get memory stops the process on the assertion
 *       "nvalues == 0 || ptr != NULL", so a result never needs checking.
 */
ZK_EXPORT void* ArrayNew_(ULong nvalues, ULong maxvalue, UShort* nbits, size_t* size, const char* path, int line);
/**
 * @brief ArrayNew_ at the caller's source position.
 * @param nvalues the number of values @param maxvalue the largest value @param nbits receives the
 * width @param size receives the byte size
 */
#define ArrayNew(nvalues, maxvalue, nbits, size) ArrayNew_((nvalues), (maxvalue), (nbits), (size), __FILE__, __LINE__)

/* ---- images ----------------------------------------------------------------------------------- */

/**
 * @brief The length of the record's image in bytes.
 * @param hdict the record, not NULL
 * @return the length.
 */
ZK_EXPORT size_t HashDictFileSize(const HashDict* hdict);

/**
 * @brief Writes the image to f, with no length in front.
 * @param hdict the record, not NULL
 * @param f     a channel open for writing
 * @param swap  TRUE: every element byte-reversed, for a host of the other byte order
 * @retval TRUE  when written
 * @retval FALSE at the first failed write, with errno set; the channel may then hold part of the
 *               image
 */
ZK_EXPORT Boolean HashDictFileWrite_(const HashDict* hdict, Channel* f, Boolean swap);
/**
 * @brief Writes the image's length in 4 bytes (reversed with swap), then the image.
 * @param hdict the record
 * @param f     a channel open for writing
 * @param swap  TRUE: the length and every element byte-reversed
 * @retval TRUE  when written
 * @retval FALSE with errno set: at the first failed write (the channel may hold part of it), or
 *               EFBIG before anything is written for an image of 4 GiB or more, which the length
 *               cannot describe
 */
ZK_EXPORT Boolean HashDictFileWrite(const HashDict* hdict, Channel* f, Boolean swap);

/**
 * @brief Writes the image to the file dir/name.suffix and makes it durable.
 *
 * The file is written under a temporary name in the same directory and renamed over the target only
 * when complete and synced, so readers see the old file or the new one, never a mixture. An
 * existing file keeps its permission bits.
 *
 * @param hdict  the record, not NULL
 * @param dir    the directory; NULL or empty: the current directory
 * @param name   the file name without suffix
 * @param suffix the suffix; NULL: HASHDICT_SUFFIX
 * @param swap   TRUE: every element byte-reversed, for a host of the other byte order
 * @retval TRUE  when the file is in place and synced
 * @retval FALSE with errno set on failure; the old file, if any, is then untouched (unless only the
 *               final sync of the directory failed, after which the new file is in place but may
 *               not survive a crash) and no temporary file is left behind. A path of more than 1024
 *               characters fails with ENAMETOOLONG.
 */
ZK_EXPORT Boolean HashDictWrite(const HashDict* hdict, const char* dir, const char* name, const char* suffix,
                                Boolean swap);

/**
 * @brief Appends the image to a memory image that the caller composes on f: zero bytes up to the
 * next multiple of 8 of the running count *writtenSize, the image length in 8 bytes, then the image.
 * @param hdict the record, not NULL
 * @param f     a channel open for writing
 * @param[in,out] writtenSize counts bytes from the start of the memory image, the same start that
 *              HashDictMMRead later receives as base; it is advanced by what was written. Not NULL.
 * @retval TRUE  when written
 * @retval FALSE with errno set; the count may already include the padding and the length bytes
 */
ZK_EXPORT Boolean HashDictMMWrite(const HashDict* hdict, Channel* f, size_t* writtenSize);
/**
 * @brief HashDictMMWrite with the length and every image element byte-reversed.
 * @param hdict the record, not NULL
 * @param f     a channel open for writing
 * @param[in,out] writtenSize the running count, as for HashDictMMWrite
 * @retval TRUE  when written
 * @retval FALSE with errno set, as for HashDictMMWrite
 */
ZK_EXPORT Boolean HashDictMMWriteSwapped(const HashDict* hdict, Channel* f, size_t* writtenSize);

/**
 * @brief Maps dir/name.suffix read-only and opens the image in it.
 * @param dir    the directory; NULL or empty: the current directory
 * @param name   the file name without suffix
 * @param suffix the suffix; NULL: HASHDICT_SUFFIX
 * @return the record, valid until HashDictClose; NULL with errno set when the file is missing,
 *         unreadable, empty or not a sound image (EINVAL), or not a regular file (ENODEV for a
 *         device, EINVAL otherwise; a FIFO is refused without waiting for a writer).
 * @warning The file must not be truncated while it is mapped (that ends the process with SIGBUS, as
 *          for any mapping). A file rewritten in place under an open dictionary gives wrong answers,
 *          but lookups still read only inside the mapping.
 */
ZK_EXPORT HashDict* HashDictOpen(const char* dir, const char* name, const char* suffix);
/**
 * @brief Reads one length-prefixed image from f into a block the record owns.
 *
 * Memory grows with the bytes that actually arrive, so a corrupt length cannot make it allocate
 * much more than the stream holds.
 *
 * @param[out] hdictPtr receives the record (release it with HashDictMemClose), or NULL on failure;
 *                      not NULL itself
 * @param f             a channel open for reading
 * @retval TRUE  when read
 * @retval FALSE with NULL stored and errno set, when the channel fails or ends early (EINVAL) or the
 *               image is not sound (EINVAL)
 */
ZK_EXPORT Boolean HashDictFileRead(HashDict** hdictPtr, Channel* f);
/**
 * @brief Opens the next image of a memory image in place.
 *
 * Skips the padding up to the next multiple of 8 from base, reads the 8-byte length and opens the
 * image that follows. The record points into the memory image, which must outlive it; release it
 * with HashDictMMFree.
 *
 * @param[out] hdictPtr receives the record, or NULL on failure; not NULL itself
 * @param base          the start of the memory image (8-byte aligned)
 * @param[in,out] from  the read cursor; not NULL
 * @param end           the end of the readable data
 * @retval TRUE  with the record stored and *from just past the image
 * @retval FALSE (errno EINVAL) when the data ends early or the image is not sound; *from may then
 *               have moved past the padding or the length, and NULL is stored
 */
ZK_EXPORT Boolean HashDictMMRead(HashDict** hdictPtr, const UByte* base, const UByte** from, const UByte* end);

/**
 * @brief Releases a record made by HashDictOpen and unmaps its file; the record is released either
 * way.
 * @param hdict the record
 * @retval TRUE  when the unmapping succeeded; errno is then 0
 * @retval FALSE otherwise, errno as the unmapping set it
 * @pre The record was made by HashDictOpen (not NULL, not built), or the process stops on an
 *      assertion.
 */
ZK_EXPORT Boolean HashDictClose(HashDict* hdict);
/**
 * @brief Releases a record made by HashDictFileRead and its block.
 * @param hdict the record
 * @return TRUE.
 * @pre The record was made by HashDictFileRead (not NULL, not built), or the process stops on an
 *      assertion.
 */
ZK_EXPORT Boolean HashDictMemClose(HashDict* hdict);

#ifdef __cplusplus
}
#endif

#endif /* ZKDICT_DICT_HASHDICT_H */
