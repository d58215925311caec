// The GIMP 2.10 file plug-in for the module's files. Opening gives the colour image as one layer
// (gray, RGB or RGB with alpha) and the depth buffer as a hidden channel named "Depth", with the
// file's resolution; exporting saves the image's visible layers merged. Every byte of the format
// is read and written by the module, through its ENTRYPOINT on tniff's module host; failures are
// reported in tniff's words.
//
// A file with a depth buffer alone opens as a gray image of its depth, one layer named "Depth",
// with tniff's note. The module file is TnIffFormat.so beside this program, or the one
// $TNIFF_MODULE names.
#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "hostapi/plugin_interface.h"
#include "integrations/common/module_access.h"

namespace {

using tarniff::Error;

const char kLoadProcedure[] = "file-tarniff-load";
const char kThumbnailProcedure[] = "file-tarniff-load-thumb";
const char kSaveProcedure[] = "file-tarniff-save";
const char kMimeType[] = "image/x-tarniff";
// "FOR4" at offset 0 and ("&") "CIMG" at offset 8.
const char kMagic[] = "0,string,FOR4,&8,string,CIMG";

// The module beside the plug-in (where it is installed), or the one $TNIFF_MODULE names.
tarniff::ModuleFile Module() {
    return tniff_integration::LoadModuleFrom(tarniff::ModuleSearchPaths());
}

void ShowProgress(int32_t done, int32_t total) {
    if (total > 0) gimp_progress_update(static_cast<gdouble>(done) / total);
}

// The file name as the user sees it, for messages.
std::string DisplayName(const char* path) {
    gchar* name = g_filename_display_basename(path);
    std::string text = name;
    g_free(name);
    return text;
}

// Asks whether to open what there is of a file cut short or whose tiles leave pixels uncovered.
// Only when someone is there to answer.
bool AskToOpenPartial(const std::string& shortfall) {
    gimp_ui_init("file-tarniff", FALSE);
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE,
                                               "%s", shortfall.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog),
                                             "Open what there is? Pixels no tile reached will be 0 (black; transparent where "
                                             "the file has alpha).");
    gtk_dialog_add_buttons(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT,
                           nullptr);
    gint answer = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return answer == GTK_RESPONSE_ACCEPT;
}

// Pixels of planes first .. first + count - 1 of the host's image, interleaved.
std::vector<guchar> Interleaved(const tniff::Image& image, int first, int count) {
    tarniff::Raster raster = tarniff::RasterFromPlanes(image, first, count);
    return std::move(raster.pixels);
}

void PutPixels(gint32 drawable, const Babl* format, const std::vector<guchar>& pixels, int width, int height) {
    GeglBuffer* buffer = gimp_drawable_get_buffer(drawable);
    gegl_buffer_set(buffer, GEGL_RECTANGLE(0, 0, width, height), 0, format, pixels.data(), GEGL_AUTO_ROWSTRIDE);
    g_object_unref(buffer);
}

// A note to whoever is there, as tniff gives it: a message, or a line on stderr in a batch run.
void ShowNote(const std::string& note, GimpRunMode mode) {
    if (mode == GIMP_RUN_NONINTERACTIVE) {
        std::fprintf(stderr, "file-tarniff: note: %s\n", note.c_str());
    } else {
        gimp_message(note.c_str());
    }
}

// Opens path as a new image; a full open (not a thumbnail) adds the depth buffer as a channel
// and shows the notes. Throws Error; an image is only made once the module has read the whole
// file, so a failure leaves none behind.
gint32 Load(const char* path, GimpRunMode mode, bool thumbnail) {
    std::string name = DisplayName(path);
    tarniff::ModuleFile module = Module();
    tarniff::OpenSettings settings;
    settings.name = name;
    settings.progress = ShowProgress;
    settings.partial = true;  // the user is asked below
    tarniff::ShownPlanes shown;
    tarniff::OpenedFile file = tniff_integration::OpenColourImage(module, path, settings, &shown);
    if (!file.complete()) {
        std::string shortfall = tarniff::Incompleteness(file, name);
        if (mode != GIMP_RUN_INTERACTIVE || !AskToOpenPartial(shortfall)) throw Error(shortfall);
    }

    const tniff::Image& pixels = file.image;
    const int width = pixels.width(), height = pixels.height();
    const bool gray = file.colourPlanes == 1;
    gint32 image = gimp_image_new(width, height, gray ? GIMP_GRAY : GIMP_RGB);
    if (image < 0) throw Error(name + ": GIMP could not make an image of " + std::to_string(width) + " by " +
                                   std::to_string(height));
    gimp_image_undo_disable(image);
    gimp_image_set_filename(image, path);
    if (file.description.horizontalDpi > 0 && file.description.verticalDpi > 0) {
        gimp_image_set_resolution(image, file.description.horizontalDpi, file.description.verticalDpi);
    }

    GimpImageType type = gray ? GIMP_GRAY_IMAGE : file.colourPlanes == 4 ? GIMP_RGBA_IMAGE : GIMP_RGB_IMAGE;
    gint32 layer = gimp_layer_new(image, shown.depthOnly ? "Depth" : "Background", width, height, type, 100,
                                  gimp_image_get_default_new_layer_mode(image));
    gimp_image_insert_layer(image, layer, -1, 0);
    const char* format = gray ? "Y' u8" : file.colourPlanes == 4 ? "R'G'B'A u8" : "R'G'B' u8";
    PutPixels(layer, babl_format(format), Interleaved(pixels, 0, file.colourPlanes), width, height);

    if (!thumbnail && file.depthPlane >= 0) {
        GimpRGB black = {0.0, 0.0, 0.0, 1.0};
        gint32 channel = gimp_channel_new(image, "Depth", width, height, 50.0, &black);
        gimp_image_insert_channel(image, channel, -1, 0);
        gimp_item_set_visible(channel, FALSE);
        // The channel's own format: the bytes go in as they are.
        PutPixels(channel, gimp_drawable_get_format(channel), Interleaved(pixels, file.depthPlane, 1), width, height);
    }
    gimp_image_set_active_layer(image, layer);
    gimp_image_undo_enable(image);
    gimp_progress_update(1.0);
    if (!thumbnail && !shown.note.empty()) ShowNote(shown.note, mode);
    return image;
}

