// What kind of file a path or its first bytes stand for: the kinds tniff converts, chosen by
// extension (or named with --to), and the kinds it recognises by their first bytes only to say
// what a misnamed file really is.
#ifndef TNIFF_CLI_FILE_TYPE_H
#define TNIFF_CLI_FILE_TYPE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tniff_cli {

enum class FileKind { iff, png, pam, pgm, ppm, tiff };

// The kind named by an extension or a --to value ("png", ".PNG", "tif"); false for any other.
bool KindFromName(const std::string& name, FileKind* kind);
// The kind of path from its extension; throws ToolError (usage) for an unknown one.
FileKind KindOfPath(const std::string& path);
// The extension tniff gives a kind: ".iff", ".png", ...
const char* ExtensionOf(FileKind kind);

// What the first bytes of a file are. Sets *kind and answers true for a kind tniff converts
// (P5 is pgm, P6 is ppm, P7 is pam; classic TIFF and BigTIFF are tiff); otherwise gives false, and *description names what the
// bytes are when they are a known image format ("a JPEG image"), or is empty.
bool SniffKind(const uint8_t* bytes, size_t count, FileKind* kind, std::string* description);

// A description of the first bytes of the file at path, as SniffKind gives it; "" when unknown.
std::string DescribeContent(const std::string& path);

// Why a file whose first bytes are of no kind tniff converts is refused, the same words for
// standard input and for a named file: "not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is
// a JPEG image"; description is what SniffKind gave, "" for bytes of no known format.
std::string NotAConvertedKind(const std::string& description);

}  // namespace tniff_cli

#endif
