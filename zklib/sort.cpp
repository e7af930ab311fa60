// Sorting with a context argument.

#include "zklib/zklib.h"

#include <stdlib.h>

extern "C" {

ZK_EXPORT void QSort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*, void*),
                     void* arg) {
    if (count < 2) {
        return;
    }
    qsort_r(base, count, size, cmp, arg);
}

}  // extern "C"
