/* Loads images through GdkPixbuf, as viewers and the thumbnailer do:
 *     tniff_pixbuf_check same A B          exit 0 when both load to equal RGBA pixels
 *     tniff_pixbuf_check incremental A B   A fed to a GdkPixbufLoader in small pieces, B from file
 *     tniff_pixbuf_check streamed A B      A read and fed to a loader 64 KiB at a time, B from file
 *     tniff_pixbuf_check size FILE         prints "WIDTH HEIGHT" from gdk_pixbuf_get_file_info
 *     tniff_pixbuf_check survive FILE...   loads each; exit 0 when every load ends (loaded or an error)
 *     tniff_pixbuf_check fails FILE        exit 0 when loading fails with a message; prints it
 *     tniff_pixbuf_check fit A W H B       A loaded at W x H (size-prepared asks for it) is the
 *                                          area average of B at full size, pixel for pixel
 *     tniff_pixbuf_check stopped FILE      a load whose size-prepared asks for no pixels ends
 *                                          in success, or in failure with an error
 * Images without alpha compare as opaque; gray PNGs load as RGB. */
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static GdkPixbuf* Rgba(GdkPixbuf* pixbuf) {
    GdkPixbuf* rgba = gdk_pixbuf_add_alpha(pixbuf, FALSE, 0, 0, 0);
    g_object_unref(pixbuf);
    return rgba;
}

static GdkPixbuf* FromFile(const char* path) {
    GError* error = NULL;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path, &error);
    if (pixbuf == NULL) {
        fprintf(stderr, "%s: %s\n", path, error->message);
        g_error_free(error);
        return NULL;
    }
    return Rgba(pixbuf);
}

static GdkPixbuf* Incrementally(const char* path) {
    gchar* bytes = NULL;
    gsize size = 0;
    GError* error = NULL;
    if (!g_file_get_contents(path, &bytes, &size, &error)) {
        fprintf(stderr, "%s: %s\n", path, error->message);
        return NULL;
    }
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tarniff", &error);
    gboolean ok = loader != NULL;
    for (gsize at = 0; ok && at < size; at += 1000) {
        ok = gdk_pixbuf_loader_write(loader, (const guchar*)bytes + at, size - at < 1000 ? size - at : 1000, &error);
    }
    if (ok) ok = gdk_pixbuf_loader_close(loader, &error);
    GdkPixbuf* pixbuf = NULL;
    if (ok) pixbuf = Rgba(g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader)));
    else fprintf(stderr, "%s: %s\n", path, error != NULL ? error->message : "no loader");
    if (loader != NULL) {
        if (!ok) gdk_pixbuf_loader_close(loader, NULL);
        g_object_unref(loader);
    }
    g_free(bytes);
    return pixbuf;
}

/* As a viewer reads a file: a piece at a time, holding none of it. */
static GdkPixbuf* Streamed(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        perror(path);
        return NULL;
    }
    GError* error = NULL;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tarniff", &error);
    gboolean ok = loader != NULL;
    static guchar piece[65536];
    size_t got;
    while (ok && (got = fread(piece, 1, sizeof piece, file)) > 0) ok = gdk_pixbuf_loader_write(loader, piece, got, &error);
    fclose(file);
    if (ok) ok = gdk_pixbuf_loader_close(loader, &error);
    GdkPixbuf* pixbuf = NULL;
    if (ok) pixbuf = Rgba(g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader)));
    else fprintf(stderr, "%s: %s\n", path, error != NULL ? error->message : "no loader");
    if (loader != NULL) {
        if (!ok) gdk_pixbuf_loader_close(loader, NULL);
        g_object_unref(loader);
    }
    return pixbuf;
}

static int Same(GdkPixbuf* a, GdkPixbuf* b, const char* nameA, const char* nameB) {
    int width = gdk_pixbuf_get_width(a), height = gdk_pixbuf_get_height(a);
    if (width != gdk_pixbuf_get_width(b) || height != gdk_pixbuf_get_height(b)) {
        fprintf(stderr, "%s is %dx%d, %s is %dx%d\n", nameA, width, height, nameB, gdk_pixbuf_get_width(b),
                gdk_pixbuf_get_height(b));
        return 0;
    }
    long differing = 0;
    for (int y = 0; y < height; ++y) {
        const guchar* rowA = gdk_pixbuf_read_pixels(a) + (gsize)y * gdk_pixbuf_get_rowstride(a);
        const guchar* rowB = gdk_pixbuf_read_pixels(b) + (gsize)y * gdk_pixbuf_get_rowstride(b);
        for (int i = 0; i < 4 * width; ++i) differing += rowA[i] != rowB[i];
    }
    if (differing != 0) fprintf(stderr, "%s and %s: %ld bytes differ\n", nameA, nameB, differing);
    return differing == 0;
}

/* The mean of the pixels of full that land on each pixel of a width x height image, pixel
 * (x, y) of full landing on (x * width / W, y * height / H), rounded to nearest. */
