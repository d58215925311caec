// The image-file readers, in process: PNG files of every colour type and bit depth composed here
// byte by byte, TIFF files of every layout written with libtiff, and 16-bit samples of PNG, PAM
// and PPM, each read as a front end reads them (a block of rows at a time into a host image) and
// saved through the module.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/png_maker.h"
#include "tests/support/temp_file.h"
#include "tests/support/tiff_maker.h"

namespace {

using namespace testfiles;
using pngmake::PngBytes;
using pngmake::PngSpec;
using Scratch = ScratchDir;

// What a reader gives: the host image a front end saves, and the bits of the file's samples.
struct Read {
    tniff::Image image;
    int sourceBits = 0;
};

Read ReadInto(tarniff::FileKind kind, const std::string& path) {
    tarniff::ImageSink sink;
    tarniff::ReadImageFile(kind, path, &sink, tarniff::ReadSettings{});
    Read read;
    read.sourceBits = sink.sourceBits();
    read.image = std::move(sink.image());
    return read;
}

// The .iff file the module saves of image.
Bytes SavedBytes(const tniff::Image& image, const Scratch& scratch) {
    const std::string path = scratch / "saved.iff";
    tarniff::SaveThroughModule(BuiltModule(), image, path, tarniff::SaveSettings{});
    return ReadBytesOf(path);
}

// The image saved through the module and opened again in this process.
tniff::Image SavedAndOpened(const tniff::Image& image, const Scratch& scratch) {
    SavedBytes(image, scratch);
    return OpenInProcess(scratch / "saved.iff");
}

// ---- PNG files of every colour type and bit depth
// -------------------------------------------------

struct PngCase {
    const char* name;
    int colourType;
    int bitDepth;
    bool palette;
    bool transparency;
    int planesOpened;  // when the saved file is opened
};

void PrintTo(const PngCase& c, std::ostream* os) { *os << c.name; }

class ReadPng : public ::testing::TestWithParam<PngCase> {};

// Builds a PNG of the case and the 8-bit channels a reader must make of it (gray, gray and
// alpha, RGB or RGBA), then checks what the reader gives and what the module saves of it.
TEST_P(ReadPng, ToIffKeepsEveryPixel) {
    const PngCase c = GetParam();
    Scratch scratch;
    const int width = 70, height = 66;  // two tile columns and rows, the second ones partial
    PngSpec fileSpec;
    fileSpec.width = width;
    fileSpec.height = height;
    fileSpec.colourType = c.colourType;
    fileSpec.bitDepth = c.bitDepth;
    const int perPixel = c.colourType == 2 ? 3 : c.colourType == 4 ? 2 : c.colourType == 6 ? 4 : 1;
    const int levels = 1 << std::min(c.bitDepth, 8);
    Bytes indices =
        Pattern(size_t(width) * height * perPixel, uint32_t(c.colourType * 31 + c.bitDepth));
    Bytes noise = Pattern(size_t(width) * height * perPixel, 977u);

    // The expected 8-bit channels, interleaved.
    int expectedChannels = 0;
    Bytes expected;
    if (c.palette) {
        for (int i = 0; i < levels; ++i)
            fileSpec.palette.insert(fileSpec.palette.end(),
                                    {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3)});
        if (c.transparency)
            for (int i = 0; i < levels && i < 10; ++i)
                fileSpec.transparency.push_back(uint8_t(i * 25));
        expectedChannels = c.transparency ? 4 : 3;
    } else {
        expectedChannels = perPixel + (c.transparency ? 1 : 0);
    }
    // Transparency of a gray or RGB image: one colour is transparent.
    std::vector<int> transparentColour;
    for (int y = 0; y < height; ++y) {
        std::vector<int> row;
        for (int x = 0; x < width; ++x) {
            std::vector<int> pixel;
            for (int k = 0; k < perPixel; ++k) {
                int value = indices[(size_t(y) * width + x) * perPixel + k] % levels;
                if (c.bitDepth == 16) {
                    // Near value * 257, so that an accurate reduction gives value back.
                    int offset = int(noise[(size_t(y) * width + x) * perPixel + k] % 241) - 120;
                    value = std::max(
                        0, std::min(65535,
                                    (indices[(size_t(y) * width + x) * perPixel + k] % 256) * 257 +
                                        offset));
                }
                pixel.push_back(value);
            }
            if (!c.palette && c.transparency && y == 0 && x == 0) {
                transparentColour = pixel;
                for (int v : pixel) {
                    if (c.bitDepth == 16)
                        fileSpec.transparency.push_back(uint8_t(v >> 8));
                    else
                        fileSpec.transparency.push_back(0);
                    fileSpec.transparency.push_back(uint8_t(v));
                }
            }
            row.insert(row.end(), pixel.begin(), pixel.end());
            // 8-bit channels of this pixel.
            if (c.palette) {
                int index = pixel[0];
                for (int k = 0; k < 3; ++k)
                    expected.push_back(fileSpec.palette[size_t(index) * 3 + k]);
                if (c.transparency) expected.push_back(index < 10 ? uint8_t(index * 25) : 255);
            } else {
                for (int v : pixel) {
                    if (c.bitDepth == 16)
                        expected.push_back(uint8_t((v + 128) / 257));
                    else
                        expected.push_back(uint8_t(v * 255 / (levels - 1)));
                }
                if (c.transparency) expected.push_back(pixel == transparentColour ? 0 : 255);
            }
        }
        fileSpec.samples.push_back(row);
    }
    WriteFile(scratch / "in.png", PngBytes(fileSpec));

