#include "module/shell/entry_point.h"

#include "module/shell/about_box.h"
#include "module/shell/host_suites.h"
#include "module/shell/plugin_globals.h"
#include "module/shell/selector_handlers.h"

namespace {
// Indexed by selector - 1.
const SelectorHandler kHandlers[17] = {
    ReadPrepare,      // 1  formatSelectorReadPrepare
    ReadStart,        // 2  formatSelectorReadStart
    ReadContinue,     // 3  formatSelectorReadContinue
    ReadFinish,       // 4  formatSelectorReadFinish
    DoNothing,        // 5  formatSelectorOptionsPrepare
    DoNothing,        // 6  formatSelectorOptionsStart
    DoNothing,        // 7  formatSelectorOptionsContinue
    DoNothing,        // 8  formatSelectorOptionsFinish
    EstimatePrepare,  // 9  formatSelectorEstimatePrepare
    EstimateStart,    // 10 formatSelectorEstimateStart
    DoNothing,        // 11 formatSelectorEstimateContinue
    DoNothing,        // 12 formatSelectorEstimateFinish
    DoNothing,        // 13 formatSelectorWritePrepare
    WriteStart,       // 14 formatSelectorWriteStart
    DoNothing,        // 15 formatSelectorWriteContinue
    WriteFinish,      // 16 formatSelectorWriteFinish
    FilterFile,       // 17 formatSelectorFilterFile
};
}  // namespace

void DoNothing(PluginGlobals*) {}

extern "C" void HOSTAPI_CDECL ENTRYPOINT(int16_t selector, void* record, intptr_t* data,
                                         int16_t* result) {
    if (selector == formatSelectorAbout) {
        ShowAbout(static_cast<const AboutRecord*>(record));
        return;
    }
    FormatRecord* formatRecord = static_cast<FormatRecord*>(record);
    PluginGlobals* globals =
        AcquirePluginGlobals(result, formatRecord, formatRecord->handleProcs,
                             static_cast<int32_t>(sizeof(PluginGlobals)), data, InitPluginGlobals);
    if (globals == nullptr) {
        *result = memFullErr;
        return;
    }
    if (selector < formatSelectorReadPrepare || selector > formatSelectorFilterFile) {
        *globals->resultWord = formatBadParameters;
    } else {
        kHandlers[selector - 1](globals);
    }
    if (*data != 0) {
        HandleUnlock(globals->formatRecord->handleProcs, reinterpret_cast<Handle>(*data));
    }
}
