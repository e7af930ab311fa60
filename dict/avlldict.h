/**
 * @file dict/avlldict.h
 * @brief The AVL tree with 64-bit keys and values, AVLLDict: declared and documented in dict/avldict.h.
 *
 * AVLLDict is the tree of AVLDict with 64-bit keys and values, so the two share one header, which
 * documents every call once for both widths and says where they differ. This header includes it, for
 * the code that uses only the 64-bit tree, the memory cache among them.
 */
#ifndef ZKDICT_DICT_AVLLDICT_H
#define ZKDICT_DICT_AVLLDICT_H

#include "dict/avldict.h"

#endif /* ZKDICT_DICT_AVLLDICT_H */
