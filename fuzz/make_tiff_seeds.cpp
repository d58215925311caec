// Writes the small TIFF files that seed the image_files target, with libtiff: gray of 1 and 16
// bits, RGB in tiles, RGBA with associated alpha in separate planes, a palette image, big-endian
// and compressed strips.
//
//     fuzz_make_tiff_seeds DIRECTORY
#include <cstdio>
#include <string>
#include <tiffio.h>

#include "tests/support/tiff_maker.h"

namespace {

tiffmake::Recipe RecipeOf(uint32_t width, uint32_t height, uint16_t photometric, uint16_t bits, uint16_t samples) {
    tiffmake::Recipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.photometric = photometric;
    recipe.bits = bits;
    recipe.samples = samples;
    recipe.rowsPerStrip = 3;
    const uint32_t largest = (1u << bits) - 1u;
    uint32_t state = width * 131u + height * 7u + bits + samples;
    for (size_t i = 0; i < size_t(width) * height * samples; ++i) {
        state = state * 1664525u + 1013904223u;
        recipe.values.push_back((state >> 8) % (largest + 1));
    }
    return recipe;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_tiff_seeds DIRECTORY\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    bool ok = true;
    ok &= tiffmake::Write(RecipeOf(9, 7, PHOTOMETRIC_MINISBLACK, 8, 1), dir + "gray.tiff");
    tiffmake::Recipe bilevel = RecipeOf(13, 5, PHOTOMETRIC_MINISWHITE, 1, 1);
    bilevel.compression = COMPRESSION_PACKBITS;
    ok &= tiffmake::Write(bilevel, dir + "bilevel.tiff");
    tiffmake::Recipe gray16 = RecipeOf(6, 6, PHOTOMETRIC_MINISBLACK, 16, 2);
    gray16.extra = {EXTRASAMPLE_UNASSALPHA};
    gray16.bigEndian = true;
    ok &= tiffmake::Write(gray16, dir + "gray-alpha16-mm.tiff");
    tiffmake::Recipe tiles = RecipeOf(20, 18, PHOTOMETRIC_RGB, 8, 3);
    tiles.tile = 16;
    tiles.compression = COMPRESSION_ADOBE_DEFLATE;
    ok &= tiffmake::Write(tiles, dir + "rgb-tiles.tiff");
    tiffmake::Recipe planes = RecipeOf(8, 5, PHOTOMETRIC_RGB, 8, 4);
    planes.extra = {EXTRASAMPLE_ASSOCALPHA};
    planes.separate = true;
    planes.compression = COMPRESSION_LZW;
    ok &= tiffmake::Write(planes, dir + "rgba-associated-planes.tiff");
    tiffmake::Recipe palette = RecipeOf(7, 4, PHOTOMETRIC_PALETTE, 4, 1);
    for (int i = 0; i < 48; ++i) palette.colourMap.push_back(uint16_t(i * 1361));
    ok &= tiffmake::Write(palette, dir + "palette4.tiff");
    return ok ? 0 : 1;
}
