#include "module/shell/host_alert.h"

#include <cstring>

#include "module/resources/resource_ids.h"
#include "module/shell/host_suites.h"
#include "module/shell/module_instance.h"
#include "module/shell/plugin_globals.h"

namespace {
// The host versions that first offered what the module needs: the buffer suite came with 2.5,
// advanceState and the handle suite with 3.0. Written with one decimal.
const double kBufferSuiteHostVersion = 2.5;
const double kHandleSuiteHostVersion = 3.0;
const double kAdvanceStateHostVersion = 3.0;
const int16_t kVersionDecimals = 1;

// Room for a loaded string of at most 254 characters and its terminating 0.
const int kLoadedStringBufferSize = kCountedTextMaxLength + 1;

void ShowInsufficientHostAlert(PlatformInstance instance, double version, bool tooNew) {
    CountedText versionText;
    FormatDecimal(&versionText, version, kVersionDecimals);
    int16_t messageId = tooNew ? kHostTooNewStringId : kRequiresHostVersionStringId;
    // Only the user's acknowledgement comes back; the step is cancelled whatever it is.
    ShowHostAlert(instance, 0, kHostAlertId, messageId, &versionText, nullptr);
}
}  // namespace

bool RequireBufferSuite(const BufferProcs* procs, PlatformInstance instance) {
    bool tooNew = false;
    if (BufferSuiteUsable(procs, &tooNew)) return true;
    ShowInsufficientHostAlert(instance, kBufferSuiteHostVersion, tooNew);
    return false;
}

bool RequireAdvanceState(AdvanceStateProc advanceState, PlatformInstance instance) {
    if (advanceState != nullptr) return true;
    ShowInsufficientHostAlert(instance, kAdvanceStateHostVersion, false);
    return false;
}

bool RequireHandleSuite(const HandleProcs* procs, PlatformInstance instance) {
    bool tooNew = false;
    if (HandleSuiteUsable(procs, &tooNew)) return true;
    ShowInsufficientHostAlert(instance, kHandleSuiteHostVersion, tooNew);
    return false;
}

bool CheckHostSuites(PluginGlobals* globals) {
    const FormatRecord* record = globals->formatRecord;
    return RequireBufferSuite(record->bufferProcs, ModuleInstance) &&
           RequireAdvanceState(record->advanceState, ModuleInstance) &&
           RequireHandleSuite(record->handleProcs, ModuleInstance);
}

int16_t ShowHostAlert(PlatformInstance instance, PlatformWindow owner, int16_t alertId,
                      int16_t messageId, const CountedText* value1, const CountedText* value2) {
    CountedText message;
    CountedTextClear(&message);
    if (alertId == 0) return 0;
    if (messageId > 0) {
        char loaded[kLoadedStringBufferSize];
        loaded[0] = 0;
        PlatformLoadString(instance, static_cast<uint32_t>(messageId), loaded,
                           kLoadedStringBufferSize);
        loaded[kLoadedStringBufferSize - 1] = 0;
        CountedTextAppend(&message, reinterpret_cast<const uint8_t*>(loaded), 0,
                          static_cast<uint16_t>(strlen(loaded)));
    }
    ExpandPlaceholders(&message, nullptr, value1, value2);
    int answer = PlatformMessageBox(owner, reinterpret_cast<const char*>(message.bytes + 1), nullptr,
                                    kPlatformMessageOk | kPlatformMessageExclamation);
    return static_cast<int16_t>(answer);
}
