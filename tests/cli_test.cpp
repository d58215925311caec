// The tniff command, run as a user runs it: the built program in a subprocess, on files made
// here. What it writes is checked against an in-process open through the module, PNG files it
// writes are decoded by an independent reader (Python's zlib), PNG files it reads are composed
// byte by byte (tests/support/png_maker), TIFF files both ways go through libtiff, and its JSON
// is parsed by Python's json module. What the library does whatever the front end (reading,
// sniffing, opening, naming files in messages) is tested in process in tests/library/; here is
// what the command adds: options, exit statuses, help, standard streams, progress and notes.
#if defined(TNIFF_TOOL_FILE)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <tiffio.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostapi/plugin_interface.h"
#include "tests/support/file_makers.h"
#include "tests/support/iff_builder.h"
#include "tests/support/png_maker.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_file.h"
#include "tests/support/tiff_maker.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using Scratch = ScratchDir;
using namespace testfiles;
using pngmake::PngBytes;
using pngmake::PngSpec;
using pngmake::PutChunk;
using pngmake::PutU32;

int LineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
}

bool Exists(const std::string& path) { return fs::exists(path); }

// ---- PNG files read here: an independent decoder, through Python's zlib --------------------------

const char kPngToPam[] = R"(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
pos, idat, ihdr = 8, b'', None
while pos < len(data):
    n, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    assert zlib.crc32(data[pos + 4:pos + 8 + n]) == struct.unpack('>I', data[pos + 8 + n:pos + 12 + n])[0]
    pos += 12 + n
    if kind == b'IHDR': ihdr = struct.unpack('>IIBBBBB', body)
    elif kind == b'IDAT': idat += body
    elif kind == b'IEND': break
w, h, bits, ctype, _, _, interlace = ihdr
assert bits == 8 and interlace == 0, 'only 8-bit, not interlaced'
ch = {0: 1, 2: 3, 4: 2, 6: 4}[ctype]
raw, stride, out, prev = zlib.decompress(idat), w * ch, bytearray(), bytearray(w * ch)
for y in range(h):
    f = raw[y * (stride + 1)]
    line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - ch] if i >= ch else 0
        b = prev[i]
        c = prev[i - ch] if i >= ch else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    out += line
    prev = line
open(sys.argv[2], 'wb').write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nENDHDR\n' % (w, h, ch) + out)
)";

Pam DecodePng(const std::string& png, const Scratch& scratch) {
    std::string pam = scratch / "decoded.pam";
    Outcome decoded = RunProgram("python3", {"-c", kPngToPam, png, pam});
    EXPECT_EQ(decoded.status, 0) << Describe(decoded);
    return ReadPam(pam);
}

// ---- Converting with PAM: every plane count, there and back ---------------------------------------

struct PlaneCase {
    int depth;          // PAM DEPTH in
    int planesOpened;   // planes of the saved file when opened
    const char* tupleType;
};

void PrintTo(const PlaneCase& c, std::ostream* os) { *os << "DEPTH " << c.depth; }

class ConvertPam : public ::testing::TestWithParam<PlaneCase> {};

TEST_P(ConvertPam, ToIffAndBackEqualsAnInProcessOpen) {
    const PlaneCase c = GetParam();
    for (auto size : {std::pair<int, int>{1, 1}, {65, 65}, {130, 70}}) {
        SCOPED_TRACE("DEPTH " + std::to_string(c.depth) + ", " + std::to_string(size.first) + " by " +
                     std::to_string(size.second));
        Scratch scratch;
        const int width = size.first, height = size.second;
        Bytes pixels = Pattern(size_t(width) * height * c.depth, uint32_t(c.depth * 100 + width));
        WriteFile(scratch / "in.pam", PamBytes(width, height, c.depth, pixels));

        Outcome saved = Tniff({"convert", scratch / "in.pam", scratch / "saved.iff"});
        ASSERT_EQ(saved.status, 0) << Describe(saved);
        EXPECT_EQ(saved.out, "");
        EXPECT_EQ(LineCount(saved.err), c.depth == 5 ? 1 : 0) << saved.err;

        // What the module reads back: gray stored as three equal channels, the second plane of a
        // gray image or the fourth of an RGB one as alpha, a fifth plane dropped.
        tniff::Image opened = OpenInProcess(scratch / "saved.iff");
        ASSERT_EQ(opened.width(), width);
        ASSERT_EQ(opened.height(), height);
        ASSERT_EQ(opened.planes(), c.planesOpened);
        bool gray = c.depth <= 2;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int p = 0; p < c.planesOpened; ++p) {
                    int source = gray ? (p < 3 ? 0 : 1) : p;
                    ASSERT_EQ(opened.at(p, y, x), pixels[(size_t(y) * width + x) * c.depth + source])
                        << "plane " << p << " at " << x << ", " << y;
                }

        Outcome back = Tniff({"convert", scratch / "saved.iff", scratch / "back.pam"});
        ASSERT_EQ(back.status, 0) << Describe(back);
        EXPECT_EQ(back.err, "");
        Pam pam = ReadPam(scratch / "back.pam");
        EXPECT_EQ(pam.width, width);
        EXPECT_EQ(pam.height, height);
        EXPECT_EQ(pam.depth, c.planesOpened);
        EXPECT_EQ(pam.maxval, 255);
        EXPECT_EQ(pam.tupleType, c.tupleType);
        EXPECT_EQ(pam.pixels, Interleaved(opened, 0, opened.planes()));
        EXPECT_EQ(scratch.Names(), (std::set<std::string>{"in.pam", "saved.iff", "back.pam"}));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, ConvertPam,
                         ::testing::Values(PlaneCase{1, 3, "RGB"}, PlaneCase{2, 4, "RGB_ALPHA"},
                                           PlaneCase{3, 3, "RGB"}, PlaneCase{4, 4, "RGB_ALPHA"},
                                           PlaneCase{5, 4, "RGB_ALPHA"}),
                         [](const ::testing::TestParamInfo<PlaneCase>& info) {
                             return "Depth" + std::to_string(info.param.depth);
                         });

// ---- Converting image files out: PNG, PAM, depth ------------------------------------------------------

struct OutCase {
    int channels;  // colour channels of the file: 1, 3 or 4; 0 for a depth buffer alone
    bool depth;
};

// What tniff notes when it writes a depth buffer alone as a gray image.
std::string DepthOnlyNote(const std::string& path) {
    return "tniff: note: " + path + ": the file holds only a depth buffer; it is shown as a gray image (near is dark)\n";
}

void PrintTo(const OutCase& c, std::ostream* os) { *os << c.channels << " channels" << (c.depth ? " and depth" : ""); }

class ConvertIff : public ::testing::TestWithParam<OutCase> {};

TEST_P(ConvertIff, ToPngAndPamEqualsAnInProcessOpen) {
    const OutCase c = GetParam();
    Scratch scratch;
    iffbuild::BuiltFile built = BuildIff(100, 70, c.channels, c.depth, uint64_t(c.channels * 10 + c.depth));
    WriteFile(scratch / "in.iff", built.bytes);
    tniff::Image opened = OpenInProcess(scratch / "in.iff");
    const int planes = c.channels + (c.depth ? 1 : 0);
    ASSERT_EQ(opened.planes(), planes);

    std::vector<std::string> toPng = {"convert", scratch / "in.iff", scratch / "out.png"};
    if (c.depth) toPng.insert(toPng.end(), {"--depth", scratch / "depth.png"});
    Outcome png = Tniff(toPng);
    ASSERT_EQ(png.status, 0) << Describe(png);
    // A depth buffer alone is shown as a gray image of it, and said to be.
    const int shown = c.channels == 0 ? 1 : c.channels;
    const std::string note = c.channels == 0 ? DepthOnlyNote(scratch / "in.iff") : "";
    EXPECT_EQ(png.err, note);
    Pam colour = DecodePng(scratch / "out.png", scratch);
    EXPECT_EQ(colour.depth, shown);  // gray, RGB or RGBA: alpha only when the file has it
    EXPECT_EQ(colour.pixels, Interleaved(opened, 0, shown));
    if (c.depth) {
        Pam depth = DecodePng(scratch / "depth.png", scratch);
        EXPECT_EQ(depth.depth, 1);
        EXPECT_EQ(depth.pixels, Interleaved(opened, c.channels, 1));
    }

    Outcome pam = Tniff({"convert", scratch / "in.iff", scratch / "out.pam"});
    ASSERT_EQ(pam.status, 0) << Describe(pam);
    Pam all = ReadPam(scratch / "out.pam");
    EXPECT_EQ(all.depth, planes);
    EXPECT_EQ(all.pixels, Interleaved(opened, 0, planes));
    std::string tuple = c.channels == 0   ? ""
                        : c.channels == 1 ? "GRAYSCALE"
                        : c.channels == 3 ? "RGB"
                                          : "RGB_ALPHA";
    EXPECT_EQ(all.tupleType, !c.depth ? tuple : tuple.empty() ? "DEPTH" : tuple + "_DEPTH");
    EXPECT_EQ(pam.err, "");  // PAM takes every plane: nothing is shown as something else

    // Saved again: the colour image only; the depth plane never turns into alpha. A depth
    // buffer alone is saved as the gray image it is shown as.
    Outcome again = Tniff({"convert", scratch / "in.iff", scratch / "again.iff"});
    ASSERT_EQ(again.status, 0) << Describe(again);
    EXPECT_EQ(LineCount(again.err), c.depth ? 1 : 0) << again.err;
    if (c.channels == 0) {
        EXPECT_EQ(again.err, note);
    }
    tniff::Image reopened = OpenInProcess(scratch / "again.iff");
    int colourPlanes = c.channels <= 1 ? 3 : c.channels;
    ASSERT_EQ(reopened.planes(), colourPlanes);
    for (int p = 0; p < colourPlanes; ++p) {
        EXPECT_EQ(Interleaved(reopened, p, 1), Interleaved(opened, c.channels <= 1 ? 0 : p, 1)) << "plane " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, ConvertIff,
                         ::testing::Values(OutCase{0, true}, OutCase{1, false}, OutCase{1, true}, OutCase{3, false},
                                           OutCase{3, true}, OutCase{4, false}, OutCase{4, true}),
                         [](const ::testing::TestParamInfo<OutCase>& info) {
                             return "Channels" + std::to_string(info.param.channels) +
                                    (info.param.depth ? "WithDepth" : "");
                         });

// Images of several blocks of rows, the last one partial, through every reader and writer: the
// pixels arrive whole and in place, and the PAM, PPM and PGM files written hold exactly them.
TEST(Convert, ImagesOfManyRowBlocksGoBothWays) {
    Scratch scratch;
    auto text = [](const std::string& header) { return Bytes(header.begin(), header.end()); };
    auto joined = [](Bytes head, const Bytes& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    // Converts without a word, or with the one note given.
    auto converts = [](const std::string& in, const std::string& out, const std::string& note = "") {
        Outcome outcome = Tniff({"convert", in, out});
        EXPECT_EQ(outcome.status, 0) << in << " to " << out << ": " << Describe(outcome);
        EXPECT_EQ(outcome.err, note.empty() ? "" : "tniff: note: " + note + "\n") << in << " to " << out;
        return outcome.status == 0;
    };

    // RGBA, 4000 bytes a row: 600 rows are two blocks and a part.
    const int width = 1000, height = 600;
    const Bytes rgba = Pattern(size_t(width) * height * 4, 77);
    Bytes rgb;
    for (size_t i = 0; i < rgba.size(); ++i) {
        if (i % 4 != 3) rgb.push_back(rgba[i]);
    }
    WriteFile(scratch / "in.pam", PamBytes(width, height, 4, rgba));
    ASSERT_TRUE(converts(scratch / "in.pam", scratch / "in.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "in.iff"), 0, 4), rgba);

    ASSERT_TRUE(converts(scratch / "in.iff", scratch / "out.pam"));
    EXPECT_EQ(ReadBytesOf(scratch / "out.pam"),
              joined(text("P7\nWIDTH 1000\nHEIGHT 600\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"), rgba));
    ASSERT_TRUE(converts(scratch / "in.iff", scratch / "out.ppm",
                         scratch / "out.ppm" + ": the alpha channel is not written; PGM and PPM hold none"));
    EXPECT_EQ(ReadBytesOf(scratch / "out.ppm"), joined(text("P6\n1000 600\n255\n"), rgb));
    ASSERT_TRUE(converts(scratch / "out.ppm", scratch / "from-ppm.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-ppm.iff"), 0, 3), rgb);
    ASSERT_TRUE(converts(scratch / "in.iff", scratch / "out.png"));
    ASSERT_TRUE(converts(scratch / "out.png", scratch / "from-png.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-png.iff"), 0, 4), rgba);

    // The same pixels in an interlaced PNG, whose passes each visit every row.
    PngSpec interlaced;
    interlaced.width = width;
    interlaced.height = height;
    interlaced.colourType = 6;
    interlaced.interlaced = true;
    for (int y = 0; y < height; ++y) {
        const auto row = rgba.begin() + std::ptrdiff_t(y) * width * 4;
        interlaced.samples.emplace_back(row, row + width * 4);
    }
    WriteFile(scratch / "interlaced.png", PngBytes(interlaced));
    ASSERT_TRUE(converts(scratch / "interlaced.png", scratch / "from-interlaced.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-interlaced.iff"), 0, 4), rgba);

    // Samples of 16 bits (b * 257 is b exactly) and of MAXVAL 85 (v is 3 v), read a row at a time
    // and scaled.
    Bytes samples16, samples85, times3;
    for (size_t i = 0; i < rgb.size(); ++i) {
        samples16.insert(samples16.end(), {rgb[i], rgb[i]});
        samples85.push_back(uint8_t(rgb[i] % 86));
        times3.push_back(uint8_t(rgb[i] % 86 * 3));
    }
    WriteFile(scratch / "wide.pam", PamBytes(width, height, 3, samples16, 65535));
    ASSERT_TRUE(converts(scratch / "wide.pam", scratch / "from-wide.iff",
                         scratch / "wide.pam" + ": its 16-bit samples are stored as 8 bits; the format holds 8 "
                                                "bits per channel"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-wide.iff"), 0, 3), rgb);
    WriteFile(scratch / "narrow.pam", PamBytes(width, height, 3, samples85, 85));
    ASSERT_TRUE(converts(scratch / "narrow.pam", scratch / "from-narrow.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-narrow.iff"), 0, 3), times3);

    // Gray, 3000 bytes a row: 700 rows are two blocks and two rows.
    const Bytes gray = Pattern(size_t(3000) * 700, 78);
    WriteFile(scratch / "gray.pam", PamBytes(3000, 700, 1, gray));
    ASSERT_TRUE(converts(scratch / "gray.pam", scratch / "gray.iff"));
    ASSERT_TRUE(converts(scratch / "gray.iff", scratch / "gray.pgm"));
    EXPECT_EQ(ReadBytesOf(scratch / "gray.pgm"), joined(text("P5\n3000 700\n255\n"), gray));
    ASSERT_TRUE(converts(scratch / "gray.pgm", scratch / "from-pgm.iff"));
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-pgm.iff"), 0, 1), gray);
}

// ---- TIFF files, written and read here with libtiff -----------------------------------------------

class ConvertTiffOut : public ::testing::TestWithParam<int> {};

// The colour image and the depth buffer as TIFF, read back with libtiff; the same bytes again;
// and back to .iff, from the file and from standard input, as the module saves the .iff itself.
TEST_P(ConvertTiffOut, HoldsWhatTheModuleGivesAndComesBack) {
    const int channels = GetParam();
    // A depth buffer alone (0 channels) is written as a gray image of it, with a note.
    const int shown = channels == 0 ? 1 : channels;
    Scratch scratch;
    WriteFile(scratch / "in.iff", BuildIff(100, 70, channels, true, uint64_t(channels) * 5 + 1).bytes);
    const tniff::Image opened = OpenInProcess(scratch / "in.iff");
    Outcome out = Tniff({"convert", scratch / "in.iff", scratch / "out.tiff", "--depth", scratch / "depth.tif"});
    ASSERT_EQ(out.status, 0) << Describe(out);
    EXPECT_EQ(out.err, channels == 0 ? DepthOnlyNote(scratch / "in.iff") : "");
    for (const char* name : {"out.tiff", "depth.tif"}) {
        const bool depth = name[0] == 'd';
        TIFF* tiff = TIFFOpen((scratch / name).c_str(), "r");
        ASSERT_NE(tiff, nullptr) << name;
        uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, unit = 0, extras = 0, *extra = nullptr;
        float x = 0, y = 0;
        char* date = nullptr;
        TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x);
        TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y);
        TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extras, &extra);
        EXPECT_EQ(TIFFGetField(tiff, TIFFTAG_DATETIME, &date), 0);
        EXPECT_EQ(bits, 8);
        EXPECT_EQ(samples, depth ? 1 : shown);
        EXPECT_EQ(photometric, depth || shown == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        EXPECT_EQ(compression, COMPRESSION_ADOBE_DEFLATE);
        EXPECT_EQ(extras == 1 && extra[0] == EXTRASAMPLE_UNASSALPHA, !depth && channels == 4);
        EXPECT_EQ(unit, RESUNIT_INCH);
        EXPECT_EQ(x, 72.0f);
        EXPECT_EQ(y, 72.0f);
        Bytes pixels(size_t(TIFFScanlineSize(tiff)) * 70);
        for (uint32_t row = 0; row < 70; ++row) {
            EXPECT_GE(TIFFReadScanline(tiff, pixels.data() + pixels.size() / 70 * row, row, 0), 0);
        }
        TIFFClose(tiff);
        EXPECT_EQ(pixels, depth ? Interleaved(opened, channels, 1) : Interleaved(opened, 0, shown)) << name;
    }
    ASSERT_EQ(Tniff({"convert", scratch / "in.iff", scratch / "again.tiff"}).status, 0);
    EXPECT_EQ(ReadBytesOf(scratch / "again.tiff"), ReadBytesOf(scratch / "out.tiff"));

    ASSERT_EQ(Tniff({"convert", scratch / "in.iff", scratch / "direct.iff"}).status, 0);
    Outcome back = Tniff({"convert", scratch / "out.tiff", scratch / "back.iff"});
    ASSERT_EQ(back.status, 0) << Describe(back);
    RunSettings piped;
    piped.stdinPath = scratch / "out.tiff";
    ASSERT_EQ(Tniff({"convert", "-", scratch / "piped.iff"}, piped).status, 0);
    const Bytes direct = ReadBytesOf(scratch / "direct.iff");
    EXPECT_TRUE(ReadBytesOf(scratch / "back.iff") == direct);
    EXPECT_TRUE(ReadBytesOf(scratch / "piped.iff") == direct);
}

