// The file-layout walker (tarniff/tarniff.h) on files composed with the test-side builder: where a
// damaged file's walk stops and why, and that whole files of unusual shapes are whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

using iffbuild::Bytes;

// A 70 x 64 RGB file of raw tiles in one row: the tile group at 92 claims 13476 bytes; tile 0,
// x 0-63, at 104 claims 12296; tile 1, x 64-69, at 12408 claims 1160; the file ends at 13576.
iffbuild::FileSpec TwoTiles() {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(70, 64, 3);
    fileSpec.image.FillRandom(5, 4);
    fileSpec.form = iffbuild::Form::Raw;
    return fileSpec;
}

// The head of a file up to its tile group, by hand: "CIMG" { "TBHD", "TBMP" { ... } }, with
// the tile group's children appended by the caller and both groups closed by Close().
struct HandMade {
    iffbuild::FileWriter w;
    explicit HandMade(uint32_t width, uint32_t height, uint16_t tileCount = 1) {
        iffbuild::Header header;
        header.width = width;
        header.height = height;
        header.tileCount = tileCount;
        w.BeginGroup("CIMG").Tbhd(header).BeginGroup("TBMP");
    }
    Bytes Close() { return w.EndChunk().EndChunk().Finish(); }
};

uint64_t TileAt(const iffbuild::BuiltFile& built, size_t index) {
    return built.tiles.at(index).offset;
}

struct DamageCase {
    const char* name;
    std::function<Bytes(uint64_t* at)> make;  // sets *at to the offset the reason names
    std::string chunk;
    std::string groups;
    std::string reason;  // with AT for *at
    int colourFound;     // tiles found before the walk stopped
    size_t listed;       // tiles listed: those found and one at fault
};

std::string WithOffset(std::string text, uint64_t at) {
    const size_t mark = text.find("AT");
    if (mark != std::string::npos) text.replace(mark, 2, std::to_string(at));
    return text;
}

