// tniff convert IN OUT: between this format, read and written only through the module, and PNG,
// PAM, PGM, PPM or TIFF files. "-" reads standard input (its type from its first bytes) or writes
// standard output (its type from --to).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/batch_convert.h"
#include "cli/commands.h"
#include "cli/convert_file.h"
#include "cli/file_type.h"
#include "cli/module_host.h"
#include "cli/pam_file.h"
#include "cli/pending_output.h"
#include "cli/png_file.h"
#include "cli/raster.h"
#include "cli/tiff_file.h"
#include "cli/tool_error.h"

namespace tniff_cli {

namespace {

// An output path that names a directory would only fail at the very end.
void RefuseDirectory(const std::string& path) {
    struct stat status;
    if (!IsStandardStream(path) && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        throw ToolError(path + ": cannot write: it is a directory");
    }
}

// Standard input kept in a temporary file for as long as the conversion runs: the module reads
// a file it can seek in, and the type is known only from the first bytes.
class StdinCopy {
public:
    StdinCopy() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/.stdin.tniff-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0) throw ToolError(std::string("cannot keep standard input in a file: ") + std::strerror(errno));
        path_ = name.data();
        std::vector<char> buffer(1 << 16);
        for (;;) {
            ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) Fail(fd, std::string("cannot read standard input: ") + std::strerror(errno));
            if (got == 0) break;
            if (head_.size() < 16) head_.insert(head_.end(), buffer.begin(), buffer.begin() + std::min<ssize_t>(got, 16));
            for (ssize_t put = 0; put < got;) {
                ssize_t now = write(fd, buffer.data() + put, static_cast<size_t>(got - put));
                if (now < 0 && errno == EINTR) continue;
                if (now <= 0) Fail(fd, std::string("cannot keep standard input in a file: ") + std::strerror(errno));
                put += now;
            }
        }
        close(fd);
    }
    ~StdinCopy() { unlink(path_.c_str()); }
    StdinCopy(const StdinCopy&) = delete;
    StdinCopy& operator=(const StdinCopy&) = delete;

    const std::string& path() const { return path_; }
    FileKind Kind() const {
        FileKind kind;
        std::string what;
        if (SniffKind(head_.data(), head_.size(), &kind, &what)) return kind;
        if (head_.empty()) throw ToolError("standard input is empty");
        throw ToolError("standard input is " + NotAConvertedKind(what));
    }

private:
    [[noreturn]] void Fail(int fd, const std::string& message) {
        close(fd);
        unlink(path_.c_str());
        throw ToolError(message);
    }
    std::string path_;
    std::vector<uint8_t> head_;
};

// Two paths name the same file: the same inode when both exist, else the same place once links
// and the directory are resolved.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string place;
};

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity identity;
    struct stat status;
    if (stat(path.c_str(), &status) == 0) {
        identity.exists = true;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
        return identity;
    }
    std::string target = FollowLinks(path);
    size_t slash = target.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    char resolved[PATH_MAX];
    identity.place = (realpath(directory.c_str(), resolved) != nullptr ? std::string(resolved) : directory) + "/" + name;
    return identity;
}

bool SameFile(const std::string& a, const std::string& b) {
    if (IsStandardStream(a) || IsStandardStream(b)) return false;
    FileIdentity x = IdentityOf(a), y = IdentityOf(b);
    if (x.exists != y.exists) return false;
    return x.exists ? x.device == y.device && x.inode == y.inode : x.place == y.place;
}

// No output may replace the input or another output of the same command.
void RefuseClashes(const std::string& in, const std::string& out, const std::string& depth) {
    if (SameFile(in, out)) throw ToolError(out + ": the output is the input file; write to another file", kExitUsage);
    if (depth.empty()) return;
    if (SameFile(in, depth)) {
        throw ToolError(depth + ": the --depth output is the input file; write to another file", kExitUsage);
    }
    if (SameFile(out, depth)) {
        throw ToolError(depth + ": named both as the output and as --depth; give each a file of its own", kExitUsage);
    }
}

// The PAM tuple type for planes of an opened file.
std::string TupleType(const OpenedFile& file, int planes) {
    std::string type = file.colourPlanes == 1 ? "GRAYSCALE" : file.colourPlanes == 3 ? "RGB"
                     : file.colourPlanes == 4 ? "RGB_ALPHA" : "";
    if (planes > file.colourPlanes && file.depthPlane >= 0) type += type.empty() ? "DEPTH" : "_DEPTH";
    return type;
}

