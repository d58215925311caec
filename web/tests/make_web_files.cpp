// Writes the .iff files the web page's tests open into a folder, composed with the test-side
// file builder: each colour layout with and without depth, odd sizes, small, shuffled and raw
// tiles, a file whose tiles leave pixels uncovered, files cut short, damaged files and one too
// large to open. What the page must show for each comes from tniff, not from here.
//
//     make_web_files DIR
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/iff_builder.h"

namespace {

using iffbuild::Bytes;

iffbuild::FileSpec Layout(uint32_t width, uint32_t height, int channels, bool depth, uint64_t seed,
                        int levels) {
    iffbuild::FileSpec layout;
    layout.image = iffbuild::Image::Blank(width, height, channels, depth);
    if (channels > 0) layout.image.FillRandom(seed, levels);
    if (depth) layout.image.FillRandomDepth(seed + 1);
    return layout;
}

void Write(const std::string& dir, const std::string& name, const Bytes& bytes) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_web_files: cannot write %s/%s\n", dir.c_str(), name.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_web_files DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    // Whole files of every colour layout.
    Write(dir, "gray.iff", iffbuild::BuildFile(Layout(100, 70, 1, false, 11, 4)).bytes);
    Write(dir, "gray-depth.iff", iffbuild::BuildFile(Layout(65, 129, 1, true, 12, 8)).bytes);
    iffbuild::FileSpec rgb = Layout(130, 65, 3, false, 13, 256);
    rgb.form = iffbuild::Form::Raw;
    Write(dir, "rgb-raw.iff", iffbuild::BuildFile(rgb).bytes);
    Write(dir, "rgba.iff", iffbuild::BuildFile(Layout(97, 61, 4, false, 14, 3)).bytes);
    iffbuild::FileSpec shuffled = Layout(200, 150, 4, true, 15, 16);
    shuffled.tileWidth = 32;
    shuffled.tileHeight = 48;
    shuffled.order = iffbuild::TileOrder::Shuffled;
    shuffled.kinds = iffbuild::KindOrder::Mixed;
    shuffled.formFor = [](size_t index, const iffbuild::PlacedTile&) {
        return index % 3 == 0 ? iffbuild::Form::Raw : iffbuild::Form::Smallest;
    };
    Write(dir, "rgba-depth-shuffled.iff", iffbuild::BuildFile(shuffled).bytes);
    Write(dir, "depth-only.iff", iffbuild::BuildFile(Layout(70, 40, 0, true, 16, 0)).bytes);
    Write(dir, "one-pixel.iff", iffbuild::BuildFile(Layout(1, 1, 4, true, 17, 256)).bytes);

    // The header announces fewer tiles than the image needs: pixels no tile reaches stay 0.
    iffbuild::FileSpec few = Layout(150, 100, 3, false, 18, 4);
    few.tileCount = 3;
    Write(dir, "few-tiles.iff", iffbuild::BuildFile(few).bytes);

    // Cut short inside the tiles, with and without depth.
    iffbuild::BuiltFile withDepth = iffbuild::BuildFile(Layout(300, 200, 4, true, 19, 8));
    Write(dir, "cut-depth.iff",
          iffbuild::Truncated(withDepth.bytes, withDepth.tiles[12].offset + 100));
    iffbuild::BuiltFile plain = iffbuild::BuildFile(Layout(256, 256, 3, false, 20, 256));
    Write(dir, "cut.iff", iffbuild::Truncated(plain.bytes, plain.tiles[5].offset + 9));

    // A compressed tile whose pixel data is zeroed: one-byte literal packets, which end long
    // before its planes are full. Opened as far as it goes, with the note.
    iffbuild::BuiltFile zeroed = iffbuild::BuildFile(Layout(130, 70, 4, true, 24, 2));
    for (size_t i = 0; i < zeroed.tiles.size(); ++i) {
        if (!zeroed.tiles[i].compressed || zeroed.tiles[i].kind != iffbuild::Kind::Colour) continue;
        iffbuild::ZeroTilePixels(zeroed, i);
        break;
    }
    Write(dir, "damaged-tile.iff", zeroed.bytes);

    // Damaged and foreign files.
    Write(dir, "cut-header.iff", iffbuild::Truncated(plain.bytes, 30));
    Write(dir, "short.iff", Bytes{'F', 'O', 'R', '4', 0});
    Write(dir, "empty.iff", Bytes{});
    Write(dir, "jpeg-inside.iff",
          Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1});
    Write(dir, "png-inside.iff",
          Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    iffbuild::FileSpec outside = Layout(70, 64, 3, false, 21, 256);
    outside.editHeader = [](iffbuild::Header& h) { h.width = 64; };
    Write(dir, "tile-outside.iff", iffbuild::BuildFile(outside).bytes);
    iffbuild::FileSpec noHeight = Layout(70, 64, 3, false, 22, 256);
    noHeight.editHeader = [](iffbuild::Header& h) { h.height = 0; };
    Write(dir, "height-zero.iff", iffbuild::BuildFile(noHeight).bytes);

    // Larger than the image-size limit: 16000 x 16000 with alpha and depth is 1.2 GiB. Only the
    // header is needed; the open stops there.
    iffbuild::FileSpec huge = Layout(64, 64, 4, true, 23, 2);
    huge.editHeader = [](iffbuild::Header& h) {
        h.width = 16000;
        h.height = 16000;
        h.tileCount = 62500;
    };
    Write(dir, "too-large.iff", iffbuild::BuildFile(huge).bytes);
    return 0;
}