    Read read = ReadInto(tarniff::FileKind::png, scratch / "in.png");
    // The file's bits per sample: only 16 lose precision, which front ends note.
    EXPECT_EQ(read.sourceBits, c.bitDepth);
    ASSERT_EQ(read.image.planes(), expectedChannels);
    EXPECT_EQ(Interleaved(read.image, 0, expectedChannels), expected);

    tniff::Image opened = SavedAndOpened(read.image, scratch);
    ASSERT_EQ(opened.planes(), c.planesOpened);
    ASSERT_EQ(opened.width(), width);
    ASSERT_EQ(opened.height(), height);
    bool gray = expectedChannels <= 2;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int p = 0; p < c.planesOpened; ++p) {
                int source = gray ? (p < 3 ? 0 : 1) : p;
                ASSERT_EQ(opened.at(p, y, x),
                          expected[(size_t(y) * width + x) * expectedChannels + source])
                    << "plane " << p << " at " << x << ", " << y;
            }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ReadPng,
    ::testing::Values(
        PngCase{"Gray1", 0, 1, false, false, 3}, PngCase{"Gray2", 0, 2, false, false, 3},
        PngCase{"Gray4", 0, 4, false, false, 3}, PngCase{"Gray8", 0, 8, false, false, 3},
        PngCase{"Gray16", 0, 16, false, false, 3},
        PngCase{"Gray8Transparent", 0, 8, false, true, 4},
        PngCase{"GrayAlpha8", 4, 8, false, false, 4},
        PngCase{"GrayAlpha16", 4, 16, false, false, 4}, PngCase{"Rgb8", 2, 8, false, false, 3},
        PngCase{"Rgb16", 2, 16, false, false, 3}, PngCase{"Rgb8Transparent", 2, 8, false, true, 4},
        PngCase{"Rgba8", 6, 8, false, false, 4}, PngCase{"Rgba16", 6, 16, false, false, 4},
        PngCase{"Palette1", 3, 1, true, false, 3}, PngCase{"Palette4", 3, 4, true, false, 3},
        PngCase{"Palette8", 3, 8, true, false, 3},
        PngCase{"Palette8Transparent", 3, 8, true, true, 4}),
    [](const ::testing::TestParamInfo<PngCase>& info) { return std::string(info.param.name); });

enum class Alpha { none, straight, associated, unspecified };

struct TiffInCase {
    const char* name;
    uint16_t photometric;  // 0 min-is-white, 1 min-is-black, 2 RGB, 3 palette
    uint16_t bits;
    Alpha alpha;
    bool separate;  // one plane per sample
    uint32_t tile;  // 0: strips of 7 rows
    uint16_t compression;
    bool bigEndian;
    bool bigTiff = false;
    bool eightBitMap = false;  // palette: no entry above 255, so read as 8-bit values
};