// Whether planes first, first + 1 and first + 2 of image are equal everywhere: a gray image the
// format stored as three channels.
bool ChannelsEqual(const tniff::Image& image, int first) {
    const size_t area = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    const uint8_t* red = image.address(first, 0, 0);
    const uint8_t* green = image.address(first + 1, 0, 0);
    const uint8_t* blue = image.address(first + 2, 0, 0);
    for (size_t i = 0; i < area; ++i) {
        if (red[i] != green[i] || red[i] != blue[i]) return false;
    }
    return true;
}

// Writes planes first .. first + count - 1 of image as a PNG, PAM, PGM, PPM or TIFF file at path
// (messages call it name), interleaved a block of rows at a time. A PPM of a gray image repeats
// the gray in all three channels; a PGM of a colour image is refused unless its three channels
// are equal everywhere. PGM and PPM hold no alpha: it is dropped with a note. PNG and TIFF files
// of an image whose three channels are equal everywhere are gray (with alpha), unless --rgb; they
// carry the resolution the module described.
void WritePlanes(const Options& options, const tniff::Image& image, int first, int count, FileKind kind,
                 const std::string& tupleType, const std::string& path, const std::string& name,
                 ProgressBar* progress, const Description& description = Description()) {
    if (kind == FileKind::tiff || kind == FileKind::png) {
        // The format saves gray as three equal channels: such an image goes out gray again, with
        // its alpha, unless --rgb asks for the channels as the file holds them.
        std::vector<int> planes;
        const bool gray = count >= 3 && !options.keepRgb && ChannelsEqual(image, first);
        for (int c = 0; c < count; ++c) {
            if (!gray || c == 0 || c == 3) planes.push_back(first + c);
        }
        if (kind == FileKind::tiff) {
            WriteTiff(RasterFromPlanes(image, planes),
                      Resolution{description.horizontalDpi, description.verticalDpi}, path, name,
                      [progress](int rows, int total) { progress->Update(rows, total); });
            return;
        }
        PlaneRows rows(image, planes);
        WritePng(rows, path, name, options.pngLevel >= 0 ? options.pngLevel : kDefaultPngLevel,
                 [progress](int done, int total) { progress->Update(done, total); },
                 Resolution{description.horizontalDpi, description.verticalDpi});
        return;
    }
    if (kind == FileKind::pam) {
        PlaneRows rows(image, first, count);
        WritePam(rows, tupleType, path, name);
    } else {
        // The format saves gray as three equal channels: such an image is gray again for a PGM.
        bool gray = count <= 2;
        if (!gray && kind == FileKind::pgm) {
            gray = ChannelsEqual(image, first);
            if (!gray) {
                throw ToolError(name + ": a PGM file holds a gray image and this one is in colour; write .ppm, .png "
                                       "or .pam");
            }
        }
        // Alpha follows the colour: a second plane of gray, a fourth of RGB.
        if (count > (count <= 2 ? 1 : 3)) {
            Note(options, name + ": the alpha channel is not written; PGM and PPM hold none");
        }
        std::vector<int> planes;
        for (int c = 0; c < (kind == FileKind::pgm ? 1 : 3); ++c) planes.push_back(first + (gray ? 0 : c));
        PlaneRows rows(image, planes);
        WritePnm(rows, path, name);
    }
    progress->Update(1, 1);
}

// A whole decoded raster handed to a reader's sink, a block of rows at a time.
void MoveRasterInto(const Raster& raster, RowSink* sink) {
    sink->Begin(raster.width, raster.height, raster.channels, raster.sourceBits);
    const size_t rowBytes = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.channels);
    const int block = sink->BlockRows(raster.width, raster.channels);
    for (int top = 0; top < raster.height; top += block) {
        const int count = std::min(block, raster.height - top);
        std::memcpy(sink->Rows(top, count), raster.pixels.data() + static_cast<size_t>(top) * rowBytes,
                    static_cast<size_t>(count) * rowBytes);
        sink->Filled(top, count);
    }
}

// The image-size limit of an open: --max-image-size, or tniff's default.
uint64_t MaxImageBytes(const Options& options) {
    return options.maxImageBytes != 0 ? options.maxImageBytes : DefaultMaxImageBytes();
}

}  // namespace

