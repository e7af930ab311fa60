/*
 * zklib.h: the base runtime layer under libzkdict.
 *
 * Scalar types, allocation that never fails quietly, anonymous and file mappings, growable arrays,
 * buffered file channels, thin pthread wrappers, the wall clock, fingerprints, primes, sorting, and
 * the message service through which every library in the platform reports progress and failure.
 *
 * Ownership: every block a function here returns belongs to the caller and goes back through the
 * matching release call (Allocate_ / UnAllocate_, MemoryMap_ / MemoryUnmap_, FileMapRead /
 * FileUnmap, ChannelNew / ChannelClose, AnonArrayGrow_ / AnonArrayFree_).
 *
 * Failure: calls that return Boolean give FALSE and leave errno set; calls that return a pointer give
 * NULL, except Allocate_, which never returns NULL (exhaustion is a severity-4 report).
 *
 * Messages: a report is a context (ZKSetMessageContext2_) followed by a text (ZKMessage_ or
 * ZKErrorRethrow_). Severity 2 is progress, 3 an error the caller survives, 4 a fatal failure: after
 * the handler has seen a severity-4 report, the process aborts, whatever the handler did. The default
 * handler writes one line to stderr; ZKSetMessageHandler reroutes reports (for a client's own log, or
 * a test that captures them). The context is per thread, so threads may report concurrently.
 *
 * Threads: everything here may be called from any thread; a Channel or an array is used by one
 * thread at a time.
 *
 * Names ending in an underscore take the caller's source path and line, so that a report points at
 * the caller; the macros without the underscore fill them in.
 */
#ifndef ZKLIB_ZKLIB_H
#define ZKLIB_ZKLIB_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ZK_EXPORT __attribute__((visibility("default")))
#else
#define ZK_EXPORT
#endif

#if defined(__GNUC__)
#define ZK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZK_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- scalar types ---------------------------------------------------------------------------- */

typedef int Boolean;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef uint8_t UByte;
typedef int16_t Short;
typedef uint16_t UShort;
typedef int32_t Int;
typedef uint32_t UInt;
typedef uint64_t ULong;
typedef UInt Id;     /* a dense identifier */
typedef ULong FPrint; /* a 64-bit fingerprint of a byte string */

#define UINT_MAX_VALUE 0xFFFFFFFFu

/* ---- assertions -------------------------------------------------------------------------------- */

/* Always-on precondition check. It reports exactly as the C library's assert does (condition text,
 * source path, line, function) and aborts, but it does not vanish under NDEBUG. */
ZK_EXPORT void ZKAssertFail_(const char* condition, const char* path, int line, const char* function)
    __attribute__((noreturn));

