// Places where a build of the module can add work around reading and writing; they do nothing.
#ifndef TNIFF_SHELL_HOOKS_H
#define TNIFF_SHELL_HOOKS_H

#include "hostapi/plugin_interface.h"

struct PluginGlobals;

bool ReadStartHook(PluginGlobals* globals);    // first thing in ReadStart; true
bool WriteStartHook(PluginGlobals* globals);   // first thing in WriteStart; true
OSErr ReadFinishHook(PluginGlobals* globals);  // last thing in ReadFinish; noErr
OSErr WriteFinishHook(PluginGlobals* globals); // the whole of WriteFinish; noErr

#endif
