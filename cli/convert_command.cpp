// tniff convert IN OUT: between this format, read and written only through the module, and PNG
// or PAM files.
#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "cli/commands.h"
#include "cli/module_host.h"
#include "cli/pam_file.h"
#include "cli/pending_output.h"
#include "cli/png_file.h"
#include "cli/raster.h"
#include "cli/tool_error.h"

namespace tniff_cli {

namespace {

enum class FileKind { iff, png, pam };

FileKind KindOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    std::string extension;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) extension = path.substr(dot);
    std::string lower = extension;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == ".iff") return FileKind::iff;
    if (lower == ".png") return FileKind::png;
    if (lower == ".pam") return FileKind::pam;
    throw ToolError(path + ": unknown file type " + (extension.empty() ? "(no extension)" : "\"" + extension + "\"") +
                        ": tniff converts .iff, .png and .pam files",
                    kExitUsage);
}

// An output path that names a directory would only fail at the very end.
void RefuseDirectory(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw ToolError(path + ": cannot write: it is a directory");
    }
}

// The PAM tuple type for planes of an opened file.
std::string TupleType(const OpenedFile& file, int planes) {
    std::string type = file.colourPlanes == 1 ? "GRAYSCALE" : file.colourPlanes == 3 ? "RGB"
                     : file.colourPlanes == 4 ? "RGB_ALPHA" : "";
    if (planes > file.colourPlanes && file.depthPlane >= 0) type += type.empty() ? "DEPTH" : "_DEPTH";
    return type;
}

// Writes planes first .. first + count - 1 of the file's image as a PNG or PAM file at path;
// tupleType is for a PAM file.
void WriteRaster(const OpenedFile& file, int first, int count, FileKind kind, const std::string& tupleType,
                 const std::string& path, const std::string& name) {
    Raster raster = RasterFromPlanes(file.image, first, count);
    if (kind == FileKind::png) WritePng(raster, path, name);
    else WritePam(raster, tupleType, path, name);
}

std::string TileShortfall(const OpenedFile& file) {
    std::string text;
    if (file.colourTilesRead < file.colourTilesExpected) {
        text += std::to_string(file.colourTilesRead) + " of the " + std::to_string(file.colourTilesExpected) +
                " colour tiles";
    }
    if (file.depthTilesRead < file.depthTilesExpected) {
        if (!text.empty()) text += " and ";
        text += std::to_string(file.depthTilesRead) + " of the " + std::to_string(file.depthTilesExpected) +
                " depth tiles";
    }
    return text;
}

int ConvertFromIff(const Options& options, const ModuleFile& module, const std::string& in, const std::string& out,
                   FileKind outKind) {
    std::optional<FileKind> depthKind;
    if (!options.depthPath.empty()) {
        depthKind = KindOf(options.depthPath);
        if (*depthKind == FileKind::iff) {
            throw ToolError(options.depthPath + ": the depth buffer goes to a .png or .pam file", kExitUsage);
        }
    }

    OpenedFile file;
    {
        ProgressBar progress(!options.quiet, "reading " + FileNameOf(in));
        file = OpenThroughModule(module, in, &progress);
    }
    if (!file.complete()) {
        std::string shortfall = in + ": truncated: the module read only " + TileShortfall(file) +
                                " that the file's header announces";
        if (!options.partial) throw ToolError(shortfall + " (use --partial to convert what there is)");
        Note(options, shortfall + "; the rest of the image is 0");
    }
    if (depthKind && file.depthPlane < 0) {
        throw ToolError(in + ": the file has no depth buffer, so there is nothing to write to " + options.depthPath);
    }

    if (outKind != FileKind::pam && file.colourPlanes == 0) {
        throw ToolError(in + ": the file holds only a depth buffer and no colour image; convert it to a .pam file");
    }

    // Every output is written in full before any of them replaces a file.
    RefuseDirectory(out);
    if (depthKind) RefuseDirectory(options.depthPath);
    PendingOutput output(out);
    if (outKind == FileKind::pam) {
        WriteRaster(file, 0, file.image.planes(), outKind, TupleType(file, file.image.planes()), output.path(), out);
    } else if (outKind == FileKind::png) {
        WriteRaster(file, 0, file.colourPlanes, outKind, "", output.path(), out);
    } else {
        // The format's writer stores no depth buffer: only the colour image is saved again.
        tniff::Image colour = ImageFromRaster(RasterFromPlanes(file.image, 0, file.colourPlanes));
        ProgressBar progress(!options.quiet, "writing " + FileNameOf(out));
        SaveThroughModule(module, colour, output.path(), out, &progress);
    }
    std::unique_ptr<PendingOutput> depthOutput;
    if (depthKind) {
        depthOutput = std::make_unique<PendingOutput>(options.depthPath);
        WriteRaster(file, file.depthPlane, 1, *depthKind, "GRAYSCALE", depthOutput->path(), options.depthPath);
    }
    output.Commit();
    if (depthOutput) depthOutput->Commit();
    if (outKind == FileKind::iff && file.depthPlane >= 0) {
        Note(options, in + ": the depth buffer is not saved; the format's writer stores none");
    }
    return 0;
}

int ConvertToIff(const Options& options, const ModuleFile& module, const std::string& in, FileKind inKind,
                 const std::string& out) {
    if (!options.depthPath.empty()) {
        throw ToolError("--depth writes the depth buffer of an .iff file; " + in + " is not one", kExitUsage);
    }
    Raster raster = inKind == FileKind::png ? ReadPng(in) : ReadPam(in);
    tniff::Image image = ImageFromRaster(raster);
    RefuseDirectory(out);
    PendingOutput output(out);
    {
        ProgressBar progress(!options.quiet, "writing " + FileNameOf(out));
        SaveThroughModule(module, image, output.path(), out, &progress);
    }
    output.Commit();
    if (raster.channels == 5) Note(options, in + ": the fifth plane is not saved; the format stores four channels");
    return 0;
}

}  // namespace

int RunConvert(const Options& options) {
    if (options.files.size() != 2) {
        throw ToolError("convert takes two files, IN and OUT (see tniff convert --help)", kExitUsage);
    }
    const std::string& in = options.files[0];
    const std::string& out = options.files[1];
    FileKind inKind = KindOf(in);
    FileKind outKind = KindOf(out);
    if (inKind != FileKind::iff && outKind != FileKind::iff) {
        throw ToolError("one of the two files must be an .iff file: tniff converts to and from this format",
                        kExitUsage);
    }
    ModuleFile module = LoadModuleFile(options.modulePath.empty() ? DefaultModulePath() : options.modulePath);
    if (inKind == FileKind::iff) return ConvertFromIff(options, module, in, out, outKind);
    return ConvertToIff(options, module, in, inKind, out);
}

}  // namespace tniff_cli