void PrintTo(const TiffInCase& c, std::ostream* os) { *os << c.name; }

class ReadTiff : public ::testing::TestWithParam<TiffInCase> {};

// A TIFF of the case beside a PAM of the pixels it must give (at the TIFF's own sample range, so
// that 16-bit and low-bit samples go through the PAM reader's scaling): both readers must give
// the same image, and so the same .iff.
TEST_P(ReadTiff, GivesTheSameFileAsThePixelsThroughPam) {
    const TiffInCase c = GetParam();
    Scratch scratch;
    tiffmake::Recipe recipe;
    recipe.width = 70;  // partial tiles and strips at the right and bottom
    recipe.height = 45;
    recipe.photometric = c.photometric;
    recipe.bits = c.bits;
    recipe.separate = c.separate;
    recipe.tile = c.tile;
    recipe.rowsPerStrip = 7;
    recipe.compression = c.compression;
    recipe.bigEndian = c.bigEndian;
    recipe.bigTiff = c.bigTiff;
    const int colours = c.photometric == 2 ? 3 : 1;
    recipe.samples = uint16_t(colours + (c.alpha != Alpha::none ? 1 : 0));
    if (c.alpha != Alpha::none)
        recipe.extra = {uint16_t(c.alpha == Alpha::associated ? 1
                                 : c.alpha == Alpha::straight ? 2
                                                              : 0)};
    const uint32_t largest = (1u << c.bits) - 1;
    const std::vector<uint32_t> drawn =
        Samples(size_t(70) * 45 * recipe.samples, largest, c.bits * 7u + recipe.samples);
    std::vector<uint32_t> expected;
    uint32_t maxval = largest;
    if (c.photometric == 3) {
        const size_t entries = size_t(1) << c.bits;
        maxval = c.eightBitMap ? 255 : 65535;
        const std::vector<uint32_t> map = Samples(entries * 3, maxval, 99);
        recipe.colourMap.assign(map.begin(), map.end());
        recipe.values = drawn;
        for (uint32_t index : drawn)
            for (size_t k = 0; k < 3; ++k) expected.push_back(map[k * entries + index]);
    } else {
        for (size_t p = 0; p < drawn.size(); p += recipe.samples) {
            const uint32_t alpha = c.alpha != Alpha::none ? drawn[p + size_t(colours)] : largest;
            for (size_t s = 0; s < size_t(colours); ++s) {
                uint32_t stored = drawn[p + s], seen = stored;
                if (c.alpha == Alpha::associated) {  // stored premultiplied, read back straight
                    stored = uint32_t(std::lround(double(stored) * alpha / largest));
                    seen = alpha == 0
                               ? 0
                               : std::min(largest,
                                          uint32_t(std::lround(double(stored) * largest / alpha)));
                }
                recipe.values.push_back(c.photometric == 0 ? largest - stored : stored);
                expected.push_back(seen);
            }
            if (c.alpha != Alpha::none) {
                recipe.values.push_back(alpha);
                expected.push_back(alpha);
            }
        }
    }
    ASSERT_TRUE(tiffmake::Write(recipe, scratch / "in.tiff"));
    Bytes samples;
    for (uint32_t v : expected) {
        if (maxval > 255) samples.push_back(uint8_t(v >> 8));
        samples.push_back(uint8_t(v));
    }
    WriteFile(scratch / "in.pam",
              PamBytes(70, 45, int(expected.size() / (size_t(70) * 45)), samples, int(maxval)));

    const Read fromTiff = ReadInto(tarniff::FileKind::tiff, scratch / "in.tiff");
    EXPECT_EQ(fromTiff.sourceBits, c.bits);
    const Read fromPam = ReadInto(tarniff::FileKind::pam, scratch / "in.pam");
    ASSERT_EQ(fromTiff.image.width(), 70);
    ASSERT_EQ(fromTiff.image.height(), 45);
    ASSERT_EQ(fromTiff.image.planes(), fromPam.image.planes());
    ASSERT_EQ(fromTiff.image.mode(), fromPam.image.mode());
    EXPECT_TRUE(Interleaved(fromTiff.image, 0, fromTiff.image.planes()) ==
                Interleaved(fromPam.image, 0, fromPam.image.planes()))
        << "the pixels differ";
    const Bytes saved = SavedBytes(fromTiff.image, scratch);
    EXPECT_GT(saved.size(), 100u);
    EXPECT_TRUE(SavedBytes(fromPam.image, scratch) == saved) << "the .iff files differ";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ReadTiff,
    ::testing::Values(
        TiffInCase{"Gray8Strips", 1, 8, Alpha::none, false, 0, COMPRESSION_NONE, false},
        TiffInCase{"GrayAlpha8Planes", 1, 8, Alpha::straight, true, 0, COMPRESSION_ADOBE_DEFLATE,
                   false},
        TiffInCase{"GrayUnspecifiedExtra", 1, 8, Alpha::unspecified, false, 0, COMPRESSION_LZW,
                   true},
        TiffInCase{"Rgb8Tiles", 2, 8, Alpha::none, false, 16, COMPRESSION_ADOBE_DEFLATE, false},
        TiffInCase{"Rgb8BigTiff", 2, 8, Alpha::none, false, 0, COMPRESSION_LZW, true, true},
        TiffInCase{"Rgba8BigEndian", 2, 8, Alpha::straight, false, 0, COMPRESSION_PACKBITS, true},
        TiffInCase{"Rgba8AssociatedPlanes", 2, 8, Alpha::associated, true, 0, COMPRESSION_NONE,
                   false},
        TiffInCase{"Gray16MinIsWhiteTiles", 0, 16, Alpha::none, false, 32, COMPRESSION_NONE, true},
        TiffInCase{"Rgb16PlanesTiles", 2, 16, Alpha::none, true, 16, COMPRESSION_ADOBE_DEFLATE,
                   false},
        TiffInCase{"Rgba16Associated", 2, 16, Alpha::associated, false, 0, COMPRESSION_LZW, true},
        TiffInCase{"Rgba16AssociatedPlanes", 2, 16, Alpha::associated, true, 0, COMPRESSION_NONE,
                   false},
        TiffInCase{"Palette8", 3, 8, Alpha::none, false, 0, COMPRESSION_NONE, false},
        TiffInCase{"Palette4EightBitMap", 3, 4, Alpha::none, false, 16, COMPRESSION_NONE, false,
                   false, true},
        TiffInCase{"Gray1MinIsWhite", 0, 1, Alpha::none, false, 0, COMPRESSION_ADOBE_DEFLATE,
                   false},
        TiffInCase{"Gray2", 1, 2, Alpha::none, false, 0, COMPRESSION_NONE, true},
        TiffInCase{"Gray4Tiles", 1, 4, Alpha::none, false, 16, COMPRESSION_NONE, false}),
    [](const ::testing::TestParamInfo<TiffInCase>& info) { return std::string(info.param.name); });

