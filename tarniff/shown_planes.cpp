// What a front end shows of an opened file: one policy, so that tniff's PNG, GIMP, the image
// loader and Python show a file alike.
#include "tarniff/tarniff.h"

namespace tarniff {

ShownPlanes PlanesShown(const OpenedFile& file, const std::string& name) {
    ShownPlanes shown;
    if (file.colourPlanes > 0) {
        shown.count = file.colourPlanes;
        return shown;
    }
    // A depth buffer alone is still a picture of the scene: its plane is what there is to see.
    if (file.depthPlane < 0 || file.depthPlane >= file.image.planes()) {
        throw Error(name + ": the file holds neither a colour image nor a depth buffer");
    }
    shown.first = file.depthPlane;
    shown.count = 1;
    shown.depthOnly = true;
    shown.note = DepthOnlyNote(name);
    return shown;
}

}  // namespace tarniff
