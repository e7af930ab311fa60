/* A static dictionary: keys to dense identifiers, saved as an image and mapped back in place. */
#include <stdio.h>
#include <string.h>

#include "dict/hashdict.h"

static const char* const kColours[] = {"red", "green", "blue", "cyan", "magenta", "yellow"};

static UShort colour(void* dict, Id idx, const UByte** bytes) {
    (void)dict;
    *bytes = (const UByte*)kColours[idx];
    return (UShort)strlen(kColours[idx]);
}

int main(void) {
    /* Two check bytes per key, so that words that were never keys are refused. */
    HashDict* built = HashDictBuild(6, NULL, colour, NULL, 0, 2, FALSE);
    if (!HashDictWrite(built, "/tmp", "zkdict_example_colours", NULL, FALSE)) {
        perror("HashDictWrite");
        return 1;
    }
    HashDictFree(built);

    HashDict* d = HashDictOpen("/tmp", "zkdict_example_colours", NULL);
    if (d == NULL) {
        perror("HashDictOpen");
        return 1;
    }
    const char* probes[] = {"blue", "yellow", "purple"};
    for (int i = 0; i < 3; ++i) {
        Id id = HashDictFind(d, probes[i], (int)strlen(probes[i]));
        if (id == HASHDICT_NOT_FOUND) {
            printf("%-7s not a key\n", probes[i]);
        } else {
            printf("%-7s id %u\n", probes[i], id);
        }
    }
    int ok = HashDictFind(d, "blue", 4) == 2 && HashDictFind(d, "purple", 6) == HASHDICT_NOT_FOUND;
    HashDictClose(d);
    remove("/tmp/zkdict_example_colours.dic");
    return ok ? 0 : 1;
}
