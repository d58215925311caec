// The kinds of image file in one table of rows, told apart by name and by content; every list of
// kinds is made from the rows. Their readers and writers are in codec_table.cpp, so that a front
// end without the PNG and TIFF libraries (the web page) can still tell what a file is.
#include "tarniff/tarniff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "tarniff/open_to_look.h"

using namespace std::literals;

namespace tarniff {

namespace {

// Up to size first bytes of the regular file at path; 0 for anything else. A FIFO or a device is
// never opened: the open of a FIFO waits for a writer.
size_t FirstBytes(const std::string& path, uint8_t* bytes, size_t size) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    int fd = open(path.c_str(), kOpenToLook);
    if (fd < 0) return 0;
    size_t count = 0;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        while (count < size) {
            const ssize_t got = read(fd, bytes + count, size - count);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            count += static_cast<size_t>(got);
        }
    }
    close(fd);
    return count;
}

// What the first bytes of files of kinds not converted here are, checked after every row's.
struct OtherContent {
    std::string_view signature;
    const char* content;
};
const OtherContent kOtherContents[] = {
    {"P1_"sv, "a plain-text or one-bit Netpbm image (P1)"},
    {"P2_"sv, "a plain-text or one-bit Netpbm image (P2)"},
    {"P3_"sv, "a plain-text or one-bit Netpbm image (P3)"},
    {"P4_"sv, "a plain-text or one-bit Netpbm image (P4)"},
    {"\xFF\xD8\xFF"sv, "a JPEG image"},
    {"GIF87a"sv, "a GIF image"},
    {"GIF89a"sv, "a GIF image"},
    {"BM????????????"sv, "a BMP image"},  // no shorter than its file header
    {"RIFF????WEBP"sv, "a WebP image"},
    {"8BPS"sv, "a Photoshop document"},
    {"\x76\x2f\x31\x01"sv, "an OpenEXR image"},
    {"FOR4"sv, "an IFF file of another type"},
    {"FORM"sv, "an IFF file of another type"},
};

bool Matches(std::string_view signature, const uint8_t* bytes, size_t count) {
    if (count < signature.size()) return false;
    for (size_t i = 0; i < signature.size(); ++i) {
        if (signature[i] == '?') continue;
        if (signature[i] == '_') {
            if (!std::isspace(bytes[i])) return false;
        } else if (static_cast<uint8_t>(signature[i]) != bytes[i]) {
            return false;
        }
    }
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

const std::vector<KindRow>& KindRows() {
    // clang-format off
    static const std::vector<KindRow> rows = {
        {FileKind::iff, "iff", {".iff"}, {"FOR4????CIMG"sv},
         ".iff", "an image in this format (.iff)", "this format, read and saved through the module"},
        {FileKind::png, "png", {".png"}, {"\x89PNG\r\n\x1a\n"sv},
         "PNG", "a PNG image", "PNG"},
        {FileKind::pam, "pam", {".pam"}, {"P7_"sv},
         "PAM", "a PAM image", "Netpbm P7 (PAM): 1 to 5 channels"},
        {FileKind::pgm, "pgm", {".pgm"}, {"P5_"sv},
         "PGM", "a PGM image", "Netpbm P5 (PGM): gray"},
        {FileKind::ppm, "ppm", {".ppm", ".pnm"}, {"P6_"sv},
         "PPM", "a PPM image", "Netpbm P6 (PPM): RGB"},
        // Byte order "II" or "MM", then 42 (classic TIFF) or 43 (BigTIFF) in that order.
        {FileKind::tiff, "tiff", {".tiff", ".tif"}, {"II*\0"sv, "MM\0*"sv, "II+\0"sv, "MM\0+"sv},
         "TIFF", "a TIFF image", "TIFF"},
    };
    // clang-format on
    return rows;
}

const KindRow& RowOf(FileKind kind) {
    for (const KindRow& row : KindRows()) {
        if (row.kind == kind) return row;
    }
    throw std::logic_error("a file kind without a row");
}

std::string ListInWords(const std::vector<std::string>& items, const std::string& last) {
    std::string words;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) words += i + 1 == items.size() ? " " + last + " " : ", ";
        words += items[i];
    }
    return words;
}

