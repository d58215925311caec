#include "tests/support/file_makers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"

namespace testfiles {

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const std::string& path, const std::string& text) {
    WriteFile(path, Bytes(text.begin(), text.end()));
}

Bytes ReadBytesOf(const std::string& path) {
    const std::string text = ReadWhole(path);
    return Bytes(text.begin(), text.end());
}

Bytes PamBytes(int width, int height, int depth, const Bytes& pixels, int maxval) {
    const std::string header = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " +
                               std::to_string(height) + "\nDEPTH " + std::to_string(depth) +
                               "\nMAXVAL " + std::to_string(maxval) + "\nENDHDR\n";
    Bytes bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    return bytes;
}

Pam ReadPam(const std::string& path) {
    Pam pam;
    const std::string text = ReadWhole(path);
    const size_t end = text.find("ENDHDR\n");
    EXPECT_EQ(text.compare(0, 3, "P7\n"), 0) << path;
    EXPECT_NE(end, std::string::npos) << path;
    if (end == std::string::npos) return pam;
    std::istringstream header(text.substr(3, end - 3));
    std::string key;
    while (header >> key) {
        if (key == "WIDTH")
            header >> pam.width;
        else if (key == "HEIGHT")
            header >> pam.height;
        else if (key == "DEPTH")
            header >> pam.depth;
        else if (key == "MAXVAL")
            header >> pam.maxval;
        else if (key == "TUPLTYPE")
            header >> pam.tupleType;
        else
            ADD_FAILURE() << "unexpected PAM header word " << key;
    }
    pam.pixels.assign(text.begin() + static_cast<std::ptrdiff_t>(end + 7), text.end());
    EXPECT_EQ(pam.pixels.size(), size_t(pam.width) * size_t(pam.height) * size_t(pam.depth))
        << path;
    return pam;
}

Bytes Pattern(size_t count, uint32_t seed) {
    Bytes bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    uint8_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 28) < 6) value = static_cast<uint8_t>(state >> 16);  // else repeat
        bytes[i] = value;
    }
    return bytes;
}

std::vector<uint32_t> Samples(size_t count, uint32_t largest, uint32_t seed) {
    std::vector<uint32_t> values(count);
    uint32_t state = seed * 2654435761u + 1u, value = 0;
    for (uint32_t& v : values) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 29) < 5) value = (state >> 8) % (largest + 1);
        v = value;
    }
    return values;
}

Bytes Interleaved(const tniff::Image& image, int first, int count) {
    Bytes bytes;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            for (int p = first; p < first + count; ++p) bytes.push_back(image.at(p, y, x));
    return bytes;
}

iffbuild::BuiltFile BuildIff(int width, int height, int channels, bool depth, uint64_t seed,
                             iffbuild::Form form) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(uint32_t(width), uint32_t(height), channels, depth);
    fileSpec.image.FillRandom(seed, 6);
    if (depth) fileSpec.image.FillRandomDepth(seed + 1);
    fileSpec.form = form;
    return iffbuild::BuildFile(fileSpec);
}

void WriteUncoveredFiles(const std::string& folder) {
    iffbuild::FileSpec few;
    few.image = iffbuild::Image::Blank(100, 100, 4);
    few.image.FillRandom(23, 6);
    few.tileCount = 0;
    WriteFile(folder + "/no-tiles.iff", iffbuild::BuildFile(few).bytes);
    few.image = iffbuild::Image::Blank(64, 64, 3);
    few.image.FillRandom(24, 6);
    few.tileCount.reset();
    few.editHeader = [](iffbuild::Header& header) { header.width = header.height = 256; };
    WriteFile(folder + "/few-tiles.iff", iffbuild::BuildFile(few).bytes);
    few.image = iffbuild::Image::Blank(64, 64, 3, true);
    few.image.FillRandom(25, 6);
    few.image.FillRandomDepth(26);
    few.editHeader = [](iffbuild::Header& header) { header.width = 128; };
    WriteFile(folder + "/few-depth-tiles.iff", iffbuild::BuildFile(few).bytes);
    few.image = iffbuild::Image::Blank(128, 64, 3);
    few.image.FillRandom(27, 6);
    few.editHeader = nullptr;
    const iffbuild::BuiltFile twice = iffbuild::BuildFile(few);
    const auto first = twice.bytes.begin() + std::ptrdiff_t(twice.tiles[0].offset);
    iffbuild::Extra copy;
    copy.where = iffbuild::Place::InTbmp;
    copy.beforeTile = 1;
    copy.bytes.assign(first, twice.bytes.begin() + std::ptrdiff_t(twice.tiles[0].End()));
    few.extras = {copy};
    WriteFile(folder + "/tile-twice.iff", iffbuild::BuildFile(few).bytes);
}

tniff::Image OpenInProcess(const std::string& path) {
    LinkedHost host;
    EXPECT_EQ(host.Open(path), noErr) << path;
    EXPECT_TRUE(HostIsClean(host));
    return host.image();
}

const tarniff::ModuleFile& BuiltModule() {
    static const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    return module;
}

}  // namespace testfiles