#ifdef __cplusplus
#define ZK_ASSERT_FUNCTION __PRETTY_FUNCTION__ /* what assert names in C++: the full signature */
#else
#define ZK_ASSERT_FUNCTION __func__
#endif
#define ZK_ASSERT(cond) \
    ((cond) ? (void)0 : ZKAssertFail_(#cond, __FILE__, __LINE__, ZK_ASSERT_FUNCTION))

/* ---- memory ------------------------------------------------------------------------------------ */

/* A new block of size bytes (old NULL), or old resized with its contents kept. 8-byte aligned;
 * never NULL: exhaustion is a severity-4 report. A size of 0 gives a valid, unusable block. */
ZK_EXPORT void* Allocate_(size_t size, void* old, const char* path, int line);
/* Releases a block from Allocate_; NULL is ignored. */
ZK_EXPORT void UnAllocate_(void* block, const char* path, int line);

/* Zero-filled anonymous private pages of at least size bytes, or NULL with errno set. */
ZK_EXPORT void* MemoryMap_(size_t size, const char* path, int line);
/* Resizes a mapping from MemoryMap_ (it may move); contents up to the smaller size are kept and any
 * new tail is zero-filled. NULL with errno set on failure; the old mapping is then untouched. */
ZK_EXPORT void* MemoryRemap_(void* block, size_t oldSize, size_t newSize, const char* path, int line);
/* Releases a mapping of size bytes; TRUE on success. */
ZK_EXPORT Boolean MemoryUnmap_(void* block, size_t size, const char* path, int line);

#define Allocate(size, old) Allocate_((size), (old), __FILE__, __LINE__)
#define UnAllocate(block) UnAllocate_((block), __FILE__, __LINE__)
#define MemoryMap(size) MemoryMap_((size), __FILE__, __LINE__)
#define MemoryRemap(block, oldSize, newSize) MemoryRemap_((block), (oldSize), (newSize), __FILE__, __LINE__)
#define MemoryUnmap(block, size) MemoryUnmap_((block), (size), __FILE__, __LINE__)

/* Maps the regular file dir/name (name alone when dir is NULL or empty) read-only and stores its
 * length through size. NULL on failure with errno set; a zero-length file also gives NULL, with
 * *empty set to TRUE (it is FALSE otherwise). */
ZK_EXPORT void* FileMapRead(const char* dir, const char* name, size_t* size, Boolean* empty);
/* Releases a mapping from FileMapRead; TRUE on success. */
ZK_EXPORT Boolean FileUnmap(void* block, size_t size);

/* ---- growable arrays --------------------------------------------------------------------------- */

/* Every growable array has exactly this shape: element pointer, 32-bit length, 32-bit capacity.
 * The generic functions below take a pointer to any of them. */
typedef struct {
    UInt* data;    /* capacity elements, the first length in use; NULL when capacity is 0 */
    UInt length;   /* elements in use */
    UInt capacity; /* elements allocated */
} UIntArray;

typedef struct {
    UByte* data;   /* capacity bytes, the first length in use; NULL when capacity is 0 */
    UInt length;   /* bytes in use */
    UInt capacity; /* bytes allocated */
} UByteArray;

/* The largest capacity an array may reach. */
#define ZK_ARRAY_MAX_CAPACITY 0x7FFFFFFFu

/* Empty: data NULL, length 0, capacity 0. */
ZK_EXPORT void ArrayInit_(void* array);
/* Releases the elements; the array is empty again. */
ZK_EXPORT void ArrayFree_(void* array);
/* Makes capacity exceed length (called when they are equal). Growing past
 * ZK_ARRAY_MAX_CAPACITY is a severity-4 report. */
ZK_EXPORT void ArrayGrow_(void* array, size_t elemSize, const char* path, int line);
/* The capacity to grow to from capacity so that need elements fit: geometric, never below need,
 * never above bound. A need above bound is a severity-4 report. */
ZK_EXPORT UInt ArrayNextSize(UInt capacity, UInt need, UInt bound);
/* Sets the capacity to exactly capacity elements; the length is cut to it when longer. */
ZK_EXPORT void ArrayGrowExact_(void* array, UInt capacity, size_t elemSize, const char* path, int line);

#define ArrayGrow(array, elemSize) ArrayGrow_((array), (elemSize), __FILE__, __LINE__)
#define ArrayGrowExact(array, capacity, elemSize) \
    ArrayGrowExact_((array), (capacity), (elemSize), __FILE__, __LINE__)

/* A block of wordSize-byte words that holds nvalues packed values of width bits: at least
 * ceil(nvalues * width / (8 * wordSize)) words, zero-filled. With old set, old is resized: its first
 * *size bytes are kept and the rest is zeroed. The block's byte size (a multiple of wordSize) is
 * stored through size when size is not NULL. nvalues 0 releases old and gives NULL with size 0.
 * NULL with errno ENOMEM when the block cannot be had (old is then untouched). */
ZK_EXPORT void* AnonArrayGrow_(size_t wordSize, void* old, ULong nvalues, UShort width, size_t* size,
                               const char* path, int line);
/* Releases a block from AnonArrayGrow_; NULL is ignored. */
ZK_EXPORT void AnonArrayFree_(void* block, const char* path, int line);

/* ---- channels ---------------------------------------------------------------------------------- */

/* A buffered channel on a file descriptor. Writes collect in an output buffer until it fills or the
 * channel is flushed; reads are served from an input buffer. */
typedef struct Channel Channel;

/* A channel not yet open. The time-outs (milliseconds, -1 for none) bound each wait for the
 * descriptor to become readable or writable; an expired wait fails with errno ETIMEDOUT. */
ZK_EXPORT Channel* ChannelNew(int readTimeout, int writeTimeout);
/* Opens path: "r" for reading, "w" for writing (created with mode 0666 less the umask, or
 * truncated). TRUE when opened. */
ZK_EXPORT Boolean ChannelOpenFile(Channel* ch, const char* path, const char* mode);
/* Opens a channel on the descriptor fd, already open for mode ("r" or "w"). The channel takes the
 * descriptor over and closes it in ChannelClose; on failure (FALSE, errno set) it stays the
 * caller's. For descriptors that need flags ChannelOpenFile does not give, such as a file created
 * exclusively under a fresh name. */
ZK_EXPORT Boolean ChannelOpenFd(Channel* ch, int fd, const char* mode);
/* Appends count bytes; TRUE on success. */
ZK_EXPORT Boolean ChannelWriteBuf(Channel* ch, const void* bytes, size_t count);
/* Writes out the output buffer; TRUE on success. */
ZK_EXPORT Boolean ChannelFlush(Channel* ch);
/* Flushes and syncs the file to disk; TRUE on success. */
ZK_EXPORT Boolean ChannelSync(Channel* ch);
/* Flushes, closes and releases the channel (released even on failure); TRUE on success. */
ZK_EXPORT Boolean ChannelClose(Channel* ch);
/* Reads count bytes into buffer. Returns 0 when all were read; otherwise -1 (end of file, with errno
 * 0, or an error with errno set). The number of bytes read is stored through got when not NULL. */
ZK_EXPORT int ChannelReadBuf(Channel* ch, void* buffer, size_t count, size_t* got);
/* The next byte (0 to 255), or -1 at the end of the file, or -2 on an error (errno set). flags is
 * reserved and must be 0. */
ZK_EXPORT int ChannelReadByte_(Channel* ch, int flags);

/* ---- threads ----------------------------------------------------------------------------------- */

typedef pthread_mutex_t Mutex;
typedef pthread_cond_t Condition;
typedef pthread_t Thread;

ZK_EXPORT void MutexInit(Mutex* mutex);
ZK_EXPORT void MutexDestroy(Mutex* mutex);
ZK_EXPORT void ConditionInit(Condition* cond);
ZK_EXPORT void ConditionDestroy(Condition* cond);
ZK_EXPORT void ConditionSignal(Condition* cond);
ZK_EXPORT void ConditionWait(Condition* cond, Mutex* mutex);
/* Waits at most ms milliseconds; the mutex is held again on return. FALSE when the time ran out,
 * TRUE when woken (possibly spuriously, as with any condition wait). */
ZK_EXPORT Boolean ConditionTimedWait(Condition* cond, Mutex* mutex, ULong ms);
/* A running thread; failure to start one is a severity-4 report. flags is reserved (0). */
ZK_EXPORT Thread ThreadCreate_(void* (*start)(void*), void* arg, int flags, const char* path, int line);
ZK_EXPORT void ThreadJoin(Thread thread);

#define ThreadCreate(start, arg, flags) ThreadCreate_((start), (arg), (flags), __FILE__, __LINE__)

/* ---- time, hashing, primes, sorting ------------------------------------------------------------ */

/* Wall-clock milliseconds since the epoch. */
ZK_EXPORT ULong GetCurrentTimeMilliseconds(void);
/* A well-mixed 64-bit hash of len bytes; the same on every platform. */
ZK_EXPORT FPrint Fingerprint(const void* bytes, size_t len);
/* The smallest prime not below n, for n up to 4294967291 (the largest 32-bit prime); 2 for n below
 * 2. A larger n has no 32-bit answer and is a severity-4 report. */
ZK_EXPORT UInt Prime(UInt n);
/* Sorts count elements of size bytes in place; cmp receives two element pointers and arg. */
ZK_EXPORT void QSort(void* base, size_t count, size_t size,
                     int (*cmp)(const void*, const void*, void*), void* arg);

/* ---- messages and errors ----------------------------------------------------------------------- */

/* Sets the calling thread's context for the next report: source path and line, module and function
 * names, severity (2 progress, 3 error, 4 fatal) and a flag passed through to the handler. */
ZK_EXPORT void ZKSetMessageContext2_(const char* path, int line, const char* module, const char* function,
                                     int severity, int flag);
/* Reports the formatted text in the current context. At severity 4 it never returns. */
ZK_EXPORT void ZKMessage_(const char* format, ...) ZK_PRINTF(1, 2);
/* Reports the formatted text followed by ": " and strerror(errno) in the current context, and
 * returns, whatever the severity. errno is left as it was. */
ZK_EXPORT void ZKErrorRethrow_(const char* format, ...) ZK_PRINTF(1, 2);
/* Keeps the calling thread's pending error (errno) across a clean-up; ZKErrorRestore puts it back. */
ZK_EXPORT void ZKErrorSave(void);
ZK_EXPORT void ZKErrorRestore(void);
/* Reports "assertion failed: condition" at severity 3 when value is 0, and returns either way. */
ZK_EXPORT void zkassert_(const char* condition, const char* path, int line, int value);

/* A soft check: reports the condition's text through zkassert_ when it is false, and goes on. */
#define zkassert(cond) zkassert_(#cond, __FILE__, __LINE__, (cond) ? 1 : 0)

/* Receives every report. text is the formatted message; it and the names are valid only for the
 * call. The handler may run on any thread that reports. */
typedef void (*ZKMessageHandler)(const char* path, int line, const char* module, const char* function,
                                 int severity, int flag, const char* text);
/* Installs handler and returns the previous one; NULL restores the default stderr handler. */
ZK_EXPORT ZKMessageHandler ZKSetMessageHandler(ZKMessageHandler handler);

#ifdef __cplusplus
}
#endif

#endif /* ZKLIB_ZKLIB_H */