INSTANTIATE_TEST_SUITE_P(GrayRgbRgba, ConvertTiffOut, ::testing::Values(0, 1, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return "Channels" + std::to_string(info.param); });

// The module saves gray as three equal channels; PNG and TIFF output make it gray again, with its
// alpha, the same pixels; --rgb keeps the three channels.
TEST(Convert, GrayStaysGrayInPngAndTiff) {
    for (int channels : {1, 2}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        Scratch scratch;
        PngSpec gray;
        gray.width = 70;
        gray.height = 3;
        gray.colourType = channels == 1 ? 0 : 4;
        for (int y = 0; y < 3; ++y) {
            gray.samples.emplace_back();
            for (int i = 0; i < 70 * channels; ++i) gray.samples.back().push_back((i * 7 + y * 40) % 256);
        }
        WriteFile(scratch / "gray.png", PngBytes(gray));
        ASSERT_EQ(Tniff({"convert", scratch / "gray.png", scratch / "gray.iff"}).status, 0);
        ASSERT_EQ(Tniff({"convert", scratch / "gray.iff", scratch / "out.png"}).status, 0);
        ASSERT_EQ(Tniff({"convert", scratch / "gray.iff", scratch / "out.tiff"}).status, 0);
        ASSERT_EQ(Tniff({"convert", "--rgb", scratch / "gray.iff", scratch / "rgb.png"}).status, 0);
        Bytes pixels;
        for (const std::vector<int>& row : gray.samples) pixels.insert(pixels.end(), row.begin(), row.end());
        const Pam png = DecodePng(scratch / "out.png", scratch);
        EXPECT_EQ(png.depth, channels);
        EXPECT_EQ(png.pixels, pixels);
        EXPECT_EQ(DecodePng(scratch / "rgb.png", scratch).depth, channels + 2);
        TIFF* tiff = TIFFOpen((scratch / "out.tiff").c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        uint16_t samples = 0, photometric = 0;
        TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFClose(tiff);
        EXPECT_EQ(samples, channels);
        EXPECT_EQ(photometric, PHOTOMETRIC_MINISBLACK);
    }
}

// A file with a depth buffer and no colour channels: one plane, which PAM takes as depth and every
// other output as the gray image it is shown as (PNG and TIFF in the tables above).
TEST(Convert, DepthOnlyFileGoesToPam) {
    Scratch scratch;
    WriteFile(scratch / "in.iff", BuildIff(50, 40, 0, true, 41).bytes);
    tniff::Image opened = OpenInProcess(scratch / "in.iff");
    ASSERT_EQ(opened.planes(), 1);

    Outcome pam = Tniff({"convert", scratch / "in.iff", scratch / "out.pam", "--depth", scratch / "depth.png"});
    ASSERT_EQ(pam.status, 0) << Describe(pam);
    Pam all = ReadPam(scratch / "out.pam");
    EXPECT_EQ(all.tupleType, "DEPTH");
    EXPECT_EQ(all.pixels, Interleaved(opened, 0, 1));
    EXPECT_EQ(DecodePng(scratch / "depth.png", scratch).pixels, Interleaved(opened, 0, 1));

    EXPECT_EQ(pam.err, "");

    for (const char* type : {"pgm", "ppm"}) {
        SCOPED_TRACE(type);
        const std::string out = scratch / (std::string("out.") + type);
        Outcome netpbm = Tniff({"convert", scratch / "in.iff", out});
        ASSERT_EQ(netpbm.status, 0) << Describe(netpbm);
        EXPECT_EQ(netpbm.err, DepthOnlyNote(scratch / "in.iff"));
        const std::string header = std::string(type[1] == 'g' ? "P5" : "P6") + "\n50 40\n255\n";
        Bytes expected(header.begin(), header.end());
        for (uint8_t value : Interleaved(opened, 0, 1)) expected.insert(expected.end(), type[1] == 'g' ? 1 : 3, value);
        EXPECT_EQ(ReadBytesOf(out), expected);
    }
}

// ---- The sample the quick start converts ----------------------------------------------------------------

// A 32-bit TIFF of two samples as tniff's --raw-depth writes it: the values and the mask.
struct RawDepthTiff {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, format = 0, extra = 0, extraKind = 0;
    std::vector<uint32_t> values, mask;
};

RawDepthTiff ReadRawDepthTiff(const std::string& path) {
    RawDepthTiff t;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) return t;
    uint16_t* kinds = nullptr;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &t.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &t.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &t.bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &t.samples);
    TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &t.format);
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &t.extra, &kinds) && t.extra > 0) t.extraKind = kinds[0];
    if (t.bits == 32 && t.samples == 2) {
        std::vector<uint32_t> row(size_t(t.width) * 2);
        for (uint32_t y = 0; y < t.height; ++y) {
            if (TIFFReadScanline(tiff, row.data(), y, 0) < 0) break;
            for (uint32_t x = 0; x < t.width; ++x) {
                t.values.push_back(row[2 * x]);
                t.mask.push_back(row[2 * x + 1]);
            }
        }
    }
    TIFFClose(tiff);
    return t;
}

