// The loaded module's instance, for loading its own resources. Set once by the library's load
// entry, before any call of ENTRYPOINT; read-only after.
#ifndef TNIFF_SHELL_MODULE_INSTANCE_H
#define TNIFF_SHELL_MODULE_INSTANCE_H

#include "module/platform/platform.h"

extern PlatformInstance ModuleInstance;

#endif
