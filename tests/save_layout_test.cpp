// Saving through ENTRYPOINT: the bytes of whole files, the tile grid and its hand-overs, the
// progress reports, the estimate, and the images the writer refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostapi/plugin_interface.h"
#include "module/iffio/chunk_stack.h"
#include "tests/support/host_checks.h"
#include "tests/support/iff_builder.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32At(const Bytes& bytes, size_t offset) {
    return (uint32_t(bytes.at(offset)) << 24) | (uint32_t(bytes.at(offset + 1)) << 16) |
           (uint32_t(bytes.at(offset + 2)) << 8) | uint32_t(bytes.at(offset + 3));
}
uint16_t U16At(const Bytes& bytes, size_t offset) {
    return uint16_t((bytes.at(offset) << 8) | bytes.at(offset + 1));
}
std::string CodeAt(const Bytes& bytes, size_t offset) {
    return std::string(bytes.begin() + std::ptrdiff_t(offset), bytes.begin() + std::ptrdiff_t(offset + 4));
}

// Offsets of the head as the writer lays it out.
const size_t kTbhdPayload = 32;
const size_t kFlagsOffset = kTbhdPayload + 12;
const size_t kTileCountOffset = kTbhdPayload + 18;
const size_t kTbmpSizeOffset = 96;
const size_t kFirstTile = 104;

struct TileChunk {
    uint16_t x1, y1, x2, y2;
    Bytes data;  // the pixel data after the tile header
};

// The tile chunks of a file as the writer lays it out, read with the test's own parsing; fails
// the test when the structure around them is off.
std::vector<TileChunk> TilesOf(const Bytes& file) {
    std::vector<TileChunk> tiles;
    EXPECT_GE(file.size(), kFirstTile);
    if (file.size() < kFirstTile) return tiles;
    EXPECT_EQ(CodeAt(file, 0), "FOR4");
    EXPECT_EQ(U32At(file, 4), file.size() - 8);
    EXPECT_EQ(CodeAt(file, 92), "FOR4");
    EXPECT_EQ(CodeAt(file, 100), "TBMP");
    EXPECT_EQ(U32At(file, kTbmpSizeOffset), file.size() - 100);
    size_t at = kFirstTile;
    while (at + 8 <= file.size()) {
        EXPECT_EQ(CodeAt(file, at), "RGBA");
        const uint32_t size = U32At(file, at + 4);
        EXPECT_GE(size, 8u);
        EXPECT_LE(at + 8 + size, file.size());
        if (size < 8 || at + 8 + size > file.size()) break;
        TileChunk tile{U16At(file, at + 8), U16At(file, at + 10), U16At(file, at + 12),
                       U16At(file, at + 14),
                       Bytes(file.begin() + std::ptrdiff_t(at + 16),
                             file.begin() + std::ptrdiff_t(at + 8 + size))};
        tiles.push_back(tile);
        const size_t end = at + 8 + size;
        at = (end + 3) / 4 * 4;
        for (size_t pad = end; pad < at && pad < file.size(); ++pad) EXPECT_EQ(file[pad], 0) << "pad byte " << pad;
    }
    EXPECT_EQ(at, file.size());
    return tiles;
}

// Host pixels in a pattern that changes with every coordinate and plane.
tniff::Image PatternImage(int width, int height, int planes, uint32_t seed) {
    tniff::Image image(width, height, planes);
    uint32_t state = seed * 2654435761u + 1;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                state = state * 1664525u + 1013904223u;
                image.at(p, y, x) = uint8_t(state >> 24);
            }
    return image;
}

// Pixels from a few levels, so that runs appear and many tiles compress.
tniff::Image FewLevelsImage(int width, int height, int planes, uint32_t seed, int levels) {
    tniff::Image image = PatternImage(width, height, planes, seed);
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) image.at(p, y, x) = uint8_t((image.at(p, y, x) % levels) * 37);
    return image;
}

// Stretches of equal bytes of every length broken by single changes: runs longer than a packet,
// pairs and triples inside literals, literals that reach a packet's length.
tniff::Image RunsImage(int width, int height, int planes, uint32_t seed) {
    tniff::Image image = PatternImage(width, height, planes, seed);
    uint32_t state = seed;
    uint8_t value = 0;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                state = state * 1664525u + 1013904223u;
                if ((state >> 28) < 3) value = uint8_t(state >> 8);
                image.at(p, y, x) = value;
            }
    return image;
}