const DamageCase kDamageCases[] = {
    {"TooShortForAGroup",
     [](uint64_t* at) {
         *at = 0;
         return Bytes{'F', 'O', 'R', '4', 0, 0};
     },
     "", "",
     "the file is 6 bytes long, too short for the 12-byte group header an image starts with", 0, 0},
    {"OtherGroupType",
     [](uint64_t* at) {
         *at = 0;
         return iffbuild::GroupBytes("TBMP", iffbuild::ChunkBytes("TBHD", Bytes(32)));
     },
     "", "", "the file starts with a group \"FOR4 TBMP\", not a group \"FOR4 CIMG\"", 0, 0},
    {"CutInTheHeader",
     [](uint64_t* at) {
         *at = 24;
         return iffbuild::Truncated(iffbuild::BuildFile(TwoTiles()).bytes, 40);
     },
     "TBHD", "CIMG", "chunk \"TBHD\" at offset AT claims 32 bytes, but the file ends at 40", 0, 0},
    {"HeaderOfSixteenBytes",
     [](uint64_t* at) {
         *at = 12;
         iffbuild::FileWriter w;
         w.BeginGroup("CIMG").Chunk("TBHD", Bytes(16)).EndChunk();
         return w.Finish();
     },
     "TBHD", "CIMG",
     "header chunk \"TBHD\" at offset AT holds 16 bytes, fewer than the 24 of its values", 0, 0},
    {"NoHeader",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.tbhd = false;
         Bytes bytes = iffbuild::BuildFile(fileSpec).bytes;
         *at = bytes.size();
         return bytes;
     },
     "FOR4 CIMG", "", "group \"FOR4 CIMG\" at offset 0 holds no header chunk \"TBHD\"", 0, 0},
    {"WidthZero",
     [](uint64_t* at) {
         *at = 24;
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.width = 0; };
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "TBHD", "CIMG", "header \"TBHD\" at offset AT: width 0; an image is 1 to 32767 pixels wide", 0,
     0},
    {"Width32768",
     [](uint64_t* at) {
         *at = 24;
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.width = 32768; };
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "TBHD", "CIMG",
     "header \"TBHD\" at offset AT: width 32768; an image is 1 to 32767 pixels wide", 0, 0},
    {"HeightOfAllOnes",
     [](uint64_t* at) {
         *at = 24;
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.height = 0xFFFFFFFFu; };
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "TBHD", "CIMG",
     "header \"TBHD\" at offset AT: height 4294967295; an image is 1 to 32767 pixels high", 0, 0},
    {"FlagsAnnounceNothing",
     [](uint64_t* at) {
         *at = 24;
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.flags = 8;
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "TBHD", "CIMG",
     "header \"TBHD\" at offset AT: flags 8 announce neither colour nor depth tiles", 0, 0},
    {"TileOutsideTheImage",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.width = 64; };
         iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
         *at = TileAt(built, 1);
         return built.bytes;
     },
     "RGBA", "CIMG/TBMP", "tile rectangle 64,0-69,63 at offset AT lies outside the 64 x 64 image",
     1, 2},
    {"ReversedTile",
     [](uint64_t* at) {
         HandMade file(64, 64);
         *at = file.w.Offset();
         file.w.Tile("RGBA", {10, 0, 5, 63}, Bytes(4));
         return file.Close();
     },
     "RGBA", "CIMG/TBMP",
     "tile rectangle 10,0-5,63 at offset AT is reversed: x2 or y2 lies before x1 or y1", 0, 1},
    {"TileShorterThanItsRectangle",
     [](uint64_t* at) {
         HandMade file(64, 64);
         *at = file.w.Offset();
         file.w.Chunk("ZBUF", Bytes(4));
         return file.Close();
     },
     "ZBUF", "CIMG/TBMP",
     "tile \"ZBUF\" at offset AT claims 4 bytes, fewer than the 8 of its rectangle", 0, 0},
    {"TileOfMoreThanTwoGibibytes",
     [](uint64_t* at) {
         HandMade file(32767, 32767);
         *at = file.w.Offset();
         file.w.Tile("RGBA", {0, 0, 32766, 32766}, iffbuild::RunPacket(1, 0));
         return file.Close();
     },
     "RGBA", "CIMG/TBMP",
     "tile \"RGBA\" at offset AT of 32767 x 32767 pixels decodes to 3221028867 bytes, more than "
     "the 2147483647 a tile may take",
     0, 1},
    {"CutInsideATile",
     [](uint64_t* at) {
         iffbuild::BuiltFile built = iffbuild::BuildFile(TwoTiles());
         *at = TileAt(built, 1);
         return iffbuild::Truncated(built.bytes, size_t(*at) + 20);
     },
     "RGBA", "CIMG/TBMP",
     "chunk \"RGBA\" at offset AT claims 1160 bytes, but the file ends at 12428", 1, 2},
    {"CutInsideAChunkHeader",
     [](uint64_t* at) {
         iffbuild::BuiltFile built = iffbuild::BuildFile(TwoTiles());
         *at = TileAt(built, 1);
         return iffbuild::Truncated(built.bytes, size_t(*at) + 4);
     },
     "", "CIMG/TBMP", "the file ends at 12412, inside the header of the chunk at offset AT", 1, 1},
    {"CutBetweenTiles",
     [](uint64_t* at) {
         iffbuild::BuiltFile built = iffbuild::BuildFile(TwoTiles());
         *at = TileAt(built, 1);
         return iffbuild::Truncated(built.bytes, size_t(*at));
     },
     "FOR4 TBMP", "CIMG/TBMP",
     "the file ends at AT, inside group \"FOR4 TBMP\" at offset 92, which claims 13476 bytes (up "
     "to 13576)",
     1, 1},
    {"TileGroupSmallerThanItsTiles",
     [](uint64_t* at) {
         iffbuild::BuiltFile built = iffbuild::BuildFile(TwoTiles());
         *at = TileAt(built, 1);
         iffbuild::FileWriter w;
         w.Append(built.bytes);
         w.PatchU32(built.tbmpOffset + 4, uint32_t(*at + 4 - built.tbmpOffset - 8));
         return w.Finish();
     },
     "RGBA", "CIMG/TBMP",
     "chunk \"RGBA\" at offset AT ends at 13576, past the end of its group \"FOR4 TBMP\" at offset "
     "92 (at 12412)",
     1, 1},
    {"GroupTooSmallForItsType",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.extras.push_back(
             {iffbuild::Place::AfterFlds, Bytes{'F', 'O', 'R', '4', 0, 0, 0, 2, 0, 0, 0, 0}});
         *at = 92;
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "FOR4", "CIMG", "group \"FOR4\" at offset AT claims 2 bytes, fewer than the 4 of its type", 0,
     0},
    {"FewerTilesThanAnnounced",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.tileCount = 3;
         iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
         *at = built.bytes.size();
         return built.bytes;
     },
     "FOR4 TBMP", "CIMG",
     "tile group \"FOR4 TBMP\" at offset 92 ends at AT with only 2 of the 3 colour tiles that the "
     "header announces",
     2, 2},
    {"DepthTilesMissing",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.flags = 1 | 4;  // depth announced, none there
         iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
         *at = built.bytes.size();
         return built.bytes;
     },
     "FOR4 TBMP", "CIMG",
     "tile group \"FOR4 TBMP\" at offset 92 ends at AT with only 0 of the 2 depth tiles that the "
     "header announces",
     2, 2},
    {"TooFewTilesAnnouncedForTheImage",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.tileCount = 1;
         *at = 13576;
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     "FOR4 TBMP", "CIMG",
     "the header announces 1 tile, which leave 384 of the image's 4480 pixels uncovered", 2, 2},
    {"NoTilesAnnounced",
     [](uint64_t* at) {
         iffbuild::FileSpec fileSpec;
         fileSpec.image = iffbuild::Image::Blank(8, 8, 1, true);
         fileSpec.tileCount = 0;
         iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
         *at = built.bytes.size();
         return built.bytes;
     },
     "FOR4 TBMP", "CIMG",
     "the header announces 0 tiles, which leave 64 of the image's 64 pixels uncovered", 1, 2},
    {"NoTileGroup",
     [](uint64_t* at) {
         iffbuild::Header header;
         header.width = header.height = 8;
         header.tileCount = 1;
         iffbuild::FileWriter w;
         w.BeginGroup("CIMG").Fver().Tbhd(header).Flds().EndChunk();
         *at = w.Offset();
         return w.Finish();
     },
     "FOR4 CIMG", "",
     "group \"FOR4 CIMG\" at offset 0 holds no tile group \"FOR4 TBMP\" after its header, so none "
     "of the tiles the header announces",
     0, 0},
};

