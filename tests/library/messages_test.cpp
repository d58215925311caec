// The name in every message of an open, in process: whatever goes wrong, the message calls the
// file what the front end named it (OpenSettings::name), and says the same of the file's bytes
// in memory; an incomplete file is refused in Incompleteness's words, or opened as far as it
// goes when asked.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/png_maker.h"
#include "tests/support/temp_file.h"

namespace {

using namespace testfiles;

// Not the path: what a front end calls the file (a layer's name, a URL's last part).
const char kName[] = "shot 12 (render)";

// Every file the cases open, made in folder.
void MakeFiles(const ScratchDir& scratch) {
    const Bytes good = BuildIff(100, 100, 4, false, 21).bytes;
    WriteFile(scratch / "good.iff", good);
    WriteFile(scratch / "depth.iff", BuildIff(40, 40, 3, true, 22).bytes);
    WriteFile(scratch / "short.iff", Bytes(good.begin(), good.begin() + 8));
    WriteFile(scratch / "cut-tiles.iff",
              Bytes(good.begin(), good.begin() + std::ptrdiff_t(good.size() * 2 / 3)));
    WriteUncoveredFiles(scratch.path());
    WriteText(scratch / "text.iff", "This is a text file, not an image at all.\n");
    pngmake::PngSpec png;
    png.width = 3;
    png.height = 2;
    png.colourType = 0;
    png.samples.assign(2, std::vector<int>(3, 9));
    WriteFile(scratch / "picture.iff", pngmake::PngBytes(png));
    iffbuild::FileSpec wide;
    wide.image = iffbuild::Image::Blank(8, 8, 3);
    wide.editHeader = [](iffbuild::Header& header) { header.width = 32768; };
    WriteFile(scratch / "width-32768.iff", iffbuild::BuildFile(wide).bytes);
    std::filesystem::create_directory(scratch / "folder.iff");
    ASSERT_EQ(mkfifo((scratch / "fifo.iff").c_str(), 0644), 0);
    // A file whose reads fail: the reading process's own memory from address 0.
    std::filesystem::create_symlink("/proc/self/mem", scratch / "unreadable.iff");
}

struct OpenCase {
    const char* what;
    const char* file;
    const char* message;  // after "NAME: "
    int systemError = 0;  // Error::systemError()
    // The file's bytes can be read into memory (then their open says the same).
    bool inMemoryToo = true;
    uint64_t maxImageBytes = 0;
    const char* raiseLimit = "";
    bool rawDepth = false;
    // An incomplete image: opened when partial, with message as Incompleteness's words and at
    // least this many pixels 0 in every plane.
    bool incomplete = false;
    uint64_t zeroPixels = 0;
};

OpenCase Refused(const char* what, const char* file, const char* message) {
    OpenCase c;
    c.what = what;
    c.file = file;
    c.message = message;
    return c;
}

OpenCase NotOpened(const char* what, const char* file, const char* message, int systemError) {
    OpenCase c = Refused(what, file, message);
    c.systemError = systemError;
    c.inMemoryToo = false;
    return c;
}

OpenCase AboveTheLimit(const char* what, const char* file, const char* message, uint64_t limit,
                       const char* raiseLimit, bool rawDepth = false) {
    OpenCase c = Refused(what, file, message);
    c.maxImageBytes = limit;
    c.raiseLimit = raiseLimit;
    c.rawDepth = rawDepth;
    return c;
}

OpenCase Incomplete(const char* what, const char* file, const char* message, uint64_t zeroPixels) {
    OpenCase c = Refused(what, file, message);
    c.incomplete = true;
    c.zeroPixels = zeroPixels;
    return c;
}

const OpenCase kOpenCases[] = {
    NotOpened("MissingFile", "none.iff", "cannot open: No such file or directory", ENOENT),
    NotOpened("Directory", "folder.iff", "cannot open: it is a directory", EISDIR),
    NotOpened("Fifo", "fifo.iff", "cannot open: not a regular file", EINVAL),
    NotOpened("UnreadableFile", "unreadable.iff", "the file could not be read (readErr, -19)", 0),
    Refused("AnotherKind", "picture.iff",
            "not an image in this format: it is a PNG image (formatCannotRead, -30501)"),
    Refused("NoImageAtAll", "text.iff", "not an image in this format (formatCannotRead, -30501)"),
    Refused("TooShortToTell", "short.iff", "too short to be an image in this format (eofErr, -39)"),
    Refused("Damaged", "width-32768.iff",
            "not an image in this format: header \"TBHD\" at offset 24: width 32768; an image is "
            "1 to 32767 pixels wide (formatCannotRead, -30501)"),
    AboveTheLimit("AboveTheLimit", "good.iff",
                  "100 by 100 with 4 planes needs 40000 bytes, more than the image-size limit of "
                  "20480 bytes (memFullErr, -108)",
                  20480, ""),
    AboveTheLimit("AboveTheLimitSaysHowToRaiseIt", "good.iff",
                  "100 by 100 with 4 planes needs 40000 bytes, more than the image-size limit of "
                  "20480 bytes (ask for a larger image) (memFullErr, -108)",
                  20480, "ask for a larger image"),
    // The depth as stored takes four bytes a pixel more than the image: 40 x 40 x (4 + 4).
    AboveTheLimit("RawDepthAboveTheLimit", "depth.iff",
                  "40 by 40 with 8 channels needs 12800 bytes, more than the image-size limit of "
                  "10240 bytes (ask for a larger image)",
                  10240, "ask for a larger image", true),
    Incomplete("Truncated", "cut-tiles.iff",
               "truncated: the module read only 2 of the 4 colour tiles that the file's header "
               "announces",
               100 * 36),
    Incomplete("NoTilesAnnounced", "no-tiles.iff",
               "incomplete: the header announces 0 tiles, and no tile covers any of the image's "
               "10000 pixels",
               10000),
    Incomplete("TooFewTilesForTheImage", "few-tiles.iff",
               "incomplete: the header announces 1 tile, and no tile covers 61440 of the image's "
               "65536 pixels",
               61440),
    Incomplete("TooFewTilesWithDepth", "few-depth-tiles.iff",
               "incomplete: the header announces 1 tile, and no tile covers 4096 of the image's "
               "8192 pixels",
               4096),
    Incomplete("ATileReadTwice", "tile-twice.iff",
               "incomplete: the header announces 2 tiles, and no tile covers 4096 of the image's "
               "8192 pixels",
               4096),
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.what; }

std::string ErrorOf(const std::function<void()>& doing, int* systemError = nullptr) {
    try {
        doing();
    } catch (const tarniff::Error& error) {
        if (systemError != nullptr) *systemError = error.systemError();
        return error.what();
    }
    return "(no error)";
}

uint64_t ZeroPixels(const tniff::Image& image) {
    const Bytes pixels = Interleaved(image, 0, image.planes());
    uint64_t zero = 0;
    for (size_t at = 0; at < pixels.size(); at += size_t(image.planes())) {
        zero += std::all_of(pixels.begin() + std::ptrdiff_t(at),
                            pixels.begin() + std::ptrdiff_t(at) + image.planes(),
                            [](uint8_t v) { return v == 0; });
    }
    return zero;
}

class OpenMessages : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenMessages, NameTheFileAsTheFrontEndNamedIt) {
    const OpenCase& c = GetParam();
    ScratchDir scratch;
    MakeFiles(scratch);
    const std::string path = scratch / c.file;
    tarniff::OpenSettings settings;
    settings.name = kName;
    settings.maxImageBytes = c.maxImageBytes;
    settings.raiseLimit = c.raiseLimit;
    settings.rawDepth = c.rawDepth;
    const std::string expected = std::string(kName) + ": " + c.message;

