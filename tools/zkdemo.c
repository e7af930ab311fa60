/* zkdemo: loads a word list into a hash table the way a client would, growing it as it fills,
 * finds every word again, and reports what the table holds and what it costs; then saves the table
 * and loads it back, lists the words in order through a sorted selection, churns them through the
 * hash table with deletion, and stores them as attribute strings, found again by line number
 * through an integer map.
 *
 *   zkdemo [word-list]        (default /usr/share/dict/words)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dict/attrdict.h"
#include "dict/hashdeltable.h"
#include "dict/hashtable.h"
#include "dict/idmap.h"
#include "zklib/zklib.h"

/* The line of text at *pos, its length (without the newline) in *len; *pos moves past its newline. */
static const char* next_line(const char* text, size_t size, size_t* pos, size_t* len) {
    const char* line = text + *pos;
    const char* end = memchr(line, '\n', size - *pos);
    *len = end ? (size_t)(end - line) : size - *pos;
    *pos += *len + 1;
    return line;
}

/* Each word's value is its line number. */
typedef struct {
    UInt line;
} WordValue;

static int by_word(const void* a, const void* b, void* ptr) {
    const UByte *ka, *kb;
    UInt la = HashTableKey(ptr, a, &ka), lb = HashTableKey(ptr, b, &kb);
    int c = memcmp(ka, kb, la < lb ? la : lb);
    return c != 0 ? c : (la > lb) - (la < lb);
}

static void print_word(const HashTable* table, UInt i) {
    const UByte* key;
    UInt len = HashTableKey(table, HashTableGetIndex(table, i, NULL), &key);
    printf(" %.*s", (int)len, (const char*)key);
}

/* Saves the table, loads it back and lists the first and last words in order. */
static int save_load_sort(const HashTable* table) {
    char path[] = "/tmp/zkdemo.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        return 0;
    }
    close(fd);
    ULong start = GetCurrentTimeMilliseconds();
    Boolean saved = HashTableWrite(table, path);
    ULong written = GetCurrentTimeMilliseconds();
    HashTable* loaded = saved ? HashTableRead(path, NULL, NULL, NULL, FALSE) : NULL;
    ULong read = GetCurrentTimeMilliseconds();
    unlink(path);
    if (loaded == NULL) return 0;
    int same = HashTableSize(loaded) == HashTableSize(table);
    printf("saved, loaded   %u entries; %llu ms to write and sync, %llu ms to load\n", HashTableSize(loaded),
           (unsigned long long)(written - start), (unsigned long long)(read - written));

    UInt n = HashTableSelect(loaded, 0, NULL, NULL, NULL);
    HashTableSort(loaded, by_word, loaded, NULL);
    printf("in order       ");
    for (UInt i = 0; i < n && i < 3; i++) print_word(loaded, i);
    printf(" ...");
    for (UInt i = n > 3 ? n - 3 : 0; i < n; i++) print_word(loaded, i);
    printf("\n");
    for (UInt i = 1; i < n; i++) same &= by_word(HashTableGetIndex(loaded, i - 1, NULL), HashTableGetIndex(loaded, i, NULL), loaded) < 0;
    HashTableFree(loaded);
    return same;
}

/* Every word into the table with deletion, every other one out again, the rest found. */
static int churn(const HashTable* words) {
    HashDelTable* t = HashDelTableNew(16, NULL, NULL, NULL, 0, 0);
    HashTableIterator* it;
    UInt i = 0, kept = 0, found = 0;
    for (it = HashTableIteratorInit(words); !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
        const UByte* key;
        UInt len = HashTableIteratorGetKey(it, &key);
        while (HashDelTableFind(t, key, len, TRUE, NULL, NULL) == NULL) HashDelTableGrow(t, 2.0f, NULL);
    }
    HashTableIteratorFinalize(it);
    for (it = HashTableIteratorInit(words); !HashTableIteratorEnd(it); HashTableIteratorNext(it), i++) {
        const UByte* key;
        UInt len = HashTableIteratorGetKey(it, &key);
        if (i % 2) HashDelTableRemove(t, key, len, NULL);
        else kept++;
    }
    HashTableIteratorFinalize(it);
    size_t before = t->t_data_used;
    i = 0;
    for (it = HashTableIteratorInit(words); !HashTableIteratorEnd(it); HashTableIteratorNext(it), i++) {
        const UByte* key;
        UInt len = HashTableIteratorGetKey(it, &key);
        found += (HashDelTableFind(t, key, len, FALSE, NULL, NULL) != NULL) == (i % 2 == 0);
    }
    HashTableIteratorFinalize(it);
    UByteArray form;
    ArrayInit_(&form);
    HashDelTableIterator* walk = HashDelTableIteratorInit(t, NULL); /* purges the removed entries */
    HashDelTableIteratorFinalize(walk);
    HashDelTableMemWrite(t, &form);
    printf("with deletion   %u of %u words kept, all %s; data area %zu bytes, %zu after compaction; "
           "serialised in %u bytes\n",
           HashDelTableSize(t), i, found == i ? "answered right" : "NOT answered right", before, t->t_data_used,
           form.length);
    ArrayFree_(&form);
    int ok = found == i && HashDelTableSize(t) == kept;
    HashDelTableFree(t);
    return ok;
}

/* Every word of up to 255 bytes as an attribute string, and an integer map from its line number to
 * its identifier; then every line read back through the map and the reopened pair. */
