// The Windows imaging codec's rules, on any system: what its Initialize refuses from the header
// alone, what its decode gives as blue, green, red and alpha (compared with the file builder's
// own expectation of the read, not with the module's code), and how its CopyPixels checks a
// caller's rectangle, stride and buffer. The COM layer around them is checked under Wine
// (tests/windows/check_wic.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "integrations/wic/codec_image.h"
#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"

namespace {

using tniff_wic::CopyOutcome;
using tniff_wic::Refusal;

const uint64_t kLimit = uint64_t(1) << 30;

struct Shape {
    const char* name;
    uint32_t width, height;
    int channels;
    bool depth;
    iffbuild::Form form;
};

const Shape kShapes[] = {
    {"gray", 70, 50, 1, false, iffbuild::Form::Smallest},
    {"rgb", 65, 66, 3, false, iffbuild::Form::Raw},
    {"rgba", 100, 40, 4, false, iffbuild::Form::Smallest},
    {"gray with depth", 33, 31, 1, true, iffbuild::Form::Smallest},
    {"rgba with depth", 64, 70, 4, true, iffbuild::Form::Smallest},
    {"depth alone", 40, 20, 0, true, iffbuild::Form::Raw},
};

iffbuild::FileSpec FileSpecFor(const Shape& shape, uint64_t seed) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(shape.width, shape.height, shape.channels, shape.depth);
    fileSpec.image.FillRandom(seed, shape.form == iffbuild::Form::Raw ? 256 : 5);
    if (shape.depth) fileSpec.image.FillRandomDepth(seed + 1);
    fileSpec.form = shape.form;
    fileSpec.tileWidth = fileSpec.tileHeight = 32;
    fileSpec.order = iffbuild::TileOrder::Shuffled;
    fileSpec.seed = seed;
    return fileSpec;
}

