// lock_guard.h: scoped lock guards, pthread mutexes first, for the library's thread-safe structures.
//
// A mutex that cannot be locked or unlocked means the memory holding it is corrupt or the lock
// discipline is broken; going on could hand out another thread's data. So a failed lock prints
// "pthread_mutex_lock failed" with the error and stops on the failed assertion "FALSE", reported at
// the caller's source line; a failed unlock prints "pthread_mutex_unlock failed" and exits with
// status 1. The guards make every path, early returns included, release what it took.
#ifndef ZKDICT_DICT_LOCK_GUARD_H
#define ZKDICT_DICT_LOCK_GUARD_H

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "zklib/zklib.h"

namespace zk {

// __builtin_FILE honours -fmacro-prefix-map as __FILE__ does, so reports name dict/zkcache_pages.cpp,
// not the path it was built from.
[[noreturn]] inline void LockFailed(int rc, const char* path, int line, const char* function) {
    errno = rc;
    perror("pthread_mutex_lock failed");
    ZKAssertFail_("FALSE", path, line, function);
}

[[noreturn]] inline void UnlockFailed(int rc) {
    errno = rc;
    perror("pthread_mutex_unlock failed");
    exit(1);
}

// With ZK_INJECT_SCHEDULE defined (a test build, never a release), every lock boundary may yield
// the processor or sleep for a moment, at random, so that the thread tests run through orders of
// events that an idle machine with two cores seldom produces: a lock taken just as another thread
// leaves, a reader parked between its lookup and its page lock, a collector overtaken mid-pass.
// ZK_INJECT_SEED in the environment varies the pattern between runs.
#ifdef ZK_INJECT_SCHEDULE
inline void LockBoundary() {
    thread_local unsigned long long state = [] {
        const char* seed = getenv("ZK_INJECT_SEED");
        unsigned long long s = seed != nullptr ? strtoull(seed, nullptr, 10) : 1;
        return (s + 1) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<unsigned long long>(&state);
    }();
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const unsigned roll = static_cast<unsigned>(state >> 40) & 1023u;
    if (roll < 96) {
        sched_yield();
    } else if (roll < 100) {
        usleep(static_cast<useconds_t>(state & 255u));
    }
}
#else
inline void LockBoundary() {}
#endif

inline void Lock(pthread_mutex_t* mutex, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                 const char* function = __builtin_FUNCTION()) {
    LockBoundary();
    int rc = pthread_mutex_lock(mutex);
    if (rc != 0) LockFailed(rc, path, line, function);
    LockBoundary();
}

// TRUE when taken, FALSE when another thread holds it; any other outcome is a failed lock.
inline bool TryLock(pthread_mutex_t* mutex, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                    const char* function = __builtin_FUNCTION()) {
    LockBoundary();
    int rc = pthread_mutex_trylock(mutex);
    if (rc == 0) {
        LockBoundary();
        return true;
    }
    if (rc != EBUSY) LockFailed(rc, path, line, function);
    return false;
}

inline void Unlock(pthread_mutex_t* mutex) {
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0) UnlockFailed(rc);
    LockBoundary();
}

// Holds a lock for its scope. What the lock is, Hold says: a small value whose Acquire(path, line,
// function) takes it, reporting a failure at the line that made the ScopedLock, and whose Release()
// lets it go.
template <class Hold>
class ScopedLock {
public:
    explicit ScopedLock(Hold hold, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                        const char* function = __builtin_FUNCTION())
        : hold_(hold) {
        hold_.Acquire(path, line, function);
    }
    ~ScopedLock() { hold_.Release(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Hold hold_;
};

// A pthread mutex; made from the mutex's address, so that MutexLock lock(&mutex) reads as it says.
struct MutexHold {
    MutexHold(pthread_mutex_t* held) : mutex(held) {}
    void Acquire(const char* path, int line, const char* function) { Lock(mutex, path, line, function); }
    void Release() { Unlock(mutex); }
    pthread_mutex_t* mutex;
};

// Holds a mutex for its scope.
using MutexLock = ScopedLock<MutexHold>;

// Owns a mutex that is already held (taken with TryLock, or handed over), or none; releases it at
// the end of its scope unless Release() gave it up first.
class HeldMutex {
public:
    HeldMutex() = default;
    explicit HeldMutex(pthread_mutex_t* held) : mutex_(held) {}
    ~HeldMutex() {
        if (mutex_ != nullptr) Unlock(mutex_);
    }
    HeldMutex(const HeldMutex&) = delete;
    HeldMutex& operator=(const HeldMutex&) = delete;

    bool Held() const { return mutex_ != nullptr; }
    void Adopt(pthread_mutex_t* held) {
        Release();
        mutex_ = held;
    }
    void Release() {
        if (mutex_ != nullptr) {
            Unlock(mutex_);
            mutex_ = nullptr;
        }
    }

private:
    pthread_mutex_t* mutex_ = nullptr;
};

}  // namespace zk

#endif  // ZKDICT_DICT_LOCK_GUARD_H