// The same image as the reference file builder describes what the writer stores: gray widened
// to three channels, a second or fourth plane as alpha, a fifth plane left out.
iffbuild::Image StoredImage(const tniff::Image& image) {
    const int planes = image.planes();
    const int channels = (planes == 1 || planes == 3) ? 3 : 4;
    iffbuild::Image stored = iffbuild::Image::Blank(uint32_t(image.width()), uint32_t(image.height()), channels);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            for (int c = 0; c < channels; ++c) {
                int plane = c;
                if (planes <= 2) plane = c == 3 ? 1 : 0;
                stored.At(uint32_t(x), uint32_t(y), c) = image.at(plane, y, x);
            }
    return stored;
}

// Runs the save sequence with the steps the host takes, recording each progress report with the
// number of hand-overs made before it.
struct ProgressSeen {
    int32_t done, total;
    size_t handOversBefore;
};
tniff::Host* gWatchedHost = nullptr;
std::vector<ProgressSeen>* gProgressSeen = nullptr;
void WatchProgress(int32_t done, int32_t total) {
    gProgressSeen->push_back(ProgressSeen{done, total, gWatchedHost->handOvers().size()});
}

struct SaveOutcome {
    OSErr result = noErr;
    Bytes file;
};

SaveOutcome SaveWatchingProgress(tniff::Host& host, const tniff::Image& image,
                                 std::vector<ProgressSeen>* seen) {
    TempFile file;
    SaveOutcome outcome;
    host.ClearLogs();
    host.SetImage(image);
    EXPECT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::write));
    gWatchedHost = &host;
    gProgressSeen = seen;
    host.record().progressProc = &WatchProgress;
    for (int16_t selector = formatSelectorEstimatePrepare; selector <= formatSelectorWriteFinish; ++selector) {
        outcome.result = host.Call(selector);
        if (outcome.result != noErr) break;
    }
    host.CloseFile();
    outcome.file = file.Read();
    return outcome;
}

SaveOutcome Save(tniff::Host& host, const tniff::Image& image) {
    TempFile file;
    SaveOutcome outcome;
    outcome.result = host.Save(image, file.path());
    outcome.file = file.Read();
    return outcome;
}

TEST(SaveLayoutTest, OneByOneRgbFileIsTheWholeFormatByteForByte) {
    LinkedHost host;
    tniff::Image image(1, 1, 3);
    image.at(0, 0, 0) = 0x10;
    image.at(1, 0, 0) = 0x20;
    image.at(2, 0, 0) = 0x30;
    SaveOutcome saved = Save(host, image);
    ASSERT_EQ(saved.result, noErr);
    const Bytes expected = {
        'F', 'O', 'R', '4', 0, 0, 0, 116, 'C', 'I', 'M', 'G',
        'F', 'V', 'E', 'R', 0, 0, 0, 4, 0, 1, 0, 1,
        'T', 'B', 'H', 'D', 0, 0, 0, 32,
        0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
        'F', 'L', 'D', 'S', 0, 0, 0, 20,
        0x46, 0x4D, 0x54, 0x01, 0, 0, 0, 4, 0x5A, 0x56, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        'F', 'O', 'R', '4', 0, 0, 0, 24, 'T', 'B', 'M', 'P',
        'R', 'G', 'B', 'A', 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0x30, 0x20, 0x10, 0,
    };
    EXPECT_EQ(saved.file, expected);
    EXPECT_EQ(ChunkStackDepth(), 0);
    EXPECT_TRUE(HostIsClean(host));
}

TEST(SaveLayoutTest, OneByOneGrayIsOneRawTileOfThreeEqualChannels) {
    LinkedHost host;
    tniff::Image image(1, 1, 1);
    image.at(0, 0, 0) = 9;
    std::vector<ProgressSeen> progress;
    SaveOutcome saved = SaveWatchingProgress(host, image, &progress);
    ASSERT_EQ(saved.result, noErr);
    EXPECT_EQ(U32At(saved.file, kFlagsOffset), 1u);
    EXPECT_EQ(U16At(saved.file, kTileCountOffset), 1u);
    ASSERT_EQ(host.handOvers().size(), 1u);
    const tniff::HandOver& handOver = host.handOvers()[0];
    EXPECT_FALSE(handOver.reading);
    EXPECT_EQ(handOver.rect.top, 0);
    EXPECT_EQ(handOver.rect.left, 0);
    EXPECT_EQ(handOver.rect.bottom, 1);
    EXPECT_EQ(handOver.rect.right, 1);
    EXPECT_EQ(handOver.loPlane, 0);
    EXPECT_EQ(handOver.hiPlane, 0);
    EXPECT_EQ(handOver.colBytes, 1);
    EXPECT_EQ(handOver.rowBytes, 1);
    EXPECT_EQ(handOver.planeBytes, 1);
    std::vector<TileChunk> tiles = TilesOf(saved.file);
    ASSERT_EQ(tiles.size(), 1u);
    EXPECT_EQ(tiles[0].data, (Bytes{9, 9, 9}));
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0].done, 1);
    EXPECT_EQ(progress[0].total, 1);
    EXPECT_TRUE(host.record().data == nullptr);
    EXPECT_TRUE(HostIsClean(host));
}

