// tniff's readers of the files users hand it: the input is given to the PNG, PAM and TIFF readers
// as a file. Each either gives a raster whose pixel count matches its size and channel count (1
// to 4 for PNG and TIFF, 1 to 5 for PAM) and that makes a host image, or refuses the file with
// its own error; nothing else may escape, and nothing is read or written out of bounds.
#include <cstdint>
#include <string>

#include "cli/pam_file.h"
#include "cli/png_file.h"
#include "cli/raster.h"
#include "cli/tiff_file.h"
#include "cli/tool_error.h"
#include "fuzz/fuzz_support.h"

namespace {

// The TIFF reader is given an image-size limit, as tniff gives it one: a few bytes of compressed
// strips may rightly describe the largest image the format takes, which would only make the run
// slow.
const uint64_t kTiffImageLimit = 64u << 20;

void Check(const tniff_cli::Raster& raster, int mostChannels, const char* reader) {
    const std::string what = reader;
    if (raster.width < 1 || raster.height < 1) fuzz::Fail(what + " gave an empty raster");
    if (raster.channels < 1 || raster.channels > mostChannels) fuzz::Fail(what + " gave a bad channel count");
    if (raster.pixels.size() != size_t(raster.width) * size_t(raster.height) * size_t(raster.channels)) {
        fuzz::Fail(what + " gave pixels of another size");
    }
    if (raster.width <= tniff_cli::kLargestSide && raster.height <= tniff_cli::kLargestSide) {
        const tniff::Image image = tniff_cli::ImageFromRaster(raster);
        if (image.planes() != raster.channels) fuzz::Fail(what + ": the host image lost planes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::ScratchPath(".img");
    fuzz::WriteFile(path, data, size);
    try {
        Check(tniff_cli::ReadPng(path), 4, "the PNG reader");
    } catch (const tniff_cli::ToolError&) {
    }
    try {
        Check(tniff_cli::ReadPam(path), 5, "the PAM reader");
    } catch (const tniff_cli::ToolError&) {
    }
    try {
        Check(tniff_cli::ReadTiff(path, nullptr, kTiffImageLimit), 4, "the TIFF reader");
    } catch (const tniff_cli::ToolError&) {
    }
    return 0;
}
