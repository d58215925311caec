#include "module/shell/module_version.h"

#ifndef TNIFF_MODULE_VERSION
#define TNIFF_MODULE_VERSION "unknown"
#endif

const char kModuleVersionText[] = "TarnIFF module version " TNIFF_MODULE_VERSION;
