// One file's conversion, as every form of tniff convert runs it.
#include "cli/convert_file.h"
#include "cli/system.h"

#include <memory>
#include <string>
#include <vector>

namespace tniff_cli {

using namespace tarniff;

namespace {

// An output path that names a directory would only fail at the very end.
void RefuseDirectory(const std::string& path) {
    PathFacts facts;
    if (!IsStandardStream(path) && LookAt(path, &facts) && facts.directory) {
        throw Error(path + ": cannot write: it is a directory");
    }
}

// The PAM tuple type for planes of an opened file.
std::string TupleType(const OpenedFile& file, int planes) {
    std::string type = file.colourPlanes == 1   ? "GRAYSCALE"
                       : file.colourPlanes == 3 ? "RGB"
                       : file.colourPlanes == 4 ? "RGB_ALPHA"
                                                : "";
    if (planes > file.colourPlanes && file.depthPlane >= 0)
        type += type.empty() ? "DEPTH" : "_DEPTH";
    return type;
}

// Writes planes first .. first + count - 1 of image as a PNG, PAM, PGM, PPM or TIFF file at path
// (messages call it name), interleaved a block of rows at a time. A PPM of a gray image repeats
// the gray in all three channels; a PGM of a colour image is refused unless its three channels
// are equal everywhere. PGM and PPM hold no alpha: it is dropped with a note. PNG and TIFF files
// of an image whose three channels are equal everywhere are gray (with alpha), unless --rgb; they
// carry the resolution the module described.
void WritePlanes(const Options& options, const tniff::Image& image, int first, int count,
                 FileKind kind, const std::string& tupleType, const std::string& path,
                 const std::string& name, ProgressBar* progress,
                 const Description& description = Description()) {
    WriteSettings settings;
    if (kind == FileKind::tiff || kind == FileKind::png) {
        // The format saves gray as three equal channels: such an image goes out gray again, with
        // its alpha, unless --rgb asks for the channels as the file holds them.
        std::vector<int> planes;
        const bool gray = count >= 3 && !options.keepRgb && ChannelsEqual(image, first);
        for (int c = 0; c < count; ++c) {
            if (!gray || c == 0 || c == 3) planes.push_back(first + c);
        }
        settings.pngLevel = options.pngLevel >= 0 ? options.pngLevel : kDefaultPngLevel;
        settings.resolution = Resolution{description.horizontalDpi, description.verticalDpi};
        settings.progress = progress->Reporter();
        PlaneRows rows(image, planes);
        WriteImageFile(kind, rows, path, name, settings);
        return;
    }
    if (kind == FileKind::pam) {
        settings.tupleType = tupleType;
        PlaneRows rows(image, first, count);
        WriteImageFile(kind, rows, path, name, settings);
    } else {
        // The format saves gray as three equal channels: such an image is gray again for a PGM.
        bool gray = count <= 2;
        if (!gray && kind == FileKind::pgm) {
            gray = ChannelsEqual(image, first);
            if (!gray) {
                throw Error(
                    name +
                    ": a PGM file holds a gray image and this one is in colour; write .ppm, .png "
                    "or .pam");
            }
        }
        // Alpha follows the colour: a second plane of gray, a fourth of RGB.
        if (count > (count <= 2 ? 1 : 3)) {
            Note(options, name + ": the alpha channel is not written; PGM and PPM hold none");
        }
        std::vector<int> planes;
        for (int c = 0; c < (kind == FileKind::pgm ? 1 : 3); ++c)
            planes.push_back(first + (gray ? 0 : c));
        PlaneRows rows(image, planes);
        WriteImageFile(kind, rows, path, name, settings);
    }
    progress->Update(1, 1);
}

// The image-size limit of an open: --max-image-size, or tniff's default.
uint64_t MaxImageBytes(const Options& options) {
    return options.maxImageBytes != 0 ? options.maxImageBytes : DefaultMaxImageBytes();
}

}  // namespace

int ConvertFromIff(const Options& options, const ModuleFile& module, const std::string& in,
                   const std::string& inName, const std::string& out, FileKind outKind,
                   ProgressBar& progress, int64_t* pixels) {
    bool writeDepth = !options.depthPath.empty();
    const FileKind depthKind = writeDepth ? KindOfPath(options.depthPath) : FileKind::png;
    if (writeDepth) {
        if (depthKind == FileKind::iff) {
            throw Error(
                options.depthPath + ": the depth buffer goes to a " + OtherExtensions() + " file",
                kExitUsage);
        }
    }

    bool writeRawDepth = !options.rawDepthPath.empty();
    if (writeRawDepth && KindOfPath(options.rawDepthPath) != FileKind::tiff) {
        throw Error(
            options.rawDepthPath + ": the depth values as stored go to a 32-bit .tif or .tiff file",
            kExitUsage);
    }

    // One bar for the whole run: reading, then each output.
    const int phases = 2 + (writeDepth ? 1 : 0) + (writeRawDepth ? 1 : 0);
    progress.Relabel("reading " + FileNameOf(inName));
    progress.SetPhase(0, phases);
    OpenSettings openSettings;
    openSettings.name = inName;
    openSettings.maxImageBytes = options.maxImageBytes;
    openSettings.raiseLimit = kRaiseLimit;
    openSettings.progress = progress.Reporter();
    openSettings.partial = true;  // refused below with tniff's advice, or noted
    openSettings.rawDepth = writeRawDepth;
    OpenedFile file = OpenThroughModule(module, in, openSettings);
    if (pixels != nullptr) *pixels = int64_t(file.image.width()) * file.image.height();
    if (!file.complete()) {
        std::string shortfall = Incompleteness(file, inName);
        if (!options.partial) throw Error(shortfall + " (use --partial to convert what there is)");
        Note(options, shortfall + "; the rest of the image is 0");
    }
    if ((writeDepth || writeRawDepth) && file.depthPlane < 0) {
        // One rule for one file and many: the colour image is what was asked for first, and a
        // depth file of nothing would only mislead.
        Note(options, inName + ": the file has no depth buffer; only its colour image is written");
        writeDepth = writeRawDepth = false;
    }

    // Every output but PAM (which takes every plane) holds the image a viewer shows: a depth
    // buffer alone is a gray image of it, as GIMP, the image loader and Python show it.
    const ShownPlanes shown = outKind == FileKind::pam ? ShownPlanes() : PlanesShown(file, inName);

    // Every output is written in full before any of them replaces a file.
    RefuseDirectory(out);
    if (writeDepth) RefuseDirectory(options.depthPath);
    if (writeRawDepth) RefuseDirectory(options.rawDepthPath);
    PendingOutput output(out, !options.leftoversGone);
    const std::string outName = IsStandardStream(out) ? "stdout" : out;
    progress.Relabel("writing " + FileNameOf(outName));
    progress.SetPhase(1, phases);
    if (outKind == FileKind::pam) {
        WritePlanes(options, file.image, 0, file.image.planes(), outKind,
                    TupleType(file, file.image.planes()), output.path(), outName, &progress);
    } else if (outKind != FileKind::iff) {
        WritePlanes(options, file.image, shown.first, shown.count, outKind, "", output.path(),
                    outName, &progress, file.description);
    } else {
        // The format's writer stores no depth buffer: only the colour image is saved again.
        tniff::Image colour = ImageFromPlanes(file.image, shown.first, shown.count);
        SaveThroughModule(module, colour, output.path(),
                          SaveSettings{outName, progress.Reporter()});
    }
    std::unique_ptr<PendingOutput> depthOutput;
    if (writeDepth) {
        depthOutput = std::make_unique<PendingOutput>(options.depthPath, !options.leftoversGone);
        progress.Relabel("writing " + FileNameOf(options.depthPath));
        progress.SetPhase(2, phases);
        WritePlanes(options, file.image, file.depthPlane, 1, depthKind, "GRAYSCALE",
                    depthOutput->path(), options.depthPath, &progress, file.description);
    }
    std::unique_ptr<PendingOutput> rawDepthOutput;
    if (writeRawDepth) {
        rawDepthOutput =
            std::make_unique<PendingOutput>(options.rawDepthPath, !options.leftoversGone);
        progress.Relabel("writing " + FileNameOf(options.rawDepthPath));
        progress.SetPhase(phases - 1, phases);
        RawDepthSettings settings;
        settings.asFloat = options.floatDepth;
        settings.resolution =
            Resolution{file.description.horizontalDpi, file.description.verticalDpi};
        settings.progress = progress.Reporter();
        WriteRawDepthTiff(file.rawDepth, rawDepthOutput->path(), options.rawDepthPath, settings);
    }
    progress.Clear();
    output.Commit();
    if (depthOutput) depthOutput->Commit();
    if (rawDepthOutput) rawDepthOutput->Commit();
    if (!shown.note.empty()) Note(options, shown.note);
    if (outKind == FileKind::iff && file.depthPlane >= 0 && !shown.depthOnly) {
        Note(options, DepthNotSaved(inName));
    }
    return 0;
}

int ConvertToIff(const Options& options, const ModuleFile& module, const std::string& in,
                 const std::string& inName, FileKind inKind, const std::string& out,
                 ProgressBar& progress, int64_t* pixels) {
    if (!options.depthPath.empty()) {
        throw Error("--depth writes the depth buffer of an .iff file; " + inName + " is not one",
                    kExitUsage);
    }
    CheckReadable(in, inName);  // a directory or a missing file, said plainly before any decoding
    // One bar for the whole run: reading, then saving through the module.
    progress.Relabel("reading " + FileNameOf(inName));
    progress.SetPhase(0, 2);
    // Decoded a block of rows at a time straight into the image the module saves.
    ImageSink sink;
    sink.Limit(MaxImageBytes(options), inName, kRaiseLimit);
    ReadSettings settings;
    settings.name = inName;
    settings.maxImageBytes = MaxImageBytes(options);
    settings.raiseLimit = kRaiseLimit;
    settings.progress = progress.Reporter();
    ReadImageFile(inKind, in, &sink, settings);
    const tniff::Image& image = sink.image();
    if (pixels != nullptr) *pixels = int64_t(image.width()) * image.height();
    RefuseDirectory(out);
    PendingOutput output(out, !options.leftoversGone);
    const std::string outName = IsStandardStream(out) ? "stdout" : out;
    progress.Relabel("writing " + FileNameOf(outName));
    progress.SetPhase(1, 2);
    SaveThroughModule(module, image, output.path(), SaveSettings{outName, progress.Reporter()});
    progress.Clear();
    output.Commit();
    if (image.planes() == 5)
        Note(options, inName +
                          ": the fifth plane (depth) is not saved: the format can store a "
                          "depth buffer, but the module's writer writes none");
    if (sink.sourceBits() > 8) {
        Note(options, inName + ": its " + std::to_string(sink.sourceBits()) +
                          "-bit samples are stored as 8 bits; the format holds 8 bits per channel");
    }
    return 0;
}

}  // namespace tniff_cli
