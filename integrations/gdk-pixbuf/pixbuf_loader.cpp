// A GdkPixbuf loader for the module's files: GTK image viewers and gdk-pixbuf-thumbnailer open
// them as colour images with alpha (the depth buffer is not shown). The file goes through the
// module's ENTRYPOINT on tniff's module host; nothing here reads the format itself.
//
// The module opens files by path. A file GdkPixbuf hands over as a stream is opened by its own
// path; bytes fed in pieces are written as they arrive into an anonymous in-memory file, the
// one copy kept, and opened when the last has arrived. The image's size is announced as soon
// as the file's header has arrived, from the library's layout walk, so a caller that asks only
// for the size (gdk_pixbuf_get_file_info) has it before the rest of the file is read, and
// nothing is decoded for it.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

// An in-memory file the bytes of a stream are appended to, reachable by a path while it is
// open. What lies past the bytes written reads as zeros, so runs of zeros (a sparse file's
// holes) are not written and take no memory.
class MemoryFile {
public:
    MemoryFile() {
        fd_ = memfd_create("tniff-pixbuf", MFD_CLOEXEC);
        if (fd_ < 0) throw Error("cannot make a memory file for the image");
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void Append(const unsigned char* bytes, size_t count) {
        const size_t kRun = 4096;  // zeros are looked for a page at a time
        size_t written = 0;        // bytes before this are written or skipped
        for (size_t at = 0; at < count; at += kRun) {
            const size_t run = count - at < kRun ? count - at : kRun;
            if (!AllZero(bytes + at, run)) continue;
            Write(bytes + written, at - written, size_ + written);
            written = at + run;
        }
        Write(bytes + written, count - written, size_ + written);
        size_ += count;
    }
    // The file is as long as all bytes appended, zeros at its end included.
    void Finish() {
        if (ftruncate(fd_, static_cast<off_t>(size_)) != 0)
            throw Error("cannot fill a memory file for the image");
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    static bool AllZero(const unsigned char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    }
    void Write(const unsigned char* bytes, size_t count, uint64_t offset) {
        while (count > 0) {
            const ssize_t put = pwrite(fd_, bytes, count, static_cast<off_t>(offset));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) throw Error("cannot fill a memory file for the image");
            bytes += put;
            count -= static_cast<size_t>(put);
            offset += static_cast<uint64_t>(put);
        }
    }
    int fd_ = -1;
    uint64_t size_ = 0;
};

void SetError(GError** error, GdkPixbufError code, const std::string& text) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, code, text.c_str());
}

// The pixbuf for the file at path: RGBA, gray repeated into red, green and blue, opaque where the
// file has no alpha. Null with error set on failure.
GdkPixbuf* PixbufFromFile(const std::string& path, GError** error) {
    try {
        tarniff::OpenSettings settings;
        settings.name = "image";
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

// A stream GdkPixbuf opened on a file is read by the file's own path; any other is copied
// into a memory file first.
GdkPixbuf* LoadFromStream(FILE* stream, GError** error) {
    struct stat status;
    const int fd = fileno(stream);
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        return PixbufFromFile("/proc/self/fd/" + std::to_string(fd), error);
    try {
        MemoryFile file;
        unsigned char chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) file.Append(chunk, got);
        if (std::ferror(stream) != 0) {
            SetError(error, GDK_PIXBUF_ERROR_FAILED, "the file could not be read");
            return nullptr;
        }
        file.Finish();
        return PixbufFromFile(file.path(), error);
    } catch (const std::exception& failure) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
        return nullptr;
    }
}

// The file's first bytes are kept until its header is among them; this many at most.
const size_t kHeadBytes = 64 << 10;

struct Incremental {
    GdkPixbufModuleSizeFunc size;
    GdkPixbufModulePreparedFunc prepared;
    GdkPixbufModuleUpdatedFunc updated;
    gpointer userData;
    MemoryFile file;
    std::vector<unsigned char> head;
    bool announced = false;  // the size has gone to the size callback
    bool sizeOnly = false;   // ... which asked for no pixels (a size of 0)
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer userData, GError** error) {
    try {
        Incremental* load = new Incremental{size, prepared, updated, userData, {}, {}};
        return load;
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory");
    } catch (const std::exception& failure) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
    }
    return nullptr;
}

// Tells the size callback the image's size once the header has arrived; a header the module
// would refuse is left for the module to say so.
void AnnounceFromHead(Incremental* load) {
    tarniff::WalkSettings headersOnly;
    headersOnly.checkRunStreams = false;
    const tarniff::Layout layout =
        tarniff::WalkLayout(load->head.data(), load->head.size(), headersOnly);
    if (!layout.hasHeader) return;
    const uint32_t w = layout.header.width, h = layout.header.height;
    if (w == 0 || h == 0 || w > uint32_t(tarniff::kLargestSide) ||
        h > uint32_t(tarniff::kLargestSide))
        return;
    load->announced = true;
    int width = static_cast<int>(w), height = static_cast<int>(h);
    if (load->size != nullptr) load->size(&width, &height, load->userData);
    load->sizeOnly = width == 0 || height == 0;
}

gboolean LoadIncrement(gpointer context, const guchar* buffer, guint size, GError** error) {
    Incremental* load = static_cast<Incremental*>(context);
    if (load->sizeOnly) return TRUE;  // the caller has what it asked for
    try {
        load->file.Append(buffer, size);
        if (!load->announced && load->head.size() < kHeadBytes) {
            const size_t take = std::min<size_t>(size, kHeadBytes - load->head.size());
            load->head.insert(load->head.end(), buffer, buffer + take);
            AnnounceFromHead(load);
            if (load->announced) std::vector<unsigned char>().swap(load->head);
        }
    } catch (const std::bad_alloc&) {
        SetError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory for the file");
        return FALSE;
    } catch (const std::exception& failure) {
        SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
        return FALSE;
    }
    return TRUE;
}

gboolean StopLoad(gpointer context, GError** error) {
    Incremental* load = static_cast<Incremental*>(context);
    gboolean loaded = FALSE;
    if (load->sizeOnly) {
        loaded = TRUE;
    } else {
        GdkPixbuf* pixbuf = nullptr;
        try {
            load->file.Finish();
            pixbuf = PixbufFromFile(load->file.path(), error);
        } catch (const std::exception& failure) {
            SetError(error, GDK_PIXBUF_ERROR_FAILED, failure.what());
        }
        if (pixbuf != nullptr) {
            int width = gdk_pixbuf_get_width(pixbuf);
            int height = gdk_pixbuf_get_height(pixbuf);
            if (!load->announced && load->size != nullptr)
                load->size(&width, &height, load->userData);
            // A size of 0 asks for the image's size only; the caller has what it wanted.
            if (width != 0 && height != 0) {
                if (load->prepared != nullptr) load->prepared(pixbuf, nullptr, load->userData);
                if (load->updated != nullptr) {
                    load->updated(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf),
                                  gdk_pixbuf_get_height(pixbuf), load->userData);
                }
            }
            g_object_unref(pixbuf);
            loaded = TRUE;
        }
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