// Every kind of planes comes out as the colour a viewer shows: gray as equal blue, green and
// red, no alpha as 255, a depth buffer with colour left out, a depth buffer alone as its gray.
TEST(WicCodec, DecodesEveryKindOfPlanesAsBgra) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    uint64_t seed = 40;
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const iffbuild::FileSpec fileSpec = FileSpecFor(shape, seed += 2);
        const iffbuild::Bytes bytes = iffbuild::BuildFile(fileSpec).bytes;
        const iffbuild::ExpectedImage expected = iffbuild::ExpectRead(fileSpec).image;

        const tniff_wic::HeaderCheck header =
            tniff_wic::CheckHeader(bytes.data(), bytes.size(), kLimit, "a.iff");
        ASSERT_EQ(header.refusal, Refusal::none) << header.message;
        EXPECT_EQ(header.width, int(shape.width));
        EXPECT_EQ(header.height, int(shape.height));

        const tniff_wic::Decoded decoded =
            tniff_wic::DecodeBgra(module, bytes.data(), bytes.size(), kLimit, "a.iff");
        ASSERT_EQ(decoded.refusal, Refusal::none) << decoded.message;
        const tniff_wic::BgraImage& image = decoded.image;
        ASSERT_EQ(image.width, int(shape.width));
        ASSERT_EQ(image.height, int(shape.height));
        ASSERT_EQ(image.pixels.size(), image.Stride() * shape.height);
        EXPECT_GT(image.horizontalDpi, 0);
        EXPECT_GT(image.verticalDpi, 0);

        // The plane shown as gray: the colour's first, or the depth of a file of depth alone.
        const bool gray = shape.channels < 3;
        int mismatches = 0;
        for (uint32_t y = 0; y < shape.height; ++y) {
            for (uint32_t x = 0; x < shape.width; ++x) {
                const uint8_t* p = &image.pixels[y * image.Stride() + x * 4];
                const uint8_t red = expected.At(x, y, 0);
                const uint8_t green = gray ? red : expected.At(x, y, 1);
                const uint8_t blue = gray ? red : expected.At(x, y, 2);
                const uint8_t alpha = shape.channels == 4 ? expected.At(x, y, 3) : 255;
                if (p[0] != blue || p[1] != green || p[2] != red || p[3] != alpha) {
                    if (++mismatches <= 3) {
                        ADD_FAILURE()
                            << "pixel " << x << "," << y << ": " << int(p[0]) << " " << int(p[1])
                            << " " << int(p[2]) << " " << int(p[3]) << ", expected " << int(blue)
                            << " " << int(green) << " " << int(red) << " " << int(alpha);
                    }
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

struct RefusalCase {
    const char* name;
    iffbuild::Bytes bytes;
    uint64_t limit;
    Refusal atHeader;  // what Initialize says
    Refusal atDecode;  // what the first CopyPixels says
};

std::vector<RefusalCase> RefusalCases() {
    iffbuild::FileSpec rgba = FileSpecFor(kShapes[2], 7);
    const iffbuild::Bytes whole = iffbuild::BuildFile(rgba).bytes;

    iffbuild::FileSpec noWidth = rgba;
    noWidth.editHeader = [](iffbuild::Header& header) { header.width = 0; };
    iffbuild::FileSpec fewTiles = rgba;
    fewTiles.tileCount = 1;
    iffbuild::FileSpec flat;
    flat.image = iffbuild::Image::Blank(96, 64, 4);
    flat.form = iffbuild::Form::Compressed;
    iffbuild::BuiltFile damagedTile = iffbuild::BuildFile(flat);
    iffbuild::ZeroTilePixels(damagedTile, 0);

    const iffbuild::Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13};
    const uint64_t rgbaBytes = uint64_t(kShapes[2].width) * kShapes[2].height * 4;
    return {
        {"empty", {}, kLimit, Refusal::notOurs, Refusal::notOurs},
        {"a PNG file", png, kLimit, Refusal::notOurs, Refusal::notOurs},
        {"cut inside the header", iffbuild::Truncated(whole, 30), kLimit, Refusal::damaged,
         Refusal::damaged},
        {"cut in the tiles", iffbuild::Truncated(whole, whole.size() * 2 / 3), kLimit,
         Refusal::damaged, Refusal::damaged},
        {"a header of width 0", iffbuild::BuildFile(noWidth).bytes, kLimit, Refusal::damaged,
         Refusal::damaged},
        {"fewer tiles than the image needs", iffbuild::BuildFile(fewTiles).bytes, kLimit,
         Refusal::damaged, Refusal::damaged},
        // Only the run streams show it: the header look lets it through, the decode does not.
        {"a damaged tile", damagedTile.bytes, kLimit, Refusal::none, Refusal::damaged},
        {"above the limit", whole, rgbaBytes - 1, Refusal::tooLarge, Refusal::tooLarge},
    };
}

// A file that is not whole never gives an image: no half image passes as a success.
TEST(WicCodec, RefusesWhatIsNotAWholeImageWithinTheLimit) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    for (const RefusalCase& c : RefusalCases()) {
        SCOPED_TRACE(c.name);
        const tniff_wic::HeaderCheck header =
            tniff_wic::CheckHeader(c.bytes.data(), c.bytes.size(), c.limit, "x.iff");
        EXPECT_EQ(header.refusal, c.atHeader) << header.message;
        if (header.refusal != Refusal::none) {
            EXPECT_EQ(header.message.rfind("x.iff: ", 0), 0u) << header.message;
        }
        const tniff_wic::Decoded decoded =
            tniff_wic::DecodeBgra(module, c.bytes.data(), c.bytes.size(), c.limit, "x.iff");
        EXPECT_EQ(decoded.refusal, c.atDecode) << decoded.message;
        EXPECT_EQ(decoded.message.rfind("x.iff: ", 0), 0u) << decoded.message;
        EXPECT_TRUE(decoded.image.pixels.empty());
    }
}

// A 5 x 3 image whose bytes count up, so every copied byte says where it came from.
tniff_wic::BgraImage Counting() {
    tniff_wic::BgraImage image;
    image.width = 5;
    image.height = 3;
    image.pixels.resize(image.Stride() * 3);
    for (size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = uint8_t(i);
    return image;
}

struct CopyCase {
    const char* name;
    int left, top, width, height;
    uint32_t stride, bufferSize;
    CopyOutcome outcome;
};

// Whatever a WIC client hands over, nothing is written outside its buffer, and a refused copy
// writes nothing at all.
TEST(WicCodec, CopyPixelsChecksTheRectangleStrideAndBuffer) {
    const uint32_t most = std::numeric_limits<uint32_t>::max();
    const int big = std::numeric_limits<int>::max();
    const CopyCase cases[] = {
        {"the whole image", 0, 0, 5, 3, 20, 60, CopyOutcome::ok},
        {"a part, with padding after each row", 1, 1, 3, 2, 16, 28, CopyOutcome::ok},
        {"the last row needs no padding", 2, 0, 3, 3, 13, 2 * 13 + 12, CopyOutcome::ok},
        {"an empty rectangle inside", 5, 3, 0, 0, 0, 0, CopyOutcome::ok},
        {"past the right side", 3, 0, 3, 1, 12, 12, CopyOutcome::badRectangle},
        {"past the bottom", 0, 1, 5, 3, 20, 60, CopyOutcome::badRectangle},
        {"a negative corner", -1, 0, 2, 1, 8, 8, CopyOutcome::badRectangle},
        {"a negative width", 2, 0, -1, 1, 8, 8, CopyOutcome::badRectangle},
        {"a width that wraps with its corner", 1, 0, big, 1, most, most, CopyOutcome::badRectangle},
        {"a stride shorter than a row", 0, 0, 5, 3, 19, 60, CopyOutcome::badStride},
        {"a buffer one byte short", 0, 0, 5, 3, 20, 59, CopyOutcome::shortBuffer},
        {"a stride whose product wraps in 32 bits", 0, 0, 5, 3, most, most,
         CopyOutcome::shortBuffer},
    };
    const tniff_wic::BgraImage image = Counting();
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Room past the buffer's end, to see that nothing is written there.
        const size_t room = std::min<size_t>(c.bufferSize, 4096) + 64;
        std::vector<uint8_t> buffer(room, 0xEE);
        EXPECT_EQ(tniff_wic::CopyRectangle(image, c.left, c.top, c.width, c.height, c.stride,
                                           c.bufferSize, buffer.data()),
                  c.outcome);
        for (size_t i = 0; i < buffer.size(); ++i) {
            uint8_t want = 0xEE;
            if (c.outcome == CopyOutcome::ok && c.width > 0) {
                const size_t row = i / c.stride, column = i % c.stride;
                if (row < size_t(c.height) && column < size_t(c.width) * 4) {
                    want = image.pixels[(c.top + row) * image.Stride() + c.left * 4 + column];
                }
            }
            if (buffer[i] != want) {
                ADD_FAILURE() << "byte " << i << " is " << int(buffer[i]) << ", not " << int(want);
                break;
            }
        }
    }
}

}  // namespace
