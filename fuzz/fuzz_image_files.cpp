// tniff's readers of the files users hand it: the input is given to the PNG, PAM, PGM/PPM and
// TIFF readers as a file. Each either gives a raster whose pixel count matches its size and
// channel count (1 to 4 for PNG and TIFF, 1 to 5 for PAM) and that makes a host image, or refuses
// the file with its own error; nothing else may escape, and nothing is read or written out of
// bounds. Each reader is also read a few rows at a time straight into a host image, as tniff
// convert reads them: that must give the same image, or refuse the file with the same words.
#include <cstdint>
#include <functional>
#include <string>

#include "tarniff/image_files/codecs.h"
#include "tarniff/tarniff.h"
#include "fuzz/fuzz_support.h"

namespace {

void Check(const tarniff::Raster& raster, int mostChannels, const char* reader) {
    const std::string what = reader;
    if (raster.width < 1 || raster.height < 1) fuzz::Fail(what + " gave an empty raster");
    if (raster.channels < 1 || raster.channels > mostChannels) fuzz::Fail(what + " gave a bad channel count");
    if (raster.pixels.size() != size_t(raster.width) * size_t(raster.height) * size_t(raster.channels)) {
        fuzz::Fail(what + " gave pixels of another size");
    }
    if (raster.width <= tarniff::kLargestSide && raster.height <= tarniff::kLargestSide) {
        const tniff::Image image = tarniff::ImageFromRaster(raster);
        if (image.planes() != raster.channels) fuzz::Fail(what + ": the host image lost planes");
    }
}

using Reader = void (*)(const std::string&, tarniff::RowSink*, const tarniff::ReadSettings&);

// One reader both ways: into a whole raster, and in blocks of blockBytes into a host image.
void CheckBothWays(Reader read, const std::string& path, size_t blockBytes, int mostChannels, const char* reader) {
    const std::string what = reader;
    std::string refused;
    tniff::Image expected;
    int sourceBits = 0;
    try {
        tarniff::RasterSink whole;
        read(path, &whole, tarniff::ReadSettings());
        const tarniff::Raster& raster = whole.raster();
        Check(raster, mostChannels, reader);
        expected = tarniff::ImageFromRaster(raster);
        sourceBits = raster.sourceBits;
    } catch (const tarniff::Error& error) {
        refused = error.what();
    }
    tarniff::ImageSink sink(blockBytes);
    try {
        read(path, &sink, tarniff::ReadSettings());
    } catch (const tarniff::Error& error) {
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
    CheckBothWays(tarniff::ReadPng, path, blockBytes, 4, "the PNG reader");
    CheckBothWays(tarniff::ReadPam, path, blockBytes, 5, "the PAM reader");
    CheckBothWays(tarniff::ReadPnm, path, blockBytes, 3, "the PGM and PPM reader");
    // No image-size limit: a few bytes may announce the largest image the format takes, and
    // what that costs before the file fails is what a user's file costs.
    CheckBothWays(tarniff::ReadTiff, path, blockBytes, 4, "the TIFF reader");
    return 0;
}
