// Opening through the library in process: the module file loaded as every front end loads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

void WriteBytes(const std::string& path, const iffbuild::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

iffbuild::Bytes Render(uint32_t width, uint32_t height, int channels, uint64_t seed) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(width, height, channels);
    fileSpec.image.FillRandom(seed, 3);
    return iffbuild::BuildFile(fileSpec).bytes;
}

// A render replaced by the next one while it is read (written under another name and renamed
// over it, as renderers and tniff write): the image, the layout and the tile counts all come
// from one of the two files, never from both.
TEST(LibraryOpen, AFileReplacedWhileItIsReadIsReadAgain) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    ScratchDir scratch;
    const std::string path = scratch / "frame.iff", next = scratch / ".frame.iff.next";
    WriteBytes(path, Render(200, 130, 4, 1));
    WriteBytes(next, Render(64, 64, 3, 2));

    int calls = 0;
    tarniff::OpenSettings settings;
    settings.progress = [&](int32_t, int32_t) {
        if (++calls == 1) {
            ASSERT_EQ(std::rename(next.c_str(), path.c_str()), 0);
        }
    };
    const tarniff::OpenedFile opened = tarniff::OpenThroughModule(module, path, settings);
    EXPECT_EQ(opened.image.width(), 64);
    EXPECT_EQ(opened.layout.header.width, 64u);
    EXPECT_EQ(opened.image.planes(), 3);
    EXPECT_EQ(opened.colourTilesRead, 1);
    EXPECT_TRUE(opened.complete()) << tarniff::Incompleteness(opened, path);
    EXPECT_TRUE(opened.layout.Whole()) << opened.layout.damage.reason;
}

// A file replaced again on every reading is refused with the reason rather than given as a
// mixture.
TEST(LibraryOpen, AFileThatKeepsChangingIsRefused) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    ScratchDir scratch;
    const std::string path = scratch / "frame.iff", next = scratch / ".frame.iff.next";
    WriteBytes(path, Render(130, 70, 3, 3));
    int readings = 0;
    tarniff::OpenSettings settings;
    settings.progress = [&](int32_t done, int32_t) {
        if (done != 1) return;  // once a reading: a new file in its place
        WriteBytes(next, Render(130, 70, 3, uint64_t(4 + readings++)));
        ASSERT_EQ(std::rename(next.c_str(), path.c_str()), 0);
    };
    try {
        tarniff::OpenThroughModule(module, path, settings);
        ADD_FAILURE() << "opened a file that changed on every reading";
    } catch (const tarniff::Error& error) {
        EXPECT_EQ(std::string(error.what()),
                  path + ": the file changed while it was read, 3 times in a row; read it once it "
                         "is written");
    }
    EXPECT_EQ(readings, 3);
}

}  // namespace
