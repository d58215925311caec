// Loading the module file the way an editor loads its plug-ins.
#ifndef TNIFF_HOST_MODULE_LOADER_H
#define TNIFF_HOST_MODULE_LOADER_H

#include <string>

#include "hostapi/plugin_interface.h"

namespace tniff {

// Loads the module file at path (dlopen here, LoadLibrary on Windows) and gives its ENTRYPOINT.
// Gives null and, when error is given, a description when the file cannot be loaded or has no
// such export. The library stays loaded until the process ends, as an editor keeps its plug-ins.
PluginEntryProc LoadModule(const std::string& path, std::string* error);

}  // namespace tniff

#endif
