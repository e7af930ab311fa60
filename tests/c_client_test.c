/* A client written in C11 against the installed headers: proves the headers are plain C, that the
 * exported names link from C, and that the basic road of a hash table works through the ABI. */
#include <stdio.h>
#include <string.h>

#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "util/io2.h"
#include "zklib/zklib.h"

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        checks++;                                                          \
        if (!(cond)) {                                                     \
            failures++;                                                    \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                  \
    } while (0)

static int reports = 0;
static void capture(const char* path, int line, const char* module, const char* function, int severity,
                    int flag, const char* text) {
    (void)path, (void)line, (void)module, (void)function, (void)severity, (void)flag, (void)text;
    reports++;
}

/* Counts creations; refuses keys that start with 'x'. */
static Boolean init_value(void* val, const UByte* bytes, UInt len, void* ptr) {
    if (len > 0 && bytes[0] == 'x') return FALSE;
    ++*(int*)ptr;
    memcpy(val, &len, sizeof len);
    return TRUE;
}

static const char* const fruits[] = {"apple", "pear", "plum", "fig"};
static UShort fruit_key(void* dict, Id idx, const UByte** bytes) {
    (void)dict;
    *bytes = (const UByte*)fruits[idx];
    return (UShort)strlen(fruits[idx]);
}

int main(void) {
    char key[32];
    int created = 0;
    UInt i;
    HashTable* t = HashTableNew(0, NULL, init_value, NULL, 8, 0, FALSE);

    ZKDictInit();
    for (i = 0; i < 1000; i++) {
        int n = snprintf(key, sizeof key, "key-%u", i);
        void* val;
        while ((val = HashTableFind(t, key, (UInt)n, TRUE, NULL, &created)) == NULL) {
            CHECK(HashTableFull(t));
            HashTableGrow(t, 2.0f, &created);
        }
    }
    CHECK(HashTableSize(t) == 1000 && created == 1000);
    for (i = 0; i < 1000; i++) {
        int n = snprintf(key, sizeof key, "key-%u", i);
        UInt off = 0, len;
        const UByte* stored;
        void* val = HashTableFind(t, key, (UInt)n, FALSE, &off, NULL);
        CHECK(val != NULL);
        if (val == NULL) continue;
        memcpy(&len, val, sizeof len);
        CHECK(len == (UInt)n);
        CHECK(HashTableKey(t, val, &stored) == (UInt)n && memcmp(stored, key, (size_t)n) == 0);
        CHECK(off % 8 == 0);
    }
    CHECK(HashTableFind(t, "xray", 4, TRUE, NULL, &created) == NULL && !HashTableFull(t));
    CHECK(HashTableFind(t, "absent", 6, FALSE, NULL, NULL) == NULL);

    {
        HashTable* copy = HashTableCopy(t);
        HashTableClear(t);
        CHECK(HashTableSize(t) == 0 && HashTableSize(copy) == 1000);
        CHECK(HashTableFind(copy, "key-7", 5, FALSE, NULL, NULL) != NULL);
        HashTableFree(copy);
    }
    HashTableFree(t);

    {
        UByte buf[8], *w = buf;
        const UByte* r = buf;
        UInt n;
        IO2_MemRefWrite4(&w, 300, &n);
        CHECK(n == 2 && buf[0] == 0x59 && buf[1] == 0x04 && IO2_MemRefReadChecked4(&r) == 300);
    }
    {
        HashDict* d = HashDictBuild(4, NULL, fruit_key, NULL, 0, 2, FALSE);
        for (i = 0; i < 4; i++) CHECK(HashDictFind(d, fruits[i], (int)strlen(fruits[i])) == i);
        CHECK(HashDictFind(d, "kiwi", 4) == HASHDICT_NOT_FOUND && HashDictSize(d) == 4);
        HashDictFree(d);
    }
    CHECK(HashBytes((const UByte*)"ab", 2) == 25283u);
    CHECK(Prime(150) == 151);

    ZKSetMessageHandler(capture);
    ZKSetMessageContext2_("tests/c_client_test.c", __LINE__, "client", "main", 2, 0);
    ZKMessage_("progress %d", 1);
    ZKSetMessageHandler(NULL);
    CHECK(reports == 1);

    printf("c client: %d passed, %d failed\n", checks - failures, failures);
    return failures != 0;
}
