// Opening files through ENTRYPOINT and our host: every layout of colour and depth tiles the
// format allows, compared pixel by pixel, hand-over by hand-over and progress call by progress
// call with what the test-side builder expects.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/read_expectations.h"

using iffbuild::Bytes;
using iffbuild::FileSpec;
using iffbuild::Form;
using iffbuild::Kind;
using iffbuild::KindOrder;
using iffbuild::TileOrder;
using iffbuild::TileRect;
using readtest::ExpectOpens;

namespace {

struct OpenCase {
    const char* name;
    uint32_t width, height;
    int channels;
    bool depth;
    uint16_t tileWidth, tileHeight;
    TileOrder order;
    KindOrder kinds;
    Form form;
    int levels;  // colour values per channel: few give long runs
    std::function<void(FileSpec&)> adjust;
};

FileSpec SpecFor(const OpenCase& c) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(c.width, c.height, c.channels, c.depth);
    if (c.channels > 0) fileSpec.image.FillRandom(c.width * 131u + c.height, c.levels);
    if (c.depth) fileSpec.image.FillRandomDepth(c.width + 7u);
    fileSpec.tileWidth = c.tileWidth;
    fileSpec.tileHeight = c.tileHeight;
    fileSpec.order = c.order;
    fileSpec.kinds = c.kinds;
    fileSpec.form = c.form;
    if (c.adjust) c.adjust(fileSpec);
    return fileSpec;
}

// Alternates raw and the shorter form, tile by tile.
void AlternateForms(FileSpec& fileSpec) {
    fileSpec.formFor = [](size_t index, const iffbuild::PlacedTile&) { return index % 2 ? Form::Raw : Form::Smallest; };
}

const OpenCase kOpenCases[] = {
    {"GrayRaw", 70, 50, 1, false, 64, 64, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Raw, 256, nullptr},
    {"GrayCompressed", 70, 50, 1, false, 64, 64, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Compressed, 2, nullptr},
    {"RgbRaw", 65, 65, 3, false, 64, 64, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Raw, 256, nullptr},
    {"RgbCompressedTopRowFirst", 130, 70, 3, false, 64, 64, TileOrder::TopRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 2, nullptr},
    {"RgbaMixedFormsShuffled", 100, 90, 4, false, 32, 16, TileOrder::Shuffled, KindOrder::ColourThenDepth, Form::Smallest, 4, AlternateForms},
    {"RgbaOddTiles", 23, 17, 4, false, 5, 3, TileOrder::Shuffled, KindOrder::ColourThenDepth, Form::Smallest, 2, nullptr},
    {"OnePixelTiles", 3, 2, 3, true, 1, 1, TileOrder::BottomRowFirst, KindOrder::Interleaved, Form::Raw, 256, nullptr},
    {"OnePixelImage", 1, 1, 4, false, 64, 64, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Raw, 256, nullptr},
    {"WideTiles", 300, 20, 3, false, 300, 7, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 3, nullptr},
    {"GrayWithDepth", 70, 40, 1, true, 32, 32, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 2, AlternateForms},
    {"RgbWithDepthFirst", 70, 40, 3, true, 32, 32, TileOrder::TopRowFirst, KindOrder::DepthThenColour, Form::Raw, 256, nullptr},
    {"RgbaWithDepthInterleaved", 70, 40, 4, true, 16, 32, TileOrder::Shuffled, KindOrder::Interleaved, Form::Smallest, 3, AlternateForms},
    {"RgbaWithDepthMixed", 50, 50, 4, true, 20, 10, TileOrder::Shuffled, KindOrder::Mixed, Form::Smallest, 2, AlternateForms},
    {"DepthOnly", 40, 30, 0, true, 16, 16, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 256, AlternateForms},
    {"GreedyShortPackets", 40, 30, 4, true, 16, 16, TileOrder::BottomRowFirst, KindOrder::Interleaved, Form::Smallest, 1,
     [](FileSpec& s) { s.rle = iffbuild::RleOptions{iffbuild::RleStyle::Greedy, 3, 1}; }},
    {"GreedyLongLiterals", 64, 64, 3, false, 64, 64, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 256,
     [](FileSpec& s) { s.rle = iffbuild::RleOptions{iffbuild::RleStyle::Greedy, 128, 1000}; }},
    {"ExtraChunksEverywhere", 70, 40, 4, true, 32, 32, TileOrder::BottomRowFirst, KindOrder::Interleaved, Form::Smallest, 3,
     [](FileSpec& s) {
         using iffbuild::Place;
         s.extras = {{Place::CimgStart, iffbuild::ChunkBytes("ABCD", {1, 2, 3}), 0},
                     {Place::AfterFver, iffbuild::GroupBytes("XXXX", iffbuild::ChunkBytes("TBMP", {9})), 0},
                     {Place::AfterFlds, iffbuild::GroupBytes("OTHR", iffbuild::ChunkBytes("RGBA", Bytes(20, 7))), 0},
                     {Place::InTbmp, iffbuild::ChunkBytes("NOTE", Bytes(5, 1)), 0},
                     {Place::InTbmp, iffbuild::GroupBytes("SUBG", {}), 3},
                     {Place::InTbmp, iffbuild::ChunkBytes("JUNK", {}), 100}};
     }},
    {"LongerHeader", 30, 30, 3, false, 16, 16, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 2,
     [](FileSpec& s) { s.editHeader = [](iffbuild::Header& h) { h.extra = Bytes(8, 0xEE); }; }},
    {"NoFverNoFlds", 30, 30, 1, false, 16, 16, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 2,
     [](FileSpec& s) { s.fver = s.flds = false; }},
    // A tile of the kind already complete is still delivered while the other kind is awaited.
    {"TileCountBelowTilesPresent", 40, 20, 3, true, 20, 20, TileOrder::BottomRowFirst, KindOrder::ColourThenDepth, Form::Smallest, 2,
     [](FileSpec& s) { s.tileCount = 1; }},
};

