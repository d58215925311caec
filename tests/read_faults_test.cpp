// Reading what goes wrong: files cut at every offset, every buffer, read and hand-over failing in
// turn, and malformed tiles. Each open ends with the right code, hands over only whole tiles it
// decoded, leaves no chunk open and no buffer held (the host checks the latter on every call).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/read_expectations.h"

using iffbuild::Bytes;
using iffbuild::FileSpec;
using iffbuild::Form;
using iffbuild::KindOrder;
using iffbuild::TileRect;

namespace {

// A small image with depth whose tiles come raw and compressed, colour and depth alike.
FileSpec MixedDepthSpec(KindOrder kinds) {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(12, 10, 4, true);
    fileSpec.image.FillRandom(21, 2);
    for (uint32_t y = 0; y < 10; ++y)
        for (uint32_t x = 0; x < 12; ++x)
            fileSpec.image.DepthAt(x, y) = (x + y) % 7 == 0 ? 0 : 0x3F000000u + ((x / 3 + y / 2) % 3) * 0x100000u;
    fileSpec.tileWidth = 6;
    fileSpec.tileHeight = 5;
    fileSpec.kinds = kinds;
    fileSpec.formFor = [](size_t index, const iffbuild::PlacedTile&) { return index % 3 == 1 ? Form::Raw : Form::Smallest; };
    return fileSpec;
}

// Two depth tiles side by side: the left one far, in two values, the right one nearer than both.
// A survey that ends before the right tile knows only the left one's range.
FileSpec FarThenNearSpec() {
    FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(128, 64, 3, true);
    fileSpec.image.FillRandom(5, 4);
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 128; ++x)
            fileSpec.image.DepthAt(x, y) = x < 64 ? 0x3F800000u + (y % 2) * 0x1000u : 0x3E000000u;
    fileSpec.kinds = KindOrder::DepthThenColour;
    return fileSpec;
}

// The host holds a prefix of the complete read's hand-overs, and exactly the pixels of those that
// succeeded; everything else of the image is untouched. With rangeMayNarrow (a short read in the
// depth survey looks like the end of the file, and the range comes from the tiles surveyed before
// it), delivered depth bytes are checked only where the source image has no depth (they are 0),
// and otherwise only for their order: a nearer pixel never comes out deeper than a farther one,
// whatever tiles the range came from.
void ExpectDeliveredPrefix(const tniff::Host& host, const iffbuild::ExpectedRead& full,
                           const iffbuild::Image* rangeMayNarrow = nullptr) {
    const std::vector<tniff::HandOver>& got = host.handOvers();
    ASSERT_LE(got.size(), full.deliveries.size());
    EXPECT_TRUE(readtest::HandOversAre(
        got, std::vector<iffbuild::Delivery>(full.deliveries.begin(), full.deliveries.begin() + std::ptrdiff_t(got.size())),
        full.image.colourPlanes));
    const tniff::Image& image = host.image();
    if (image.empty()) {
        EXPECT_TRUE(got.empty());
        return;
    }
    ASSERT_EQ(image.planes(), full.image.Planes());
    std::vector<uint8_t> covered(image.size(), 0);
    for (const tniff::HandOver& h : got) {
        if (h.result != noErr) continue;
        for (int p = h.loPlane; p <= h.hiPlane; ++p)
            for (int y = h.rect.top; y < h.rect.bottom; ++y)
                for (int x = h.rect.left; x < h.rect.right; ++x)
                    covered[(size_t(p) * size_t(image.height()) + size_t(y)) * size_t(image.width()) + size_t(x)] = 1;
    }
    for (int p = 0; p < image.planes(); ++p)
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const bool in = covered[(size_t(p) * size_t(image.height()) + size_t(y)) * size_t(image.width()) + size_t(x)] != 0;
                if (in && rangeMayNarrow != nullptr && full.image.hasDepth && p == full.image.colourPlanes &&
                    (rangeMayNarrow->DepthAt(uint32_t(x), uint32_t(y)) >> 24) != 0) {
                    continue;
                }
                ASSERT_EQ(image.at(p, y, x), in ? full.image.At(uint32_t(x), uint32_t(y), p) : 0)
                    << "plane " << p << " row " << y << " column " << x;
            }
    if (rangeMayNarrow == nullptr || !full.image.hasDepth) return;
    std::vector<std::pair<uint32_t, uint8_t>> depths;  // source value, delivered byte
    const int d = full.image.colourPlanes;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const uint32_t v = rangeMayNarrow->DepthAt(uint32_t(x), uint32_t(y));
            const size_t at = (size_t(d) * size_t(image.height()) + size_t(y)) * size_t(image.width()) + size_t(x);
            if ((v >> 24) != 0 && covered[at] != 0) depths.emplace_back(v, image.at(d, y, x));
        }
    std::sort(depths.begin(), depths.end());
    for (size_t k = 1; k < depths.size(); ++k)
        ASSERT_LE(depths[k - 1].second, depths[k].second) << "depth " << depths[k - 1].first << " below " << depths[k].first;
}

