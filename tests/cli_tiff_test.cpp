// tniff and TIFF files, run as a user runs it. TIFF files it reads are written here with libtiff
// in every layout it takes, beside a PAM file of the pixels they must give; the .iff files made
// from the two must be the same bytes. TIFF files it writes are read here with libtiff and checked
// against its PAM output of the same .iff file.
#if defined(TNIFF_TOOL_FILE)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/iff_builder.h"
#include "tests/support/tiff_maker.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tniff_tiff_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~Scratch() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Outcome {
    int status = -1;
    std::string err;
};

// tniff with arguments, stdin from stdinPath; stderr collected.
Outcome Tniff(const std::vector<std::string>& arguments, const std::string& stdinPath = "/dev/null") {
    Scratch capture;
    const std::string errPath = capture / "err";
    std::vector<char*> argv{const_cast<char*>(TNIFF_TOOL_FILE)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int in = open(stdinPath.c_str(), O_RDONLY);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int out = open("/dev/null", O_WRONLY);
        if (in < 0 || err < 0 || out < 0) _exit(125);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.err = ReadWhole(errPath);
    return outcome;
}

std::string Describe(const Outcome& outcome) {
    return "status " + std::to_string(outcome.status) + ", stderr: " + outcome.err;
}

// Deterministic values below limit + 1, with runs so that compression has something to find.
std::vector<uint32_t> Values(size_t count, uint32_t limit, uint32_t seed) {
    std::vector<uint32_t> values(count);
    uint32_t state = seed * 2654435761u + 1u, value = 0;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 29) < 5) value = (state >> 8) % (limit + 1);
        values[i] = value;
    }
    return values;
}

std::string PamOf(uint32_t width, uint32_t height, int depth, uint32_t maxval, const std::vector<uint32_t>& samples) {
    std::string pam = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) + "\nDEPTH " +
                      std::to_string(depth) + "\nMAXVAL " + std::to_string(maxval) + "\nENDHDR\n";
    for (uint32_t v : samples) {
        if (maxval > 255) pam.push_back(char(v >> 8));
        pam.push_back(char(v & 0xFF));
    }
    return pam;
}

// ---- TIFF files in: every kind, against the same pixels through PAM -------------------------------

enum class Alpha { none, straight, associated, unspecified };

struct InCase {
    const char* name;
    uint16_t photometric;  // 0 min-is-white, 1 min-is-black, 2 RGB, 3 palette
    uint16_t bits;
    Alpha alpha;
    bool separate;
    uint32_t tile;          // 0: strips
    uint16_t compression;
    bool bigEndian;
    bool eightBitMap;       // palette: colour map entries below 256 (read as 8-bit values)
    bool bigTiff = false;
};

void PrintTo(const InCase& c, std::ostream* os) { *os << c.name; }

class TiffIn : public ::testing::TestWithParam<InCase> {};

