// bitarray.h: arrays of fixed-width unsigned values packed back to back into 64-bit words.
//
// The static dictionary keeps its function table and every array of its construction graph this
// way, each at the smallest width that holds its largest value, because those arrays are the bulk
// of both the image and the build's memory. The layout is part of the image format: value i
// occupies bits i x width to i x width + width - 1 of the string formed by the words in host order
// (bit j is bit j mod 64 of word j / 64), least significant bit first, so a value spans at most two
// words. Nothing here checks bounds: callers size the blocks with ArrayNew_ (hashdict.h) and index
// within them.
#ifndef ZKDICT_DICT_BITARRAY_H
#define ZKDICT_DICT_BITARRAY_H

#include <cstddef>

#include "zklib/zklib.h"

namespace zk {

// The width of values up to maxvalue: floor(log2(maxvalue)) + 1, and 1 for 0.
constexpr UShort PackedWidth(ULong maxvalue) {
    return maxvalue == 0 ? 1 : static_cast<UShort>(64 - __builtin_clzll(maxvalue));
}

// A view of one packed array: the block and the width of its values (1 to 64). Copying it copies
// the view, not the values.
class PackedArray {
public:
    PackedArray(const void* words, UShort width)
        : words_(static_cast<ULong*>(const_cast<void*>(words))),
          width_(width),
          mask_(width >= 64 ? ~ULong{0} : (ULong{1} << width) - 1) {}

    ULong Get(ULong i) const {
        const ULong bit = i * width_;
        const ULong* w = words_ + (bit >> 6);
        const unsigned shift = static_cast<unsigned>(bit & 63);
        // Whether the value reaches into the next word is a coin toss for random indices, so there is
        // no branch on it. The next word is read only when the value reaches into it (the last value
        // may end exactly at the block's end); otherwise w[0] stands in, and its bits land at or
        // above the width, where the mask drops them. Shifting in two steps keeps a shift of 0 from
        // becoming one of 64.
        const ULong high = w[shift + width_ > 64 ? 1 : 0];
        return ((w[0] >> shift) | ((high << 1) << (63 - shift))) & mask_;
    }

    // Replaces the width bits of value i and nothing else. v is cut to the width, so that a caller's
    // out-of-range value shows up as a wrong value of its own rather than damage to a neighbour.
    void Set(ULong i, ULong v) const {
        v &= mask_;
        const ULong bit = i * width_;
        ULong* w = words_ + (bit >> 6);
        const unsigned shift = static_cast<unsigned>(bit & 63);
        w[0] = (w[0] & ~(mask_ << shift)) | (v << shift);
        // Without a branch, as in Get: the bits beyond w[0] (shifted down by 64 - shift, in two
        // steps) go to the next word, and when there are none both parts are 0 and w[0] is written
        // back as it is.
        ULong* next = w + (shift + width_ > 64 ? 1 : 0);
        const ULong spilled = (mask_ >> 1) >> (63 - shift);
        *next = (*next & ~spilled) | ((v >> 1) >> (63 - shift));
    }

    // A hint that value i will be read or written soon; nothing is read or written now.
    void Prefetch(ULong i) const { __builtin_prefetch(words_ + ((i * width_) >> 6)); }

    UShort width() const { return width_; }

private:
    ULong* words_;
    UShort width_;
    ULong mask_;
};

}  // namespace zk

#endif  // ZKDICT_DICT_BITARRAY_H
