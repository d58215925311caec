// Opening through the library in process: the module file loaded as every front end loads it,
// from a file, from bytes in memory and from bytes collected as they arrive.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

std::vector<std::string> ScratchNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

void WriteBytes(const std::string& path, const iffbuild::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

iffbuild::Bytes Render(uint32_t width, uint32_t height, int channels, uint64_t seed) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(width, height, channels);
    fileSpec.image.FillRandom(seed, 3);
    return iffbuild::BuildFile(fileSpec).bytes;
}

// A render replaced by the next one while it is read (written under another name and renamed
// over it, as renderers and tniff write): the image, the layout and the tile counts all come
// from one of the two files, never from both.
TEST(LibraryOpen, AFileReplacedWhileItIsReadIsReadAgain) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    ScratchDir scratch;
    const std::string path = scratch / "frame.iff", next = scratch / ".frame.iff.next";
    WriteBytes(path, Render(200, 130, 4, 1));
    WriteBytes(next, Render(64, 64, 3, 2));

    int calls = 0;
    tarniff::OpenSettings settings;
    settings.progress = [&](int32_t, int32_t) {
        if (++calls == 1) {
            ASSERT_EQ(std::rename(next.c_str(), path.c_str()), 0);
        }
    };
    const tarniff::OpenedFile opened = tarniff::OpenThroughModule(module, path, settings);
    EXPECT_EQ(opened.image.width(), 64);
    EXPECT_EQ(opened.layout.header.width, 64u);
    EXPECT_EQ(opened.image.planes(), 3);
    EXPECT_EQ(opened.colourTilesRead, 1);
    EXPECT_TRUE(opened.complete()) << tarniff::Incompleteness(opened, path);
    EXPECT_TRUE(opened.layout.Whole()) << opened.layout.damage.reason;
}

// A file replaced again on every reading is refused with the reason rather than given as a
// mixture.
TEST(LibraryOpen, AFileThatKeepsChangingIsRefused) {
    const tarniff::ModuleFile module = tarniff::LoadModuleFile(TNIFF_MODULE_FILE);
    ScratchDir scratch;
    const std::string path = scratch / "frame.iff", next = scratch / ".frame.iff.next";
    WriteBytes(path, Render(130, 70, 3, 3));
    int readings = 0;
    tarniff::OpenSettings settings;
    settings.progress = [&](int32_t done, int32_t) {
        if (done != 1) return;  // once a reading: a new file in its place
        WriteBytes(next, Render(130, 70, 3, uint64_t(4 + readings++)));
        ASSERT_EQ(std::rename(next.c_str(), path.c_str()), 0);
    };
    try {
        tarniff::OpenThroughModule(module, path, settings);
        ADD_FAILURE() << "opened a file that changed on every reading";
    } catch (const tarniff::Error& error) {
        EXPECT_EQ(std::string(error.what()),
                  path + ": the file changed while it was read, 3 times in a row; read it once it "
                         "is written");
    }
    EXPECT_EQ(readings, 3);
}

// The bottom tile row of a file cut short arrived, the top one did not: 0 there.
TEST(LibraryOpen, PartialOpensWhatATruncatedFileHolds) {
    ScratchDir scratch;
    const iffbuild::Bytes good = testfiles::BuildIff(100, 100, 4, false, 21).bytes;
    WriteBytes(scratch / "good.iff", good);
    WriteBytes(scratch / "cut-tiles.iff",
               iffbuild::Bytes(good.begin(), good.begin() + std::ptrdiff_t(good.size() * 2 / 3)));
    tarniff::OpenSettings settings;
    settings.partial = true;
    const tarniff::OpenedFile cut =
        tarniff::OpenThroughModule(testfiles::BuiltModule(), scratch / "cut-tiles.iff", settings);
    EXPECT_EQ(cut.colourTilesRead, 2);
    EXPECT_EQ(cut.colourTilesExpected, 4);
    const iffbuild::Bytes pixels = testfiles::Interleaved(cut.image, 0, 4);
    const iffbuild::Bytes expected =
        testfiles::Interleaved(testfiles::OpenInProcess(scratch / "good.iff"), 0, 4);
    ASSERT_EQ(pixels.size(), expected.size());
    const size_t topRows = size_t(100 - 64) * 100 * 4;
    EXPECT_EQ(iffbuild::Bytes(pixels.begin(), pixels.begin() + std::ptrdiff_t(topRows)),
              iffbuild::Bytes(topRows, 0));
    EXPECT_EQ(iffbuild::Bytes(pixels.begin() + std::ptrdiff_t(topRows), pixels.end()),
              iffbuild::Bytes(expected.begin() + std::ptrdiff_t(topRows), expected.end()));
}

