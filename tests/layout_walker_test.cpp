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
