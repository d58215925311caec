#include "integrations/common/module_access.h"

#include <cstdlib>
#include <unistd.h>

#include "cli/tool_error.h"

namespace tniff_integration {

using tniff_cli::ToolError;

const char kModuleVariable[] = "TNIFF_MODULE";
const char kModuleFileName[] = "TnIffFormat.so";

tniff_cli::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates) {
    const char* named = std::getenv(kModuleVariable);
    if (named != nullptr && named[0] != '\0') return tniff_cli::LoadModuleFile(named);
    for (const std::string& candidate : candidates) {
        if (access(candidate.c_str(), R_OK) == 0) return tniff_cli::LoadModuleFile(candidate);
    }
    if (candidates.empty()) throw ToolError(std::string("no module file: set ") + kModuleVariable);
    return tniff_cli::LoadModuleFile(candidates.front());
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

namespace {
// Messages of the module host start with the path it was given; the user knows the file by name.
void Rename(ToolError& error, const std::string& path, const std::string& name, OSErr code) {
    std::string text = error.what();
    if (path != name && text.compare(0, path.size(), path) == 0) text = name + text.substr(path.size());
    throw code != 0 ? ToolError(text, code) : ToolError(text, error.status());
}
}  // namespace


tniff_cli::OpenedFile OpenColourImage(const tniff_cli::ModuleFile& module, const std::string& path,
                                      const std::string& name, bool partial, tniff_cli::ProgressBar* progress) {
    tniff_cli::OpenedFile file;
    try {
        file = tniff_cli::OpenThroughModule(module, path, progress);
    } catch (ToolError& error) {
        Rename(error, path, name, error.hostCode());
    }
    if (!file.complete() && !partial) throw ToolError(tniff_cli::Incompleteness(file, name));
    if (file.colourPlanes == 0) {
        throw ToolError(name + ": the file holds only a depth buffer and no colour image");
    }
    return file;
}

}  // namespace tniff_integration
