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

tarniff::OpenedFile OpenColourImage(const tarniff::ModuleFile& module, const std::string& path,
                                    const tarniff::OpenSettings& settings) {
    tarniff::OpenedFile file = tarniff::OpenThroughModule(module, path, settings);
    const std::string& name = settings.name.empty() ? path : settings.name;
    if (file.colourPlanes == 0) {
        throw Error(name + ": the file holds only a depth buffer and no colour image");
    }
    return file;
}

}  // namespace tniff_integration