// --raw-depth: the depth values exactly as the file stores them, as integers or as the bits of
// floats, with a mask that tells pixels without depth (top byte 0) apart; the 8-bit depth of
// --depth is the module's, unchanged beside it.
TEST(RawDepth, TheStoredValuesAndTheirMaskToA32BitTiff) {
    Scratch scratch;
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(130, 70, 4, true);
    fileSpec.image.FillRandom(31, 6);
    fileSpec.image.FillRandomDepth(32, 0x3F000000u, 0x3F800000u, 20);
    fileSpec.order = iffbuild::TileOrder::Shuffled;
    WriteFile(scratch / "in.iff", iffbuild::BuildFile(fileSpec).bytes);
    const std::vector<uint32_t>& depth = fileSpec.image.depth;

    for (bool asFloat : {false, true}) {
        std::vector<std::string> arguments = {"convert", scratch / "in.iff", scratch / "out.png",
                                              "--raw-depth", scratch / "z.tif"};
        if (asFloat) arguments.push_back("--float-depth");
        Outcome run = Tniff(arguments);
        ASSERT_EQ(run.status, 0) << Describe(run);
        const RawDepthTiff t = ReadRawDepthTiff(scratch / "z.tif");
        EXPECT_EQ(t.width, 130u);
        EXPECT_EQ(t.height, 70u);
        EXPECT_EQ(t.bits, 32);
        EXPECT_EQ(t.samples, 2);
        EXPECT_EQ(t.format, asFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
        EXPECT_EQ(t.extra, 1);
        EXPECT_EQ(t.extraKind, EXTRASAMPLE_UNASSALPHA);
        ASSERT_EQ(t.values, depth);
        size_t empty = 0;
        for (size_t i = 0; i < depth.size(); ++i) {
            const bool present = (depth[i] >> 24) != 0;
            empty += present ? 0 : 1;
            ASSERT_EQ(t.mask[i], present ? (asFloat ? 0x3F800000u : 0xFFFFFFFFu) : 0u) << i;
        }
        EXPECT_GT(empty, 0u);
    }

    // Many files: each frame's values beside its output, named so that they stay a sequence,
    // the file after --raw-depth one more input.
    fs::create_directory(scratch / "seq");
    fs::copy_file(scratch / "in.iff", scratch / "seq/f.0007.iff");
    fs::copy_file(scratch / "in.iff", scratch / "seq/f.0008.iff");
    Outcome batch = Tniff({"convert", "--to", "png", "-o", scratch / "out", "--raw-depth", scratch / "seq/f.0007.iff",
                           scratch / "seq/f.0008.iff", "--float-depth"});
    ASSERT_EQ(batch.status, 0) << Describe(batch);
    for (const char* frame : {"0007", "0008"}) {
        const RawDepthTiff t = ReadRawDepthTiff(scratch / ("out/f_rawdepth." + std::string(frame) + ".tif"));
        EXPECT_EQ(t.format, SAMPLEFORMAT_IEEEFP) << frame;
        EXPECT_EQ(t.values, depth) << frame;
        EXPECT_TRUE(Exists(scratch / ("out/f." + std::string(frame) + ".png"))) << frame;
    }

    // A file without depth: its colour image, a note and no depth file, as --depth does.
    WriteFile(scratch / "flat.iff", BuildIff(40, 30, 3, false, 33).bytes);
    Outcome flat = Tniff({"convert", scratch / "flat.iff", scratch / "flat.png", "--raw-depth", scratch / "flat.tif"});
    EXPECT_EQ(flat.status, 0) << Describe(flat);
    EXPECT_NE(flat.err.find("flat.iff: the file has no depth buffer; only its colour image is written"),
              std::string::npos) << flat.err;
    EXPECT_TRUE(Exists(scratch / "flat.png"));
    EXPECT_FALSE(Exists(scratch / "flat.tif"));

    struct Refusal {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Refusal refusals[] = {
        {{"convert", "IN", "OUT", "--raw-depth", "Z.png"}, "Z.png: the depth values as stored go to a 32-bit .tif or .tiff file"},
        {{"convert", "IN", "OUT", "--float-depth"}, "--float-depth says how --raw-depth FILE.tif is written; give both"},
        {{"convert", "IN", "OUT", "--raw-depth", "IN"}, "IN: the --raw-depth output is the input file; write to another file"},
        {{"convert", "IN", "--to", "png", "-o", "DIR", "--raw-depth=Z.tif"}, "--raw-depth takes no file when converting many files"},
    };
    for (const Refusal& r : refusals) {
        std::vector<std::string> arguments;
        for (std::string a : r.arguments) {
            for (auto [mark, path] : {std::pair<const char*, std::string>{"IN", scratch / "in.iff"},
                                      {"OUT", scratch / "r.png"},
                                      {"Z.", scratch / "r-z."},
                                      {"DIR", scratch / "dir"}}) {
                if (a.compare(0, std::strlen(mark), mark) == 0) a = path + a.substr(std::strlen(mark));
            }
            arguments.push_back(a);
        }
        Outcome refused = Tniff(arguments);
        EXPECT_EQ(refused.status, 2) << Describe(refused);
        std::string message = r.message;
        for (auto [mark, path] : {std::pair<const char*, std::string>{"IN", scratch / "in.iff"}, {"Z.", scratch / "r-z."}}) {
            if (message.compare(0, std::strlen(mark), mark) == 0) message = path + message.substr(std::strlen(mark));
        }
        EXPECT_EQ(refused.err.substr(0, 7 + message.size()), "tniff: " + message) << refused.err;
        EXPECT_FALSE(Exists(scratch / "r.png"));
    }
}

TEST(Sample, ConvertsToColourAndDepthPngs) {
    Scratch scratch;
    const std::string sample = std::string(TNIFF_SOURCE_DIR) + "/samples/render.iff";
    tniff::Image opened = OpenInProcess(sample);
    ASSERT_EQ(opened.planes(), 5);
    EXPECT_EQ(opened.mode(), plugInModeRGBColor);
    EXPECT_GE(opened.width(), 200);
    EXPECT_GE(opened.height(), 200);

    Outcome run = Tniff({"convert", sample, scratch / "render.png", "--depth", scratch / "render-depth.png"});
    ASSERT_EQ(run.status, 0) << Describe(run);
    Pam colour = DecodePng(scratch / "render.png", scratch);
    Pam depth = DecodePng(scratch / "render-depth.png", scratch);
    EXPECT_EQ(colour.pixels, Interleaved(opened, 0, 4));
    EXPECT_EQ(depth.pixels, Interleaved(opened, 4, 1));
    // Both carry the module's 72 dpi as pHYs: 2835 pixels per metre either way, unit metre.
    for (const char* png : {"render.png", "render-depth.png"}) {
        const Bytes bytes = ReadBytesOf(scratch / png);
        const Bytes tag = {'p', 'H', 'Y', 's'};
        const auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end());
        ASSERT_TRUE(at != bytes.end() && bytes.end() - at >= 13) << png;
        EXPECT_EQ(Bytes(at + 4, at + 13), (Bytes{0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1})) << png;
    }

    // A scene, not a blank: transparent sky at the top, an opaque floor at the bottom, and depth
    // that spans the range the module scales it to.
    const int w = opened.width(), h = opened.height();
    EXPECT_EQ(opened.at(3, 0, 0), 0);
    EXPECT_EQ(opened.at(3, h - 1, w / 2), 255);
    EXPECT_EQ(opened.at(4, 0, 0), 0);
    int lowest = 255, highest = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (opened.at(3, y, x) == 255) {
                lowest = std::min<int>(lowest, opened.at(4, y, x));
                highest = std::max<int>(highest, opened.at(4, y, x));
            }
    EXPECT_EQ(lowest, 0);
    EXPECT_EQ(highest, 255);
}

// ---- info -----------------------------------------------------------------------------------------------

// Python reads the JSON and prints the values checked here, one record a line.
const char kJsonSummary[] = R"(
import json, sys
for f in json.load(open(sys.argv[1])):
    if 'error' in f:
        print('error', f['file'], f.get('code'), f.get('codeName'))
        continue
    i, h, r = f['image'], f['header'], f['read']
    print('image', i['width'], i['height'], i['mode'], i['planes'], ','.join(i['planeNames']), i['depthPlane'])
    print('header', h['size'], h['width'], h['height'], h['flags'], h['tileCount'], h['compression'])
    print('read', r['complete'], r['colourTiles'], r['depthTiles'])
    for t in f['tiles']:
        print('tile', t['kind'], t['offset'], t['size'], t['x1'], t['y1'], t['x2'], t['y2'], t['compressed'])
    print('bytes', f['storedBytes'], f['rawBytes'], f['truncated'])
)";

std::string ExpectedSummary(const iffbuild::BuiltFile& built, const std::string& mode, const std::string& planeNames,
                            int planes, const std::string& depthPlane) {
    std::ostringstream s;
    const iffbuild::Header& h = built.header;
    s << "image " << h.width << " " << h.height << " " << mode << " " << planes << " " << planeNames << " "
      << depthPlane << "\n";
    s << "header " << 32 + h.extra.size() << " " << h.width << " " << h.height << " " << h.flags << " " << h.tileCount
      << " " << h.compression << "\n";
    bool hasDepth = (h.flags & iffbuild::kFlagDepth) != 0;
    s << "read True " << (iffbuild::ColourChannels(h.flags) > 0 ? h.tileCount : 0) << " "
      << (hasDepth ? h.tileCount : 0) << "\n";
    uint64_t stored = 0, raw = 0;
    for (const iffbuild::PlacedTile& tile : built.tiles) {
        bool depth = tile.kind == iffbuild::Kind::Depth;
        s << "tile " << (depth ? "ZBUF" : "RGBA") << " " << tile.offset << " " << tile.sizeField << " " << tile.rect.x1
          << " " << tile.rect.y1 << " " << tile.rect.x2 << " " << tile.rect.y2 << " "
          << (tile.compressed ? "True" : "False") << "\n";
        stored += tile.sizeField - 8;
        raw += uint64_t(tile.rect.Width()) * tile.rect.Height() * (depth ? 4 : iffbuild::ColourChannels(h.flags));
    }
    s << "bytes " << stored << " " << raw << " False\n";
    return s.str();
}

TEST(Info, JsonListsWhatTheModuleSaysAndEveryTileAsBuilt) {
    Scratch scratch;
    // Raw and compressed tiles side by side; a longer header; depth; gray.
    iffbuild::FileSpec mixed;
    mixed.image = iffbuild::Image::Blank(130, 70, 4, true);
    mixed.image.FillRandom(7, 4);
    mixed.image.FillRandomDepth(8);
    mixed.kinds = iffbuild::KindOrder::Interleaved;
    mixed.formFor = [](size_t index, const iffbuild::PlacedTile&) {
        return index % 3 == 0 ? iffbuild::Form::Raw : iffbuild::Form::Smallest;
    };
    mixed.editHeader = [](iffbuild::Header& header) { header.extra = Bytes(8, 0xEE); };
    iffbuild::BuiltFile first = iffbuild::BuildFile(mixed);
    iffbuild::BuiltFile second = BuildIff(64, 64, 3, false, 11, iffbuild::Form::Raw);
    iffbuild::BuiltFile third = BuildIff(65, 10, 1, true, 12);
    WriteFile(scratch / "a.iff", first.bytes);
    WriteFile(scratch / "b.iff", second.bytes);
    WriteFile(scratch / "c.iff", third.bytes);

    Outcome info = Tniff({"info", "--json", scratch / "a.iff", scratch / "b.iff", scratch / "c.iff"});
    ASSERT_EQ(info.status, 0) << Describe(info);
    EXPECT_EQ(info.err, "");
    WriteText(scratch / "info.json", info.out);
    Outcome summary = RunProgram("python3", {"-c", kJsonSummary, scratch / "info.json"});
    ASSERT_EQ(summary.status, 0) << Describe(summary);
    EXPECT_EQ(summary.out, ExpectedSummary(first, "RGB colour", "red,green,blue,alpha,depth", 5, "4") +
                               ExpectedSummary(second, "RGB colour", "red,green,blue", 3, "None") +
                               ExpectedSummary(third, "grayscale", "gray,depth", 2, "1"));
}

TEST(Info, TextNamesThePlanesTheHeaderAndEachTile) {
    Scratch scratch;
    iffbuild::BuiltFile built = BuildIff(70, 64, 4, true, 3);
    WriteFile(scratch / "a.iff", built.bytes);
    Outcome info = Tniff({"info", scratch / "a.iff"});
    ASSERT_EQ(info.status, 0) << Describe(info);
    const std::string& out = info.out;
    EXPECT_NE(out.find("70 x 64, RGB colour, 8 bits per channel, 5 planes (red, green, blue, alpha, depth)"),
              std::string::npos) << out;
    EXPECT_NE(out.find("72 x 72 dpi"), std::string::npos) << out;
    EXPECT_NE(out.find("flags 7 (rgb, alpha, depth), tile count 2"), std::string::npos) << out;
    EXPECT_NE(out.find("4: 2 RGBA, 2 ZBUF"), std::string::npos) << out;
    // One line per tile: index, kind, x1, y1, x2, y2, stored bytes, form.
    for (size_t i = 0; i < built.tiles.size(); ++i) {
        const iffbuild::PlacedTile& tile = built.tiles[i];
        std::ostringstream line;
        line << i << "  " << (tile.kind == iffbuild::Kind::Depth ? "ZBUF" : "RGBA");
        EXPECT_NE(out.find(line.str()), std::string::npos) << line.str() << "\n" << out;
        EXPECT_NE(out.find(std::to_string(tile.sizeField - 8) + "  " + (tile.compressed ? "compressed" : "raw      ")),
                  std::string::npos) << "tile " << i << "\n" << out;
    }
    EXPECT_NE(out.find("pixel data"), std::string::npos) << out;

    // A depth buffer alone is named so, though the module hands it to the host as gray.
    WriteFile(scratch / "z.iff", BuildIff(50, 40, 0, true, 4).bytes);
    Outcome depthOnly = Tniff({"info", scratch / "z.iff"});
    ASSERT_EQ(depthOnly.status, 0) << Describe(depthOnly);
    EXPECT_NE(depthOnly.out.find("  image        50 x 40, a depth buffer alone, 8 bits per channel, 1 plane (depth)\n"),
              std::string::npos) << depthOnly.out;
}

TEST(Info, GoesOnPastAFileItCannotReadAndSaysWhy) {
    Scratch scratch;
    WriteFile(scratch / "good.iff", BuildIff(8, 8, 3, false, 1).bytes);
    const char notAnImage[] = "FOR4\0\0\0\x10TBMP and more text besides";
    WriteFile(scratch / "bad.iff", Bytes(notAnImage, notAnImage + sizeof notAnImage - 1));
    Outcome text = Tniff({"info", scratch / "bad.iff", scratch / "good.iff"});
    EXPECT_EQ(text.status, 1) << Describe(text);
    EXPECT_NE(text.out.find("8 x 8, RGB colour"), std::string::npos) << text.out;
    EXPECT_EQ(text.err, "tniff: " + (scratch / "bad.iff") +
                            ": not an image in this format: it is an IFF file of another type (formatCannotRead, -30501)\n"
                            "tniff: 2 files: 1 whole, 0 damaged, 0 incomplete, 0 missing, 1 not readable\n");

    Outcome json = Tniff({"info", "--json", scratch / "bad.iff", scratch / "good.iff"});
    EXPECT_EQ(json.status, 1);
    WriteText(scratch / "info.json", json.out);
    Outcome summary = RunProgram("python3", {"-c", kJsonSummary, scratch / "info.json"});
    ASSERT_EQ(summary.status, 0) << Describe(summary);
    EXPECT_EQ(summary.out.substr(0, summary.out.find('\n')), "error " + (scratch / "bad.iff") + " -30501 formatCannotRead");
    EXPECT_NE(summary.out.find("image 8 8 RGB colour 3"), std::string::npos) << summary.out;
}

