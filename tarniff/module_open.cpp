// Opening, saving and About through the module's ENTRYPOINT, on our host of the interface.
#include "tarniff/tarniff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/host.h"
#include "host/module_loader.h"

namespace tarniff {

namespace {

// Windows' C library has no quota error: a full disk is all it tells.
#if defined(EDQUOT)
const int kOverQuota = EDQUOT;
#else
const int kOverQuota = ENOSPC;
#endif

// The host's progressProc stays in charge (it logs and checks every report); this relay sits in
// front of it in the record and also tells the caller. The callback has no context, so the
// caller's Progress of the operation running is kept here while it runs.
ProgressProc gHostProgress = nullptr;
const Progress* gProgress = nullptr;

void RelayProgress(int32_t done, int32_t total) {
    if (gHostProgress != nullptr) gHostProgress(done, total);
    if (gProgress != nullptr) (*gProgress)(done, total);
}

class ProgressRelay {
public:
    ProgressRelay(tniff::Host& host, const Progress& progress) : record_(host.record()) {
        gHostProgress = record_.progressProc;
        gProgress = progress ? &progress : nullptr;
        record_.progressProc = &RelayProgress;
    }
    ~ProgressRelay() {
        record_.progressProc = gHostProgress;
        gHostProgress = nullptr;
        gProgress = nullptr;
    }
    ProgressRelay(const ProgressRelay&) = delete;
    ProgressRelay& operator=(const ProgressRelay&) = delete;

private:
    FormatRecord& record_;
};

// A module that breaks the interface is not trusted with the result.
void RejectViolations(tniff::Host& host, const std::string& name, const char* doing) {
    std::vector<tniff::Violation> problems = host.TakeViolations();
    if (problems.empty()) return;
    std::string text = name + ": the module broke the plug-in interface while " + doing + ": ";
    for (size_t i = 0; i < problems.size(); ++i) {
        if (i > 0) text += "; ";
        text += std::string(tniff::ViolationKindName(problems[i].kind)) + ": " + problems[i].text;
    }
    throw Error(text);
}

}  // namespace
namespace {

// The module identifies a file by its first 12 bytes: the outer group's id, size and type.
const uint64_t kIdentifyingBytes = 12;

double DotsPerInch(Fixed resolution) { return resolution / 65536.0; }

tarniff::PixelRect PixelRectOf(const Rect16& rect) {
    return tarniff::PixelRect{rect.left, rect.top, rect.right, rect.bottom};
}

}  // namespace
namespace {

// Why the module's open failed, in words, thrown: the image-size limit, a file too short or of
// another format, a damaged file of this format with what is wrong and where, or the code.
[[noreturn]] void RefuseOpen(tniff::Host& host, OSErr result, const std::string& path,
                             const std::string& shown, uint64_t size, uint64_t maxImageBytes,
                             const std::string& raiseLimit) {
    const std::string code =
        " (" + std::string(HostCodeName(result)) + ", " + std::to_string(result) + ")";
    if (result == memFullErr && host.imageRefused()) {
        const tniff::Host::PlannedImage& p = host.plannedImage();
        const std::string reduced = p.reduced ? ", reduced to " + std::to_string(p.width) + " by " +
                                                    std::to_string(p.height) + ","
                                              : "";
        throw Error(shown + ": " + std::to_string(p.fullWidth) + " by " +
                        std::to_string(p.fullHeight) + " with " + std::to_string(p.planes) +
                        " planes" + reduced + " needs " + Mebibytes(p.bytes) +
                        ", more than the image-size limit of " + Mebibytes(maxImageBytes) +
                        (raiseLimit.empty() ? "" : " (" + raiseLimit + ")") + code,
                    result);
    }
    if (result == tniff::kHostFileNotOpened) {
        const int why = errno;
        throw Error::OfSystem(shown + ": cannot open: " + std::strerror(why), why);
    }
    if (result == eofErr && size < kIdentifyingBytes) {
        throw Error(shown + ": too short to be an image in this format" + code, result);
    }
    if (result == formatCannotRead) {
        // A file of another format under this name: say what it is.
        const std::string content = DescribeContent(path);
        if (!content.empty() && content.find("this format") == std::string::npos) {
            throw Error(shown + ": " + DescribeHostCode(result, true, "it is " + content), result);
        }
        // A damaged file of this format: what is wrong, and where.
        Layout layout;
        std::string why;
        if (WalkLayoutFile(path, &layout, &why) && layout.recognised && !layout.Whole()) {
            throw Error(shown + ": " + DescribeHostCode(result, true, layout.damage.reason),
                        result);
        }
    }
    throw Error(shown + ": " + DescribeHostCode(result, true), result);
}

// Which planes are colour and which is depth: the header's flags say, as the module's
// description alone leaves an RGB image of four planes open (alpha or depth).
void AssignPlanes(int16_t mode, OpenedFile* opened) {
    const Layout& layout = opened->layout;
    const int planes = opened->image.planes();
    if (layout.hasHeader && layout.colourChannels + (layout.hasDepth ? 1 : 0) == planes) {
        opened->colourPlanes = layout.colourChannels;
        opened->depthPlane = layout.hasDepth ? layout.colourChannels : -1;
    } else if (mode == plugInModeGrayScale) {
        opened->colourPlanes = 1;
        opened->depthPlane = planes > 1 ? 1 : -1;
    } else {
        opened->colourPlanes = planes == 1 ? 0 : planes >= 4 ? 4 : planes;
        opened->depthPlane = planes == 1 || planes == 5 ? planes - 1 : -1;
    }
}

// The tiles the module handed over, against those the header announces, and the pixels they
// leave uncovered: the module reads the tiles the header announces, however few, so the image
// is whole only where they reach.
void CountTiles(const std::vector<tniff::HandOver>& handOvers, OpenedFile* opened) {
    const uint16_t tileCount = opened->layout.hasHeader ? opened->layout.header.tileCount : 0;
    opened->colourTilesExpected = opened->colourPlanes > 0 ? tileCount : 0;
    opened->depthTilesExpected = opened->depthPlane >= 0 ? tileCount : 0;
    std::vector<PixelRect> colourRects, depthRects;
    for (const tniff::HandOver& handOver : handOvers) {
        if (handOver.result != noErr) continue;
        if (opened->depthPlane >= 0 && handOver.loPlane == opened->depthPlane) {
            ++opened->depthTilesRead;
            depthRects.push_back(PixelRectOf(handOver.rect));
        } else {
            ++opened->colourTilesRead;
            colourRects.push_back(PixelRectOf(handOver.rect));
        }
    }
    const int width = opened->description.width, height = opened->description.height;
    if (opened->colourPlanes > 0) {
        opened->colourPixelsUncovered = UncoveredPixels(colourRects, width, height);
    }
    if (opened->depthPlane >= 0) {
        opened->depthPixelsUncovered = UncoveredPixels(depthRects, width, height);
    }
}

}  // namespace

namespace {

// What tells one file at a path from another put there in its place, or from itself rewritten:
// the inode, the size and the time of the last change.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t seconds = 0;
    long nanoseconds = 0;
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size && seconds == o.seconds &&
               nanoseconds == o.nanoseconds;
    }
};