TEST_P(TiffIn, GivesThePixelsOfTheSameImageAsPam) {
    const InCase c = GetParam();
    Scratch scratch;
    tiffmake::Spec spec;
    spec.width = 70;  // partial tiles and strips at the right and bottom edges
    spec.height = 45;
    spec.photometric = c.photometric;
    spec.bits = c.bits;
    spec.separate = c.separate;
    spec.tile = c.tile;
    spec.rowsPerStrip = 7;
    spec.compression = c.compression;
    spec.bigEndian = c.bigEndian;
    spec.bigTiff = c.bigTiff;
    const int colours = c.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    const bool alpha = c.alpha != Alpha::none;
    spec.samples = uint16_t(colours + (alpha ? 1 : 0));
    if (alpha) {
        spec.extra = {uint16_t(c.alpha == Alpha::associated ? EXTRASAMPLE_ASSOCALPHA
                               : c.alpha == Alpha::straight ? EXTRASAMPLE_UNASSALPHA
                                                            : EXTRASAMPLE_UNSPECIFIED)};
    }
    const uint32_t largest = (1u << c.bits) - 1;
    const size_t pixels = size_t(spec.width) * spec.height;
    const std::vector<uint32_t> drawn = Values(pixels * spec.samples, largest, c.bits * 7u + colours + spec.samples);

    // What tniff must make of each pixel, as samples of the PAM file's MAXVAL.
    std::vector<uint32_t> expected;
    uint32_t maxval = largest;
    int depth = spec.samples;
    if (c.photometric == PHOTOMETRIC_PALETTE) {
        const size_t entries = size_t(1) << c.bits;
        const std::vector<uint32_t> map = Values(entries * 3, c.eightBitMap ? 255 : 65535, 99);
        spec.colourMap.assign(map.begin(), map.end());
        maxval = c.eightBitMap ? 255 : 65535;
        depth = 3;
        spec.values = drawn;
        for (uint32_t index : drawn)
            for (int k = 0; k < 3; ++k) expected.push_back(map[size_t(k) * entries + index]);
    } else {
        for (size_t p = 0; p < pixels; ++p) {
            const uint32_t* pixel = &drawn[p * spec.samples];
            const uint32_t a = alpha ? pixel[colours] : largest;
            for (int s = 0; s < colours; ++s) {
                uint32_t stored = pixel[s];
                uint32_t seen = stored;
                if (c.alpha == Alpha::associated) {
                    // Stored premultiplied; read back straight, rounded to nearest.
                    stored = uint32_t(std::lround(double(pixel[s]) * a / largest));
                    seen = a == 0 ? 0 : std::min(largest, uint32_t(std::lround(double(stored) * largest / a)));
                }
                spec.values.push_back(c.photometric == PHOTOMETRIC_MINISWHITE ? largest - stored : stored);
                expected.push_back(seen);
            }
            if (alpha) {
                spec.values.push_back(a);
                expected.push_back(a);
            }
        }
    }
    ASSERT_TRUE(tiffmake::Write(spec, scratch / "in.tiff"));
    WriteWhole(scratch / "in.pam", PamOf(spec.width, spec.height, depth, maxval, expected));

    Outcome fromTiff = Tniff({"convert", scratch / "in.tiff", scratch / "tiff.iff"});
    ASSERT_EQ(fromTiff.status, 0) << Describe(fromTiff);
    EXPECT_EQ(fromTiff.err, c.bits == 16 ? "tniff: note: " + (scratch / "in.tiff") +
                                               ": its 16-bit samples are stored as 8 bits; the format holds 8 bits "
                                               "per channel\n"
                                         : "");
    Outcome fromPam = Tniff({"convert", scratch / "in.pam", scratch / "pam.iff"});
    ASSERT_EQ(fromPam.status, 0) << Describe(fromPam);
    const std::string tiffIff = ReadWhole(scratch / "tiff.iff");
    EXPECT_GT(tiffIff.size(), 100u);
    EXPECT_TRUE(tiffIff == ReadWhole(scratch / "pam.iff")) << "the two .iff files differ";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, TiffIn,
    ::testing::Values(
        InCase{"Gray8Strips", 1, 8, Alpha::none, false, 0, COMPRESSION_NONE, false, false},
        InCase{"GrayAlpha8Planes", 1, 8, Alpha::straight, true, 0, COMPRESSION_ADOBE_DEFLATE, false, false},
        InCase{"GrayUnspecifiedExtra", 1, 8, Alpha::unspecified, false, 0, COMPRESSION_LZW, true, false},
        InCase{"Rgb8Tiles", 2, 8, Alpha::none, false, 16, COMPRESSION_ADOBE_DEFLATE, false, false},
        InCase{"Rgb8BigTiff", 2, 8, Alpha::none, false, 0, COMPRESSION_LZW, true, false, true},
        InCase{"Rgba8BigEndian", 2, 8, Alpha::straight, false, 0, COMPRESSION_PACKBITS, true, false},
        InCase{"Rgba8AssociatedPlanes", 2, 8, Alpha::associated, true, 0, COMPRESSION_NONE, false, false},
        InCase{"Gray16MinIsWhiteTiles", 0, 16, Alpha::none, false, 32, COMPRESSION_NONE, true, false},
        InCase{"Rgb16PlanesTiles", 2, 16, Alpha::none, true, 16, COMPRESSION_ADOBE_DEFLATE, false, false},
        InCase{"Rgba16Associated", 2, 16, Alpha::associated, false, 0, COMPRESSION_LZW, true, false},
        InCase{"Rgba16AssociatedPlanes", 2, 16, Alpha::associated, true, 0, COMPRESSION_NONE, false, false},
        InCase{"Palette8", 3, 8, Alpha::none, false, 0, COMPRESSION_NONE, false, false},
        InCase{"Palette4EightBitMap", 3, 4, Alpha::none, false, 16, COMPRESSION_NONE, false, true},
        InCase{"Gray1MinIsWhite", 0, 1, Alpha::none, false, 0, COMPRESSION_ADOBE_DEFLATE, false, false},
        InCase{"Gray2", 1, 2, Alpha::none, false, 0, COMPRESSION_NONE, true, false},
        InCase{"Gray4Tiles", 1, 4, Alpha::none, false, 16, COMPRESSION_NONE, false, false}),
    [](const ::testing::TestParamInfo<InCase>& info) { return std::string(info.param.name); });

