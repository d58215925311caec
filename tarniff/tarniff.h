// libtarniff: what every front end of the TarnIFF module shares (tniff, the GIMP plug-in, the
// pixbuf loader, the Python package, the web page). It finds and loads the module file, opens
// and saves images only through the module's ENTRYPOINT on our host of the interface (host/),
// reads and writes PNG, Netpbm and TIFF files behind one table, writes outputs whole or not at
// all, and walks a file's layout with a reader of the format's structure of its own.
//
// Front ends include this header only. Failures are thrown as Error, whose text is the one line
// tniff prints; a front end shows it as it is, so every front end says the same of one file.
#ifndef TNIFF_TARNIFF_TARNIFF_H
#define TNIFF_TARNIFF_TARNIFF_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/image.h"
#include "hostapi/plugin_interface.h"

namespace tarniff {

// ---- Errors ---------------------------------------------------------------------------------

// Exit statuses of the tool: 0 success, 1 a command that failed, 2 a command line that makes no
// sense. An Error carries the one it ends with.
const int kExitFailure = 1;
const int kExitUsage = 2;

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, int status = kExitFailure)
        : std::runtime_error(message), status_(status) {}
    // A failure the module reported with a result code.
    Error(const std::string& message, OSErr hostCode)
        : std::runtime_error(message), status_(kExitFailure), hostCode_(hostCode) {}
    // A file that cannot be opened or read, with the system's error number (ENOENT, EACCES,
    // EISDIR), so that a front end can fail as its world's own file calls do.
    static Error OfSystem(const std::string& message, int systemError) {
        Error error(message);
        error.systemError_ = systemError;
        return error;
    }
    int status() const { return status_; }
    // The module's result code, 0 when the failure is not the module's.
    OSErr hostCode() const { return hostCode_; }
    // The system's error number of a file that could not be opened or read; 0 for any other
    // failure (a file the module refuses, a damaged file).
    int systemError() const { return systemError_; }

private:
    int status_;
    OSErr hostCode_ = 0;
    int systemError_ = 0;
};

// The host's name of a result code ("formatCannotRead"), or "" for a code it has no name for.
const char* HostCodeName(OSErr code);

// What went wrong, in words, followed by the code: "not an image in this format
// (formatCannotRead, -30501)". reading tells whether the code came from opening or saving; a
// system reason, when there is one, follows the words: "... written completely: No space left on
// device (writErr, -20)".
std::string DescribeHostCode(OSErr code, bool reading, const std::string& systemReason = "");

// ---- Limits ---------------------------------------------------------------------------------

// The largest side the format's host interface can describe (a signed 16-bit size).
const int kLargestSide = 32767;
// The format's tiles are 64 x 64 and a file holds at most 65535 of them.
const int kTileSide = 64;
const int64_t kMostTiles = 65535;

// The image-size limit of an open unless one is given: half the machine's memory, at least 1 GiB.
uint64_t DefaultMaxImageBytes();

// Throws Error, naming the file as name, when an image of this size cannot be saved in the
// format: more than kLargestSide pixels on a side or more than kMostTiles tiles.
void CheckFormatLimits(int64_t width, int64_t height, const std::string& name);

// Throws Error, naming the file as name, when an image of this size and channels takes more
// than maxImageBytes (0: no limit) in memory: "NAME: 40000 by 40000 with 4 channels needs ...,
// more than the image-size limit of 1 GiB", then raiseLimit in parentheses when it is given (how
// the front end's user raises the limit, in its own terms: "--max-image-size raises it").
void CheckImageSizeLimit(int64_t width, int64_t height, int channels, uint64_t maxImageBytes,
                         const std::string& name, const std::string& raiseLimit);

// A byte count for messages: "512 bytes", "300 MiB", "2 GiB", "1.04 GiB (1115684864 bytes)"
// (a count that is not a whole MiB or GiB gives its bytes too, so no two counts read alike).
std::string Mebibytes(uint64_t bytes);

// ---- Files and paths ------------------------------------------------------------------------

// Fails with the system's reason when path cannot be opened for reading as a regular file
// ("NAME: cannot open: it is a directory", "... not a regular file"), naming it as name, with
// the system's error number (Error::systemError); gives the file's size. A FIFO or a device is
// refused without being opened: an open of one may wait for ever.
uint64_t CheckReadable(const std::string& path, const std::string& name);

#if defined(_WIN32)
// On Windows the library's paths and texts are in the process's code page, as the host's file
// calls (_lopen, _lcreat) take them (UTF-8 in tniff.exe, whose manifest says so). These turn
// them into the system's wide text and back; a character the code page lacks becomes '?'.
std::wstring WideText(const std::string& text);
std::string CodePageText(const std::wstring& text);
#endif

// The last part of a path ("frames/a.iff": "a.iff").
std::string FileNameOf(const std::string& path);
// The folder part of a path with its slash ("frames/", "/"), "" for a bare name.
std::string DirectoryOf(const std::string& path);

// Where a path ends up: links followed, its folder resolved, and its name.
std::string PlaceOf(const std::string& path);

// Whether two paths name the same file: the same inode when both exist, else the same place once
// links and the folder are resolved. "-" is never the same as anything.
bool SameFile(const std::string& a, const std::string& b);

// size bytes to or from a file descriptor, going on after a signal interrupts a call; false when
// the descriptor fails or, reading, ends first.
bool WriteFully(int fd, const void* bytes, size_t size);
bool ReadFully(int fd, void* bytes, size_t size);

// "-": standard input or output.
bool IsStandardStream(const std::string& path);

