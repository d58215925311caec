// The reading selectors. Reading is not built yet: each returns at once, so the host sees an
// image of nothing (FilterFile accepts no file).
#include "hostapi/plugin_interface.h"
#include "shell/error_report.h"
#include "shell/plugin_globals.h"
#include "shell/selector_handlers.h"

void FilterFile(PluginGlobals* globals) { PostError(globals->resultWord, formatCannotRead); }
void ReadPrepare(PluginGlobals*) {}
void ReadStart(PluginGlobals*) {}
void ReadContinue(PluginGlobals*) {}
void ReadFinish(PluginGlobals*) {}
