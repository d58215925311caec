#include "tests/support/png_maker.h"

#include <algorithm>
#include <cstddef>

namespace pngmake {

namespace {

uint32_t Crc32(const Bytes& bytes, size_t from) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The rows as stored: the image's, or those of each Adam7 pass in turn (a pass without pixels
// has no rows).
std::vector<std::vector<int>> StoredRows(const PngSpec& image, int perPixel) {
    if (!image.interlaced) return image.samples;
    static const int kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};  // x0, y0, dx, dy
    std::vector<std::vector<int>> rows;
    for (const auto& pass : kPasses) {
        if (pass[0] >= image.width) continue;
        for (int y = pass[1]; y < image.height; y += pass[3]) {
            rows.emplace_back();
            for (int x = pass[0]; x < image.width; x += pass[2]) {
                const auto from = image.samples[size_t(y)].begin() + std::ptrdiff_t(x) * perPixel;
                rows.back().insert(rows.back().end(), from, from + perPixel);
            }
        }
    }
    return rows;
}

}  // namespace

int SamplesPerPixel(int colourType) {
    return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

void PutU32(Bytes& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(value >> shift));
}

void PutChunk(Bytes& png, const char* type, const Bytes& data) {
    PutU32(png, uint32_t(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    PutU32(png, Crc32(png, start));
}

Bytes PngBytes(const PngSpec& image) {
    const int perPixel = SamplesPerPixel(image.colourType);
    Bytes filtered;  // filter type 0 before each row
    for (const std::vector<int>& row : StoredRows(image, perPixel)) {
        filtered.push_back(0);
        if (image.bitDepth >= 8) {
            for (int value : row) {
                if (image.bitDepth == 16) filtered.push_back(uint8_t(value >> 8));
                filtered.push_back(uint8_t(value));
            }
        } else {
            size_t bits = 0;
            const size_t start = filtered.size();
            filtered.resize(start + (row.size() * size_t(image.bitDepth) + 7) / 8, 0);
            for (int value : row) {
                const size_t at = start + bits / 8;
                const int shift = 8 - image.bitDepth - int(bits % 8);
                filtered[at] = uint8_t(filtered[at] | (value << shift));
                bits += size_t(image.bitDepth);
            }
        }
    }
    Bytes zlib = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : filtered) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < filtered.size() || at == 0; at += 65535) {
        const size_t length = std::min<size_t>(65535, filtered.size() - at);
        zlib.push_back(at + length >= filtered.size() ? 1 : 0);
        zlib.push_back(uint8_t(length));
        zlib.push_back(uint8_t(length >> 8));
        zlib.push_back(uint8_t(~length));
        zlib.push_back(uint8_t(~length >> 8));
        zlib.insert(zlib.end(), filtered.begin() + std::ptrdiff_t(at),
                    filtered.begin() + std::ptrdiff_t(at + length));
        if (length == 0) break;
    }
    PutU32(zlib, (b << 16) | a);

    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    PutU32(header, uint32_t(image.width));
    PutU32(header, uint32_t(image.height));
    header.insert(header.end(), {uint8_t(image.bitDepth), uint8_t(image.colourType), 0, 0,
                                 uint8_t(image.interlaced)});
    PutChunk(png, "IHDR", header);
    if (!image.palette.empty()) PutChunk(png, "PLTE", image.palette);
    if (!image.transparency.empty()) PutChunk(png, "tRNS", image.transparency);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", {});
    return png;
}

}  // namespace pngmake
