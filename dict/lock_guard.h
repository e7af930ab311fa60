// lock_guard.h: scoped pthread mutex guards for the library's thread-safe structures.
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
#include <stdio.h>
#include <stdlib.h>

#include "zklib/zklib.h"

namespace zk {

// __builtin_FILE honours -fmacro-prefix-map as __FILE__ does, so reports name dict/zkcache.cpp.
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

inline void Lock(pthread_mutex_t* mutex, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                 const char* function = __builtin_FUNCTION()) {
    int rc = pthread_mutex_lock(mutex);
    if (rc != 0) LockFailed(rc, path, line, function);
}

// TRUE when taken, FALSE when another thread holds it; any other outcome is a failed lock.
inline bool TryLock(pthread_mutex_t* mutex, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                    const char* function = __builtin_FUNCTION()) {
    int rc = pthread_mutex_trylock(mutex);
    if (rc == 0) return true;
    if (rc != EBUSY) LockFailed(rc, path, line, function);
    return false;
}

inline void Unlock(pthread_mutex_t* mutex) {
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0) UnlockFailed(rc);
}

// Holds a mutex for its scope.
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t* mutex, const char* path = __builtin_FILE(), int line = __builtin_LINE(),
                       const char* function = __builtin_FUNCTION())
        : mutex_(mutex) {
        Lock(mutex_, path, line, function);
    }
    ~MutexLock() { Unlock(mutex_); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    pthread_mutex_t* mutex_;
};

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
