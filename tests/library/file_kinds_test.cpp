// The table of file kinds in process: every row's names, extensions and signatures lead back to
// it, its codec writes files that read back the same and say their kind in their first bytes,
// and every list of kinds (messages, tniff's help) names every row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/iff_builder.h"
#include "tests/support/temp_file.h"

namespace {

using tarniff::FileKind;
using tarniff::KindRow;
using tarniff::KindRows;

// A signature as bytes a file could begin with: any byte for '?', a newline for white space,
// padded to the 16 bytes the sniffing looks at.
std::vector<uint8_t> BytesOf(std::string_view signature) {
    std::vector<uint8_t> bytes;
    for (char c : signature) bytes.push_back(c == '?' ? 0xAB : c == '_' ? '\n' : uint8_t(c));
    bytes.resize(std::max<size_t>(bytes.size(), 16), ' ');
    return bytes;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

TEST(FileKinds, EveryRowsNamesAndSignaturesLeadBackToIt) {
    const std::vector<KindRow>& rows = KindRows();
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const KindRow& row = rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(static_cast<size_t>(row.kind), i) << "rows are in FileKind's order";
        EXPECT_EQ(&tarniff::RowOf(row.kind), &row);
        EXPECT_EQ(std::string(tarniff::ExtensionOf(row.kind)), std::string(row.extensions[0]));
        FileKind kind = FileKind::iff;
        ASSERT_TRUE(tarniff::KindFromName(row.name, &kind));
        EXPECT_EQ(kind, row.kind);
        for (std::string_view extension : row.extensions) {
            for (const std::string& spelled :
                 {std::string(extension), std::string(extension.substr(1)), Upper(extension)}) {
                kind = FileKind::iff;
                ASSERT_TRUE(tarniff::KindFromName(spelled, &kind)) << spelled;
                EXPECT_EQ(kind, row.kind) << spelled;
            }
            EXPECT_EQ(tarniff::KindOfPath("dir.x/frame.0001" + std::string(extension)), row.kind);
        }
        ASSERT_FALSE(row.signatures.empty());
        for (std::string_view signature : row.signatures) {
            const std::vector<uint8_t> bytes = BytesOf(signature);
            std::string description = "stale";
            kind = FileKind::iff;
            EXPECT_TRUE(tarniff::SniffKind(bytes.data(), bytes.size(), &kind, &description));
            EXPECT_EQ(kind, row.kind);
            EXPECT_EQ(description, "");
            // The signature's last byte counts: one byte fewer is not this kind.
            EXPECT_FALSE(
                tarniff::SniffKind(bytes.data(), signature.size() - 1, &kind, &description) &&
                kind == row.kind);
        }
    }
    FileKind kind;
    for (const char* unknown : {"", ".", "jpg", "tiffs", "iff.png"})
        EXPECT_FALSE(tarniff::KindFromName(unknown, &kind)) << unknown;
}

// Bytes of kinds not converted here are named, so that a refusal says what the file is.
TEST(FileKinds, OtherFormatsAreNamedByTheirFirstBytes) {
    struct Case {
        std::string bytes;
        const char* content;
    };
    const Case cases[] = {
        {"P1\n2 1\n0 1\n", "a plain-text or one-bit Netpbm image (P1)"},
        {"P4 8 1\n\x55", "a plain-text or one-bit Netpbm image (P4)"},
        {"P6x\n1 1\n255\n", ""},
        {"P8\n", ""},
        {"\xFF\xD8\xFF\xE0 JFIF", "a JPEG image"},
        {"GIF89a\x01\x00", "a GIF image"},
        {"BM" + std::string(12, '\0'), "a BMP image"},
        {"BM" + std::string(11, '\0'), ""},
        {std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), "a WebP image"},
        {"8BPS\0\1", "a Photoshop document"},
        {"\x76\x2f\x31\x01\x02", "an OpenEXR image"},
        {std::string("FOR4\0\0\0\x10ILBM", 12), "an IFF file of another type"},
        {std::string("FORM\0\0\0\x10ILBM", 12), "an IFF file of another type"},
        {"FOR4\0\0\0\x10", "an IFF file of another type"},  // too short to be of this format
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 4));
        FileKind kind;
        std::string description;
        EXPECT_FALSE(tarniff::SniffKind(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                        c.bytes.size(), &kind, &description));
        EXPECT_EQ(description, c.content);
    }
}