// One tile grid per case: the hand-over rectangles (host rows, bottom and right exclusive) and
// the tile headers (file rows from the bottom, inclusive) in the order written, and the progress
// reports with the hand-overs made before each.
struct GridCase {
    int width, height;
    uint16_t tileCount;
    std::vector<Rect16> rects;                   // top, left, bottom, right
    std::vector<std::vector<uint16_t>> headers;  // x1, y1, x2, y2
    std::vector<ProgressSeen> progress;
};

class SaveGridTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(SaveGridTest, TilesGoBottomRowFirstLeftToRightWithProgressPerRow) {
    const GridCase& grid = GetParam();
    LinkedHost host;
    std::vector<ProgressSeen> progress;
    SaveOutcome saved = SaveWatchingProgress(host, PatternImage(grid.width, grid.height, 3, 7), &progress);
    ASSERT_EQ(saved.result, noErr);
    EXPECT_EQ(U16At(saved.file, kTileCountOffset), grid.tileCount);
    ASSERT_EQ(host.handOvers().size(), grid.rects.size());
    for (size_t t = 0; t < grid.rects.size(); ++t) {
        const Rect16& rect = host.handOvers()[t].rect;
        EXPECT_EQ(rect.top, grid.rects[t].top) << "tile " << t;
        EXPECT_EQ(rect.left, grid.rects[t].left) << "tile " << t;
        EXPECT_EQ(rect.bottom, grid.rects[t].bottom) << "tile " << t;
        EXPECT_EQ(rect.right, grid.rects[t].right) << "tile " << t;
        EXPECT_EQ(host.handOvers()[t].rowBytes, (rect.right - rect.left) * 3) << "tile " << t;
    }
    std::vector<TileChunk> tiles = TilesOf(saved.file);
    ASSERT_EQ(tiles.size(), grid.headers.size());
    for (size_t t = 0; t < tiles.size(); ++t) {
        EXPECT_EQ((std::vector<uint16_t>{tiles[t].x1, tiles[t].y1, tiles[t].x2, tiles[t].y2}), grid.headers[t])
            << "tile " << t;
    }
    ASSERT_EQ(progress.size(), grid.progress.size());
    for (size_t k = 0; k < progress.size(); ++k) {
        EXPECT_EQ(progress[k].done, grid.progress[k].done);
        EXPECT_EQ(progress[k].total, grid.progress[k].total);
        EXPECT_EQ(progress[k].handOversBefore, grid.progress[k].handOversBefore);
    }
    EXPECT_TRUE(HostIsClean(host));
}

INSTANTIATE_TEST_SUITE_P(
    Grids, SaveGridTest,
    ::testing::Values(
        GridCase{64, 64, 1, {{0, 0, 64, 64}}, {{0, 0, 63, 63}}, {{1, 1, 1}}},
        GridCase{65, 65, 4,
                 {{1, 0, 65, 64}, {1, 64, 65, 65}, {0, 0, 1, 64}, {0, 64, 1, 65}},
                 {{0, 0, 63, 63}, {64, 0, 64, 63}, {0, 64, 63, 64}, {64, 64, 64, 64}},
                 {{1, 2, 2}, {2, 2, 4}}},
        GridCase{100, 130, 6,
                 {{66, 0, 130, 64}, {66, 64, 130, 100}, {2, 0, 66, 64}, {2, 64, 66, 100},
                  {0, 0, 2, 64}, {0, 64, 2, 100}},
                 {{0, 0, 63, 63}, {64, 0, 99, 63}, {0, 64, 63, 127}, {64, 64, 99, 127},
                  {0, 128, 63, 129}, {64, 128, 99, 129}},
                 {{1, 3, 2}, {2, 3, 4}, {3, 3, 6}}},
        GridCase{1, 200, 4,
                 {{136, 0, 200, 1}, {72, 0, 136, 1}, {8, 0, 72, 1}, {0, 0, 8, 1}},
                 {{0, 0, 0, 63}, {0, 64, 0, 127}, {0, 128, 0, 191}, {0, 192, 0, 199}},
                 {{1, 4, 1}, {2, 4, 2}, {3, 4, 3}, {4, 4, 4}}}));

