#include "integrations/common/module_access.h"

#include "tarniff/tarniff.h"

namespace tniff_integration {

tarniff::ModuleFile LoadModuleFrom(const std::vector<std::string>& candidates) {
    tarniff::ModuleSearch search;
    search.candidates = candidates;
    search.nameIt = tarniff::kNameModuleWithVariable;
    return tarniff::FindModule(search);
}

tarniff::OpenedFile OpenColourImage(const tarniff::ModuleFile& module, const std::string& path,
                                    const tarniff::OpenSettings& settings,
                                    tarniff::ShownPlanes* shown) {
    tarniff::OpenedFile file = tarniff::OpenThroughModule(module, path, settings);
    const std::string& name = settings.name.empty() ? path : settings.name;
    tarniff::ShownPlanes planes = tarniff::PlanesShown(file, name);
    if (planes.depthOnly) {
        // The depth plane becomes the image's one plane, shown as the gray it already is.
        if (planes.first != 0) file.image = tarniff::ImageFromPlanes(file.image, planes.first, 1);
        planes.first = 0;
        file.colourPlanes = 1;
        file.depthPlane = -1;
    }
    if (shown != nullptr) *shown = planes;
    return file;
}

}  // namespace tniff_integration
