// libpng reports errors with longjmp. Every function below that calls setjmp calls libpng only
// between its setjmp and its return and owns nothing with a destructor, so a jump never skips
// one; the callers own the files, the libpng structures and the pixel memory.
#include "tarniff/image_files/codecs.h"
#include "tarniff/image_files/zeroed_buffer.h"

#include <png.h>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tarniff/tarniff.h"

namespace tarniff {

namespace {

// libpng moves a few kilobytes at a time; the file moves them to and from the disk in large blocks.
const size_t kFileBufferBytes = 1 << 20;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Where libpng's error callback leaves its message before it jumps.
struct PngError {
    char message[256];
    int systemError;    // errno when libpng gave up, for a failed read or write of the file
    const char* stage;  // what was being read: "header", "image data", "end"
};

void OnPngError(png_structp png, png_const_charp message) {
    PngError* error = static_cast<PngError*>(png_get_error_ptr(png));
    error->systemError = errno;
    std::snprintf(error->message, sizeof error->message, "%s",
                  message != nullptr ? message : "libpng error");
    png_longjmp(png, 1);
}

// Rows written so far are reported here; libpng's callback carries no context of its own.
const Progress* gRowProgress = nullptr;
int gRowsTotal = 0;

void OnRowWritten(png_structp, png_uint_32 row, int pass) {
    if (gRowProgress != nullptr && pass == 0) (*gRowProgress)(static_cast<int>(row), gRowsTotal);
}

// Rows read: of an interlaced file, the rows of the last pass.
int gPasses = 1;
void OnRowRead(png_structp, png_uint_32 row, int pass) {
    if (gRowProgress != nullptr && pass == gPasses - 1)
        (*gRowProgress)(static_cast<int>(row), gRowsTotal);
}

void OnPngWarning(png_structp, png_const_charp) {}

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
};

struct WriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

struct PngShape {
    png_uint_32 width;
    png_uint_32 height;
    int channels;
    int bitDepth;
    size_t rowBytes;
    int sourceBitDepth;  // as stored, before the transformations
};

// The signature has been read. Reads the header and sets up the transformations to 8-bit
// channels; false after a libpng error.
bool ReadPngHeader(png_structp png, png_infop info, FILE* file, PngShape* shape) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    shape->sourceBitDepth = png_get_bit_depth(png, info);
    png_set_expand(png);  // palette to RGB, gray of 1, 2 or 4 bits to 8 bits, transparency to alpha
    png_set_scale_16(png);  // 16-bit samples to 8 bits, rounded
    gPasses = png_set_interlace_handling(png);
    png_set_read_status_fn(png, &OnRowRead);
    png_read_update_info(png, info);
    shape->width = png_get_image_width(png, info);
    shape->height = png_get_image_height(png, info);
    shape->channels = png_get_channels(png, info);
    shape->bitDepth = png_get_bit_depth(png, info);
    shape->rowBytes = png_get_rowbytes(png, info);
    return true;
}

// All rows of the image at once, as an interlaced file needs them.
bool ReadPngImage(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    static_cast<PngError*>(png_get_error_ptr(png))->stage = "image data";
    png_read_image(png, rows);
    return true;
}

// The next count rows of a file that is not interlaced.
bool ReadPngBlock(png_structp png, png_bytepp rows, png_uint_32 count) {
    if (setjmp(png_jmpbuf(png))) return false;
    static_cast<PngError*>(png_get_error_ptr(png))->stage = "image data";
    png_read_rows(png, rows, nullptr, count);
    return true;
}

bool ReadPngEnd(png_structp png) {
    if (setjmp(png_jmpbuf(png))) return false;
    static_cast<PngError*>(png_get_error_ptr(png))->stage = "end chunk";
    png_read_end(png, nullptr);
    return true;
}

bool WritePngHeader(png_structp png, png_infop info, FILE* file, png_uint_32 width,
                    png_uint_32 height, int colourType, int level, const Resolution& resolution) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_compression_level(png, level);
    png_set_write_status_fn(png, &OnRowWritten);
    png_set_IHDR(png, info, width, height, 8, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (resolution.horizontalDpi > 0 && resolution.verticalDpi > 0) {
        // PNG counts pixels per metre; an inch is 0.0254 m. The module's resolutions are far below
        // what 32 bits of pixels per metre hold.
        const double kInchesPerMetre = 1 / 0.0254;
        png_set_pHYs(png, info,
                     static_cast<png_uint_32>(resolution.horizontalDpi * kInchesPerMetre + 0.5),
                     static_cast<png_uint_32>(resolution.verticalDpi * kInchesPerMetre + 0.5),
                     PNG_RESOLUTION_METER);
    }
    png_write_info(png, info);
    return true;
}

bool WritePngBlock(png_structp png, png_bytepp rows, png_uint_32 count) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_rows(png, rows, count);
    return true;
}

bool WritePngEnd(png_structp png) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_end(png, nullptr);
    return true;
}

// A file that ends early says which part of it is missing; any other fault is libpng's words.
Error BrokenPng(const std::string& name, FILE* file, const PngError& error) {
    if (std::feof(file)) {
        return Error(
            name + ": truncated PNG file: it ends inside its " + error.stage +
            (std::string(error.stage) == "end chunk" ? " (the pixels are all there)" : ""));
    }
    return Error(name + ": broken PNG file: " + error.message);
}

}  // namespace