// What an export of original leaves out: its channels. The Depth channel an open makes alone
// is tniff's note for .iff to .iff; any other channel is named. "" when there is none.
std::string ChannelsNotSaved(gint32 original, const std::string& name) {
    gint count = 0;
    gint32* channels = gimp_image_get_channels(original, &count);
    std::vector<std::string> names;
    for (gint i = 0; i < count; ++i) {
        gchar* channel = gimp_item_get_name(channels[i]);
        names.push_back(channel != nullptr ? channel : "");
        g_free(channel);
    }
    g_free(channels);
    if (names.empty()) return "";
    if (names.size() == 1 && names[0] == "Depth") {
        return tarniff::DepthNotSaved(name);
    }
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        list += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
        list += "\"" + names[i] + "\"";
    }
    return name +
           (names.size() == 1 ? ": the channel " + list + " is"
                              : ": the channels " + list + " are") +
           " not saved: the format's writer stores no depth buffer or other channel";
}

// Exports the image as GIMP does for formats without layers: a copy with the visible layers
// merged to the image's size, indexed colours made RGB, 8 bits per channel.
void Save(gint32 original, const char* path, GimpRunMode mode) {
    std::string name = DisplayName(path);
    gint32 image = gimp_image_duplicate(original);
    if (image < 0) throw Error(name + ": GIMP could not copy the image to export it");
    struct Discard {
        gint32 image;
        ~Discard() { gimp_image_delete(image); }
    } discard{image};
    gimp_image_undo_disable(image);
    if (gimp_image_base_type(image) == GIMP_INDEXED) gimp_image_convert_rgb(image);
    if (gimp_image_get_precision(image) != GIMP_PRECISION_U8_GAMMA) {
        gimp_image_convert_precision(image, GIMP_PRECISION_U8_GAMMA);
    }
    // Merging gives a layer with alpha even when no layer had one: the file gets alpha only when
    // a visible layer has it.
    gint count = 0;
    gint32* layers = gimp_image_get_layers(image, &count);
    bool alpha = false;
    for (gint i = 0; i < count; ++i) {
        if (gimp_item_get_visible(layers[i]) && gimp_drawable_has_alpha(layers[i])) alpha = true;
    }
    g_free(layers);
    if (count < 1) throw Error(name + ": the image has no layer to export");
    gint32 layer = gimp_image_merge_visible_layers(image, GIMP_CLIP_TO_IMAGE);
    if (layer < 0) throw Error(name + ": the image has no visible layer to export");
    gimp_layer_resize_to_image_size(layer);

    const bool gray = gimp_drawable_is_gray(layer);
    const int width = gimp_drawable_width(layer), height = gimp_drawable_height(layer);
    if (width > tarniff::kLargestSide || height > tarniff::kLargestSide) {
        throw Error(name + ": " + std::to_string(width) + " by " + std::to_string(height) +
                        " is too large for the format: at most " + std::to_string(tarniff::kLargestSide) +
                        " pixels on a side");
    }
    tarniff::Raster raster(width, height, (gray ? 1 : 3) + (alpha ? 1 : 0));
    const char* format = gray ? (alpha ? "Y'A u8" : "Y' u8") : (alpha ? "R'G'B'A u8" : "R'G'B' u8");
    GeglBuffer* buffer = gimp_drawable_get_buffer(layer);
    gegl_buffer_get(buffer, GEGL_RECTANGLE(0, 0, width, height), 1.0, babl_format(format), raster.pixels.data(),
                    GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    g_object_unref(buffer);

    tniff::Image pixels = tarniff::ImageFromRaster(raster);
    tarniff::ModuleFile module = Module();
    tarniff::PendingOutput output(path);
    {
        tarniff::SaveThroughModule(module, pixels, output.path(), tarniff::SaveSettings{name, ShowProgress});
    }
    output.Commit();
    gimp_progress_update(1.0);
    std::string dropped = ChannelsNotSaved(original, name);
    if (!dropped.empty()) ShowNote(dropped, mode);
}

void Query() {
    static const GimpParamDef loadArguments[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"), const_cast<gchar*>("The name of the file to load")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
    };
    static const GimpParamDef loadResults[] = {
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Output image")},
    };
    static const GimpParamDef thumbnailArguments[] = {
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"), const_cast<gchar*>("The name of the file to load")},
        {GIMP_PDB_INT32, const_cast<gchar*>("thumb-size"), const_cast<gchar*>("Preferred thumbnail size")},
    };
    static const GimpParamDef thumbnailResults[] = {
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Thumbnail image")},
        {GIMP_PDB_INT32, const_cast<gchar*>("image-width"), const_cast<gchar*>("Width of full-sized image")},
        {GIMP_PDB_INT32, const_cast<gchar*>("image-height"), const_cast<gchar*>("Height of full-sized image")},
    };
    static const GimpParamDef saveArguments[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
        {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"), const_cast<gchar*>("Drawable to export")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"), const_cast<gchar*>("The name of the file to export")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
    };

    gimp_install_procedure(kLoadProcedure, "Loads tiled IFF (CIMG) images",
                           "Opens the colour image as a layer and the depth buffer as a hidden channel "
                           "named Depth; a depth buffer alone as a gray layer named Depth.",
                           "TarnIFF", "TarnIFF", "2026", "Tiled IFF image", nullptr, GIMP_PLUGIN,
                           G_N_ELEMENTS(loadArguments), G_N_ELEMENTS(loadResults), loadArguments, loadResults);
    gimp_register_file_handler_mime(kLoadProcedure, kMimeType);
    gimp_register_magic_load_handler(kLoadProcedure, "iff", "", kMagic);

    gimp_install_procedure(kThumbnailProcedure, "Loads a preview of a tiled IFF (CIMG) image",
                           "The colour image, for the Open dialog's preview.", "TarnIFF", "TarnIFF", "2026",
                           nullptr, nullptr, GIMP_PLUGIN, G_N_ELEMENTS(thumbnailArguments),
                           G_N_ELEMENTS(thumbnailResults), thumbnailArguments, thumbnailResults);
    gimp_register_thumbnail_loader(kLoadProcedure, kThumbnailProcedure);

    gimp_install_procedure(kSaveProcedure, "Exports tiled IFF (CIMG) images",
                           "Saves the visible layers merged, as gray or RGB with or without alpha.", "TarnIFF",
                           "TarnIFF", "2026", "Tiled IFF image", "RGB*, GRAY*, INDEXED*", GIMP_PLUGIN,
                           G_N_ELEMENTS(saveArguments), 0, saveArguments, nullptr);
    gimp_register_file_handler_mime(kSaveProcedure, kMimeType);
    gimp_register_save_handler(kSaveProcedure, "iff", "");
}

void Run(const gchar* procedure, gint count, const GimpParam* parameters, gint* resultCount, GimpParam** results) {
    static GimpParam values[4];
    static std::string message;
    *resultCount = 1;
    *results = values;
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = GIMP_PDB_SUCCESS;
    gegl_init(nullptr, nullptr);

    try {
        if (std::strcmp(procedure, kLoadProcedure) == 0 && count >= 3) {
            GimpRunMode mode = static_cast<GimpRunMode>(parameters[0].data.d_int32);
            const char* path = parameters[1].data.d_string;
            gimp_progress_init_printf("Opening '%s'", DisplayName(path).c_str());
            gint32 image = Load(path, mode, false);
            *resultCount = 2;
            values[1].type = GIMP_PDB_IMAGE;
            values[1].data.d_image = image;
        } else if (std::strcmp(procedure, kThumbnailProcedure) == 0 && count >= 2) {
            const char* path = parameters[0].data.d_string;
            gint32 image = Load(path, GIMP_RUN_NONINTERACTIVE, true);
            *resultCount = 4;
            values[1].type = GIMP_PDB_IMAGE;
            values[1].data.d_image = image;
            values[2].type = GIMP_PDB_INT32;
            values[2].data.d_int32 = gimp_image_width(image);
            values[3].type = GIMP_PDB_INT32;
            values[3].data.d_int32 = gimp_image_height(image);
        } else if (std::strcmp(procedure, kSaveProcedure) == 0 && count >= 4) {
            const char* path = parameters[3].data.d_string;
            gimp_progress_init_printf("Exporting '%s'", DisplayName(path).c_str());
            Save(parameters[1].data.d_image, path,
                 static_cast<GimpRunMode>(parameters[0].data.d_int32));
        } else {
            values[0].data.d_status = GIMP_PDB_CALLING_ERROR;
        }
    } catch (const std::exception& failure) {
        message = failure.what();
        values[0].data.d_status = GIMP_PDB_EXECUTION_ERROR;
        *resultCount = 2;
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = const_cast<gchar*>(message.c_str());
    }
}

}  // namespace

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, &Query, &Run};

MAIN()
