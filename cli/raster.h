// Pixels as PNG and PAM files hold them: 8-bit channels interleaved, rows from the top; and the
// moves between that and the host's image, which keeps one plane after another.
#ifndef TNIFF_CLI_RASTER_H
#define TNIFF_CLI_RASTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/image.h"

namespace tniff_cli {

// The largest side the format's host interface can describe (a signed 16-bit size).
const int kLargestSide = 32767;

struct Raster {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> pixels;  // width * height * channels bytes
    int sourceBits = 8;           // bits per sample of the file read (16: scaled to 8)

    Raster() = default;
    Raster(int width, int height, int channels);
    uint8_t& at(int x, int y, int channel) { return pixels[Index(x, y, channel)]; }
    uint8_t at(int x, int y, int channel) const { return pixels[Index(x, y, channel)]; }

private:
    size_t Index(int x, int y, int channel) const {
        return (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                   static_cast<size_t>(channels) +
               static_cast<size_t>(channel);
    }
};

// The format's tiles are 64 x 64 and a file holds at most 65535 of them.
const int kTileSide = 64;
const int64_t kMostTiles = 65535;

// Throws ToolError, naming the file as name, when an image of this size cannot be saved in the
// format: more than kLargestSide pixels on a side or more than kMostTiles tiles. Checked before
// any pixel is read.
void CheckFormatLimits(int64_t width, int64_t height, const std::string& name);

// Planes first to first + count - 1 of the image, interleaved.
Raster RasterFromPlanes(const tniff::Image& image, int first, int count);

// The image a host holds for these pixels: one or two channels are a grayscale image, three to
// five an RGB image, with as many planes as the raster has channels.
tniff::Image ImageFromRaster(const Raster& raster);

}  // namespace tniff_cli

#endif
