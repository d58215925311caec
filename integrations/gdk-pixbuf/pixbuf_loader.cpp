// A GdkPixbuf loader for the module's files: GTK image viewers and gdk-pixbuf-thumbnailer open
// them as colour images with alpha (the depth buffer is not shown). The file goes through the
// module's ENTRYPOINT on tniff's module host; nothing here reads the format itself.
//
// The module opens files by path. A file GdkPixbuf hands over as a stream is opened by its own
// path; bytes fed in pieces go as they arrive into the library's TemporaryCopy (an anonymous
// memory file), the one copy kept, and are opened when the last has arrived. The image's size
// is announced as soon as the file's header has arrived (the library's look at the header), so
// a caller that asks only for the size (gdk_pixbuf_get_file_info) has it before the rest of the
// file is read, and nothing is decoded for it. A caller that asks for a smaller size (a
// thumbnail) gets a pixbuf of that size, which the library's reduced open averages tile by tile
// as the module hands them over: the full image is never held.
//
// Messages name the file as GdkPixbuf hands it over: by the name of the file it opened when it
// gives the loader a stream, else (bytes fed in pieces, of no name) as kUnnamed.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "integrations/common/module_access.h"

namespace {

using tarniff::Error;

// Where this loader file is, for the module installed beside it.
std::string LoaderPath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&LoaderPath), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

// The module file stays loaded once found; loaders run one at a time (the format is not marked
// thread-safe), so no lock is needed.
const tarniff::ModuleFile& Module() {
    static tarniff::ModuleFile module;
    if (module.entry == nullptr) {
        std::string directory = tarniff::DirectoryOf(LoaderPath());
        std::vector<std::string> candidates = {directory + "tarniff/" + tarniff::kModuleFileName,
                                               directory + tarniff::kModuleFileName};
#ifdef TNIFF_MODULE_FROM_LOADERS
        // Installed in GdkPixbuf's folder by a package: the module where tniff's is, found from
        // here, so an unpacked or relocated tree works as well as the installed one.
        candidates.push_back(directory + TNIFF_MODULE_FROM_LOADERS + "/" + tarniff::kModuleFileName);
#endif
        module = tniff_integration::LoadModuleFrom(candidates);
    }
    return module;
}

// What messages call a file fed in pieces, of which GdkPixbuf tells the loader no name.
const char kUnnamed[] = "the .iff file";

// Every failure sets an error, as GdkPixbuf asks of a loader that answers FALSE: the first one
// set stands, and a caller that passes no error pointer is told nothing.
void SetError(GError** error, GdkPixbufError code, const std::string& text) {
    if (error != nullptr && *error == nullptr)
        g_set_error_literal(error, GDK_PIXBUF_ERROR, code, text.c_str());
}

// The error for a failure thrown while loading.
void SetErrorOf(GError** error, const std::exception& failure) {
    const Error* known = dynamic_cast<const Error*>(&failure);
    if (known != nullptr) {
        SetError(error, known->hostCode() == memFullErr ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY
                                                        : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                 failure.what());
    } else if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the image");
    } else {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
    }
}

// The pixbuf for the file at path, named as name: RGBA, gray repeated into red, green and
// blue, opaque where the file has no alpha. A side of fit above 0 and below the file's is
// the pixbuf's (averaged as the tiles arrive); 0 keeps the file's. Null with error set on
// failure.
GdkPixbuf* PixbufFromFile(const std::string& path, const std::string& name, int fitWidth,
                          int fitHeight, GError** error) {
    try {
        tarniff::OpenSettings settings;
        settings.name = name;
        settings.fitWidth = fitWidth;
        settings.fitHeight = fitHeight;
        tarniff::OpenedFile file = tniff_integration::OpenColourImage(Module(), path, settings);
        const tniff::Image& image = file.image;
        GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, image.width(), image.height());
        if (pixbuf == nullptr) {
            SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the image");
            return nullptr;
        }
        guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
        int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const int colour = file.colourPlanes;
        for (int y = 0; y < image.height(); ++y) {
            guchar* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(stride);
            for (int x = 0; x < image.width(); ++x) {
                guchar* pixel = row + 4 * static_cast<size_t>(x);
                if (colour == 1) {
                    pixel[0] = pixel[1] = pixel[2] = image.at(0, y, x);
                } else {
                    for (int c = 0; c < 3; ++c) pixel[c] = image.at(c, y, x);
                }
                pixel[3] = colour == 4 ? image.at(3, y, x) : 255;
            }
        }
        return pixbuf;
    } catch (const std::exception& failure) {
        SetErrorOf(error, failure);
    }
    return nullptr;
}

// The name of the file open on fd, as the system has it ("frame.iff"); "" for one of no name
// (a pipe, a file removed meanwhile).
std::string NameOfOpenFile(int fd) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0 || target[0] != '/') return "";
    const std::string path(target, static_cast<size_t>(length));
    if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0) return "";
    return tarniff::FileNameOf(path);
}

