// libtiff reports through handlers given to each open; they keep the first error's words for the
// Error thrown afterwards, so nothing of libtiff's is printed on its own.
#include "tarniff/image_files/codecs.h"
#include "tarniff/image_files/zeroed_buffer.h"

#include <sys/stat.h>

#include <tiffio.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tarniff/tarniff.h"

namespace tarniff {

namespace {

// Samples a pixel may carry. Only the colour samples and the first extra one are used, but a
// contiguous scanline holds them all: this keeps a scanline of the widest image near 1 MiB.
const int kMostSamplesPerPixel = 16;
// A tile (of one plane, or of all samples together) is decoded whole into memory of its own.
const uint64_t kLargestTileBytes = 256u << 20;
// Written strips hold about this many bytes of pixels: large enough for deflate to find its
// matches, small enough to be one write each.
const size_t kStripBytes = 256u << 10;
// The deflate level written with (see the README for the measurements behind it).
const int kDeflateLevel = 4;

// What libtiff reported through the handlers of one open.
struct TiffMessages {
    std::string path;     // the file, as it was opened
    std::string error;    // the first error, on one line
    int systemError = 0;  // errno when that error was reported
};

int OnTiffError(TIFF*, void* data, const char* module, const char* format, va_list arguments) {
    TiffMessages* messages = static_cast<TiffMessages*>(data);
    if (!messages->error.empty()) return 1;
    messages->systemError = errno;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    // libtiff names the function that failed, or the file itself, which the message names already.
    const bool named = module != nullptr && *module != '\0' && module != messages->path;
    messages->error = (named ? std::string(module) + ": " : std::string()) + line;
    return 1;  // handled: libtiff prints nothing
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

TiffHandle OpenTiff(const std::string& path, const char* mode, TiffMessages* messages) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, &OnTiffError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &OnTiffWarning, messages);
    TIFF* tiff = TIFFOpenExt(path.c_str(), mode, options);
    TIFFOpenOptionsFree(options);  // the open keeps copies of the handlers
    return TiffHandle(tiff);
}

Error BrokenTiff(const std::string& name, const TiffMessages& messages) {
    return Error(name + ": broken TIFF file: " +
                 (messages.error.empty() ? std::string("libtiff cannot read it") : messages.error));
}

// What the directory of the first image says, as far as reading it goes.
struct TiffShape {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t samples = 0;  // per pixel
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t photometric = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    int colourSamples = 0;  // 1 (gray or palette index) or 3
    bool alpha = false;     // the first extra sample is alpha
    bool associated = false;
    bool separate() const { return planar == PLANARCONFIG_SEPARATE && samples > 1; }
    int channels() const {
        return (photometric == PHOTOMETRIC_PALETTE ? 3 : colourSamples) + (alpha ? 1 : 0);
    }
};

std::string PhotometricName(uint16_t photometric, uint16_t compression) {
    switch (photometric) {
    case PHOTOMETRIC_MASK: return "a transparency mask";
    case PHOTOMETRIC_SEPARATED: return "a CMYK (separated) image";
    case PHOTOMETRIC_YCBCR:
        return compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG
                   ? "a YCbCr image (JPEG compressed)"
                   : "a YCbCr image";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return "a CIE L*a*b* image";
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV: return "a LogLuv high-dynamic-range image";
    case PHOTOMETRIC_CFA: return "a raw camera (colour filter array) image";
    default: return "an image of photometric interpretation " + std::to_string(photometric);
    }
}

// Reads the tags and refuses, in one line naming what the file is, what tniff does not read.
TiffShape ReadShape(TIFF* tiff, const std::string& name) {
    TiffShape shape;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &shape.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &shape.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &shape.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &shape.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &shape.sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &shape.planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &shape.compression);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &shape.photometric))
        shape.photometric = PHOTOMETRIC_MINISBLACK;
    shape.tiled = TIFFIsTiled(tiff) != 0;

    const std::string layout = std::to_string(shape.samples) +
                               (shape.samples == 1 ? " sample" : " samples") + " of " +
                               std::to_string(shape.bits) + " bits per pixel";
    auto refuse = [&](const std::string& what) {
        return Error(
            name + ": unsupported TIFF file: it is " + what + ", " + layout +
            "; tniff reads gray, RGB and palette images of 1, 2, 4, 8 or 16 bits per sample");
    };
    switch (shape.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_PALETTE: shape.colourSamples = 1; break;
    case PHOTOMETRIC_RGB: shape.colourSamples = 3; break;
    default: throw refuse(PhotometricName(shape.photometric, shape.compression));
    }
    const char* kind = shape.photometric == PHOTOMETRIC_RGB       ? "an RGB image"
                       : shape.photometric == PHOTOMETRIC_PALETTE ? "a palette image"
                                                                  : "a gray image";
    if (shape.sampleFormat == SAMPLEFORMAT_IEEEFP)
        throw refuse(std::string(kind) + " of floating-point samples");
    if (shape.sampleFormat != SAMPLEFORMAT_UINT)
        throw refuse(std::string(kind) + " of signed or complex samples");
    const bool lowBits = shape.bits == 1 || shape.bits == 2 || shape.bits == 4;
    if (!(shape.bits == 8 || shape.bits == 16 ||
          (lowBits && shape.samples == 1 && shape.colourSamples == 1))) {
        throw refuse(std::string(kind) + " of " + std::to_string(shape.bits) + "-bit samples");
    }
    if (shape.samples < shape.colourSamples) {
        throw Error(name + ": broken TIFF file: " + kind + " of " + layout);
    }
    if (shape.photometric == PHOTOMETRIC_PALETTE && shape.samples != 1) {
        throw refuse("a palette image with extra samples");
    }
    if (shape.samples > kMostSamplesPerPixel)
        throw refuse(std::string(kind) + " with that many extra samples");

    shape.alpha = shape.samples > shape.colourSamples;
    uint16_t extraCount = 0;
    uint16_t* extraKinds = nullptr;
    // Alpha unless it says it is associated; unspecified extra samples are read as straight alpha.
    if (shape.alpha && TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds) &&
        extraCount > 0) {
        shape.associated = extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
    }
    return shape;
}