// ---- TIFF files out: the colour image and the depth buffer -----------------------------------------

struct ReadBack {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, unit = 0;
    std::vector<uint16_t> extra;
    float xResolution = 0, yResolution = 0;
    bool dated = false;
    Bytes pixels;
};

// The file as libtiff reads it; pixels of 8-bit interleaved samples.
ReadBack ReadTiff(const std::string& path) {
    ReadBack back;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tiff, nullptr) << path;
    if (tiff == nullptr) return back;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &back.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &back.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &back.bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &back.samples);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &back.photometric);
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &back.compression);
    TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &back.unit);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &back.xResolution);
    TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &back.yResolution);
    char* date = nullptr;
    back.dated = TIFFGetField(tiff, TIFFTAG_DATETIME, &date) != 0;
    uint16_t count = 0;
    uint16_t* kinds = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds)) back.extra.assign(kinds, kinds + count);
    const size_t line = size_t(TIFFScanlineSize(tiff));
    back.pixels.resize(line * back.height);
    for (uint32_t y = 0; y < back.height; ++y) {
        EXPECT_GE(TIFFReadScanline(tiff, back.pixels.data() + y * line, y, 0), 0) << path;
    }
    TIFFClose(tiff);
    return back;
}

// The pixels of a PAM file tniff wrote: DEPTH planes of MAXVAL 255 after the header.
Bytes PamPlanes(const std::string& path, int depth, int first, int count) {
    const std::string text = ReadWhole(path);
    const size_t start = text.find("ENDHDR\n") + 7;
    Bytes planes;
    for (size_t i = start; i + size_t(depth) <= text.size(); i += size_t(depth))
        for (int k = first; k < first + count; ++k) planes.push_back(uint8_t(text[i + size_t(k)]));
    return planes;
}

class TiffOut : public ::testing::TestWithParam<int> {};

