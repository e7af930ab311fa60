// Fingerprints of byte strings.

#include "zklib/zklib.h"

#include <xxhash.h>

// XXH3 output is fixed by its format, not by the machine or the library build, so fingerprints
// stored in files stay valid everywhere.
extern "C" {

ZK_EXPORT FPrint Fingerprint(const void* bytes, size_t len) {
    ZK_ASSERT(bytes != NULL || len == 0);
    return XXH3_64bits(bytes, len);
}

}  // extern "C"
