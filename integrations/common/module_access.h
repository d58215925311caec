// What the GIMP plug-in and the GdkPixbuf loader share: finding and loading the module file, and
// opening a colour image through it with tniff's checks and wording. Both reach the format only
// through the module's ENTRYPOINT, by way of the front ends' library (tarniff/tarniff.h).
#ifndef TNIFF_INTEGRATIONS_MODULE_ACCESS_H
#define TNIFF_INTEGRATIONS_MODULE_ACCESS_H

#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_integration {

// The environment variable that names the module file to load instead of the installed one.
extern const char kModuleVariable[];

// Loads the module named by $TNIFF_MODULE when it is set, else the first of candidates that
// exists (the first one when none does, for the message). Throws tarniff::Error saying why it
// cannot.
tarniff::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates);

// Opens path through the module as tniff convert does before writing a PNG, with the settings'
// name, limit, progress and partial; a file with no colour image is refused always.
tarniff::OpenedFile OpenColourImage(const tarniff::ModuleFile& module, const std::string& path,
                                    const tarniff::OpenSettings& settings);

}  // namespace tniff_integration

#endif
