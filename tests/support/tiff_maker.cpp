#include "tests/support/tiff_maker.h"

#include <cstring>
#include <tiffio.h>

namespace tiffmake {

namespace {

// Samples first .. first + count - 1 of rows top .. top + rows - 1 and columns left .. left +
// across - 1 (the rest of a block zero), packed as the file stores them.
std::vector<uint8_t> Pack(const Recipe& recipe, uint32_t left, uint32_t top, uint32_t across, uint32_t rows,
                          uint32_t blockWidth, int first, int count) {
    const size_t rowBits = size_t(blockWidth) * size_t(count) * recipe.bits;
    const size_t rowBytes = (rowBits + 7) / 8;
    std::vector<uint8_t> bytes(rowBytes * rows, 0);
    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = bytes.data() + r * rowBytes;
        for (uint32_t x = 0; x < across; ++x) {
            for (int s = 0; s < count; ++s) {
                const size_t at = (size_t(top + r) * recipe.width + left + x) * recipe.samples + size_t(first + s);
                const uint32_t value = at < recipe.values.size() ? recipe.values[at] : 0;
                const size_t index = size_t(x) * size_t(count) + size_t(s);
                if (recipe.bits == 8) {
                    row[index] = uint8_t(value);
                } else if (recipe.bits == 16) {
                    const uint16_t v = uint16_t(value);
                    std::memcpy(row + index * 2, &v, 2);  // libtiff takes samples in this machine's order
                } else if (recipe.bits == 32) {
                    std::memcpy(row + index * 4, &value, 4);
                } else {
                    const size_t bit = index * recipe.bits;
                    row[bit / 8] = uint8_t(row[bit / 8] | (value << (8 - recipe.bits - bit % 8)));
                }
            }
        }
    }
    return bytes;
}

}  // namespace

bool Write(const Recipe& recipe, const std::string& path) {
    const std::string mode = std::string(recipe.bigEndian ? "wb" : "wl") + (recipe.bigTiff ? "8" : "");
    TIFF* tiff = TIFFOpen(path.c_str(), mode.c_str());
    if (tiff == nullptr) return false;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, recipe.width) && TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, recipe.height) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, recipe.bits) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, recipe.samples) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, recipe.sampleFormat) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, recipe.photometric) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, recipe.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, recipe.compression);
    if (ok && !recipe.extra.empty()) {
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(recipe.extra.size()), recipe.extra.data());
    }
    if (ok && !recipe.colourMap.empty()) {
        const size_t n = recipe.colourMap.size() / 3;
        ok = TIFFSetField(tiff, TIFFTAG_COLORMAP, recipe.colourMap.data(), recipe.colourMap.data() + n,
                          recipe.colourMap.data() + 2 * n);
    }
    const int planes = recipe.separate ? recipe.samples : 1;
    const int perBlock = recipe.separate ? 1 : recipe.samples;
    if (ok && recipe.tile != 0) {
        ok = TIFFSetField(tiff, TIFFTAG_TILEWIDTH, recipe.tile) && TIFFSetField(tiff, TIFFTAG_TILELENGTH, recipe.tile);
        for (int p = 0; ok && p < planes; ++p)
            for (uint32_t top = 0; ok && top < recipe.height; top += recipe.tile)
                for (uint32_t left = 0; ok && left < recipe.width; left += recipe.tile) {
                    const uint32_t across = recipe.width - left < recipe.tile ? recipe.width - left : recipe.tile;
                    const uint32_t down = recipe.height - top < recipe.tile ? recipe.height - top : recipe.tile;
                    std::vector<uint8_t> block = Pack(recipe, left, top, across, down, recipe.tile, p, perBlock);
                    block.resize(size_t(TIFFTileSize(tiff)), 0);
                    ok = TIFFWriteTile(tiff, block.data(), left, top, 0, uint16_t(p)) >= 0;
                }
    } else if (ok) {
        const uint32_t rows = recipe.rowsPerStrip != 0 ? recipe.rowsPerStrip : TIFFDefaultStripSize(tiff, 0);
        ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows);
        for (int p = 0; ok && p < planes; ++p)
            for (uint32_t y = 0; ok && y < recipe.height; ++y) {
                std::vector<uint8_t> line = Pack(recipe, 0, y, recipe.width, 1, recipe.width, p, perBlock);
                ok = TIFFWriteScanline(tiff, line.data(), y, uint16_t(p)) >= 0;
            }
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace tiffmake
