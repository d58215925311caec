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

// Throws ToolError, naming the file as name, when an image of this size and channels takes more
// than maxImageBytes (0: no limit) in memory: tniff's image-size limit, for every kind of input.
void CheckImageSizeLimit(int64_t width, int64_t height, int channels, uint64_t maxImageBytes,
                         const std::string& name);

// Pixels per inch across and down; 0 where unknown (then no resolution is written).
struct Resolution {
    double horizontalDpi = 0;
    double verticalDpi = 0;
};

// Planes first to first + count - 1 of the image, interleaved into out, which holds width *
// height * count bytes: rows from the top, each pixel's channels in plane order. For callers
// that own the memory (an array handed on without another copy).
void InterleavePlanes(const tniff::Image& image, int first, int count, uint8_t* out);

// Planes first to first + count - 1 of the image, interleaved.
Raster RasterFromPlanes(const tniff::Image& image, int first, int count);
// The image's planes in the order listed, interleaved.
Raster RasterFromPlanes(const tniff::Image& image, const std::vector<int>& planes);

// The image a host holds for these pixels: one or two channels are a grayscale image, three to
// five an RGB image, with as many planes as the raster has channels.
tniff::Image ImageFromRaster(const Raster& raster);

// Planes first to first + count - 1 of the image as an image of their own, with the mode
// ImageFromRaster gives that many channels.
tniff::Image ImageFromPlanes(const tniff::Image& image, int first, int count);

// Large images go through the writers and readers a block of rows at a time, interleaved in a
// buffer of about this size, so that no second whole-image copy is made.
const size_t kBlockBytes = size_t(1) << 20;
// Rows of width pixels of channels bytes in such a block: at least one.
int RowsPerBlock(int width, int channels, size_t blockBytes = kBlockBytes);

// Interleaved rows for a writer, asked for from the top a block at a time.
class RowSource {
public:
    RowSource(int width, int height, int channels) : width_(width), height_(height), channels_(channels) {}
    virtual ~RowSource() = default;
    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    size_t rowBytes() const { return static_cast<size_t>(width_) * static_cast<size_t>(channels_); }
    // Rows top .. top + count - 1, one after another; valid until the next call.
    virtual const uint8_t* Rows(int top, int count) = 0;

private:
    int width_, height_, channels_;
};

// A raster's own rows, as they are.
class RasterRows : public RowSource {
public:
    explicit RasterRows(const Raster& raster);
    const uint8_t* Rows(int top, int count) override;

private:
    const Raster& raster_;
};

// Planes of a host image, interleaved into a reused block buffer as they are asked for. Channel
// c of the rows is plane planes[c]; a plane may stand for several channels (gray as RGB).
class PlaneRows : public RowSource {
public:
    PlaneRows(const tniff::Image& image, const std::vector<int>& planes);
    // Planes first to first + count - 1, in order.
    PlaneRows(const tniff::Image& image, int first, int count);
    const uint8_t* Rows(int top, int count) override;

private:
    const tniff::Image& image_;
    std::vector<int> planes_;
    std::vector<uint8_t> block_;
};

// Where a reader puts what it decodes: told the size once every check of the header passed,
// then asked for room for rows from the top, a block at a time, and told when they are filled.
class RowSink {
public:
    virtual ~RowSink() = default;
    // channels is 1 to 5; sourceBits the bits per sample of the file (16: scaled to 8).
    virtual void Begin(int width, int height, int channels, int sourceBits) = 0;
    // Room for rows top .. top + count - 1, interleaved, one after another.
    virtual uint8_t* Rows(int top, int count) = 0;
    // Those rows are filled.
    virtual void Filled(int top, int count) = 0;
    // Rows a reader asks for at a time (readers that need the whole image ask for it at once).
    virtual int BlockRows(int width, int channels) const { return RowsPerBlock(width, channels); }
};

// Reads into a whole raster: the rows go straight into its pixels.
class RasterSink : public RowSink {
public:
    void Begin(int width, int height, int channels, int sourceBits) override;
    uint8_t* Rows(int top, int count) override;
    void Filled(int, int) override {}
    Raster& raster() { return raster_; }

private:
    Raster raster_;
};

// Reads into a host image (the mode ImageFromRaster gives), each block of rows moved to the
// planes as soon as it is filled. blockBytes sets the block's size.
class ImageSink : public RowSink {
public:
    explicit ImageSink(size_t blockBytes = kBlockBytes) : blockBytes_(blockBytes) {}
    // An image above maxImageBytes is refused in Begin, before its memory is taken.
    void Limit(uint64_t maxImageBytes, const std::string& name) {
        maxImageBytes_ = maxImageBytes;
        name_ = name;
    }
    void Begin(int width, int height, int channels, int sourceBits) override;
    uint8_t* Rows(int top, int count) override;
    void Filled(int top, int count) override;
    int BlockRows(int width, int channels) const override { return RowsPerBlock(width, channels, blockBytes_); }
    tniff::Image& image() { return image_; }
    int sourceBits() const { return sourceBits_; }

private:
    size_t blockBytes_;
    uint64_t maxImageBytes_ = 0;
    std::string name_;
    tniff::Image image_;
    int sourceBits_ = 8;
    std::vector<uint8_t> block_;
};

}  // namespace tniff_cli

#endif
