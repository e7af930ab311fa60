/**
 * @file zklib/zklib.h
 * @brief The base runtime layer under libzkdict.
 *
 * Scalar types, allocation that never fails quietly, anonymous and file mappings, growable arrays,
 * buffered file channels, thin pthread wrappers, the wall clock, fingerprints, primes, sorting, and
 * the message service through which every library in the platform reports progress and failure.
 *
 * @par Ownership
 * Every block a function here returns belongs to the caller and goes back through the
 * matching release call (Allocate_ / UnAllocate_, MemoryMap_ / MemoryUnmap_, FileMapRead /
 * FileUnmap, ChannelNew / ChannelClose, AnonArrayGrow_ / AnonArrayFree_).
 *
 * @par Failure
 * Calls that return Boolean give FALSE and leave errno set; calls that return a pointer give
 * NULL, except Allocate_, which never returns NULL (exhaustion is a severity-4 report).
 *
 * @par Messages
 * A report is a context (ZKSetMessageContext2_) followed by a text (ZKMessage_ or
 * ZKErrorRethrow_). Severity 2 is progress, 3 an error the caller survives, 4 a fatal failure: after
 * the handler has seen a severity-4 report through ZKMessage_, the process aborts, whatever the
 * handler did. ZKErrorRethrow_ returns at any severity. The default handler writes one line to
 * stderr, labelled "fatal: " only for the reports that end the process and "error: " for the other
 * reports of severity 3 or 4; ZKSetMessageHandler reroutes reports (for a client's own log, or a
 * test that captures them). The context is per thread, so threads may report concurrently.
 *
 * @par Threads
 * Everything here may be called from any thread; a Channel or an array is used by one
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

/**
 * @def ZK_EXPORT
 * @brief Marks a declaration as part of the libraries' exported interface (default visibility under
 * GCC and Clang, nothing elsewhere).
 */
#if defined(__GNUC__)
#define ZK_EXPORT __attribute__((visibility("default")))
#else
#define ZK_EXPORT
#endif

/**
 * @def ZK_PRINTF(fmt, args)
 * @brief Lets GCC and Clang check a printf-style call's arguments against its format.
 * @param fmt  position (from 1) of the format parameter
 * @param args position of the first argument the format consumes
 */
#if defined(__GNUC__)
#define ZK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZK_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- scalar types ---------------------------------------------------------------------------- */

/** @brief A truth value: FALSE is 0, TRUE is 1; any non-zero value reads as true. */
typedef int Boolean;
#ifndef TRUE
/** @brief The Boolean true. */
#define TRUE 1
#endif
#ifndef FALSE
/** @brief The Boolean false. */
#define FALSE 0
#endif

/** @brief An unsigned 8-bit byte. */
typedef uint8_t UByte;
/** @brief A signed 16-bit integer. */
typedef int16_t Short;
/** @brief An unsigned 16-bit integer. */
typedef uint16_t UShort;
/** @brief A signed 32-bit integer. */
typedef int32_t Int;
/** @brief An unsigned 32-bit integer. */
typedef uint32_t UInt;
/** @brief An unsigned 64-bit integer. */
typedef uint64_t ULong;
typedef UInt Id;     /**< a dense identifier */
typedef ULong FPrint; /**< a 64-bit fingerprint of a byte string */

/** @brief The largest UInt, 2^32 - 1. */
#define UINT_MAX_VALUE 0xFFFFFFFFu

/* ---- assertions -------------------------------------------------------------------------------- */

/**
 * @brief Always-on precondition check: the failure path of ZK_ASSERT.
 *
 * It reports exactly as the C library's assert does (condition text, source path, line, function)
 * and aborts, but it does not vanish under NDEBUG.
 *
 * @param condition the text of the condition that failed
 * @param path      source path of the check
 * @param line      source line of the check
 * @param function  name of the function holding the check
 * @note Never returns: the process aborts.
 */
