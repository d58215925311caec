// The page's way into the library: a handful of C functions its worker calls. The module is
// linked into the same WebAssembly file, so its ENTRYPOINT is handed to the host directly instead
// of a module file being loaded; files live in the worker's in-memory file system.
//
// One file is open at a time. Every function that can fail answers 0 on success and 1 on
// failure, and leaves the message (tniff's words) for tw_message().
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "module/shell/entry_point.h"
#include "tarniff/tarniff.h"

namespace {

using namespace tarniff;

// The page shows this in its progress bar; JS throttles what it forwards.
EM_JS(void, ReportProgress, (int32_t done, int32_t total), {
    if (Module.onProgress) Module.onProgress(done, total);
});


ModuleFile LinkedModule() {
    ModuleFile module;
    module.path = "TnIffFormat (linked in)";
    module.entry = &ENTRYPOINT;
    return module;
}

OpenedFile* gOpened = nullptr;
std::string gMessage;   // the last failure, or the open file's incompleteness note
std::string gDescription;

void Fail(const std::string& message) { gMessage = message; }

void AppendJsonString(std::string* out, const std::string& text) {
    *out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

void Field(std::string* out, const char* key, const std::string& value) {
    if (out->size() > 1) *out += ',';
    AppendJsonString(out, key);
    *out += ':';
    AppendJsonString(out, value);
}

void Field(std::string* out, const char* key, double value) {
    if (out->size() > 1) *out += ',';
    AppendJsonString(out, key);
    char number[40];
    std::snprintf(number, sizeof number, ":%.17g", value);
    *out += number;
}

// What the page shows beside the image: the module's description, the tiles handed over and
// the layout's raw and compressed tiles.
std::string Describe(const OpenedFile& file, const std::string& name) {
    const Layout& layout = file.layout;
    int rawTiles = 0, compressedTiles = 0;
    for (const TileInfo& tile : layout.tiles) (tile.compressed ? compressedTiles : rawTiles) += 1;
    std::string planes;
    for (int p = 0; p < file.image.planes(); ++p) planes += (p > 0 ? ", " : "") + PlaneName(file, p);

    std::string out = "{";
    Field(&out, "name", name);
    Field(&out, "width", file.image.width());
    Field(&out, "height", file.image.height());
    Field(&out, "mode", ModeName(file.description.mode));
    Field(&out, "planes", file.image.planes());
    Field(&out, "planeNames", planes);
    Field(&out, "colourPlanes", file.colourPlanes);
    Field(&out, "depthPlane", file.depthPlane);
    Field(&out, "horizontalDpi", file.description.horizontalDpi);
    Field(&out, "verticalDpi", file.description.verticalDpi);
    Field(&out, "fileBytes", static_cast<double>(layout.fileSize));
    Field(&out, "flags", FlagNames(layout.header.flags));
    Field(&out, "colourTilesRead", file.colourTilesRead);
    Field(&out, "colourTilesExpected", file.colourTilesExpected);
    Field(&out, "depthTilesRead", file.depthTilesRead);
    Field(&out, "depthTilesExpected", file.depthTilesExpected);
    Field(&out, "rawTiles", rawTiles);
    Field(&out, "compressedTiles", compressedTiles);
    Field(&out, "storedBytes", static_cast<double>(layout.storedBytes));
    Field(&out, "rawBytes", static_cast<double>(layout.rawBytes));
    Field(&out, "complete", file.complete() ? 1 : 0);
    Field(&out, "note", Incompleteness(file, name));
    return out + "}";
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* tw_message() { return gMessage.c_str(); }

EMSCRIPTEN_KEEPALIVE void tw_close() {
    delete gOpened;
    gOpened = nullptr;
    gDescription.clear();
}

// Opens the file at path through the module, under the name messages give it. A file cut short
// or with pixels no tile reaches opens as far as it goes; its note is in the description.
EMSCRIPTEN_KEEPALIVE int tw_open(const char* path, const char* name) {
    tw_close();
    gMessage.clear();
    try {
        OpenedFile opened = OpenThroughModule(LinkedModule(), path, &ReportProgress, 0, name);
        gOpened = new OpenedFile(std::move(opened));
        gDescription = Describe(*gOpened, name);
        gMessage = Incompleteness(*gOpened, name);
        return 0;
    } catch (const Error& error) {
        Fail(error.what());
    } catch (const std::bad_alloc&) {
        Fail(std::string(name) + ": " + DescribeHostCode(memFullErr, true));
    }
    return 1;
}

EMSCRIPTEN_KEEPALIVE const char* tw_description() { return gDescription.c_str(); }
EMSCRIPTEN_KEEPALIVE int tw_width() { return gOpened ? gOpened->image.width() : 0; }
EMSCRIPTEN_KEEPALIVE int tw_height() { return gOpened ? gOpened->image.height() : 0; }

// Where plane p of the open image starts (rows from the top); null when there is no such plane.
EMSCRIPTEN_KEEPALIVE const uint8_t* tw_plane(int plane) {
    if (gOpened == nullptr || plane < 0 || plane >= gOpened->image.planes()) return nullptr;
    return gOpened->image.address(plane, 0, 0);
}

// Rows top .. top + count - 1 of the colour image as RGBA into out: gray as three equal
// channels, alpha 255 where the file has none. A file with only a depth buffer gives it as gray.
EMSCRIPTEN_KEEPALIVE void tw_rgba_rows(int top, int count, uint8_t* out) {
    if (gOpened == nullptr) return;
    const tniff::Image& image = gOpened->image;
    const int colour = gOpened->colourPlanes;
    const uint8_t* r;
    const uint8_t* g;
    const uint8_t* b;
    const uint8_t* a = nullptr;
    if (colour >= 3) {
        r = image.address(0, top, 0);
        g = image.address(1, top, 0);
        b = image.address(2, top, 0);
        if (colour >= 4) a = image.address(3, top, 0);
    } else {
        const int gray = colour >= 1 ? 0 : gOpened->depthPlane;
        r = g = b = image.address(gray, top, 0);
        if (colour == 2) a = image.address(1, top, 0);
    }
    const size_t pixels = static_cast<size_t>(image.width()) * static_cast<size_t>(count);
    for (size_t i = 0; i < pixels; ++i) {
        out[4 * i] = r[i];
        out[4 * i + 1] = g[i];
        out[4 * i + 2] = b[i];
        out[4 * i + 3] = a != nullptr ? a[i] : 255;
    }
}

// Saves width x height pixels of channels (1 to 4) interleaved 8-bit samples through the module
// into the file at path; name is what messages call it.
EMSCRIPTEN_KEEPALIVE int tw_save(const uint8_t* pixels, int width, int height, int channels, const char* path,
                                 const char* name) {
    gMessage.clear();
    try {
        CheckFormatLimits(width, height, name);
        CheckImageSizeLimit(width, height, channels, DefaultMaxImageBytes(), name);
        Raster raster(width, height, channels);
        std::memcpy(raster.pixels.data(), pixels, raster.pixels.size());
        tniff::Image image = ImageFromRaster(raster);
        raster = Raster();
        SaveThroughModule(LinkedModule(), image, path, name, &ReportProgress);
        return 0;
    } catch (const Error& error) {
        Fail(error.what());
    } catch (const std::bad_alloc&) {
        Fail(std::string(name) + ": " + DescribeHostCode(memFullErr, false));
    }
    return 1;
}

// tniff's limit on the image an open may make, here.
EMSCRIPTEN_KEEPALIVE double tw_max_image_bytes() { return static_cast<double>(DefaultMaxImageBytes()); }

}  // extern "C"
