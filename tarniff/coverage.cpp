// How much of an image a set of tiles covers (UncoveredPixels in layout.h).
#include "tarniff/tarniff.h"

#include <algorithm>
#include <utility>

namespace tarniff {

namespace {

// Counts, over the columns between neighbouring rectangle edges, how many rectangles are open
// there, and keeps the width of the columns with at least one: a segment tree.
class OpenColumns {
public:
    explicit OpenColumns(std::vector<int> edges)
        : edges_(std::move(edges)), count_(4 * edges_.size()), width_(4 * edges_.size()) {}
    // Opens (change 1) or closes (-1) a rectangle over columns [left, right).
    void Change(int left, int right, int change) {
        if (edges_.size() > 1) Change(1, 0, edges_.size() - 1, left, right, change);
    }
    int64_t covered() const { return width_.empty() ? 0 : width_[1]; }

private:
    // Node covers the columns from edges_[lo] to edges_[hi].
    void Change(size_t node, size_t lo, size_t hi, int left, int right, int change) {
        if (right <= edges_[lo] || edges_[hi] <= left) return;
        if (left <= edges_[lo] && edges_[hi] <= right) {
            count_[node] += change;
        } else {
            size_t middle = (lo + hi) / 2;
            Change(2 * node, lo, middle, left, right, change);
            Change(2 * node + 1, middle, hi, left, right, change);
        }
        width_[node] = count_[node] > 0 ? edges_[hi] - edges_[lo]
                       : hi - lo == 1   ? 0
                                        : width_[2 * node] + width_[2 * node + 1];
    }

    std::vector<int> edges_;
    std::vector<int> count_;
    std::vector<int64_t> width_;
};

}  // namespace

// A sweep from the top row down, across the rows where a rectangle starts or ends.
uint64_t UncoveredPixels(const std::vector<PixelRect>& rects, int width, int height) {
    struct Edge {
        int row, left, right, change;
    };
    std::vector<Edge> rows;
    std::vector<int> columns = {0, width};
    for (const PixelRect& rect : rects) {
        int top = std::max<int>(rect.top, 0), bottom = std::min<int>(rect.bottom, height);
        int left = std::max<int>(rect.left, 0), right = std::min<int>(rect.right, width);
        if (top >= bottom || left >= right) continue;
        rows.push_back({top, left, right, 1});
        rows.push_back({bottom, left, right, -1});
        columns.push_back(left);
        columns.push_back(right);
    }
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    std::sort(rows.begin(), rows.end(), [](const Edge& a, const Edge& b) { return a.row < b.row; });
    OpenColumns open(std::move(columns));
    uint64_t covered = 0;
    int row = 0;
    for (const Edge& edge : rows) {
        covered += static_cast<uint64_t>(edge.row - row) * static_cast<uint64_t>(open.covered());
        row = edge.row;
        open.Change(edge.left, edge.right, edge.change);
    }
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(height) - covered;
}

}  // namespace tarniff