// A 70 x 64 RGB file of raw tiles in one row, as a damaged file's starting point: the tile
// group at 92 claims 13476 bytes; tile 0 (x 0-63) at 104 claims 12296, tile 1 (x 64-69) at
// 12408 claims 1160; the file ends at 13576.
iffbuild::FileSpec RawTwoTiles() {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(70, 64, 3);
    fileSpec.image.FillRandom(5, 4);
    fileSpec.form = iffbuild::Form::Raw;
    return fileSpec;
}

struct DamagedCase {
    const char* name;
    std::function<Bytes()> make;
    bool refused;       // the module refuses the file, and says so with the reason
    const char* brief;  // --brief's line between the file's name and the reason
    const char* reason;
    uint64_t offset;       // where the walk stops, or of the damaged tile
    const char* verdict;   // what a check of a sequence counts it as: "damaged" or "incomplete"
    bool inATile = false;  // a compressed tile's run stream is damaged; the walk goes on
};

// RawTwoTiles' image all zero and compressed: tile 1 (x 64-69) at 312 holds three planes of
// 384 bytes, each three run packets of 128 zeros; with the stream's 18 bytes zeroed (one-byte
// literal packets) it ends in plane 1.
Bytes ZeroedRunStream() {
    iffbuild::FileSpec fileSpec = RawTwoTiles();
    fileSpec.image = iffbuild::Image::Blank(70, 64, 3);
    fileSpec.form = iffbuild::Form::Compressed;
    iffbuild::BuiltFile built = iffbuild::BuildFile(fileSpec);
    iffbuild::ZeroTilePixels(built, 1);
    return built.bytes;
}

const DamagedCase kDamagedCases[] = {
    {"CutInsideATile",
     [] { return iffbuild::Truncated(iffbuild::BuildFile(RawTwoTiles()).bytes, 12428); }, false,
     "70 x 64, RGB, 3 planes, depth no, tiles INCOMPLETE (1/2 colour, 0/0 depth)",
     "chunk \"RGBA\" at offset 12408 claims 1160 bytes, but the file ends at 12428", 12408, "incomplete"},
    {"TileOutsideTheImage",
     [] {
         iffbuild::FileSpec fileSpec = RawTwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.width = 64; };
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     true, "64 x 64, RGB, 3 planes, depth no, tiles INCOMPLETE (1/2 colour, 0/0 depth)",
     "tile rectangle 64,0-69,63 at offset 12408 lies outside the 64 x 64 image", 12408, "damaged"},
    {"HeightZero",
     [] {
         iffbuild::FileSpec fileSpec = RawTwoTiles();
         fileSpec.editHeader = [](iffbuild::Header& h) { h.height = 0; };
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     true, "70 x 0, RGB, 3 planes, depth no, tiles INCOMPLETE (0/2 colour, 0/0 depth)",
     "header \"TBHD\" at offset 24: height 0; an image is 1 to 32767 pixels high", 24, "damaged"},
    {"TileGroupSmallerThanItsTiles",  // the module reads it all, as it goes by the tiles' sizes
     [] {
         iffbuild::BuiltFile built = iffbuild::BuildFile(RawTwoTiles());
         iffbuild::FileWriter w;
         w.Append(built.bytes);
         w.PatchU32(built.tbmpOffset + 4, 12312);
         return w.Finish();
     },
     false, "70 x 64, RGB, 3 planes, depth no, tiles INCOMPLETE (1/2 colour, 0/0 depth)",
     "chunk \"RGBA\" at offset 12408 ends at 13576, past the end of its group \"FOR4 TBMP\" at "
     "offset 92 (at 12412)",
     12408, "damaged"},
    {"FewerTilesThanAnnounced",
     [] {
         iffbuild::FileSpec fileSpec = RawTwoTiles();
         fileSpec.tileCount = 3;
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     false, "70 x 64, RGB, 3 planes, depth no, tiles INCOMPLETE (2/3 colour, 0/0 depth)",
     "tile group \"FOR4 TBMP\" at offset 92 ends at 13576 with only 2 of the 3 colour tiles that "
     "the header announces",
     13576, "incomplete"},
    {"TooFewTilesForTheImage",  // what convert refuses as incomplete
     [] {
         iffbuild::FileSpec fileSpec = RawTwoTiles();
         fileSpec.tileCount = 1;
         return iffbuild::BuildFile(fileSpec).bytes;
     },
     false, "70 x 64, RGB, 3 planes, depth no, tiles INCOMPLETE (1/1 colour, 0/0 depth)",
     "the header announces 1 tile, which leave 384 of the image's 4480 pixels uncovered", 13576,
     "incomplete"},
    {"RunStreamEndsEarly", ZeroedRunStream, false,
     "70 x 64, RGB, 3 planes, depth no, tiles DAMAGED (2/2 colour, 0/0 depth)",
     "tile 1 (RGBA 64,0-69,63 at offset 312): its run stream of 18 bytes ends in plane 1 of 3 (9 "
     "of its 384 bytes filled)",
     312, "damaged", true},
};

const char kJsonDamage[] = R"(
import json, sys
f = json.load(open(sys.argv[1]))[0]
print(f['damage']['offset'], f['damage']['chunk'], f['damage']['reason'], len(f['tiles']))
)";

const char kJsonDamagedTile[] = R"(
import json, sys
f = json.load(open(sys.argv[1]))[0]
t = f['damagedTiles'][0]
assert f['read']['complete'] is False and 'damage' not in f
print(t['offset'], t['kind'], 'tile %d (%s %d,%d-%d,%d at offset %d): %s' % (
    t['index'], t['kind'], t['x1'], t['y1'], t['x2'], t['y2'], t['offset'], t['reason']))
)";

class InfoOnDamage : public ::testing::TestWithParam<DamagedCase> {};

// info prints the layout up to the damage and the reason, and fails; --brief never calls such a
// file complete; --json carries the damage.
TEST_P(InfoOnDamage, PrintsTheLayoutUpToTheDamageAndWhyAndFails) {
    const DamagedCase& c = GetParam();
    Scratch scratch;
    const std::string path = scratch / "damaged.iff";
    WriteFile(path, c.make());
    const std::string refusal = "tniff: " + path + ": not an image in this format: " + c.reason +
                                " (formatCannotRead, -30501)\n";

    Outcome text = Tniff({"info", path});
    EXPECT_EQ(text.status, 1) << Describe(text);
    EXPECT_EQ(text.err, c.refused ? refusal : "");
    EXPECT_EQ(text.out.substr(0, path.size() + 1), path + "\n") << text.out;
    EXPECT_NE(text.out.find("  chunks       FOR4 CIMG at 0\n"), std::string::npos) << text.out;
    const std::string damage =
        (c.inATile ? "  damaged      " : "  damage       ") + std::string(c.reason) + "\n";
    ASSERT_GE(text.out.size(), damage.size());
    EXPECT_EQ(text.out.substr(text.out.size() - damage.size()), damage) << text.out;

    Outcome brief = Tniff({"info", "--brief", path});
    EXPECT_EQ(brief.status, 1) << Describe(brief);
    EXPECT_EQ(brief.out, path + ": " + c.brief + "; " + c.reason + "\n");

    // As frame 7 of a sequence whose frame 8 is missing, both forms count it as damaged or as
    // incomplete.
    fs::copy_file(path, scratch / "frame.0007.iff");
    for (bool brief : {true, false}) {
        std::vector<std::string> arguments = {"info", scratch / "frame.####.iff", "--frames", "7-8"};
        if (brief) arguments.push_back("--brief");
        Outcome sequence = Tniff(arguments);
        const std::string form = brief ? "--brief" : "text";
        EXPECT_EQ(sequence.status, 1) << Describe(sequence);
        const bool damaged = std::string(c.verdict) == "damaged";
        const std::string tally = "tniff: 2 files: 0 whole, " + std::string(damaged ? "1" : "0") + " damaged, " +
                                  (damaged ? "0" : "1") + " incomplete, 1 missing\n";
        ASSERT_GE(sequence.err.size(), tally.size()) << form << Describe(sequence);
        EXPECT_EQ(sequence.err.substr(sequence.err.size() - tally.size()), tally) << form;
    }

    Outcome json = Tniff({"info", "--json", path});
    EXPECT_EQ(json.status, 1) << Describe(json);
    WriteText(scratch / "info.json", json.out);
    Outcome damageOf = RunProgram(
        "python3", {"-c", c.inATile ? kJsonDamagedTile : kJsonDamage, scratch / "info.json"});
    ASSERT_EQ(damageOf.status, 0) << Describe(damageOf);
    EXPECT_EQ(damageOf.out.substr(0, damageOf.out.find(' ')), std::to_string(c.offset));
    EXPECT_NE(damageOf.out.find(c.reason), std::string::npos) << damageOf.out;

    if (c.refused) {
        Outcome convert = Tniff({"convert", path, scratch / "out.png"});
        EXPECT_EQ(convert.status, 1);
        EXPECT_EQ(convert.err, refusal);
    }
    if (c.inATile) {  // refused as an incomplete file is, and converted with --partial
        Outcome convert = Tniff({"convert", path, scratch / "out.png"});
        EXPECT_EQ(convert.status, 1);
        const std::string damaged = path + ": damaged: " + c.reason;
        EXPECT_EQ(convert.err,
                  "tniff: " + damaged + " (use --partial to convert what there is)\n");
        EXPECT_FALSE(Exists(scratch / "out.png"));
        Outcome partial = Tniff({"convert", "--partial", path, scratch / "out.png"});
        EXPECT_EQ(partial.status, 0) << Describe(partial);
        EXPECT_EQ(partial.err, "tniff: note: " + damaged + "; the rest of the image is 0\n");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryDamage, InfoOnDamage, ::testing::ValuesIn(kDamagedCases),
                         [](const ::testing::TestParamInfo<DamagedCase>& info) {
                             return std::string(info.param.name);
                         });

const char kJsonFiles[] = R"(
import json, sys
for f in json.load(open(sys.argv[1])):
    print(f['file'].rsplit('/', 1)[1], 'error: ' + f['error'] if 'error' in f else 'image')
)";