std::string KindNames() {
    std::vector<std::string> names;
    for (const KindRow& row : KindRows()) names.push_back(row.name);
    return ListInWords(names, "or");
}

std::string OtherExtensions() {
    std::vector<std::string> extensions;
    for (const KindRow& row : KindRows()) {
        if (row.kind != FileKind::iff) extensions.emplace_back(row.extensions[0]);
    }
    return ListInWords(extensions, "or");
}

bool KindFromName(const std::string& name, FileKind* kind) {
    const std::string lower = Lower(!name.empty() && name[0] == '.' ? name.substr(1) : name);
    for (const KindRow& row : KindRows()) {
        bool named = lower == row.name;
        for (std::string_view extension : row.extensions)
            named = named || lower == extension.substr(1);
        if (named) {
            *kind = row.kind;
            return true;
        }
    }
    return false;
}

FileKind KindOfPath(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    std::string extension;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        extension = path.substr(dot);
    FileKind kind;
    if (!extension.empty() && KindFromName(extension, &kind)) return kind;
    std::vector<std::string> extensions;
    for (const KindRow& row : KindRows()) extensions.emplace_back(row.extensions[0]);
    throw Error(path + ": unknown file type " +
                    (extension.empty() ? "(no extension)" : "\"" + extension + "\"") +
                    ": tniff converts " + ListInWords(extensions, "and") + " files",
                kExitUsage);
}

const char* ExtensionOf(FileKind kind) { return RowOf(kind).extensions[0].data(); }

FileKind KindOfInput(const std::string& path, std::string* note) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
        throw Error(path + ": cannot open: not a regular file");
    uint8_t bytes[16];
    const size_t count = FirstBytes(path, bytes, sizeof bytes);
    FileKind byContent, byName;
    std::string description;
    const bool known = SniffKind(bytes, count, &byContent, &description);
    bool named = false;
    try {
        byName = KindOfPath(path);
        named = true;
    } catch (const Error&) {
        if (!known) {
            if (count == 0) throw;
            throw Error(path + ": " + NotAConvertedKind(description), kExitUsage);
        }
    }
    if (!known) return byName;
    // Netpbm files are read as what their first bytes say whichever of the three names they have.
    const bool netpbm = [](FileKind k) {
        return k == FileKind::pam || k == FileKind::pgm || k == FileKind::ppm;
    }(byName);
    if (named && byContent != byName &&
        !(netpbm && (byContent == FileKind::pam || byContent == FileKind::pgm ||
                     byContent == FileKind::ppm))) {
        if (note != nullptr)
            *note = path + ": it is " + RowOf(byContent).content + "; read as that";
    }
    return byContent;
}

bool SniffKind(const uint8_t* bytes, size_t count, FileKind* kind, std::string* description) {
    description->clear();
    for (const KindRow& row : KindRows()) {
        for (std::string_view signature : row.signatures) {
            if (Matches(signature, bytes, count)) {
                *kind = row.kind;
                return true;
            }
        }
    }
    for (const OtherContent& other : kOtherContents) {
        if (Matches(other.signature, bytes, count)) {
            *description = other.content;
            break;
        }
    }
    return false;
}

std::string DescribeContent(const std::string& path) {
    uint8_t bytes[16];
    const size_t count = FirstBytes(path, bytes, sizeof bytes);
    FileKind kind;
    std::string description;
    if (SniffKind(bytes, count, &kind, &description)) return RowOf(kind).content;
    return description;
}

std::string NotAConvertedKind(const std::string& description) {
    // "an" goes with the first row's label, this format's ".iff".
    std::vector<std::string> labels;
    for (const KindRow& row : KindRows()) labels.push_back(row.label);
    return "not an " + ListInWords(labels, "or") + " image" +
           (description.empty() ? "" : ": it is " + description);
}

}  // namespace tarniff
