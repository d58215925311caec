#include "module/shell/hooks.h"

bool ReadStartHook(PluginGlobals*) { return true; }
bool WriteStartHook(PluginGlobals*) { return true; }
OSErr ReadFinishHook(PluginGlobals*) { return noErr; }
OSErr WriteFinishHook(PluginGlobals*) { return noErr; }
