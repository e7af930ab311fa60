// op_sequence.h: what the operation-sequence targets (the *_ops_fuzz.cpp files) share: how an
// operation byte picks the operation, the little-endian reads their keys and picks are made of, and
// the prime their models of a hash table's slot count take.
//
// All of it is part of what a stored input means. Changing the order or the weights of a mix, or
// the bytes a read takes, makes every seed of the corpus drive something else.
#ifndef ZKDICT_FUZZ_OP_SEQUENCE_H
#define ZKDICT_FUZZ_OP_SEQUENCE_H

#include <cstddef>

#include "fuzz/table_fuzz.h"
#include "zklib/zklib.h"

namespace zkfuzz {

// A target's operations and how often each comes up: the operation byte modulo the sum of the
// weights picks one, each operation taking as many residues as its weight, in the order listed. The
// operation may read flags of its own from the same byte.
template <class Op>
class OpMix {
public:
    struct Share {
        Op op;
        unsigned weight;
    };

    template <size_t N>
    consteval OpMix(const Share (&shares)[N]) {
        for (const Share& s : shares) {
            for (unsigned i = 0; i < s.weight; i++) pick_[total_++] = s.op;
        }
    }

    constexpr Op operator()(UByte byte) const { return pick_[byte % total_]; }

private:
    Op pick_[256] = {};
    unsigned total_ = 0;
};

// Two bytes, low first; in statements of their own, so that the order of reading is fixed.
inline UInt Two(Cursor& in) {
    const UInt low = in.Byte();
    return low | UInt(in.Byte()) << 8;
}

// As many bytes as a T has, low first.
template <class T>
T Wide(Cursor& in) {
    ULong k = 0;
    for (size_t i = 0; i < sizeof(T); i++) k |= ULong(in.Byte()) << (8 * i);
    return T(k);
}

// The smallest prime not below n, by trial division: the models work out the slot counts the tables
// must have on their own, and the slot counts here stay small.
inline UInt NextPrime(ULong n) {
    for (;; n++) {
        if (n < 2) continue;
        bool prime = true;
        for (ULong d = 2; d * d <= n; d++) {
            if (n % d == 0) {
                prime = false;
                break;
            }
        }
        if (prime) return UInt(n);
    }
}

}  // namespace zkfuzz

#endif  // ZKDICT_FUZZ_OP_SEQUENCE_H