// The data of every strip or tile lies inside the file: a file cut short is said to be so before
// any pixel memory is taken.
void CheckDataInFile(TIFF* tiff, const std::string& path, const std::string& name,
                     const TiffMessages& messages) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        throw Error(name + ": cannot open: " + std::strerror(errno));
    const uint64_t fileBytes = static_cast<uint64_t>(status.st_size);
    const uint32_t count = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    uint64_t end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int error = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(tiff, i, &error);
        const uint64_t bytes = error == 0 ? TIFFGetStrileByteCountWithErr(tiff, i, &error) : 0;
        if (error != 0) throw BrokenTiff(name, messages);
        if (offset > fileBytes || bytes > fileBytes - offset)
            end = std::max(end, offset + std::min(bytes, ~offset));
    }
    if (end > fileBytes) {
        throw Error(name + ": truncated TIFF file: its pixel data reaches byte " +
                    std::to_string(end) + " and the file ends after " + std::to_string(fileBytes) +
                    " bytes");
    }
}

// A file whose first image directory lies past its end was cut short: said so, rather than with
// libtiff's words about a directory it cannot read. head holds the file's first got bytes.
void RefuseCutDirectory(const std::string& path, const std::string& name, const uint8_t* head,
                        size_t got) {
    const bool little = head[0] == 'I';
    const bool big = head[2] == 43 || head[3] == 43;  // BigTIFF: an 8-byte offset at byte 8
    const size_t at = big ? 8 : 4, width = big ? 8 : 4;
    if (got < at + width) return;
    uint64_t offset = 0;
    for (size_t i = 0; i < width; ++i) {
        const uint8_t byte = head[at + (little ? width - 1 - i : i)];
        offset = (offset << 8) | byte;
    }
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || offset < static_cast<uint64_t>(status.st_size)) return;
    throw Error(name + ": truncated TIFF file: its first image directory is at byte " +
                std::to_string(offset) + " and the file ends after " +
                std::to_string(status.st_size) + " bytes");
}