// What an open of a file gives, for comparing opens.
void ExpectSameOpen(const tarniff::OpenedFile& got, const tarniff::OpenedFile& file) {
    EXPECT_EQ(got.description.width, file.description.width);
    EXPECT_EQ(got.description.height, file.description.height);
    EXPECT_EQ(got.description.mode, file.description.mode);
    EXPECT_EQ(got.description.planes, file.description.planes);
    EXPECT_EQ(got.colourPlanes, file.colourPlanes);
    EXPECT_EQ(got.depthPlane, file.depthPlane);
    EXPECT_EQ(got.colourTilesRead, file.colourTilesRead);
    EXPECT_EQ(got.depthTilesRead, file.depthTilesRead);
    EXPECT_EQ(got.layout.tiles.size(), file.layout.tiles.size());
    EXPECT_EQ(got.complete(), file.complete());
    ASSERT_EQ(got.image.planes(), file.image.planes());
    EXPECT_TRUE(testfiles::Interleaved(got.image, 0, got.image.planes()) ==
                testfiles::Interleaved(file.image, 0, file.image.planes()))
        << "the pixels differ";
}

iffbuild::Bytes ShuffledWithDepth(uint64_t seed) {
    iffbuild::FileSpec fileSpec;
    fileSpec.image = iffbuild::Image::Blank(130, 70, 4, true);
    fileSpec.image.FillRandom(seed, 6);
    fileSpec.image.FillRandomDepth(seed + 1);
    fileSpec.order = iffbuild::TileOrder::Shuffled;
    return iffbuild::BuildFile(fileSpec).bytes;
}

// Bytes in memory open as their file does, and their copy is kept in memory, not in $TMPDIR.
TEST(LibraryOpen, BytesInMemoryOpenAsTheirFileDoes) {
    ScratchDir scratch;
    const std::vector<iffbuild::Bytes> files = {
        ShuffledWithDepth(5), testfiles::BuildIff(65, 10, 1, true, 6).bytes,
        testfiles::BuildIff(50, 40, 0, true, 7).bytes,
        testfiles::BuildIff(64, 64, 3, false, 8, iffbuild::Form::Raw).bytes};
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        const iffbuild::Bytes& bytes = files[i];
        WriteBytes(scratch / "in.iff", bytes);
        const tarniff::OpenedFile file =
            tarniff::OpenThroughModule(testfiles::BuiltModule(), scratch / "in.iff", {});
        ASSERT_TRUE(file.complete());

        OwnTmpdir tmp(scratch / "tmp");
        size_t filesInTmp = 0;
        tarniff::OpenSettings settings;
        settings.name = "in memory";
        settings.progress = [&](int32_t, int32_t) {
            filesInTmp = std::max(filesInTmp, ScratchNames(scratch / "tmp").size());
        };
        const tarniff::OpenedFile memory = tarniff::OpenBytesThroughModule(
            testfiles::BuiltModule(), bytes.data(), bytes.size(), settings);
        ExpectSameOpen(memory, file);
        EXPECT_EQ(filesInTmp, 0u) << "the bytes were copied to $TMPDIR";
        EXPECT_TRUE(ScratchNames(scratch / "tmp").empty());

        const tarniff::TemporaryCopy copy(bytes.data(), bytes.size(), "in memory");
        EXPECT_EQ(copy.path().rfind("/proc/self/fd/", 0), 0u) << copy.path();
        EXPECT_TRUE(testfiles::ReadBytesOf(copy.path()) == bytes);
        EXPECT_EQ(copy.head(), iffbuild::Bytes(bytes.begin(), bytes.begin() + 16));
    }
}