class WalkerStops : public ::testing::TestWithParam<DamageCase> {};

TEST_P(WalkerStops, AtTheDamageAndSaysWhy) {
    const DamageCase& c = GetParam();
    uint64_t at = 0;
    const Bytes bytes = c.make(&at);
    const tarniff::Layout layout = tarniff::WalkLayout(bytes.data(), bytes.size());
    EXPECT_FALSE(layout.Whole());
    EXPECT_EQ(layout.damage.reason, WithOffset(c.reason, at));
    EXPECT_EQ(layout.damage.offset, at);
    EXPECT_EQ(layout.damage.chunk, c.chunk);
    EXPECT_EQ(layout.damage.groups, c.groups);
    EXPECT_EQ(layout.colourTilesFound, c.colourFound);
    // The tiles listed end with the one at fault, when a tile is.
    ASSERT_EQ(layout.tiles.size(), c.listed);
    const bool atATile = c.chunk == "RGBA" || c.chunk == "ZBUF";
    if (atATile && c.listed > size_t(c.colourFound)) {
        EXPECT_EQ(layout.tiles.back().offset, at);  // the tile at fault
    }
}

INSTANTIATE_TEST_SUITE_P(Damaged, WalkerStops, ::testing::ValuesIn(kDamageCases),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                             return std::string(info.param.name);
                         });