// How the samples of a pixel become its 8-bit channels.
struct Conversion {
    int bits = 8;
    uint32_t largest = 255;  // the largest sample value
    bool invert = false;     // min-is-white
    bool associated = false;
    int colourSamples = 1;
    bool alpha = false;
    std::vector<uint8_t> palette;  // RGB of each index, 8 bits each; empty unless a palette image

    // One colour or alpha sample as 8 bits: 16-bit samples as tniff scales them for every file
    // type, fewer bits widened to the full range (a 4-bit 15 is 255).
    uint8_t Eight(uint32_t value) const {
        if (bits == 16) return ScaleSample(value, 65535);
        if (bits == 8) return static_cast<uint8_t>(value);
        return static_cast<uint8_t>(value * (255 / largest));
    }
    uint32_t Colour(uint32_t value) const { return invert ? largest - value : value; }
    // A premultiplied colour sample made straight: rounded to nearest, never above the largest
    // value (a colour above its alpha is not premultiplied data), 0 where alpha is 0.
    uint32_t Straight(uint32_t value, uint32_t alpha) const {
        if (alpha == 0) return 0;
        const uint64_t straight = (static_cast<uint64_t>(value) * largest + alpha / 2) / alpha;
        return static_cast<uint32_t>(std::min<uint64_t>(straight, largest));
    }
};

// Sample index of a row of packed samples: 1, 2 or 4 bits from the most significant end of each
// byte, or 8 or 16 bits (the latter in this machine's byte order, as libtiff hands them over).
inline uint32_t SampleAt(const uint8_t* row, size_t index, int bits) {
    if (bits == 8) return row[index];
    if (bits == 16) {
        uint16_t value;
        std::memcpy(&value, row + index * 2, 2);
        return value;
    }
    const size_t bit = index * static_cast<size_t>(bits);
    const int shift = 8 - bits - static_cast<int>(bit % 8);
    return (row[bit / 8] >> shift) & ((1u << bits) - 1u);
}

// Where the samples of a run of pixels are: one row of all samples interleaved, or one row per
// plane.
struct SampleRows {
    const uint8_t* plane[4] = {nullptr, nullptr, nullptr, nullptr};
    int stride = 1;  // samples from one pixel to the next within a plane's row
    uint32_t At(const Conversion& c, int sample, size_t x) const {
        if (stride == 1) return SampleAt(plane[sample], x, c.bits);
        return SampleAt(plane[0], x * static_cast<size_t>(stride) + static_cast<size_t>(sample),
                        c.bits);
    }
};

// count pixels from rows (starting at pixel first) to out, every channel of each.
void ConvertPixels(const Conversion& c, const SampleRows& rows, size_t first, size_t count,
                   uint8_t* out) {
    const int colours = c.colourSamples;
    const size_t channels =
        static_cast<size_t>((c.palette.empty() ? colours : 3) + (c.alpha ? 1 : 0));
    if (c.bits == 8 && !c.invert && !c.associated && c.palette.empty() &&
        rows.stride == static_cast<int>(channels)) {
        std::memcpy(out, rows.plane[0] + first * channels, count * channels);
        return;
    }
    for (size_t i = 0; i < count; ++i, out += channels) {
        const size_t x = first + i;
        const uint32_t alpha = c.alpha ? rows.At(c, colours, x) : c.largest;
        if (!c.palette.empty()) {
            const uint32_t index = rows.At(c, 0, x);
            std::memcpy(out, &c.palette[static_cast<size_t>(index) * 3], 3);
            continue;
        }
        for (int s = 0; s < colours; ++s) {
            uint32_t value = c.Colour(rows.At(c, s, x));
            if (c.associated) value = c.Straight(value, alpha);
            out[s] = c.Eight(value);
        }
        if (c.alpha) out[colours] = c.Eight(alpha);
    }
}

