#include "module/shell/module_instance.h"

PlatformInstance ModuleInstance = nullptr;

extern "C" int ModuleLoadEntry(PlatformInstance instance, uint32_t reason) {
    if (reason == kPlatformProcessAttach) ModuleInstance = instance;
    return 1;
}