// The plane counts the host offers and how each is requested and stored.
struct PlaneCase {
    int planes;
    int16_t hiPlane;
    int16_t colBytes;
    uint32_t flags;
    size_t fileChannels;
};

class SavePlanesTest : public ::testing::TestWithParam<PlaneCase> {};

TEST_P(SavePlanesTest, PlanesDecideHandOverAndHeaderFlags) {
    const PlaneCase& c = GetParam();
    LinkedHost host;
    SaveOutcome saved = Save(host, PatternImage(5, 3, c.planes, 11));
    ASSERT_EQ(saved.result, noErr);
    EXPECT_EQ(U32At(saved.file, kFlagsOffset), c.flags);
    ASSERT_EQ(host.handOvers().size(), 1u);
    EXPECT_EQ(host.handOvers()[0].loPlane, 0);
    EXPECT_EQ(host.handOvers()[0].hiPlane, c.hiPlane);
    EXPECT_EQ(host.handOvers()[0].colBytes, c.colBytes);
    EXPECT_EQ(host.handOvers()[0].rowBytes, 5 * c.colBytes);
    std::vector<TileChunk> tiles = TilesOf(saved.file);
    ASSERT_EQ(tiles.size(), 1u);
    // Random pixels do not compress: the raw size tells the channels per stored pixel.
    EXPECT_EQ(tiles[0].data.size(), 15 * c.fileChannels);
    EXPECT_TRUE(HostIsClean(host));
}

INSTANTIATE_TEST_SUITE_P(AllCounts, SavePlanesTest,
                         ::testing::Values(PlaneCase{1, 0, 1, 1, 3}, PlaneCase{2, 1, 2, 3, 4},
                                           PlaneCase{3, 2, 3, 1, 3}, PlaneCase{4, 3, 4, 3, 4},
                                           PlaneCase{5, 3, 4, 3, 4}));

TEST(SaveLayoutTest, FivePlanesAreWrittenExactlyLikeTheFirstFour) {
    tniff::Image five = FewLevelsImage(130, 70, 5, 3, 3);
    tniff::Image four(130, 70, 4);
    for (int p = 0; p < 4; ++p)
        for (int y = 0; y < 70; ++y)
            for (int x = 0; x < 130; ++x) four.at(p, y, x) = five.at(p, y, x);
    LinkedHost hostFive;
    LinkedHost hostFour;
    SaveOutcome savedFive = Save(hostFive, five);
    SaveOutcome savedFour = Save(hostFour, four);
    ASSERT_EQ(savedFive.result, noErr);
    ASSERT_EQ(savedFour.result, noErr);
    EXPECT_EQ(savedFive.file, savedFour.file);
    EXPECT_EQ(TilesOf(savedFive.file).size(), 6u);  // only "RGBA" chunks, no depth tiles
    EXPECT_TRUE(HostIsClean(hostFive));
    EXPECT_TRUE(HostIsClean(hostFour));
}

// Random images of many sizes and every plane count, compared byte for byte with the file the
// reference builder composes from the same pixels.
class SaveMatchesReferenceTest : public ::testing::TestWithParam<int> {};

