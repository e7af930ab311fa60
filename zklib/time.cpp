// The wall clock.

#include "zklib/zklib.h"

#include <time.h>

extern "C" {

ZK_EXPORT ULong GetCurrentTimeMilliseconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<ULong>(ts.tv_sec) * 1000u + static_cast<ULong>(ts.tv_nsec) / 1000000u;
}

}  // extern "C"
