// PNG files composed byte by byte for the tests, in stored (uncompressed) deflate blocks, so
// that what a reader makes of them never depends on the zlib the readers use.
#ifndef TNIFF_TESTS_SUPPORT_PNG_MAKER_H
#define TNIFF_TESTS_SUPPORT_PNG_MAKER_H

#include <cstdint>
#include <vector>

namespace pngmake {

using Bytes = std::vector<uint8_t>;

struct PngSpec {
    int width = 0, height = 0;
    int colourType = 0;  // 0 gray, 2 RGB, 3 palette, 4 gray and alpha, 6 RGBA
    int bitDepth = 8;
    std::vector<std::vector<int>> samples;  // per row: width * samples per pixel values
    Bytes palette;                          // PLTE: RGB triples
    Bytes transparency;                     // tRNS as stored
    bool interlaced = false;                // Adam7: seven passes over the image, each its own rows
};

// Samples per pixel of a colour type (a palette index is one).
int SamplesPerPixel(int colourType);

// The whole file: signature, IHDR, PLTE and tRNS when given, one IDAT, IEND.
Bytes PngBytes(const PngSpec& image);

// The pieces, for files that are not well formed: a big-endian value, and a chunk with its CRC.
void PutU32(Bytes& bytes, uint32_t value);
void PutChunk(Bytes& png, const char* type, const Bytes& data);

}  // namespace pngmake

#endif
