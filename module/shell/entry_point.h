// The module's one export.
#ifndef TNIFF_SHELL_ENTRY_POINT_H
#define TNIFF_SHELL_ENTRY_POINT_H

#include "hostapi/plugin_interface.h"

#if defined(_WIN32)
#define TNIFF_EXPORT __declspec(dllexport)
#else
#define TNIFF_EXPORT __attribute__((visibility("default")))
#endif

// Called by the host once per step. Selector 0 shows the About dialog and touches neither data
// nor result. Every other selector locks the state record (creating it on the first call), sets
// *result to 0 and runs its handler; selectors outside 0 to 17 give formatBadParameters, and a
// state record that cannot be made or locked gives memFullErr.
extern "C" TNIFF_EXPORT void HOSTAPI_CDECL ENTRYPOINT(int16_t selector, void* record,
                                                      intptr_t* data, int16_t* result);

#endif