class OpensEveryLayout : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpensEveryLayout, ImageHandOversAndProgressAsBuilt) {
    const FileSpec fileSpec = SpecFor(GetParam());
    const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    LinkedHost host;
    ExpectOpens(host, built.bytes, iffbuild::ExpectRead(fileSpec));
}

INSTANTIATE_TEST_SUITE_P(Read, OpensEveryLayout, ::testing::ValuesIn(kOpenCases),
                         [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

// The state record is kept between opens: a second file read after a first gives its own image.
TEST(ReadOpen, SecondOpenOnTheSameStateRecord) {
    LinkedHost host;
    for (int channels : {4, 1, 3}) {
        FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(40, 33, channels, channels == 1);
        fileSpec.image.FillRandom(uint64_t(channels));
        if (channels == 1) fileSpec.image.FillRandomDepth(5);
        fileSpec.tileWidth = 16;
        fileSpec.tileHeight = 16;
        ExpectOpens(host, iffbuild::BuildFile(fileSpec).bytes, iffbuild::ExpectRead(fileSpec));
    }
}

// ---- The hand-over of single tiles -------------------------------------------------------------

TEST(ReadOpen, FourChannelTilesAreHandedOverWithProgressPerTile) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(130, 100, 4);
    fileSpec.image.FillRandom(3, 5);
    LinkedHost host;
    ASSERT_EQ(readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes), noErr);
    const int n = 6;  // 3 columns by 2 rows of 64-pixel tiles
    ASSERT_EQ(host.handOvers().size(), size_t(n));
    std::vector<std::pair<int, int>> progress;
    for (int i = 1; i <= n; ++i) progress.emplace_back(i, n);
    EXPECT_EQ(readtest::ProgressOf(host), progress);
    for (const tniff::HandOver& h : host.handOvers()) {
        EXPECT_EQ(h.loPlane, 0);
        EXPECT_EQ(h.hiPlane, 3);
        EXPECT_EQ(h.colBytes, 4);
        EXPECT_EQ(h.planeBytes, 1);
    }
    // The first tile stored is the bottom-left one: file rows 0-63 of 100 are host rows 36-99.
    const Rect16 first = host.handOvers()[0].rect;
    EXPECT_EQ(first.top, 36);
    EXPECT_EQ(first.left, 0);
    EXPECT_EQ(first.bottom, 100);
    EXPECT_EQ(first.right, 64);
}

