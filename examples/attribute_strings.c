/* The attribute dictionary: short strings by identifier in a pair of files, mapped for reading. */
#include <stdio.h>
#include <string.h>

#include "dict/attrdict.h"

int main(void) {
    const char* labels[] = {"ok", "warning", "error", "", "fatal"};
    AttrDict* w = AttrDictBuild("/tmp", "zkdict_example_labels", FALSE);
    if (w == NULL) {
        perror("AttrDictBuild");
        return 1;
    }
    for (int i = 0; i < 5; ++i) AttrDictAdd(w, (const UByte*)labels[i], (UByte)strlen(labels[i]));
    if (!AttrDictCommit(w)) {
        perror("AttrDictCommit");
        return 1;
    }
    AttrDict* r = AttrDictOpen("/tmp", "zkdict_example_labels");
    if (r == NULL) {
        perror("AttrDictOpen");
        return 1;
    }
    const UByte* s = NULL;
    UByte len = AttrDictGet(r, 2, &s);
    printf("%u strings; string 2 is \"%.*s\"\n", AttrDictSize(r), (int)len, (const char*)s);
    int ok = AttrDictSize(r) == 5 && len == 5 && memcmp(s, "error", 5) == 0;
    AttrDictClose(r);
    remove("/tmp/zkdict_example_labels.idx");
    remove("/tmp/zkdict_example_labels.dat");
    return ok ? 0 : 1;
}
