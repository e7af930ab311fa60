/* A client of every family that prints what the libraries answer. It is built twice: as it is, and
 * with ZK_INTERPOSE, which gives the program functions of its own under names the libraries use
 * (generic names a large program may well have). Both builds must print the same: the libraries'
 * calls to their own functions and to each other cannot be captured by the program's. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dict/attrdict.h"
#include "dict/avldict.h"
#include "dict/hashdeltable.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "dict/idmap.h"
#include "dict/rbdict.h"
#include "dict/zkcache.h"
#include "zklib/zklib.h"

#ifdef ZK_INTERPOSE
/* Each wrong in a way that would show: a zero slot count divides by zero, an unsorted selection
 * prints in another order, equal fingerprints and hashes lose keys, a mutex filled with ones cannot
 * be locked, a clock stopped at zero expires nothing. */
UInt Prime(UInt n) { return (void)n, 0; }
void QSort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*, void*), void* arg) {
    (void)base, (void)count, (void)size, (void)cmp, (void)arg;
}
FPrint Fingerprint(const void* bytes, size_t len) { return (void)bytes, (FPrint)len; }
UInt HashBytes(const UByte* bytes, UInt len) { return (void)bytes, len; }
void MutexInit(Mutex* mutex) { memset(mutex, 0xFF, sizeof *mutex); }
void TreeCheck(RBDict* dict) { (void)dict; abort(); }
ULong GetCurrentTimeMilliseconds(void) { return 0; }
UInt ArrayNextSize(UInt capacity, UInt need, UInt bound) { return (void)capacity, (void)bound, need; }
#endif

enum { kKeys = 3000 };

static void key_text(char* out, unsigned i) { sprintf(out, "key-%u-%u", i * 7919u % 10007u, i); }

/* Entries by their values, largest first: the reverse of the order they were added in. */
static int by_value_down(const void* a, const void* b, void* ptr) {
    UInt va, vb;
    (void)ptr;
    memcpy(&va, a, sizeof va);
    memcpy(&vb, b, sizeof vb);
    return (va < vb) - (va > vb);
}

static char dict_keys[kKeys][32];
static UShort dict_key(void* dict, Id idx, const UByte** bytes) {
    (void)dict;
    *bytes = (const UByte*)dict_keys[idx];
    return (UShort)strlen(dict_keys[idx]);
}

static void hash_table(void) {
    HashTable* t = HashTableNew(8, NULL, NULL, NULL, sizeof(UInt), 0, FALSE);
    char key[32];
    for (unsigned i = 0; i < kKeys; i++) {
        UInt* v;
        key_text(key, i);
        while ((v = HashTableFind(t, key, (UInt)strlen(key), TRUE, NULL, NULL)) == NULL) HashTableGrow(t, 2.0f, NULL);
        *v = i;
    }
    unsigned found = 0;
    for (unsigned i = 0; i < kKeys; i++) {
        key_text(key, i);
        UInt* v = HashTableFind(t, key, (UInt)strlen(key), FALSE, NULL, NULL);
        found += v != NULL && *v == i;
    }
    UIntArray sel;
    ArrayInit_(&sel);
    UInt kept = HashTableSelect(t, 0, NULL, NULL, &sel);
    HashTableSort(t, by_value_down, NULL, &sel);
    printf("table: size %u capacity %u found %u kept %u first %u last %u\n", HashTableSize(t), HashTableCapacity(t),
           found, kept, *(UInt*)HashTableGetIndex(t, 0, &sel), *(UInt*)HashTableGetIndex(t, kept - 1, &sel));
    ArrayFree_(&sel);
    HashTableFree(t);
}

static void deletable_table(void) {
    HashDelTable* t = HashDelTableNew(8, NULL, NULL, NULL, sizeof(UInt), 0);
    char key[32];
    for (unsigned i = 0; i < kKeys; i++) {
        UInt* v;
        key_text(key, i);
        while ((v = HashDelTableFind(t, key, (UInt)strlen(key), TRUE, NULL, NULL)) == NULL) {
            HashDelTableGrow(t, 2.0f, NULL);
        }
        *v = i;
    }
    unsigned removed = 0, found = 0;
    for (unsigned i = 0; i < kKeys; i += 3) {
        key_text(key, i);
        removed += HashDelTableRemove(t, key, (UInt)strlen(key), NULL) != FALSE;
    }
    for (unsigned i = 0; i < kKeys; i++) {
        key_text(key, i);
        found += HashDelTableFind(t, key, (UInt)strlen(key), FALSE, NULL, NULL) != NULL;
    }
    printf("deletable table: size %u capacity %u removed %u found %u\n", HashDelTableSize(t), HashDelTableCapacity(t),
           removed, found);
    HashDelTableFree(t);
}

