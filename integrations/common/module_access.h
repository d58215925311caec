// What the GIMP plug-in and the GdkPixbuf loader share: finding and loading the module file, and
// opening a colour image through it with tniff's checks and wording. Both reach the format only
// through the module's ENTRYPOINT, by way of tniff's own module host (cli/module_host.h).
#ifndef TNIFF_INTEGRATIONS_MODULE_ACCESS_H
#define TNIFF_INTEGRATIONS_MODULE_ACCESS_H

#include <string>
#include <vector>

#include "cli/module_host.h"
#include "cli/progress_bar.h"

namespace tniff_integration {

// The environment variable that names the module file to load instead of the installed one.
extern const char kModuleVariable[];
// The module file's name.
extern const char kModuleFileName[];

// Loads the module named by $TNIFF_MODULE when it is set, else the first of candidates that
// exists (the first one when none does, for the message). Throws ToolError saying why it cannot.
tniff_cli::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates);

// The directory of path, with its trailing slash ("" for a bare name).
std::string DirectoryOf(const std::string& path);

// Opens path through the module as tniff convert does before writing a PNG: the messages of its
// ToolErrors name the file as name. A file cut short or whose tiles leave pixels uncovered is
// refused unless partial is true, a file with no colour image is refused always.
tniff_cli::OpenedFile OpenColourImage(const tniff_cli::ModuleFile& module, const std::string& path,
                                      const std::string& name, bool partial, tniff_cli::ProgressBar* progress);

}  // namespace tniff_integration

#endif