bool IdentityOf(const std::string& path, FileIdentity* identity) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    identity->device = status.st_dev;
    identity->inode = status.st_ino;
    identity->size = status.st_size;
#if defined(_WIN32)
    identity->seconds = static_cast<int64_t>(status.st_mtime);
    identity->nanoseconds = 0;
#else
    identity->seconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    identity->nanoseconds = status.st_mtim.tv_nsec;
#endif
    return true;
}

// A file replaced or rewritten while it is read is read again, this many times at most.
const int kMostReadings = 3;

OpenedFile OpenOnce(const ModuleFile& module, const std::string& path,
                    const OpenSettings& settings);

}  // namespace

// The module and the walk each open the file: when the path names the same unchanged file before
// the first and after the second, both read the same bytes. A file replaced in between (a render
// written under another name and renamed over this one) is read again.
OpenedFile OpenThroughModule(const ModuleFile& module, const std::string& path,
                             const OpenSettings& settings) {
    for (int reading = 1;; ++reading) {
        FileIdentity before, after;
        const bool known = IdentityOf(path, &before);
        auto unchanged = [&] { return !known || (IdentityOf(path, &after) && after == before); };
        OpenedFile opened;
        try {
            opened = OpenOnce(module, path, settings);
        } catch (const Error&) {
            // Refused for what the module read of one file and the walk of another?
            if (unchanged() || reading == kMostReadings) throw;
            continue;
        }
        const std::string& shown = settings.name.empty() ? path : settings.name;
        if (unchanged()) {
            if (!settings.partial && !opened.complete()) throw Error(Incompleteness(opened, shown));
            return opened;
        }
        if (reading == kMostReadings) {
            throw Error(shown + ": the file changed while it was read, " + std::to_string(reading) +
                        " times in a row; read it once it is written");
        }
    }
}

OpenedFile OpenBytesThroughModule(const ModuleFile& module, const uint8_t* bytes, size_t size,
                                  const OpenSettings& settings) {
    const TemporaryCopy copy(bytes, size, settings.name);
    OpenSettings named = settings;
    if (named.name.empty()) named.name = "the image";
    return OpenThroughModule(module, copy.path(), named);
}