// Every kind with a codec: rows written as that kind read back the same, and the file's first
// bytes say the kind, under its own name and under another's (with a note).
TEST(FileKinds, EveryCodecWritesFilesOfItsOwnKind) {
    ScratchDir scratch;
    const std::string iffPath = scratch / "picture.iff";
    {
        iffbuild::FileSpec fileSpec;
        fileSpec.image = iffbuild::Image::Blank(5, 3, 4);
        const iffbuild::Bytes bytes = iffbuild::BuildFile(fileSpec).bytes;
        std::ofstream(iffPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    for (const KindRow& row : KindRows()) {
        SCOPED_TRACE(row.name);
        std::string path = iffPath;
        if (row.kind != FileKind::iff) {
            const int channels = row.kind == FileKind::pgm ? 1 : row.kind == FileKind::ppm ? 3 : 4;
            tarniff::Raster raster(7, 5, channels);
            for (size_t i = 0; i < raster.pixels.size(); ++i)
                raster.pixels[i] = static_cast<uint8_t>(i * 37 + 11);
            path = scratch / ("picture" + std::string(row.extensions[0]));
            tarniff::RasterRows rows(raster);
            tarniff::WriteImageFile(row.kind, rows, path, path, tarniff::WriteSettings());
            tarniff::RasterSink sink;
            tarniff::ReadImageFile(row.kind, path, &sink, tarniff::ReadSettings());
            EXPECT_EQ(sink.raster().channels, channels);
            EXPECT_EQ(sink.raster().pixels, raster.pixels);
        }
        EXPECT_EQ(tarniff::DescribeContent(path), row.content);
        std::string note = "none";
        EXPECT_EQ(tarniff::KindOfInput(path, &note), row.kind);
        EXPECT_EQ(note, "none");
        // Under another kind's name the bytes win, and a note says what the file is.
        const std::string misnamed =
            scratch / (std::string("misnamed") + (row.kind == FileKind::png ? ".tif" : ".png"));
        std::rename(path.c_str(), misnamed.c_str());
        EXPECT_EQ(tarniff::KindOfInput(misnamed, &note), row.kind);
        EXPECT_EQ(note, misnamed + ": it is " + row.content + "; read as that");
        std::rename(misnamed.c_str(), path.c_str());
    }
}

TEST(FileKinds, ListsOfKindsNameEveryRow) {
    EXPECT_EQ(tarniff::NotAConvertedKind("a GIF image"),
              "not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is a GIF image");
    EXPECT_EQ(tarniff::KindNames(), "iff, png, pam, pgm, ppm or tiff");
    EXPECT_EQ(tarniff::OtherExtensions(), ".png, .pam, .pgm, .ppm or .tiff");
    std::string unknown;
    try {
        tarniff::KindOfPath("picture.jpg");
    } catch (const tarniff::Error& error) {
        unknown = error.what();
        EXPECT_EQ(error.status(), tarniff::kExitUsage);
    }
    EXPECT_EQ(unknown,
              "picture.jpg: unknown file type \".jpg\": tniff converts .iff, .png, .pam, "
              ".pgm, .ppm and .tiff files");
    EXPECT_EQ(tarniff::ListInWords({}, "or"), "");
    EXPECT_EQ(tarniff::ListInWords({"a"}, "or"), "a");
    EXPECT_EQ(tarniff::ListInWords({"a", "b"}, "and"), "a and b");
}

#ifdef TNIFF_TOOL_FILE
std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    pclose(pipe);
    return out;
}

// tniff's help lists every kind by its extensions and type name, within 100 columns.
TEST(FileKinds, HelpTextsListEveryRow) {
    const std::string tool = TNIFF_TOOL_FILE;
    const std::string overview = Output("'" + tool + "' --help");
    const std::string convert = Output("'" + tool + "' convert --help");
    ASSERT_NE(convert.find("usage: tniff convert"), std::string::npos) << convert;
    const std::string names = tarniff::KindNames();
    EXPECT_NE(convert.find(": " + names + " "), std::string::npos) << convert;
    std::string everyName;
    for (const KindRow& row : KindRows())
        everyName += (everyName.empty() ? "" : ", ") + std::string(row.name);
    EXPECT_EQ(names.substr(0, names.rfind(" or ")) + ", " + names.substr(names.rfind(" or ") + 4),
              everyName);
    for (const KindRow& row : KindRows()) {
        SCOPED_TRACE(row.name);
        if (row.kind != FileKind::iff) {
            EXPECT_NE(overview.find(std::string(row.extensions[0])), std::string::npos) << overview;
        }
        std::string line = "  ";
        for (std::string_view extension : row.extensions)
            line += (line.size() > 2 ? ", " : "") + std::string(extension);
        EXPECT_NE(convert.find("\n" + line + " "), std::string::npos) << line;
        EXPECT_NE(convert.find(row.about), std::string::npos);
    }
    for (const std::string& text : {overview, convert}) {
        EXPECT_EQ(text.find('@'), std::string::npos) << "a list left unfilled";
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos;
             start = end + 1, end = text.find('\n', start))
            EXPECT_LE(end - start, 100u) << text.substr(start, end - start);
    }
}
#endif

}  // namespace