    int systemError = -1;
    EXPECT_EQ(
        ErrorOf([&] { tarniff::OpenThroughModule(BuiltModule(), path, settings); }, &systemError),
        expected);
    EXPECT_EQ(systemError, c.systemError);

    // Inspect opens an incomplete image as far as it goes, and keeps any other failure.
    const tarniff::Inspection inspection = tarniff::Inspect(BuiltModule(), path, settings);
    EXPECT_EQ(inspection.opened, c.incomplete);
    if (!c.incomplete) {
        EXPECT_EQ(inspection.error, expected);
    }

    if (c.inMemoryToo) {
        const Bytes bytes = ReadBytesOf(path);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(ErrorOf([&] {
                      tarniff::OpenBytesThroughModule(BuiltModule(), bytes.data(), bytes.size(),
                                                      settings);
                  }),
                  expected)
            << "from memory";
    }

    if (c.incomplete) {
        settings.partial = true;
        const tarniff::OpenedFile opened =
            tarniff::OpenThroughModule(BuiltModule(), path, settings);
        EXPECT_FALSE(opened.complete());
        EXPECT_EQ(tarniff::Incompleteness(opened, kName), expected);
        EXPECT_GE(ZeroPixels(opened.image), c.zeroPixels);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFailure, OpenMessages, ::testing::ValuesIn(kOpenCases),
                         [](const ::testing::TestParamInfo<OpenCase>& info) {
                             return std::string(info.param.what);
                         });

// Without a name, a file is called by its path, and bytes in memory "the image".
TEST(OpenMessages, WithoutANameThePathOrTheImage) {
    ScratchDir scratch;
    MakeFiles(scratch);
    const std::string path = scratch / "text.iff";
    const std::string refusal = ": not an image in this format (formatCannotRead, -30501)";
    EXPECT_EQ(ErrorOf([&] { tarniff::OpenThroughModule(BuiltModule(), path, {}); }),
              path + refusal);
    const Bytes bytes = ReadBytesOf(path);
    EXPECT_EQ(ErrorOf([&] {
                  tarniff::OpenBytesThroughModule(BuiltModule(), bytes.data(), bytes.size(), {});
              }),
              "the image" + refusal);
}

}  // namespace
