// Writes one file composed with the test-side file builder, for the Python package's tests:
//     tniff_make_python_file OUT WIDTH HEIGHT CHANNELS [--depth] [--form raw|compressed|smallest]
//                            [--tile SIDE] [--levels N] [--blocks N] [--seed N] [--shuffled]
// CHANNELS is 0, 1, 3 or 4 colour channels; --depth adds a depth buffer. Colour values are
// random, of --levels values spread over 0 to 255; --blocks N makes each run of N pixels of a
// row one colour, so that tiles compress (--form smallest then writes those shorter compressed).
// The tests compare what the package reads with tniff's output for the same file, so nothing about
// the expected pixels is printed here.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/iff_builder.h"

namespace {

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr,
                 "tniff_make_python_file: %s\nusage: tniff_make_python_file OUT WIDTH HEIGHT "
                 "CHANNELS [--depth] "
                 "[--form raw|compressed|smallest] [--tile SIDE] [--levels N] [--blocks N] [--seed "
                 "N] [--shuffled]\n",
                 why);
    std::exit(2);
}

int Number(const char* text, int least, int most) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < least || value > most)
        Usage((std::string("bad number ") + text).c_str());
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) Usage("too few arguments");
    iffbuild::FileSpec layout;
    const int channels = Number(argv[4], 0, 4);
    if (channels == 2) Usage("a file holds 0, 1, 3 or 4 colour channels");
    bool depth = false;
    int levels = 256, tile = 64, blocks = 1;
    uint64_t seed = 1;
    for (int i = 5; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--depth") {
            depth = true;
            continue;
        }
        if (option == "--shuffled") {
            layout.order = iffbuild::TileOrder::Shuffled;
            continue;
        }
        if (value == nullptr) Usage((option + " needs a value").c_str());
        ++i;
        if (option == "--form") {
            const std::string form = value;
            layout.form = form == "raw"          ? iffbuild::Form::Raw
                        : form == "compressed" ? iffbuild::Form::Compressed
                        : form == "smallest"   ? iffbuild::Form::Smallest
                                               : (Usage("--form takes raw, compressed or smallest"),
                                                iffbuild::Form::Raw);
        } else if (option == "--tile") {
            tile = Number(value, 1, 4096);  // large tiles make large hand-overs
        } else if (option == "--levels") {
            levels = Number(value, 1, 256);
        } else if (option == "--blocks") {
            blocks = Number(value, 1, 32767);
        } else if (option == "--seed") {
            seed = static_cast<uint64_t>(Number(value, 0, 1 << 30));
        } else {
            Usage(("unknown option " + option).c_str());
        }
    }
    layout.image =
        iffbuild::Image::Blank(static_cast<uint32_t>(Number(argv[2], 1, 32767)),
                               static_cast<uint32_t>(Number(argv[3], 1, 32767)), channels, depth);
    layout.image.FillRandom(seed, levels);
    iffbuild::Image& image = layout.image;
    for (uint32_t row = 0; row < image.height; ++row) {
        for (uint32_t x = 0; x < image.width; ++x) {
            for (int c = 0; c < channels; ++c)
                image.At(x, row, c) = image.At(x - x % blocks, row, c);
        }
    }
    if (depth) layout.image.FillRandomDepth(seed + 1);
    layout.tileWidth = layout.tileHeight = static_cast<uint16_t>(tile);
    layout.seed = seed;
    const iffbuild::Bytes bytes = iffbuild::BuildFile(layout).bytes;
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "tniff_make_python_file: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
