// The library's own version, as the build that made it saw it.
#include "dict/zkdict_version.h"

extern "C" ZK_EXPORT const char* ZKDictVersion(void) { return ZKDICT_VERSION_STRING; }
