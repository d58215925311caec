// The limits of the format and of the memory an image may take, and byte counts for messages.
#include "tarniff/tarniff.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <cstdio>

namespace tarniff {

uint64_t DefaultMaxImageBytes() {
    const uint64_t floor = 1ull << 30;
#if defined(_WIN32)
    MEMORYSTATUSEX memory;
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory) || memory.ullTotalPhys == 0) return floor;
    const uint64_t total = memory.ullTotalPhys;
#else
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return floor;
    const uint64_t total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
#endif
    // Half the machine's memory: the image is copied once more on its way to a PNG or PAM file.
    uint64_t half = total / 2;
    return half > floor ? half : floor;
}

// Messages set a size beside a limit ("needs ..., more than ... limit of ..."): two different
// counts must never read alike, so a count that is not a whole number of its unit also gives
// its bytes, and the decimals are cut, never rounded up to the next whole unit.
std::string Mebibytes(uint64_t bytes) {
    if (bytes < (1u << 20)) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const bool gibibytes = bytes >= (1ull << 30);
    const uint64_t unit = gibibytes ? 1ull << 30 : 1ull << 20;
    const char* name = gibibytes ? " GiB" : " MiB";
    if (bytes % unit == 0) return std::to_string(bytes / unit) + name;
    const uint64_t hundredths = (bytes % unit) * 100 / unit;
    char decimals[8];
    std::snprintf(decimals, sizeof decimals, ".%02u", static_cast<unsigned>(hundredths));
    return std::to_string(bytes / unit) + decimals + name + " (" + std::to_string(bytes) +
           " bytes)";
}
void CheckFormatLimits(int64_t width, int64_t height, const std::string& name) {
    const std::string size = std::to_string(width) + " by " + std::to_string(height);
    if (width > kLargestSide || height > kLargestSide) {
        throw Error(name + ": " + size + " is too large for the format: at most " +
                    std::to_string(kLargestSide) + " pixels on a side");
    }
    const int64_t tiles =
        ((width + kTileSide - 1) / kTileSide) * ((height + kTileSide - 1) / kTileSide);
    if (tiles > kMostTiles) {
        throw Error(name + ": " + size + " is too large for the format: it needs " +
                    std::to_string(tiles) + " tiles of 64 x 64, and a file holds at most " +
                    std::to_string(kMostTiles));
    }
}

void CheckImageSizeLimit(int64_t width, int64_t height, int channels, uint64_t maxImageBytes,
                         const std::string& name, const std::string& raiseLimit) {
    // Sides are at most 32767 once CheckFormatLimits has passed, but a reader may ask first.
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * uint64_t(channels);
    if (maxImageBytes == 0 || bytes <= maxImageBytes) return;
    throw Error(name + ": " + std::to_string(width) + " by " + std::to_string(height) + " with " +
                std::to_string(channels) + " channels needs " + Mebibytes(bytes) +
                ", more than the image-size limit of " + Mebibytes(maxImageBytes) +
                (raiseLimit.empty() ? "" : " (" + raiseLimit + ")"));
}

}  // namespace tarniff