namespace {

OpenedFile OpenOnce(const ModuleFile& module, const std::string& path,
                    const OpenSettings& settings) {
    const std::string& shown = settings.name.empty() ? path : settings.name;
    const uint64_t size = CheckReadable(path, shown);
    tniff::HostSetup setup;
    setup.maxImageBytes =
        settings.maxImageBytes != 0 ? settings.maxImageBytes : DefaultMaxImageBytes();
    // The depth values as stored come at the file's size only, beside a full image.
    if (settings.rawDepth && (settings.fitWidth > 0 || settings.fitHeight > 0))
        throw Error(shown + ": the depth values as stored are not given with a reduced image",
                    kExitUsage);
    setup.fitWidth = settings.fitWidth;
    setup.fitHeight = settings.fitHeight;
    tniff::Host host(module.entry, setup);
    {
        ProgressRelay relay(host, settings.progress);
        const OSErr result = host.Open(path);
        RejectViolations(host, shown, "opening it");
        if (result != noErr)
            RefuseOpen(host, result, path, shown, size, setup.maxImageBytes, settings.raiseLimit);
    }

    OpenedFile opened;
    const FormatRecord& record = host.record();
    opened.description.width = record.imageSize.h;
    opened.description.height = record.imageSize.v;
    opened.description.mode = record.imageMode;
    opened.description.depthBits = record.depth;
    opened.description.planes = record.planes;
    opened.description.horizontalDpi = DotsPerInch(record.imageHRes);
    opened.description.verticalDpi = DotsPerInch(record.imageVRes);
    opened.image = host.TakeImage();
    if (opened.image.planes() < 1 || opened.image.empty()) {
        throw Error(shown + ": the module describes an image without pixels (" +
                    std::to_string(record.imageSize.h) + " by " +
                    std::to_string(record.imageSize.v) + ", " + std::to_string(record.planes) +
                    " planes)");
    }
    // One walk for the layout, the tiles' run streams and, when asked, the depth as stored; the
    // raw values take four bytes a pixel beside the image, within the same limit.
    WalkSettings walk;
    if (settings.rawDepth) {
        CheckImageSizeLimit(opened.image.width(), opened.image.height(), opened.image.planes() + 4,
                            setup.maxImageBytes, shown, settings.raiseLimit);
        walk.rawDepth = &opened.rawDepth;
    }
    std::string why;
    if (!WalkLayoutFile(path, &opened.layout, &why, walk))
        throw Error(shown + ": cannot open: " + why);
    AssignPlanes(record.imageMode, &opened);
    CountTiles(host.handOvers(), &opened);
    return opened;
}

}  // namespace

void SaveThroughModule(const ModuleFile& module, const tniff::Image& image, const std::string& path,
                       const SaveSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    CheckFormatLimits(image.width(), image.height(), name);
    tniff::Host host(module.entry);
    ProgressRelay relay(host, settings.progress);
    errno = 0;
    OSErr result = host.Save(image, path);
    // The failed write's reason, while nothing else has touched errno; only the reasons a write
    // gives are taken, so that a stale value from elsewhere is never shown.
    const int writeError = errno;
    RejectViolations(host, name, "saving it");
    if (result == tniff::kHostFileNotOpened) {
        const int why = errno;
        throw Error::OfSystem(name + ": cannot open for writing: " + std::strerror(why), why);
    }
    if (result == writErr &&
        (writeError == ENOSPC || writeError == EFBIG || writeError == kOverQuota ||
         writeError == EIO || writeError == EROFS)) {
        throw Error(name + ": " + DescribeHostCode(result, false, std::strerror(writeError)),
                    result);
    }
    if (result != noErr) throw Error(name + ": " + DescribeHostCode(result, false), result);
}

AboutOutcome CallAbout(const ModuleFile& module) {
    AboutOutcome outcome;
    tniff::Host host(module.entry);
    // On this platform the module's About box is a line on stderr; it is caught in a file so that
    // it can be shown as part of tniff's own output.
    std::fflush(stderr);
    FILE* caught = std::tmpfile();
    int saved = caught != nullptr ? dup(STDERR_FILENO) : -1;
    if (saved >= 0) dup2(fileno(caught), STDERR_FILENO);
    outcome.result = host.Call(formatSelectorAbout);
    if (saved >= 0) {
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        std::rewind(caught);
        char line[512];
        while (std::fgets(line, sizeof line, caught) != nullptr) outcome.shown += line;
    }
    if (caught != nullptr) std::fclose(caught);
    while (!outcome.shown.empty() && outcome.shown.back() == '\n') outcome.shown.pop_back();
    RejectViolations(host, module.path, "showing its About box");
    return outcome;
}
}  // namespace tarniff