// The colour map as 8-bit RGB. Its entries are 16 bits, but some writers store 8-bit values in
// them; a map with no entry above 255 is read as such, as libtiff's own RGBA reader does.
std::vector<uint8_t> ReadPalette(TIFF* tiff, const TiffShape& shape, const std::string& name,
                                 const TiffMessages& messages) {
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue) || red == nullptr) {
        if (!messages.error.empty()) throw BrokenTiff(name, messages);
        throw Error(name + ": broken TIFF file: a palette image without a colour map");
    }
    const size_t entries = size_t(1) << shape.bits;
    bool sixteen = false;
    for (size_t i = 0; i < entries && !sixteen; ++i)
        sixteen = red[i] > 255 || green[i] > 255 || blue[i] > 255;
    std::vector<uint8_t> palette(entries * 3);
    for (size_t i = 0; i < entries; ++i) {
        const uint16_t rgb[3] = {red[i], green[i], blue[i]};
        for (int k = 0; k < 3; ++k)
            palette[i * 3 + k] = sixteen ? ScaleSample(rgb[k], 65535) : uint8_t(rgb[k]);
    }
    return palette;
}

// Rows first .. first + count - 1, decoded at pixels (row first at pixels), handed to the sink a
// block of its size at a time.
void HandOver(const uint8_t* pixels, uint32_t first, uint32_t count, const TiffShape& shape,
              RowSink* sink) {
    const size_t rowBytes =
        static_cast<size_t>(shape.width) * static_cast<size_t>(shape.channels());
    const uint32_t block =
        static_cast<uint32_t>(sink->BlockRows(static_cast<int>(shape.width), shape.channels()));
    for (uint32_t done = 0; done < count; done += block) {
        const uint32_t rows = std::min(block, count - done);
        std::memcpy(sink->Rows(static_cast<int>(first + done), static_cast<int>(rows)),
                    pixels + static_cast<size_t>(done) * rowBytes,
                    static_cast<size_t>(rows) * rowBytes);
        sink->Filled(static_cast<int>(first + done), static_cast<int>(rows));
    }
}

// Rows of strips with samples interleaved, one scanline at a time (a strip may be the whole
// image), each block of rows converted straight into the sink's.
void ReadContiguousStrips(TIFF* tiff, const TiffShape& shape, const Conversion& c, RowSink* sink,
                          const Progress& rowProgress, const std::string& name,
                          const TiffMessages& messages) {
    std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize64(tiff)));
    if (line.empty()) throw BrokenTiff(name, messages);
    SampleRows rows;
    rows.plane[0] = line.data();
    rows.stride = shape.samples;
    const size_t rowBytes =
        static_cast<size_t>(shape.width) * static_cast<size_t>(shape.channels());
    const uint32_t block =
        static_cast<uint32_t>(sink->BlockRows(static_cast<int>(shape.width), shape.channels()));
    for (uint32_t top = 0; top < shape.height; top += block) {
        const uint32_t count = std::min(block, shape.height - top);
        uint8_t* out = sink->Rows(static_cast<int>(top), static_cast<int>(count));
        for (uint32_t y = top; y < top + count; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, 0) < 0) throw BrokenTiff(name, messages);
            ConvertPixels(c, rows, 0, shape.width, out + static_cast<size_t>(y - top) * rowBytes);
            if (rowProgress && (y % 64 == 63 || y + 1 == shape.height))
                rowProgress(int(y + 1), int(shape.height));
        }
        sink->Filled(static_cast<int>(top), static_cast<int>(count));
    }
}

