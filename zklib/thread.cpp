// Mutexes, conditions and threads over pthreads.

#include "zklib/zklib.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// pthread calls return their error instead of setting errno. A failure here means a corrupt or
// misused object: the callers have no result to check, so it cannot be passed over in silence.
void Check(int rc, const char* function, const char* call, int severity, const char* path = __FILE__,
           int line = __LINE__) {
    if (rc == 0) {
        return;
    }
    char buffer[256];
    const char* reason = strerror_r(rc, buffer, sizeof buffer);
    ZKSetMessageContext2_(path, line, "zklib", function, severity, 0);
    ZKMessage_("%s failed: %s", call, reason);
}

constexpr int kError = 3;
constexpr int kFatal = 4;

}  // namespace

extern "C" {

ZK_EXPORT void MutexInit(Mutex* mutex) {
    Check(pthread_mutex_init(mutex, nullptr), "MutexInit", "pthread_mutex_init", kFatal);
}

ZK_EXPORT void MutexDestroy(Mutex* mutex) {
    Check(pthread_mutex_destroy(mutex), "MutexDestroy", "pthread_mutex_destroy", kError);
}

// Time-outs run on the monotonic clock, so a change of the wall clock neither cuts a wait short nor
// stretches it.
ZK_EXPORT void ConditionInit(Condition* cond) {
    pthread_condattr_t attr;
    Check(pthread_condattr_init(&attr), "ConditionInit", "pthread_condattr_init", kFatal);
    Check(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC), "ConditionInit", "pthread_condattr_setclock",
          kFatal);
    Check(pthread_cond_init(cond, &attr), "ConditionInit", "pthread_cond_init", kFatal);
    pthread_condattr_destroy(&attr);
}

ZK_EXPORT void ConditionDestroy(Condition* cond) {
    Check(pthread_cond_destroy(cond), "ConditionDestroy", "pthread_cond_destroy", kError);
}

ZK_EXPORT void ConditionSignal(Condition* cond) {
    Check(pthread_cond_signal(cond), "ConditionSignal", "pthread_cond_signal", kFatal);
}

ZK_EXPORT void ConditionWait(Condition* cond, Mutex* mutex) {
    Check(pthread_cond_wait(cond, mutex), "ConditionWait", "pthread_cond_wait", kFatal);
}

ZK_EXPORT Boolean ConditionTimedWait(Condition* cond, Mutex* mutex, ULong ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    // Even the longest wait, some 584 million years, leaves the deadline far inside time_t.
    static_assert(std::numeric_limits<ULong>::max() / 1000 < std::numeric_limits<time_t>::max() / 2);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    int rc = pthread_cond_timedwait(cond, mutex, &deadline);
    if (rc == ETIMEDOUT) {
        return FALSE;
    }
    Check(rc, "ConditionTimedWait", "pthread_cond_timedwait", kFatal);
    return TRUE;
}

ZK_EXPORT Thread ThreadCreate_(void* (*start)(void*), void* arg, int /*flags*/, const char* path, int line) {
    Thread thread;
    Check(pthread_create(&thread, nullptr, start, arg), "ThreadCreate", "pthread_create", kFatal, path, line);
    return thread;
}

ZK_EXPORT void ThreadJoin(Thread thread) {
    Check(pthread_join(thread, nullptr), "ThreadJoin", "pthread_join", kError);
}

}  // extern "C"