const size_t kPage = 4096;

// The pages of bytes, counted from the first, that hold a byte other than 0.
uint64_t PagesWithData(const iffbuild::Bytes& bytes) {
    uint64_t pages = 0;
    for (size_t at = 0; at < bytes.size(); at += kPage) {
        const auto from = bytes.begin() + std::ptrdiff_t(at);
        const auto to = bytes.begin() + std::ptrdiff_t(std::min(bytes.size(), at + kPage));
        pages += std::any_of(from, to, [](uint8_t b) { return b != 0; }) ? 1 : 0;
    }
    return pages;
}

// Bytes that arrive in pieces of any size, pages of zeros among them (raw tiles of a blank
// image), make the same copy as the whole: the zeros skipped read back as zeros, up to the end.
TEST(LibraryOpen, ACopyAppendedInPiecesIsTheFile) {
    ScratchDir scratch;
    iffbuild::FileSpec blank;
    blank.image = iffbuild::Image::Blank(200, 150, 4, true);  // zeros, and no depth anywhere
    for (uint32_t x = 0; x < 200; x += 7) blank.image.At(x, 75, 1) = 200;
    blank.form = iffbuild::Form::Raw;
    const iffbuild::Bytes bytes = iffbuild::BuildFile(blank).bytes;
    WriteBytes(scratch / "blank.iff", bytes);
    const tarniff::OpenedFile file =
        tarniff::OpenThroughModule(testfiles::BuiltModule(), scratch / "blank.iff", {});
    // The same and pages of zeros after it: the copy is as long as all that was appended.
    iffbuild::Bytes zerosAfter = bytes;
    zerosAfter.resize(bytes.size() + 3 * 4096 + 5, 0);
    const iffbuild::Bytes& endingInZeros = zerosAfter;

    const std::vector<std::vector<size_t>> pieceSizes = {
        {1, 15, 4080, 4096, 4097, 8192, 3}, {kPage}, {3 * kPage, kPage}, {100000}, {7, 12289}};
    for (const iffbuild::Bytes* whole : {&bytes, &endingInZeros}) {
        for (const std::vector<size_t>& sizes : pieceSizes) {
            SCOPED_TRACE(std::to_string(whole->size()) + " bytes in pieces of " +
                         std::to_string(sizes[0]) + " ...");
            tarniff::TemporaryCopy copy("pieces");
            size_t at = 0;
            for (size_t i = 0; at < whole->size(); ++i) {
                const size_t piece = std::min(sizes[i % sizes.size()], whole->size() - at);
                copy.Append(whole->data() + at, piece);
                at += piece;
            }
            copy.Finish();
            ASSERT_TRUE(testfiles::ReadBytesOf(copy.path()) == *whole) << "the copy differs";
            EXPECT_EQ(copy.head(), iffbuild::Bytes(whole->begin(), whole->begin() + 16));
            struct stat status;
            ASSERT_EQ(stat(copy.path().c_str(), &status), 0);
            EXPECT_EQ(uint64_t(status.st_size), whole->size());
            // Pieces of whole pages: a page of zeros takes no memory, so no more is taken than
            // the pages that hold a byte that is not 0.
            const bool wholePages = std::all_of(sizes.begin(), sizes.end(),
                                                [](size_t size) { return size % kPage == 0; });
            if (wholePages && copy.path().rfind("/proc/self/fd/", 0) == 0) {
                EXPECT_LE(uint64_t(status.st_blocks) * 512, PagesWithData(*whole) * kPage);
                EXPECT_LT(PagesWithData(*whole) * 2, whole->size() / kPage);
            }
            if (whole == &bytes) {
                const tarniff::OpenedFile copied =
                    tarniff::OpenThroughModule(testfiles::BuiltModule(), copy.path(), {});
                ExpectSameOpen(copied, file);
            }
        }
    }
}

}  // namespace