void ReadPng(const std::string& path, RowSink* sink, const ReadSettings& settings) {
    const std::string& name = settings.name.empty() ? path : settings.name;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw Error(name + ": cannot open: " + std::strerror(errno));
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferBytes);
    png_byte signature[8];
    if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        std::string content = DescribeContent(path);
        throw Error(name + ": not a PNG file" + (content.empty() ? "" : ": it is " + content));
    }

    PngError error{};
    error.stage = "header";
    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
    if (structs.png != nullptr) structs.info = png_create_info_struct(structs.png);
    if (structs.info == nullptr) throw Error(name + ": not enough memory to read it");

    PngShape shape{};
    if (!ReadPngHeader(structs.png, structs.info, file.get(), &shape))
        throw BrokenPng(name, file.get(), error);
    CheckFormatLimits(shape.width, shape.height, name);
    if (shape.bitDepth != 8 || shape.channels < 1 || shape.channels > 4 ||
        shape.rowBytes != static_cast<size_t>(shape.width) * static_cast<size_t>(shape.channels)) {
        throw Error(name + ": this kind of PNG file cannot be read as 8-bit channels");
    }
    CheckImageSizeLimit(shape.width, shape.height, shape.channels, settings.maxImageBytes, name,
                        settings.raiseLimit);

    const int width = static_cast<int>(shape.width), height = static_cast<int>(shape.height);
    sink->Begin(width, height, shape.channels, shape.sourceBitDepth);
    // Progress is kept in globals that libpng's callback reads; they are cleared on every way out.
    struct ProgressScope {
        ProgressScope(const Progress& progress, int rows) {
            gRowProgress = progress ? &progress : nullptr;
            gRowsTotal = rows;
        }
        ~ProgressScope() { gRowProgress = nullptr; }
    } progressScope(settings.progress, height);
    std::vector<png_bytep> rows;
    const int block = sink->BlockRows(width, shape.channels);
    if (gPasses > 1) {
        // The passes of an interlaced file each visit every row: they are all needed at once, in
        // memory that is backed only as the passes reach it (a few bytes of a broken stream
        // cost what they decoded), and go to the sink a block at a time once all are read.
        ZeroedBuffer<uint8_t> pixels(static_cast<size_t>(height) * shape.rowBytes);
        for (int y = 0; y < height; ++y)
            rows.push_back(pixels.data() + static_cast<size_t>(y) * shape.rowBytes);
        if (!ReadPngImage(structs.png, rows.data())) throw BrokenPng(name, file.get(), error);
        for (int top = 0; top < height; top += block) {
            const int count = height - top < block ? height - top : block;
            std::memcpy(sink->Rows(top, count), rows[static_cast<size_t>(top)],
                        static_cast<size_t>(count) * shape.rowBytes);
            sink->Filled(top, count);
        }
    } else {
        rows.resize(static_cast<size_t>(block < height ? block : height));
        for (int top = 0; top < height; top += block) {
            const int count = height - top < block ? height - top : block;
            uint8_t* pixels = sink->Rows(top, count);
            for (int y = 0; y < count; ++y)
                rows[static_cast<size_t>(y)] = pixels + static_cast<size_t>(y) * shape.rowBytes;
            if (!ReadPngBlock(structs.png, rows.data(), static_cast<png_uint_32>(count))) {
                throw BrokenPng(name, file.get(), error);
            }
            sink->Filled(top, count);
        }
    }
    if (!ReadPngEnd(structs.png)) throw BrokenPng(name, file.get(), error);
}

void WritePng(RowSource& source, const std::string& path, const std::string& name,
              const WriteSettings& settings) {
    static const int kColourTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                       PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
    if (source.channels() < 1 || source.channels() > 4) {
        throw Error(name + ": a PNG file holds 1 to 4 channels, not " +
                    std::to_string(source.channels()));
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Error(name + ": cannot open for writing: " + std::strerror(errno));
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferBytes);

    PngError error{};
    WriteStructs structs;
    structs.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
    if (structs.png != nullptr) structs.info = png_create_info_struct(structs.png);
    if (structs.info == nullptr) throw Error(name + ": not enough memory to write it");

    gRowProgress = settings.progress ? &settings.progress : nullptr;
    gRowsTotal = source.height();
    bool written = WritePngHeader(
        structs.png, structs.info, file.get(), static_cast<png_uint_32>(source.width()),
        static_cast<png_uint_32>(source.height()), kColourTypes[source.channels() - 1],
        settings.pngLevel, settings.resolution);
    const int block = RowsPerBlock(source.width(), source.channels());
    std::vector<png_bytep> rows(
        static_cast<size_t>(block < source.height() ? block : source.height()));
    for (int top = 0; written && top < source.height(); top += block) {
        const int count = source.height() - top < block ? source.height() - top : block;
        // libpng only reads the rows it is given.
        png_bytep pixels = const_cast<png_bytep>(source.Rows(top, count));
        for (int y = 0; y < count; ++y)
            rows[static_cast<size_t>(y)] = pixels + static_cast<size_t>(y) * source.rowBytes();
        written = WritePngBlock(structs.png, rows.data(), static_cast<png_uint_32>(count));
    }
    written = written && WritePngEnd(structs.png);
    gRowProgress = nullptr;
    if (!written) {
        // A write that failed has the system's reason; libpng's own words only say "Write Error".
        bool system = std::ferror(file.get()) && error.systemError != 0;
        throw Error(name + ": cannot write: " +
                    (system ? std::strerror(error.systemError) : error.message));
    }
    if (std::fclose(file.release()) != 0)
        throw Error(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace tarniff