// Files that are whole although unusual: what a reader passes over is no damage.
struct WholeCase {
    const char* name;
    std::function<iffbuild::FileSpec()> make;
    int colourFound, depthFound;
};

const WholeCase kWholeCases[] = {
    {"AsTheWriterWritesThem", [] { return TwoTiles(); }, 2, 0},
    {"LongerHeaderAndOtherChunks",
     [] {
         iffbuild::FileSpec fileSpec = TwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.extra = Bytes(8, 0xEE); };
         fileSpec.extras.push_back(
             {iffbuild::Place::AfterFlds,
              iffbuild::GroupBytes("XTRA", iffbuild::ChunkBytes("JUNK", Bytes(5)))});
         fileSpec.extras.push_back(
             {iffbuild::Place::InTbmp, iffbuild::ChunkBytes("NOTE", Bytes(3)), 1});
         return fileSpec;
     },
     2, 0},
    {"UnannouncedDepthTileIsPassedOver",
     [] {
         iffbuild::FileSpec fileSpec = TwoTiles();
         iffbuild::FileWriter tile;  // a "ZBUF" tile far outside the image, in a file without depth
         tile.Tile("ZBUF", {500, 500, 400, 900}, Bytes(4));
         fileSpec.extras.push_back({iffbuild::Place::InTbmp, tile.Finish(), 0});
         return fileSpec;
     },
     2, 0},
    {"ShuffledDepthAndColour",
     [] {
         iffbuild::FileSpec fileSpec;
         fileSpec.image = iffbuild::Image::Blank(130, 70, 1, true);
         fileSpec.image.FillRandom(3, 4);
         fileSpec.image.FillRandomDepth(4);
         fileSpec.kinds = iffbuild::KindOrder::Mixed;
         return fileSpec;
     },
     6, 6},
};

class WalkerPasses : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WalkerPasses, WholeFilesAndTheirTiles) {
    const WholeCase& c = GetParam();
    const iffbuild::BuiltFile built = iffbuild::BuildFile(c.make());
    const tarniff::Layout layout = tarniff::WalkLayout(built.bytes.data(), built.bytes.size());
    EXPECT_TRUE(layout.Whole()) << layout.damage.reason;
    EXPECT_EQ(layout.colourTilesFound, c.colourFound);
    EXPECT_EQ(layout.depthTilesFound, c.depthFound);
    // Every tile the builder placed is listed with its place, size and form.
    size_t listed = 0;
    for (const iffbuild::PlacedTile& placed : built.tiles) {
        while (listed < layout.tiles.size() && layout.tiles[listed].offset != placed.offset)
            ++listed;
        ASSERT_LT(listed, layout.tiles.size()) << "tile at " << placed.offset;
        const tarniff::TileInfo& tile = layout.tiles[listed];
        EXPECT_EQ(tile.size, placed.sizeField);
        EXPECT_EQ(tile.compressed, placed.compressed);
        EXPECT_EQ(tile.depth, placed.kind == iffbuild::Kind::Depth);
    }
}

INSTANTIATE_TEST_SUITE_P(Whole, WalkerPasses, ::testing::ValuesIn(kWholeCases),
                         [](const ::testing::TestParamInfo<WholeCase>& info) {
                             return std::string(info.param.name);
                         });

// Run streams of one compressed tile: an 8 x 1 RGB image, so three planes of 8 bytes and 24 bytes
// raw; with depth a raw colour tile first, then a depth tile of four planes (32 bytes raw).
struct RunStreamCase {
    const char* name;
    bool depth;
    Bytes stream;
    std::string damage;  // "" for a whole tile
    uint64_t leftover;
};

using iffbuild::Concat;
using iffbuild::LiteralPacket;
using iffbuild::RunPacket;

