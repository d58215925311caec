// Pixels between the host's planes and interleaved rows, and the limits an image must keep.
#include "tarniff/tarniff.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hostapi/plugin_interface.h"

namespace tarniff {

Raster::Raster(int w, int h, int c)
    : width(w),
      height(h),
      channels(c),
      pixels(static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(c), 0) {}

namespace {

// Pixel by pixel, all channels at once, so that each byte of the interleaved side is touched once.
template <int C>
void Interleave(const uint8_t* const* planes, uint8_t* pixels, size_t area) {
    for (size_t i = 0; i < area; ++i) {
        for (int c = 0; c < C; ++c) pixels[i * C + c] = planes[c][i];
    }
}

template <int C>
void Deinterleave(const uint8_t* pixels, uint8_t* const* planes, size_t area) {
    for (size_t i = 0; i < area; ++i) {
        for (int c = 0; c < C; ++c) planes[c][i] = pixels[i * C + c];
    }
}

#if defined(__SSE2__)
// Four planes, 16 pixels a step: red and green paired into 16-bit values, blue and alpha too,
// then the pairs paired into whole pixels. An opened render is RGBA, interleaved for every PAM,
// PNG or TIFF written of it; this pass runs at about the speed of filling the memory, and the
// byte loop takes three (-O3) to five (-O2) times as long.
template <>
void Interleave<4>(const uint8_t* const* planes, uint8_t* pixels, size_t area) {
    size_t i = 0;
    for (; i + 16 <= area; i += 16) {
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[0] + i));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[1] + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[2] + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[3] + i));
        const __m128i rgLow = _mm_unpacklo_epi8(r, g), rgHigh = _mm_unpackhi_epi8(r, g);
        const __m128i baLow = _mm_unpacklo_epi8(b, a), baHigh = _mm_unpackhi_epi8(b, a);
        __m128i* out = reinterpret_cast<__m128i*>(pixels + 4 * i);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(rgLow, baLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(rgLow, baLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(rgHigh, baHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(rgHigh, baHigh));
    }
    for (; i < area; ++i) {
        for (int c = 0; c < 4; ++c) pixels[i * 4 + c] = planes[c][i];
    }
}
#endif

void InterleaveAny(const uint8_t* const* planes, int count, uint8_t* pixels, size_t area) {
    switch (count) {
    case 1: std::memcpy(pixels, planes[0], area); return;
    case 2: Interleave<2>(planes, pixels, area); return;
    case 3: Interleave<3>(planes, pixels, area); return;
    case 4: Interleave<4>(planes, pixels, area); return;
    case 5: Interleave<5>(planes, pixels, area); return;
    default:
        for (size_t i = 0; i < area; ++i) {
            for (int c = 0; c < count; ++c) pixels[i * count + c] = planes[c][i];
        }
    }
}

void DeinterleaveAny(const uint8_t* pixels, int count, uint8_t* const* planes, size_t area) {
    switch (count) {
    case 1: Deinterleave<1>(pixels, planes, area); return;
    case 2: Deinterleave<2>(pixels, planes, area); return;
    case 3: Deinterleave<3>(pixels, planes, area); return;
    case 4: Deinterleave<4>(pixels, planes, area); return;
    case 5: Deinterleave<5>(pixels, planes, area); return;
    default:
        for (size_t i = 0; i < area; ++i) {
            for (int c = 0; c < count; ++c) planes[c][i] = pixels[i * count + c];
        }
    }
}

}  // namespace

Raster RasterFromPlanes(const tniff::Image& image, const std::vector<int>& planes) {
    const int count = static_cast<int>(planes.size());
    Raster raster(image.width(), image.height(), count);
    const size_t area = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    if (area == 0 || count <= 0) return raster;
    std::vector<const uint8_t*> sources;
    for (int plane : planes) sources.push_back(image.address(plane, 0, 0));
    InterleaveAny(sources.data(), count, raster.pixels.data(), area);
    return raster;
}

Raster RasterFromPlanes(const tniff::Image& image, int first, int count) {
    std::vector<int> planes;
    for (int c = 0; c < count; ++c) planes.push_back(first + c);
    return RasterFromPlanes(image, planes);
}

tniff::Image ImageFromRaster(const Raster& raster) {
    int16_t mode = raster.channels <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
    tniff::Image image(raster.width, raster.height, raster.channels, mode);
    const size_t area = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height);
    if (area == 0 || raster.channels <= 0) return image;
    std::vector<uint8_t*> planes;
    for (int c = 0; c < raster.channels; ++c) planes.push_back(&image.at(c, 0, 0));
    DeinterleaveAny(raster.pixels.data(), raster.channels, planes.data(), area);
    return image;
}

