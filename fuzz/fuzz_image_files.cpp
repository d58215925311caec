// tniff's readers of the files users hand it: the input is given to the PNG, PAM, PGM/PPM and
// TIFF readers as a file. Each either gives a raster whose pixel count matches its size and
// channel count (1 to 4 for PNG and TIFF, 1 to 5 for PAM) and that makes a host image, or refuses
// the file with its own error; nothing else may escape, and nothing is read or written out of
// bounds. The PNG and Netpbm readers are also read a few rows at a time straight into a host
// image, as tniff convert reads them: that must give the same image, or refuse the file with the
// same words.
#include <cstdint>
#include <functional>
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

// One reader both ways: into a whole raster, and in blocks of blockBytes into a host image.
void CheckBothWays(const std::function<tniff_cli::Raster()>& whole,
                   const std::function<void(tniff_cli::RowSink*)>& blocks, size_t blockBytes, int mostChannels,
                   const char* reader) {
    const std::string what = reader;
    std::string refused;
    tniff::Image expected;
    int sourceBits = 0;
    try {
        tniff_cli::Raster raster = whole();
        Check(raster, mostChannels, reader);
        expected = tniff_cli::ImageFromRaster(raster);
        sourceBits = raster.sourceBits;
    } catch (const tniff_cli::ToolError& error) {
        refused = error.what();
    }
    tniff_cli::ImageSink sink(blockBytes);
    try {
        blocks(&sink);
    } catch (const tniff_cli::ToolError& error) {
        if (refused != error.what()) fuzz::Fail(what + " in blocks refused a file differently: " + error.what());
        return;
    }
    if (!refused.empty()) fuzz::Fail(what + " in blocks took a file it refuses whole: " + refused);
    if (sink.image() != expected) fuzz::Fail(what + " in blocks gave another image");
    if (sink.sourceBits() != sourceBits) fuzz::Fail(what + " in blocks gave another sample size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::ScratchPath(".img");
    fuzz::WriteFile(path, data, size);
    // Blocks of one row up to a few rows, so that small images cross block boundaries too.
    const size_t blockBytes = 1 + size % 4096;
    CheckBothWays([] { return tniff_cli::ReadPng(path); },
                  [](tniff_cli::RowSink* sink) { tniff_cli::ReadPng(path, sink); }, blockBytes, 4, "the PNG reader");
    CheckBothWays([] { return tniff_cli::ReadPam(path); },
                  [](tniff_cli::RowSink* sink) { tniff_cli::ReadPam(path, sink); }, blockBytes, 5, "the PAM reader");
    CheckBothWays([] { return tniff_cli::ReadPnm(path); },
                  [](tniff_cli::RowSink* sink) { tniff_cli::ReadPnm(path, sink); }, blockBytes, 3, "the PGM and PPM reader");
    try {
        Check(tniff_cli::ReadTiff(path, nullptr, kTiffImageLimit), 4, "the TIFF reader");
    } catch (const tniff_cli::ToolError&) {
    }
    return 0;
}
