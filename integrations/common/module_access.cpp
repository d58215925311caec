#include "integrations/common/module_access.h"

#include <unistd.h>
#include <cstdlib>

#include "tarniff/tarniff.h"

namespace tniff_integration {

using tarniff::Error;

const char kModuleVariable[] = "TNIFF_MODULE";

tarniff::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates) {
    const char* named = std::getenv(kModuleVariable);
    if (named != nullptr && named[0] != '\0') return tarniff::LoadModuleFile(named);
    for (const std::string& candidate : candidates) {
        if (access(candidate.c_str(), R_OK) == 0) return tarniff::LoadModuleFile(candidate);
    }
    if (candidates.empty()) throw Error(std::string("no module file: set ") + kModuleVariable);
    return tarniff::LoadModuleFile(candidates.front());
}

namespace {
// Messages of the module host start with the path it was given; the user knows the file by name.
void Rename(Error& error, const std::string& path, const std::string& name, OSErr code) {
    std::string text = error.what();
    if (path != name && text.compare(0, path.size(), path) == 0)
        text = name + text.substr(path.size());
    throw code != 0 ? Error(text, code) : Error(text, error.status());
}
}  // namespace

tarniff::OpenedFile OpenColourImage(const tarniff::ModuleFile& module, const std::string& path,
                                    const std::string& name, bool partial,
                                    const tarniff::Progress& progress) {
    tarniff::OpenedFile file;
    try {
        file = tarniff::OpenThroughModule(module, path, progress);
    } catch (Error& error) {
        Rename(error, path, name, error.hostCode());
    }
    if (!file.complete() && !partial) throw Error(tarniff::Incompleteness(file, name));
    if (file.colourPlanes == 0) {
        throw Error(name + ": the file holds only a depth buffer and no colour image");
    }
    return file;
}

}  // namespace tniff_integration
