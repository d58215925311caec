// An image reduced while its blocks arrive: each pixel of the reduced image stands for a
// rectangle of the full image's pixels and ends as their average, so the full image is never
// held. Used by the host's reduced open (HostSetup::fitWidth, fitHeight).
#ifndef TNIFF_HOST_AREA_AVERAGE_H
#define TNIFF_HOST_AREA_AVERAGE_H

#include <cstdint>
#include <vector>

#include "host/image.h"

namespace tniff {

class AreaAverage {
public:
    // Reduced column c stands for the full columns [ceil(c * fullWidth / width),
    // ceil((c + 1) * fullWidth / width)), rows likewise; every side is at least 1 and no reduced
    // side is longer than the full one. Throws std::bad_alloc.
    AreaAverage(int fullWidth, int fullHeight, int planes, int width, int height);

    // The bytes a sum takes in such a reduction: 4 where the most pixels one reduced pixel
    // gathers, all 255, still fit in 32 bits (any reduction to 8 x 8 or more of the largest
    // side), else 8.
    static int SumBytesEach(int fullWidth, int fullHeight, int width, int height);

    // Adds a block of the full image, rows top .. top + rows - 1 and columns left .. left +
    // columns - 1 of planes loPlane .. loPlane + planes - 1, sample (p, y, x) at block + p *
    // planeBytes + y * rowBytes + x * colBytes. The caller has checked that it lies inside the
    // full image. A sample handed over twice counts twice (the sums saturate, never wrap).
    void Add(const uint8_t* block, int top, int left, int rows, int columns, int loPlane,
             int planes, int64_t colBytes, int64_t rowBytes, int64_t planeBytes);

    // The averages, rounded to nearest, into image (width x height x planes); a full pixel no
    // block reached counts as 0, and an average above 255 (samples handed over twice) is 255.
    void Average(Image* image) const;

private:
    template <typename Sum>
    void AddTo(std::vector<Sum>& sums, const uint8_t* block, int top, int left, int rows,
               int columns, int loPlane, int planes, int64_t colBytes, int64_t rowBytes,
               int64_t planeBytes);
    template <typename Sum>
    void AverageOf(const std::vector<Sum>& sums, Image* image) const;
    // The first full column (row) that reduced column (row) i stands for; i may be the side.
    int64_t ColumnStart(int64_t i) const { return (i * fullWidth_ + width_ - 1) / width_; }
    int64_t RowStart(int64_t i) const { return (i * fullHeight_ + height_ - 1) / height_; }

    int64_t fullWidth_, fullHeight_;
    int planes_;
    int64_t width_, height_;
    std::vector<uint32_t> sums32_;  // one of the two is used, as SumBytes says
    std::vector<uint64_t> sums64_;
};

}  // namespace tniff

#endif
