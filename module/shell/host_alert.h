// The check that precedes estimating and saving: the host must offer a usable buffer suite, the
// advanceState callback and a usable handle suite. When one is missing, a warning message box
// tells the user which host version the module needs (or that the host is too new for it), and
// the caller cancels the step.
#ifndef TNIFF_SHELL_HOST_ALERT_H
#define TNIFF_SHELL_HOST_ALERT_H

#include <cstdint>

#include "hostapi/plugin_interface.h"
#include "module/platform/platform.h"
#include "module/shell/counted_text.h"

struct PluginGlobals;

// Each gives true when its requirement holds and shows nothing; otherwise shows the
// host-insufficient alert (its text loaded through instance) and gives false.
bool RequireBufferSuite(const BufferProcs* procs, PlatformInstance instance);
bool RequireAdvanceState(AdvanceStateProc advanceState, PlatformInstance instance);
bool RequireHandleSuite(const HandleProcs* procs, PlatformInstance instance);

// The three requirements on the current record, buffer suite first; the first that fails ends
// the check, so at most one alert is shown. True when all three hold.
bool CheckHostSuites(PluginGlobals* globals);

// Shows a warning message box (one OK button, exclamation icon, the platform's default caption)
// owned by owner (0: none) with string messageId of the module's string table, its "^1" and "^2"
// filled with value1 and value2 (either may be null). Alert id 0 shows nothing; any other id only
// lets the alert proceed. A messageId of 0 or below gives an empty message. Gives the box's
// answer, 0 when nothing was shown.
int16_t ShowHostAlert(PlatformInstance instance, PlatformWindow owner, int16_t alertId,
                      int16_t messageId, const CountedText* value1, const CountedText* value2);

#endif
