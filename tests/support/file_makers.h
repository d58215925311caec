// Files the tests make and read back: whole files written and read, PAM files composed and
// parsed here, deterministic pixels, image files of this format from the test-side builder, and
// what the module itself makes of one when this process opens it.
#ifndef TNIFF_TESTS_SUPPORT_FILE_MAKERS_H
#define TNIFF_TESTS_SUPPORT_FILE_MAKERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/image.h"
#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"

namespace testfiles {

using Bytes = std::vector<uint8_t>;

void WriteFile(const std::string& path, const Bytes& bytes);
void WriteText(const std::string& path, const std::string& text);
// The whole file; empty when it cannot be read.
Bytes ReadBytesOf(const std::string& path);

// A PAM file, as parsed here.
struct Pam {
    int width = 0, height = 0, depth = 0, maxval = 0;
    std::string tupleType;
    Bytes pixels;
};
// A PAM file of these samples (two bytes each, big-endian, when maxval is above 255).
Bytes PamBytes(int width, int height, int depth, const Bytes& pixels, int maxval = 255);
// Parses the PAM file at path; a header or a size that is wrong fails the test.
Pam ReadPam(const std::string& path);

// Deterministic pixel bytes with runs in them, so that some tiles compress and some do not.
Bytes Pattern(size_t count, uint32_t seed);
// Deterministic samples of 0 to largest, with runs so that compression has something to find.
std::vector<uint32_t> Samples(size_t count, uint32_t largest, uint32_t seed);

// Planes first .. first + count - 1 of a host image, interleaved as PNG and PAM hold them.
Bytes Interleaved(const tniff::Image& image, int first, int count);

// An image file composed with the test-side builder, of random pixels (and depth).
iffbuild::BuiltFile BuildIff(int width, int height, int channels, bool depth, uint64_t seed,
                             iffbuild::Form form = iffbuild::Form::Smallest);

// Whole files whose tiles cannot cover the image, in folder: no-tiles.iff (100 x 100 RGBA, none
// announced); few-tiles.iff (one 64 x 64 tile under a 256 x 256 header); few-depth-tiles.iff
// (one with depth under a header twice its width, 128 x 64); tile-twice.iff (128 x 64, two
// announced, but the first tile is there twice, so the second is never read).
void WriteUncoveredFiles(const std::string& folder);

// The image the module gives when this process opens path itself, on a linked-in host; a
// failure or a host left unclean fails the test.
tniff::Image OpenInProcess(const std::string& path);

// The module file as built, loaded once, for the library's opens and saves.
const tarniff::ModuleFile& BuiltModule();

}  // namespace testfiles

#endif