// Strips with each sample in a plane of its own, a plane at a time (a strip may be a whole
// plane, so the planes are not read side by side): the image is put together whole, then handed
// over. Alpha comes first: associated alpha is kept at full precision to make the colour planes
// straight.
void ReadSeparateStrips(TIFF* tiff, const TiffShape& shape, const Conversion& c, RowSink* sink,
                        const Progress& rowProgress, const std::string& name,
                        const TiffMessages& messages) {
    std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize64(tiff)));
    if (line.empty()) throw BrokenTiff(name, messages);
    const size_t width = shape.width;
    const size_t channels = static_cast<size_t>(shape.channels());
    ZeroedBuffer<uint8_t> pixels(width * shape.height * channels);
    ZeroedBuffer<uint16_t> alphaPlane(c.associated ? width * shape.height : 0);
    std::vector<int> order;
    if (c.alpha) order.push_back(c.colourSamples);
    for (int s = 0; s < c.colourSamples; ++s) order.push_back(s);
    const int total = static_cast<int>(order.size() * shape.height);
    int done = 0;
    for (int sample : order) {
        const bool isAlpha = sample == c.colourSamples;
        for (uint32_t y = 0; y < shape.height; ++y) {
            if (TIFFReadScanline(tiff, line.data(), y, static_cast<uint16_t>(sample)) < 0) {
                throw BrokenTiff(name, messages);
            }
            uint8_t* out = pixels.data() + y * width * channels + static_cast<size_t>(sample);
            uint16_t* alpha = c.associated ? alphaPlane.data() + y * width : nullptr;
            for (size_t x = 0; x < width; ++x, out += channels) {
                uint32_t value = SampleAt(line.data(), x, c.bits);
                if (isAlpha) {
                    if (alpha != nullptr) alpha[x] = static_cast<uint16_t>(value);
                } else {
                    value = c.Colour(value);
                    if (alpha != nullptr) value = c.Straight(value, alpha[x]);
                }
                *out = c.Eight(value);
            }
            ++done;
            if (rowProgress && (done % 64 == 0 || done == total)) rowProgress(done, total);
        }
    }
    HandOver(pixels.data(), 0, shape.height, shape, sink);
}

// Tiles, each decoded whole (every plane of it when the samples are in planes), a row of tiles
// put together and then handed over.
void ReadTiles(TIFF* tiff, const TiffShape& shape, const Conversion& c, RowSink* sink,
               const Progress& rowProgress, const std::string& name, const TiffMessages& messages) {
    uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    const uint64_t tileBytes = TIFFTileSize64(tiff);
    const uint64_t rowBytes64 = TIFFTileRowSize64(tiff);
    const int planes = shape.separate() ? c.colourSamples + (c.alpha ? 1 : 0) : 1;
    if (tileWidth == 0 || tileHeight == 0 || tileBytes == 0 || rowBytes64 == 0)
        throw BrokenTiff(name, messages);
    if (tileBytes * static_cast<uint64_t>(planes) > kLargestTileBytes) {
        throw Error(name + ": unsupported TIFF file: its tiles of " + std::to_string(tileWidth) +
                    " x " + std::to_string(tileHeight) + " pixels take " +
                    Mebibytes(tileBytes * uint64_t(planes)) +
                    ", more than tniff decodes at once (" + Mebibytes(kLargestTileBytes) + ")");
    }
    const size_t rowBytes = static_cast<size_t>(rowBytes64);
    // Tiles and the row of them are large for some files: backed only as tiles are decoded.
    ZeroedBuffer<uint8_t> tiles(static_cast<size_t>(tileBytes) * static_cast<size_t>(planes));
    const size_t outRow = static_cast<size_t>(shape.width) * static_cast<size_t>(shape.channels());
    const uint32_t bandRows = std::min(tileHeight, shape.height);
    ZeroedBuffer<uint8_t> band(outRow * bandRows);
    for (uint32_t top = 0; top < shape.height; top += tileHeight) {
        const uint32_t down = std::min(tileHeight, shape.height - top);
        for (uint32_t left = 0; left < shape.width; left += tileWidth) {
            for (int p = 0; p < planes; ++p) {
                const ttile_t index = TIFFComputeTile(tiff, left, top, 0, static_cast<uint16_t>(p));
                if (TIFFReadEncodedTile(tiff, index, tiles.data() + size_t(p) * tileBytes,
                                        static_cast<tmsize_t>(tileBytes)) < 0) {
                    throw BrokenTiff(name, messages);
                }
            }
            const size_t across = std::min(tileWidth, shape.width - left);
            for (uint32_t r = 0; r < down; ++r) {
                SampleRows rows;
                for (int p = 0; p < planes; ++p)
                    rows.plane[p] = tiles.data() + size_t(p) * tileBytes + r * rowBytes;
                rows.stride = shape.separate() ? 1 : shape.samples;
                ConvertPixels(c, rows, 0, across,
                              band.data() + r * outRow + left * size_t(shape.channels()));
            }
        }
        HandOver(band.data(), top, down, shape, sink);
        const uint32_t rowsDone = std::min(shape.height, top + tileHeight);
        if (rowProgress) rowProgress(int(rowsDone), int(shape.height));
    }
}
}  // namespace

