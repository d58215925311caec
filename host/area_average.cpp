#include "host/area_average.h"

#include <algorithm>
#include <limits>

namespace tniff {

namespace {

// The most full pixels one reduced pixel stands for, each side rounded up.
uint64_t MostGathered(int64_t fullWidth, int64_t fullHeight, int64_t width, int64_t height) {
    const uint64_t across = static_cast<uint64_t>((fullWidth + width - 1) / width);
    const uint64_t down = static_cast<uint64_t>((fullHeight + height - 1) / height);
    return across * down;  // each below 2^31
}

bool Use32(int64_t fullWidth, int64_t fullHeight, int64_t width, int64_t height) {
    return MostGathered(fullWidth, fullHeight, width, height) <= UINT32_MAX / 255u;
}

// A run of the block's columns that falls in one reduced column.
struct Segment {
    int64_t offset;  // of its first column, from the block's left
    int64_t length;
    int64_t column;  // the reduced column
};

template <typename Sum>
inline void AddSaturating(Sum* sum, uint64_t value) {
    const Sum most = std::numeric_limits<Sum>::max();
    *sum = value > static_cast<uint64_t>(most - *sum) ? most : static_cast<Sum>(*sum + value);
}

}  // namespace

AreaAverage::AreaAverage(int fullWidth, int fullHeight, int planes, int width, int height)
    : fullWidth_(fullWidth),
      fullHeight_(fullHeight),
      planes_(planes),
      width_(width),
      height_(height) {
    const size_t count =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(planes);
    if (Use32(fullWidth_, fullHeight_, width_, height_))
        sums32_.assign(count, 0);
    else
        sums64_.assign(count, 0);
}

int AreaAverage::SumBytesEach(int fullWidth, int fullHeight, int width, int height) {
    return Use32(fullWidth, fullHeight, width, height) ? 4 : 8;
}

void AreaAverage::Add(const uint8_t* block, int top, int left, int rows, int columns, int loPlane,
                      int planes, int64_t colBytes, int64_t rowBytes, int64_t planeBytes) {
    if (!sums32_.empty())
        AddTo(sums32_, block, top, left, rows, columns, loPlane, planes, colBytes, rowBytes,
              planeBytes);
    else
        AddTo(sums64_, block, top, left, rows, columns, loPlane, planes, colBytes, rowBytes,
              planeBytes);
}

template <typename Sum>
void AreaAverage::AddTo(std::vector<Sum>& sums, const uint8_t* block, int top, int left, int rows,
                        int columns, int loPlane, int planes, int64_t colBytes, int64_t rowBytes,
                        int64_t planeBytes) {
    // The block's columns fall into the same reduced columns on every row and plane: the runs
    // are found once, and each row adds a run's samples up before it touches the sums.
    std::vector<Segment> segments;
    const int64_t right = static_cast<int64_t>(left) + columns;
    for (int64_t x = left; x < right;) {
        const int64_t column = x * width_ / fullWidth_;
        const int64_t end = std::min(right, ColumnStart(column + 1));
        segments.push_back(Segment{x - left, end - x, column});
        x = end;
    }
    for (int p = 0; p < planes; ++p) {
        const uint8_t* plane = block + p * planeBytes;
        Sum* planeSums = sums.data() + static_cast<size_t>(loPlane + p) *
                                           static_cast<size_t>(height_) *
                                           static_cast<size_t>(width_);
        for (int y = 0; y < rows; ++y) {
            const uint8_t* row = plane + y * rowBytes;
            const int64_t reducedRow = (static_cast<int64_t>(top) + y) * height_ / fullHeight_;
            Sum* rowSums =
                planeSums + static_cast<size_t>(reducedRow) * static_cast<size_t>(width_);
            for (const Segment& segment : segments) {
                // At most 32767 samples of 255: well inside 32 bits.
                uint32_t sum = 0;
                const uint8_t* sample = row + segment.offset * colBytes;
                for (int64_t i = 0; i < segment.length; ++i) sum += sample[i * colBytes];
                AddSaturating(&rowSums[segment.column], sum);
            }
        }
    }
}

void AreaAverage::Average(Image* image) const {
    if (!sums32_.empty())
        AverageOf(sums32_, image);
    else
        AverageOf(sums64_, image);
}

template <typename Sum>
void AreaAverage::AverageOf(const std::vector<Sum>& sums, Image* image) const {
    std::vector<uint64_t> across(static_cast<size_t>(width_));
    for (int64_t x = 0; x < width_; ++x)
        across[static_cast<size_t>(x)] = static_cast<uint64_t>(ColumnStart(x + 1) - ColumnStart(x));
    const Sum* sum = sums.data();
    for (int p = 0; p < planes_; ++p) {
        for (int64_t y = 0; y < height_; ++y) {
            const uint64_t down = static_cast<uint64_t>(RowStart(y + 1) - RowStart(y));
            uint8_t* out = &image->at(p, static_cast<int>(y), 0);
            for (int64_t x = 0; x < width_; ++x, ++sum) {
                const uint64_t count = across[static_cast<size_t>(x)] * down;
                // A saturated 64-bit sum plus half the count would wrap: such a pixel is 255.
                const uint64_t average = *sum > UINT64_MAX - count
                                             ? 255
                                             : (static_cast<uint64_t>(*sum) + count / 2) / count;
                out[x] = static_cast<uint8_t>(std::min<uint64_t>(average, 255));
            }
        }
    }
}

}  // namespace tniff
