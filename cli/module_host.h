// The module as tniff hosts it: the module file loaded as an editor loads it, and whole opens,
// saves and About calls through its ENTRYPOINT, on our host of the interface (host/).
#ifndef TNIFF_CLI_MODULE_HOST_H
#define TNIFF_CLI_MODULE_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/progress_bar.h"
#include "host/image.h"
#include "hostapi/plugin_interface.h"
#include "tarniff/layout.h"

namespace tniff_cli {

// Where tniff looks for its module, in order: TnIffFormat.so beside the running program, in
// ../lib/tniff relative to it (an installed tree), where it is installed, where it was built.
std::vector<std::string> ModuleSearchPaths();
// The first of those that is there; throws ToolError naming them all when none is.
std::string DefaultModulePath();
// The version text the module file carries ("0.1.0"); "" when it carries none.
std::string ModuleVersion(const std::string& path);

// Fails with the system's reason when path cannot be opened for reading as a regular file
// ("it is a directory"); gives the file's size.
uint64_t CheckReadable(const std::string& path);

// tniff's limit on the image an open may make, unless --max-image-size says otherwise: half the
// machine's memory, and at least 1 GiB.
uint64_t DefaultMaxImageBytes();

// A byte count for messages: "512 bytes", "300 MiB", "1.5 GiB".
std::string Mebibytes(uint64_t bytes);

// A loaded module file (it stays loaded until the program ends).
struct ModuleFile {
    std::string path;
    PluginEntryProc entry = nullptr;
};
// Loads the module file at path; throws ToolError saying why it cannot.
ModuleFile LoadModuleFile(const std::string& path);

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
    tniff::Image image;   // as the host holds it after the read; pixels no tile reached are 0
    tarniff::Layout layout;  // the file's layout, for which plane is depth
    int colourPlanes = 0; // planes 0 .. colourPlanes - 1 are the colour channels
    int depthPlane = -1;  // the depth plane, -1 when the file has none
    int colourTilesRead = 0;  // tiles the module handed over
    int depthTilesRead = 0;
    int colourTilesExpected = 0;  // what the header announces
    int depthTilesExpected = 0;
    // Pixels of the image that no colour (depth) tile handed over reached: too few tiles
    // announced (even none) or tiles on top of each other. 0 for depth when the file has none.
    uint64_t colourPixelsUncovered = 0;
    uint64_t depthPixelsUncovered = 0;
    // Every announced tile handed over, and every pixel reached by them.
    bool complete() const {
        return colourTilesRead >= colourTilesExpected && depthTilesRead >= depthTilesExpected &&
               colourPixelsUncovered == 0 && depthPixelsUncovered == 0;
    }
};

// The tiles a file cut short lacks: "3 of the 12 colour tiles", "" when it is complete.
std::string TileShortfall(const OpenedFile& file);

// Why the image is not complete, "" when it is; what tniff, GIMP and the loader say:
// "NAME: truncated: the module read only 2 of the 4 colour tiles that the file's header
// announces" for a file that ends early, else "NAME: incomplete: the header announces 1 tile,
// and no tile covers 61440 of the image's 65536 pixels".
std::string Incompleteness(const OpenedFile& file, const std::string& name);

// The note for an image whose depth buffer an .iff save leaves out (the module writes none), in
// the same words from tniff and GIMP: "NAME: the depth buffer is not saved; ...".
std::string DepthNotSaved(const std::string& name);

// Opens path through the module: FilterFile, ReadPrepare, ReadStart, ReadContinue, ReadFinish.
// Throws ToolError with the module's code when it refuses the file or fails, and when it breaks
// the interface; a damaged file of this format that the module refuses is refused with what is
// wrong and where. An incomplete image (a file cut short, tiles that leave pixels uncovered) is
// not an error here; see complete().
// An image above maxImageBytes (0: DefaultMaxImageBytes) is refused with a message naming the
// limit. name, when not empty, is what messages call the file.
OpenedFile OpenThroughModule(const ModuleFile& module, const std::string& path, ProgressBar* progress,
                             uint64_t maxImageBytes = 0, const std::string& name = "");

// Saves image through the module into the file at path (created or emptied); name is what
// messages call the file. Throws ToolError with the module's code when it fails.
void SaveThroughModule(const ModuleFile& module, const tniff::Image& image, const std::string& path,
                       const std::string& name, ProgressBar* progress);

// What the About selector did: the line it showed, if any, and the result word.
struct AboutOutcome {
    std::string shown;  // what the module wrote on stderr during the call (its About box here)
    OSErr result = 0;
};
AboutOutcome CallAbout(const ModuleFile& module);

// Names of the module's image modes: "grayscale", "RGB colour", ...
std::string ModeName(int16_t mode);
// The name of plane p of an opened file: "gray", "red", ..., "alpha", "depth".
std::string PlaneName(const OpenedFile& file, int plane);

}  // namespace tniff_cli

#endif