void ReadTiff(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    const Progress& rowProgress = settings.progress;
    uint8_t head[16];
    size_t got = 0;
    {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
        if (!file) throw Error(name + ": cannot open: " + std::strerror(errno));
        got = std::fread(head, 1, sizeof head, file.get());
        FileKind kind;
        std::string what;
        if (!SniffKind(head, got, &kind, &what) || kind != FileKind::tiff) {
            std::string content = DescribeContent(path);
            throw Error(name + ": not a TIFF file" + (content.empty() ? "" : ": it is " + content));
        }
    }
    TiffMessages messages;
    messages.path = path;
    TiffHandle tiff = OpenTiff(path, "r", &messages);
    if (!tiff) {
        RefuseCutDirectory(path, name, head, got);
        throw BrokenTiff(name, messages);
    }
    const TiffShape shape = ReadShape(tiff.get(), name);
    if (shape.width == 0 || shape.height == 0)
        throw Error(name + ": broken TIFF file: the image is empty");
    CheckFormatLimits(shape.width, shape.height, name);
    CheckImageSizeLimit(shape.width, shape.height, shape.channels(), settings.maxImageBytes, name,
                        settings.raiseLimit);
    CheckDataInFile(tiff.get(), path, name, messages);

    Conversion c;
    c.bits = shape.bits;
    c.largest = (uint32_t(1) << shape.bits) - 1u;
    c.invert = shape.photometric == PHOTOMETRIC_MINISWHITE;
    c.associated = shape.associated;
    c.colourSamples = shape.colourSamples;
    c.alpha = shape.alpha;
    if (shape.photometric == PHOTOMETRIC_PALETTE)
        c.palette = ReadPalette(tiff.get(), shape, name, messages);

    sink->Begin(int(shape.width), int(shape.height), shape.channels(), shape.bits);
    if (shape.tiled) {
        ReadTiles(tiff.get(), shape, c, sink, rowProgress, name, messages);
    } else if (shape.separate()) {
        ReadSeparateStrips(tiff.get(), shape, c, sink, rowProgress, name, messages);
    } else {
        ReadContiguousStrips(tiff.get(), shape, c, sink, rowProgress, name, messages);
    }
}

namespace {

TiffHandle OpenTiffForWriting(const std::string& path, const std::string& name,
                              TiffMessages* messages) {
    messages->path = path;
    errno = 0;
    TiffHandle tiff = OpenTiff(path, "w", messages);
    if (!tiff) {
        throw Error(
            name + ": cannot open for writing: " +
            (messages->systemError != 0 ? std::strerror(messages->systemError) : messages->error));
    }
    return tiff;
}

// A write that failed has the system's reason; libtiff's words say only where it was.
Error WriteFailed(const std::string& name, const TiffMessages& messages) {
    return Error(name + ": cannot write: " +
                 (messages.systemError != 0 ? std::string(std::strerror(messages.systemError))
                  : messages.error.empty()  ? std::string("libtiff failed")
                                            : messages.error));
}

bool SetResolution(TIFF* t, const Resolution& resolution) {
    if (resolution.horizontalDpi <= 0 || resolution.verticalDpi <= 0) return true;
    return TIFFSetField(t, TIFFTAG_XRESOLUTION, resolution.horizontalDpi) &&
           TIFFSetField(t, TIFFTAG_YRESOLUTION, resolution.verticalDpi) &&
           TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
}

}  // namespace

