// TIFF files through libtiff.
#ifndef TNIFF_CLI_TIFF_FILE_H
#define TNIFF_CLI_TIFF_FILE_H

#include <cstdint>
#include <functional>
#include <string>

#include "cli/raster.h"

namespace tniff_cli {

// Reads the first image of a TIFF file (classic or BigTIFF) as 8-bit channels: gray (1), gray
// and alpha (2), RGB (3) or RGBA (4). Gray (min-is-black or min-is-white), RGB and palette
// images of 8 or 16 bits per sample, gray and palette also of 1, 2 or 4; strips or tiles, samples
// interleaved or in separate planes. Palette images become RGB; 16-bit samples are scaled to 8
// bits exactly as 16-bit PNG and PAM samples are; the first extra sample is alpha (associated
// alpha is un-premultiplied, rounded to nearest, 0 where alpha is 0), further ones are not read.
// Size, the format's limits and maxImageBytes (0: no limit of its own) are checked before any
// pixel memory is taken. rowProgress, when set, hears (rows read, rows). Any other kind of
// TIFF (CMYK, YCbCr, floating point, 32-bit), a truncated or a broken file throws ToolError
// with one line saying what the file is or what is wrong; libtiff's own messages come only
// through it.
Raster ReadTiff(const std::string& path, const std::function<void(int, int)>& rowProgress = nullptr,
                uint64_t maxImageBytes = 0);

// Writes a raster of 1 to 4 channels (gray, gray and alpha, RGB, RGBA) as an 8-bit TIFF at path:
// alpha as an unassociated extra sample, deflate-compressed strips, the resolution in inches
// when known, no date or other varying tag (the same raster gives the same bytes). rowProgress,
// when set, hears (rows written, rows). Throws ToolError, whose message names the file as name.
void WriteTiff(const Raster& raster, const Resolution& resolution, const std::string& path, const std::string& name,
               const std::function<void(int, int)>& rowProgress = nullptr);

}  // namespace tniff_cli

#endif
