#include "integrations/wic/codec_image.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tniff_wic {
namespace {

// What the codec hands over: 4 bytes a pixel, whatever the file's planes.
const int kChannels = 4;
// What WIC programs assume of an image that states no resolution.
const double kDefaultDpi = 96;

void Refuse(Refusal refusal, const std::string& message, HeaderCheck* check) {
    check->refusal = refusal;
    check->message = message;
}

// The library's refusal of an image above the limit says so in these words (its contract).
bool SaysLimit(const std::string& message) {
    return message.find("image-size limit") != std::string::npos;
}

}  // namespace

uint64_t MostFileBytes(uint64_t maxImageBytes) { return tarniff::MostKeptBytes(maxImageBytes); }

HeaderCheck CheckHeader(const uint8_t* bytes, size_t size, uint64_t maxImageBytes,
                        const std::string& name) {
    HeaderCheck check;
    const tarniff::HeaderLook look = tarniff::LookAtHeader(bytes, size);
    if (!look.recognised) {
        Refuse(Refusal::notOurs, name + ": not an image in this format", &check);
        return check;
    }
    if (!look.hasHeader) {
        const std::string why = look.damage.empty() ? "it has no header" : look.damage;
        Refuse(Refusal::damaged, name + ": " + why, &check);
        return check;
    }
    // Explorer asks for every file in a folder: a file cut short or missing tiles is refused
    // here, before its pixels are decoded, as the open would refuse it later.
    if (!look.whole) {
        Refuse(Refusal::damaged, name + ": " + look.damage, &check);
        return check;
    }
    try {
        tarniff::CheckImageSizeLimit(look.width, look.height, kChannels, maxImageBytes, name, "");
    } catch (const tarniff::Error& error) {
        Refuse(Refusal::tooLarge, error.what(), &check);
        return check;
    }
    check.width = look.width;
    check.height = look.height;
    return check;
}

BgraImage ToBgra(const tarniff::OpenedFile& file, const tarniff::ShownPlanes& shown) {
    const tniff::Image& source = file.image;
    BgraImage image;
    image.width = source.width();
    image.height = source.height();
    const tarniff::Description& d = file.description;
    image.horizontalDpi = d.horizontalDpi > 0 ? d.horizontalDpi : kDefaultDpi;
    image.verticalDpi = d.verticalDpi > 0 ? d.verticalDpi : kDefaultDpi;
    image.pixels.resize(image.Stride() * static_cast<size_t>(image.height));

    // Gray (1, or 2 with alpha) stands for blue, green and red alike.
    const int first = shown.first;
    const bool gray = shown.count < 3;
    const int redPlane = first;
    const int greenPlane = gray ? first : first + 1;
    const int bluePlane = gray ? first : first + 2;
    const int alphaPlane = shown.count == 2 || shown.count == 4 ? first + shown.count - 1 : -1;
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* red = source.address(redPlane, y, 0);
        const uint8_t* green = source.address(greenPlane, y, 0);
        const uint8_t* blue = source.address(bluePlane, y, 0);
        const uint8_t* alpha = alphaPlane >= 0 ? source.address(alphaPlane, y, 0) : nullptr;
        uint8_t* out = image.pixels.data() + static_cast<size_t>(y) * image.Stride();
        for (int x = 0; x < image.width; ++x, out += kChannels) {
            out[0] = blue[x];
            out[1] = green[x];
            out[2] = red[x];
            out[3] = alpha != nullptr ? alpha[x] : 255;
        }
    }
    return image;
}

Decoded DecodeBgra(const tarniff::ModuleFile& module, const uint8_t* bytes, size_t size,
                   uint64_t maxImageBytes, const std::string& name) {
    Decoded decoded;
    const HeaderCheck check = CheckHeader(bytes, size, maxImageBytes, name);
    if (check.refusal != Refusal::none) {
        decoded.refusal = check.refusal;
        decoded.message = check.message;
        return decoded;
    }
    try {
        tarniff::OpenSettings settings;
        settings.name = name;
        settings.maxImageBytes = maxImageBytes;
        settings.partial = false;
        const tarniff::OpenedFile file =
            tarniff::OpenBytesThroughModule(module, bytes, size, settings);
        decoded.image = ToBgra(file, tarniff::PlanesShown(file, name));
    } catch (const tarniff::Error& error) {
        decoded.message = error.what();
        if (error.hostCode() == memFullErr) {
            decoded.refusal = SaysLimit(decoded.message) ? Refusal::tooLarge : Refusal::outOfMemory;
        } else {
            // The header look recognised the file: whatever the open refuses is wrong in it.
            decoded.refusal = Refusal::damaged;
        }
    } catch (const std::bad_alloc&) {
        decoded.refusal = Refusal::outOfMemory;
        decoded.message = name + ": out of memory";
    } catch (const std::exception& error) {
        decoded.refusal = Refusal::damaged;
        decoded.message = name + ": " + error.what();
    }
    if (decoded.refusal != Refusal::none) decoded.image = BgraImage();
    return decoded;
}

CopyOutcome CopyRectangle(const BgraImage& image, int left, int top, int width, int height,
                          uint32_t stride, uint32_t bufferSize, uint8_t* buffer) {
    // In 64 bits: sides are at most 32767 and the caller's values at most 32 bits, so no sum or
    // product below can wrap.
    if (left < 0 || top < 0 || width < 0 || height < 0 || int64_t(left) + width > image.width ||
        int64_t(top) + height > image.height) {
        return CopyOutcome::badRectangle;
    }
    if (width == 0 || height == 0) return CopyOutcome::ok;  // nothing asked for
    const uint64_t rowBytes = uint64_t(width) * kChannels;
    if (stride < rowBytes) return CopyOutcome::badStride;
    if (uint64_t(height - 1) * stride + rowBytes > bufferSize) return CopyOutcome::shortBuffer;
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = image.pixels.data() + static_cast<size_t>(top + y) * image.Stride() +
                              static_cast<size_t>(left) * kChannels;
        std::memcpy(buffer + static_cast<size_t>(y) * stride, from, static_cast<size_t>(rowBytes));
    }
    return CopyOutcome::ok;
}

}  // namespace tniff_wic
