#include "tests/support/tiff_maker.h"

#include <cstring>
#include <tiffio.h>

namespace tiffmake {

namespace {

// Samples first .. first + count - 1 of rows top .. top + rows - 1 and columns left .. left +
// across - 1 (the rest of a block zero), packed as the file stores them.
std::vector<uint8_t> Pack(const Spec& spec, uint32_t left, uint32_t top, uint32_t across, uint32_t rows,
                          uint32_t blockWidth, int first, int count) {
    const size_t rowBits = size_t(blockWidth) * size_t(count) * spec.bits;
    const size_t rowBytes = (rowBits + 7) / 8;
    std::vector<uint8_t> bytes(rowBytes * rows, 0);
    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = bytes.data() + r * rowBytes;
        for (uint32_t x = 0; x < across; ++x) {
            for (int s = 0; s < count; ++s) {
                const size_t at = (size_t(top + r) * spec.width + left + x) * spec.samples + size_t(first + s);
                const uint32_t value = at < spec.values.size() ? spec.values[at] : 0;
                const size_t index = size_t(x) * size_t(count) + size_t(s);
                if (spec.bits == 8) {
                    row[index] = uint8_t(value);
                } else if (spec.bits == 16) {
                    const uint16_t v = uint16_t(value);
                    std::memcpy(row + index * 2, &v, 2);  // libtiff takes samples in this machine's order
                } else if (spec.bits == 32) {
                    std::memcpy(row + index * 4, &value, 4);
                } else {
                    const size_t bit = index * spec.bits;
                    row[bit / 8] = uint8_t(row[bit / 8] | (value << (8 - spec.bits - bit % 8)));
                }
            }
        }
    }
    return bytes;
}

}  // namespace

bool Write(const Spec& spec, const std::string& path) {
    const std::string mode = std::string(spec.bigEndian ? "wb" : "wl") + (spec.bigTiff ? "8" : "");
    TIFF* tiff = TIFFOpen(path.c_str(), mode.c_str());
    if (tiff == nullptr) return false;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, spec.width) && TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, spec.height) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, spec.bits) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, spec.samples) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, spec.sampleFormat) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, spec.photometric) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, spec.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, spec.compression);
    if (ok && !spec.extra.empty()) {
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(spec.extra.size()), spec.extra.data());
    }
    if (ok && !spec.colourMap.empty()) {
        const size_t n = spec.colourMap.size() / 3;
        ok = TIFFSetField(tiff, TIFFTAG_COLORMAP, spec.colourMap.data(), spec.colourMap.data() + n,
                          spec.colourMap.data() + 2 * n);
    }
    const int planes = spec.separate ? spec.samples : 1;
    const int perBlock = spec.separate ? 1 : spec.samples;
    if (ok && spec.tile != 0) {
        ok = TIFFSetField(tiff, TIFFTAG_TILEWIDTH, spec.tile) && TIFFSetField(tiff, TIFFTAG_TILELENGTH, spec.tile);
        for (int p = 0; ok && p < planes; ++p)
            for (uint32_t top = 0; ok && top < spec.height; top += spec.tile)
                for (uint32_t left = 0; ok && left < spec.width; left += spec.tile) {
                    const uint32_t across = spec.width - left < spec.tile ? spec.width - left : spec.tile;
                    const uint32_t down = spec.height - top < spec.tile ? spec.height - top : spec.tile;
                    std::vector<uint8_t> block = Pack(spec, left, top, across, down, spec.tile, p, perBlock);
                    block.resize(size_t(TIFFTileSize(tiff)), 0);
                    ok = TIFFWriteTile(tiff, block.data(), left, top, 0, uint16_t(p)) >= 0;
                }
    } else if (ok) {
        const uint32_t rows = spec.rowsPerStrip != 0 ? spec.rowsPerStrip : TIFFDefaultStripSize(tiff, 0);
        ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows);
        for (int p = 0; ok && p < planes; ++p)
            for (uint32_t y = 0; ok && y < spec.height; ++y) {
                std::vector<uint8_t> line = Pack(spec, 0, y, spec.width, 1, spec.width, p, perBlock);
                ok = TIFFWriteScanline(tiff, line.data(), y, uint16_t(p)) >= 0;
            }
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace tiffmake