int ConvertFromIff(const Options& options, const ModuleFile& module, const std::string& in,
                   const std::string& inName, const std::string& out, FileKind outKind, ProgressBar& progress,
                   int64_t* pixels) {
    std::optional<FileKind> depthKind;
    if (!options.depthPath.empty()) {
        depthKind = KindOfPath(options.depthPath);
        if (*depthKind == FileKind::iff) {
            throw ToolError(options.depthPath + ": the depth buffer goes to a .png, .pam, .pgm, .ppm or .tiff file",
                            kExitUsage);
        }
    }

    // One bar for the whole run: reading, then each output.
    const int phases = 2 + (depthKind ? 1 : 0);
    progress.Relabel("reading " + FileNameOf(inName));
    progress.SetPhase(0, phases);
    OpenedFile file = OpenThroughModule(module, in, &progress, options.maxImageBytes, inName);
    if (pixels != nullptr) *pixels = int64_t(file.image.width()) * file.image.height();
    if (!file.complete()) {
        std::string shortfall = Incompleteness(file, inName);
        if (!options.partial) throw ToolError(shortfall + " (use --partial to convert what there is)");
        Note(options, shortfall + "; the rest of the image is 0");
    }
    if (depthKind && file.depthPlane < 0) {
        throw ToolError(inName + ": the file has no depth buffer, so there is nothing to write to " + options.depthPath);
    }

    if (outKind != FileKind::pam && file.colourPlanes == 0) {
        throw ToolError(inName + ": the file holds only a depth buffer and no colour image; convert it to a .pam file");
    }

    // Every output is written in full before any of them replaces a file.
    RefuseDirectory(out);
    if (depthKind) RefuseDirectory(options.depthPath);
    PendingOutput output(out);
    const std::string outName = IsStandardStream(out) ? "stdout" : out;
    progress.Relabel("writing " + FileNameOf(outName));
    progress.SetPhase(1, phases);
    if (outKind == FileKind::pam) {
        WritePlanes(options, file.image, 0, file.image.planes(), outKind, TupleType(file, file.image.planes()),
                    output.path(), outName, &progress);
    } else if (outKind != FileKind::iff) {
        WritePlanes(options, file.image, 0, file.colourPlanes, outKind, "", output.path(), outName, &progress,
                    file.description);
    } else {
        // The format's writer stores no depth buffer: only the colour image is saved again.
        tniff::Image colour = ImageFromPlanes(file.image, 0, file.colourPlanes);
        SaveThroughModule(module, colour, output.path(), outName, &progress);
    }
    std::unique_ptr<PendingOutput> depthOutput;
    if (depthKind) {
        depthOutput = std::make_unique<PendingOutput>(options.depthPath);
        progress.Relabel("writing " + FileNameOf(options.depthPath));
        progress.SetPhase(2, phases);
        WritePlanes(options, file.image, file.depthPlane, 1, *depthKind, "GRAYSCALE", depthOutput->path(),
                    options.depthPath, &progress, file.description);
    }
    progress.Clear();
    output.Commit();
    if (depthOutput) depthOutput->Commit();
    if (outKind == FileKind::iff && file.depthPlane >= 0) {
        Note(options, DepthNotSaved(inName));
    }
    return 0;
}

