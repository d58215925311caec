// A GdkPixbuf loader for the module's files: GTK image viewers and gdk-pixbuf-thumbnailer open
// them as colour images with alpha (the depth buffer is not shown). The file goes through the
// module's ENTRYPOINT on tniff's module host; nothing here reads the format itself.
//
// Incremental loading buffers the whole file and opens it when the last byte has arrived. The
// module opens files by path, so bytes that come from a stream are put in an anonymous
// in-memory file first.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
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

// An in-memory file holding bytes, reachable by a path while it is open.
class MemoryFile {
public:
    explicit MemoryFile(const std::vector<unsigned char>& bytes) {
        fd_ = memfd_create("tniff-pixbuf", MFD_CLOEXEC);
        if (fd_ < 0) throw Error("cannot make a memory file for the image");
        if (!tarniff::WriteFully(fd_, bytes.data(), bytes.size())) {
            throw Error("cannot fill a memory file for the image");
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
};

void SetError(GError** error, GdkPixbufError code, const std::string& text) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, code, text.c_str());
}

// The pixbuf for the file at path: RGBA, gray repeated into red, green and blue, opaque where the
// file has no alpha. Null with error set on failure.
GdkPixbuf* PixbufFromFile(const std::string& path, GError** error) {
    try {
        tarniff::OpenedFile file = tniff_integration::OpenColourImage(Module(), path, "image", false, nullptr);
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
    } catch (const Error& failure) {
        SetError(error, failure.hostCode() == memFullErr ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY
                                                         : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                 failure.what());
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the image");
    } catch (const std::exception& failure) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
    }
    return nullptr;
}

GdkPixbuf* PixbufFromBytes(const std::vector<unsigned char>& bytes, GError** error) {
    try {
        MemoryFile file(bytes);
        return PixbufFromFile(file.path(), error);
    } catch (const std::exception& failure) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
        return nullptr;
    }
}

bool ReadAll(FILE* stream, std::vector<unsigned char>* bytes) {
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    return std::ferror(stream) == 0;
}

GdkPixbuf* LoadFromStream(FILE* stream, GError** error) {
    std::vector<unsigned char> bytes;
    try {
        if (!ReadAll(stream, &bytes)) {
            SetError(error, GDK_PIXBUF_ERROR_FAILED, "the file could not be read");
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the file");
        return nullptr;
    }
    return PixbufFromBytes(bytes, error);
}

struct Incremental {
    GdkPixbufModuleSizeFunc size;
    GdkPixbufModulePreparedFunc prepared;
    GdkPixbufModuleUpdatedFunc updated;
    gpointer userData;
    std::vector<unsigned char> bytes;
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer userData, GError** error) {
    try {
        return new Incremental{size, prepared, updated, userData, {}};
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory");
        return nullptr;
    }
}

gboolean LoadIncrement(gpointer context, const guchar* buffer, guint size, GError** error) {
    Incremental* load = static_cast<Incremental*>(context);
    try {
        load->bytes.insert(load->bytes.end(), buffer, buffer + size);
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the file");
        return FALSE;
    }
    return TRUE;
}

gboolean StopLoad(gpointer context, GError** error) {
    Incremental* load = static_cast<Incremental*>(context);
    GdkPixbuf* pixbuf = PixbufFromBytes(load->bytes, error);
    gboolean loaded = FALSE;
    if (pixbuf != nullptr) {
        int width = gdk_pixbuf_get_width(pixbuf);
        int height = gdk_pixbuf_get_height(pixbuf);
        if (load->size != nullptr) load->size(&width, &height, load->userData);
        // A size of 0 asks for the image's size only; the caller has what it wanted.
        if (width != 0 && height != 0) {
            if (load->prepared != nullptr) load->prepared(pixbuf, nullptr, load->userData);
            if (load->updated != nullptr) {
                load->updated(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                              load->userData);
            }
        }
        g_object_unref(pixbuf);
        loaded = TRUE;
    }
    delete load;
    return loaded;
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
