// The page's way into the library: a handful of C functions its worker calls. The module is
// linked into the same WebAssembly file (the library's LinkedInModule) instead of a module file
// being loaded; files live in the worker's in-memory file system.
//
// One file is open at a time. Every function that can fail answers 0 on success and 1 on
// failure, and leaves the message (tniff's words) for tw_message().
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "tarniff/tarniff.h"

namespace {

using namespace tarniff;

// The page shows this in its progress bar; JS throttles what it forwards.
EM_JS(void, ReportProgress, (int32_t done, int32_t total), {
    if (Module.onProgress) Module.onProgress(done, total);
});

Inspection* gInspection = nullptr;    // the file open, or the last that failed to open
const OpenedFile* gOpened = nullptr;  // gInspection's file when it opened
std::string gMessage;                 // the last failure, or the open file's incompleteness note
std::string gDescription;

void Fail(const std::string& message) { gMessage = message; }

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* tw_message() { return gMessage.c_str(); }

EMSCRIPTEN_KEEPALIVE void tw_close() {
    delete gInspection;
    gInspection = nullptr;
    gOpened = nullptr;
    gDescription.clear();
}

namespace {

// Keeps the inspection of what open made, as tw_open and tw_open_bytes describe.
int Opened(const std::string& name, const std::function<Inspection(const OpenSettings&)>& open) {
    tw_close();
    gMessage.clear();
    OpenSettings settings;
    settings.name = name;
    settings.progress = &ReportProgress;
    try {
        gInspection = new Inspection(open(settings));
    } catch (const std::bad_alloc&) {
        Fail(name + ": " + DescribeHostCode(memFullErr, true));
        return 1;
    }
    gDescription = InfoJson(*gInspection);
    if (!gInspection->opened) {
        Fail(gInspection->error);
        return 1;
    }
    gOpened = &gInspection->file;
    gMessage = Incompleteness(*gOpened, name);
    return 0;
}

}  // namespace

// Opens the file at path through the module, as `tniff info` does; messages name it by path.
// A file cut short or with pixels no tile reaches opens as far as it goes, with its note in
// tw_message(). The description is tniff info's JSON object for the file, also when it failed
// (then with the layout up to the damage, if any).
EMSCRIPTEN_KEEPALIVE int tw_open(const char* path) {
    return Opened(path, [&](const OpenSettings& settings) {
        return Inspect(LinkedInModule(), path, settings);
    });
}

// The same for size bytes at bytes (a file the page was given), called name in messages; the
// bytes may be freed once it returns.
EMSCRIPTEN_KEEPALIVE int tw_open_bytes(const uint8_t* bytes, int size, const char* name) {
    return Opened(name, [&](const OpenSettings& settings) {
        return InspectBytes(LinkedInModule(), bytes, static_cast<size_t>(size), settings);
    });
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
    // One 32-bit store per pixel (WebAssembly is little-endian: r lands first).
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t alpha = a != nullptr ? a[i] : 255u;
        const uint32_t pixel =
            uint32_t(r[i]) | uint32_t(g[i]) << 8 | uint32_t(b[i]) << 16 | alpha << 24;
        std::memcpy(out + 4 * i, &pixel, sizeof pixel);
    }
}

// Whether an image of this size and channels, read from the file called source, may be saved in
// the format and made at all: tniff's checks, in its words, naming source.
EMSCRIPTEN_KEEPALIVE int tw_check(int width, int height, int channels, const char* source) {
    gMessage.clear();
    try {
        CheckFormatLimits(width, height, source);
        CheckImageSizeLimit(width, height, channels, DefaultMaxImageBytes(), source, "");
        return 0;
    } catch (const Error& error) {
        Fail(error.what());
    }
    return 1;
}

// Saves width x height pixels of channels (1 to 4) interleaved 8-bit samples, read from the file
// called source, through the module into the file at path, as `tniff convert SOURCE PATH` does:
// the format's limits and the image-size limit are checked first and name source; the save's
// messages name path.
EMSCRIPTEN_KEEPALIVE int tw_save(const uint8_t* pixels, int width, int height, int channels,
                                 const char* path, const char* source) {
    if (tw_check(width, height, channels, source) != 0) return 1;
    try {
        Raster raster(width, height, channels);
        std::memcpy(raster.pixels.data(), pixels, raster.pixels.size());
        tniff::Image image = ImageFromRaster(raster);
        raster = Raster();
        SaveThroughModule(LinkedInModule(), image, path, SaveSettings{path, &ReportProgress});
        return 0;
    } catch (const Error& error) {
        Fail(error.what());
    } catch (const std::bad_alloc&) {
        Fail(std::string(path) + ": " + DescribeHostCode(memFullErr, false));
    }
    return 1;
}

// tniff's limit on the image an open may make, here.
EMSCRIPTEN_KEEPALIVE double tw_max_image_bytes() {
    return static_cast<double>(DefaultMaxImageBytes());
}

}  // extern "C"