// A stream GdkPixbuf opened on a file is read by the file's own path; any other is copied
// into a memory file first.
GdkPixbuf* LoadFromStream(FILE* stream, GError** error) {
    struct stat status;
    const int fd = fileno(stream);
    try {
        const std::string named = fd >= 0 ? NameOfOpenFile(fd) : "";
        const std::string name = named.empty() ? kUnnamed : named;
        if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
            return PixbufFromFile("/proc/self/fd/" + std::to_string(fd), name, 0, 0, error);
        tarniff::TemporaryCopy copy(name);
        unsigned char chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) copy.Append(chunk, got);
        if (std::ferror(stream) != 0) {
            SetError(error, GDK_PIXBUF_ERROR_FAILED, name + ": cannot read: " + std::strerror(errno));
            return nullptr;
        }
        copy.Finish();
        return PixbufFromFile(copy.path(), name, 0, 0, error);
    } catch (const std::exception& failure) {
        SetErrorOf(error, failure);
        return nullptr;
    }
}

// The file's first bytes are kept until its header is among them; this many at most.
const size_t kHeadBytes = 64 << 10;

struct Incremental {
    GdkPixbufModuleSizeFunc size = nullptr;
    GdkPixbufModulePreparedFunc prepared = nullptr;
    GdkPixbufModuleUpdatedFunc updated = nullptr;
    gpointer userData = nullptr;
    tarniff::TemporaryCopy copy{kUnnamed};
    std::vector<unsigned char> head;
    bool announced = false;  // the size has gone to the size callback
    bool sizeOnly = false;   // ... which asked for no pixels (a size of 0)
    int fitWidth = 0;        // ... or for a smaller one (0: the file's)
    int fitHeight = 0;
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer userData, GError** error) {
    try {
        Incremental* load = new Incremental;
        load->size = size;
        load->prepared = prepared;
        load->updated = updated;
        load->userData = userData;
        return load;
    } catch (const std::exception& failure) {
        SetErrorOf(error, failure);
    }
    return nullptr;
}

// Tells the size callback the image's size when the look at the header has it, and keeps what
// the callback answers: no pixels, a smaller size for the pixbuf, or the file's. A header the
// module would refuse is left for the module to say so.
void Announce(Incremental* load, const tarniff::HeaderLook& look) {
    if (!look.hasHeader || look.width < 1 || look.height < 1 || look.width > tarniff::kLargestSide ||
        look.height > tarniff::kLargestSide)
        return;
    load->announced = true;
    int width = look.width, height = look.height;
    if (load->size != nullptr) load->size(&width, &height, load->userData);
    load->sizeOnly = width == 0 || height == 0;
    // A side asked larger stays the file's; GdkPixbuf scales the pixbuf up itself.
    load->fitWidth = width > 0 && width < look.width ? width : 0;
    load->fitHeight = height > 0 && height < look.height ? height : 0;
}

gboolean LoadIncrement(gpointer context, const guchar* buffer, guint size, GError** error) {
    Incremental* load = static_cast<Incremental*>(context);
    if (load->sizeOnly) return TRUE;  // the caller has what it asked for
    try {
        load->copy.Append(buffer, size);
        if (!load->announced && load->head.size() < kHeadBytes) {
            const size_t take = std::min<size_t>(size, kHeadBytes - load->head.size());
            load->head.insert(load->head.end(), buffer, buffer + take);
            Announce(load, tarniff::LookAtHeader(load->head.data(), load->head.size()));
            if (load->announced) std::vector<unsigned char>().swap(load->head);
        }
    } catch (const std::exception& failure) {
        SetErrorOf(error, failure);
        return FALSE;
    }
    return TRUE;
}

gboolean StopLoad(gpointer context, GError** error) {
    std::unique_ptr<Incremental> load(static_cast<Incremental*>(context));
    // A size of 0 asks for the image's size only (GdkPixbuf's hint that the load ends): the
    // caller has what it wanted, and nothing failed.
    if (load->sizeOnly) return TRUE;
    GdkPixbuf* pixbuf = nullptr;
    try {
        load->copy.Finish();
        // A header that arrived only with the rest (or never): the size goes to the callback
        // before the pixels are decoded, so that a smaller size asked is the one made.
        if (!load->announced) Announce(load.get(), tarniff::LookAtHeader(load->copy.path(), kUnnamed));
        if (load->sizeOnly) return TRUE;
        pixbuf = PixbufFromFile(load->copy.path(), kUnnamed, load->fitWidth, load->fitHeight, error);
    } catch (const std::exception& failure) {
        SetErrorOf(error, failure);
    }
    if (pixbuf == nullptr) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, std::string(kUnnamed) + ": cannot be loaded");
        return FALSE;
    }
    if (load->prepared != nullptr) load->prepared(pixbuf, nullptr, load->userData);
    if (load->updated != nullptr) {
        load->updated(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                      load->userData);
    }
    g_object_unref(pixbuf);
    return TRUE;
}
}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = &LoadFromStream;
    module->begin_load = &BeginLoad;
    module->stop_load = &StopLoad;
    module->load_increment = &LoadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    // "FOR4" at 0, any group size, "CIMG" at 8.
    static GdkPixbufModulePattern signature[] = {
        {const_cast<char*>("FOR4    CIMG"), const_cast<char*>("    xxxx    "), 100},
        {nullptr, nullptr, 0},
    };
    static const gchar* mimeTypes[] = {"image/x-tarniff", nullptr};
    static const gchar* extensions[] = {"iff", nullptr};
    info->name = const_cast<gchar*>("tarniff");
    info->signature = signature;
    info->description = const_cast<gchar*>("Tiled IFF image (CIMG)");
    info->mime_types = const_cast<gchar**>(mimeTypes);
    info->extensions = const_cast<gchar**>(extensions);
    info->flags = 0;  // not thread-safe: tniff's module host keeps the running call in globals
    info->license = nullptr;
}

}  // extern "C"
