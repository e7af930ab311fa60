/* The memory cache: values under string keys in a bounded area, shared by threads, with expiry. */
#include <stdio.h>
#include <string.h>

#include "dict/zkcache.h"

int main(void) {
    Cache* cache = ZKCacheNew(16u << 20); /* 16 MiB */
    if (cache == NULL) return 1;
    const char* value = "rendered page";
    if (!ZKCacheStore(cache, (const UByte*)"/index.html", (const UByte*)value, (UInt)strlen(value),
                      ZK_CACHE_NEVER_EXPIRES)) {
        printf("not stored (the collector makes room; a real client would retry later)\n");
    }
    char buf[64];
    UInt size = 0;
    Boolean hit = ZKCacheGetStatic(cache, (const UByte*)"/index.html", buf, sizeof buf, &size);
    printf("hit: %s, %u bytes: %.*s\n", hit ? "yes" : "no", size, (int)size, buf);
    UInt objects = 0;
    ZKCacheGetSize(cache, &objects, NULL);
    printf("%u object(s) cached\n", objects);
    int ok = hit && size == strlen(value);
    ZKCacheDelete(cache);
    return ok ? 0 : 1;
}