void WriteTiff(RowSource& source, const std::string& path, const std::string& name,
               const WriteSettings& settings) {
    if (source.channels() < 1 || source.channels() > 4) {
        throw Error(name + ": tniff writes TIFF files of 1 to 4 channels, not " +
                    std::to_string(source.channels()));
    }
    TiffMessages messages;
    TiffHandle tiff = OpenTiffForWriting(path, name, &messages);
    auto failed = [&]() { return WriteFailed(name, messages); };
    const size_t rowBytes = source.rowBytes();
    const int channels = source.channels();
    const uint32_t rowsPerStrip =
        static_cast<uint32_t>(std::max<size_t>(1, kStripBytes / std::max<size_t>(rowBytes, 1)));
    const bool alpha = channels == 2 || channels == 4;
    const uint16_t extraKinds[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFF* t = tiff.get();
    bool set = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(source.width())) &&
               TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(source.height())) &&
               TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8)) &&
               TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(channels)) &&
               TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                            channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
               TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
               TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
               TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
               TIFFSetField(t, TIFFTAG_ZIPQUALITY, kDeflateLevel) &&
               TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
               TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    if (set && alpha) set = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), extraKinds);
    if (!set || !SetResolution(t, settings.resolution)) throw failed();

    // libtiff's predictor works on a copy of what it is given; the strip is copied here all the
    // same, so the source's rows are never handed over as writable memory.
    std::vector<uint8_t> strip(rowsPerStrip * rowBytes);
    const uint32_t height = static_cast<uint32_t>(source.height());
    for (uint32_t top = 0, index = 0; top < height; top += rowsPerStrip, ++index) {
        const uint32_t rows = std::min(rowsPerStrip, height - top);
        const size_t bytes = rows * rowBytes;
        std::memcpy(strip.data(), source.Rows(static_cast<int>(top), static_cast<int>(rows)),
                    bytes);
        errno = 0;
        if (TIFFWriteEncodedStrip(t, index, strip.data(), static_cast<tmsize_t>(bytes)) < 0)
            throw failed();
        if (settings.progress) settings.progress(int(top + rows), source.height());
    }
    errno = 0;
    if (!TIFFFlush(t)) throw failed();
    TIFFClose(tiff.release());
}

// Four times the bytes of an 8-bit plane, most of them the noisy low bits of each value: deflate's
// fastest level: level 4 made the W3 render's depth 2% smaller in more than twice the time.
const int kRawDepthDeflateLevel = 1;

void WriteRawDepthTiff(const RawDepth& depth, const std::string& path, const std::string& name,
                       const RawDepthSettings& settings) {
    TiffMessages messages;
    TiffHandle tiff = OpenTiffForWriting(path, name, &messages);
    const size_t rowValues = static_cast<size_t>(depth.width) * 2;
    const size_t rowBytes = rowValues * 4;
    const uint32_t rowsPerStrip =
        static_cast<uint32_t>(std::max<size_t>(1, kStripBytes / rowBytes));
    const uint16_t extraKinds[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFF* t = tiff.get();
    // Horizontal differencing suits integers; floats have a predictor of their own.
    const bool set =
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(depth.width)) &&
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(depth.height)) &&
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(32)) &&
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(2)) &&
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                     settings.asFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT) &&
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), extraKinds) &&
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
        TIFFSetField(t, TIFFTAG_ZIPQUALITY, kRawDepthDeflateLevel) &&
        TIFFSetField(t, TIFFTAG_PREDICTOR,
                     settings.asFloat ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL) &&
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
        SetResolution(t, settings.resolution);
    if (!set) throw WriteFailed(name, messages);

    // The coverage mask is full where a pixel has depth: all bits of an integer, 1.0 of a float.
    const uint32_t present = settings.asFloat ? 0x3F800000u : 0xFFFFFFFFu;
    std::vector<uint32_t> strip(rowsPerStrip * rowValues);
    const uint32_t height = static_cast<uint32_t>(depth.height);
    for (uint32_t top = 0, index = 0; top < height; top += rowsPerStrip, ++index) {
        const uint32_t rows = std::min(rowsPerStrip, height - top);
        const uint32_t* from = depth.values.data() + static_cast<size_t>(top) * depth.width;
        for (size_t i = 0; i < static_cast<size_t>(rows) * depth.width; ++i) {
            strip[2 * i] = from[i];
            strip[2 * i + 1] = RawDepth::Empty(from[i]) ? 0 : present;
        }
        errno = 0;
        if (TIFFWriteEncodedStrip(t, index, strip.data(), static_cast<tmsize_t>(rows * rowBytes)) <
            0)
            throw WriteFailed(name, messages);
        if (settings.progress) settings.progress(int(top + rows), depth.height);
    }
    errno = 0;
    if (!TIFFFlush(t)) throw WriteFailed(name, messages);
    TIFFClose(tiff.release());
}

}  // namespace tarniff
