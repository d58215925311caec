// Writes the files the GIMP and GdkPixbuf checks open, composed with the test-side file builder:
//     tniff_make_integration_files DIR
// DIR/<name>.iff for every shape below, DIR/broken.iff and DIR/truncated.iff, DIR/no-tiles.iff
// and DIR/few-tiles.iff (whole files whose tiles do not cover the image), DIR/damaged-tile.iff
// (a compressed tile whose run stream does not fill it), and DIR/robust/
// with damaged copies (cut at many lengths, bytes overwritten) that the loaders must survive.
//     tniff_make_integration_files --large SIDE PATH
// writes one SIDE x SIDE RGBA file of 256 x 256 compressed tiles, each of one colour (a
// gradient across the image), composed tile by tile: 32767 gives 4 GiB of pixels in 68 MB.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "tests/support/iff_builder.h"

namespace {

using iffbuild::Bytes;

void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

struct Shape {
    const char* name;
    int width, height, channels;
    bool depth;
    iffbuild::Form form;
    int levels;  // fewer levels give runs, so compressed tiles
    int tileSide;
};

const Shape kShapes[] = {
    {"gray", 90, 70, 1, false, iffbuild::Form::Smallest, 6, 32},
    {"rgb-raw", 77, 64, 3, false, iffbuild::Form::Raw, 256, 64},
    {"rgb-compressed", 130, 65, 3, false, iffbuild::Form::Smallest, 4, 64},
    {"rgba", 100, 100, 4, false, iffbuild::Form::Smallest, 5, 48},
    {"rgba-depth", 96, 80, 4, true, iffbuild::Form::Smallest, 8, 32},
    {"gray-depth", 40, 33, 1, true, iffbuild::Form::Raw, 256, 16},
    {"depth-only", 70, 45, 0, true, iffbuild::Form::Smallest, 256, 32},  // a depth buffer alone
};

}  // namespace

// A large image's file without the image in memory: every tile is runs of one value a plane.
int WriteLarge(int side, const std::string& path) {
    const int kTile = 256;
    const int across = (side + kTile - 1) / kTile;
    iffbuild::Header header;
    header.width = header.height = static_cast<uint32_t>(side);
    header.flags = iffbuild::kFlagRgb | iffbuild::kFlagAlpha;
    header.tileCount = static_cast<uint16_t>(across * across);
    iffbuild::FileWriter writer;
    writer.BeginGroup("CIMG").Fver().Tbhd(header).Flds().BeginGroup("TBMP");
    for (int ty = 0; ty < across; ++ty) {
        for (int tx = 0; tx < across; ++tx) {
            iffbuild::TileRect rect;
            rect.x1 = static_cast<uint16_t>(tx * kTile);
            rect.y1 = static_cast<uint16_t>(ty * kTile);
            rect.x2 = static_cast<uint16_t>(std::min(side, (tx + 1) * kTile) - 1);
            rect.y2 = static_cast<uint16_t>(std::min(side, (ty + 1) * kTile) - 1);
            const size_t pixels = size_t(rect.Width()) * size_t(rect.Height());
            // Planes alpha, blue, green, red.
            const uint8_t values[4] = {255, static_cast<uint8_t>(255 - tx * 2), static_cast<uint8_t>(ty * 2),
                                       static_cast<uint8_t>(tx * 2)};
            Bytes data;
            for (uint8_t value : values) {
                const Bytes plane = iffbuild::EncodePlane(Bytes(pixels, value));
                data.insert(data.end(), plane.begin(), plane.end());
            }
            writer.Tile("RGBA", rect, data);
        }
    }
    writer.EndChunk().EndChunk();
    Write(path, writer.Finish());
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--large") return WriteLarge(std::atoi(argv[2]), argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    std::string robust = dir + "/robust";
    mkdir(dir.c_str(), 0755);
    mkdir(robust.c_str(), 0755);

    uint64_t seed = 7;
    for (const Shape& shape : kShapes) {
        iffbuild::FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(shape.width, shape.height, shape.channels, shape.depth);
        fileSpec.image.FillRandom(++seed, shape.levels);
        if (shape.depth) fileSpec.image.FillRandomDepth(++seed);
        fileSpec.form = shape.form;
        fileSpec.tileWidth = fileSpec.tileHeight = static_cast<uint16_t>(shape.tileSide);
        fileSpec.order = iffbuild::TileOrder::Shuffled;
        fileSpec.seed = seed;
        Bytes file = iffbuild::BuildFile(fileSpec).bytes;
        Write(dir + "/" + shape.name + ".iff", file);

        // Damaged copies: cut at lengths through the whole file, and bytes overwritten.
        for (size_t cut = 0; cut < file.size(); cut += 1 + file.size() / 23) {
            Write(robust + "/" + shape.name + "-cut" + std::to_string(cut) + ".iff", iffbuild::Truncated(file, cut));
        }
        uint64_t state = seed * 0x9E3779B97F4A7C15ull;
        for (int i = 0; i < 12; ++i) {
            Bytes damaged = file;
            for (int b = 0; b < 1 + i % 4; ++b) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                size_t at = static_cast<size_t>(state >> 33) % (i < 6 ? std::min<size_t>(file.size(), 160) : file.size());
                damaged[at] = static_cast<uint8_t>(state >> 20);
            }
            Write(robust + "/" + shape.name + "-damaged" + std::to_string(i) + ".iff", damaged);
        }
        if (std::string(shape.name) == "rgba") Write(dir + "/truncated.iff", iffbuild::Truncated(file, file.size() * 2 / 3));
    }

    // Recognised by its first bytes, but the header is not one the module accepts.
    iffbuild::FileSpec broken;
    broken.image = iffbuild::Image::Blank(20, 20, 3);
    broken.editHeader = [](iffbuild::Header& header) { header.width = 0; };
    Write(dir + "/broken.iff", iffbuild::BuildFile(broken).bytes);

    // Whole files whose tiles cannot cover the image: none announced, and one tile of 32 x 32
    // under a header of 96 x 96.
    iffbuild::FileSpec uncovered;
    uncovered.image = iffbuild::Image::Blank(32, 32, 4);
    uncovered.image.FillRandom(++seed, 6);
    uncovered.tileWidth = uncovered.tileHeight = 32;
    uncovered.tileCount = 0;
    Write(dir + "/no-tiles.iff", iffbuild::BuildFile(uncovered).bytes);
    uncovered.tileCount.reset();
    uncovered.editHeader = [](iffbuild::Header& header) { header.width = header.height = 96; };
    Write(dir + "/few-tiles.iff", iffbuild::BuildFile(uncovered).bytes);

    // A whole file with one damaged tile: the first compressed colour tile's pixel data zeroed,
    // one-byte literal packets that end long before its planes are full.
    iffbuild::FileSpec flat;
    flat.image = iffbuild::Image::Blank(96, 64, 4);
    flat.form = iffbuild::Form::Compressed;
    iffbuild::BuiltFile zeroed = iffbuild::BuildFile(flat);
    iffbuild::ZeroTilePixels(zeroed, 0);
    Write(dir + "/damaged-tile.iff", zeroed.bytes);
    return 0;
}
