#include "module/iffio/raw_pixel_order.h"

#include <cstddef>

namespace {

// Q bytes of a pixel from source into destination, in reverse order.
template <uint32_t Q>
inline void CopyReversed(uint8_t* __restrict destination, const uint8_t* __restrict source) {
    for (uint32_t c = 0; c < Q; ++c) destination[c] = source[Q - 1 - c];
}

// Pixel a takes pixel b's bytes reversed and b takes a's reversed; a and b may be the same pixel.
template <uint32_t Q>
inline void ExchangeReversed(uint8_t* a, uint8_t* b) {
    uint8_t fromA[Q];
    uint8_t fromB[Q];
    for (uint32_t c = 0; c < Q; ++c) {
        fromA[c] = a[c];
        fromB[c] = b[c];
    }
    CopyReversed<Q>(a, fromB);
    CopyReversed<Q>(b, fromA);
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

template <uint32_t Q>
void MakeRaw(const uint8_t* __restrict pixels, uint8_t* __restrict destination, uint32_t w,
             uint32_t h) {
    const size_t rowBytes = static_cast<size_t>(w) * Q;
    for (uint32_t y = h; y-- > 0;) {
        const uint8_t* row = pixels + y * rowBytes;
        for (size_t x = 0; x < w; ++x) CopyReversed<Q>(destination + x * Q, row + x * Q);
        destination += rowBytes;
    }
}

}  // namespace

void MakeRawTile(const uint8_t* pixels, uint8_t* destination, uint32_t w, uint32_t h, uint32_t q) {
    switch (q) {
    case 1: MakeRaw<1>(pixels, destination, w, h); break;
    case 2: MakeRaw<2>(pixels, destination, w, h); break;
    case 3: MakeRaw<3>(pixels, destination, w, h); break;
    case 4: MakeRaw<4>(pixels, destination, w, h); break;
    default: break;
    }
}

void FlipRawPixelOrder(uint8_t* bytes, uint32_t w, uint32_t h, uint32_t q) {
    switch (q) {
    case 1: Flip<1>(bytes, w, h); break;
    case 2: Flip<2>(bytes, w, h); break;
    case 3: Flip<3>(bytes, w, h); break;
    case 4: Flip<4>(bytes, w, h); break;
    default: break;
    }
}