// Where writing to path ends up: symbolic links are followed (also to a target that does not
// exist yet), so that replacing an output replaces the link's target and keeps the link. Links
// that never end (a loop, or more in a row than the system follows) give path as it is, and
// *endless, when asked for, says so. So does a link that another user may have planted: in a
// folder that is sticky and writable by all (/tmp), one that belongs neither to this user nor to
// the folder's owner is not followed (the rule of the kernel's fs.protected_symlinks, kept
// whatever this machine's setting); *protectedLink, when asked for, names it.
std::string FollowLinks(const std::string& path, bool* endless = nullptr,
                        std::string* protectedLink = nullptr);

// Where writing to path ends up (FollowLinks; "-" stays "-"). Throws Error for an output whose
// symbolic links never end or go through a link that is not followed: nothing is written there.
std::string RefuseEndlessLinks(const std::string& path);

// How old an unlocked temporary file must be before a writer that cannot prove its writer dead
// (another machine's, another container's, one whose process id is taken again) removes it: a
// day. A write of the largest image the format holds takes minutes even on a slow share, a
// crashed machine's locks are gone within minutes (NFS's and SMB's leases), and the clocks of a
// farm's machines disagree by far less: a file nobody has locked or written for a day is no
// writer's.
const int64_t kLeftoverAgeSeconds = 24 * 60 * 60;

// An output file that appears whole or not at all: written under a temporary name in the
// destination's directory (".NAME.tniff-TAG-PID-XXXXXX": TAG 16 hex digits for the writer's
// machine and PID namespace, PID its process) and renamed over the destination only once
// complete. The writer holds a lock on the file while it lives. A failed write leaves no partial
// file behind and never replaces an existing file with a broken one; neither does a run ended
// by a signal, in a program that called RemoveTemporariesOnSignals.
class PendingOutput {
public:
    // Creates an empty temporary file beside destination; throws Error when it cannot. A
    // destination that is a symbolic link stands for its target, which is replaced (the link
    // stays); links that never end or are not followed are refused, and so is a destination that
    // is a directory ("NAME: cannot write: it is a directory"), a block device or a socket
    // ("NAME: cannot write: not a regular file (a block device)"), before anything is written.
    // A destination that is a FIFO or a character device (/dev/null, a terminal) is written into
    // by Commit, never replaced, from a temporary file in $TMPDIR (or /tmp), as is "-" (standard
    // output). The new file keeps the mode and, where allowed, the group of the file it replaces.
    // First it removes what earlier writers left for destination (RemoveLeftovers); a caller
    // that writes many files into a folder does that once for the folder (RemoveLeftoversBeside)
    // and passes removeLeftovers false.
    explicit PendingOutput(const std::string& destination, bool removeLeftovers = true);
    // Removes the temporary file unless Commit succeeded.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Where to write: an existing, empty file.
    const std::string& path() const { return temporary_; }
    // Flushes the temporary file to disk and renames it to the destination (or copies it into
    // the stream); throws Error (and keeps the destination as it was) when either fails, and
    // says so when the temporary file was removed meanwhile.
    void Commit();

private:
    void CopyIntoStream();
    std::string destination_;  // after following symbolic links
    bool toStdout_;
    bool stream_ = false;  // a FIFO or a character device, written into
    std::string temporary_;
    int fd_ = -1;    // open, and locked, from creation to the rename
    int slot_ = -1;  // in the table a signal's cleanup reads
    bool committed_ = false;
};

// Removes the temporary files that writing path through a PendingOutput left (beside it, or in
// $TMPDIR for "-", a FIFO or a device; a PendingOutput does this for its destination before it
// starts). Only leftovers go: regular files of this user named exactly as a writer names them,
// whose lock nobody holds, and either of this machine and PID namespace with their process gone,
// or older than kLeftoverAgeSeconds.
void RemoveLeftovers(const std::string& path);
// The same for a batch of destinations, and for every other writer's leftover in the folders
// they are written into (a link's target's folder for a link): one look at each folder, instead
// of one per destination.
void RemoveLeftoversBeside(const std::vector<std::string>& destinations);

// Makes SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporary files of every PendingOutput
// and TemporaryCopy alive, then end the process as the signal does; a signal that was ignored
// stays ignored. For a program that owns its signals (tniff): the library never changes them.
void RemoveTemporariesOnSignals();

// The most bytes of standard input a TemporaryCopy keeps under the image-size limit
// maxImageBytes (0: DefaultMaxImageBytes): four times the limit and 64 MiB, as no file of an
// image within the limit is larger.
uint64_t MostKeptBytes(uint64_t maxImageBytes);

// Bytes that are not a file (standard input, a buffer handed over by a caller) kept in a
// temporary file for as long as the object lives: the module reads a file it can seek in. The
// file is "$TMPDIR/.input.tniff-TAG-PID-XXXXXX" (or in /tmp), locked and removed like an
// output's temporary file, and left over only by a process killed outright.
class TemporaryCopy {
public:
    // What is readable from the file descriptor fd, up to its end, or its first 16 bytes when
    // they are of no kind converted here (the rest is not read); name is what messages call it.
    // Throws Error when it is larger than MostKeptBytes(maxImageBytes).
    TemporaryCopy(int fd, const std::string& name, uint64_t maxImageBytes = 0);
    // size bytes at bytes, kept in memory where the system has anonymous memory files (then
    // path() is one of /proc/self/fd), else in the file in $TMPDIR.
    TemporaryCopy(const uint8_t* bytes, size_t size, const std::string& name);
    // Empty, kept as the last, for bytes appended as they arrive (a loader fed in pieces).
    explicit TemporaryCopy(const std::string& name);
    // Appends bytes; runs of zeros a page long are skipped, not written, and take no memory
    // (what lies past the bytes written reads as zeros once the copy is finished).
    void Append(const uint8_t* bytes, size_t size);
    // The copy is as long as all bytes appended; to be called before path() is opened.
    void Finish();
    ~TemporaryCopy();
    TemporaryCopy(const TemporaryCopy&) = delete;
    TemporaryCopy& operator=(const TemporaryCopy&) = delete;

