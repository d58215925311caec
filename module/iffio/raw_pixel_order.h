// The order of a raw tile's bytes. The file stores a tile's rows bottom first and each pixel's
// bytes highest channel first; the host holds rows top first and channel 0 first. The one
// reordering turns either form into the other, in place, so a raw tile moves between the file
// and the scratch buffer in a single transfer.
#ifndef TNIFF_IFFIO_RAW_PIXEL_ORDER_H
#define TNIFF_IFFIO_RAW_PIXEL_ORDER_H

#include <cstdint>

// Reverses the order of the h rows of w pixels of q bytes (1 to 4) and the order of the bytes
// within every pixel. Applied twice it gives back what it was given.
void FlipRawPixelOrder(uint8_t* bytes, uint32_t w, uint32_t h, uint32_t q);

// The same reordering from pixels into a destination of its own (the two do not overlap): w * h
// * q bytes, rows bottom first, each pixel's bytes in reverse order.
void MakeRawTile(const uint8_t* pixels, uint8_t* destination, uint32_t w, uint32_t h, uint32_t q);

#endif
