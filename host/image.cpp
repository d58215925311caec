#include "host/image.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "hostapi/plugin_interface.h"

// Under AddressSanitizer every image stays on the heap, where its guards catch a step past the end.
#if defined(__SANITIZE_ADDRESS__)
#define TNIFF_IMAGES_ON_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TNIFF_IMAGES_ON_HEAP 1
#endif
#endif

#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(TNIFF_IMAGES_ON_HEAP)
#define TNIFF_MAPPED_IMAGES 1
#endif

namespace tniff {

namespace {

#if defined(TNIFF_MAPPED_IMAGES)
// Images from this size on are mapped on their own, aligned to the huge page size and advised to
// use huge pages: the first touch of fresh memory costs far more in small pages, and an opened
// image is touched whole.
const size_t kMappedFrom = 4u << 20;
const size_t kHugePage = 2u << 20;

bool Mapped(size_t size) { return size >= kMappedFrom; }
size_t MappedLength(size_t size) { return (size + kHugePage - 1) / kHugePage * kHugePage; }

// Fresh anonymous pages read 0 until written. The mapping is taken one huge page longer, so a
// start on a huge page boundary can be cut from it; the rest is returned at once.
uint8_t* MapZeroed(size_t size) {
    if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
    const size_t length = MappedLength(size);
    void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
    if (start > base) munmap(mapped, start - base);
    const size_t tail = kHugePage - (start - base);
    if (tail > 0) munmap(reinterpret_cast<void*>(start + length), tail);
    // Advice only: where the kernel does not take it, small pages serve the same.
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<uint8_t*>(start);
}
#else
bool Mapped(size_t) { return false; }
uint8_t* MapZeroed(size_t) { return nullptr; }
#endif

// size bytes that read 0; never null for a size above 0 (bad_alloc instead).
uint8_t* AllocateZeroed(size_t size) {
    if (size == 0) return nullptr;
    uint8_t* bytes = Mapped(size) ? MapZeroed(size) : static_cast<uint8_t*>(std::calloc(size, 1));
    if (bytes == nullptr) throw std::bad_alloc();
    return bytes;
}

void FreeZeroed(uint8_t* bytes, size_t size) {
    if (bytes == nullptr) return;
#if defined(TNIFF_MAPPED_IMAGES)
    if (Mapped(size)) {
        munmap(bytes, MappedLength(size));
        return;
    }
#else
    (void)size;
#endif
    std::free(bytes);
}

}  // namespace

Image::Image(int width, int height, int planes, int16_t mode, uint8_t fill)
    : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0), planes_(planes > 0 ? planes : 0) {
    if (mode >= 0) mode_ = mode;
    else mode_ = planes_ <= 2 ? plugInModeGrayScale : plugInModeRGBColor;
    size_ = static_cast<size_t>(width_) * static_cast<size_t>(height_) * static_cast<size_t>(planes_);
    pixels_ = AllocateZeroed(size_);
    if (fill != 0) this->fill(fill);
}

Image::Image(const Image& other)
    : width_(other.width_), height_(other.height_), planes_(other.planes_), mode_(other.mode_) {
    pixels_ = AllocateZeroed(other.size_);
    size_ = other.size_;
    if (size_ != 0) std::memcpy(pixels_, other.pixels_, size_);
}

Image& Image::operator=(const Image& other) {
    if (this != &other) {
        Image copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Image::Image(Image&& other) noexcept
    : width_(other.width_), height_(other.height_), planes_(other.planes_), mode_(other.mode_),
      pixels_(other.pixels_), size_(other.size_) {
    other.width_ = other.height_ = other.planes_ = 0;
    other.pixels_ = nullptr;
    other.size_ = 0;
}

Image& Image::operator=(Image&& other) noexcept {
    if (this != &other) {
        Release();
        width_ = other.width_;
        height_ = other.height_;
        planes_ = other.planes_;
        mode_ = other.mode_;
        pixels_ = other.pixels_;
        size_ = other.size_;
        other.width_ = other.height_ = other.planes_ = 0;
        other.pixels_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

Image::~Image() { Release(); }

void Image::Release() {
    FreeZeroed(pixels_, size_);
    pixels_ = nullptr;
    size_ = 0;
}

void Image::fill(uint8_t value) {
    if (size_ != 0) std::memset(pixels_, value, size_);
}

bool Image::ByteCount(int width, int height, int planes, uint64_t* count) {
    // Each factor is at most 2^31, so the product of all three stays below 2^93: check each step.
    uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
    uint64_t h = height > 0 ? static_cast<uint64_t>(height) : 0;
    uint64_t p = planes > 0 ? static_cast<uint64_t>(planes) : 0;
    uint64_t area = w * h;  // below 2^62
    if (p != 0 && area > UINT64_MAX / p) return false;
    uint64_t total = area * p;
    if (total > static_cast<uint64_t>(SIZE_MAX)) return false;
    *count = total;
    return true;
}

bool Image::operator==(const Image& other) const {
    return width_ == other.width_ && height_ == other.height_ && planes_ == other.planes_ &&
           mode_ == other.mode_ && size_ == other.size_ &&
           (size_ == 0 || std::memcmp(pixels_, other.pixels_, size_) == 0);
}

}  // namespace tniff
