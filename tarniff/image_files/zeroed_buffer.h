// Memory for a whole decoded image (or plane) that costs only what is written to it: calloc takes
// large blocks from the system already cleared, so a page is backed only once a row reaches it.
// A small file that announces a huge image and then fails costs what it decoded, not the size it
// announced. Inside the library.
#ifndef TNIFF_TARNIFF_IMAGE_FILES_ZEROED_BUFFER_H
#define TNIFF_TARNIFF_IMAGE_FILES_ZEROED_BUFFER_H

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tarniff {

template <typename T>
class ZeroedBuffer {
public:
    ZeroedBuffer() = default;
    // count elements, all 0; throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedBuffer(size_t count)
        : data_(static_cast<T*>(std::calloc(count > 0 ? count : 1, sizeof(T)))), size_(count) {
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ~ZeroedBuffer() { std::free(data_); }
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tarniff

#endif
