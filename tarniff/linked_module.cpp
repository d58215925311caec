// The module linked into the program: the one place of the library that names its ENTRYPOINT, so
// that a front end that links the module in (the page) includes no module header.
#include "tarniff/tarniff.h"

#include "module/shell/entry_point.h"

namespace tarniff {

ModuleFile LinkedInModule() {
    ModuleFile module;
    module.path = "TnIffFormat (linked in)";
    module.entry = &ENTRYPOINT;
    return module;
}

}  // namespace tarniff