tniff::Image ImageFromPlanes(const tniff::Image& image, int first, int count) {
    int16_t mode = count <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
    tniff::Image planes(image.width(), image.height(), count, mode);
    const size_t area = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    if (area == 0) return planes;
    for (int c = 0; c < count; ++c)
        std::memcpy(&planes.at(c, 0, 0), image.address(first + c, 0, 0), area);
    return planes;
}

bool ChannelsEqual(const tniff::Image& image, int first) {
    const size_t area = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    const uint8_t* red = image.address(first, 0, 0);
    const uint8_t* green = image.address(first + 1, 0, 0);
    const uint8_t* blue = image.address(first + 2, 0, 0);
    for (size_t i = 0; i < area; ++i) {
        if (red[i] != green[i] || red[i] != blue[i]) return false;
    }
    return true;
}

int RowsPerBlock(int width, int channels, size_t blockBytes) {
    const size_t row = static_cast<size_t>(width > 0 ? width : 1) *
                       static_cast<size_t>(channels > 0 ? channels : 1);
    const size_t rows = blockBytes / row;
    return rows < 1                                   ? 1
           : rows > static_cast<size_t>(kLargestSide) ? kLargestSide
                                                      : static_cast<int>(rows);
}

RasterRows::RasterRows(const Raster& raster)
    : RowSource(raster.width, raster.height, raster.channels), raster_(raster) {}

const uint8_t* RasterRows::Rows(int top, int) {
    return raster_.pixels.data() + static_cast<size_t>(top) * rowBytes();
}

PlaneRows::PlaneRows(const tniff::Image& image, const std::vector<int>& planes)
    : RowSource(image.width(), image.height(), static_cast<int>(planes.size())),
      image_(image),
      planes_(planes) {}

PlaneRows::PlaneRows(const tniff::Image& image, int first, int count)
    : RowSource(image.width(), image.height(), count), image_(image) {
    for (int c = 0; c < count; ++c) planes_.push_back(first + c);
}

const uint8_t* PlaneRows::Rows(int top, int count) {
    const size_t bytes = static_cast<size_t>(count) * rowBytes();
    if (block_.size() < bytes) block_.resize(bytes);
    std::vector<const uint8_t*> planes;
    for (int plane : planes_) planes.push_back(image_.address(plane, top, 0));
    InterleaveAny(planes.data(), channels(), block_.data(),
                  static_cast<size_t>(count) * static_cast<size_t>(width()));
    return block_.data();
}

// The pixels are reserved whole but filled only as far as the rows asked for: a file that
// announces a huge image and then fails costs the rows it reached.
void RasterSink::Begin(int width, int height, int channels, int sourceBits) {
    raster_ = Raster();
    raster_.width = width;
    raster_.height = height;
    raster_.channels = channels;
    raster_.sourceBits = sourceBits;
    raster_.pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) *
                           static_cast<size_t>(channels));
}

uint8_t* RasterSink::Rows(int top, int count) {
    const size_t row = static_cast<size_t>(raster_.width) * static_cast<size_t>(raster_.channels);
    const size_t end = static_cast<size_t>(top + count) * row;
    if (raster_.pixels.size() < end) raster_.pixels.resize(end);
    return raster_.pixels.data() + static_cast<size_t>(top) * row;
}

Raster& RasterSink::raster() {
    raster_.pixels.resize(static_cast<size_t>(raster_.width) * static_cast<size_t>(raster_.height) *
                          static_cast<size_t>(raster_.channels));
    return raster_;
}

void ImageSink::Begin(int width, int height, int channels, int sourceBits) {
    CheckImageSizeLimit(width, height, channels, maxImageBytes_, name_, raiseLimit_);
    image_ = tniff::Image(width, height, channels,
                          channels <= 2 ? plugInModeGrayScale : plugInModeRGBColor);
    sourceBits_ = sourceBits;
}

uint8_t* ImageSink::Rows(int, int count) {
    const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(image_.width()) *
                         static_cast<size_t>(image_.planes());
    if (block_.size() < bytes) block_.resize(bytes);
    return block_.data();
}

void ImageSink::Filled(int top, int count) {
    const size_t area = static_cast<size_t>(count) * static_cast<size_t>(image_.width());
    if (area == 0 || image_.planes() <= 0) return;
    std::vector<uint8_t*> planes;
    for (int c = 0; c < image_.planes(); ++c) planes.push_back(&image_.at(c, top, 0));
    DeinterleaveAny(block_.data(), image_.planes(), planes.data(), area);
}

}  // namespace tarniff