int ConvertToIff(const Options& options, const ModuleFile& module, const std::string& in, const std::string& inName,
                 FileKind inKind, const std::string& out, ProgressBar& progress, int64_t* pixels) {
    if (!options.depthPath.empty()) {
        throw ToolError("--depth writes the depth buffer of an .iff file; " + inName + " is not one", kExitUsage);
    }
    CheckReadable(in);  // a directory or a missing file, said plainly before any decoding
    // One bar for the whole run: reading, then saving through the module.
    progress.Relabel("reading " + FileNameOf(inName));
    progress.SetPhase(0, 2);
    // Decoded a block of rows at a time straight into the image the module saves; a TIFF file is
    // decoded whole, then moved to the image's planes.
    auto rowProgress = [&progress](int rows, int total) { progress.Update(rows, total); };
    ImageSink sink;
    sink.Limit(MaxImageBytes(options), inName);
    try {
        if (inKind == FileKind::png) {
            ReadPng(in, &sink, rowProgress);
        } else if (inKind == FileKind::tiff) {
            MoveRasterInto(ReadTiff(in, rowProgress, MaxImageBytes(options)), &sink);
        } else {
            ReadNetpbm(in, &sink);
        }
    } catch (const ToolError& error) {
        // The readers name the file they read: for standard input a temporary copy, gone once
        // the run ends. The message names it as the user does.
        if (in == inName) throw;
        std::string message = error.what();
        for (size_t at = message.find(in); at != std::string::npos; at = message.find(in, at)) {
            message.replace(at, in.size(), inName);
            at += inName.size();
        }
        throw ToolError(message, error.status());
    }
    const tniff::Image& image = sink.image();
    if (pixels != nullptr) *pixels = int64_t(image.width()) * image.height();
    RefuseDirectory(out);
    PendingOutput output(out);
    const std::string outName = IsStandardStream(out) ? "stdout" : out;
    progress.Relabel("writing " + FileNameOf(outName));
    progress.SetPhase(1, 2);
    SaveThroughModule(module, image, output.path(), outName, &progress);
    progress.Clear();
    output.Commit();
    if (image.planes() == 5) Note(options, inName + ": the fifth plane is not saved; the format stores four channels");
    if (sink.sourceBits() > 8) {
        Note(options, inName + ": its " + std::to_string(sink.sourceBits()) +
                          "-bit samples are stored as 8 bits; the format holds 8 bits per channel");
    }
    return 0;
}

int RunConvert(const Options& options) {
    if (IsBatchForm(options)) return RunBatchConvert(options);
    if (options.depthGiven && options.depthPath.empty()) throw ToolError("--depth needs a value", kExitUsage);
    std::vector<std::string> files = options.files;
    if (files.size() == 1 && IsStandardStream(files[0]) && !options.to.empty()) files.push_back("-");  // a filter
    if (files.size() != 2) {
        throw ToolError("convert takes two files, IN and OUT (see tniff convert --help)", kExitUsage);
    }
    const std::string& in = files[0];
    const std::string& out = files[1];
    if (IsStandardStream(options.depthPath)) {
        throw ToolError("--depth needs a file name; only OUT can be standard output", kExitUsage);
    }
    FileKind outKind;
    if (!options.to.empty()) {
        if (!KindFromName(options.to, &outKind)) {
            throw ToolError("--to " + options.to + ": unknown file type: iff, png, pam, pgm, ppm or tiff", kExitUsage);
        }
    } else if (IsStandardStream(out)) {
        throw ToolError("writing to standard output needs --to iff, png, pam, pgm, ppm or tiff", kExitUsage);
    } else {
        outKind = KindOfPath(out);
    }
    // An image on a terminal is only noise and can upset it; as gzip does, it goes there only
    // when asked for.
    if (IsStandardStream(out) && isatty(STDOUT_FILENO) == 1 && !options.force) {
        throw ToolError("standard output is a terminal: redirect it to a file or a pipe, or give --force "
                        "to write the image there anyway");
    }
    // Standard input is read before anything else is decided, since its type is in its bytes.
    std::unique_ptr<StdinCopy> stdinCopy;
    FileKind inKind;
    if (IsStandardStream(in)) {
        stdinCopy = std::make_unique<StdinCopy>();
        inKind = stdinCopy->Kind();
    } else {
        inKind = KindOfPath(in);
    }
    if (inKind != FileKind::iff && outKind != FileKind::iff) {
        throw ToolError("one of the two files must be an .iff file: tniff converts to and from this format",
                        kExitUsage);
    }
    // Outputs that cannot be written are refused before any decoding.
    for (const std::string* output : {&out, &options.depthPath}) {
        if (!output->empty()) RefuseEndlessLinks(*output);
    }
    RefuseClashes(in, out, options.depthPath);
    const std::string inPath = stdinCopy ? stdinCopy->path() : in;
    const std::string inName = stdinCopy ? "stdin" : in;
    ModuleFile module = LoadModuleFile(options.modulePath.empty() ? DefaultModulePath() : options.modulePath);
    ProgressBar progress(!options.quiet, "");
    if (inKind == FileKind::iff) return ConvertFromIff(options, module, inPath, inName, out, outKind, progress);
    return ConvertToIff(options, module, inPath, inName, inKind, out, progress);
}

}  // namespace tniff_cli
