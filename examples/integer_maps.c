/* Integer maps: 32-bit identifiers to identifiers, and 64-bit references to references. */
#include <stdio.h>

#include "dict/idmap.h"

int main(void) {
    IdMap* parent = IdMapNew();
    for (Id child = 1; child <= 1000; ++child) IdMapFind(parent, child, child / 2, NOID, NULL);
    Boolean added;
    IdMapFind(parent, 7, 99, NOID, &added); /* present: nothing changes */
    printf("%u entries; parent of 7 is %u (added again: %s)\n", IdMapSize(parent),
           IdMapFind(parent, 7, NOID, NOID, NULL), added ? "yes" : "no");
    int ok = IdMapSize(parent) == 1000 && IdMapFind(parent, 7, NOID, NOID, NULL) == 3 && !added;
    IdMapDelete(parent);

    RefMap* offsets = RefMapNew();
    RefMapFind(offsets, 0x123456789ull, 42, NOREF, NULL);
    RefMapFind(offsets, 0x123456789ull, NOREF, 43, NULL); /* update */
    printf("reference 0x123456789 -> %llu\n", (unsigned long long)RefMapFind(offsets, 0x123456789ull, NOREF, NOREF, NULL));
    ok = ok && RefMapFind(offsets, 0x123456789ull, NOREF, NOREF, NULL) == 43;
    RefMapDelete(offsets);
    return ok ? 0 : 1;
}