// ---- Samples of 16 bits ------------------------------------------------------------------------

// PAM, PPM (with comments in its header) and PNG of the same 16-bit values give the same image,
// each scaled to near its value, and each read says its samples had 16 bits.
TEST(ReadFiles, SixteenBitSamplesAlikeFromPngPamAndPpm) {
    Scratch scratch;
    const int w = 9, h = 7;
    PngSpec wide;
    wide.width = w;
    wide.height = h;
    wide.colourType = 2;
    wide.bitDepth = 16;
    Bytes samples16;
    for (int y = 0; y < h; ++y) {
        wide.samples.emplace_back();
        for (int i = 0; i < w * 3; ++i) {
            int value = (y * 7919 + i * 2741 + (i * i) * 13) % 65536;
            wide.samples.back().push_back(value);
            samples16.push_back(uint8_t(value >> 8));
            samples16.push_back(uint8_t(value));
        }
    }
    WriteFile(scratch / "wide.png", PngBytes(wide));
    WriteFile(scratch / "wide.pam", PamBytes(w, h, 3, samples16, 65535));
    std::string ppmHeader = "P6\n# made here\n9 7\n65535\n";
    Bytes widePpm(ppmHeader.begin(), ppmHeader.end());
    widePpm.insert(widePpm.end(), samples16.begin(), samples16.end());
    WriteFile(scratch / "wide.ppm", widePpm);
    Bytes reference;
    for (auto [name, kind] :
         {std::pair<const char*, tarniff::FileKind>{"wide.png", tarniff::FileKind::png},
          {"wide.pam", tarniff::FileKind::pam},
          {"wide.ppm", tarniff::FileKind::ppm}}) {
        SCOPED_TRACE(name);
        const Read read = ReadInto(kind, scratch / name);
        EXPECT_EQ(read.sourceBits, 16);  // what a front end's note that precision was lost says
        Bytes got = Interleaved(SavedAndOpened(read.image, scratch), 0, 3);
        if (reference.empty())
            reference = got;
        else
            EXPECT_EQ(got, reference);
    }
    EXPECT_EQ(reference[0], 0);  // 0 stays 0 ...
    for (size_t i = 0; i < reference.size(); ++i) {
        const int value = int(samples16[2 * i]) * 256 + samples16[2 * i + 1];
        EXPECT_LE(std::abs(int(reference[i]) * 65535 / 255 - value), 65535 / 255)
            << i;  // ... and all is near
    }
}

}  // namespace

