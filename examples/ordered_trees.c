/* The ordered dictionaries: a red-black tree and an AVL tree over the same keys, walked in order. */
#include <stdio.h>

#include "dict/avldict.h"
#include "dict/rbdict.h"

static Boolean print_pair(RBDict* dict, RBDictKey key, RBDictValue value, void* count) {
    (void)dict;
    if (++*(int*)count <= 3) printf("  %u -> %u\n", key, value);
    return TRUE;
}

int main(void) {
    RBDict* rb = ZKRBDictNew(0);
    AVLDict* avl = ZKAVLDictNew(0);
    for (UInt k = 0; k < 10000; ++k) {
        UInt key = (k * 2654435761u) >> 8; /* scattered keys */
        ZKRBDictInsert(rb, key, k, 0);
        ZKAVLDictInsert(avl, key, k, 0);
    }
    printf("%u keys; smallest three:\n", ZKRBDictSize(rb));
    int count = 0;
    ZKRBDictEnumerate(rb, FALSE, print_pair, &count);
    AVLDictValue* at = NULL;
    AVLDictKey above = ZKAVLDictFindNearest(avl, 1000000, 1, &at); /* the next key at or above */
    printf("first key at or above 1000000: %u (value %u)\n", above, at ? *at : 0);
    int ok = ZKRBDictSize(rb) == 10000 && ZKAVLDictFind(avl, (5u * 2654435761u) >> 8, 0) == 5;
    ZKRBDictDelete(rb);
    ZKAVLDictDelete(avl);
    return ok ? 0 : 1;
}