// info on a sequence: every frame of --frames in its place, also those missing, empty, cut short
// or of another format, in the same words as for one file; a count of each kind at the end on
// stderr (not with --quiet); JSON gives the missing frame an object with its error. Without
// --frames the frames that are there.
TEST(Info, ASequenceGivesEveryFrameInItsPlaceAndACount) {
    Scratch scratch;
    const Bytes whole = BuildIff(8, 8, 3, false, 1).bytes;
    WriteFile(scratch / "frame.1001.iff", whole);
    WriteFile(scratch / "frame.1003.iff", Bytes());
    WriteFile(scratch / "frame.1004.iff", iffbuild::Truncated(whole, whole.size() / 2));
    WriteText(scratch / "frame.1005.iff", "a log, not a frame\n");
    const std::string pattern = scratch / "frame.####.iff";
    const std::string tally = "tniff: 5 files: 1 whole, 0 damaged, 2 incomplete, 1 missing, 1 not readable\n";

    Outcome brief = Tniff({"info", "--brief", pattern, "--frames", "1001-1005"});
    EXPECT_EQ(brief.status, 1) << Describe(brief);
    EXPECT_EQ(brief.err, tally);
    std::vector<std::string> lines;
    std::istringstream listing(brief.out);
    for (std::string line; std::getline(listing, line);) lines.push_back(line);
    const char* const expected[] = {
        "1001.iff: 8 x 8, RGB, 3 planes, depth no, tiles complete",
        "1002.iff: cannot open: No such file or directory",
        "1003.iff: too short to be an image in this format (0 bytes)",
        "1004.iff: 8 x 8, RGB, 3 planes, depth no, tiles INCOMPLETE",
        "1005.iff: not an image in this format",
    };
    ASSERT_EQ(lines.size(), std::size(expected)) << brief.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string start = scratch / "frame." + expected[i];
        EXPECT_EQ(lines[i].substr(0, start.size()), start);
    }

    Outcome text = Tniff({"info", pattern, "--frames", "1001-1005"});
    EXPECT_EQ(text.status, 1) << Describe(text);
    ASSERT_GE(text.err.size(), tally.size()) << Describe(text);
    EXPECT_EQ(text.err.substr(text.err.size() - tally.size()), tally);
    EXPECT_NE(text.err.find("tniff: " + (scratch / "frame.1002.iff") + ": cannot open: No such file or directory\n"),
              std::string::npos) << text.err;
    for (const char* shown : {"frame.1001.iff\n", "frame.1004.iff\n"})
        EXPECT_NE(text.out.find(scratch / shown), std::string::npos) << shown << text.out;
    Outcome quiet = Tniff({"--quiet", "info", "--brief", pattern, "--frames", "1001-1005"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, brief.out);

    Outcome json = Tniff({"info", "--json", pattern, "--frames", "1001-1002"});
    EXPECT_EQ(json.status, 1) << Describe(json);
    WriteText(scratch / "info.json", json.out);
    Outcome files = RunProgram("python3", {"-c", kJsonFiles, scratch / "info.json"});
    ASSERT_EQ(files.status, 0) << Describe(files);
    EXPECT_EQ(files.out, "frame.1001.iff image\nframe.1002.iff error: " + (scratch / "frame.1002.iff") +
                             ": cannot open: No such file or directory\n");

    Outcome present = Tniff({"info", "--brief", scratch / "frame.%04d.iff"});
    EXPECT_EQ(present.status, 1);
    EXPECT_EQ(present.err, "tniff: 4 files: 1 whole, 0 damaged, 2 incomplete, 0 missing, 1 not readable\n");
    Outcome none = Tniff({"info", scratch / "other.####.iff"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "tniff: " + (scratch / "other.####.iff") + ": no file matches this frame pattern\n");
}

// ---- Failures: message, status, and no partial or replaced output ---------------------------------------

struct FailureCase {
    const char* name;
    std::vector<std::string> arguments;  // IN and OUT are replaced by paths in the test's directory
    int status;
    const char* message;         // what stderr's one line says, after "tniff: "
    const char* stdinFrom = "";  // a file of the directory given as standard input
};

// Every input the cases use, made in the directory.
void MakeInputs(const Scratch& scratch) {
    Bytes good = BuildIff(100, 100, 4, false, 21).bytes;
    WriteFile(scratch / "good.iff", good);
    WriteFile(scratch / "depth.iff", BuildIff(40, 40, 3, true, 22).bytes);
    WriteFile(scratch / "short.iff", Bytes(good.begin(), good.begin() + 8));
    WriteFile(scratch / "cut-header.iff", Bytes(good.begin(), good.begin() + 40));
    WriteFile(scratch / "cut-tiles.iff", Bytes(good.begin(), good.begin() + std::ptrdiff_t(good.size() * 2 / 3)));
    WriteUncoveredFiles(scratch.path());
    WriteText(scratch / "text.iff", "This is a text file, not an image at all.\n");
    WriteText(scratch / "text.png", "This is not a PNG.\n");
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 1, 2, 3};
    WriteFile(scratch / "broken.png", png);
    WriteText(scratch / "p6.pam", "P3\n2 2\n255\n");
    WriteText(scratch / "plain.ppm", "P3\n2 1\n255\n255 0 0  0 0 255\n");
    WriteFile(scratch / "png.ppm", png);  // a PNG signature and the start of its header
    WriteText(scratch / "empty.pgm", "");
    // An output that is a loop of two symbolic links.
    fs::create_symlink("loop-b.png", scratch / "loop-a.png");
    fs::create_symlink("loop-a.png", scratch / "loop-b.png");
    WriteFile(scratch / "depth6.pam", PamBytes(2, 2, 6, Bytes(24, 1)));
    WriteFile(scratch / "maxval.pam", PamBytes(2, 2, 3, Bytes(24, 1), 70000));
    WriteFile(scratch / "jpeg.png", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1});
    PngSpec huge;
    huge.width = huge.height = 16384;  // 256 x 256 tiles: one more than a file holds
    huge.colourType = 6;
    WriteFile(scratch / "huge.png", PngBytes(huge));
    PngSpec rgbPng;
    rgbPng.width = 64;
    rgbPng.height = 40;
    rgbPng.colourType = 2;
    rgbPng.samples.assign(40, std::vector<int>(64 * 3, 7));
    WriteFile(scratch / "rgb.png", PngBytes(rgbPng));
    fs::create_directory(scratch / "folder.png");
    WriteFile(scratch / "short.pam", PamBytes(2, 2, 3, Bytes(11, 1)));
    WriteText(scratch / "noend.pam", "P7\nWIDTH 2\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\n");
    // A header that announces 768 MiB of 16-bit samples, and two pixels of them.
    WriteText(scratch / "short16.ppm", "P6\n32767 4096\n65535\n123456789abc");
    WriteFile(scratch / "good.pam", PamBytes(200, 200, 4, Pattern(160000, 9)));
    WriteFile(scratch / "above-1m.pam", PamBytes(1025, 1024, 1, Pattern(1049600, 5)));  // 1 KiB past 1 MiB
    fs::create_directory(scratch / "folder.iff");
    // A file whose reads fail: the reading process's own memory from address 0.
    fs::create_symlink("/proc/self/mem", scratch / "unreadable.iff");
    // TIFF files: cut ones, kinds tniff does not read, and one named as a PNG.
    tiffmake::Recipe rgb;
    rgb.width = 64;
    rgb.height = 40;
    rgb.photometric = PHOTOMETRIC_RGB;
    rgb.samples = 3;
    rgb.compression = COMPRESSION_ADOBE_DEFLATE;
    rgb.values = Samples(size_t(64) * 40 * 3, 255, 3);
    tiffmake::Write(rgb, scratch / "whole.tiff");
    const Bytes whole = ReadBytesOf(scratch / "whole.tiff");
    tiffmake::Recipe cmyk = rgb;
    cmyk.photometric = PHOTOMETRIC_SEPARATED;
    cmyk.samples = 4;
    cmyk.values = Samples(size_t(64) * 40 * 4, 255, 4);
    tiffmake::Write(cmyk, scratch / "cmyk.tiff");
    tiffmake::Recipe floats = rgb;
    floats.photometric = PHOTOMETRIC_MINISBLACK;
    floats.samples = 1;
    floats.bits = 32;
    floats.sampleFormat = SAMPLEFORMAT_IEEEFP;
    floats.values.assign(size_t(64) * 40, 0x3F800000u);
    tiffmake::Write(floats, scratch / "float.tiff");
    WriteFile(scratch / "header.tiff", Bytes(whole.begin(), whole.begin() + 8));
    WriteFile(scratch / "half.tiff", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2)));
    WriteFile(scratch / "all-but-one.tiff", Bytes(whole.begin(), whole.end() - 1));
    WriteFile(scratch / "tiff.png", whole);
    // Damaged files of the format, which the module refuses.
    for (uint32_t width : {32768u, 0xFFFFFFFFu}) {
        iffbuild::FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(8, 8, 3);
        fileSpec.editHeader = [width](iffbuild::Header& h) { h.width = width; };
        WriteFile(scratch / ("width-" + std::to_string(width) + ".iff"),
                  iffbuild::BuildFile(fileSpec).bytes);
    }
    iffbuild::FileSpec beyond;
    beyond.image = iffbuild::Image::Blank(8, 8, 3);
    iffbuild::FileWriter past4g;
    past4g.Append(iffbuild::BuildFile(beyond).bytes);
    past4g.PatchU32(104 + 4, 0xFFFFFFF0u);  // the tile's size: past the file and past 4 GiB
    WriteFile(scratch / "past-4g.iff", past4g.Finish());
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, SaysWhatWentWrongAndLeavesNoOutput) {
    const FailureCase c = GetParam();
    Scratch scratch;
    MakeInputs(scratch);
    std::vector<std::string> arguments;
    for (const std::string& argument : c.arguments) {
        bool isPath = argument.find('.') != std::string::npos && argument[0] != '-' && argument[0] != '/';
        arguments.push_back(isPath ? scratch / argument : argument);
    }
    std::string message = c.message;
    for (size_t at = message.find("DIR/"); at != std::string::npos; at = message.find("DIR/", at + 1)) {
        message.replace(at, 4, scratch.path() + "/");
    }

    // Once with no output there, once with an output file there already.
    for (bool outputThere : {false, true}) {
        SCOPED_TRACE(outputThere ? "an output file exists" : "no output file");
        std::vector<std::string> outputs;
        for (const std::string& argument : arguments) {
            bool output = argument.find("/out.") != std::string::npos || argument.find("/depth-out.") != std::string::npos;
            // An output in a directory that does not exist cannot be there already.
            if (!output || (outputThere && !fs::is_directory(fs::path(argument).parent_path()))) continue;
            if (std::find(outputs.begin(), outputs.end(), argument) != outputs.end()) continue;  // named twice
            outputs.push_back(argument);
            if (outputThere) WriteText(argument, "keep me");
        }
        std::set<std::string> before = scratch.Names();
        RunSettings settings;
        if (*c.stdinFrom != '\0') settings.stdinPath = scratch / c.stdinFrom;
        Outcome outcome = Tniff(arguments, settings);
        EXPECT_EQ(outcome.status, c.status) << Describe(outcome);
        EXPECT_EQ(outcome.err, "tniff: " + message + "\n") << Describe(outcome);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(scratch.Names(), before);  // no temporary file left behind
        for (const std::string& output : outputs) {
            if (outputThere) EXPECT_EQ(ReadWhole(output), "keep me") << output;
            else EXPECT_FALSE(Exists(output)) << output;
            std::remove(output.c_str());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, Failure,
    ::testing::Values(
        FailureCase{"MissingInput", {"convert", "none.iff", "out.png"}, 1,
                    "DIR/none.iff: cannot open: No such file or directory"},
        FailureCase{"InputIsADirectory", {"convert", "folder.iff", "out.png"}, 1,
                    "DIR/folder.iff: cannot open: it is a directory"},
        FailureCase{"UnreadableFile", {"convert", "unreadable.iff", "out.png"}, 1,
                    "DIR/unreadable.iff: the file could not be read (readErr, -19)"},
        FailureCase{"NotThisFormat", {"convert", "text.iff", "out.png"}, 1,
                    "DIR/text.iff: not an image in this format (formatCannotRead, -30501)"},
        FailureCase{"WidthAboveTheLargest", {"convert", "width-32768.iff", "out.png"}, 1,
                    "DIR/width-32768.iff: not an image in this format: header \"TBHD\" at offset "
                    "24: width 32768; an image is 1 to 32767 pixels wide (formatCannotRead, "
                    "-30501)"},
        FailureCase{"WidthOfAllOnes", {"convert", "width-4294967295.iff", "out.png"}, 1,
                    "DIR/width-4294967295.iff: not an image in this format: header \"TBHD\" at "
                    "offset 24: width 4294967295; an image is 1 to 32767 pixels wide "
                    "(formatCannotRead, -30501)"},
        FailureCase{"ChunkPastTheEnd", {"convert", "past-4g.iff", "out.png"}, 1,
                    "DIR/past-4g.iff: not an image in this format: chunk \"RGBA\" at offset 104 "
                    "ends at 4294967392, past the end of its group \"FOR4 TBMP\" at offset 92 (at "
                    "128) (formatCannotRead, -30501)"},
        FailureCase{"TooShortToTell", {"convert", "short.iff", "out.pam"}, 1,
                    "DIR/short.iff: too short to be an image in this format (eofErr, -39)"},
        FailureCase{"TruncatedHeader", {"convert", "cut-header.iff", "out.png"}, 1,
                    "DIR/cut-header.iff: the file ends too early (truncated) (eofErr, -39)"},
        FailureCase{"TruncatedTiles", {"convert", "cut-tiles.iff", "out.png"}, 1,
                    "DIR/cut-tiles.iff: truncated: the module read only 2 of the 4 colour tiles that the file's "
                    "header announces (use --partial to convert what there is)"},
        FailureCase{"NoTilesAnnounced", {"convert", "no-tiles.iff", "out.png"}, 1,
                    "DIR/no-tiles.iff: incomplete: the header announces 0 tiles, and no tile "
                    "covers any of the image's 10000 pixels (use --partial to convert what "
                    "there is)"},
        FailureCase{"TooFewTilesForTheImage", {"convert", "few-tiles.iff", "out.png"}, 1,
                    "DIR/few-tiles.iff: incomplete: the header announces 1 tile, and no tile "
                    "covers 61440 of the image's 65536 pixels (use --partial to convert what "
                    "there is)"},
        FailureCase{"TooFewTilesWithDepth", {"convert", "few-depth-tiles.iff", "out.pam"}, 1,
                    "DIR/few-depth-tiles.iff: incomplete: the header announces 1 tile, and no "
                    "tile covers 4096 of the image's 8192 pixels (use --partial to convert what "
                    "there is)"},
        FailureCase{"ATileReadTwice", {"convert", "tile-twice.iff", "out.iff"}, 1,
                    "DIR/tile-twice.iff: incomplete: the header announces 2 tiles, and no tile "
                    "covers 4096 of the image's 8192 pixels (use --partial to convert what "
                    "there is)"},
        FailureCase{"UnknownInputType", {"convert", "picture.bmp", "out.iff"}, 2,
                    "DIR/picture.bmp: unknown file type \".bmp\": tniff converts .iff, .png, .pam, .pgm, .ppm and .tiff "
                    "files"},
        FailureCase{"UnknownOutputType", {"convert", "good.iff", "out.jpeg"}, 2,
                    "DIR/out.jpeg: unknown file type \".jpeg\": tniff converts .iff, .png, .pam, .pgm, .ppm and .tiff "
                    "files"},
        FailureCase{"NeitherSideIff", {"convert", "good.pam", "out.png"}, 2,
                    "one of the two files must be an .iff file: tniff converts to and from this format"},
        // Netpbm kinds tniff does not read: the words standard input gets, whatever the name.
        FailureCase{"PamOfAnotherKind", {"convert", "p6.pam", "out.iff"}, 1,
                    "DIR/p6.pam: not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is a "
                    "plain-text or one-bit Netpbm image (P3)"},
        FailureCase{"PlainPpm", {"convert", "plain.ppm", "out.iff"}, 1,
                    "DIR/plain.ppm: not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is a "
                    "plain-text or one-bit Netpbm image (P3)"},
        FailureCase{"EmptyPgm", {"convert", "empty.pgm", "out.iff"}, 1,
                    "DIR/empty.pgm: the file is empty"},
        FailureCase{"PamDepthSix", {"convert", "depth6.pam", "out.iff"}, 1,
                    "DIR/depth6.pam: DEPTH 6 is not supported: the format saves 1 or 2 (gray) and 3 to 5 (RGB) "
                    "planes"},
        FailureCase{"PamMaxvalAboveSixteenBits", {"convert", "maxval.pam", "out.iff"}, 1,
                    "DIR/maxval.pam: MAXVAL 70000 is not supported: 1 to 65535"},
        FailureCase{"PamShortOfPixels", {"convert", "short.pam", "out.iff"}, 1,
                    "DIR/short.pam: not a usable PAM file: it ends after 11 of 12 bytes of pixel data"},
        FailureCase{"PamShortOfPixelsOnStdin", {"convert", "-", "out.iff"}, 1,
                    "stdin: not a usable PAM file: it ends after 11 of 12 bytes of pixel data",
                    "short.pam"},
        FailureCase{"PpmShortOfWideSamples", {"convert", "short16.ppm", "out.iff"}, 1,
                    "DIR/short16.ppm: not a usable Netpbm file: it ends after 12 of 805281792 bytes of pixel data"},
        FailureCase{"PamWithoutEnd", {"convert", "noend.pam", "out.iff"}, 1,
                    "DIR/noend.pam: not a usable PAM file: the header has no ENDHDR line"},
        FailureCase{"NotAPng", {"convert", "text.png", "out.iff"}, 1, "DIR/text.png: not a PNG file"},
        FailureCase{"TruncatedPng", {"convert", "broken.png", "out.iff"}, 1,
                    "DIR/broken.png: truncated PNG file: it ends inside its header"},
        FailureCase{"TruncatedPngOnStdin", {"convert", "-", "out.iff"}, 1,
                    "stdin: truncated PNG file: it ends inside its header", "broken.png"},
        FailureCase{"JpegNamedPng", {"convert", "jpeg.png", "out.iff"}, 1,
                    "DIR/jpeg.png: not a PNG file: it is a JPEG image"},
        FailureCase{"PngIsADirectory", {"convert", "folder.png", "out.iff"}, 1,
                    "DIR/folder.png: cannot open: it is a directory"},
        FailureCase{"PngOfTooManyTiles", {"convert", "huge.png", "out.iff"}, 1,
                    "DIR/huge.png: 16384 by 16384 is too large for the format: it needs 65536 tiles of 64 x 64, "
                    "and a file holds at most 65535"},
        FailureCase{"DepthToTheOutput", {"convert", "depth.iff", "out.png", "--depth", "out.png"}, 2,
                    "DIR/out.png: named both as the output and as --depth; give each a file of its own"},
        FailureCase{"OutputIsTheInput", {"convert", "good.iff", "good.iff"}, 2,
                    "DIR/good.iff: the output is the input file; write to another file"},
        FailureCase{"DepthIsTheInput", {"convert", "depth.iff", "out.png", "--depth", "depth.iff"}, 2,
                    "DIR/depth.iff: the --depth output is the input file; write to another file"},
        FailureCase{"StdoutWithoutType", {"convert", "good.iff", "-"}, 2,
                    "writing to standard output needs --to iff, png, pam, pgm, ppm or tiff"},
        FailureCase{"EmptyStdinAlone", {"convert", "-", "--to", "png"}, 1, "standard input is empty"},
        FailureCase{"BadPngLevel", {"convert", "--png-level", "12", "good.iff", "out.png"}, 2,
                    "--png-level takes 0 to 9, not \"12\""},
        FailureCase{"ImageAboveTheLimit", {"--max-image-size", "20K", "convert", "good.iff", "out.png"}, 1,
                    "DIR/good.iff: 100 by 100 with 4 planes needs 40000 bytes, more than the image-size limit "
                    "of 20480 bytes (--max-image-size raises it) (memFullErr, -108)"},
        FailureCase{"DepthOfAPng", {"convert", "good.pam", "out.iff", "--depth", "depth-out.png"}, 2,
                    "--depth writes the depth buffer of an .iff file; DIR/good.pam is not one"},
        FailureCase{"OutputInAMissingDirectory", {"convert", "good.iff", "gone/out.png"}, 1,
                    "DIR/gone/out.png: cannot create a file in DIR/gone: No such file or directory"},
        FailureCase{"OutputIsADirectory", {"convert", "good.pam", "folder.iff"}, 1,
                    "DIR/folder.iff: cannot write: it is a directory"},
        FailureCase{"OutputIsALinkLoop", {"convert", "good.iff", "loop-a.png"}, 1,
                    "DIR/loop-a.png: cannot write: its symbolic links never end (a loop, or more "
                    "than 40 in a row)"},
        FailureCase{"DepthIsALinkLoop",
                    {"convert", "depth.iff", "out.png", "--depth", "loop-b.png"}, 1,
                    "DIR/loop-b.png: cannot write: its symbolic links never end (a loop, or more "
                    "than 40 in a row)"},
        FailureCase{"MissingModule", {"convert", "--module", "/nonexistent/TnIffFormat.so", "good.iff", "out.png"}, 1,
                    "/nonexistent/TnIffFormat.so: cannot load the module: No such file or directory"},
        FailureCase{"UnknownOption", {"convert", "--fast", "good.iff", "out.png"}, 2,
                    "unknown option --fast (see tniff convert --help)"},
        FailureCase{"UnknownCommand", {"show", "good.iff"}, 2, "unknown command \"show\" (see tniff --help)"},
        FailureCase{"OneFileOnly", {"convert", "good.iff"}, 2,
                    "convert takes two files, IN and OUT (see tniff convert --help)"},
        FailureCase{"TiffHeaderOnly", {"convert", "header.tiff", "out.iff"}, 1,
                    "DIR/header.tiff: truncated TIFF file: its first image directory is at byte 6986 and the file ends "
                    "after 8 bytes"},
        FailureCase{"TiffCutInHalf", {"convert", "half.tiff", "out.iff"}, 1,
                    "DIR/half.tiff: truncated TIFF file: its first image directory is at byte 6986 and the file ends "
                    "after 3568 bytes"},
        FailureCase{"TiffShortOfOneByte", {"convert", "all-but-one.tiff", "out.iff"}, 1,
                    "DIR/all-but-one.tiff: broken TIFF file: TIFFReadDirectory: IO error during reading of "
                    "\"SampleFormat\""},
        FailureCase{"TiffCmyk", {"convert", "cmyk.tiff", "out.iff"}, 1,
                    "DIR/cmyk.tiff: unsupported TIFF file: it is a CMYK (separated) image, 4 samples of 8 bits per "
                    "pixel"
                    "; tniff reads gray, RGB and palette images of 1, 2, 4, 8 or 16 bits per sample"},
        FailureCase{"TiffFloat", {"convert", "float.tiff", "out.iff"}, 1,
                    "DIR/float.tiff: unsupported TIFF file: it is a gray image of floating-point samples, 1 sample of "
                    "32 bits per pixel; tniff reads gray, RGB and palette images of 1, 2, 4, 8 or 16 bits per sample"},
        FailureCase{"TiffOverTheSizeLimit", {"--max-image-size", "4K", "convert", "whole.tiff", "out.iff"}, 1,
                    "DIR/whole.tiff: 64 by 40 with 3 channels needs 7680 bytes, more than the image-size limit "
                    "of 4096 bytes (--max-image-size raises it)"},
        FailureCase{"PngOverTheSizeLimit", {"--max-image-size", "4K", "convert", "rgb.png", "out.iff"}, 1,
                    "DIR/rgb.png: 64 by 40 with 3 channels needs 7680 bytes, more than the image-size limit "
                    "of 4096 bytes (--max-image-size raises it)"},
        FailureCase{"PamOverTheSizeLimit", {"--max-image-size", "100K", "convert", "good.pam", "out.iff"}, 1,
                    "DIR/good.pam: 200 by 200 with 4 channels needs 160000 bytes, more than the image-size "
                    "limit of 102400 bytes (--max-image-size raises it)"},
        FailureCase{"PamJustOverTheSizeLimit", {"--max-image-size", "1M", "convert", "above-1m.pam", "out.iff"}, 1,
                    "DIR/above-1m.pam: 1025 by 1024 with 1 channels needs 1.00 MiB (1049600 bytes), more than "
                    "the image-size limit of 1 MiB (--max-image-size raises it)"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---- Tiny files that announce huge images ------------------------------------------------------

// A little-endian TIFF of one image whose strips (one, or one a plane) each hold the same few
// bytes of data; every value of a tag of more than one value lies after the directory.
Bytes TinyTiff(uint32_t width, uint32_t height, uint16_t bits, uint16_t samples, bool separate,
               uint16_t extra, const Bytes& strip) {
    struct Entry {
        uint16_t tag, type;  // type 3 SHORT, 4 LONG
        std::vector<uint32_t> values;
    };
    const uint32_t strips = separate ? samples : 1;
    std::vector<Entry> entries = {{256, 4, {width}}, {257, 4, {height}},
                                  {258, 3, std::vector<uint32_t>(samples, bits)},
                                  {259, 3, {COMPRESSION_ADOBE_DEFLATE}},
                                  {262, 3, {samples >= 3 ? 2u : 1u}},
                                  {273, 4, std::vector<uint32_t>(strips, 0)},  // patched below
                                  {277, 3, {samples}}, {278, 4, {height}},
                                  {279, 4, std::vector<uint32_t>(strips, uint32_t(strip.size()))},
                                  {284, 3, {separate ? 2u : 1u}}};
    if (extra != 0) entries.push_back({338, 3, {extra}});
    const uint32_t directoryEnd = 8 + 2 + uint32_t(entries.size()) * 12 + 4;
    uint32_t outside = directoryEnd;  // where the next value that does not fit goes
    for (Entry& entry : entries) {
        const uint32_t bytes = uint32_t(entry.values.size()) * (entry.type == 3 ? 2 : 4);
        if (bytes > 4) outside += bytes;
    }
    const uint32_t dataAt = outside;
    for (uint32_t i = 0; i < strips; ++i) entries[5].values[i] = dataAt + i * uint32_t(strip.size());

    Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&tiff](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) tiff.push_back(uint8_t(value >> (8 * i)));
    };
    Bytes values;
    put(uint32_t(entries.size()), 2);
    for (const Entry& entry : entries) {
        const int size = entry.type == 3 ? 2 : 4;
        put(entry.tag, 2);
        put(entry.type, 2);
        put(uint32_t(entry.values.size()), 4);
        if (entry.values.size() * size_t(size) > 4) {
            put(directoryEnd + uint32_t(values.size()), 4);
            for (uint32_t value : entry.values) {
                for (int i = 0; i < size; ++i) values.push_back(uint8_t(value >> (8 * i)));
            }
        } else {
            for (uint32_t value : entry.values) put(value, size);
            for (size_t i = entry.values.size() * size_t(size); i < 4; ++i) tiff.push_back(0);
        }
    }
    put(0, 4);  // no next directory
    tiff.insert(tiff.end(), values.begin(), values.end());
    for (uint32_t i = 0; i < strips; ++i) tiff.insert(tiff.end(), strip.begin(), strip.end());
    return tiff;
}

// An RGBA PNG of the size given whose image data are a few bytes that are not a zlib stream.
Bytes TinyPng(uint32_t width, uint32_t height, bool interlaced) {
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    PutU32(header, width);
    PutU32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, uint8_t(interlaced ? 1 : 0)});
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", {0x78, 0x01, 0xFF, 0xFF, 0xFF, 0xFF});
    PutChunk(png, "IEND", {});
    return png;
}

struct HugeImageCase {
    const char* name;
    const char* file;
    std::function<Bytes()> make;
    const char* refusal;  // what the message says after the file's name
};

void PrintTo(const HugeImageCase& c, std::ostream* os) { *os << c.name; }

class TinyFileOfAHugeImage : public ::testing::TestWithParam<HugeImageCase> {};

// Each file announces about 1 GiB of pixels and fails at its first row: what the failure costs
// must be what was decoded, not what was announced.
TEST_P(TinyFileOfAHugeImage, FailsHavingTakenLittleMemory) {
    const HugeImageCase& c = GetParam();
    Scratch scratch;
    const Bytes bytes = c.make();
    ASSERT_LT(bytes.size(), 300u);
    WriteFile(scratch / c.file, bytes);
    Outcome outcome = Tniff({"convert", scratch / c.file, scratch / "out.iff"});
    EXPECT_EQ(outcome.status, 1) << Describe(outcome);
    // With 4-byte pointers, the image and the memory it is put together in may not both fit in
    // the address space: the file is then refused for that before anything is decoded.
    const bool outOfAddresses = sizeof(void*) == 4 && outcome.err == "tniff: not enough memory\n";
    EXPECT_TRUE(outOfAddresses || outcome.err.rfind("tniff: " + (scratch / c.file) + ": " + c.refusal, 0) == 0)
        << Describe(outcome);
    EXPECT_FALSE(Exists(scratch / "out.iff"));
    // The peak counts what the test process held when it started tniff (a sanitizer's shadow
    // memory among it): it is measured against tniff's peak for its help text.
    const Outcome help = Tniff({"--help"});
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps shadow memory for what is allocated, touched or not: an eighth of
    // the image's 1 GiB.
    const long kMostKilobytes = (64 + 128) << 10;
#else
    const long kMostKilobytes = 64 << 10;  // a few blocks of rows, and the file's own buffers
#endif
    EXPECT_LT(outcome.peakKilobytes - help.peakKilobytes, kMostKilobytes)
        << "a file of " << bytes.size() << " bytes";
    RecordProperty("peakKilobytes", std::to_string(outcome.peakKilobytes));
}

const Bytes kNotDeflate = {0x78, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    EveryReader, TinyFileOfAHugeImage,
    ::testing::Values(
        HugeImageCase{"RgbaTiffOfOneStrip", "strip.tiff",
                      [] { return TinyTiff(16384, 16320, 8, 4, false, EXTRASAMPLE_UNASSALPHA, kNotDeflate); },
                      "broken TIFF file: "},
        HugeImageCase{"Rgba16TiffAssociatedPlanes", "planes.tiff",
                      [] { return TinyTiff(16384, 16320, 16, 4, true, EXTRASAMPLE_ASSOCALPHA, kNotDeflate); },
                      "broken TIFF file: "},
        HugeImageCase{"GrayTiffOfOneStrip", "gray.tiff",
                      [] { return TinyTiff(16384, 16320, 8, 1, false, 0, kNotDeflate); },
                      "broken TIFF file: "},
        HugeImageCase{"InterlacedPng", "interlaced.png", [] { return TinyPng(16384, 16320, true); },
                      "broken PNG file: "},
        HugeImageCase{"Png", "plain.png", [] { return TinyPng(16384, 16320, false); }, "broken PNG file: "}),
    [](const ::testing::TestParamInfo<HugeImageCase>& info) { return std::string(info.param.name); });

// info reads standard input as "-", and names it stdin.
TEST(Info, ReadsStandardInput) {
    Scratch scratch;
    MakeInputs(scratch);
    RunSettings piped;
    piped.stdinPath = scratch / "good.iff";
    Outcome fromStdin = Tniff({"info", "--json", "-"}, piped);
    Outcome named = Tniff({"info", "--json", scratch / "good.iff"});
    ASSERT_EQ(fromStdin.status, 0) << Describe(fromStdin);
    std::string expected = named.out;
    expected.replace(expected.find(scratch / "good.iff"), (scratch / "good.iff").size(), "stdin");
    EXPECT_EQ(fromStdin.out, expected);
    Outcome brief = Tniff({"info", "--brief", "-"}, piped);
    EXPECT_EQ(brief.status, 0) << Describe(brief);
    EXPECT_EQ(brief.out.compare(0, 18, "stdin: 100 x 100, "), 0) << brief.out;
    piped.stdinPath = scratch / "cut-tiles.iff";
    EXPECT_EQ(Tniff({"info", "-"}, piped).status, 1);
}

// A file of a Netpbm kind tniff does not read (or of no kind it reads) is refused in the words
// standard input gets for the same bytes, whether it is named .pam, .pgm or .ppm.
TEST(Netpbm, OneFileGetsOneMessageWhateverItsName) {
    Scratch scratch;
    const std::string prefix = "tniff: standard input is ";
    for (const std::string& bytes :
         {std::string("P1\n2 1\n0 1\n"), std::string("P2\n2 1\n255\n0 255\n"),
          std::string("P3\n1 1\n255\n1 2 3\n"), std::string("P4\n8 1\n\x55"),
          std::string("\xFF\xD8\xFF\xE0 JFIF"), std::string("P6x\n")}) {
        SCOPED_TRACE(bytes.substr(0, 3));
        WriteText(scratch / "in", bytes);
        RunSettings fromStdin;
        fromStdin.stdinPath = scratch / "in";
        Outcome piped = Tniff({"convert", "-", scratch / "out.iff"}, fromStdin);
        EXPECT_EQ(piped.status, 1);
        ASSERT_EQ(piped.err.compare(0, prefix.size(), prefix), 0) << piped.err;
        for (const char* name : {"in.pam", "in.pgm", "in.ppm"}) {
            WriteText(scratch / name, bytes);
            Outcome named = Tniff({"convert", scratch / name, scratch / "out.iff"});
            EXPECT_EQ(named.status, 1);
            EXPECT_EQ(named.err,
                      "tniff: " + (scratch / name) + ": " + piped.err.substr(prefix.size()));
        }
        EXPECT_FALSE(Exists(scratch / "out.iff"));
    }
}

// A save that fails on the way (the disk takes no more) leaves no partial file and keeps the old one.
TEST(Convert, FailedWriteKeepsTheOldOutput) {
    Scratch scratch;
    MakeInputs(scratch);
    RunSettings small;
    small.fileSizeLimit = 4096;
    for (const std::string& out : {scratch / "out.iff", scratch / "out.png"}) {
        SCOPED_TRACE(out);
        std::string in = out.back() == 'f' ? scratch / "good.pam" : scratch / "good.iff";
        for (bool outputThere : {false, true}) {
            if (outputThere) WriteText(out, "keep me");
            std::set<std::string> before = scratch.Names();
            Outcome outcome = Tniff({"convert", in, out}, small);
            EXPECT_EQ(outcome.status, 1) << Describe(outcome);
            std::string expected = out.back() == 'f'
                                       ? out + ": the file could not be written completely: File too large (writErr, -20)"
                                       : out + ": cannot write: File too large";
            EXPECT_EQ(outcome.err, "tniff: " + expected + "\n");
            if (outputThere) EXPECT_EQ(ReadWhole(out), "keep me");
            else EXPECT_FALSE(Exists(out));
            EXPECT_EQ(scratch.Names(), before);
        }
    }
}

// A run ended by a signal in the middle of a save removes its temporary file on the way out.
TEST(Convert, InterruptedSaveLeavesNothingBehind) {
    Scratch scratch;
    const int side = 1000;  // random pixels: every tile raw, long enough a save to interrupt
    WriteFile(scratch / "in.pam", PamBytes(side, side, 4, Pattern(size_t(side) * side * 4, 51)));
    WriteText(scratch / "out.iff", "keep me");
    RunSettings interrupt;
    interrupt.terminalStderr = true;
    interrupt.interruptWhenSeen = "writing out.iff [";
    Outcome outcome = Tniff({"convert", scratch / "in.pam", scratch / "out.iff"}, interrupt);
    ASSERT_EQ(outcome.status, 128 + SIGTERM) << Describe(outcome);
    EXPECT_EQ(ReadWhole(scratch / "out.iff"), "keep me");
    EXPECT_EQ(scratch.Names(), (std::set<std::string>{"in.pam", "out.iff"}));
}

// ---- Progress, help, version, about ---------------------------------------------------------------------

TEST(Progress, ABarOnATerminalAndNothingElsewhere) {
    Scratch scratch;
    WriteFile(scratch / "in.iff", BuildIff(300, 200, 4, true, 31).bytes);
    RunSettings terminal;
    terminal.terminalStderr = true;
    Outcome shown = Tniff({"convert", scratch / "in.iff", scratch / "out.iff"}, terminal);
    ASSERT_EQ(shown.status, 0) << Describe(shown);
    EXPECT_NE(shown.err.find("reading in.iff ["), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("writing out.iff ["), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("##############################] 100%"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find(" 50%"), std::string::npos) << shown.err;  // steps on the way, too

    Outcome quiet = Tniff({"--quiet", "convert", scratch / "in.iff", scratch / "out2.iff"}, terminal);
    ASSERT_EQ(quiet.status, 0) << Describe(quiet);
    EXPECT_EQ(quiet.err, "");

    Outcome piped = Tniff({"convert", scratch / "in.iff", scratch / "out.pam"});
    ASSERT_EQ(piped.status, 0) << Describe(piped);
    EXPECT_EQ(piped.err, "");

    // An image is not written to a terminal unless asked for.
    RunSettings screen;
    screen.terminalStdout = true;
    Outcome refused = Tniff({"convert", scratch / "in.iff", "-", "--to", "png"}, screen);
    EXPECT_EQ(refused.status, 1) << Describe(refused);
    EXPECT_EQ(refused.err, "tniff: standard output is a terminal: redirect it to a file or a pipe, or give "
                           "--force to write the image there anyway\n");
    EXPECT_EQ(refused.out, "");
    Outcome forced = Tniff({"convert", "--force", scratch / "in.iff", "-", "--to", "png"}, screen);
    EXPECT_EQ(forced.status, 0) << Describe(forced);
    EXPECT_NE(forced.out.find("PNG"), std::string::npos);

    // In a narrow terminal every redraw of either bar fits in one row, so none wraps.
    for (unsigned short columns : {40, 12}) {
        RunSettings narrow = terminal;
        narrow.terminalColumns = columns;
        WriteFile(scratch / "a-long-name-for-a-frame.0001.iff", BuildIff(300, 200, 4, true, 32).bytes);
        for (std::vector<std::string> arguments :
             {std::vector<std::string>{"convert", scratch / "in.iff", scratch / "narrow.iff"},
              {"convert", scratch / "a-long-name-for-a-frame.0001.iff", scratch / "in.iff", "--to", "png",
               "-o", scratch / "pngs", "--overwrite"}}) {
            Outcome drawn = Tniff(arguments, narrow);
            ASSERT_EQ(drawn.status, 0) << Describe(drawn);
            size_t lines = 0;
            for (size_t start = 0; start < drawn.err.size();) {
                size_t end = drawn.err.find_first_of("\r\n", start);
                if (end == std::string::npos) end = drawn.err.size();
                std::string line = drawn.err.substr(start, end - start);
                if (line.compare(0, 3, "\033[K") == 0) line.erase(0, 3);
                if (line.find('[') != std::string::npos) {
                    ++lines;
                    EXPECT_LT(line.size(), size_t(columns)) << line;
                }
                start = end + 1;
            }
            EXPECT_GT(lines, 0u) << drawn.err;
        }
    }
}

TEST(Help, ForTheToolAndEachCommand) {
    struct Ask {
        std::vector<std::string> arguments;
        const char* mentions;
    };
    for (const Ask& ask : {Ask{{"--help"}, "convert IN OUT"}, Ask{{"-h"}, "info FILE..."},
                           Ask{{"help"}, "about"}, Ask{{"convert", "--help"}, "--depth FILE"},
                           Ask{{"help", "convert"}, "--partial"}, Ask{{"info", "--help"}, "--json"},
                           Ask{{"about", "-h"}, "About selector"}}) {
        Outcome outcome = Tniff(ask.arguments);
        EXPECT_EQ(outcome.status, 0) << Describe(outcome);
        EXPECT_NE(outcome.out.find("usage: tniff"), std::string::npos) << outcome.out;
        EXPECT_NE(outcome.out.find(ask.mentions), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.err, "");
    }
    Outcome nothing = Tniff({});
    EXPECT_EQ(nothing.status, 2);
    EXPECT_NE(nothing.err.find("usage: tniff"), std::string::npos);

    Outcome version = Tniff({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.compare(0, 6, "tniff "), 0) << version.out;
    EXPECT_EQ(LineCount(version.out), 2);
    // The module's version is read from the module file tniff found.
    EXPECT_NE(version.out.find("\nmodule 0."), std::string::npos) << version.out;
    EXPECT_NE(version.out.find(fs::canonical(TNIFF_MODULE_FILE).string()), std::string::npos) << version.out;
}

TEST(About, ShowsTheModulesAboutBoxAndWhatItDoes) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"about"}, std::vector<std::string>{"--module", TNIFF_MODULE_FILE, "about"}}) {
        Outcome about = Tniff(arguments);
        ASSERT_EQ(about.status, 0) << Describe(about);
        EXPECT_EQ(about.err, "");
        EXPECT_NE(about.out.find(fs::canonical(TNIFF_MODULE_FILE).string()), std::string::npos) << about.out;
        EXPECT_NE(about.out.find("About box    opens and closes normally"), std::string::npos) << about.out;
        EXPECT_EQ(about.out.find("dialog"), std::string::npos) << about.out;
        EXPECT_NE(about.out.find("TarnIFF (TnIffFormat) 0."), std::string::npos) << about.out;
        EXPECT_NE(about.out.find("opens "), std::string::npos);
        EXPECT_NE(about.out.find("saves "), std::string::npos);
    }
    Outcome notAModule = Tniff({"--module", TNIFF_TOOL_FILE, "about"});
    EXPECT_EQ(notAModule.status, 1);
    EXPECT_NE(notAModule.err.find("cannot load the module"), std::string::npos) << notAModule.err;

    // $TNIFF_MODULE comes after --module and before tniff's own places, and is named when its
    // file does not load.
    const std::string variable = std::string("TNIFF_MODULE=") + TNIFF_TOOL_FILE;
    Outcome byVariable = RunProgram("env", {variable, TNIFF_TOOL_FILE, "about"});
    EXPECT_EQ(byVariable.status, 1);
    EXPECT_NE(byVariable.err.find("cannot load the module"), std::string::npos) << byVariable.err;
    EXPECT_NE(byVariable.err.find("(TNIFF_MODULE names it)"), std::string::npos) << byVariable.err;
    Outcome optionFirst = RunProgram("env", {variable, TNIFF_TOOL_FILE, "--module", TNIFF_MODULE_FILE, "about"});
    EXPECT_EQ(optionFirst.status, 0) << Describe(optionFirst);
    Outcome version = RunProgram("env", {"TNIFF_MODULE=/nonexistent/TnIffFormat.so", TNIFF_TOOL_FILE, "--version"});
    EXPECT_NE(version.out.find("/nonexistent/TnIffFormat.so"), std::string::npos) << version.out;
}