// ---- Truncation ----------------------------------------------------------------------------------

// Cut anywhere, a file opens as far as it goes: before the header's fields end, the end of the
// file is the error; after that, every tile that is whole is delivered (with depth, scaled by
// the range of the whole depth tiles) and the cut is forgiven. A tile cut after its id counts as taken up
// in the delivery pass: progress is reported for it, though it is not handed over.
TEST(ReadTruncation, EveryCutOpensAsFarAsItGoes) {
    for (KindOrder kinds : {KindOrder::DepthThenColour, KindOrder::Interleaved}) {
        const FileSpec fileSpec = MixedDepthSpec(kinds);
        const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
        size_t compressed = 0;
        for (const iffbuild::PlacedTile& t : built.tiles) compressed += t.compressed ? 1 : 0;
        ASSERT_GT(compressed, 1u);
        ASSERT_LT(compressed, built.tiles.size());
        const size_t headerFieldsEnd = built.tbhdOffset + 8 + 24;
        const int tileCount = built.header.tileCount;

        for (size_t cut = 0; cut <= built.bytes.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            LinkedHost host;
            const OSErr result = readtest::OpenBytes(host, iffbuild::Truncated(built.bytes, cut));
            EXPECT_EQ(ChunkStackDepth(), 0);
            EXPECT_TRUE(HostIsClean(host));
            if (cut < headerFieldsEnd) {
                EXPECT_EQ(result, eofErr);
                EXPECT_TRUE(host.handOvers().empty());
                continue;
            }
            ASSERT_EQ(result, noErr);
            std::vector<iffbuild::PlacedTile> whole;
            const iffbuild::PlacedTile* cutTile = nullptr;
            for (const iffbuild::PlacedTile& t : built.tiles) {
                if (t.offset + 8 + t.sizeField <= cut) {
                    whole.push_back(t);
                } else if (cutTile == nullptr) {
                    cutTile = &t;
                }
            }
            iffbuild::ExpectedRead want = iffbuild::ExpectRead(fileSpec.image, built.header, whole);
            if (cutTile != nullptr && cut >= cutTile->offset + 4) {
                int colour = 0, depth = 0;
                for (const iffbuild::Delivery& d : want.deliveries) (d.kind == iffbuild::Kind::Colour ? colour : depth)++;
                (cutTile->kind == iffbuild::Kind::Colour ? colour : depth)++;
                want.progress.emplace_back(std::min(colour, depth), tileCount);
            }
            EXPECT_TRUE(readtest::ImageIs(host.image(), want.image));
            EXPECT_TRUE(readtest::HandOversAre(host.handOvers(), want.deliveries, 4));
            EXPECT_EQ(readtest::ProgressOf(host), want.progress);
        }
    }
}

// ---- Faults, one at a time -------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    void (*arm)(tniff::FaultPlan&, int64_t n);
    std::vector<OSErr> results;  // what an open may end with when the fault fired
    bool handOver;               // the fault is the nth hand-over's
    bool looksLikeTheEnd = false;  // a short read: the depth range may come from fewer tiles
};

const FaultCase kFaultCases[] = {
    {"buffer allocation", [](tniff::FaultPlan& p, int64_t n) { p.failBufferAllocation = n; }, {memFullErr}, false},
    {"file read", [](tniff::FaultPlan& p, int64_t n) { p.failFileRead = n; }, {readErr}, false},
    // A short read cannot be told from the end of the file: a group forgives it. Cutting the
    // outer group's header short makes it no image of ours (readErr).
    {"short file read", [](tniff::FaultPlan& p, int64_t n) { p.shortFileRead = n; }, {eofErr, noErr, readErr}, false, true},
    {"hand-over", [](tniff::FaultPlan& p, int64_t n) { p.failAdvanceState = n; }, {userCanceledErr}, true},
};

