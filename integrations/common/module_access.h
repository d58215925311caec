// What the GIMP plug-in and the GdkPixbuf loader share: finding and loading the module file, and
// opening an image through it with tniff's checks and wording. Both reach the format only
// through the module's ENTRYPOINT, by way of the front ends' library (tarniff/tarniff.h).
#ifndef TNIFF_INTEGRATIONS_MODULE_ACCESS_H
#define TNIFF_INTEGRATIONS_MODULE_ACCESS_H

#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_integration {

// The plug-ins' module search: $TNIFF_MODULE when it is set, else the first of candidates that
// is there; the message for none says to set TNIFF_MODULE (tarniff::FindModule).
tarniff::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates);

// Opens path through the module as tniff convert does before writing a PNG, with the settings'
// name, limit, progress and partial, and gives the image a viewer shows (tarniff::PlanesShown)
// as planes 0 .. colourPlanes - 1: a file with a depth buffer alone comes as a gray image of its
// depth (colourPlanes 1, depthPlane -1), and *shown, when given, says so and holds the note.
tarniff::OpenedFile OpenColourImage(const tarniff::ModuleFile& module, const std::string& path,
                                    const tarniff::OpenSettings& settings,
                                    tarniff::ShownPlanes* shown = nullptr);

}  // namespace tniff_integration

#endif
