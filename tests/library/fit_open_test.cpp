// A reduced open through the library (OpenSettings::fitWidth, fitHeight): the image is of the
// asked size, everything else is the file's.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

std::string WriteFile(const ScratchDir& scratch, const std::string& name,
                      const iffbuild::Bytes& bytes) {
    const std::string path = scratch / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

iffbuild::FileSpec Noise(uint32_t width, uint32_t height, int channels) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(width, height, channels);
    fileSpec.image.FillRandom(width + height, 7);
    return fileSpec;
}

std::string Refusal(const tarniff::ModuleFile& module, const std::string& path,
                    const tarniff::OpenSettings& settings) {
    try {
        tarniff::OpenThroughModule(module, path, settings);
    } catch (const tarniff::Error& error) {
        return error.what();
    }
    return "";
}

TEST(LibraryFit, AReducedOpenKeepsTheFilesDescriptionAndVerdict) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    ScratchDir scratch;
    tarniff::OpenSettings settings;
    settings.name = "f.iff";
    settings.fitWidth = 20;
    settings.fitHeight = 10;

    const std::string whole =
        WriteFile(scratch, "whole.iff", iffbuild::BuildFile(Noise(200, 100, 4)).bytes);
    const tarniff::OpenedFile opened = tarniff::OpenThroughModule(module, whole, settings);
    EXPECT_EQ(opened.image.width(), 20);
    EXPECT_EQ(opened.image.height(), 10);
    EXPECT_EQ(opened.description.width, 200);
    EXPECT_EQ(opened.description.height, 100);
    EXPECT_EQ(opened.colourPlanes, 4);
    EXPECT_TRUE(opened.complete()) << tarniff::Incompleteness(opened, "f.iff");

    // Tiles that leave the right of the image uncovered are found at the file's size, where
    // the reduced image alone is covered by them many times over.
    iffbuild::FileSpec few = Noise(200, 100, 3);
    few.tileCount = 2;
    const std::string fewPath = WriteFile(scratch, "few.iff", iffbuild::BuildFile(few).bytes);
    tarniff::OpenSettings full;
    full.name = "f.iff";
    EXPECT_EQ(Refusal(module, fewPath, settings), Refusal(module, fewPath, full));
    EXPECT_NE(Refusal(module, fewPath, settings).find("f.iff: incomplete"), std::string::npos);

    // The depth values as stored come at full size only.
    settings.rawDepth = true;
    EXPECT_NE(Refusal(module, whole, settings).find("not given with a reduced image"),
              std::string::npos);

    // The limit counts the reduced image and its sums, and says so.
    settings.rawDepth = false;
    settings.maxImageBytes = 999;
    EXPECT_NE(Refusal(module, whole, settings)
                  .find("f.iff: 200 by 100 with 4 planes, reduced to 20 by 10, needs 4000 bytes, "
                        "more than the image-size limit of 999 bytes"),
              std::string::npos)
        << Refusal(module, whole, settings);
}

}  // namespace