static int attributes(const char* text, size_t size) {
    char dir[] = "/tmp/zkdemo.XXXXXX";
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 0;
    }
    IdMap* ids = IdMapNew();
    AttrDict* w = AttrDictBuild(dir, "words", FALSE);
    UInt line = 0, checked = 0, wrong = 0;
    ULong start = GetCurrentTimeMilliseconds();
    for (size_t pos = 0, len; w != NULL && pos < size; line++) {
        const char* word = next_line(text, size, &pos, &len);
        if (len > 255) continue;
        IdMapFind(ids, line, AttrDictSize(w), NOID, NULL);
        AttrDictAdd(w, (const UByte*)word, (UByte)len);
    }
    Boolean committed = w != NULL && AttrDictCommit(w);
    ULong built = GetCurrentTimeMilliseconds();
    AttrDict* r = committed ? AttrDictOpen(dir, "words") : NULL;
    line = 0;
    for (size_t pos = 0, len; r != NULL && pos < size; line++) {
        const char* word = next_line(text, size, &pos, &len);
        Id id = IdMapFind(ids, line, NOID, NOID, NULL);
        if (id == NOID) continue;
        const UByte* bytes = NULL;
        UByte got = AttrDictGet(r, id, &bytes);
        checked++;
        if (got != len || (len > 0 && memcmp(bytes, word, len) != 0)) wrong++;
    }
    ULong read = GetCurrentTimeMilliseconds();
    if (r != NULL) {
        printf("attributes      %u strings; index %zu bytes, data %zu bytes; %llu ms to build and sync, "
               "%llu ms to read all through the line map (%u entries)\n",
               AttrDictSize(r), r->a_idx_size, r->a_dat_size, (unsigned long long)(built - start),
               (unsigned long long)(read - built), IdMapSize(ids));
        AttrDictClose(r);
    } else {
        perror("zkdemo: attribute dictionary");
    }
    IdMapDelete(ids);
    char file[64];
    snprintf(file, sizeof file, "%s/words.idx", dir);
    unlink(file);
    snprintf(file, sizeof file, "%s/words.dat", dir);
    unlink(file);
    rmdir(dir);
    return r != NULL && wrong == 0 && checked > 0;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/usr/share/dict/words";
    size_t size = 0;
    Boolean empty = FALSE;
    const char* text = FileMapRead(NULL, path, &size, &empty);
    if (text == NULL) {
        if (empty) fprintf(stderr, "zkdemo: %s is empty\n", path);
        else perror(path);
        return 1;
    }

    HashTable* table = HashTableNew(16, NULL, NULL, NULL, sizeof(WordValue), 0, FALSE);
    UInt lines = 0, words = 0, grown = 0, duplicates = 0;
    ULong start = GetCurrentTimeMilliseconds();
    for (size_t pos = 0, len; pos < size;) {
        const char* word = next_line(text, size, &pos, &len);
        lines++;
        if (len == 0) continue;
        words++;
        UInt before = HashTableSize(table);
        WordValue* val;
        while ((val = HashTableFind(table, word, (UInt)len, TRUE, NULL, NULL)) == NULL) {
            HashTableGrow(table, 2.0f, NULL); /* full: the only reason a default table refuses */
            grown++;
        }
        if (HashTableSize(table) == before) duplicates++;
        else val->line = lines;
    }
    ULong loaded = GetCurrentTimeMilliseconds();

    UInt found = 0, line = 0;
    for (size_t pos = 0, len; pos < size;) {
        const char* word = next_line(text, size, &pos, &len);
        line++;
        if (len == 0) continue;
        const WordValue* val = HashTableFind(table, word, (UInt)len, FALSE, NULL, NULL);
        if (val != NULL && val->line <= line) found++; /* a repeated word keeps its first line */
    }
    ULong searched = GetCurrentTimeMilliseconds();

    UInt entries = HashTableSize(table);
    size_t bytes = table->t_data_size + sizeof(UInt) * (size_t)table->t_entries_size + sizeof(HashTable);
    printf("word list       %s (%zu bytes, %u lines)\n", path, size, lines);
    printf("entries         %u (%u duplicate lines)\n", entries, duplicates);
    printf("found again     %u of %u words\n", found, words);
    printf("capacity        %u (grown %u times)\n", HashTableCapacity(table), grown);
    printf("slots           %u (load %.2f)\n", table->t_entries_size, (double)entries / table->t_entries_size);
    printf("data area       %zu of %zu bytes in use\n", table->t_data_used, table->t_data_size);
    printf("bytes per entry %.1f (data area, slots and record)\n", (double)bytes / (entries ? entries : 1));
    printf("time            %llu ms to load, %llu ms to find every word\n",
           (unsigned long long)(loaded - start), (unsigned long long)(searched - loaded));

    int ok = found == words;
    if (!save_load_sort(table)) {
        fprintf(stderr, "zkdemo: the saved table did not load back in order\n");
        ok = 0;
    }
    if (!churn(table)) {
        fprintf(stderr, "zkdemo: the table with deletion went wrong\n");
        ok = 0;
    }
    if (!attributes(text, size)) {
        fprintf(stderr, "zkdemo: the attribute strings did not read back\n");
        ok = 0;
    }
    HashTableFree(table);
    FileUnmap((void*)text, size);
    if (!ok) fprintf(stderr, "zkdemo: some words were not found\n");
    return ok ? 0 : 1;
}
