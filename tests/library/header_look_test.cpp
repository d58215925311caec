// A look at a header without the module, in process: of a file, of the first bytes of one as
// they arrive (the header there, the tiles not yet), and of bytes of another format.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/png_maker.h"
#include "tests/support/temp_file.h"

namespace {

using namespace testfiles;

struct Shape {
    int width, height, channels;
    bool depth;
};

// The size and planes every look at a header says, whatever has arrived of the tiles, and what
// the module's open says of the whole file.
TEST(HeaderLook, OfAFileAndOfItsFirstBytes) {
    ScratchDir scratch;
    for (const Shape& shape : {Shape{130, 70, 4, true}, Shape{65, 10, 1, true},
                               Shape{50, 40, 0, true}, Shape{64, 64, 3, false}}) {
        SCOPED_TRACE(std::to_string(shape.channels) + " channels" + (shape.depth ? ", depth" : ""));
        const iffbuild::BuiltFile built =
            BuildIff(shape.width, shape.height, shape.channels, shape.depth, 9);
        WriteFile(scratch / "in.iff", built.bytes);
        const tarniff::OpenedFile opened =
            tarniff::OpenThroughModule(BuiltModule(), scratch / "in.iff", {});

        const tarniff::HeaderLook file = tarniff::LookAtHeader(scratch / "in.iff", "in");
        const uint64_t firstTile = built.tiles.at(0).offset;
        const tarniff::HeaderLook arriving =
            tarniff::LookAtHeader(built.bytes.data(), firstTile + 20);
        for (const tarniff::HeaderLook* look : {&file, &arriving}) {
            SCOPED_TRACE(look == &file ? "the file" : "its first bytes");
            EXPECT_TRUE(look->recognised);
            EXPECT_TRUE(look->hasHeader);
            EXPECT_EQ(look->width, opened.image.width());
            EXPECT_EQ(look->height, opened.image.height());
            EXPECT_EQ(look->colourChannels, shape.channels);
            EXPECT_EQ(look->colourChannels, opened.colourPlanes);
            EXPECT_EQ(look->hasDepth, opened.depthPlane >= 0);
        }
        EXPECT_TRUE(file.whole) << file.damage;
        EXPECT_EQ(file.damage, "");
        EXPECT_EQ(file.layout.tiles.size(), built.tiles.size());
        // The first tile has begun to arrive, the rest not.
        EXPECT_FALSE(arriving.whole);
        EXPECT_TRUE(arriving.layout.truncated);
        EXPECT_NE(arriving.damage.find("the file ends"), std::string::npos) << arriving.damage;
        EXPECT_EQ(arriving.layout.tiles.size(), 1u);

        // All the bytes in memory say what the file says.
        const tarniff::HeaderLook all =
            tarniff::LookAtHeader(built.bytes.data(), built.bytes.size());
        EXPECT_TRUE(all.whole) << all.damage;
        EXPECT_EQ(all.layout.tiles.size(), built.tiles.size());
    }
}

// Bytes of another format, too few bytes to tell a header, and a file that cannot be read.
TEST(HeaderLook, OfWhatIsNoHeader) {
    ScratchDir scratch;
    pngmake::PngSpec picture;
    picture.width = 4;
    picture.height = 4;
    picture.colourType = 2;
    picture.samples.assign(4, std::vector<int>(12, 1));
    const Bytes png = pngmake::PngBytes(picture);
    const tarniff::HeaderLook other = tarniff::LookAtHeader(png.data(), png.size());
    EXPECT_FALSE(other.recognised);
    EXPECT_FALSE(other.hasHeader);
    EXPECT_FALSE(other.whole);
    EXPECT_EQ(other.width, 0);

    // The outer group's header has arrived, the image's header not yet.
    const Bytes file = BuildIff(64, 64, 3, false, 3).bytes;
    const tarniff::HeaderLook early = tarniff::LookAtHeader(file.data(), 20);
    EXPECT_TRUE(early.recognised);
    EXPECT_FALSE(early.hasHeader);
    EXPECT_FALSE(early.whole);
    EXPECT_EQ(early.width, 0);
    EXPECT_NE(early.damage, "");

    try {
        tarniff::LookAtHeader(scratch / "none.iff", "frame 7");
        ADD_FAILURE() << "a missing file was looked at";
    } catch (const tarniff::Error& error) {
        EXPECT_EQ(std::string(error.what()), "frame 7: cannot open: No such file or directory");
        EXPECT_EQ(error.systemError(), ENOENT);
    }
}

}  // namespace