const RunStreamCase kRunStreamCases[] = {
    {"FillsItsPlanesExactly", false, Concat({RunPacket(8, 1), RunPacket(3, 2), LiteralPacket(Bytes(5, 7)), RunPacket(8, 3)}), "", 0},
    {"PaddedAfterTheLastPlane", false, Concat({RunPacket(8, 1), RunPacket(8, 2), RunPacket(8, 3), Bytes{0, 0, 0}}), "", 3},
    {"EndsInTheLastPlane", false, Concat({RunPacket(8, 1), RunPacket(8, 2), RunPacket(2, 3)}),
     "its run stream of 6 bytes ends in plane 3 of 3 (2 of its 8 bytes filled)", 0},
    {"AllZeros", false, Bytes(20, 0),  // literal packets of one byte: 10 bytes of the 24
     "its run stream of 20 bytes ends in plane 2 of 3 (2 of its 8 bytes filled)", 0},
    {"PacketRunsPastItsPlane", false, Concat({RunPacket(6, 1), RunPacket(3, 2), RunPacket(8, 2), RunPacket(8, 3)}),
     "a packet of 3 bytes at byte 2 runs past the end of plane 1 of 3 (6 of its 8 bytes filled)", 0},
    {"LiteralRunsPastTheStream", false, Concat({RunPacket(8, 1), RunPacket(8, 2), Bytes{0x07, 1, 2, 3}}),
     "a literal packet of 8 bytes at byte 4 runs past the end of its run stream of 8 bytes", 0},
    {"RepeatWithoutItsValue", false, Concat({RunPacket(8, 1), RunPacket(8, 2), Bytes{0x87}}),
     "the repeated-byte packet at byte 4 of its run stream of 5 bytes has no value byte: the stream ends", 0},
    {"DepthEndsEarly", true, Concat({RunPacket(8, 0x3F), RunPacket(8, 0x80), RunPacket(8, 0)}),
     "its run stream of 6 bytes ends in plane 4 of 4 (0 of its 8 bytes filled)", 0},
    {"DepthWhole", true, Concat({RunPacket(8, 0x3F), RunPacket(8, 0x80), RunPacket(8, 0), LiteralPacket(Bytes{1, 2, 3, 4, 5, 6, 7, 8})}), "", 0},
};

class WalkerChecksRunStreams : public ::testing::TestWithParam<RunStreamCase> {};

// A stream that does not decode to exactly its planes damages the file, named by its tile; bytes
// after the last plane do not; a walk of headers only passes it.
TEST_P(WalkerChecksRunStreams, NamesTheDamagedTile) {
    const RunStreamCase& c = GetParam();
    HandMade file(8, 1);
    if (c.depth) {
        iffbuild::Header header;
        header.width = 8;
        header.height = 1;
        header.tileCount = 1;
        header.flags = iffbuild::kFlagRgb | iffbuild::kFlagDepth;
        file.w = iffbuild::FileWriter();
        file.w.BeginGroup("CIMG").Tbhd(header).BeginGroup("TBMP");
        file.w.Tile("RGBA", {0, 0, 7, 0}, Bytes(24, 9));
    }
    const size_t tileAt = file.w.Offset();
    file.w.Tile(c.depth ? "ZBUF" : "RGBA", {0, 0, 7, 0}, c.stream);
    const Bytes bytes = file.Close();

    const tarniff::Layout layout = tarniff::WalkLayout(bytes.data(), bytes.size());
    EXPECT_TRUE(layout.damage.reason.empty()) << layout.damage.reason;
    const size_t index = c.depth ? 1 : 0;
    ASSERT_EQ(layout.tiles.size(), index + 1);
    EXPECT_TRUE(layout.tiles[index].compressed);
    if (c.damage.empty()) {
        EXPECT_TRUE(layout.Whole()) << tarniff::DamagedTilesText(layout);
        EXPECT_EQ(layout.tiles[index].leftoverBytes, c.leftover);
    } else {
        EXPECT_FALSE(layout.Whole());
        ASSERT_EQ(layout.damagedTiles.size(), 1u);
        EXPECT_EQ(layout.damagedTiles[0].tile, index);
        EXPECT_EQ(tarniff::DamagedTilesText(layout),
                  "tile " + std::to_string(index) + " (" + (c.depth ? "ZBUF" : "RGBA") +
                      " 0,0-7,0 at offset " + std::to_string(tileAt) + "): " + c.damage);
    }
    tarniff::WalkSettings headersOnly;
    headersOnly.checkRunStreams = false;
    EXPECT_TRUE(tarniff::WalkLayout(bytes.data(), bytes.size(), headersOnly).Whole());
}

