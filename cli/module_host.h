// The module as tniff hosts it: the module file loaded as an editor loads it, and whole opens,
// saves and About calls through its ENTRYPOINT, on our host of the interface (host/).
#ifndef TNIFF_CLI_MODULE_HOST_H
#define TNIFF_CLI_MODULE_HOST_H

#include <string>

#include "cli/iff_layout.h"
#include "cli/progress_bar.h"
#include "host/image.h"
#include "hostapi/plugin_interface.h"

namespace tniff_cli {

// The module file built beside the tool: TnIffFormat.so in the directory of the running program.
std::string DefaultModulePath();

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
    Layout layout;        // the file's layout, for which plane is depth
    int colourPlanes = 0; // planes 0 .. colourPlanes - 1 are the colour channels
    int depthPlane = -1;  // the depth plane, -1 when the file has none
    int colourTilesRead = 0;  // tiles the module handed over
    int depthTilesRead = 0;
    int colourTilesExpected = 0;  // what the header announces
    int depthTilesExpected = 0;
    bool complete() const {
        return colourTilesRead >= colourTilesExpected && depthTilesRead >= depthTilesExpected;
    }
};

// Opens path through the module: FilterFile, ReadPrepare, ReadStart, ReadContinue, ReadFinish.
// Throws ToolError with the module's code when it refuses the file or fails, and when it breaks
// the interface. An incomplete image (a file cut short) is not an error here; see complete().
OpenedFile OpenThroughModule(const ModuleFile& module, const std::string& path, ProgressBar* progress);

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