// ---- Names in the readers' messages
// --------------------------------------------------------------

std::string ReadError(tarniff::FileKind kind, const std::string& path, tarniff::RowSink* sink,
                      const tarniff::ReadSettings& settings) {
    try {
        tarniff::ReadImageFile(kind, path, sink, settings);
    } catch (const tarniff::Error& error) {
        return error.what();
    }
    return "(no error)";
}

// Every reader names the file as its caller named it, above the image-size limit (its own, or
// the host image's it reads into) and when there is no file.
TEST(ReadFiles, MessagesNameTheFileAsTheCallerNamedIt) {
    Scratch scratch;
    PngSpec png;
    png.width = 64;
    png.height = 40;
    png.colourType = 2;
    png.samples.assign(40, std::vector<int>(64 * 3, 7));
    WriteFile(scratch / "rgb.png", PngBytes(png));
    tiffmake::Recipe tiff;
    tiff.width = 64;
    tiff.height = 40;
    tiff.photometric = PHOTOMETRIC_RGB;
    tiff.samples = 3;
    tiff.values = Samples(size_t(64) * 40 * 3, 255, 3);
    ASSERT_TRUE(tiffmake::Write(tiff, scratch / "rgb.tiff"));
    WriteFile(scratch / "rgb.pam", PamBytes(64, 40, 3, Pattern(64 * 40 * 3, 1)));
    const std::string ppm = "P6\n64 40\n255\n";
    Bytes ppmBytes(ppm.begin(), ppm.end());
    const Bytes pixels = Pattern(64 * 40 * 3, 2);
    ppmBytes.insert(ppmBytes.end(), pixels.begin(), pixels.end());
    WriteFile(scratch / "rgb.ppm", ppmBytes);

    const std::string name = "layer 3";
    const std::string limit =
        name +
        ": 64 by 40 with 3 channels needs 7680 bytes, more than the image-size limit of "
        "4096 bytes (raise it)";
    for (auto [file, kind] :
         {std::pair<const char*, tarniff::FileKind>{"rgb.png", tarniff::FileKind::png},
          {"rgb.tiff", tarniff::FileKind::tiff},
          {"rgb.pam", tarniff::FileKind::pam},
          {"rgb.ppm", tarniff::FileKind::ppm}}) {
        SCOPED_TRACE(file);
        tarniff::ReadSettings settings;
        settings.name = name;
        settings.maxImageBytes = 4096;
        settings.raiseLimit = "raise it";
        tarniff::RasterSink raster;
        EXPECT_EQ(ReadError(kind, scratch / file, &raster, settings), limit);
        // The host image's own limit, for a reader told of none.
        tarniff::ImageSink image;
        image.Limit(4096, name, "raise it");
        EXPECT_EQ(ReadError(kind, scratch / file, &image, tarniff::ReadSettings{}), limit);
        settings.maxImageBytes = 0;
        EXPECT_EQ(ReadError(kind, scratch / "none", &raster, settings),
                  name + ": cannot open: No such file or directory");
    }
}
