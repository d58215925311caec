// Writes the small files that seed the open target, composed with the test-side file builder:
// every colour channel count, with and without depth, raw and compressed tiles, tiles cut at the
// image's edge, shuffled tile order, an extra chunk, a longer header, a truncated file.
//
//     fuzz_make_seeds DIRECTORY
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/iff_builder.h"

namespace {

bool Write(const std::string& dir, const std::string& name, const iffbuild::Bytes& bytes) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

iffbuild::FileSpec FileSpecOf(uint32_t width, uint32_t height, int channels, bool depth, int levels,
                        uint16_t tile) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(width, height, channels, depth);
    fileSpec.image.FillRandom(width * 31 + height + uint32_t(channels), levels);
    if (depth) fileSpec.image.FillRandomDepth(width + height);
    fileSpec.tileWidth = tile;
    fileSpec.tileHeight = tile;
    return fileSpec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    using iffbuild::BuildFile;
    bool ok = true;
    ok &= Write(dir, "rgb-raw", BuildFile(FileSpecOf(5, 4, 3, false, 256, 64)).bytes);
    ok &= Write(dir, "rgba-rle", BuildFile(FileSpecOf(9, 7, 4, false, 2, 4)).bytes);
    ok &= Write(dir, "gray-depth", BuildFile(FileSpecOf(6, 6, 1, true, 3, 4)).bytes);
    ok &= Write(dir, "depth-only", BuildFile(FileSpecOf(4, 3, 0, true, 2, 64)).bytes);
    iffbuild::FileSpec shuffled = FileSpecOf(10, 9, 4, true, 4, 3);
    shuffled.order = iffbuild::TileOrder::Shuffled;
    shuffled.kinds = iffbuild::KindOrder::Mixed;
    ok &= Write(dir, "shuffled-mixed", BuildFile(shuffled).bytes);
    iffbuild::FileSpec extra = FileSpecOf(3, 3, 3, false, 256, 64);
    extra.extras.push_back({iffbuild::Place::InTbmp, iffbuild::ChunkBytes("XTRA", {1, 2, 3, 4, 5}), 0});
    extra.editHeader = [](iffbuild::Header& header) { header.extra = {0, 0, 0, 9}; };
    ok &= Write(dir, "extra-chunks", BuildFile(extra).bytes);
    const iffbuild::Bytes whole = BuildFile(FileSpecOf(8, 8, 3, false, 2, 4)).bytes;
    ok &= Write(dir, "truncated", iffbuild::Truncated(whole, whole.size() - 9));
    if (!ok) {
        std::fprintf(stderr, "fuzz_make_seeds: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
