#include "module/iffio/raw_pixel_order.h"

#include <cstddef>

namespace {

// Pixel a takes pixel b's bytes reversed and b takes a's reversed; a and b may be the same pixel.
template <uint32_t Q>
inline void ExchangeReversed(uint8_t* a, uint8_t* b) {
    uint8_t fromA[Q];
    uint8_t fromB[Q];
    for (uint32_t c = 0; c < Q; ++c) {
        fromA[c] = a[c];
        fromB[c] = b[c];
    }
    for (uint32_t c = 0; c < Q; ++c) {
        a[c] = fromB[Q - 1 - c];
        b[c] = fromA[Q - 1 - c];
    }
}

template <uint32_t Q>
void Flip(uint8_t* bytes, uint32_t w, uint32_t h) {
    const size_t rowBytes = static_cast<size_t>(w) * Q;
    // Rows are exchanged from the outside in; an odd middle row is exchanged with itself, which
    // reverses its pixels.
    for (uint32_t top = 0, bottom = h; top < bottom; ++top) {
        --bottom;
        uint8_t* upper = bytes + top * rowBytes;
        uint8_t* lower = bytes + bottom * rowBytes;
        for (uint32_t x = 0; x < w; ++x) ExchangeReversed<Q>(upper + x * Q, lower + x * Q);
    }
}

}  // namespace

void FlipRawPixelOrder(uint8_t* bytes, uint32_t w, uint32_t h, uint32_t q) {
    switch (q) {
    case 1: Flip<1>(bytes, w, h); break;
    case 2: Flip<2>(bytes, w, h); break;
    case 3: Flip<3>(bytes, w, h); break;
    case 4: Flip<4>(bytes, w, h); break;
    default: break;
    }
}