TEST_P(SaveMatchesReferenceTest, WholeFileEqualsTheReferenceBytes) {
    const int planes = GetParam();
    const int sides[] = {1, 2, 63, 64, 65, 127, 128, 129, 200};
    uint32_t seed = uint32_t(planes) * 1000;
    for (int width : sides) {
        for (int height : {1, 64, 65, 130}) {
            ++seed;
            // Alternate noise, few levels, stretches of equal bytes and flat areas, so that tiles
            // and planes of both forms and every packet choice appear.
            const int levels = seed % 4 == 0 ? 256 : (seed % 4 == 1 ? 3 : 1);
            tniff::Image image = seed % 4 == 2 ? RunsImage(width, height, planes, seed)
                                               : FewLevelsImage(width, height, planes, seed, levels);
            iffbuild::FileSpec fileSpec;
            fileSpec.image = StoredImage(image);
            const Bytes expected = iffbuild::BuildFile(fileSpec).bytes;
            LinkedHost host;
            SaveOutcome saved = Save(host, image);
            ASSERT_EQ(saved.result, noErr) << width << " by " << height;
            EXPECT_EQ(saved.file, expected) << width << " by " << height << ", " << levels << " levels";
            EXPECT_EQ(ChunkStackDepth(), 0);
            EXPECT_TRUE(HostIsClean(host));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCounts, SaveMatchesReferenceTest, ::testing::Values(1, 2, 3, 4, 5));

// ---- The estimate ----------------------------------------------------------------------------

struct EstimateOutcome {
    OSErr result;
    int32_t maxData, minDataBytes, maxDataBytes;
    bool dataCleared;
};

EstimateOutcome Estimate(tniff::Host& host, int width, int height, int planes, int16_t mode) {
    host.SetImage(tniff::Image(1, 1, 1));
    host.record().imageSize.h = int16_t(width);
    host.record().imageSize.v = int16_t(height);
    host.record().planes = int16_t(planes);
    host.record().imageMode = mode;
    host.record().minDataBytes = -7;
    host.record().maxDataBytes = -7;
    static char marker;
    host.record().data = &marker;
    EstimateOutcome outcome{};
    outcome.result = host.Call(formatSelectorEstimatePrepare);
    outcome.maxData = host.record().maxData;
    if (outcome.result == noErr) outcome.result = host.Call(formatSelectorEstimateStart);
    outcome.minDataBytes = host.record().minDataBytes;
    outcome.maxDataBytes = host.record().maxDataBytes;
    outcome.dataCleared = host.record().data == nullptr;
    return outcome;
}

TEST(SaveEstimateTest, CountsTheHostBytesAndTheColourTableOfIndexedImages) {
    struct Case {
        int width, height, planes;
        int16_t mode;
        int32_t expected;
    };
    const Case cases[] = {
        {20, 10, 3, plugInModeRGBColor, 600},
        {20, 10, 1, plugInModeIndexedColor, 968},
        {20, 10, 1, plugInModeGrayScale, 200},
        {1, 1, 5, plugInModeRGBColor, 5},
        // The largest images the writer accepts (65024 tiles) still fit the host's 32-bit sizes.
        {32767, 8128, 5, plugInModeRGBColor, 5 * 32767 * 8128},
        {16448, 16320, 5, plugInModeIndexedColor, 5 * 16448 * 16320 + 768},
    };
    for (const Case& c : cases) {
        LinkedHost host;
        EstimateOutcome outcome = Estimate(host, c.width, c.height, c.planes, c.mode);
        EXPECT_EQ(outcome.result, noErr);
        EXPECT_EQ(outcome.maxData, 0);
        EXPECT_EQ(outcome.minDataBytes, c.expected) << c.width << " by " << c.height;
        EXPECT_EQ(outcome.maxDataBytes, c.expected);
        EXPECT_TRUE(outcome.dataCleared);
        EXPECT_TRUE(HostIsClean(host));
    }
}

// Images the writer has no faithful file for are refused before anything is estimated or
// written: more tiles than the header's 16-bit count, no pixels, or a plane count without a
// channel layout.
TEST(SaveRefusalTest, ImagesWithoutAFaithfulFileAreRefusedWithBadParameters) {
    struct Case {
        int width, height, planes;
        const char* what;
    };
    const Case cases[] = {
        {32767, 8192, 1, "65536 tiles"},
        {32767, 32767, 5, "262144 tiles"},
        {0, 10, 3, "no columns"},
        {10, 0, 3, "no rows"},
        {-5, 10, 3, "negative columns"},
        {10, 10, 0, "no planes"},
        {10, 10, 6, "six planes"},
        {10, 10, -1, "negative planes"},
    };
    for (const Case& c : cases) {
        LinkedHost host;
        EstimateOutcome outcome = Estimate(host, c.width, c.height, c.planes, plugInModeRGBColor);
        EXPECT_EQ(outcome.result, formatBadParameters) << c.what;
        EXPECT_EQ(outcome.minDataBytes, -7) << c.what;

        TempFile file;
        ASSERT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::write));
        const int64_t writesBefore = host.counts().fileWrites;
        EXPECT_EQ(host.Call(formatSelectorWriteStart), formatBadParameters) << c.what;
        EXPECT_EQ(host.counts().fileWrites, writesBefore) << c.what;
        EXPECT_TRUE(host.handOvers().empty()) << c.what;
        host.CloseFile();
        EXPECT_TRUE(file.Read().empty()) << c.what;
        EXPECT_TRUE(HostIsClean(host));
    }
}

TEST(SaveRefusalTest, SixtyFiveThousandFiveHundredThirtyFiveTilesAreAccepted) {
    LinkedHost host;
    // 257 tile columns by 255 tile rows: the most tiles the header can count.
    EstimateOutcome outcome = Estimate(host, 16448, 16320, 1, plugInModeGrayScale);
    EXPECT_EQ(outcome.result, noErr);
    EXPECT_EQ(outcome.minDataBytes, 16448 * 16320);
    EXPECT_TRUE(HostIsClean(host));
}

}  // namespace