// ---- Outputs: never lost, never one for another, links and modes kept -------------------------

// Replacing an output that is a symbolic link replaces the link's target and keeps the link; a
// replaced file keeps its mode; outputs that name one file through different spellings or links
// are refused before anything is written; a full disk says why.
TEST(Outputs, KeepLinksAndModesAndNeverClash) {
    Scratch scratch;
    MakeInputs(scratch);
    const std::string in = scratch / "depth.iff";
    fs::create_directory(scratch / "real");
    WriteText(scratch / "real/target.png", "old");
    chmod((scratch / "real/target.png").c_str(), 0640);
    fs::create_symlink("real/target.png", scratch / "link.png");
    Outcome linked = Tniff({"convert", in, scratch / "link.png"});
    ASSERT_EQ(linked.status, 0) << Describe(linked);
    EXPECT_TRUE(fs::is_symlink(scratch / "link.png"));
    EXPECT_EQ(DecodePng(scratch / "real/target.png", scratch).pixels,
              Interleaved(OpenInProcess(in), 0, 3));
    struct stat status;
    ASSERT_EQ(stat((scratch / "real/target.png").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    // A link whose target does not exist yet: the target is made, beside itself.
    fs::create_symlink("real/new.pam", scratch / "dangling.pam");
    ASSERT_EQ(Tniff({"convert", in, scratch / "dangling.pam"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(scratch / "dangling.pam"));
    EXPECT_EQ(ReadPam(scratch / "real/new.pam").depth, 4);

    // The same file through a link, another spelling, or a not yet existing path said twice.
    std::set<std::string> before = scratch.Names();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"convert", in, scratch / "link.png", "--depth", scratch / "real/target.png"},
          std::vector<std::string>{"convert", in, scratch / "new.png", "--depth", scratch.path() + "/real/../new.png"},
          std::vector<std::string>{"convert", in, scratch / "link-to-input.iff"}}) {
        if (arguments.size() == 3) fs::create_symlink(in, scratch / "link-to-input.iff");
        Outcome refused = Tniff(arguments);
        EXPECT_EQ(refused.status, 2) << Describe(refused);
        EXPECT_NE(refused.err.find(arguments.size() == 3 ? "the output is the input file" : "named both as the output"),
                  std::string::npos)
            << refused.err;
        if (arguments.size() == 3) fs::remove(scratch / "link-to-input.iff");
    }
    EXPECT_EQ(scratch.Names(), before);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    // An output whose links go round in a loop is refused, for many files or one, and the links
    // stay as they were; a link to a file not there yet (above) is no loop.
    std::filesystem::copy_file(in, scratch / "loop-a.iff");
    before = scratch.Names();
    const std::string loop =
        ": cannot write: its symbolic links never end (a loop, or more than 40 in a row)\n";
    Outcome many = Tniff({"convert", "--to", "png", scratch / "loop-a.iff", in});
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(many.err, "tniff: " + (scratch / "loop-a.png") + loop +
                            "tniff: converted 1, failed 1, skipped 0\n");
    Outcome one = Tniff({"convert", in, scratch / "loop-b.png"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "tniff: " + (scratch / "loop-b.png") + loop);
    fs::remove(scratch / "depth.png");
    EXPECT_EQ(scratch.Names(), before);
    for (const std::string link : {"loop-a.png", "loop-b.png"}) {
        const std::string other = link == "loop-a.png" ? "loop-b.png" : "loop-a.png";
        EXPECT_TRUE(fs::is_symlink(scratch / link) && fs::read_symlink(scratch / link) == other);
    }
}

// ---- What a user reaches for first: pipes, more Netpbm, brief info, limits, installs ------------

// The sample the quick start converts, and what the module makes of it in this process.
class Basics : public ::testing::Test {
protected:
    void SetUp() override { render = OpenInProcess(sample); }

    // The first half of the sample: it ends inside its tile 17, a "ZBUF".
    std::string HalfSample() const {
        Bytes cut = ReadBytesOf(sample);
        cut.resize(cut.size() / 2);
        WriteFile(scratch / "half.iff", cut);
        return scratch / "half.iff";
    }

    Scratch scratch;
    const std::string sample = std::string(TNIFF_SOURCE_DIR) + "/samples/render.iff";
    tniff::Image render;
};

// Standard input (type from the bytes) to standard output (type from --to), "-" alone standing
// for both, and a PAM from a pipe back to .iff on a pipe.
TEST_F(Basics, StandardInputToStandardOutput) {
    RunSettings fromSample;
    fromSample.stdinPath = sample;
    Outcome piped = Tniff({"convert", "-", "-", "--to", "pam"}, fromSample);
    ASSERT_EQ(piped.status, 0) << Describe(piped);
    WriteText(scratch / "piped.pam", piped.out);
    EXPECT_EQ(ReadPam(scratch / "piped.pam").pixels, Interleaved(render, 0, 5));
    Outcome filter = Tniff({"convert", "-", "--to", "pam"}, fromSample);  // - alone: in and out
    EXPECT_EQ(filter.status, 0) << Describe(filter);
    EXPECT_EQ(filter.out, piped.out);
    RunSettings fromPam;
    fromPam.stdinPath = scratch / "piped.pam";
    Outcome toIff = Tniff({"convert", "-", "-", "--to", "iff"}, fromPam);
    ASSERT_EQ(toIff.status, 0) << Describe(toIff);
    WriteText(scratch / "piped.iff", toIff.out);
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "piped.iff"), 0, 4), Interleaved(render, 0, 4));
}