TEST_P(TiffOut, HoldsThePixelsAndDepthTheModuleGives) {
    const int channels = GetParam();
    Scratch scratch;
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(100, 70, channels, true);
    fileSpec.image.FillRandom(uint64_t(channels) * 5, 6);
    fileSpec.image.FillRandomDepth(7);
    const iffbuild::Bytes built = iffbuild::BuildFile(fileSpec).bytes;
    WriteWhole(scratch / "in.iff", std::string(built.begin(), built.end()));

    Outcome out = Tniff({"convert", scratch / "in.iff", scratch / "out.tiff", "--depth", scratch / "depth.tif"});
    ASSERT_EQ(out.status, 0) << Describe(out);
    EXPECT_EQ(out.err, "");
    Outcome pam = Tniff({"convert", scratch / "in.iff", scratch / "all.pam"});
    ASSERT_EQ(pam.status, 0) << Describe(pam);

    const ReadBack colour = ReadTiff(scratch / "out.tiff");
    EXPECT_EQ(colour.width, 100u);
    EXPECT_EQ(colour.height, 70u);
    EXPECT_EQ(colour.bits, 8);
    EXPECT_EQ(colour.samples, channels);
    EXPECT_EQ(colour.photometric, channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    EXPECT_EQ(colour.extra, channels == 4 ? std::vector<uint16_t>{EXTRASAMPLE_UNASSALPHA} : std::vector<uint16_t>{});
    EXPECT_EQ(colour.compression, COMPRESSION_ADOBE_DEFLATE);
    EXPECT_EQ(colour.unit, RESUNIT_INCH);
    EXPECT_EQ(colour.xResolution, 72.0f);
    EXPECT_EQ(colour.yResolution, 72.0f);
    EXPECT_FALSE(colour.dated);
    EXPECT_EQ(colour.pixels, PamPlanes(scratch / "all.pam", channels + 1, 0, channels));
    const ReadBack depth = ReadTiff(scratch / "depth.tif");
    EXPECT_EQ(depth.samples, 1);
    EXPECT_EQ(depth.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(depth.pixels, PamPlanes(scratch / "all.pam", channels + 1, channels, 1));

    // The same file again, also through standard output: the same bytes.
    ASSERT_EQ(Tniff({"convert", scratch / "in.iff", scratch / "again.tiff"}).status, 0);
    EXPECT_TRUE(ReadWhole(scratch / "again.tiff") == ReadWhole(scratch / "out.tiff"));

    // And back, also from standard input: the colour image the module saves from the .iff itself.
    ASSERT_EQ(Tniff({"convert", scratch / "in.iff", scratch / "direct.iff"}).status, 0);
    Outcome back = Tniff({"convert", scratch / "out.tiff", scratch / "back.iff"});
    ASSERT_EQ(back.status, 0) << Describe(back);
    Outcome piped = Tniff({"convert", "-", scratch / "piped.iff"}, scratch / "out.tiff");
    ASSERT_EQ(piped.status, 0) << Describe(piped);
    const std::string direct = ReadWhole(scratch / "direct.iff");
    EXPECT_TRUE(ReadWhole(scratch / "back.iff") == direct);
    EXPECT_TRUE(ReadWhole(scratch / "piped.iff") == direct);
}

INSTANTIATE_TEST_SUITE_P(GrayRgbRgba, TiffOut, ::testing::Values(1, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Channels" + std::to_string(info.param);
                         });

// ---- TIFF files tniff refuses: one line, exit 1, no output -------------------------------------------

TEST(TiffRefused, OneLineSaysWhyAndNothingIsWritten) {
    Scratch scratch;
    tiffmake::Spec rgb;
    rgb.width = 64;
    rgb.height = 40;
    rgb.photometric = PHOTOMETRIC_RGB;
    rgb.samples = 3;
    rgb.compression = COMPRESSION_ADOBE_DEFLATE;
    rgb.values = Values(size_t(64) * 40 * 3, 255, 3);
    ASSERT_TRUE(tiffmake::Write(rgb, scratch / "whole.tiff"));
    const std::string whole = ReadWhole(scratch / "whole.tiff");

    tiffmake::Spec cmyk = rgb;
    cmyk.photometric = PHOTOMETRIC_SEPARATED;
    cmyk.samples = 4;
    cmyk.values = Values(size_t(64) * 40 * 4, 255, 4);
    ASSERT_TRUE(tiffmake::Write(cmyk, scratch / "cmyk.tiff"));
    tiffmake::Spec floats = rgb;
    floats.photometric = PHOTOMETRIC_MINISBLACK;
    floats.samples = 1;
    floats.bits = 32;
    floats.sampleFormat = SAMPLEFORMAT_IEEEFP;
    floats.values.assign(size_t(64) * 40, 0x3F800000u);
    ASSERT_TRUE(tiffmake::Write(floats, scratch / "float.tiff"));

    struct Refusal {
        std::string file;
        std::string bytes;   // written as the file unless empty
        std::string starts;  // the line after "tniff: DIR/file: "
        std::vector<std::string> options;
    };
    const std::string supported = "; tniff reads gray, RGB and palette images of 1, 2, 4, 8 or 16 bits per sample\n";
    const std::vector<Refusal> refusals = {
        {"header.tiff", whole.substr(0, 8), "truncated TIFF file: its first image directory is at byte ", {}},
        {"half.tiff", whole.substr(0, whole.size() / 2), "truncated TIFF file: its first image directory is at byte ",
         {}},
        {"all-but-one.tiff", whole.substr(0, whole.size() - 1), "broken TIFF file: ", {}},
        {"cmyk.tiff", "", "unsupported TIFF file: it is a CMYK (separated) image, 4 samples of 8 bits per pixel" +
                              supported, {}},
        {"float.tiff", "", "unsupported TIFF file: it is a gray image of floating-point samples, 1 sample of 32 bits "
                           "per pixel" + supported, {}},
        {"whole.tiff", "", "64 by 40 with 3 channels needs 7680 bytes, more than tniff's image-size limit of 4096 "
                           "bytes (--max-image-size raises it)\n", {"--max-image-size", "4K"}},
        {"whole.png", whole, "not a PNG file: it is a TIFF image\n", {}},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.file);
        if (!r.bytes.empty()) WriteWhole(scratch / r.file, r.bytes);
        std::vector<std::string> arguments = r.options;
        arguments.insert(arguments.end(), {"convert", scratch / r.file, scratch / "out.iff"});
        Outcome refused = Tniff(arguments);
        EXPECT_EQ(refused.status, 1);
        const std::string prefix = "tniff: " + (scratch / r.file) + ": " + r.starts;
        EXPECT_EQ(refused.err.compare(0, prefix.size(), prefix), 0) << refused.err;
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_FALSE(fs::exists(scratch / "out.iff"));
    }
}

}  // namespace

#endif