TEST(ReadFaults, EachFaultInTurnEndsWithItsCodeAndLeavesNothing) {
    for (const FaultCase& c : kFaultCases) {
        for (const FileSpec& fileSpec :
             {MixedDepthSpec(KindOrder::DepthThenColour), MixedDepthSpec(KindOrder::Interleaved), FarThenNearSpec()}) {
            const Bytes file = iffbuild::BuildFile(fileSpec).bytes;
            const iffbuild::ExpectedRead full = iffbuild::ExpectRead(fileSpec);
            int64_t fired = 0;
            for (int64_t n = 1;; ++n) {
                SCOPED_TRACE(std::string(c.name) + " " + std::to_string(n));
                LinkedHost host;
                tniff::FaultPlan plan;
                c.arm(plan, n);
                host.ArmFaults(plan);
                const OSErr result = readtest::OpenBytes(host, file);
                EXPECT_EQ(ChunkStackDepth(), 0);
                EXPECT_TRUE(HostIsClean(host));
                if (!host.faultFired()) {
                    EXPECT_EQ(result, noErr);
                    EXPECT_TRUE(readtest::ImageIs(host.image(), full.image));
                    break;
                }
                ++fired;
                EXPECT_NE(std::find(c.results.begin(), c.results.end(), result), c.results.end()) << "result " << result;
                ExpectDeliveredPrefix(host, full, c.looksLikeTheEnd ? &fileSpec.image : nullptr);
                if (c.handOver) {
                    // The nth hand-over was refused, and nothing was handed over after it.
                    ASSERT_EQ(host.handOvers().size(), size_t(n));
                    EXPECT_EQ(host.handOvers().back().result, userCanceledErr);
                    EXPECT_EQ(host.progressCalls().size(), size_t(n));
                }
            }
            EXPECT_GT(fired, 2);
        }
    }
}

// ---- Malformed tiles --------------------------------------------------------------------------------

struct BadTileCase {
    const char* name;
    uint32_t flags;
    uint16_t tileCount;
    std::vector<Bytes> tiles;  // the tile group's children, in order
    size_t handOvers;          // hand-overs before the read is refused
};

Bytes Tile(const std::string& id, TileRect rect, size_t dataBytes, iffbuild::EndOptions end = iffbuild::EndOptions()) {
    return readtest::TileChunk(id, rect, Bytes(dataBytes, 0x41), end);
}

// The image is 10 by 8. Good tiles cover it whole: colour of 3 or 4 channels, depth.
const TileRect kWhole{0, 0, 9, 7};
Bytes GoodRgb() { return Tile("RGBA", kWhole, 240); }
Bytes GoodDepth() { return Tile("ZBUF", kWhole, 320); }

TEST(ReadMalformed, TilesThatDoNotFitEndTheReadBeforeTheyReachTheHost) {
    const BadTileCase cases[] = {
        {"size 0", 1, 2, {GoodRgb(), iffbuild::ChunkBytes("RGBA", {})}, 1},
        {"size 7", 1, 2, {GoodRgb(), iffbuild::ChunkBytes("RGBA", Bytes(7, 0))}, 1},
        {"x2 before x1", 1, 2, {GoodRgb(), Tile("RGBA", TileRect{5, 0, 3, 7}, 240)}, 1},
        {"y2 below y1", 1, 2, {GoodRgb(), Tile("RGBA", TileRect{0, 4, 9, 2}, 240)}, 1},
        {"x2 at the width", 1, 2, {GoodRgb(), Tile("RGBA", TileRect{9, 0, 10, 7}, 48)}, 1},
        {"y2 at the height", 1, 2, {GoodRgb(), Tile("RGBA", TileRect{0, 7, 9, 8}, 60)}, 1},
        {"far outside", 1, 1, {Tile("RGBA", TileRect{0, 0, 65535, 65535}, 64)}, 0},
        {"depth tile in the survey", 5, 2, {GoodRgb(), Tile("ZBUF", TileRect{0, 0, 9, 8}, 320), GoodDepth()}, 0},
        {"short depth tile in the survey", 5, 1, {iffbuild::ChunkBytes("ZBUF", Bytes(4, 0)), GoodRgb()}, 0},
        {"depth tile in the delivery", 5, 1, {GoodDepth(), Tile("ZBUF", TileRect{3, 3, 2, 2}, 8), GoodRgb()}, 1},
        {"colour tile after the survey", 5, 1, {Tile("RGBA", TileRect{0, 0, 10, 7}, 240), GoodDepth()}, 0},
        {"end past 4 GiB", 1, 1, {Tile("RGBA", kWhole, 240, iffbuild::EndOptions::WithSize(0xFFFFFFF0u))}, 0},
    };
    for (const BadTileCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes group;
        for (const Bytes& t : c.tiles) group.insert(group.end(), t.begin(), t.end());
        LinkedHost host;
        EXPECT_EQ(readtest::OpenBytes(host, readtest::FileAround(readtest::HeaderOf(10, 8, c.flags, c.tileCount), group)),
                  formatCannotRead);
        EXPECT_EQ(host.handOvers().size(), c.handOvers);
        EXPECT_EQ(host.progressCalls().size(), c.handOvers);  // none for the refused tile
        EXPECT_EQ(ChunkStackDepth(), 0);
        EXPECT_TRUE(HostIsClean(host));
    }
}