// Notes and refusals name standard input as stdin, or say "standard input".
TEST_F(Basics, StandardInputIsNamedInNotesAndRefusals) {
    ASSERT_EQ(Tniff({"convert", sample, scratch / "five.pam"}).status, 0);
    RunSettings fromPam;
    fromPam.stdinPath = scratch / "five.pam";
    Outcome noted = Tniff({"convert", "-", scratch / "x.iff"}, fromPam);
    EXPECT_EQ(noted.status, 0) << Describe(noted);
    EXPECT_NE(noted.err.find("stdin: the fifth plane (depth) is not saved: the format can store a depth "
                                "buffer, but the module's writer writes none"), std::string::npos) << noted.err;
    MakeInputs(scratch);
    RunSettings fromText;
    fromText.stdinPath = scratch / "jpeg.png";
    Outcome jpeg = Tniff({"convert", "-", scratch / "y.iff"}, fromText);
    EXPECT_EQ(jpeg.status, 1);
    EXPECT_EQ(jpeg.err, "tniff: standard input is not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is a JPEG image\n");
    EXPECT_FALSE(Exists(scratch / "y.iff"));
}

// PPM and PGM out and back; a PGM of a colour image is refused; alpha is dropped with a note; a
// depth buffer goes to a PGM of its own.
TEST_F(Basics, PpmAndPgmOutAndBack) {
    Outcome ppm = Tniff({"convert", sample, scratch / "render.ppm"});
    ASSERT_EQ(ppm.status, 0) << Describe(ppm);
    EXPECT_NE(ppm.err.find("the alpha channel is not written"), std::string::npos);
    ASSERT_EQ(Tniff({"convert", scratch / "render.ppm", scratch / "from-ppm.iff"}).status, 0);
    EXPECT_EQ(Interleaved(OpenInProcess(scratch / "from-ppm.iff"), 0, 3), Interleaved(render, 0, 3));
    EXPECT_EQ(Tniff({"convert", sample, scratch / "render.pgm"}).status, 1);
    WriteFile(scratch / "gray.pam", PamBytes(70, 65, 1, Pattern(70 * 65, 4)));
    ASSERT_EQ(Tniff({"convert", scratch / "gray.pam", scratch / "gray.iff"}).status, 0);
    ASSERT_EQ(Tniff({"convert", scratch / "gray.iff", scratch / "gray.pgm"}).status, 0);
    std::string pgm = ReadWhole(scratch / "gray.pgm");
    ASSERT_EQ(pgm.compare(0, 13, "P5\n70 65\n255\n"), 0);
    EXPECT_EQ(Bytes(pgm.begin() + 13, pgm.end()), Pattern(70 * 65, 4));
    ASSERT_EQ(Tniff({"convert", sample, scratch / "colour.png", "--depth", scratch / "depth.pgm"}).status, 0);
    std::string depthPgm = ReadWhole(scratch / "depth.pgm");
    ASSERT_EQ(depthPgm.compare(0, 15, "P5\n360 240\n255\n"), 0);
    EXPECT_EQ(Bytes(depthPgm.begin() + 15, depthPgm.end()), Interleaved(render, 4, 1));
}

