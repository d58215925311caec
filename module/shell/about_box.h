// The About selector: the module's About dialog, owned by the host's main window.
#ifndef TNIFF_SHELL_ABOUT_BOX_H
#define TNIFF_SHELL_ABOUT_BOX_H

#include "hostapi/plugin_interface.h"
#include "module/platform/platform.h"

// Runs dialog 105 modally; reports nothing, also when the dialog cannot be shown.
void ShowAbout(const AboutRecord* about);

// Ends the dialog on OK (control 1) or cancel (2, the Escape key); ignores everything else.
intptr_t PLATFORM_CALLBACK AboutDialogProc(PlatformWindow dialog, uint32_t message,
                                           uintptr_t wordParam, intptr_t longParam);

#endif