// A tile header that claims far more than the image holds must not make the module ask for a
// buffer of that size: the tile is refused before anything is allocated for it.
TEST(ReadMalformed, AnOversizedTileHeaderAllocatesNothing) {
    const Bytes file = readtest::FileAround(readtest::HeaderOf(16, 16, 3, 1), Tile("RGBA", TileRect{0, 0, 40000, 40000}, 16));
    LinkedHost host;
    EXPECT_EQ(readtest::OpenBytes(host, file), formatCannotRead);
    EXPECT_EQ(host.counts().bufferAllocations, 0);
}

// Chunks the reader passes over are never judged by what their header would say.
TEST(ReadMalformed, ChunksPassedOverAreNotJudged) {
    struct Case {
        const char* name;
        uint32_t flags;
        std::vector<Bytes> tiles;
    };
    const Bytes tiny = iffbuild::ChunkBytes("NOTE", {1, 2, 3});
    const Case cases[] = {
        {"other ids", 1, {tiny, GoodRgb(), iffbuild::ChunkBytes("RGBX", {})}},
        {"depth tiles without depth", 1, {Tile("ZBUF", TileRect{9, 9, 1, 1}, 4), iffbuild::ChunkBytes("ZBUF", {1, 2}), GoodRgb()}},
        {"colour tiles without colour", 4, {Tile("RGBA", TileRect{0, 0, 500, 500}, 4), GoodDepth()}},
        {"tiles after the last one needed", 1, {GoodRgb(), Tile("RGBA", TileRect{7, 7, 1, 1}, 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes group;
        for (const Bytes& t : c.tiles) group.insert(group.end(), t.begin(), t.end());
        LinkedHost host;
        EXPECT_EQ(readtest::OpenBytes(host, readtest::FileAround(readtest::HeaderOf(10, 8, c.flags, 1), group)), noErr);
        ASSERT_EQ(host.handOvers().size(), 1u);
        EXPECT_EQ(host.progressCalls().size(), 1u);
        EXPECT_TRUE(HostIsClean(host));
    }
}

// ---- Tiles of more than 65536 pixels -------------------------------------------------------------

TEST(ReadLargeTiles, ATileOfMoreThan65536PixelsIsReadWhole) {
    for (Form form : {Form::Raw, Form::Smallest}) {
        FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(300, 250, 3, true);
        for (uint32_t y = 0; y < 250; ++y)
            for (uint32_t x = 0; x < 300; ++x) {
                // The top half noisy, the bottom half in runs: the compressed colour payload
                // is shorter than raw but longer than 64 KiB, so it is read in one whole transfer.
                for (int c = 0; c < 3; ++c)
                    fileSpec.image.At(x, y, c) = y < 125 ? uint8_t((x * 2654435761u + y * 40503u + c * 977u) >> 13) : uint8_t(x / 8 + c * 50);
                fileSpec.image.DepthAt(x, y) = x < 20 ? 0 : 0x40000000u + (y / 10) * 0x10000u;
            }
        // The expected image comes from the same picture in small tiles: the same pixels end up
        // in the host whatever the tiling.
        const iffbuild::ExpectedRead want = iffbuild::ExpectRead(fileSpec);
        fileSpec.tileWidth = 300;
        fileSpec.tileHeight = 250;
        fileSpec.form = form;
        const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
        ASSERT_EQ(built.tiles.size(), 2u);
        EXPECT_EQ(built.tiles[0].compressed, form != Form::Raw);
        EXPECT_GT(built.tiles[0].sizeField, 65536u + 8);
        LinkedHost host;
        ASSERT_EQ(readtest::OpenBytes(host, built.bytes), noErr);
        EXPECT_TRUE(readtest::ImageIs(host.image(), want.image));
        ASSERT_EQ(host.handOvers().size(), 2u);
        EXPECT_EQ(host.handOvers()[0].rect.bottom, 250);
        EXPECT_EQ(host.handOvers()[0].rect.right, 300);
        EXPECT_EQ(host.handOvers()[1].rowBytes, 300);
        EXPECT_TRUE(HostIsClean(host));
    }
}

}  // namespace
