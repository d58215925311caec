#include "host/image.h"

#include "hostapi/plugin_interface.h"

namespace tniff {

Image::Image(int width, int height, int planes, int16_t mode, uint8_t fill)
    : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0), planes_(planes > 0 ? planes : 0) {
    if (mode >= 0) mode_ = mode;
    else mode_ = planes_ <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
    pixels_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_) * static_cast<size_t>(planes_), fill);
}

void Image::fill(uint8_t value) { pixels_.assign(pixels_.size(), value); }

bool Image::ByteCount(int width, int height, int planes, uint64_t* count) {
    // Each factor is at most 2^31, so the product of all three stays below 2^93: check each step.
    uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
    uint64_t h = height > 0 ? static_cast<uint64_t>(height) : 0;
    uint64_t p = planes > 0 ? static_cast<uint64_t>(planes) : 0;
    uint64_t area = w * h;  // below 2^62
    if (p != 0 && area > UINT64_MAX / p) return false;
    uint64_t total = area * p;
    if (total > static_cast<uint64_t>(SIZE_MAX)) return false;
    *count = total;
    return true;
}

bool Image::operator==(const Image& other) const {
    return width_ == other.width_ && height_ == other.height_ && planes_ == other.planes_ &&
           mode_ == other.mode_ && pixels_ == other.pixels_;
}

}  // namespace tniff
