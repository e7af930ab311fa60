/* A client written in C11 against the installed headers: proves the headers are plain C, that the
 * exported names link from C, and that the basic road of every family works through the ABI. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp, rmdir */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dict/attrdict.h"
#include "dict/avldict.h"
#include "dict/avlldict.h"
#include "dict/hashdeltable.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "dict/idmap.h"
#include "dict/rbdict.h"
#include "dict/zkcache.h"
#include "dict/zkdict_version.h"
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

/* Key i of a list of strings given as the context. */
static UShort listed_key(void* dict, Id idx, const UByte** bytes) {
    const char* const* keys = (const char* const*)dict;
    *bytes = (const UByte*)keys[idx];
    return (UShort)strlen(keys[idx]);
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

/* Orders two keys by their bytes, a prefix first. */
static int key_order(const UByte* ka, UInt la, const UByte* kb, UInt lb) {
    int c = memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : (int)la - (int)lb;
}

/* Orders entries by their keys. */
static int by_key(const void* a, const void* b, void* ptr) {
    const HashTable* t = (const HashTable*)ptr;
    const UByte *ka, *kb;
    UInt la = HashTableKey(t, a, &ka), lb = HashTableKey(t, b, &kb);
    return key_order(ka, la, kb, lb);
}

static int by_del_key(const void* a, const void* b, void* ptr) {
    const HashDelTable* t = (const HashDelTable*)ptr;
    const UByte *ka, *kb;
    UInt la = HashDelTableKey(t, a, &ka), lb = HashDelTableKey(t, b, &kb);
    return key_order(ka, la, kb, lb);
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
    {
        const void* keys[2] = {"k42", "k100"};
        const UInt lens[2] = {3, 4};
        void* vals[2];
        CHECK(HashTableFindMany(t, 2, keys, lens, vals, NULL) && vals[0] != NULL && vals[1] == NULL);
        CHECK(memcmp(vals[0], &(UInt){42}, sizeof(UInt)) == 0);
    }
    CHECK(HashTableEnumerate(t, 0, count_entries, &visited) == 0 && visited == 100);
    {
        HashTableIterator* half = NULL;
        UInt rest = 0;
        for (it = HashTableIteratorInit(t); !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
            const UByte* k;
            UInt v;
            memcpy(&v, HashTableIteratorGetValue(it), sizeof v);
            CHECK(HashTableIteratorGetKey(it, &k) > 1 && k[0] == 'k' && v == n);
            if (n == 60) half = HashTableIteratorCopy(it);
            n++;
        }
        HashTableIteratorFinalize(it);
        CHECK(n == 100 && half != NULL && HashTableIteratorCopy(NULL) == NULL);
        for (; !HashTableIteratorEnd(half); HashTableIteratorNext(half)) rest++;
        HashTableIteratorFinalize(half);
        CHECK(rest == 40);
    }

    CHECK(HashTableWrite(t, path));
    loaded = HashTableRead(path, NULL, NULL, NULL, TRUE);
    remove(path);
    CHECK(loaded != NULL && HashTableSize(loaded) == 100);
    {
        HashTable* again;
        CHECK(HashTableTryWrite(t, path));
        again = HashTableTryRead(path, NULL, NULL, NULL, FALSE);
        remove(path);
        CHECK(again != NULL && HashTableSize(again) == 100);
        HashTableFree(again);
        errno = 0;
        CHECK(HashTableTryRead(path, NULL, NULL, NULL, FALSE) == NULL && errno == ENOENT);
    }

    ArrayInit_(&array);
    CHECK(HashTableSelect(t, 0, even_value, NULL, &array) == 50 && array.length == 50);
    CHECK(HashTableValueSize(t) == 4 && HashTableKeySize(t) == 0 && !HashTableFrozen(t));
    HashTableSort(t, by_key, t, &array);
    CHECK(memcmp(HashTableGetIndex(t, 0, &array), &(UInt){0}, sizeof(UInt)) == 0);
    CHECK(HashTableGetOffset(t, array.data[0]) == HashTableGetIndex(t, 0, &array));
    ArrayFree_(&array);
    HashTableFree(t);

    if (loaded != NULL) {
        CHECK(HashTableSelect(loaded, 10, NULL, NULL, NULL) == 10 && HashTableSize(loaded) == 10);
        CHECK(HashTableFrozen(loaded));
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
    CHECK(HashDelTableRemoved(t) >= 1); /* key 199 went last */
    CHECK(HashDelTableFind(t, "d1", 2, FALSE, NULL, NULL) == NULL && !HashDelTableRemove(t, "d1", 2, NULL));
    {
        const void* keys[2] = {"d1", "d2"};
        const UInt lens[2] = {2, 2};
        void* vals[2];
        CHECK(HashDelTableFindMany(t, 2, keys, lens, vals, NULL) && vals[0] == NULL && vals[1] != NULL);
    }

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
    {
        HashDelTableIterator* first = NULL;
        UInt again = 0;
        for (it = HashDelTableIteratorInit(copy, NULL); !HashDelTableIteratorEnd(it); HashDelTableIteratorNext(it)) {
            const UByte* k;
            CHECK(HashDelTableIteratorGetKey(it, &k) >= 2 && k[0] == 'd' && HashDelTableIteratorGetValue(it) != NULL);
            if (visited == 0) first = HashDelTableIteratorCopy(it);
            visited++;
        }
        HashDelTableIteratorFinalize(it);
        CHECK(visited == 100 && first != NULL);
        for (; !HashDelTableIteratorEnd(first); HashDelTableIteratorNext(first)) again++;
        HashDelTableIteratorFinalize(first);
        CHECK(again == 100);
    }
    CHECK(HashDelTableSelect(copy, 0, NULL, NULL) == 100 && HashDelTableFrozen(copy));
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
    CHECK(HashDelTableValueSize(&own) == 0 && HashDelTableKeySize(&own) == 1 && !HashDelTableRefuses(&own));
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

static void id_maps(void) {
    IdMap* m = IdMapNew();
    RefMap* r = RefMapNew();
    Boolean added = FALSE;
    Id key = 0, val = 0;
    ULong rkey = 0, rval = 0;
    UInt i;
    for (i = 0; i < 100; i++) CHECK(IdMapFind(m, i * 7, i, NOID, &added) == i && added);
    CHECK(IdMapSize(m) == 100 && IdMapFind(m, 7, NOID, NOID, &added) == 1 && !added);
    CHECK(IdMapFind(m, 7, NOID, 42, NULL) == 42 && IdMapFind(m, 1, NOID, NOID, NULL) == NOID);
    IdMapGet(m, 99, &key, &val);
    CHECK(IdMapFind(m, key, NOID, NOID, NULL) == val);
    {
        const Id keys[3] = {14, 15, NOID};
        Id vals[3];
        CHECK(IdMapFindMany(m, 3, keys, vals) && vals[0] == 2 && vals[1] == NOID && vals[2] == NOID);
        CHECK(!IdMapFindMany(NULL, 3, keys, vals) && errno == EINVAL);
    }
    IdMapClear(m);
    CHECK(IdMapSize(m) == 0 && IdMapFind(m, 7, NOID, NOID, NULL) == NOID);
    IdMapDelete(m);
    /* Keys that agree in their low 32 bits stay apart. */
    CHECK(RefMapFind(r, 5, 1, NOREF, &added) == 1 && added);
    CHECK(RefMapFind(r, 5 + (1ull << 32), 2, NOREF, &added) == 2 && added);
    CHECK(RefMapSize(r) == 2 && RefMapFind(r, 5, NOREF, NOREF, NULL) == 1);
    {
        const ULong keys[2] = {5 + (1ull << 32), 6};
        ULong vals[2];
        CHECK(RefMapFindMany(r, 2, keys, vals) && vals[0] == 2 && vals[1] == NOREF);
    }
    RefMapGet(r, 1, &rkey, &rval);
    CHECK(rkey == 5 + (1ull << 32) && rval == 2);
    RefMapClear(r);
    CHECK(RefMapSize(r) == 0);
    RefMapDelete(r);
}

static UInt count_strings(UByte* bytes, UInt length, void* ptr) {
    (void)bytes;
    *(UInt*)ptr += length;
    return 0;
}

static void attribute_dictionary(void) {
    char dir[] = "/tmp/zkdict_c_client.XXXXXX";
    char path[64];
    static const char* const words[] = {"ab", "", "xyz", "four", "five"};
    AttrDict* a;
    UInt i, total = 0;
    if (mkdtemp(dir) == NULL) {
        CHECK(!"mkdtemp");
        return;
    }
    a = AttrDictBuild(dir, "attrs", FALSE);
    CHECK(a != NULL);
    if (a == NULL) return;
    for (i = 0; i < 5; i++) AttrDictAdd(a, (const UByte*)words[i], (UByte)strlen(words[i]));
    CHECK(AttrDictSize(a) == 5 && AttrDictCommit(a));
    a = AttrDictOpen(dir, "attrs");
    CHECK(a != NULL);
    if (a != NULL) {
        const UByte* bytes = NULL;
        CHECK(AttrDictSize(a) == 5);
        CHECK(AttrDictGet(a, 4, &bytes) == 4 && memcmp(bytes, "five", 4) == 0);
        CHECK(AttrDictGet(a, 5, &bytes) == 0);
        CHECK(AttrDictEnumerate(a, 1, count_strings, &total) == 0 && total == 11);
        CHECK(AttrDictClose(a));
    }
    /* A build abandoned leaves the committed pair as it was. */
    a = AttrDictBuild(dir, "attrs", FALSE);
    CHECK(a != NULL);
    AttrDictAdd(a, (const UByte*)"gone", 4);
    AttrDictAbandon(a);
    a = AttrDictOpen(dir, "attrs");
    CHECK(a != NULL && AttrDictSize(a) == 5);
    if (a != NULL) AttrDictClose(a);
    snprintf(path, sizeof path, "%s/attrs.idx", dir);
    unlink(path);
    snprintf(path, sizeof path, "%s/attrs.dat", dir);
    unlink(path);
    CHECK(rmdir(dir) == 0);
}

static Boolean sum_values(RBDict* dict, RBDictKey key, RBDictValue value, void* arg) {
    (void)dict, (void)key;
    *(UInt*)arg += value;
    return TRUE;
}
static Boolean sum_avl(AVLDict* dict, AVLDictKey key, AVLDictValue value, void* arg) {
    (void)dict, (void)key;
    *(UInt*)arg += value;
    return TRUE;
}
static Boolean sum_avll(AVLLDict* dict, AVLLDictKey key, AVLLDictValue value, void* arg) {
    (void)dict, (void)key;
    *(ULong*)arg += value;
    return TRUE;
}

static void trees_and_cache(void) {
    RBDict* rb = ZKRBDictNew(0);
    AVLDict* avl = ZKAVLDictNew(0);
    AVLLDict* avll = ZKAVLLDictNew(0);
    AVLDictValue* slot = NULL;
    AVLLDictValue* lslot = NULL;
    UInt i, sum = 0;
    ULong lsum = 0;
    for (i = 1; i <= 10; i++) {
        CHECK(ZKRBDictInsert(rb, i * 10, i, 0) == 0);
        CHECK(ZKAVLDictInsert(avl, i * 10, i, 0) == 0);
        CHECK(ZKAVLLDictInsert(avll, (ULong)i << 40, i, 0) == 0);
    }
    CHECK(ZKRBDictSize(rb) == 10 && ZKRBDictFind(rb, 30, 0) == 3 && ZKRBDictRemove(rb, 30, 0) == 3);
    CHECK(ZKRBDictEnumerate(rb, FALSE, sum_values, &sum) && sum == 52);
    {
        RBDictKey k = 0;
        RBDictValue v = 0, *p = NULL;
        CHECK(ZKRBDictLookup(rb, 40, &v) && v == 4 && !ZKRBDictLookup(rb, 30, NULL));
        CHECK(ZKRBDictFirst(rb, &k, &v) && k == 10 && v == 1);
        CHECK(ZKRBDictLast(rb, &k, NULL) && k == 100);
        CHECK(ZKRBDictNext(rb, 20, &k, &v) && k == 40 && v == 4);
        CHECK(ZKRBDictPrevious(rb, 40, &k, NULL) && k == 20 && !ZKRBDictPrevious(rb, 10, NULL, NULL));
        CHECK(*ZKRBDictValueGet(rb, 50) == 5 && ZKRBDictValueGet(rb, 30) == NULL);
        CHECK(ZKRBDictFindNearest(rb, 31, 0, &p) == 40 && p != NULL && *p == 4);
    }
    TreeCheck(rb);
    ZKRBDictClear(rb);
    CHECK(ZKRBDictSize(rb) == 0);
    ZKRBDictDelete(rb);

    sum = 0;
    CHECK(ZKAVLDictSize(avl) == 10 && ZKAVLDictFind(avl, 40, 0) == 4 && *ZKAVLDictValueGet(avl, 40) == 4);
    CHECK(ZKAVLDictFindNearest(avl, 44, -1, &slot) == 40 && slot != NULL && *slot == 4);
    CHECK(ZKAVLDictValueInsert(avl, 40, 9, 0, &slot) == 4 && *slot == 9);
    CHECK(ZKAVLDictRemove(avl, 40, 0) == 9 && ZKAVLDictEnumerate(avl, TRUE, sum_avl, &sum) && sum == 51);
    {
        AVLDictKey k = 0;
        AVLDictValue v = 0;
        CHECK(ZKAVLDictLookup(avl, 50, &v) && v == 5 && !ZKAVLDictLookup(avl, 40, &v));
        CHECK(ZKAVLDictFirst(avl, &k, NULL) && k == 10 && ZKAVLDictLast(avl, &k, &v) && k == 100 && v == 10);
        CHECK(ZKAVLDictNext(avl, 30, &k, NULL) && k == 50 && !ZKAVLDictNext(avl, 100, NULL, NULL));
        CHECK(ZKAVLDictPrevious(avl, 50, &k, &v) && k == 30 && v == 3);
    }
    AVLCheck(avl);
    ZKAVLDictClear(avl);
    ZKAVLDictDelete(avl);

    CHECK(ZKAVLLDictSize(avll) == 10 && ZKAVLLDictFind(avll, 2ull << 40, 0) == 2);
    CHECK(*ZKAVLLDictValueGet(avll, 2ull << 40) == 2 && ZKAVLLDictFindNearest(avll, 1, 1) == 1ull << 40);
    CHECK(ZKAVLLDictValueInsert(avll, 2ull << 40, 7, 0, &lslot) == 2 && *lslot == 7);
    CHECK(ZKAVLLDictRemove(avll, 2ull << 40, 0) == 7 && ZKAVLLDictEnumerate(avll, FALSE, sum_avll, &lsum));
    CHECK(lsum == 53);
    {
        AVLLDictKey k = 0;
        AVLLDictValue v = 0;
        CHECK(ZKAVLLDictLookup(avll, 3ull << 40, &v) && v == 3 && !ZKAVLLDictLookup(avll, 2ull << 40, NULL));
        CHECK(ZKAVLLDictFirst(avll, &k, NULL) && k == 1ull << 40);
        CHECK(ZKAVLLDictLast(avll, &k, &v) && k == 10ull << 40 && v == 10);
        CHECK(ZKAVLLDictNext(avll, 1ull << 40, &k, NULL) && k == 3ull << 40);
        CHECK(ZKAVLLDictPrevious(avll, 3ull << 40, &k, &v) && k == 1ull << 40 && v == 1);
    }
    AVLLCheck(avll);
    ZKAVLLDictClear(avll);
    ZKAVLLDictDelete(avll);

    {
        Cache* c = ZKCacheNewWithParams(16, 65536, 1.0, 8.0, 16.0, 1000, 16 * 65536);
        UByteArray dyn;
        char value[16];
        UInt got = 0, objects = 0;
        CHECK(c != NULL);
        if (c == NULL) return;
        CHECK(ZKCacheStore(c, (const UByte*)"k1", (const UByte*)"value", 5, ZK_CACHE_NEVER_EXPIRES));
        CHECK(ZKCacheGetStatic(c, (const UByte*)"k1", value, sizeof value, &got) && got == 5);
        CHECK(memcmp(value, "value", 5) == 0);
        ArrayInit_(&dyn);
        CHECK(ZKCacheGetDynamic(c, (const UByte*)"k1", &dyn) && dyn.length == 5);
        ArrayFree_(&dyn);
        CHECK(!ZKCacheGetStatic(c, (const UByte*)"k2", value, sizeof value, &got) && got == 0);
        CHECK(ZKCacheGetSize(c, &objects, NULL) == 16 * 65536 && objects == 1);
        CHECK(ZKCacheRemove(c, (const UByte*)"k1") && !ZKCacheGetStatic(c, (const UByte*)"k1", value, sizeof value, &got));
        errno = 0;
        CHECK(!ZKCacheRemove(c, (const UByte*)"k1") && errno == ENOENT);
        ZKCacheDelete(c);
        /* Less than one region: a cache without pages, which refuses every store. */
        c = ZKCacheNew(1);
        CHECK(c != NULL);
        if (c == NULL) return;
        CHECK(!ZKCacheStore(c, (const UByte*)"k1", (const UByte*)"v", 1, ZK_CACHE_NEVER_EXPIRES));
        ZKCacheDelete(c);
    }
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
    {
        /* The build that reports its failure: the same dictionary, or a reason. */
        static const char* const twice[] = {"apple", "pear", "apple"};
        HashDictBuildError error;
        HashDict* d = HashDictTryBuild(4, NULL, fruit_key, NULL, 0, 2, FALSE, &error);
        CHECK(d != NULL && error.code == HASHDICT_ERROR_NONE && HashDictFind(d, "plum", 4) == 2);
        HashDictFree(d);
        errno = 0;
        d = HashDictTryBuild(3, (void*)twice, listed_key, NULL, 0, 0, FALSE, &error);
        CHECK(d == NULL && errno == EEXIST && error.code == HASHDICT_ERROR_DUPLICATE);
        CHECK(error.first == 0 && error.second == 2);
        d = HashDictTryBuild(4, NULL, fruit_key, NULL, 0, 9, FALSE, NULL);
        CHECK(d == NULL && errno == EINVAL);
    }
    CHECK(strcmp(ZKDictVersion(), ZKDICT_VERSION_STRING) == 0);
    {
        char version[32];
        snprintf(version, sizeof version, "%d.%d.%d", ZKDICT_VERSION_MAJOR, ZKDICT_VERSION_MINOR, ZKDICT_VERSION_PATCH);
        CHECK(strcmp(version, ZKDictVersion()) == 0);
    }
    {
        UShort nbits = 0;
        size_t size = 0;
        ULong* words = (ULong*)ArrayNew(10, 255, &nbits, &size);
        CHECK(words != NULL && nbits == 8 && size == 16);
        CHECK(words[0] == 0 && words[1] == 0);
        AnonArrayFree_(words, __FILE__, __LINE__);
        CHECK(ArrayNew(0, 0, &nbits, NULL) == NULL && nbits == 1);
    }
    hash_table_walks_and_file();
    hash_del_table();
    id_maps();
    attribute_dictionary();
    trees_and_cache();
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