TEST(ReadOpen, DepthSurveyReportsNoProgressThenDeliveryCountsBothKinds) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(128, 64, 3, true);
    fileSpec.image.FillRandom(1, 3);
    fileSpec.image.FillRandomDepth(2);
    fileSpec.kinds = KindOrder::Interleaved;  // RGBA, ZBUF, RGBA, ZBUF
    LinkedHost host;
    ASSERT_EQ(readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes), noErr);
    EXPECT_EQ(readtest::ProgressOf(host), (std::vector<std::pair<int, int>>{{0, 2}, {1, 2}, {1, 2}, {2, 2}}));
    ASSERT_EQ(host.handOvers().size(), 4u);
    EXPECT_EQ(host.handOvers()[1].loPlane, 3);  // depth follows the three colour planes
    EXPECT_EQ(host.handOvers()[1].colBytes, 1);
    EXPECT_EQ(host.handOvers()[1].rowBytes, 64);
}

// ---- Raw or compressed: only the chunk's size tells --------------------------------------------

struct FormBoundaryCase {
    const char* id;
    uint32_t flags;
    int m;                 // bytes per pixel of the tile's kind
    uint32_t dataBytes;    // pixel data bytes in the chunk
    bool compressed;
};

// A 4x4 tile whose pixel data is a valid run stream for every plane (a run of 16 of the plane's
// number), followed by filler up to dataBytes: read compressed, every pixel of plane k is k + 1.
// Read raw, the bytes are the stream itself.
TEST(ReadOpen, ChunkOfRawSizeIsRawAndOneByteLessIsCompressed) {
    const FormBoundaryCase cases[] = {
        {"RGBA", 3, 4, 64, false}, {"RGBA", 3, 4, 63, true}, {"ZBUF", 5, 4, 64, false},
        {"ZBUF", 5, 4, 63, true},  {"ZBUF", 5, 4, 49, true}, {"RGBA", 1, 3, 48, false}, {"RGBA", 1, 3, 47, true},
    };
    for (const FormBoundaryCase& c : cases) {
        SCOPED_TRACE(std::string(c.id) + " with " + std::to_string(c.dataBytes) + " bytes");
        Bytes data;
        for (int p = 0; p < c.m; ++p) {
            data.push_back(0x8F);                   // a run of 16
            data.push_back(uint8_t(0x81 + p * 16)); // depth: a non-empty top byte
        }
        data.resize(c.dataBytes, 0x55);
        const bool depthTile = std::string(c.id) == "ZBUF";
        Bytes tiles = readtest::TileChunk(c.id, TileRect{0, 0, 3, 3}, data);
        if (depthTile) {  // the colour tile the header announces, raw
            Bytes colour = readtest::TileChunk("RGBA", TileRect{0, 0, 3, 3}, Bytes(48, 9));
            tiles.insert(tiles.end(), colour.begin(), colour.end());
        }
        LinkedHost host;
        ASSERT_EQ(readtest::OpenBytes(host, readtest::FileAround(readtest::HeaderOf(4, 4, c.flags, 1), tiles)), noErr);
        if (depthTile) {
            // Compressed, all depth values are equal and every pixel becomes 255; raw, the
            // stream's bytes make values of differing depth, some of them empty.
            const uint8_t corner = host.image().at(3, 0, 0);
            if (c.compressed) EXPECT_EQ(corner, 255);
            else EXPECT_NE(corner, 255);
        } else if (c.compressed) {
            for (int k = 0; k < c.m; ++k) EXPECT_EQ(host.image().at(k, 2, 1), uint8_t(0x81 + (c.m - 1 - k) * 16));
        } else {
            // Raw bottom-left pixel: the first m bytes reversed.
            EXPECT_EQ(host.image().at(0, 3, 0), data[size_t(c.m) - 1]);
            EXPECT_EQ(host.image().at(c.m - 1, 3, 0), data[0]);
        }
    }
}

// ---- Depth ---------------------------------------------------------------------------------------

