// PNG files through libpng.
#ifndef TNIFF_CLI_PNG_FILE_H
#define TNIFF_CLI_PNG_FILE_H

#include <functional>
#include <string>

#include "cli/raster.h"

namespace tniff_cli {

// Reads any PNG as 8-bit channels: gray (1), gray and alpha (2), RGB (3) or RGBA (4). Palette
// images become RGB (RGBA with a transparency chunk), gray below 8 bits is widened, 16-bit
// samples are scaled to 8 bits, a transparency chunk becomes an alpha channel. The size is
// checked against the format's limits before any pixel is read. rowProgress, when set, hears
// (rows read, rows). Throws ToolError. The sink hears of the image only once its size passed the
// checks; an interlaced file is asked for all its rows at once.
void ReadPng(const std::string& path, RowSink* sink, const std::function<void(int, int)>& rowProgress = nullptr);
Raster ReadPng(const std::string& path, const std::function<void(int, int)>& rowProgress = nullptr);

// The zlib level PNG files are written with unless told otherwise (see the README for the
// measurements behind it).
const int kDefaultPngLevel = 3;

// Writes rows of 1 to 4 channels (gray, gray and alpha, RGB, RGBA) as an 8-bit PNG at path,
// deflated at level (0 to 9), with the resolution in a pHYs chunk (pixels per metre, rounded)
// when it is known; rowProgress, when set, hears (rows written, rows) as rows go out. Throws
// ToolError, whose message names the file as name.
void WritePng(RowSource& rows, const std::string& path, const std::string& name,
              int level = kDefaultPngLevel,
              const std::function<void(int, int)>& rowProgress = nullptr,
              const Resolution& resolution = Resolution());

}  // namespace tniff_cli

#endif
