/* A client written in C11 against the installed headers: proves the headers are plain C, that the
 * exported names link from C, and that the basic road of a hash table works through the ABI. */
#include <stdio.h>
#include <string.h>

#include "dict/hashdeltable.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "util/io.h"
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

static UInt count_entries(void* val, void* ptr) {
    (void)val;
    ++*(UInt*)ptr;
    return 0;
}

/* Keeps the entries whose value (their insertion number) is even. */
static Boolean even_value(void* val, void* ptr) {
    UInt v;
    (void)ptr;
    memcpy(&v, val, sizeof v);
    return v % 2 == 0;
}

/* Orders entries by their key bytes, a prefix first. */
static int by_key(const void* a, const void* b, void* ptr) {
    const HashTable* t = (const HashTable*)ptr;
    const UByte *ka, *kb;
    UInt la = HashTableKey(t, a, &ka), lb = HashTableKey(t, b, &kb);
    int c = memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : (int)la - (int)lb;
}

static int by_del_key(const void* a, const void* b, void* ptr) {
    const HashDelTable* t = (const HashDelTable*)ptr;
    const UByte *ka, *kb;
    UInt la = HashDelTableKey(t, a, &ka), lb = HashDelTableKey(t, b, &kb);
    int c = memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : (int)la - (int)lb;
}

/* The walks and the file of a table of 100 keys. */
static void hash_table_walks_and_file(void) {
    char key[32];
    UInt i, n = 0, visited = 0;
    const char* path = "c_client_table.tab";
    HashTable* t = HashTableNew(0, NULL, NULL, NULL, 4, 0, FALSE);
    HashTable* loaded;
    HashTableIterator* it;
    UIntArray array;
    for (i = 0; i < 100; i++) {
        int len = snprintf(key, sizeof key, "k%u", i);
        void* val;
        while ((val = HashTableFind(t, key, (UInt)len, TRUE, NULL, NULL)) == NULL) HashTableGrow(t, 2.0f, NULL);
        memcpy(val, &i, sizeof i);
    }
    CHECK(HashTableEnumerate(t, 0, count_entries, &visited) == 0 && visited == 100);
    for (it = HashTableIteratorInit(t); !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
        const UByte* k;
        UInt v;
        memcpy(&v, HashTableIteratorGetValue(it), sizeof v);
        CHECK(HashTableIteratorGetKey(it, &k) > 1 && k[0] == 'k' && v == n);
        n++;
    }
    HashTableIteratorFinalize(it);
    CHECK(n == 100);

    CHECK(HashTableWrite(t, path));
    loaded = HashTableRead(path, NULL, NULL, NULL, TRUE);
    remove(path);
    CHECK(loaded != NULL && HashTableSize(loaded) == 100);

    ArrayInit_(&array);
    CHECK(HashTableSelect(t, 0, even_value, NULL, &array) == 50 && array.length == 50);
    HashTableSort(t, by_key, t, &array);
    CHECK(memcmp(HashTableGetIndex(t, 0, &array), &(UInt){0}, sizeof(UInt)) == 0);
    CHECK(HashTableGetOffset(t, array.data[0]) == HashTableGetIndex(t, 0, &array));
    ArrayFree_(&array);
    HashTableFree(t);

    if (loaded != NULL) {
        CHECK(HashTableSelect(loaded, 10, NULL, NULL, NULL) == 10 && HashTableSize(loaded) == 10);
        HashTableSort(loaded, by_key, loaded, NULL);
        for (i = 1; i < 10; i++) CHECK(by_key(HashTableGetIndex(loaded, i - 1, NULL), HashTableGetIndex(loaded, i, NULL), loaded) < 0);
        HashTableFree(loaded);
    }
}

static void hash_del_table(void) {
    char key[32];
    UInt i, visited = 0;
    HashDelTable* t = HashDelTableNew(5, NULL, NULL, NULL, 8, 0);
    HashDelTable* copy;
    HashDelTable* read = HashDelTableNew(0, NULL, NULL, NULL, 8, 0);
    HashDelTable own;
    HashDelTableIterator* it;
    UByteArray form;
    UByte* cursor;
    for (i = 0; i < 200; i++) {
        int len = snprintf(key, sizeof key, "d%u", i);
        while (HashDelTableFind(t, key, (UInt)len, TRUE, NULL, NULL) == NULL) HashDelTableGrow(t, 2.0f, NULL);
        if (i % 2) CHECK(HashDelTableRemove(t, key, (UInt)len, NULL));
    }
    CHECK(HashDelTableSize(t) == 100 && HashDelTableCapacity(t) >= 100 && !HashDelTableFull(t));
    CHECK(HashDelTableFind(t, "d1", 2, FALSE, NULL, NULL) == NULL && !HashDelTableRemove(t, "d1", 2, NULL));

    ArrayInit_(&form);
    HashDelTableMemWrite(t, &form);
    cursor = form.data;
    CHECK(HashDelTableMemRead(read, &cursor, form.data + form.length) && cursor == form.data + form.length);
    CHECK(HashDelTableSize(read) == 100);
    cursor = form.data;
    CHECK(!HashDelTableMemRead(read, &cursor, form.data + form.length - 1) && cursor == form.data);
    ArrayFree_(&form);

    copy = HashDelTableCopy(t);
    CHECK(HashDelTableEnumerate(t, 0, count_entries, &visited) == 0 && visited == 100);
    visited = 0;
    for (it = HashDelTableIteratorInit(copy, NULL); !HashDelTableIteratorEnd(it); HashDelTableIteratorNext(it)) {
        const UByte* k;
        CHECK(HashDelTableIteratorGetKey(it, &k) >= 2 && k[0] == 'd' && HashDelTableIteratorGetValue(it) != NULL);
        visited++;
    }
    HashDelTableIteratorFinalize(it);
    CHECK(visited == 100);
    CHECK(HashDelTableSelect(copy, 0, NULL, NULL) == 100);
    HashDelTableSort(copy, by_del_key, copy);
    {
        const UByte* k;
        CHECK(HashDelTableKey(copy, HashDelTableGetIndex(copy, 0), &k) == 2 && memcmp(k, "d0", 2) == 0);
    }
    CHECK(HashDelTableGetOffset(copy, 0) == (void*)copy->t_data);
    HashDelTableClear(copy);
    CHECK(HashDelTableSize(copy) == 0 && HashDelTableFind(copy, "x", 1, TRUE, NULL, NULL) != NULL);

    HashDelTableInit(&own, 10, NULL, NULL, NULL, 0, 1);
    CHECK(HashDelTableFind(&own, "own", 3, TRUE, NULL, NULL) != NULL && HashDelTableSize(&own) == 1);
    UnAllocate(own.t_data);
    UnAllocate(own.t_entries);

    {
        UByteArray a;
        UByte* p;
        UInt v = 0;
        UByte b = 0;
        Boolean flag = FALSE;
        ArrayInit_(&a);
        UIntMemWrite(&a, 0x01020304u);
        UByteMemWrite(&a, 9);
        BooleanMemWrite(&a, TRUE);
        p = a.data;
        CHECK(UIntMemRead(&p, a.data + a.length, &v) && v == 0x01020304u);
        CHECK(UByteMemRead(&p, a.data + a.length, &b) && b == 9);
        CHECK(BooleanMemRead(&p, a.data + a.length, &flag) && flag);
        CHECK(!UByteMemRead(&p, a.data + a.length, &b));
        ArrayFree_(&a);
    }
    HashDelTableFree(copy);
    HashDelTableFree(read);
    HashDelTableFree(t);
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
    hash_table_walks_and_file();
    hash_del_table();
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
