#include "cli/raster.h"

#include "hostapi/plugin_interface.h"

namespace tniff_cli {

Raster::Raster(int w, int h, int c)
    : width(w), height(h), channels(c),
      pixels(static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(c), 0) {}

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
