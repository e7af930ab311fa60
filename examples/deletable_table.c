/* The hash table with deletion: sessions come and go, and the table keeps only the live ones. */
#include <stdio.h>
#include <string.h>

#include "dict/hashdeltable.h"

int main(void) {
    HashDelTable* t = HashDelTableNew(8, NULL, NULL, NULL, sizeof(ULong), 0);
    char key[32];
    for (ULong i = 0; i < 100; ++i) {
        snprintf(key, sizeof key, "session-%lu", (unsigned long)i);
        ULong* started;
        while ((started = HashDelTableFind(t, key, (UInt)strlen(key), TRUE, NULL, NULL)) == NULL) {
            HashDelTableGrow(t, 2.0f, NULL);
        }
        *started = 1000 + i;
        /* Every session but each tenth ends again. */
        if (i % 10 != 0) HashDelTableRemove(t, key, (UInt)strlen(key), NULL);
    }
    ULong* s = HashDelTableFind(t, "session-40", 10, FALSE, NULL, NULL);
    printf("%u live sessions; session-40 started at %lu, session-41 %s\n", HashDelTableSize(t),
           s ? (unsigned long)*s : 0ul, HashDelTableFind(t, "session-41", 10, FALSE, NULL, NULL) ? "live" : "gone");
    int ok = HashDelTableSize(t) == 10 && s != NULL && *s == 1040;
    HashDelTableFree(t);
    return ok ? 0 : 1;
}