static void static_dictionary(void) {
    for (unsigned i = 0; i < kKeys; i++) key_text(dict_keys[i], i);
    HashDict* d = HashDictBuild(kKeys, NULL, dict_key, NULL, 0, 2, FALSE);
    unsigned right = 0;
    for (unsigned i = 0; i < kKeys; i++) right += HashDictFind(d, dict_keys[i], (int)strlen(dict_keys[i])) == i;
    printf("dictionary: size %u right %u image %zu absent %s\n", HashDictSize(d), right, HashDictFileSize(d),
           HashDictFind(d, "no such key", 11) == HASHDICT_NOT_FOUND ? "yes" : "no");
    HashDictFree(d);
}

static void maps_and_trees(void) {
    IdMap* m = IdMapNew();
    RBDict* rb = ZKRBDictNew(16);
    AVLDict* avl = ZKAVLDictNew(16);
    for (unsigned i = 0; i < kKeys; i++) {
        IdMapFind(m, i * 2654435761u + 1, i, NOID, NULL);
        ZKRBDictInsert(rb, i * 40503u % 65521u, i, 0);
        ZKAVLDictInsert(avl, i * 40503u % 65521u, i, 0);
    }
    for (unsigned i = 0; i < kKeys; i += 2) {
        ZKRBDictRemove(rb, i * 40503u % 65521u, 0);
        ZKAVLDictRemove(avl, i * 40503u % 65521u, 0);
    }
    AVLCheck(avl);
    printf("maps: idmap %u find %u; rb %u find %u; avl %u find %u\n", IdMapSize(m),
           IdMapFind(m, 5 * 2654435761u + 1, NOID, NOID, NULL), ZKRBDictSize(rb),
           ZKRBDictFind(rb, 7 * 40503u % 65521u, 99), ZKAVLDictSize(avl), ZKAVLDictFind(avl, 7 * 40503u % 65521u, 99));
    ZKAVLDictDelete(avl);
    ZKRBDictDelete(rb);
    IdMapDelete(m);
}

static void cache(void) {
    Cache* c = ZKCacheNewWithParams(4, 65536, 1.0, 8.0, 16.0, 60000, 8 * 65536);
    char key[32], value[32];
    unsigned hits = 0;
    for (unsigned i = 0; i < 200; i++) {
        key_text(key, i);
        ZKCacheStore(c, (const UByte*)key, (const UByte*)key, (UInt)strlen(key) + 1, ZK_CACHE_NEVER_EXPIRES);
    }
    for (unsigned i = 0; i < 200; i++) {
        key_text(key, i);
        hits += ZKCacheGetStatic(c, (const UByte*)key, value, sizeof value, NULL) && strcmp(key, value) == 0;
    }
    printf("cache: hits %u\n", hits);
    ZKCacheDelete(c);
}

static void attribute_strings(void) {
    char dir[] = "/tmp/zkinterposeXXXXXX";
    if (mkdtemp(dir) == NULL) return;
    AttrDict* a = AttrDictBuild(dir, "names", FALSE);
    char key[32];
    for (unsigned i = 0; i < 100; i++) {
        key_text(key, i);
        AttrDictAdd(a, (const UByte*)key, (UByte)strlen(key));
    }
    const Boolean committed = AttrDictCommit(a);
    AttrDict* r = AttrDictOpen(dir, "names");
    const UByte* bytes = NULL;
    UByte len = r != NULL ? AttrDictGet(r, 42, &bytes) : 0;
    printf("attributes: committed %d size %u string 42 %.*s\n", committed, r != NULL ? AttrDictSize(r) : 0, (int)len,
           bytes != NULL ? (const char*)bytes : "");
    if (r != NULL) AttrDictClose(r);
    static const char* const files[] = {"names.idx", "names.dat"};
    for (unsigned i = 0; i < 2; i++) {
        char path[64];
        snprintf(path, sizeof path, "%s/%s", dir, files[i]);
        unlink(path);
    }
    rmdir(dir);
}

int main(void) {
    hash_table();
    deletable_table();
    static_dictionary();
    maps_and_trees();
    cache();
    attribute_strings();
    return 0;
}
