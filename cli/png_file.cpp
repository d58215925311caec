// libpng reports errors with longjmp. Every function below that calls setjmp calls libpng only
// between its setjmp and its return and owns nothing with a destructor, so a jump never skips
// one; the callers own the files, the libpng structures and the pixel memory.
#include "cli/png_file.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <png.h>
#include <vector>

#include "cli/file_type.h"
#include "cli/tool_error.h"

namespace tniff_cli {

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
    std::snprintf(error->message, sizeof error->message, "%s", message != nullptr ? message : "libpng error");
    png_longjmp(png, 1);
}

// Rows written so far are reported here; libpng's callback carries no context of its own.
const std::function<void(int, int)>* gRowProgress = nullptr;
int gRowsTotal = 0;

void OnRowWritten(png_structp, png_uint_32 row, int pass) {
    if (gRowProgress != nullptr && pass == 0) (*gRowProgress)(static_cast<int>(row), gRowsTotal);
}

// Rows read: of an interlaced file, the rows of the last pass.
int gPasses = 1;
void OnRowRead(png_structp, png_uint_32 row, int pass) {
    if (gRowProgress != nullptr && pass == gPasses - 1) (*gRowProgress)(static_cast<int>(row), gRowsTotal);
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
    png_set_expand(png);    // palette to RGB, gray of 1, 2 or 4 bits to 8 bits, transparency to alpha
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

bool ReadPngRows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    static_cast<PngError*>(png_get_error_ptr(png))->stage = "image data";
    png_read_image(png, rows);
    static_cast<PngError*>(png_get_error_ptr(png))->stage = "end chunk";
    png_read_end(png, nullptr);
    return true;
}

bool WritePngRows(png_structp png, png_infop info, FILE* file, const Raster& raster, int colourType,
                  int level, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_compression_level(png, level);
    png_set_write_status_fn(png, &OnRowWritten);
    png_set_IHDR(png, info, static_cast<png_uint_32>(raster.width), static_cast<png_uint_32>(raster.height), 8,
                 colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

// A file that ends early says which part of it is missing; any other fault is libpng's words.
ToolError BrokenPng(const std::string& path, FILE* file, const PngError& error) {
    if (std::feof(file)) {
        return ToolError(path + ": truncated PNG file: it ends inside its " + error.stage +
                         (std::string(error.stage) == "end chunk" ? " (the pixels are all there)" : ""));
    }
    return ToolError(path + ": broken PNG file: " + error.message);
}

}  // namespace

Raster ReadPng(const std::string& path, const std::function<void(int, int)>& rowProgress) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw ToolError(path + ": cannot open: " + std::strerror(errno));
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferBytes);
    png_byte signature[8];
    if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        std::string content = DescribeContent(path);
        throw ToolError(path + ": not a PNG file" + (content.empty() ? "" : ": it is " + content));
    }

    PngError error{};
    error.stage = "header";
    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
    if (structs.png != nullptr) structs.info = png_create_info_struct(structs.png);
    if (structs.info == nullptr) throw ToolError(path + ": not enough memory to read it");

    PngShape shape{};
    if (!ReadPngHeader(structs.png, structs.info, file.get(), &shape)) throw BrokenPng(path, file.get(), error);
    CheckFormatLimits(shape.width, shape.height, path);
    if (shape.bitDepth != 8 || shape.channels < 1 || shape.channels > 4 ||
        shape.rowBytes != static_cast<size_t>(shape.width) * static_cast<size_t>(shape.channels)) {
        throw ToolError(path + ": this kind of PNG file cannot be read as 8-bit channels");
    }

    Raster raster(static_cast<int>(shape.width), static_cast<int>(shape.height), shape.channels);
    std::vector<png_bytep> rows(shape.height);
    for (png_uint_32 y = 0; y < shape.height; ++y) rows[y] = raster.pixels.data() + y * shape.rowBytes;
    gRowProgress = rowProgress ? &rowProgress : nullptr;
    gRowsTotal = static_cast<int>(shape.height);
    bool read = ReadPngRows(structs.png, rows.data());
    gRowProgress = nullptr;
    if (!read) throw BrokenPng(path, file.get(), error);
    raster.sourceBits = shape.sourceBitDepth;
    return raster;
}

void WritePng(const Raster& raster, const std::string& path, const std::string& name, int level,
              const std::function<void(int, int)>& rowProgress) {
    static const int kColourTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                       PNG_COLOR_TYPE_RGB_ALPHA};
    if (raster.channels < 1 || raster.channels > 4) {
        throw ToolError(name + ": a PNG file holds 1 to 4 channels, not " + std::to_string(raster.channels));
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw ToolError(name + ": cannot open for writing: " + std::strerror(errno));
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBufferBytes);

    PngError error{};
    WriteStructs structs;
    structs.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
    if (structs.png != nullptr) structs.info = png_create_info_struct(structs.png);
    if (structs.info == nullptr) throw ToolError(name + ": not enough memory to write it");

    size_t rowBytes = static_cast<size_t>(raster.width) * static_cast<size_t>(raster.channels);
    std::vector<png_bytep> rows(static_cast<size_t>(raster.height));
    for (size_t y = 0; y < rows.size(); ++y) {
        rows[y] = const_cast<png_bytep>(raster.pixels.data() + y * rowBytes);  // libpng only reads them
    }
    gRowProgress = rowProgress ? &rowProgress : nullptr;
    gRowsTotal = raster.height;
    bool written = WritePngRows(structs.png, structs.info, file.get(), raster, kColourTypes[raster.channels - 1],
                                level, rows.data());
    gRowProgress = nullptr;
    if (!written) {
        // A write that failed has the system's reason; libpng's own words only say "Write Error".
        bool system = std::ferror(file.get()) && error.systemError != 0;
        throw ToolError(name + ": cannot write: " + (system ? std::strerror(error.systemError) : error.message));
    }
    if (std::fclose(file.release()) != 0) throw ToolError(name + ": cannot write: " + std::strerror(errno));
}

}  // namespace tniff_cli