    const std::string& path() const { return path_; }
    // The first bytes (at most 16), for telling the kind of file.
    const std::vector<uint8_t>& head() const { return head_; }

private:
    void Make(const std::string& name);
    void Fill(const std::function<void()>& put);
    void Put(const uint8_t* bytes, size_t size, const std::string& name);
    void PutAt(const uint8_t* bytes, size_t size, uint64_t offset);
    std::string name_;
    std::string path_;
    uint64_t size_ = 0;    // bytes appended
    bool memory_ = false;  // an anonymous memory file, not a file in $TMPDIR
    int fd_ = -1;
    int slot_ = -1;
    std::vector<uint8_t> head_;
};

// ---- Images ---------------------------------------------------------------------------------

// Pixels as PNG and PAM files hold them: 8-bit channels interleaved, rows from the top.
struct Raster {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> pixels;  // width * height * channels bytes
    int sourceBits = 8;           // bits per sample of the file read (16: scaled to 8)

    Raster() = default;
    Raster(int width, int height, int channels);
    // Channel c of the pixel at row y, column x: the order of tniff::Image's at(plane, row,
    // column).
    uint8_t& at(int channel, int y, int x) { return pixels[Index(x, y, channel)]; }
    uint8_t at(int channel, int y, int x) const { return pixels[Index(x, y, channel)]; }

private:
    size_t Index(int x, int y, int channel) const {
        return (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                   static_cast<size_t>(channels) +
               static_cast<size_t>(channel);
    }
};

// Pixels per inch across and down; 0 where unknown (then no resolution is written).
struct Resolution {
    double horizontalDpi = 0;
    double verticalDpi = 0;
};

// Planes of the image, interleaved: first to first + count - 1, or the ones listed.
Raster RasterFromPlanes(const tniff::Image& image, int first, int count);
Raster RasterFromPlanes(const tniff::Image& image, const std::vector<int>& planes);

// The image a host holds for these pixels: one or two channels are a grayscale image, three to
// five an RGB image, with as many planes as the raster has channels.
tniff::Image ImageFromRaster(const Raster& raster);

// Planes first to first + count - 1 of the image as an image of their own, with the mode
// ImageFromRaster gives that many channels.
tniff::Image ImageFromPlanes(const tniff::Image& image, int first, int count);

// Whether planes first, first + 1 and first + 2 are equal everywhere: a gray image the format
// stored as three channels.
bool ChannelsEqual(const tniff::Image& image, int first);

// Large images go through the writers and readers a block of rows at a time, interleaved in a
// buffer of about this size, so that no second whole-image copy is made.
const size_t kBlockBytes = size_t(1) << 20;
// Rows of width pixels of channels bytes in such a block: at least one.
int RowsPerBlock(int width, int channels, size_t blockBytes = kBlockBytes);

// Interleaved rows for a writer, asked for from the top a block at a time.
class RowSource {
public:
    RowSource(int width, int height, int channels)
        : width_(width), height_(height), channels_(channels) {}
    virtual ~RowSource() = default;
    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    size_t rowBytes() const { return static_cast<size_t>(width_) * static_cast<size_t>(channels_); }
    // Rows top .. top + count - 1, one after another; valid until the next call.
    virtual const uint8_t* Rows(int top, int count) = 0;

private:
    int width_, height_, channels_;
};

// A raster's own rows, as they are.
class RasterRows : public RowSource {
public:
    explicit RasterRows(const Raster& raster);
    const uint8_t* Rows(int top, int count) override;

private:
    const Raster& raster_;
};

// Planes of a host image, interleaved into a reused block buffer as they are asked for. Channel
// c of the rows is plane planes[c]; a plane may stand for several channels (gray as RGB).
class PlaneRows : public RowSource {
public:
    PlaneRows(const tniff::Image& image, const std::vector<int>& planes);
    // Planes first to first + count - 1, in order.
    PlaneRows(const tniff::Image& image, int first, int count);
    const uint8_t* Rows(int top, int count) override;

private:
    const tniff::Image& image_;
    std::vector<int> planes_;
    std::vector<uint8_t> block_;
};

// Where a reader puts what it decodes: told the size once every check of the header passed,
// then asked for room for rows from the top, a block at a time, and told when they are filled.
class RowSink {
public:
    virtual ~RowSink() = default;
    // channels is 1 to 5; sourceBits the bits per sample of the file (16: scaled to 8).
    virtual void Begin(int width, int height, int channels, int sourceBits) = 0;
    // Room for rows top .. top + count - 1, interleaved, one after another.
    virtual uint8_t* Rows(int top, int count) = 0;
    // Those rows are filled.
    virtual void Filled(int top, int count) = 0;
    // Rows a reader asks for at a time (readers that need the whole image ask for it at once).
    virtual int BlockRows(int width, int channels) const { return RowsPerBlock(width, channels); }
};

// Reads into a whole raster: the rows go straight into its pixels, which take memory only as
// far as the rows asked for; raster() gives the whole image (rows never asked for are 0).
class RasterSink : public RowSink {
public:
    void Begin(int width, int height, int channels, int sourceBits) override;
    uint8_t* Rows(int top, int count) override;
    void Filled(int, int) override {}
    Raster& raster();

private:
    Raster raster_;
};

// Reads into a host image (the mode ImageFromRaster gives), each block of rows moved to the
// planes as soon as it is filled. blockBytes sets the block's size.
class ImageSink : public RowSink {
public:
    explicit ImageSink(size_t blockBytes = kBlockBytes) : blockBytes_(blockBytes) {}
    // An image above maxImageBytes is refused in Begin, before its memory is taken.
    void Limit(uint64_t maxImageBytes, const std::string& name, const std::string& raiseLimit) {
        maxImageBytes_ = maxImageBytes;
        name_ = name;
        raiseLimit_ = raiseLimit;
    }
    void Begin(int width, int height, int channels, int sourceBits) override;
    uint8_t* Rows(int top, int count) override;
    void Filled(int top, int count) override;
    int BlockRows(int width, int channels) const override {
        return RowsPerBlock(width, channels, blockBytes_);
    }
    tniff::Image& image() { return image_; }
    int sourceBits() const { return sourceBits_; }

private:
    size_t blockBytes_;
    uint64_t maxImageBytes_ = 0;
    std::string name_;
    std::string raiseLimit_;
    tniff::Image image_;
    int sourceBits_ = 8;
    std::vector<uint8_t> block_;
};

// ---- Image files ----------------------------------------------------------------------------

// How far a long step has come, in the step's own units (tiles, tile rows, rows).
using Progress = std::function<void(int32_t done, int32_t total)>;

// The kinds of file front ends convert: this format (through the module only) and the others,
// read and written by the codec table. Every list of kinds (help texts, messages, what the first
// bytes say) comes from KindRows().
enum class FileKind { iff, png, pam, pgm, ppm, tiff };

// One kind of file. A signature is the bytes a file of the kind begins with, where '?' stands for
// any byte and '_' for any white space (no signature has either byte of its own).
struct KindRow {
    FileKind kind;
    const char* name;                          // the type name --to takes: "tiff"
    std::vector<std::string_view> extensions;  // ".tiff", ".tif": outputs get the first
    std::vector<std::string_view> signatures;  // any one of them says the kind
    const char* label;                         // in a list of kinds: ".iff", "PNG"
    const char* content;                       // what such bytes are: "a TIFF image"
    const char* about;                         // for help texts: "TIFF (BigTIFF too)"
};
// Every kind, in FileKind's order (this format first).
const std::vector<KindRow>& KindRows();
// The row of kind.
const KindRow& RowOf(FileKind kind);
// Items in words: "a", "a or b", "a, b or c" with last "or".
std::string ListInWords(const std::vector<std::string>& items, const std::string& last);
// The type names of every kind, as --to takes them: "iff, png, pam, pgm, ppm or tiff".
std::string KindNames();
// The extension of every kind but this format's, the files converted to and from it:
// ".png, .pam, .pgm, .ppm or .tiff".
std::string OtherExtensions();

// The kind named by an extension or a type name ("png", ".PNG", "tif"); false for any other.
bool KindFromName(const std::string& name, FileKind* kind);
// The kind of path from its extension; throws Error (usage) for an unknown one.
FileKind KindOfPath(const std::string& path);
// The extension a kind's files get: ".iff", ".png", ...
const char* ExtensionOf(FileKind kind);

// What the first bytes of a file are. Sets *kind and answers true for a kind converted here
// (a row's signature); otherwise false, and *description names what the bytes are when they are
// a known image format ("a JPEG image"), or is empty.
bool SniffKind(const uint8_t* bytes, size_t count, FileKind* kind, std::string* description);
// A description of the first bytes of the file at path, as SniffKind gives it; "" when unknown.
std::string DescribeContent(const std::string& path);
// Why a file whose first bytes are of no kind converted here is refused, the same words for
// standard input and a named file: "not an .iff, PNG, PAM, PGM, PPM or TIFF image: it is a JPEG
// image"; description is what SniffKind gave.
std::string NotAConvertedKind(const std::string& description);

// The kind of an input file: what its first bytes say when they are of a kind converted here,
// else what its extension says. When the two differ, *note (if given) says so and what the file
// is read as: "x.png: it is an image in this format (.iff); read as that". Throws Error (usage)
// for a file whose bytes say nothing known and whose name has no known extension.
FileKind KindOfInput(const std::string& path, std::string* note = nullptr);

struct ReadSettings {
    std::string name;            // what messages call the file; "": its path
    uint64_t maxImageBytes = 0;  // the image-size limit; 0: none of the reader's own
    std::string raiseLimit;      // how the user raises it, for messages (CheckImageSizeLimit)
    Progress progress;           // hears (rows read, rows)
};

// The zlib level PNG files are written with unless told otherwise (see the README for the
// measurements behind it).
const int kDefaultPngLevel = 3;

struct WriteSettings {
    int pngLevel = kDefaultPngLevel;  // 0 to 9
    Resolution resolution;            // written by PNG (pHYs) and TIFF when known
    std::string tupleType;            // PAM's TUPLTYPE; may be empty
    Progress progress;                // hears (rows written, rows)
};

// Reads the file at path, of a kind other than iff, into sink as 8-bit channels: gray (1), gray
// and alpha (2), RGB (3), RGBA (4) or, from PAM, 5. Palette and low-bit images are expanded,
// 16-bit samples scaled to 8 bits the same way for PNG, Netpbm and TIFF, a transparency chunk or
// a TIFF extra sample becomes alpha. A .pam, .pgm or .ppm file is read as whichever Netpbm file
// its first bytes say it is. Size, the format's limits and the image-size limit are checked
// before the sink hears of the image. Throws Error with one line naming the file.
void ReadImageFile(FileKind kind, const std::string& path, RowSink* sink,
                   const ReadSettings& settings);

// Writes the rows to path as a file of kind (not iff): PNG and TIFF of 1 to 4 channels, PAM of
// 1 to 5, PGM of 1, PPM of 3, all 8-bit; TIFF alpha unassociated, deflate-compressed, with no
// varying tag (the same rows give the same bytes). Throws Error whose message names the file as
// name.
void WriteImageFile(FileKind kind, RowSource& rows, const std::string& path,
                    const std::string& name, const WriteSettings& settings);

// ---- The file-layout walker -----------------------------------------------------------------
// Reads an image file's chunks, header values and tiles from the chunk headers and tile
// rectangles alone and finds the first place where the file is damaged, with the reason in plain
// words. A reader of the format of its own, written from the format's facts and not from the
// module's code; pixel data is passed over, never decoded, so a file of any size is walked in a
// few small reads.

// The "TBHD" values, as stored.
struct HeaderValues {
    uint32_t payloadSize = 0;  // the chunk's size field
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t auxA = 0;
    uint16_t auxB = 0;
    uint32_t flags = 0;
    uint16_t auxC = 0;
    uint16_t tileCount = 0;
    uint32_t compression = 0;
    bool hasAuxDE = false;  // only a payload of 32 bytes or more holds them
    uint32_t auxD = 0;
    uint32_t auxE = 0;
};

// A direct child of the outer group.
struct ChunkInfo {
    std::string id;         // four characters, unprintable bytes as \xNN
    std::string groupType;  // a "FOR4" group's type, else empty
    uint64_t offset = 0;
    uint32_t size = 0;  // the size field: bytes after the 8-byte header, pad not counted
};

struct TileInfo {
    bool depth = false;   // "ZBUF"; else "RGBA"
    uint64_t offset = 0;  // of the chunk's id
    uint32_t size = 0;    // the size field: 8 bytes of rectangle, then the pixel data
    uint16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // inclusive, rows counted from the bottom
    uint32_t width = 0;                       // 0 for a reversed rectangle
    uint32_t height = 0;
    uint64_t storedBytes = 0;  // pixel data as stored
    uint64_t rawBytes = 0;     // pixel data when raw: width * height * bytes per pixel
    bool compressed = false;   // stored shorter than raw (the only mark the format has)
    // Of a compressed tile whose run stream was checked: bytes after the packet that fills the
    // last plane. Other writers may pad; this module's writer never leaves any.
    uint64_t leftoverBytes = 0;
};

// A compressed tile whose run stream does not decode to exactly its planes: it ends before the
// last plane is full, or a packet runs past the end of a plane or of the payload. The module
// reads such a tile as far as it goes and fills the rest with 0; the image is not whole.
struct TileDamage {
    size_t tile = 0;     // index in Layout::tiles
    std::string reason;  // what is wrong, in words: "the run stream ends 96 bytes into plane 2 ..."
};

// Describes a tile for messages: "tile 5 (RGBA 64,0-127,63 at offset 12345)".
std::string TileName(const TileInfo& tile, size_t index);

// Where the walk stopped and why. Empty reason: the file is whole.
struct Damage {
    // Of the chunk at fault; where the file ends when it ends early; where the tile group (or the
    // outer group) ends when tiles are missing or leave pixels uncovered.
    uint64_t offset = 0;
    std::string chunk;   // the chunk at fault as the listing names it ("RGBA", "FOR4 TBMP")
    std::string groups;  // the groups around it, outermost first ("CIMG/TBMP")
    std::string reason;  // one sentence that names the offset and the chunk itself
};

struct Layout {
    uint64_t fileSize = 0;
    bool recognised = false;  // starts with a "FOR4" group of type "CIMG"
    bool hasHeader = false;   // a "TBHD" chunk whose 24 bytes of values are all there
    HeaderValues header;
    int colourChannels = 0;         // bytes per pixel of an "RGBA" tile: 0, 1, 3 or 4
    bool hasDepth = false;          // the flags announce "ZBUF" tiles
    std::vector<ChunkInfo> chunks;  // the outer group's children up to the damage, in file order
    bool hasTileGroup = false;
    std::vector<TileInfo> tiles;  // up to the damage, in file order; a tile cut short included
    int otherChunksInTileGroup = 0;
    bool truncated = false;    // the file ends inside a chunk
    uint64_t storedBytes = 0;  // sums over the tiles
    uint64_t rawBytes = 0;
    // The verdict: tiles of the kinds the flags announce, counted when the whole chunk is in the
    // file and its rectangle lies inside the image; expected is the header's tile count.
    int colourTilesFound = 0;
    int depthTilesFound = 0;
    int colourTilesExpected = 0;
    int depthTilesExpected = 0;
    // Pixels of the image that none of the announced colour (depth) tiles found reaches; set
    // when the walk gets through with every announced tile found.
    uint64_t colourPixelsUncovered = 0;
    uint64_t depthPixelsUncovered = 0;
    // The first damage; also set when there is no header, when tiles are missing, and when the
    // announced tiles leave pixels of the image uncovered.
    Damage damage;
    // Compressed tiles of the kinds the flags announce whose run streams are damaged, in file
    // order (checked only when the walk was asked to).
    std::vector<TileDamage> damagedTiles;
    bool runStreamsChecked = false;

