/* zkdemo: loads a word list into a hash table the way a client would, growing it as it fills,
 * finds every word again, and reports what the table holds and what it costs.
 *
 *   zkdemo [word-list]        (default /usr/share/dict/words)
 */
#include <stdio.h>
#include <string.h>

#include "dict/hashtable.h"
#include "zklib/zklib.h"

/* Each word's value is its line number. */
typedef struct {
    UInt line;
} WordValue;

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
    for (size_t pos = 0; pos < size;) {
        const char* word = text + pos;
        const char* end = memchr(word, '\n', size - pos);
        size_t len = end ? (size_t)(end - word) : size - pos;
        pos += len + 1;
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
    for (size_t pos = 0; pos < size;) {
        const char* word = text + pos;
        const char* end = memchr(word, '\n', size - pos);
        size_t len = end ? (size_t)(end - word) : size - pos;
        pos += len + 1;
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
    HashTableFree(table);
    FileUnmap((void*)text, size);
    if (!ok) fprintf(stderr, "zkdemo: some words were not found\n");
    return ok ? 0 : 1;
}