// One 2x2 depth tile of the given values (host rows top first), in an image of one gray plane.
tniff::Image OpenDepthTile(const std::vector<uint32_t>& values, OSErr* result) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(2, 2, 1, true);
    for (uint32_t i = 0; i < 4; ++i) fileSpec.image.DepthAt(i % 2, i / 2) = values[i];
    LinkedHost host;
    *result = readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes);
    return host.image();
}

TEST(ReadDepth, ValuesAreScaledFromTheSmallestToTheLargest) {
    struct Case {
        std::vector<uint32_t> values;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {{0x3F000000, 0x3F800000, 0x3F400000, 0x00FFFFFF}, {0, 255, 128, 0}},
        // Unsigned: 0x80000001 is the larger.
        {{0x7FFFFFFF, 0x80000001, 0x80000000, 0}, {0, 255, 128, 0}},
        // All equal: no spread to scale, every non-empty pixel is as deep as the deepest.
        {{0x40000000, 0x40000000, 0, 0x40000000}, {255, 255, 0, 255}},
        {{0, 0, 0, 0x01000000}, {0, 0, 0, 255}},
        {{0, 0, 0, 0}, {0, 0, 0, 0}},
        {{0x01000000, 0xFFFFFFFF, 0x01000001, 0xFFFFFFFE}, {0, 255, 0, 255}},
    };
    for (const Case& c : cases) {
        OSErr result = -1;
        const tniff::Image image = OpenDepthTile(c.values, &result);
        ASSERT_EQ(result, noErr);
        ASSERT_EQ(image.planes(), 2);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(image.at(1, i / 2, i % 2), c.bytes[size_t(i)]) << "pixel " << i;
    }
}

TEST(ReadDepth, DepthOnlyFileOpensAsOneGrayPlane) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(20, 10, 0, true);
    fileSpec.image.FillRandomDepth(9);
    LinkedHost host;
    ExpectOpens(host, iffbuild::BuildFile(fileSpec).bytes, iffbuild::ExpectRead(fileSpec));
    EXPECT_EQ(host.image().planes(), 1);
    EXPECT_EQ(host.image().mode(), plugInModeGrayScale);
    ASSERT_FALSE(host.handOvers().empty());
    EXPECT_EQ(host.handOvers()[0].loPlane, 0);
}

// ---- Files that end early or hold fewer tiles ----------------------------------------------------

TEST(ReadShort, FileEndingOneTileShortDeliversTheOthers) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(130, 70, 3);
    fileSpec.image.FillRandom(8, 3);
    iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    const iffbuild::PlacedTile last = built.tiles.back();
    built.tiles.pop_back();
    LinkedHost host;
    readtest::ExpectOpens(host, iffbuild::Truncated(built.bytes, last.offset),
                          iffbuild::ExpectRead(fileSpec.image, built.header, built.tiles));
}

// The header announces one tile of each kind more than the group holds: the survey reads on past
// the group's end (over a chunk at file level) to the end of the file, and the delivery pass still
// hands over every tile with the range of the depth tiles there are.
TEST(ReadShort, DepthFileLackingOneDepthTileDeliversTheOthers) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(70, 30, 4, true);
    fileSpec.image.FillRandom(8, 3);
    fileSpec.image.FillRandomDepth(3);
    fileSpec.kinds = KindOrder::Interleaved;
    fileSpec.tileCount = 3;  // two positions
    fileSpec.extras = {{iffbuild::Place::AfterCimg, iffbuild::ChunkBytes("NOTE", Bytes(40, 0)), 0}};
    const iffbuild::ExpectedRead want = iffbuild::ExpectRead(fileSpec);
    ASSERT_EQ(want.deliveries.size(), 4u);
    LinkedHost host;
    readtest::ExpectOpens(host, iffbuild::BuildFile(fileSpec).bytes, want);
}

