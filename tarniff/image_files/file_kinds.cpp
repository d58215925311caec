// The kinds of image file, told apart by name and by content. Their readers and writers are in
// codec_table.cpp, so that a front end without the PNG and TIFF libraries (the web page) can
// still tell what a file is.
#include "tarniff/tarniff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarniff {

namespace {

// Up to size first bytes of the regular file at path; 0 for anything else. A FIFO or a device is
// never opened: the open of a FIFO waits for a writer.
size_t FirstBytes(const std::string& path, uint8_t* bytes, size_t size) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

// Every kind of file, in FileKind's order: its extension and what its bytes are called.
struct KindEntry {
    FileKind kind;
    const char* extension;
    const char* content;
};
const KindEntry kKinds[] = {
    {FileKind::iff, ".iff", "an image in this format (.iff)"},
    {FileKind::png, ".png", "a PNG image"},
    {FileKind::pam, ".pam", "a PAM image"},
    {FileKind::pgm, ".pgm", "a PGM image"},
    {FileKind::ppm, ".ppm", "a PPM image"},
    {FileKind::tiff, ".tiff", "a TIFF image"},
};

const KindEntry& EntryOf(FileKind kind) { return kKinds[static_cast<int>(kind)]; }

}  // namespace

bool KindFromName(const std::string& name, FileKind* kind) {
    std::string lower = name;
    if (!lower.empty() && lower[0] == '.') lower.erase(0, 1);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "tif") lower = "tiff";
    if (lower == "pnm") lower = "ppm";
    for (const KindEntry& entry : kKinds) {
        if (lower == entry.extension + 1) {
            *kind = entry.kind;
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
    throw Error(path + ": unknown file type " +
                    (extension.empty() ? "(no extension)" : "\"" + extension + "\"") +
                    ": tniff converts .iff, .png, .pam, .pgm, .ppm and .tiff files",
                kExitUsage);
}

const char* ExtensionOf(FileKind kind) { return EntryOf(kind).extension; }

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
            *note = path + ": it is " + EntryOf(byContent).content + "; read as that";
    }
    return byContent;
}

bool SniffKind(const uint8_t* b, size_t n, FileKind* kind, std::string* description) {
    description->clear();
    auto starts = [&](const char* magic, size_t length) {
        return n >= length && std::memcmp(b, magic, length) == 0;
    };
    if (n >= 12 && starts("FOR4", 4) && std::memcmp(b + 8, "CIMG", 4) == 0) {
        *kind = FileKind::iff;
        return true;
    }
    if (starts("\x89PNG\r\n\x1a\n", 8)) {
        *kind = FileKind::png;
        return true;
    }
    // TIFF: byte order "II" or "MM", then 42 (classic) or 43 (BigTIFF) in that order.
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        *kind = FileKind::tiff;
        return true;
    }
    // Netpbm: "P" and a digit, then white space.
    if (n >= 3 && b[0] == 'P' && std::isspace(b[2])) {
        if (b[1] == '5')
            *kind = FileKind::pgm;
        else if (b[1] == '6')
            *kind = FileKind::ppm;
        else if (b[1] == '7')
            *kind = FileKind::pam;
        if (b[1] >= '5' && b[1] <= '7') return true;
        if (b[1] >= '1' && b[1] <= '4') {
            *description =
                "a plain-text or one-bit Netpbm image (P" + std::string(1, char(b[1])) + ")";
            return false;
        }
    }
    if (starts("\xFF\xD8\xFF", 3))
        *description = "a JPEG image";
    else if (starts("GIF87a", 6) || starts("GIF89a", 6))
        *description = "a GIF image";
    else if (starts("BM", 2) && n >= 14)
        *description = "a BMP image";
    else if (n >= 12 && starts("RIFF", 4) && std::memcmp(b + 8, "WEBP", 4) == 0)
        *description = "a WebP image";
    else if (starts("8BPS", 4))
        *description = "a Photoshop document";
    else if (starts("\x76\x2f\x31\x01", 4))
        *description = "an OpenEXR image";
    else if (starts("FOR4", 4) || starts("FORM", 4))
        *description = "an IFF file of another type";
    return false;
}

std::string DescribeContent(const std::string& path) {
    uint8_t bytes[16];
    const size_t count = FirstBytes(path, bytes, sizeof bytes);
    FileKind kind;
    std::string description;
    if (SniffKind(bytes, count, &kind, &description)) return EntryOf(kind).content;
    return description;
}

std::string NotAConvertedKind(const std::string& description) {
    return "not an .iff, PNG, PAM, PGM, PPM or TIFF image" +
           (description.empty() ? "" : ": it is " + description);
}

}  // namespace tarniff
