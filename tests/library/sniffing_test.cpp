// What a front end reads an input as, in process: the kind its first bytes say, whatever its
// name, with a note when the name says otherwise.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/png_maker.h"
#include "tests/support/temp_file.h"
#include "tests/support/tiff_maker.h"

namespace {

using namespace testfiles;

// The image a front end gets of path read as kind: through the module for this format, else
// through the reader of that kind.
Bytes PixelsOf(tarniff::FileKind kind, const std::string& path) {
    if (kind == tarniff::FileKind::iff) {
        const tniff::Image image =
            tarniff::OpenThroughModule(BuiltModule(), path, tarniff::OpenSettings{}).image;
        return Interleaved(image, 0, image.planes());
    }
    tarniff::RasterSink sink;
    tarniff::ReadImageFile(kind, path, &sink, tarniff::ReadSettings{});
    return sink.raster().pixels;
}

// An input is read as what its first bytes say: a name that says otherwise gets a note, a name
// without an extension none; the image is what the rightly named file gives.
TEST(Sniffing, InputsAreReadAsWhatTheirBytesSay) {
    ScratchDir scratch;
    pngmake::PngSpec rgb;
    rgb.width = 64;
    rgb.height = 40;
    rgb.colourType = 2;
    rgb.samples.assign(40, std::vector<int>(64 * 3, 7));
    WriteFile(scratch / "rgb.png", pngmake::PngBytes(rgb));
    tiffmake::Recipe tiff;
    tiff.width = 64;
    tiff.height = 40;
    tiff.photometric = PHOTOMETRIC_RGB;
    tiff.samples = 3;
    tiff.compression = COMPRESSION_ADOBE_DEFLATE;
    tiff.values = Samples(size_t(64) * 40 * 3, 255, 3);
    ASSERT_TRUE(tiffmake::Write(tiff, scratch / "whole.tiff"));
    WriteFile(scratch / "good.iff", BuildIff(100, 100, 4, false, 21).bytes);
    WriteFile(scratch / "png.ppm", ReadBytesOf(scratch / "rgb.png"));
    WriteFile(scratch / "tiff.png", ReadBytesOf(scratch / "whole.tiff"));
    WriteFile(scratch / "iff.png", ReadBytesOf(scratch / "good.iff"));
    WriteFile(scratch / "noname", ReadBytesOf(scratch / "good.iff"));
    struct Case {
        const char* in;
        const char* named;  // the same bytes under their own name
        tarniff::FileKind kind;
        const char* what;  // the note's words; null: no note
    };
    const Case cases[] = {
        {"png.ppm", "rgb.png", tarniff::FileKind::png, "a PNG image"},
        {"tiff.png", "whole.tiff", tarniff::FileKind::tiff, "a TIFF image"},
        {"iff.png", "good.iff", tarniff::FileKind::iff, "an image in this format (.iff)"},
        {"noname", "good.iff", tarniff::FileKind::iff, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string note = "(none)";
        const tarniff::FileKind kind = tarniff::KindOfInput(scratch / c.in, &note);
        ASSERT_EQ(kind, c.kind);
        EXPECT_EQ(note, c.what == nullptr
                            ? std::string("(none)")
                            : scratch / c.in + ": it is " + c.what + "; read as that");
        std::string namedNote = "(none)";
        ASSERT_EQ(tarniff::KindOfInput(scratch / c.named, &namedNote), c.kind);
        EXPECT_EQ(namedNote, "(none)");
        const Bytes got = PixelsOf(kind, scratch / c.in);
        EXPECT_FALSE(got.empty());
        EXPECT_TRUE(got == PixelsOf(c.kind, scratch / c.named)) << "the images differ";
    }
}

}  // namespace