    int ColourTiles() const;      // "RGBA" chunks listed in tiles
    int DepthTiles() const;       // "ZBUF" chunks listed in tiles
    int CompressedTiles() const;  // tiles listed whose data is stored compressed
    // Recognised, undamaged, every announced tile found, every pixel covered, and no damaged
    // run stream.
    bool Whole() const { return recognised && damage.reason.empty() && damagedTiles.empty(); }
};

// The depth buffer's values as the file stores them, decoded by the walk from the "ZBUF" tiles
// the module takes (not from its 8-bit plane): rows from the top, width * height values. A
// value whose most significant byte is 0 marks a pixel without depth; pixels no tile reached
// are 0.
struct RawDepth {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> values;
    static bool Empty(uint32_t value) { return (value >> 24) == 0; }
};

struct WalkSettings {
    // Also read the pixel data of every compressed tile of an announced kind and check its run
    // stream (Layout::damagedTiles, TileInfo::leftoverBytes); otherwise only chunk headers and
    // tile rectangles are read.
    bool checkRunStreams = true;
    // When given, filled with the depth values as stored (left empty for a file without depth).
    RawDepth* rawDepth = nullptr;
};

// The first damaged tile of layout, named, with what is wrong, and how many more there are:
// "tile 5 (RGBA 64,0-127,63 at offset 12345): its run stream ... (and 2 more damaged tiles)";
// "" when no tile is damaged.
std::string DamagedTilesText(const Layout& layout);

// Walks the size bytes at bytes. Never fails: a file that is not of this format gives
// recognised false, and anything the walk cannot get past is described in damage.
Layout WalkLayout(const uint8_t* bytes, size_t size, const WalkSettings& settings = {});

// Walks the file at path in one pass, forward. False, with the system's reason in *why ("No such
// file or directory", "it is a directory"), when the file cannot be opened and read as a regular
// file; *layout is then untouched.
bool WalkLayoutFile(const std::string& path, Layout* layout, std::string* why,
                    const WalkSettings& settings = {});

struct RawDepthSettings {
    bool asFloat = false;   // the stored bits read as IEEE 754 floats (what renderers write)
    Resolution resolution;  // written when known
    Progress progress;      // hears (rows written, rows)
};

// The depth values as stored to a 32-bit TIFF of two samples, deflate-compressed: the values
// unscaled (unsigned integers, or their bits as floats) and a coverage mask as unassociated
// alpha, full (all bits, or 1.0) where a pixel has depth and 0 where it has none, so that
// compositing programs take a pixel without depth as transparent. Throws Error naming name.
void WriteRawDepthTiff(const RawDepth& depth, const std::string& path, const std::string& name,
                       const RawDepthSettings& settings);

// A rectangle of pixels, columns [left, right) and rows [top, bottom). Which way rows are
// counted does not matter here, as long as all rectangles count them the same way.
struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The pixels of a width x height image that none of rects reaches, each rectangle taken within
// the image (parts outside it and empty rectangles count for nothing). The module reads the
// tiles a header announces, however few: a file whose tiles leave pixels uncovered is not whole.
uint64_t UncoveredPixels(const std::vector<PixelRect>& rects, int width, int height);

// The names of the known flag bits set, in bit order: "rgb", "alpha", "depth".
std::vector<std::string> KnownFlagNames(uint32_t flags);
// The same joined, "rgb, alpha, depth", then "other bits" when unknown bits are set; "none"
// for 0.
std::string FlagNames(uint32_t flags);

// ---- The module -----------------------------------------------------------------------------

// The module file's name on this system.
extern const char kModuleFileName[];

// Where a front end looks for its module, in order: beside the running program, in ../lib/tniff
// relative to it (an installed tree, which then uses that one alone), where it is installed,
// where it was built.
std::vector<std::string> ModuleSearchPaths();
// The first of those that is there; throws Error naming them all when none is.
std::string DefaultModulePath();
// The version text the module file carries ("0.1.0"); "" when it carries none.
std::string ModuleVersion(const std::string& path);

// A loaded module file (it stays loaded until the program ends).
struct ModuleFile {
    std::string path;
    PluginEntryProc entry = nullptr;
};
// Loads the module file at path; throws Error saying why it cannot.
ModuleFile LoadModuleFile(const std::string& path);

// The environment variable that names the module file a front end loads instead of its own.
extern const char kModuleVariable[];  // "TNIFF_MODULE"
// How a front end's user names a module file, said when none is found: tniff's option, and the
// variable for the plug-ins, which have no command line.
extern const char kNameModuleWithOption[];    // "name it with --module PATH or set TNIFF_MODULE"
extern const char kNameModuleWithVariable[];  // "set TNIFF_MODULE to its path"

// Where a front end finds its module, in this order, each step final once it names a file: the
// file its user named (named), then $TNIFF_MODULE when consulted and not empty, then the first
// of candidates that is there (the front end's own places; ModuleSearchPaths for most).
struct ModuleSearch {
    std::string named;                    // tniff's --module; "": none
    bool useVariable = true;              // whether $TNIFF_MODULE is consulted
    std::vector<std::string> candidates;  // in order
    std::string nameIt;                   // how the user names a module (kNameModuleWith...)
};
// The file the search gives, without loading it. Throws Error when no candidate is there:
// "cannot find the module TnIffFormat.so (looked in A, B); " and search.nameIt.
std::string FindModulePath(const ModuleSearch& search);
// Loads the file the search gives; throws Error saying why it cannot, and, for the file
// $TNIFF_MODULE names, that the variable named it.
ModuleFile FindModule(const ModuleSearch& search);
// The module linked into the program itself (the page's WebAssembly): no file is loaded. Only
// in the library target for programs that link the module in (tarniff_linked).
ModuleFile LinkedInModule();

// What the module described to the host in ReadStart.
struct Description {
    int width = 0;
    int height = 0;
    int16_t mode = 0;
    int depthBits = 0;
    int planes = 0;
    double horizontalDpi = 0;
    double verticalDpi = 0;
};

// A file opened through the module.
struct OpenedFile {
    Description description;
    // As the host holds it after the read, reduced under a fit (OpenSettings::fitWidth); pixels
    // no tile reached are 0.
    tniff::Image image;
    Layout layout;            // the file's layout, for which plane is depth
    int colourPlanes = 0;     // planes 0 .. colourPlanes - 1 are the colour channels
    int depthPlane = -1;      // the depth plane, -1 when the file has none
    int colourTilesRead = 0;  // tiles the module handed over
    int depthTilesRead = 0;
    int colourTilesExpected = 0;  // what the header announces
    int depthTilesExpected = 0;
    // Pixels of the image that no colour (depth) tile handed over reached: too few tiles
    // announced (even none) or tiles on top of each other. 0 for depth when the file has none.
    uint64_t colourPixelsUncovered = 0;
    uint64_t depthPixelsUncovered = 0;
    // The depth values as stored, when the open asked for them (OpenSettings::rawDepth).
    RawDepth rawDepth;
    // Every announced tile handed over, every pixel reached by them, and no tile damaged.
    bool complete() const {
        return colourTilesRead >= colourTilesExpected && depthTilesRead >= depthTilesExpected &&
               colourPixelsUncovered == 0 && depthPixelsUncovered == 0 &&
               layout.damagedTiles.empty();
    }
};

// How an open goes: every front end's open takes one of these.
struct OpenSettings {
    std::string name;            // what every message calls the file; "": its path
    uint64_t maxImageBytes = 0;  // the image-size limit; 0: DefaultMaxImageBytes
    // How the front end's user raises the limit, said after a refusal ("--max-image-size raises
    // it"); "": nothing is said of it.
    std::string raiseLimit;
    Progress progress;  // hears (tiles handed over, tiles)
    // An incomplete image (a file cut short, damaged tiles, tiles that leave pixels uncovered)
    // opens as far as it goes; false: it is refused with Incompleteness's words.
    bool partial = false;
    // Also decode the depth values as stored (OpenedFile::rawDepth), within the same limit.
    bool rawDepth = false;
    // A reduced open (a thumbnail): a side above 0 and shorter than the file's makes
    // OpenedFile::image that long, each pixel the average of the pixels it stands for, added up
    // as the module hands the tiles over, so the full image is never held; 0 keeps the side.
    // The description, the layout and the tile counts stay the file's; the image-size limit
    // holds for what the reduced open takes. Refused together with rawDepth (full size only).
    int fitWidth = 0;
    int fitHeight = 0;
};

// Opens path through the module: FilterFile, ReadPrepare, ReadStart, ReadContinue, ReadFinish.
// Throws Error with the module's code when it refuses the file or fails, and when it breaks the
// interface; a damaged file of this format is refused with what is wrong and where, and so is an
// incomplete image unless settings.partial (see complete() and Incompleteness). An image above
// the image-size limit is refused with a message naming the limit. Every message names the file
// as settings.name.
OpenedFile OpenThroughModule(const ModuleFile& module, const std::string& path,
                             const OpenSettings& settings);
// The same for a file's bytes in memory (a stream, a buffer a caller holds), kept in a
// TemporaryCopy while the module reads them.
OpenedFile OpenBytesThroughModule(const ModuleFile& module, const uint8_t* bytes, size_t size,
                                  const OpenSettings& settings);

// What a look at a file's header and chunk headers says, without the module and without a pixel
// decoded: enough to tell a caller the size before it asks for the pixels.
struct HeaderLook {
    bool recognised = false;  // a file of this format
    bool hasHeader = false;   // its header is there: the size and planes below are known
    int width = 0;
    int height = 0;
    int colourChannels = 0;  // 0 (a depth buffer alone), 1 (gray), 3 (RGB) or 4 (RGBA)
    bool hasDepth = false;
    // The layout's verdict from the chunk headers: every announced tile there and every pixel
    // covered (the tiles' pixel data is not checked here).
    bool whole = false;
    std::string damage;  // when not whole: the walk's reason
    Layout layout;       // the walk, chunk headers only
};
// Looks at the file at path; throws Error naming it as name ("": its path) when it cannot be
// read.
HeaderLook LookAtHeader(const std::string& path, const std::string& name);
// Looks at the first size bytes of a file (all of it, or as much as has arrived).
HeaderLook LookAtHeader(const uint8_t* bytes, size_t size);

// How a save goes.
struct SaveSettings {
    std::string name;   // what every message calls the file; "": its path
    Progress progress;  // hears (tiles written, tiles)
};

// Saves image through the module into the file at path (created or emptied). Throws Error with
// the module's code when it fails.
void SaveThroughModule(const ModuleFile& module, const tniff::Image& image, const std::string& path,
                       const SaveSettings& settings);

// What the About selector did: the line it showed, if any, and the result word.
struct AboutOutcome {
    std::string shown;  // what the module wrote on stderr during the call (its About box here)
    OSErr result = 0;
};
AboutOutcome CallAbout(const ModuleFile& module);

// Why the image is not complete, "" when it is; what every front end says: "NAME: truncated:
// the module read only 2 of the 4 colour tiles that the file's header announces" for a file
// that ends early, "NAME: damaged: tile 5 (RGBA 64,0-127,63 at offset 12345): its run stream
// ..." for a damaged tile (the first, and how many more), else "NAME: incomplete: the header
// announces 1 tile, and no tile covers 61440 of the image's 65536 pixels".
std::string Incompleteness(const OpenedFile& file, const std::string& name);

// The note for an image whose depth buffer an .iff save leaves out (the module writes none).
std::string DepthNotSaved(const std::string& name);

// A file with a depth buffer and no colour image opens as a gray image of its depth, with this
// note: "NAME: the file holds only a depth buffer; it is shown as a gray image (near is dark)".
std::string DepthOnlyNote(const std::string& name);

// What every front end shows of an opened file as its image: planes first .. first + count - 1,
// gray (1), RGB (3) or RGB with alpha (4). A file with colour shows its colour planes; a file
// with a depth buffer alone shows its depth plane as a gray image (depthOnly), with note set to
// DepthOnlyNote, so that no front end refuses it and all show it alike.
struct ShownPlanes {
    int first = 0;
    int count = 0;
    bool depthOnly = false;
    std::string note;  // to show with the image; "" when there is nothing to say
};
// Throws Error naming the file as name when it has neither colour nor depth planes.
ShownPlanes PlanesShown(const OpenedFile& file, const std::string& name);

// Names of the module's image modes ("grayscale", "RGB colour") and of an opened file's planes
// ("gray", "red", ..., "alpha", "depth").
std::string ModeName(int16_t mode);
std::string PlaneName(const OpenedFile& file, int plane);

// What `tniff info` finds in one file: the file opened through the module, or why it would not
// open and, for a damaged file of this format, its layout up to the damage.
struct Inspection {
    std::string path;
    bool opened = false;
    OpenedFile file;       // when opened
    std::string error;     // when not: the message
    OSErr code = 0;        // ... and the module's code, 0 when the failure is not the module's
    bool damaged = false;  // not opened, and damage found: layout holds the walk up to it
    Layout layout;
    // Opened, every tile handed over and every pixel reached, and no damage in the layout.
    bool Whole() const { return opened && file.complete() && file.layout.Whole(); }
};
// Opens path through the module as OpenThroughModule does, an incomplete image as far as it goes
// (settings.partial is not looked at); a failure is kept, not thrown. settings.name, when not
// empty, is what messages and the inspection call the file.
Inspection Inspect(const ModuleFile& module, const std::string& path, const OpenSettings& settings);
// The same for a file's bytes in memory.
Inspection InspectBytes(const ModuleFile& module, const uint8_t* bytes, size_t size,
                        const OpenSettings& settings);

// The inspection as one JSON object, the one `tniff info --json` lists for the file: "file",
// then the module's view ("image", "read") and the layout, or "error", "code" and "codeName",
// and for a damaged file the layout with "damage". Always valid UTF-8: a byte of a name or
// message that is not part of a UTF-8 character is written as U+FFFD.
std::string InfoJson(const Inspection& inspection);

// ---- Frame sequences ------------------------------------------------------------------------

// A path whose file name has a place for a frame number: a run of '#' (one per digit, as Nuke
// writes them) or printf's "%d" / "%04d". The number takes at least padding digits, more when
// it needs them (frame.####.iff, 12345: frame.12345.iff). Frames are numbered from 0 up.
struct FramePattern {
    std::string before;  // the path up to the frame number
    std::string after;   // the path after it
    int padding = 0;
    std::string text;  // the pattern as given
};

// The most frames one --frames list may name.
const int64_t kMostFrames = 1000000;

// Whether path is a frame pattern, and which (the last '#' run or "%d" in the file name). A path
// that names an existing file is that file, never a pattern.
bool ParseFramePattern(const std::string& path, FramePattern* pattern);
// The path of frame number frame.
std::string FramePath(const FramePattern& pattern, int64_t frame);
// The frames of "1001-1120", "1001-1120x2" (every second), "1001,1005-1010", ascending and each
// once; throws Error (usage) naming what is wrong for anything else or more than kMostFrames.
std::vector<int64_t> ParseFrameList(const std::string& text);
// The frames whose files are there, ascending: names exactly as FramePath gives them
// (frame.01001.iff is not frame 1001 of frame.####.iff); none when the folder cannot be read.
std::vector<int64_t> FramesPresent(const FramePattern& pattern);
// Ascending frames as ranges for messages: "1035, 1040-1042".
std::string FrameRanges(const std::vector<int64_t>& frames);

// The depth file beside an output, with the given extension: "_depth" goes before the frame
// number (the last run of digits of the name before its extension, after a '.' or '_'), so the
// sequence keeps its grouping: frame.1001.png gives frame_depth.1001.png, shot_0042.tif
// shot_depth_0042.tif; a name without a frame number gives NAME_depth.EXT. tag stands in for
// "_depth" (the depth values as stored go to frame_rawdepth.1001.tif).
std::string DepthPathOf(const std::string& output, const std::string& extension,
                        const std::string& tag = "_depth");

// What a check of a sequence counts a file as. Damaged: the walk found something wrong other
// than the file ending early, tiles missing or pixels uncovered; incomplete: one of those three.
enum class FileVerdict { whole, damaged, incomplete, missing, unreadable };
// A walked file of this format: whole, damaged or incomplete (unreadable when not recognised).
FileVerdict VerdictOfLayout(const Layout& layout);
// A file with nothing to walk: missing (no such file), incomplete (empty, or shorter than an
// outer group's header and starting as one), else unreadable.
FileVerdict VerdictOfUnread(const std::string& path);
// An inspection of the file at path, by the module's view and the walk's.
FileVerdict VerdictOf(const Inspection& inspection, const std::string& path);
// "whole", "damaged", "incomplete", "missing", "not readable".
const char* VerdictName(FileVerdict verdict);

}  // namespace tarniff

#endif
