// How much of an image a set of tiles reaches: the module reads the tiles a header announces,
// however few, so a file whose tiles leave pixels uncovered is not whole.
#ifndef TNIFF_TARNIFF_COVERAGE_H
#define TNIFF_TARNIFF_COVERAGE_H

#include <cstdint>
#include <vector>

namespace tarniff {

// A rectangle of pixels, columns [left, right) and rows [top, bottom). Which way rows are
// counted does not matter here, as long as all rectangles count them the same way.
struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The pixels of a width x height image that none of rects reaches, each rectangle taken within
// the image (parts outside it and empty rectangles count for nothing).
uint64_t UncoveredPixels(const std::vector<PixelRect>& rects, int width, int height);

}  // namespace tarniff

#endif