// A file with depth cut anywhere opens with every whole tile in it, as one without depth does:
// the survey meets the end of the file, keeps the range of the whole depth tiles it saw, and the
// delivery pass still runs. Cuts inside a colour tile, inside a depth tile, and inside the last
// tile of each kind, in both orders of the kinds.
TEST(ReadShort, CutDepthFileDeliversEveryWholeTile) {
    struct CutCase {
        const char* name;
        KindOrder kinds;
        Kind cutKind;
        bool lastOfKind;  // otherwise the middle tile of that kind
    };
    const CutCase cases[] = {
        {"colour tile, colour first", KindOrder::ColourThenDepth, Kind::Colour, false},
        {"last colour tile, colour first", KindOrder::ColourThenDepth, Kind::Colour, true},
        {"depth tile, colour first", KindOrder::ColourThenDepth, Kind::Depth, false},
        {"last depth tile, colour first", KindOrder::ColourThenDepth, Kind::Depth, true},
        {"depth tile, depth first", KindOrder::DepthThenColour, Kind::Depth, false},
        {"last depth tile, depth first", KindOrder::DepthThenColour, Kind::Depth, true},
        {"colour tile, depth first", KindOrder::DepthThenColour, Kind::Colour, false},
        {"last colour tile, depth first", KindOrder::DepthThenColour, Kind::Colour, true},
        {"depth tile, interleaved", KindOrder::Interleaved, Kind::Depth, false},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.name);
        FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(150, 100, 4, true);
        fileSpec.image.FillRandom(21, 4);
        fileSpec.image.FillRandomDepth(22);
        fileSpec.kinds = c.kinds;
        fileSpec.formFor = [](size_t index, const iffbuild::PlacedTile&) { return index % 2 ? Form::Raw : Form::Smallest; };
        const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
        std::vector<size_t> ofKind;
        for (size_t i = 0; i < built.tiles.size(); ++i)
            if (built.tiles[i].kind == c.cutKind) ofKind.push_back(i);
        ASSERT_EQ(ofKind.size(), 6u);
        const iffbuild::PlacedTile& cut = built.tiles[c.lastOfKind ? ofKind.back() : ofKind[2]];
        const size_t length = cut.offset + 8 + 8 + (cut.End() - cut.offset - 16) / 2;
        std::vector<iffbuild::PlacedTile> whole;
        for (const iffbuild::PlacedTile& t : built.tiles)
            if (t.End() <= length) whole.push_back(t);
        iffbuild::ExpectedRead want = iffbuild::ExpectRead(fileSpec.image, built.header, whole);
        ASSERT_EQ(want.deliveries.size(), whole.size());
        // The cut tile is taken up in the delivery pass but not handed over: progress counts it.
        int colour = 0, depth = 0;
        for (const iffbuild::PlacedTile& t : whole) (t.kind == Kind::Colour ? colour : depth)++;
        (c.cutKind == Kind::Colour ? colour : depth)++;
        want.progress.emplace_back(std::min(colour, depth), 6);
        LinkedHost host;
        readtest::ExpectOpens(host, iffbuild::Truncated(built.bytes, length), want);
    }
}

// A large image (its memory mapped apart from the heap) reads what the host fills a new image
// with wherever no tile reached: 0 by default, as tniff promises, or the fill asked for.
TEST(ReadShort, ALargeImageReadsItsFillWhereNoTileReached) {
    const int width = 2048, height = 1024, planes = 4;  // 8 MiB
    // One raw tile in the file's bottom left corner, every byte 1.
    const Bytes file = readtest::FileAround(readtest::HeaderOf(width, height, 3, 1),
                                            readtest::TileChunk("RGBA", TileRect{0, 0, 63, 63}, Bytes(64 * 64 * 4, 1)));
    for (uint8_t fill : {uint8_t(0), uint8_t(0x5A)}) {
        SCOPED_TRACE("fill " + std::to_string(fill));
        tniff::HostSetup setup;
        setup.newImageFill = fill;
        LinkedHost host(setup);
        ASSERT_EQ(readtest::OpenBytes(host, file), noErr);
        ASSERT_EQ(host.handOvers().size(), 1u);
        const tniff::Image& image = host.image();
        ASSERT_EQ(image.size(), size_t(width) * height * planes);
        size_t wrong = 0;
        for (int p = 0; p < planes; ++p)
            for (int y = 0; y < height; ++y) {
                const uint8_t* row = image.address(p, y, 0);
                for (int x = 0; x < width; ++x) {
                    const bool inTile = x < 64 && y >= height - 64;
                    wrong += row[x] != (inTile ? 1 : fill);
                }
            }
        EXPECT_EQ(wrong, 0u);
        EXPECT_TRUE(HostIsClean(host));
    }
}

