// The host's image: 8-bit planes stored one after another (plane p, then row y from the top,
// then column x from the left), with the host's mode.
#ifndef TNIFF_HOST_IMAGE_H
#define TNIFF_HOST_IMAGE_H

#include <cstddef>
#include <cstdint>

namespace tniff {

class Image {
public:
    // An empty image: no rows, no columns, no planes.
    Image() = default;
    // An image with every byte set to fill. Negative sizes count as 0. The mode defaults to
    // grayscale for one or two planes and RGB colour otherwise, the modes a host offers for
    // those plane counts. A zero fill takes memory the system hands out already cleared, so
    // a new image costs no pass over its bytes. Throws std::bad_alloc when the memory cannot
    // be had.
    Image(int width, int height, int planes, int16_t mode = -1, uint8_t fill = 0);
    Image(const Image& other);
    Image& operator=(const Image& other);
    Image(Image&& other) noexcept;
    Image& operator=(Image&& other) noexcept;
    ~Image();

    int width() const { return width_; }
    int height() const { return height_; }
    int planes() const { return planes_; }
    int16_t mode() const { return mode_; }
    void setMode(int16_t mode) { mode_ = mode; }
    bool empty() const { return size_ == 0; }

    // The byte of plane p at row y, column x; the caller keeps inside the image.
    uint8_t& at(int plane, int row, int column) { return pixels_[Index(plane, row, column)]; }
    uint8_t at(int plane, int row, int column) const { return pixels_[Index(plane, row, column)]; }
    // Where that byte is: the rest of the row follows it, and the rest of the plane that row.
    const uint8_t* address(int plane, int row, int column) const { return pixels_ + Index(plane, row, column); }

    // All bytes, plane by plane: size() of them from data() (null for an empty image).
    uint8_t* data() { return pixels_; }
    const uint8_t* data() const { return pixels_; }
    size_t size() const { return size_; }
    // Sets every byte.
    void fill(uint8_t value);

    // The number of bytes an image of that size needs; false when it does not fit in size_t.
    static bool ByteCount(int width, int height, int planes, uint64_t* count);

    bool operator==(const Image& other) const;
    bool operator!=(const Image& other) const { return !(*this == other); }

private:
    size_t Index(int plane, int row, int column) const {
        return (static_cast<size_t>(plane) * static_cast<size_t>(height_) + static_cast<size_t>(row)) *
                   static_cast<size_t>(width_) +
               static_cast<size_t>(column);
    }
    void Release();

    int width_ = 0;
    int height_ = 0;
    int planes_ = 0;
    int16_t mode_ = -1;
    uint8_t* pixels_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tniff

#endif
