// What info says of a tile's size, as its labels say: the text's "pixel bytes" and the JSON's
// storedBytes are the pixel data, the JSON's size and chunkBytes the chunk's size field, for raw
// and compressed tiles of a file composed by the test-side builder.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

TEST(InfoSizes, PixelBytesAndChunkBytesAreLabelledAsWhatTheyAre) {
    ScratchDir scratch;
    const std::string path = scratch / "tiles.iff";
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(100, 70, 4);
    fileSpec.image.FillRandom(7, 2);
    fileSpec.formFor = [](std::size_t index, const iffbuild::PlacedTile&) {
        return index % 2 == 0 ? iffbuild::Form::Raw : iffbuild::Form::Compressed;
    };
    const iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(built.bytes.data()),
               std::streamsize(built.bytes.size()));

    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    const std::string json = tarniff::InfoJson(tarniff::Inspect(module, path, {}));
#ifdef TNIFF_TOOL_FILE
    std::string text;
    if (FILE* pipe = popen(("'" TNIFF_TOOL_FILE "' info '" + path + "'").c_str(), "r")) {
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, got);
        pclose(pipe);
    }
    const size_t header = text.find("pixel bytes  stored");
    ASSERT_NE(header, std::string::npos) << text;
    const size_t column = header + std::string("pixel bytes").size();
    size_t line = text.find('\n', header) + 1;
#endif
    ASSERT_GE(built.tiles.size(), 4u);
    size_t at = json.find("\"tiles\"");
    for (size_t i = 0; i < built.tiles.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string chunk = std::to_string(built.tiles[i].sizeField);
        const std::string pixels = std::to_string(built.tiles[i].sizeField - 8);
        at = json.find("\"size\": " + chunk + ",", at);
        ASSERT_NE(at, std::string::npos) << json;
        const size_t next = json.find_first_not_of(" \n", json.find(',', at) + 1);
        EXPECT_EQ(json.compare(next, 14 + chunk.size(), "\"chunkBytes\": " + chunk), 0) << json;
        EXPECT_NE(json.find("\"storedBytes\": " + pixels + ",", at), std::string::npos);
#ifdef TNIFF_TOOL_FILE
        // The number ends where the label does.
        const size_t end = line + (column - (text.rfind('\n', header) + 1));
        EXPECT_EQ(text.substr(end - pixels.size() - 1, pixels.size() + 2), " " + pixels + " ")
            << text;
        line = text.find('\n', line) + 1;
#endif
    }
}

}  // namespace
