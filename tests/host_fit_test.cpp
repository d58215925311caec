// The host's reduced open (HostSetup::fitWidth, fitHeight): the module's tiles added into an
// image of the asked size as they are handed over, the full image never made.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/support/host_checks.h"
#include "tests/support/iff_builder.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

using tniff::Host;
using tniff::HostSetup;
using tniff::Image;

namespace {

// The reference: every full pixel goes to reduced pixel (x * width / fullWidth, y * height /
// fullHeight), and each reduced pixel is the rounded mean of what went to it.
Image AreaMean(const Image& full, int width, int height) {
    const int planes = full.planes();
    std::vector<uint64_t> sums(size_t(width) * size_t(height) * size_t(planes));
    std::vector<uint64_t> counts(size_t(width) * size_t(height));
    for (int y = 0; y < full.height(); ++y) {
        for (int x = 0; x < full.width(); ++x) {
            const size_t at = size_t(int64_t(y) * height / full.height()) * size_t(width) +
                              size_t(int64_t(x) * width / full.width());
            ++counts[at];
            for (int p = 0; p < planes; ++p)
                sums[size_t(p) * counts.size() + at] += full.at(p, y, x);
        }
    }
    Image reduced(width, height, planes, full.mode());
    for (int p = 0; p < planes; ++p)
        for (size_t at = 0; at < counts.size(); ++at)
            reduced.data()[size_t(p) * counts.size() + at] = static_cast<uint8_t>(
                (sums[size_t(p) * counts.size() + at] + counts[at] / 2) / counts[at]);
    return reduced;
}

Image ImageOfExpected(const iffbuild::ExpectedImage& expected, int16_t mode) {
    Image image(int(expected.width), int(expected.height), expected.Planes(), mode);
    const iffbuild::Bytes planar = expected.Planar();
    std::copy(planar.begin(), planar.end(), image.data());
    return image;
}

// Files of the module read reduced: the image is the area mean of the full read, whatever the
// tile size and order, the plane count and whether a side is kept; the record still describes
// the full size and every tile is handed over.
TEST(HostFit, TheModulesTilesAverageIntoTheAskedSize) {
    struct Case {
        const char* name;
        uint32_t width, height;
        int channels;
        bool depth;
        uint16_t tileSide;
        iffbuild::TileOrder order;
        int fitWidth, fitHeight;
        int madeWidth, madeHeight;
    };
    const Case cases[] = {
        {"gray, both sides", 130, 70, 1, false, 64, iffbuild::TileOrder::BottomRowFirst, 13, 7, 13,
         7},
        {"RGB, odd ratios", 200, 129, 3, false, 64, iffbuild::TileOrder::Shuffled, 33, 50, 33, 50},
        {"RGBA and depth, five planes", 150, 90, 4, true, 40, iffbuild::TileOrder::TopRowFirst, 16,
         9, 16, 9},
        {"one side kept (0)", 100, 64, 3, false, 64, iffbuild::TileOrder::BottomRowFirst, 10, 0, 10,
         64},
        {"one side kept (larger)", 100, 64, 4, false, 30, iffbuild::TileOrder::Shuffled, 500, 5,
         100, 5},
        {"down to one pixel", 97, 61, 4, false, 64, iffbuild::TileOrder::BottomRowFirst, 1, 1, 1,
         1},
        {"a single row", 300, 2, 1, false, 64, iffbuild::TileOrder::BottomRowFirst, 7, 1, 7, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        iffbuild::FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(c.width, c.height, c.channels);
        fileSpec.image.FillRandom(c.width * 31 + c.height, 200);
        if (c.depth) fileSpec.image.FillRandomDepth(5);
        fileSpec.tileWidth = fileSpec.tileHeight = c.tileSide;
        fileSpec.order = c.order;
        const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
        const iffbuild::ExpectedRead expected = iffbuild::ExpectRead(fileSpec);
        TempFile file;
        file.Write(built.bytes);

        LinkedHost fullHost;
        ASSERT_EQ(fullHost.Open(file.path()), noErr);
        ASSERT_EQ(fullHost.image(), ImageOfExpected(expected.image, fullHost.image().mode()));

        HostSetup setup;
        setup.fitWidth = c.fitWidth;
        setup.fitHeight = c.fitHeight;
        LinkedHost host(setup);
        ASSERT_EQ(host.Open(file.path()), noErr);
        EXPECT_EQ(host.record().imageSize.h, int(c.width)) << "the record keeps the full size";
        EXPECT_EQ(host.record().imageSize.v, int(c.height));
        EXPECT_EQ(host.handOvers().size(), expected.deliveries.size());
        EXPECT_TRUE(host.plannedImage().reduced);
        EXPECT_EQ(host.plannedImage().width, c.madeWidth);
        EXPECT_EQ(host.image(), AreaMean(fullHost.image(), c.madeWidth, c.madeHeight));
    }
}

// ---- A fake module that describes an image and hands over blocks of it ---------------------

struct Block {
    Rect16 rect;
    int16_t loPlane, hiPlane;
    std::vector<uint8_t> planar;  // plane after plane, rows packed
};

// ReadStart describes width x height x planes; ReadContinue hands over each block, planar
// (colBytes 1), and records the results.
struct FakeRead {
    int16_t width, height, planes;
    std::vector<Block> blocks;
    std::vector<OSErr> results;
};
FakeRead* gRead = nullptr;

void FakeEntry(int16_t selector, void* data, intptr_t*, int16_t* result) {
    FormatRecord* r = static_cast<FormatRecord*>(data);
    if (selector == formatSelectorReadStart) {
        r->imageMode = gRead->planes <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
        r->imageSize.h = gRead->width;
        r->imageSize.v = gRead->height;
        r->depth = 8;
        r->planes = gRead->planes;
    }
    if (selector != formatSelectorReadContinue) return;
    for (const Block& block : gRead->blocks) {
        BufferID id = nullptr;
        if (r->bufferProcs->allocateProc(int32_t(block.planar.size()), &id) != noErr) {
            *result = memFullErr;
            return;
        }
        char* buffer = r->bufferProcs->lockProc(id, 0);
        std::copy(block.planar.begin(), block.planar.end(), buffer);
        const int columns = block.rect.right - block.rect.left;
        const int rows = block.rect.bottom - block.rect.top;
        r->data = buffer;
        r->theRect = block.rect;
        r->loPlane = block.loPlane;
        r->hiPlane = block.hiPlane;
        r->colBytes = 1;
        r->rowBytes = columns > 0 ? columns : 1;
        r->planeBytes = columns * rows > 0 ? columns * rows : 1;
        gRead->results.push_back(r->advanceState());
        r->bufferProcs->freeProc(id);
    }
}

Image OpenFake(FakeRead& read, const HostSetup& setup) {
    gRead = &read;
    Host host(&FakeEntry, setup);
    host.Call(formatSelectorReadStart);
    if (!host.imageRefused()) host.Call(formatSelectorReadContinue);
    host.Call(formatSelectorReadFinish);
    gRead = nullptr;
    return host.TakeImage();
}

HostSetup Fit(int width, int height) {
    HostSetup setup;
    setup.fitWidth = width;
    setup.fitHeight = height;
    return setup;
}

TEST(HostFit, AveragesAreExactRoundedAndBlocksOnTopOfEachOtherSaturate) {
    // 4 x 2 into 2 x 1: each reduced pixel is a 2 x 2 square.
    FakeRead square{4, 2, 1, {{Rect16{0, 0, 2, 4}, 0, 0, {0, 10, 20, 30, 40, 50, 60, 71}}}, {}};
    Image image = OpenFake(square, Fit(2, 1));
    ASSERT_EQ(image.width(), 2);
    EXPECT_EQ(image.at(0, 0, 0), 25);  // (0 + 10 + 40 + 50) / 4
    EXPECT_EQ(image.at(0, 0, 1), 45);  // (20 + 30 + 60 + 71) / 4 = 45.25
    EXPECT_EQ(square.results, std::vector<OSErr>{noErr});

    // 3 columns into 2: the first reduced column stands for two, the second for one; halves
    // round up; a full pixel no block reaches counts as 0.
    FakeRead uneven{3, 1, 2, {{Rect16{0, 0, 1, 2}, 0, 1, {1, 2, 9, 8}}}, {}};
    image = OpenFake(uneven, Fit(2, 1));
    EXPECT_EQ(image.at(0, 0, 0), 2);  // (1 + 2) / 2 = 1.5
    EXPECT_EQ(image.at(1, 0, 0), 9);  // (9 + 8) / 2 = 8.5
    EXPECT_EQ(image.at(0, 0, 1), 0);  // column 2 never arrived

    // The same pixels handed over twice add up, and the average stops at 255.
    FakeRead twice{2, 2, 1, {}, {}};
    twice.blocks.assign(2, Block{Rect16{0, 0, 2, 2}, 0, 0, {200, 200, 200, 200}});
    image = OpenFake(twice, Fit(1, 1));
    EXPECT_EQ(image.at(0, 0, 0), 255);
}

// The hand-over checks stay against the full size described: a block outside the reduced
// image but inside the full one is taken, one outside the full image is refused as ever.
TEST(HostFit, HandOversAreCheckedAgainstTheFullSize) {
    FakeRead read{100, 50, 3, {}, {}};
    read.blocks.push_back(Block{Rect16{40, 90, 50, 100}, 0, 2, std::vector<uint8_t>(300, 7)});
    read.blocks.push_back(Block{Rect16{40, 95, 51, 100}, 0, 0, std::vector<uint8_t>(55, 7)});
    read.blocks.push_back(Block{Rect16{0, 0, 1, 101}, 0, 0, std::vector<uint8_t>(101, 7)});
    read.blocks.push_back(Block{Rect16{0, 0, 1, 1}, 0, 3, std::vector<uint8_t>(4, 7)});
    gRead = &read;
    Host host(&FakeEntry, Fit(10, 5));
    host.Call(formatSelectorReadStart);
    host.Call(formatSelectorReadContinue);
    host.Call(formatSelectorReadFinish);
    EXPECT_EQ(read.results, (std::vector<OSErr>{noErr, formatBadParameters, formatBadParameters,
                                                formatBadParameters}));
    const std::vector<tniff::Violation> found = host.TakeViolations();
    EXPECT_EQ(CountViolations(found, tniff::ViolationKind::badHandOver), 3)
        << tniff::DescribeViolations(found);
    // The block taken is the reduced image's bottom right pixel, whole: 7 on every plane.
    EXPECT_EQ(host.image().at(2, 4, 9), 7);
    EXPECT_EQ(host.image().at(0, 4, 8), 0);
    gRead = nullptr;
}

// The image-size limit holds for what a reduced open takes: the reduced image and 4 bytes of
// sum a sample, or 8 where one reduced pixel gathers more than 32 bits of 255s can hold.
TEST(HostFit, TheLimitCountsTheReducedImageAndItsSums) {
    struct Case {
        int16_t width, height, planes;
        int fitWidth, fitHeight;
        uint64_t bytes;
    };
    const Case cases[] = {
        {1000, 1000, 4, 10, 10, 10 * 10 * 4 * 5},
        {32767, 32767, 1, 7, 7, 7 * 7 * 9},  // 4682 x 4682 pixels of 255 gathered: 64 bits
        {32767, 32767, 1, 8, 8, 8 * 8 * 5},  // 4096 x 4096: 32 bits
        {32767, 32767, 4, 256, 256, 256 * 256 * 4 * 5},
        {300, 200, 3, 300, 0, 300 * 200 * 3},  // nothing reduced: the full image only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " to " + std::to_string(c.fitWidth));
        for (uint64_t limit : {c.bytes - 1, c.bytes}) {
            FakeRead read{c.width, c.height, c.planes, {}, {}};
            HostSetup setup = Fit(c.fitWidth, c.fitHeight);
            setup.maxImageBytes = limit;
            gRead = &read;
            Host host(&FakeEntry, setup);
            host.Call(formatSelectorReadStart);
            EXPECT_EQ(host.plannedImage().bytes, c.bytes);
            EXPECT_EQ(host.imageRefused(), limit < c.bytes);
            EXPECT_EQ(host.image().empty(), limit < c.bytes);
            host.Call(formatSelectorReadFinish);
            gRead = nullptr;
        }
    }
}

}  // namespace
