/* A hash table of byte-string keys with fixed-size values: word counts, then a sorted listing. */
#include <stdio.h>
#include <string.h>

#include "dict/hashtable.h"

static int by_key(const void* a, const void* b, void* table) {
    const UByte *ka, *kb;
    UInt la = HashTableKey(table, a, &ka), lb = HashTableKey(table, b, &kb);
    int c = memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : (la > lb) - (la < lb);
}

int main(void) {
    const char* text[] = {"the", "cat", "and", "the", "hat", "and", "the", "bat"};
    HashTable* t = HashTableNew(4, NULL, NULL, NULL, sizeof(UInt), 0, FALSE);
    for (int i = 0; i < 8; ++i) {
        UInt* count;
        /* A full table refuses a new key: grow it and ask again. */
        while ((count = HashTableFind(t, text[i], (UInt)strlen(text[i]), TRUE, NULL, NULL)) == NULL) {
            HashTableGrow(t, 2.0f, NULL);
        }
        ++*count;
    }
    UInt n = HashTableSelect(t, HashTableSize(t), NULL, NULL, NULL);
    HashTableSort(t, by_key, t, NULL);
    for (UInt i = 0; i < n; ++i) {
        const UByte* key;
        const UInt* count = HashTableGetIndex(t, i, NULL);
        UInt len = HashTableKey(t, count, &key);
        printf("%.*s %u\n", (int)len, (const char*)key, *count);
    }
    int ok = n == 5;
    HashTableFree(t);
    return ok ? 0 : 1;
}