INSTANTIATE_TEST_SUITE_P(Tiles, WalkerChecksRunStreams, ::testing::ValuesIn(kRunStreamCases),
                         [](const ::testing::TestParamInfo<RunStreamCase>& info) {
                             return std::string(info.param.name);
                         });

// The depth values as stored, from raw and compressed tiles in any order, are the image's; a
// file read from disk (its tiles straddling the walk's windows) gives what its bytes give.
TEST(WalkerRawDepth, GivesTheStoredValuesFromEitherForm) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(300, 200, 4, true);
    fileSpec.image.FillRandom(11, 3);
    fileSpec.image.FillRandomDepth(12);
    fileSpec.kinds = iffbuild::KindOrder::Mixed;
    fileSpec.order = iffbuild::TileOrder::Shuffled;
    fileSpec.formFor = [](size_t index, const iffbuild::PlacedTile&) {
        return index % 3 == 0 ? iffbuild::Form::Raw : iffbuild::Form::Smallest;
    };
    const Bytes bytes = iffbuild::BuildFile(fileSpec).bytes;
    ASSERT_GT(bytes.size(), size_t(4) << 16);

    tarniff::RawDepth fromBytes;
    tarniff::WalkSettings settings;
    settings.rawDepth = &fromBytes;
    const tarniff::Layout layout = tarniff::WalkLayout(bytes.data(), bytes.size(), settings);
    EXPECT_TRUE(layout.Whole()) << layout.damage.reason << tarniff::DamagedTilesText(layout);
    EXPECT_GT(layout.CompressedTiles(), 0);
    EXPECT_EQ(fromBytes.width, 300);
    EXPECT_EQ(fromBytes.height, 200);
    EXPECT_TRUE(fromBytes.values == fileSpec.image.depth);

    TempFile file;
    file.Write(bytes);
    tarniff::RawDepth fromFile;
    settings.rawDepth = &fromFile;
    tarniff::Layout walked;
    std::string why;
    ASSERT_TRUE(tarniff::WalkLayoutFile(file.path(), &walked, &why, settings)) << why;
    EXPECT_TRUE(walked.Whole());
    EXPECT_TRUE(fromFile.values == fileSpec.image.depth);

    // A file without depth leaves the buffer empty.
    const Bytes colourOnly = iffbuild::BuildFile(TwoTiles()).bytes;
    tarniff::WalkLayout(colourOnly.data(), colourOnly.size(), settings);
    EXPECT_TRUE(fromFile.values.empty());
}

TEST(WalkerFile, ReadsAFileAsItsBytesAndSaysWhyItCannot) {
    const Bytes cut = iffbuild::Truncated(iffbuild::BuildFile(TwoTiles()).bytes, 2064);
    TempFile file;
    file.Write(cut);
    tarniff::Layout fromFile;
    std::string why;
    ASSERT_TRUE(tarniff::WalkLayoutFile(file.path(), &fromFile, &why)) << why;
    const tarniff::Layout fromBytes = tarniff::WalkLayout(cut.data(), cut.size());
    EXPECT_EQ(fromFile.damage.reason, fromBytes.damage.reason);
    EXPECT_EQ(fromFile.tiles.size(), fromBytes.tiles.size());
    EXPECT_TRUE(fromFile.truncated);

    ScratchDir scratch;
    EXPECT_FALSE(tarniff::WalkLayoutFile(scratch / "none.iff", &fromFile, &why));
    EXPECT_EQ(why, "No such file or directory");
    EXPECT_FALSE(tarniff::WalkLayoutFile(scratch.path(), &fromFile, &why));
    EXPECT_EQ(why, "it is a directory");
}

}  // namespace