ZK_EXPORT void ZKAssertFail_(const char* condition, const char* path, int line, const char* function)
    __attribute__((noreturn));

#ifdef __cplusplus
#define ZK_ASSERT_FUNCTION __PRETTY_FUNCTION__ /**< what assert names in C++: the full signature */
#else
#define ZK_ASSERT_FUNCTION __func__
#endif
/**
 * @brief Always-on assertion: when cond is false, reports it as assert does and aborts, NDEBUG or
 * not (see ZKAssertFail_).
 * @param cond the condition that must hold
 */
#define ZK_ASSERT(cond) \
    ((cond) ? (void)0 : ZKAssertFail_(#cond, __FILE__, __LINE__, ZK_ASSERT_FUNCTION))

/* ---- memory ------------------------------------------------------------------------------------ */

/**
 * @brief A new block of size bytes (old NULL), or old resized with its contents kept.
 *
 * @param size bytes wanted; 0 gives a valid, unusable block
 * @param old  a block from Allocate_ to resize, or NULL for a new one
 * @param path source path of the caller, named by an exhaustion report
 * @param line source line of the caller
 * @return the block, 8-byte aligned; never NULL.
 * @note Exhaustion is a severity-4 report: the process stops.
 */
ZK_EXPORT void* Allocate_(size_t size, void* old, const char* path, int line);
/**
 * @brief Releases a block from Allocate_; NULL is ignored.
 * @param block the block, or NULL
 * @param path  source path of the caller (no report is made)
 * @param line  source line of the caller
 */
ZK_EXPORT void UnAllocate_(void* block, const char* path, int line);

/**
 * @brief Zero-filled anonymous private pages of at least size bytes.
 * @param size bytes wanted
 * @param path source path of the caller (no report is made)
 * @param line source line of the caller
 * @return the mapping, or NULL with errno set.
 */
ZK_EXPORT void* MemoryMap_(size_t size, const char* path, int line);
/**
 * @brief Resizes a mapping from MemoryMap_ (it may move).
 *
 * Contents up to the smaller size are kept and any new tail is zero-filled.
 *
 * @param block   the mapping
 * @param oldSize its size in bytes
 * @param newSize the size wanted
 * @param path    source path of the caller
 * @param line    source line of the caller
 * @return the resized mapping, or NULL with errno set on failure; the old mapping is then untouched.
 */
ZK_EXPORT void* MemoryRemap_(void* block, size_t oldSize, size_t newSize, const char* path, int line);
/**
 * @brief Releases a mapping of size bytes.
 * @param block the mapping
 * @param size  its size in bytes
 * @param path  source path of the caller (no report is made)
 * @param line  source line of the caller
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean MemoryUnmap_(void* block, size_t size, const char* path, int line);

/** @brief Allocate_ at the caller's position. @param size bytes wanted @param old block to resize, or NULL */
#define Allocate(size, old) Allocate_((size), (old), __FILE__, __LINE__)
/** @brief UnAllocate_ at the caller's position. @param block the block, or NULL */
#define UnAllocate(block) UnAllocate_((block), __FILE__, __LINE__)
/** @brief MemoryMap_ at the caller's position. @param size bytes wanted */
#define MemoryMap(size) MemoryMap_((size), __FILE__, __LINE__)
/**
 * @brief MemoryRemap_ at the caller's position.
 * @param block the mapping @param oldSize its size @param newSize the size wanted
 */
#define MemoryRemap(block, oldSize, newSize) MemoryRemap_((block), (oldSize), (newSize), __FILE__, __LINE__)
/** @brief MemoryUnmap_ at the caller's position. @param block the mapping @param size its size */
#define MemoryUnmap(block, size) MemoryUnmap_((block), (size), __FILE__, __LINE__)

/**
 * @brief Maps the regular file dir/name read-only.
 *
 * @param[in]  dir   directory, or NULL or empty for name alone
 * @param[in]  name  file name (a path when dir is NULL or empty)
 * @param[out] size  receives the file's length
 * @param[out] empty receives TRUE for a zero-length file, FALSE otherwise
 * @return the mapping, or NULL on failure with errno set; a zero-length file also gives NULL, with
 *         *empty set to TRUE. Anything but a regular file is refused before it is opened, and the
 *         open never blocks (a FIFO waits for no writer): errno ENODEV for a device, EINVAL for a
 *         directory, FIFO or socket.
 */
ZK_EXPORT void* FileMapRead(const char* dir, const char* name, size_t* size, Boolean* empty);
/**
 * @brief Releases a mapping from FileMapRead.
 * @param block the mapping
 * @param size  its length, as FileMapRead stored it
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean FileUnmap(void* block, size_t size);

/* ---- growable arrays --------------------------------------------------------------------------- */

/**
 * @brief A growable array of UInt.
 *
 * Every growable array has exactly this shape: element pointer, 32-bit length, 32-bit capacity.
 * The generic functions below take a pointer to any of them.
 */
typedef struct {
    UInt* data;    /**< capacity elements, the first length in use; NULL when capacity is 0 */
    UInt length;   /**< elements in use */
    UInt capacity; /**< elements allocated */
} UIntArray;

/** @brief A growable array of bytes, of the same shape as UIntArray. */
typedef struct {
    UByte* data;   /**< capacity bytes, the first length in use; NULL when capacity is 0 */
    UInt length;   /**< bytes in use */
    UInt capacity; /**< bytes allocated */
} UByteArray;

/** @brief The largest capacity an array may reach. */
#define ZK_ARRAY_MAX_CAPACITY 0x7FFFFFFFu

/**
 * @brief Makes an array empty: data NULL, length 0, capacity 0.
 * @param[out] array any growable array (UIntArray, UByteArray, ...)
 */
ZK_EXPORT void ArrayInit_(void* array);
/**
 * @brief Releases the elements; the array is empty again.
 * @param array any growable array
 */
ZK_EXPORT void ArrayFree_(void* array);
/**
 * @brief Makes capacity exceed length (called when they are equal).
 * @param array    any growable array
 * @param elemSize bytes per element
 * @param path     source path of the caller, named by a failure report
 * @param line     source line of the caller
 * @note Growing past ZK_ARRAY_MAX_CAPACITY is a severity-4 report.
 */
ZK_EXPORT void ArrayGrow_(void* array, size_t elemSize, const char* path, int line);
/**
 * @brief The capacity to grow to from capacity so that need elements fit: geometric, never below
 * need, never above bound.
 * @param capacity the current capacity
 * @param need     elements that must fit
 * @param bound    the largest capacity allowed
 * @return the new capacity.
 * @note A need above bound is a severity-4 report.
 */
ZK_EXPORT UInt ArrayNextSize(UInt capacity, UInt need, UInt bound);
/**
 * @brief Sets the capacity to exactly capacity elements; the length is cut to it when longer.
 * @param array    any growable array
 * @param capacity elements to allocate
 * @param elemSize bytes per element
 * @param path     source path of the caller, named by a failure report
 * @param line     source line of the caller
 */
ZK_EXPORT void ArrayGrowExact_(void* array, UInt capacity, size_t elemSize, const char* path, int line);

/** @brief ArrayGrow_ at the caller's position. @param array any growable array @param elemSize bytes per element */
#define ArrayGrow(array, elemSize) ArrayGrow_((array), (elemSize), __FILE__, __LINE__)
/**
 * @brief ArrayGrowExact_ at the caller's position.
 * @param array any growable array @param capacity elements to allocate @param elemSize bytes per element
 */
#define ArrayGrowExact(array, capacity, elemSize) \
    ArrayGrowExact_((array), (capacity), (elemSize), __FILE__, __LINE__)

/**
 * @brief A block of wordSize-byte words that holds nvalues packed values of width bits.
 *
 * At least ceil(nvalues * width / (8 * wordSize)) words, zero-filled. With old set, old is resized:
 * its first *size bytes are kept and the rest is zeroed.
 *
 * @param wordSize  bytes per word
 * @param old       a block from AnonArrayGrow_ to resize, or NULL for a new one
 * @param nvalues   values the block must hold; 0 releases old
 * @param width     bits per value
 * @param[in,out] size with old set, the bytes of old to keep; receives the block's byte size (a
 *                  multiple of wordSize) when not NULL
 * @param path      source path of the caller (no report is made)
 * @param line      source line of the caller
 * @return the block; NULL with size 0 when nvalues is 0; NULL with errno ENOMEM when the block
 *         cannot be had (old is then untouched).
 */
ZK_EXPORT void* AnonArrayGrow_(size_t wordSize, void* old, ULong nvalues, UShort width, size_t* size,
                               const char* path, int line);
/**
 * @brief Releases a block from AnonArrayGrow_; NULL is ignored.
 * @param block the block, or NULL
 * @param path  source path of the caller (no report is made)
 * @param line  source line of the caller
 */
ZK_EXPORT void AnonArrayFree_(void* block, const char* path, int line);

/* ---- channels ---------------------------------------------------------------------------------- */

/**
 * @brief A buffered channel on a file descriptor.
 *
 * Writes collect in an output buffer until it fills or the channel is flushed; reads are served
 * from an input buffer.
 */
typedef struct Channel Channel;

/**
 * @brief A channel not yet open.
 * @param readTimeout  milliseconds (-1 for none) that each wait for the descriptor to become
 *                     readable may last
 * @param writeTimeout the same for each wait to become writable
 * @return the channel; release it with ChannelClose.
 * @note An expired wait fails with errno ETIMEDOUT.
 */
ZK_EXPORT Channel* ChannelNew(int readTimeout, int writeTimeout);
/**
 * @brief Opens path: "r" for reading, "w" for writing (created with mode 0666 less the umask, or
 * truncated).
 * @param ch   a channel from ChannelNew, not yet open
 * @param path the file
 * @param mode "r" or "w"
 * @retval TRUE  when opened
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean ChannelOpenFile(Channel* ch, const char* path, const char* mode);
/**
 * @brief Opens a channel on the descriptor fd, already open for mode ("r" or "w").
 *
 * For descriptors that need flags ChannelOpenFile does not give, such as a file created
 * exclusively under a fresh name.
 *
 * @param ch   a channel from ChannelNew, not yet open
 * @param fd   the descriptor
 * @param mode "r" or "w"
 * @retval TRUE  when opened: the channel takes the descriptor over and closes it in ChannelClose
 * @retval FALSE on failure, errno set; the descriptor then stays the caller's
 */
ZK_EXPORT Boolean ChannelOpenFd(Channel* ch, int fd, const char* mode);
/**
 * @brief Appends count bytes.
 * @param ch    a channel open for writing
 * @param bytes the bytes
 * @param count how many
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean ChannelWriteBuf(Channel* ch, const void* bytes, size_t count);
/**
 * @brief Writes out the output buffer.
 * @param ch the channel
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean ChannelFlush(Channel* ch);
/**
 * @brief Flushes and syncs the file to disk.
 * @param ch the channel
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean ChannelSync(Channel* ch);
/**
 * @brief Flushes, closes and releases the channel (released even on failure).
 * @param ch the channel
 * @retval TRUE  on success
 * @retval FALSE on failure, with errno set
 */
ZK_EXPORT Boolean ChannelClose(Channel* ch);
/**
 * @brief Reads count bytes into buffer.
 * @param ch          a channel open for reading
 * @param[out] buffer room for count bytes
 * @param count       bytes wanted
 * @param[out] got    receives the number of bytes read, when not NULL
 * @retval 0  when all were read
 * @retval -1 otherwise: end of file, with errno 0, or an error with errno set
 */
ZK_EXPORT int ChannelReadBuf(Channel* ch, void* buffer, size_t count, size_t* got);
/**
 * @brief The next byte.
 * @param ch    a channel open for reading
 * @param flags reserved; must be 0 (anything else fails with errno EINVAL)
 * @return the byte (0 to 255).
 * @retval -1 at the end of the file
 * @retval -2 on an error (errno set)
 */
ZK_EXPORT int ChannelReadByte_(Channel* ch, int flags);

/* ---- threads ----------------------------------------------------------------------------------- */

/** @brief A mutex (a pthread mutex). */
typedef pthread_mutex_t Mutex;
/** @brief A condition variable (a pthread condition). */
typedef pthread_cond_t Condition;
/** @brief A thread (a pthread). */
typedef pthread_t Thread;

/**
 * @brief Initialises a mutex with default attributes.
 * @param[out] mutex the mutex
 * @note Failure is a severity-4 report.
 */
ZK_EXPORT void MutexInit(Mutex* mutex);
/**
 * @brief Destroys a mutex.
 * @param mutex the mutex, unlocked
 * @note Failure is a severity-3 report.
 */
ZK_EXPORT void MutexDestroy(Mutex* mutex);
/**
 * @brief Initialises a condition whose timed waits run on the monotonic clock, so that a change of
 * the wall clock neither cuts them short nor stretches them.
 * @param[out] cond the condition
 * @note Failure is a severity-4 report.
 */
ZK_EXPORT void ConditionInit(Condition* cond);
/**
 * @brief Destroys a condition.
 * @param cond the condition, with no waiter
 * @note Failure is a severity-3 report.
 */
ZK_EXPORT void ConditionDestroy(Condition* cond);
/**
 * @brief Wakes at least one waiter of the condition, if any.
 * @param cond the condition
 * @note Failure is a severity-4 report.
 */
ZK_EXPORT void ConditionSignal(Condition* cond);
/**
 * @brief Releases mutex, waits for the condition, and holds mutex again on return (possibly woken
 * spuriously).
 * @param cond  the condition
 * @param mutex the mutex, held by the caller
 * @note Failure is a severity-4 report.
 */
ZK_EXPORT void ConditionWait(Condition* cond, Mutex* mutex);
/**
 * @brief Waits at most ms milliseconds; the mutex is held again on return.
 * @param cond  the condition
 * @param mutex the mutex, held by the caller
 * @param ms    the longest wait, in milliseconds
 * @retval FALSE when the time ran out
 * @retval TRUE  when woken (possibly spuriously, as with any condition wait)
 * @note Any other failure is a severity-4 report.
 */
ZK_EXPORT Boolean ConditionTimedWait(Condition* cond, Mutex* mutex, ULong ms);
/**
 * @brief A running thread.
 * @param start the thread's function
 * @param arg   passed to start
 * @param flags reserved (0)
 * @param path  source path of the caller, named by a failure report
 * @param line  source line of the caller
 * @return the thread; join it with ThreadJoin.
 * @note Failure to start one is a severity-4 report.
 */
ZK_EXPORT Thread ThreadCreate_(void* (*start)(void*), void* arg, int flags, const char* path, int line);
/**
 * @brief Waits for the thread to end; its result is dropped.
 * @param thread a thread from ThreadCreate_, not yet joined
 * @note Failure is a severity-3 report.
 */
ZK_EXPORT void ThreadJoin(Thread thread);

/**
 * @brief ThreadCreate_ at the caller's position.
 * @param start the thread's function @param arg passed to start @param flags reserved (0)
 */
#define ThreadCreate(start, arg, flags) ThreadCreate_((start), (arg), (flags), __FILE__, __LINE__)

/* ---- time, hashing, primes, sorting ------------------------------------------------------------ */

/**
 * @brief The wall clock.
 * @return milliseconds since the epoch.
 */
ZK_EXPORT ULong GetCurrentTimeMilliseconds(void);
/**
 * @brief A well-mixed 64-bit hash of len bytes; the same on every platform.
 * @param bytes the bytes
 * @param len   how many
 * @return the fingerprint.
 */
ZK_EXPORT FPrint Fingerprint(const void* bytes, size_t len);
/**
 * @brief The smallest prime not below n, for n up to 4294967291 (the largest 32-bit prime).
 * @param n the lower bound
 * @return the prime; 2 for n below 2.
 * @note A larger n has no 32-bit answer and is a severity-4 report.
 */
ZK_EXPORT UInt Prime(UInt n);
/**
 * @brief Sorts count elements of size bytes in place.
 * @param base  the first element
 * @param count elements
 * @param size  bytes per element
 * @param cmp   receives two element pointers and arg; returns below, equal to or above 0
 * @param arg   passed to cmp
 */
ZK_EXPORT void QSort(void* base, size_t count, size_t size,
                     int (*cmp)(const void*, const void*, void*), void* arg);

/* ---- messages and errors ----------------------------------------------------------------------- */

/**
 * @brief Sets the calling thread's context for the next report.
 *
 * The report takes the context and resets it, so a context never carries over to a later report.
 *
 * @param path     source path
 * @param line     source line
 * @param module   module name
 * @param function function name
 * @param severity 2 progress, 3 error, 4 fatal
 * @param flag     passed through to the handler
 */
ZK_EXPORT void ZKSetMessageContext2_(const char* path, int line, const char* module, const char* function,
                                     int severity, int flag);
/**
 * @brief Reports the formatted text in the current context.
 * @param format a printf format, followed by its arguments
 * @note At severity 4 it never returns.
 */
ZK_EXPORT void ZKMessage_(const char* format, ...) ZK_PRINTF(1, 2);
/**
 * @brief Reports the formatted text followed by ": " and strerror(errno) in the current context,
 * and returns, whatever the severity.
 * @param format a printf format, followed by its arguments
 * @note errno is left as it was.
 */
ZK_EXPORT void ZKErrorRethrow_(const char* format, ...) ZK_PRINTF(1, 2);
/**
 * @brief Keeps the calling thread's pending error (errno) across a clean-up; ZKErrorRestore puts it
 * back.
 *
 * Saves nest: each ZKErrorRestore takes back the latest save not yet restored. Only the eight latest
 * are kept; a deeper nesting overwrites the outermost first.
 */
ZK_EXPORT void ZKErrorSave(void);
/**
 * @brief Puts back the errno of the latest ZKErrorSave not yet restored; without one, does nothing.
 */
ZK_EXPORT void ZKErrorRestore(void);
/**
 * @brief Reports "assertion failed: condition" at severity 3 when value is 0, and returns either
 * way.
 * @param condition the condition's text
 * @param path      source path of the check
 * @param line      source line of the check
 * @param value     the condition's value
 */
ZK_EXPORT void zkassert_(const char* condition, const char* path, int line, int value);

/**
 * @brief A soft check: reports the condition's text through zkassert_ when it is false, and goes on.
 * @param cond the condition
 */
#define zkassert(cond) zkassert_(#cond, __FILE__, __LINE__, (cond) ? 1 : 0)

/**
 * @brief Receives every report.
 *
 * The handler may run on any thread that reports.
 *
 * @param path     source path of the context
 * @param line     source line of the context
 * @param module   module name of the context
 * @param function function name of the context
 * @param severity 2 progress, 3 error, 4 fatal
 * @param flag     the context's flag
 * @param text     the formatted message; it and the names are valid only for the call
 */
typedef void (*ZKMessageHandler)(const char* path, int line, const char* module, const char* function,
                                 int severity, int flag, const char* text);
/**
 * @brief Installs handler.
 * @param handler the new handler; NULL restores the default stderr handler
 * @return the previous handler.
 */
ZK_EXPORT ZKMessageHandler ZKSetMessageHandler(ZKMessageHandler handler);

#ifdef __cplusplus
}
#endif

#endif /* ZKLIB_ZKLIB_H */
