// TIFF files of any layout tniff reads, written with libtiff for the tests and the fuzz seeds:
// the caller gives every sample as it is to be stored.
#ifndef TNIFF_TESTS_SUPPORT_TIFF_MAKER_H
#define TNIFF_TESTS_SUPPORT_TIFF_MAKER_H

#include <cstdint>
#include <string>
#include <vector>

namespace tiffmake {

struct Recipe {
    uint32_t width = 1;
    uint32_t height = 1;
    uint16_t photometric = 1;    // PHOTOMETRIC_*: 0 min-is-white, 1 min-is-black, 2 RGB, 3 palette, 5 CMYK
    uint16_t bits = 8;           // per sample
    uint16_t samples = 1;        // per pixel, extra samples included
    uint16_t sampleFormat = 1;   // SAMPLEFORMAT_*
    std::vector<uint16_t> extra; // ExtraSamples values; none written when empty
    bool separate = false;       // planar configuration 2: one plane per sample
    uint32_t tile = 0;           // tile side (a multiple of 16); 0: strips
    uint32_t rowsPerStrip = 0;   // 0: libtiff's choice
    bool bigEndian = false;
    bool bigTiff = false;        // 64-bit offsets ("II+" or "MM\0+")
    uint16_t compression = 1;    // COMPRESSION_*
    std::vector<uint16_t> colourMap;  // palette: 3 * 2^bits entries, all reds, then greens, blues
    // Samples of every pixel, interleaved, rows from the top (values below 2^bits; a 32-bit
    // float sample is given as its bits).
    std::vector<uint32_t> values;
};

// Writes the file; false when libtiff refused (its message is on stderr).
bool Write(const Recipe& recipe, const std::string& path);

}  // namespace tiffmake

#endif
