#include "cli/raster.h"

#include "cli/tool_error.h"
#include "hostapi/plugin_interface.h"

namespace tniff_cli {

Raster::Raster(int w, int h, int c)
    : width(w), height(h), channels(c),
      pixels(static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(c), 0) {}

void CheckFormatLimits(int64_t width, int64_t height, const std::string& name) {
    const std::string size = std::to_string(width) + " by " + std::to_string(height);
    if (width > kLargestSide || height > kLargestSide) {
        throw ToolError(name + ": " + size + " is too large for the format: at most " +
                        std::to_string(kLargestSide) + " pixels on a side");
    }
    const int64_t tiles = ((width + kTileSide - 1) / kTileSide) * ((height + kTileSide - 1) / kTileSide);
    if (tiles > kMostTiles) {
        throw ToolError(name + ": " + size + " is too large for the format: it needs " + std::to_string(tiles) +
                        " tiles of 64 x 64, and a file holds at most " + std::to_string(kMostTiles));
    }
}

Raster RasterFromPlanes(const tniff::Image& image, int first, int count) {
    Raster raster(image.width(), image.height(), count);
    for (int c = 0; c < count; ++c) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) raster.at(x, y, c) = image.at(first + c, y, x);
        }
    }
    return raster;
}

tniff::Image ImageFromRaster(const Raster& raster) {
    int16_t mode = raster.channels <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
    tniff::Image image(raster.width, raster.height, raster.channels, mode);
    for (int c = 0; c < raster.channels; ++c) {
        for (int y = 0; y < raster.height; ++y) {
            for (int x = 0; x < raster.width; ++x) image.at(c, y, x) = raster.at(x, y, c);
        }
    }
    return image;
}

}  // namespace tniff_cli
