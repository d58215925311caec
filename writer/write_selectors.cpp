// The saving selectors. Saving is not built yet: each returns at once.
#include "shell/plugin_globals.h"
#include "shell/selector_handlers.h"

void EstimatePrepare(PluginGlobals*) {}
void EstimateStart(PluginGlobals*) {}
void WriteStart(PluginGlobals*) {}
void WriteFinish(PluginGlobals*) {}