static GdkPixbuf* AreaMean(GdkPixbuf* full, int width, int height) {
    int fullWidth = gdk_pixbuf_get_width(full), fullHeight = gdk_pixbuf_get_height(full);
    guint64* sums = g_new0(guint64, (gsize)width * height * 4);
    guint64* counts = g_new0(guint64, (gsize)width * height);
    for (int y = 0; y < fullHeight; ++y) {
        const guchar* row = gdk_pixbuf_read_pixels(full) + (gsize)y * gdk_pixbuf_get_rowstride(full);
        for (int x = 0; x < fullWidth; ++x) {
            gsize at = (gsize)((gint64)y * height / fullHeight) * width + (gsize)((gint64)x * width / fullWidth);
            ++counts[at];
            for (int c = 0; c < 4; ++c) sums[at * 4 + c] += row[4 * x + c];
        }
    }
    GdkPixbuf* mean = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    for (int y = 0; y < height; ++y) {
        guchar* row = gdk_pixbuf_get_pixels(mean) + (gsize)y * gdk_pixbuf_get_rowstride(mean);
        for (int x = 0; x < width; ++x) {
            gsize at = (gsize)y * width + x;
            for (int c = 0; c < 4; ++c) row[4 * x + c] = (guchar)((sums[at * 4 + c] + counts[at] / 2) / counts[at]);
        }
    }
    g_free(sums);
    g_free(counts);
    return mean;
}

struct Asked {
    int width, height;
};

static void AskSize(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    struct Asked* asked = data;
    (void)width;
    (void)height;
    gdk_pixbuf_loader_set_size(loader, asked->width, asked->height);
}

/* path fed to a loader whose size-prepared asks for width x height; the pixbuf, or NULL with
 * NULL when the load failed: with an error, or with *silent set. */
static GdkPixbuf* LoadAsking(const char* path, int width, int height, gboolean* silent) {
    gchar* bytes = NULL;
    gsize size = 0;
    GError* error = NULL;
    *silent = FALSE;
    if (!g_file_get_contents(path, &bytes, &size, &error)) {
        fprintf(stderr, "%s: %s\n", path, error->message);
        return NULL;
    }
    struct Asked asked = {width, height};
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("tarniff", &error);
    g_signal_connect(loader, "size-prepared", G_CALLBACK(AskSize), &asked);
    gboolean ok = gdk_pixbuf_loader_write(loader, (const guchar*)bytes, size, &error);
    if (!ok && error == NULL) *silent = TRUE;
    g_clear_error(&error);
    if (!gdk_pixbuf_loader_close(loader, &error)) {
        if (error == NULL) *silent = TRUE;
        ok = FALSE;
    }
    GdkPixbuf* pixbuf = ok && gdk_pixbuf_loader_get_pixbuf(loader) != NULL
                            ? Rgba(g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader)))
                            : NULL;
    if (error != NULL) {
        fprintf(stderr, "%s: %s\n", path, error->message);
        g_error_free(error);
    }
    g_object_unref(loader);
    g_free(bytes);
    return pixbuf;
}

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "fit") == 0) {
        gboolean silent;
        GdkPixbuf* fitted = LoadAsking(argv[2], atoi(argv[3]), atoi(argv[4]), &silent);
        GdkPixbuf* full = FromFile(argv[5]);
        int same = 0;
        if (fitted != NULL && full != NULL) {
            GdkPixbuf* mean = AreaMean(full, atoi(argv[3]), atoi(argv[4]));
            same = Same(fitted, mean, argv[2], "the area mean");
            g_object_unref(mean);
        }
        if (fitted != NULL) g_object_unref(fitted);
        if (full != NULL) g_object_unref(full);
        return same ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "stopped") == 0) {
        gboolean silent;
        GdkPixbuf* pixbuf = LoadAsking(argv[2], 0, 0, &silent);
        if (pixbuf != NULL) {
            fprintf(stderr, "%s: pixels made for a size of 0\n", argv[2]);
            g_object_unref(pixbuf);
            return 1;
        }
        if (silent) fprintf(stderr, "%s: the load failed without an error\n", argv[2]);
        return silent ? 1 : 0;
    }
    if (argc >= 4 && (strcmp(argv[1], "same") == 0 || strcmp(argv[1], "incremental") == 0 ||
                      strcmp(argv[1], "streamed") == 0)) {
        GdkPixbuf* a = strcmp(argv[1], "same") == 0          ? FromFile(argv[2])
                       : strcmp(argv[1], "incremental") == 0 ? Incrementally(argv[2])
                                                             : Streamed(argv[2]);
        GdkPixbuf* b = FromFile(argv[3]);
        int same = a != NULL && b != NULL && Same(a, b, argv[2], argv[3]);
        if (a != NULL) g_object_unref(a);
        if (b != NULL) g_object_unref(b);
        return same ? 0 : 1;
    }
    if (argc >= 3 && strcmp(argv[1], "survive") == 0) {
        int loaded = 0;
        for (int i = 2; i < argc; ++i) {
            GError* error = NULL;
            GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(argv[i], &error);
            if (pixbuf != NULL) {
                ++loaded;
                g_object_unref(pixbuf);
            } else if (error == NULL || error->message == NULL || error->message[0] == '\0') {
                fprintf(stderr, "%s: failed without a message\n", argv[i]);
                return 1;
            } else {
                g_error_free(error);
            }
        }
        printf("%d of %d loaded, the rest refused\n", loaded, argc - 2);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "fails") == 0) {
        GError* error = NULL;
        GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(argv[2], &error);
        if (pixbuf != NULL) {
            fprintf(stderr, "%s: loaded, expected a failure\n", argv[2]);
            g_object_unref(pixbuf);
            return 1;
        }
        printf("%s\n", error->message);
        g_error_free(error);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "size") == 0) {
        int width = 0, height = 0;
        if (gdk_pixbuf_get_file_info(argv[2], &width, &height) == NULL) {
            fprintf(stderr, "%s: no size\n", argv[2]);
            return 1;
        }
        printf("%d %d\n", width, height);
        return 0;
    }
    fprintf(stderr, "usage: %s same A B | incremental A B | streamed A B | survive FILE... | fails FILE | size FILE"
                    " | fit A W H B | stopped FILE\n",
            argv[0]);
    return 2;
}