// info --brief: one line a file from the headers, on stdout also for a file it cannot read; a
// cut file says so; others go on; a count of each kind of file ends it.
TEST_F(Basics, BriefInfoGivesOneLineAFileAndACount) {
    MakeInputs(scratch);
    const std::string half = HalfSample();
    Outcome brief = Tniff({"info", "--brief", sample, half, scratch / "jpeg.png"});
    EXPECT_EQ(brief.status, 1);
    const std::string halfLine = ": 360 x 240, RGBA, 5 planes, depth yes, tiles INCOMPLETE (9/24 "
                                 "colour, 8/24 depth); chunk \"ZBUF\" at offset 118256 claims "
                                 "10378 bytes, but the file ends at 125670\n";
    EXPECT_EQ(brief.out, sample + ": 360 x 240, RGBA, 5 planes, depth yes, tiles complete (24/24 colour, 24/24 depth)\n" +
                             half + halfLine + (scratch / "jpeg.png") +
                             ": not an image in this format: it is a JPEG image\n");
    EXPECT_EQ(brief.err, "tniff: 3 files: 1 whole, 0 damaged, 1 incomplete, 0 missing, 1 not readable\n");
}

// The half file with depth under --partial: every whole colour tile (the bottom row of tiles
// whole) arrives, and a note says what is missing.
TEST_F(Basics, PartialConvertsTheWholeTilesOfAHalfFile) {
    const std::string in = HalfSample();
    Outcome partial = Tniff({"convert", "--partial", in, scratch / "half.pam"});
    ASSERT_EQ(partial.status, 0) << Describe(partial);
    EXPECT_EQ(partial.err, "tniff: note: " + in +
                               ": truncated: the module read only 9 of the 24 colour tiles and 8 "
                               "of the 24 depth tiles that the file's header announces; the rest "
                               "of the image is 0\n");
    Pam half = ReadPam(scratch / "half.pam");
    ASSERT_EQ(half.depth, 5);
    const Bytes full = Interleaved(render, 0, 5);
    for (int y = 240 - 64; y < 240; ++y)
        for (int x = 0; x < 360; ++x)
            for (int c = 0; c < 4; ++c) {
                size_t at = (size_t(y) * 360 + size_t(x)) * 5 + size_t(c);
                ASSERT_EQ(half.pixels[at], full[at]) << "row " << y << " column " << x;
            }
}

// PNG levels: every level decodes to the same pixels, and the smallest level is the largest file.
TEST_F(Basics, EveryPngLevelGivesThePixels) {
    for (const char* level : {"0", "9"}) {
        Outcome png = Tniff({"convert", "--png-level", level, sample, scratch / (std::string("l") + level + ".png")});
        ASSERT_EQ(png.status, 0) << Describe(png);
        EXPECT_EQ(DecodePng(scratch / (std::string("l") + level + ".png"), scratch).pixels, Interleaved(render, 0, 4));
    }
    EXPECT_GT(fs::file_size(scratch / "l0.png"), fs::file_size(scratch / "l9.png"));
}

// One bar for the whole run: reading, then writing the PNG, to 100% only at the end.
TEST_F(Basics, OneProgressBarForTheWholeRun) {
    RunSettings terminal;
    terminal.terminalStderr = true;
    Outcome shown = Tniff({"convert", sample, scratch / "bar.png"}, terminal);
    ASSERT_EQ(shown.status, 0) << Describe(shown);
    const size_t writing = shown.err.find("writing bar.png [");
    ASSERT_NE(writing, std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.find("] 100%"), shown.err.find("] 100%", writing)) << shown.err;
    EXPECT_NE(shown.err.find("] 100%", writing), std::string::npos) << shown.err;
}

}  // namespace

#endif  // TNIFF_TOOL_FILE
