/* The C API from a consumer's build: a static dictionary of four keys. */
#include <dict/hashdict.h>

#include <stdio.h>
#include <string.h>

static const char* const fruit[] = {"apple", "pear", "plum", "quince"};

static UShort fruit_key(void* dict, Id idx, const UByte** bytes) {
    (void)dict;
    *bytes = (const UByte*)fruit[idx];
    return (UShort)strlen(fruit[idx]);
}

/* Never called, and left to warn under -Wall -Wextra: with libzkdict's -Werror leaking into this
 * target, the consumer would not build. */
static int canary(int unused) { return 0; }

int main(void) {
    HashDict* dict = HashDictBuild(4, NULL, fruit_key, NULL, 0, 2, FALSE);
    int ok = HashDictFind(dict, "kiwi", 4) == HASHDICT_NOT_FOUND;
    for (Id i = 0; i < 4; i++) ok = ok && HashDictFind(dict, fruit[i], (int)strlen(fruit[i])) == i;
    HashDictFree(dict);
    puts(ok ? "C consumer ok" : "C consumer: wrong answers");
    return ok ? 0 : 1;
}
