// What the imaging codec makes of a file's bytes, free of COM and of the system's headers: the
// look at the header that a decoder's Initialize takes, the open through the module into rows of
// blue, green, red and alpha, and the copy of a rectangle of them into a caller's buffer. The
// COM classes only map the outcomes to HRESULTs; the rules live here, where tests on any system
// reach them.
#ifndef TNIFF_INTEGRATIONS_WIC_CODEC_IMAGE_H
#define TNIFF_INTEGRATIONS_WIC_CODEC_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_wic {

// Why a file gives no image. The decoder reports each as its own HRESULT.
enum class Refusal {
    none,
    notOurs,      // not a file of this format
    damaged,      // of this format, but incomplete or damaged: never shown in part
    tooLarge,     // above the image-size limit
    outOfMemory,  // within the limit, but the memory could not be had
};

// What a decoder knows before any pixel is decoded.
struct HeaderCheck {
    Refusal refusal = Refusal::none;
    std::string message;  // tniff's words for a refusal
    int width = 0;
    int height = 0;
};

// The most bytes of a file the codec takes in: no file of an image within the limit is larger.
uint64_t MostFileBytes(uint64_t maxImageBytes);

// Looks at the first size bytes of a file (all of it): its header and chunk headers, no pixel
// data. Refuses a file of another format, one without its header or with announced tiles missing
// or pixels uncovered, and one whose 32-bit rows would take more than maxImageBytes.
HeaderCheck CheckHeader(const uint8_t* bytes, size_t size, uint64_t maxImageBytes,
                        const std::string& name);

// Rows from the top, 4 bytes a pixel in the order blue, green, red, alpha (straight, not
// premultiplied): a gray image gives blue = green = red, an image without alpha 255.
struct BgraImage {
    int width = 0;
    int height = 0;
    double horizontalDpi = 96;  // the file's, or 96 when it gives none
    double verticalDpi = 96;
    std::vector<uint8_t> pixels;
    size_t Stride() const { return static_cast<size_t>(width) * 4; }
};

struct Decoded {
    Refusal refusal = Refusal::none;
    std::string message;
    BgraImage image;
};

// Opens the file's bytes through the module, whole images only (an incomplete or damaged one is
// refused), and gives the planes every front end shows (tarniff::PlanesShown) as blue, green,
// red and alpha. Never throws: every failure is a Refusal with the library's message.
Decoded DecodeBgra(const tarniff::ModuleFile& module, const uint8_t* bytes, size_t size,
                   uint64_t maxImageBytes, const std::string& name);

// The planes that PlanesShown names of an opened file as blue, green, red and alpha.
BgraImage ToBgra(const tarniff::OpenedFile& file, const tarniff::ShownPlanes& shown);

enum class CopyOutcome {
    ok,
    badRectangle,  // not inside the image (an empty one inside it copies nothing)
    badStride,     // shorter than a row of the rectangle
    shortBuffer,   // too small for the rectangle at that stride
};

// Copies columns [left, left + width) of rows [top, top + height) into buffer, row r at
// r * stride. The checks cannot overflow, whatever the caller hands over; nothing is written
// unless all pass.
CopyOutcome CopyRectangle(const BgraImage& image, int left, int top, int width, int height,
                          uint32_t stride, uint32_t bufferSize, uint8_t* buffer);

}  // namespace tniff_wic

#endif