TEST(ReadShort, NoTilesOrNoTileGroupOpensAnEmptyImage) {
    const iffbuild::Header header = readtest::HeaderOf(9, 7, 3, 0);
    iffbuild::FileWriter noGroup;
    noGroup.BeginGroup("CIMG").Fver().Tbhd(readtest::HeaderOf(9, 7, 3, 1)).Flds().EndChunk();
    const Bytes files[] = {readtest::FileAround(header, readtest::TileChunk("RGBA", TileRect{0, 0, 8, 6}, Bytes(252, 1))),
                           noGroup.Finish()};
    for (const Bytes& file : files) {
        LinkedHost host;
        ASSERT_EQ(readtest::OpenBytes(host, file), noErr);
        EXPECT_TRUE(host.handOvers().empty());
        EXPECT_TRUE(host.progressCalls().empty());
        EXPECT_EQ(host.image().planes(), 4);
        EXPECT_EQ(std::vector<uint8_t>(host.image().data(), host.image().data() + host.image().size()),
                  std::vector<uint8_t>(9 * 7 * 4, 0));
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
}

// ---- Hosts without parts of the interface ------------------------------------------------------

TEST(ReadHost, WithoutProgressTheImageStillArrives) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(40, 40, 3, true);
    fileSpec.image.FillRandom(4);
    fileSpec.image.FillRandomDepth(4);
    tniff::HostSetup setup;
    setup.progress = false;
    LinkedHost host(setup);
    ASSERT_EQ(readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes), noErr);
    EXPECT_TRUE(readtest::ImageIs(host.image(), iffbuild::ExpectRead(fileSpec).image));
}

TEST(ReadHost, WithoutAdvanceStateOrBuffersNothingOpens) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(10, 10, 3);
    const Bytes file = iffbuild::BuildFile(fileSpec).bytes;
    struct Case {
        std::function<void(tniff::HostSetup&)> setUp;
        OSErr result;
    };
    const Case cases[] = {
        {[](tniff::HostSetup& s) { s.advanceState = false; }, formatBadParameters},
        {[](tniff::HostSetup& s) { s.bufferSuite = false; }, memFullErr},
        {[](tniff::HostSetup& s) { s.bufferProcsVersion = 3; }, memFullErr},
    };
    for (const Case& c : cases) {
        tniff::HostSetup setup;
        c.setUp(setup);
        LinkedHost host(setup);
        EXPECT_EQ(readtest::OpenBytes(host, file), c.result);
        EXPECT_TRUE(host.handOvers().empty());
        EXPECT_EQ(ChunkStackDepth(), 0);
    }
}

// ---- ReadFinish -----------------------------------------------------------------------------------

TEST(ReadFinish, DisposesOfTheImageResourcesThroughTheHandleSuite) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(5, 5, 1);
    LinkedHost host;
    const Handle resources = host.SetImageResources(32);
    ASSERT_NE(resources, nullptr);
    ASSERT_EQ(readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes), noErr);
    EXPECT_TRUE(host.HandleDisposed(resources));
    EXPECT_TRUE(host.record().imageRsrcData == nullptr);
    EXPECT_EQ(host.record().imageRsrcSize, 0);
    // Without image resources, ReadFinish has nothing to do.
    EXPECT_EQ(host.Call(formatSelectorReadFinish), noErr);
}

TEST(ReadFinish, LeavesTheImageResourcesToAHostWithoutAUsableHandleSuite) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(5, 5, 3);
    tniff::HostSetup setup;
    setup.numHandleProcs = 6;  // the state record lives in the module's own handle
    LinkedHost host(setup);
    const Handle resources = host.SetImageResources(32);
    ASSERT_EQ(readtest::OpenBytes(host, iffbuild::BuildFile(fileSpec).bytes), noErr);
    EXPECT_FALSE(host.HandleDisposed(resources));
    EXPECT_EQ(Handle{host.record().imageRsrcData}, resources);  // a copy: the member may be unaligned
    EXPECT_EQ(host.record().imageRsrcSize, 32);
    EXPECT_TRUE(readtest::ImageIs(host.image(), iffbuild::ExpectRead(fileSpec).image));
}

}  // namespace
